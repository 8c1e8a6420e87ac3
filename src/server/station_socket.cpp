#include "server/station_socket.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/messages.h"
#include "base/station_identity.h"
#include "server/server_settings.h"
#include "wire/datagram_queue.h"
#include "platform/udp_socket.h"
#include "wire/packet.h"

namespace {

constexpr int kMaxAddresses = 16;
constexpr int kTimeToLive = 255;
// A whole tick for a full table waits in the kernel rather than in our
// fan-out (8192 listeners x a few hundred bytes), and a second of their
// keep-alives fits the receive buffer between two reads.
constexpr int kSendBufferBytes = 4 << 20;
constexpr int kReceiveBufferBytes = 8 << 20;

bool is_loopback(uint32_t addr_net) { return (ntohl(addr_net) >> 24) == 127; }

// The host's IPv4 addresses by name (network order); the count, or 0 with
// the failure in *error.
int look_up_host(const char* host_name, uint32_t* out, int capacity, LookupError* error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    int result = getaddrinfo(host_name, nullptr, &hints, &found);
    if (result != 0) {
        *error = result == EAI_AGAIN ? LookupError::try_again
                 : (result == EAI_NONAME || result == EAI_NODATA) ? LookupError::not_found
                                                                   : LookupError::no_recovery;
        return 0;
    }
    int count = 0;
    for (addrinfo* a = found; a && count < capacity; a = a->ai_next) {
        uint32_t addr = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
        bool seen = false;
        for (int i = 0; i < count; ++i) seen = seen || out[i] == addr;
        if (!seen) out[count++] = addr;
    }
    freeaddrinfo(found);
    if (count == 0) *error = LookupError::no_data;
    return count;
}

// The IPv4 addresses of the machine's interfaces that are up (network order).
int interface_addresses(uint32_t* out, int capacity) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return 0;
    int count = 0;
    for (ifaddrs* i = list; i && count < capacity; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        if (!(i->ifa_flags & IFF_UP)) continue;
        out[count++] = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
    }
    freeifaddrs(list);
    return count;
}

bool is_master(const StationSocket& station) {
    return station.master_known && station.local_addr_net == station.master.sin_addr.s_addr;
}

void send_to_master(Services& services, const StationSocket& station, DatagramQueue& queue,
                    const uint8_t* datagram, int size) {
    if (!station.master_known) return;
    bsendto(services, queue, station.socket.fd(), datagram, size, 0, &station.master,
            sizeof station.master);
}

// Sets a socket buffer size, past the system's cap when the process may
// (the FORCE option needs CAP_NET_ADMIN); returns the size read back.
int set_buffer_size(int socket, int option, int force_option, int bytes) {
    if (setsockopt(socket, SOL_SOCKET, force_option, &bytes, sizeof bytes) != 0)
        setsockopt(socket, SOL_SOCKET, option, &bytes, sizeof bytes);
    int granted = 0;
    socklen_t length = sizeof granted;
    getsockopt(socket, SOL_SOCKET, option, &granted, &length);
    return granted;
}

void set_socket_options(Services& services, StationSocket& station) {
    int socket = station.socket.fd();
    int ttl = kTimeToLive;
    int set_result = setsockopt(socket, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);
    int ttl_read = 0;
    socklen_t length = sizeof ttl_read;
    int get_result = getsockopt(socket, IPPROTO_IP, IP_TTL, &ttl_read, &length);
    debug_trace(services, "\nsocket TTL: %d %ld (%d %ld)\n", set_result, static_cast<long>(ttl),
                get_result, static_cast<long>(ttl_read));

    int buffer = kSendBufferBytes;
    int buffer_read = set_buffer_size(socket, SO_SNDBUF, SO_SNDBUFFORCE, buffer);
    debug_trace(services, "\nsocket SNDBUF: %d %d\n", buffer, buffer_read);

    buffer = kReceiveBufferBytes;
    buffer_read = set_buffer_size(socket, SO_RCVBUF, SO_RCVBUFFORCE, buffer);
    debug_trace(services, "\nsocket RCVBUF: %d %d\n", buffer, buffer_read);
    // The kernel reports twice the size it grants (its own bookkeeping).
    if (buffer_read / 2 < buffer && !station.small_receive_buffer_told) {
        station.small_receive_buffer_told = true;
        show_message(services, true, Buttons::ok | Icon::information,
                     "The system limits the station socket's receive buffer to %d kB (the station "
                     "asks for %d kB). With thousands of listeners keep-alives may be lost: raise "
                     "net.core.rmem_max (sysctl) to at least %d.",
                     buffer_read / 2 / 1024, buffer / 1024, buffer);
    }
}

// Multicast copies go to the group on the station's port; the station never
// joins the group itself and leaves the multicast time-to-live alone.
void set_up_multicast(Services& services, StationSocket& station, const char* group) {
    if (!ipv4_from_dotted(group, static_cast<uint16_t>(station.settings->STATION_PORT),
                          &station.multicast_dest)) {
        // Not an address: without this check the copies would go to
        // 255.255.255.255, which is what inet_addr makes of bad text.
        show_message(services, true, Buttons::ok | Icon::error, "Failed to activate MBONE");
        return;
    }
    station.multicast = true;
    in_addr any{};
    any.s_addr = htonl(INADDR_ANY);
    if (setsockopt(station.socket.fd(), IPPROTO_IP, IP_MULTICAST_IF, &any, sizeof any) != 0)
        show_message(services, true, Buttons::ok | Icon::error, "Failed to activate MBONE");
}

}  // namespace

uint32_t network_mask_of(uint32_t addr_host) {
    if ((addr_host & 0x80000000u) == 0) return 0xFF000000u;
    if (addr_host < 0xC0000000u) return 0xFFFF0000u;
    if (addr_host < 0xDF000000u) return 0xFFFFFF00u;
    return 0xFFFFFFFFu;
}

uint32_t choose_station_address(const uint32_t* looked_up, int looked_up_count,
                                const uint32_t* interfaces, int interface_count) {
    for (int i = 0; i < looked_up_count; ++i)
        if (!is_loopback(looked_up[i])) return looked_up[i];
    for (int i = 0; i < interface_count; ++i)
        if (!is_loopback(interfaces[i]) && interfaces[i] != htonl(INADDR_ANY)) return interfaces[i];
    return looked_up_count > 0 ? looked_up[0] : htonl(INADDR_ANY);
}

int station_address_choices(const char* host_name, uint32_t* out, int capacity) {
    LookupError error = LookupError::none;
    int count = host_name && *host_name ? look_up_host(host_name, out, capacity, &error) : 0;
    uint32_t interfaces[kMaxAddresses];
    int interface_count = interface_addresses(interfaces, kMaxAddresses);
    for (int i = 0; i < interface_count && count < capacity; ++i) {
        bool seen = false;
        for (int j = 0; j < count; ++j) seen = seen || out[j] == interfaces[i];
        if (!seen) out[count++] = interfaces[i];
    }
    return count;
}

int station_address_for_host(const ServerSettings& settings, const char* host_name, uint32_t* addr_net,
                             LookupError* lookup_error) {
    uint32_t looked_up[kMaxAddresses];
    LookupError error = LookupError::not_found;
    int looked_up_count =
        host_name && *host_name ? look_up_host(host_name, looked_up, kMaxAddresses, &error) : 0;
    if (looked_up_count == 0) {
        if (lookup_error) *lookup_error = error;
        return 0;
    }
    if (settings.SPECIFIC_IP) {
        *addr_net = inet_addr(settings.IP_ADDR.c_str());
        return 1;
    }
    uint32_t interfaces[kMaxAddresses];
    int interface_count = interface_addresses(interfaces, kMaxAddresses);
    *addr_net = choose_station_address(looked_up, looked_up_count, interfaces, interface_count);
    return 1;
}

namespace {

// The fatal box "<word>: <cause>" after the fatal exit's preparation; 0.
int station_fatal_text(Services& services, const char* word, const char* cause, int status) {
    prepare_fatal_exit(services);
    show_message(services, false, Buttons::ok | Icon::error | BoxFlag::system_modal, "%s: %s", word,
                 cause);
    services.host->exit_program(status);
    return 0;
}

// "127.0.0.5 port 3456: Address already in use (another program or station
// holds this address and port)": where the bind failed, why, and what that
// means for the operator.
std::string bind_failure_text(Services& services, const StationSocket& station, uint32_t addr_net,
                              int error) {
    char address[INET_ADDRSTRLEN] = "?";
    in_addr addr{addr_net};
    inet_ntop(AF_INET, &addr, address, sizeof address);
    const char* meaning = error == EADDRINUSE ? " (another program or station holds this address "
                                                "and port)"
                          : error == EADDRNOTAVAIL ? " (the address is not one of this machine's)"
                          : error == EACCES        ? " (ports below 1024 need privileges)"
                                                   : "";
    return std::string(address) + " port " + std::to_string(station.settings->STATION_PORT) + ": " +
           socket_error_text(services, error) + meaning;
}

// The station socket cannot be bound: a window refuses the start and stays
// idle; without an operator the program ends with status 3.
int refuse_bind(Services& services, StationSocket& station, uint32_t addr_net, int error) {
    const std::string where = bind_failure_text(services, station, addr_net, error);
    write_daily_log(services, "Cannot bind the station to %s\n", where.c_str());
    if (!services.host->refuses_start_it_cannot_bind())
        return station_fatal_text(services, "bind", where.c_str(), EXIT_HOST_OR_BIND);
    close_station_socket(services, station);
    show_message(services, true, Buttons::ok | Icon::error,
                 "Cannot start broadcasting: the station cannot bind to %s.\nChoose another "
                 "STATION_PORT in the settings file or another address in Expert Settings, or end "
                 "the program that holds it; then press Start again.",
                 where.c_str());
    return 0;
}

}  // namespace

int station_fatal(Services& services, const char* word, int socket_error, int status) {
    return station_fatal_text(services, word, socket_error_text(services, socket_error), status);
}

int open_station_socket(Services& services, StationSocket& station, const char* host_name,
                        const char* multicast_group) {
    station.local_addr_host = 0;
    station.local_addr_net = 0;
    station.multicast = false;
    const ServerSettings& settings = *station.settings;
    station.master_known = ipv4_from_dotted(settings.MASTER_IP.c_str(), MASTER_PORT,
                                            &station.master) == 1;
    if (!station.master_known)
        debug_trace(services, "Master address %s is not a dotted address\n", settings.MASTER_IP.c_str());

    station.socket = udp_open();
    if (!station.socket.is_open()) return station_fatal(services, "socket", errno, EXIT_NO_SOCKET);

    if (!host_name || !*host_name) {
        prepare_fatal_exit(services);
        show_message(services, false, Buttons::ok | Icon::error | BoxFlag::system_modal,
                     "Please specify server URL.");
        services.host->exit_program(EXIT_HOST_OR_BIND);
        return 0;
    }
    uint32_t addr_net = 0;
    LookupError lookup_error = LookupError::none;
    if (!station_address_for_host(settings, host_name, &addr_net, &lookup_error))
        return station_fatal_text(services, "gethost",
                                  lookup_error_text(services, lookup_error), EXIT_HOST_OR_BIND);
    const uint16_t port = static_cast<uint16_t>(settings.STATION_PORT);
    if (udp_bind(station.socket.fd(), addr_net, port) != 0)
        return refuse_bind(services, station, addr_net, errno);
    station.local_addr_net = addr_net;
    station.local_addr_host = ntohl(addr_net);
    station.net_mask = network_mask_of(station.local_addr_host);

    // Never wait in a send or a receive: a full socket keeps the rest of a
    // tick for later (the fan-out, the datagram queue) instead of holding
    // the station's one thread.
    if (udp_set_nonblocking(station.socket.fd()) != 0)
        return station_fatal(services, "socket", errno, EXIT_NO_SOCKET);
    set_socket_options(services, station);
    services.host->set_read_notification(station.socket.fd(), true);
    if (multicast_group && *multicast_group) set_up_multicast(services, station, multicast_group);

    if (is_master(station)) station.server_number = settings.NextSrvID;
    station.broadcast_start_time = services.host->time_now();
    return 1;
}

void tell_master_station_opens(Services& services, const StationSocket& station,
                               DatagramQueue& queue, const char* station_name) {
    if (!station.socket.is_open() || is_master(station) || station.identity->INTRANET) return;
    // The account number of the announce is the station's registered id.
    uint8_t notice[MAX_DATAGRAM];
    int size = build_master_announce(notice, station.settings->NextSrvID,
                                     station_name ? station_name : "");
    send_to_master(services, station, queue, notice, size);
}

void tell_master_station_closes(Services& services, const StationSocket& station,
                                DatagramQueue& queue) {
    if (!station.socket.is_open() || is_master(station)) return;
    uint8_t notice[MAX_DATAGRAM];
    int size = build_master_close(notice);
    send_to_master(services, station, queue, notice, size);
}

void close_station_socket(Services& services, StationSocket& station) {
    services.host->set_read_notification(station.socket.fd(), false);
    station.socket.close();
}
