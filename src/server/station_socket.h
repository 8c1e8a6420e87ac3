#pragma once
// The station's one UDP socket and its addressing modes.

#include <netinet/in.h>

#include <cstdint>

struct Context;

// Where the start and close notices go: the master station listens on the
// station port of old, whatever port this station uses.
constexpr int MASTER_PORT = 3456;

// Exit statuses of the station's fatal paths.
constexpr int EXIT_OVERLOAD = 1;       // sender overload, or "QuitNow!"
constexpr int EXIT_NO_SOCKET = 2;
constexpr int EXIT_HOST_OR_BIND = 3;   // no host name, failed look-up or bind
constexpr int EXIT_SOCKET_FAILED = 9;  // later socket failures, pictures out of memory

struct StationSocket {
    int socket = -1;               // -1 while none is open
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
};

// Creates, binds and configures the station socket, announces the station
// to the master, loads the logo and lists the station. `multicast_group` is
// the group text when multicast is on, else null or empty; `logo_path` may
// be empty. Returns 1 with the socket open and the bound address in
// ctx.station.local_addr_net; 0 after a fatal error, when the program is
// already ending (the exit status went to the host) and the caller must stop.
int open_station(Context& ctx, const char* host_name, const char* multicast_group,
                 const char* logo_path, const char* station_name);

// Says goodbye to the master, leaves the directory, closes the socket and
// frees what the broadcast held. Does nothing when no socket is open.
void close_station(Context& ctx);

// The station's fatal network error: close_station, a system-modal
// "<word>: <socket error text>" box, then the program ends with `status`.
// Returns 0 so that callers can pass it up the stack.
int station_fatal(Context& ctx, const char* word, int socket_error, int status);

// The address the station binds for `host_name` (network order): IP_ADDR
// when SPECIFIC_IP is on, otherwise the one choose_station_address picks
// from the host name look-up. Returns 1, or 0 when the name cannot be
// looked up (*socket_error, when given, then holds the Winsock number).
int station_address_for_host(Context& ctx, const char* host_name, uint32_t* addr_net,
                             int* socket_error = nullptr);

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
