#pragma once
// The station's one UDP socket and its addressing modes.

#include <netinet/in.h>

#include <cstdint>

#include "platform/udp_socket.h"

struct DatagramQueue;
struct Services;
enum class LookupError;

// Where the start and close notices go: the master station listens on the
// station port of old, whatever port this station uses.
constexpr int MASTER_PORT = 3456;

struct ServerSettings;
struct StationIdentity;

struct StationSocket {
    UdpSocket socket;              // none while the station is off the air
    uint32_t local_addr_host = 0;  // local address, host order
    uint32_t local_addr_net = 0;   // the same in network order
    uint32_t net_mask = 0;         // local network mask, host order
    bool multicast = false;        // a multicast group was given
    sockaddr_in multicast_dest{};
    sockaddr_in master{};          // master station, port 3456
    bool master_known = false;     // MASTER_IP is a dotted address
    long server_number = 0;        // NextSrvID, read when we are the master
    int64_t broadcast_start_time = 0;
    bool small_receive_buffer_told = false;  // the operator hears of a capped buffer once
    bool lists_without_port_told = false;    // and of station lists that cannot name the port
    // The station's settings the socket follows; the program points these
    // at its settings record.
    const ServerSettings* settings = nullptr;
    const StationIdentity* identity = nullptr;
};

// Creates, binds and configures the station socket. `multicast_group` is
// the group text when multicast is on, else null or empty. Returns 1 with
// the socket open and the bound address in station.local_addr_net; 0 after
// a fatal error, when the program is already ending (the exit status went
// to the host) and the caller must stop. The program's open_station
// (app/station.h) does the rest of a start.
int open_station_socket(Services& services, StationSocket& station, const char* host_name,
                        const char* multicast_group);

// The start and close notices to the master (through the datagram queue),
// unless this station is the master or no socket is open; an intranet
// station announces nothing.
void tell_master_station_opens(Services& services, const StationSocket& station,
                               DatagramQueue& queue, const char* station_name);
void tell_master_station_closes(Services& services, const StationSocket& station,
                                DatagramQueue& queue);
// Closes the open station socket.
void close_station_socket(Services& services, StationSocket& station);

// The station's fatal network error: what the program does before a fatal
// exit (it closes the station), a system-modal "<word>: <socket error
// text>" box, then the program ends with `status`. Returns 0 so that callers
// can pass it up the stack.
int station_fatal(Services& services, const char* word, int socket_error, int status);

// The address the station binds for `host_name` (network order): IP_ADDR
// when SPECIFIC_IP is on, otherwise the one choose_station_address picks
// from the host name look-up. Returns 1, or 0 when the name cannot be
// looked up (*lookup_error, when given, then says why).
int station_address_for_host(const ServerSettings& settings, const char* host_name, uint32_t* addr_net,
                             LookupError* lookup_error = nullptr);

// The network mask of an address (host order) by its class: A 255.0.0.0,
// B 255.255.0.0, C 255.255.255.0, anything above 255.255.255.255.
uint32_t network_mask_of(uint32_t addr_host);

// Which address the station takes when it is not told one: the first
// non-loopback address the host name look-up gave; when it gave only
// loopback addresses (common on Linux, where the host name maps to
// 127.0.1.1), the first non-loopback interface address; failing both, the
// first address looked up. Addresses are in network order.
// The addresses an operator may bind the station to (network order): those
// the host name look-up gives, then the interface addresses it did not (on
// Linux the host name often maps to 127.0.1.1 alone). Returns the count;
// 0 when there are none.
int station_address_choices(const char* host_name, uint32_t* out, int capacity);

uint32_t choose_station_address(const uint32_t* looked_up, int looked_up_count,
                                const uint32_t* interfaces, int interface_count);
