#pragma once
// Thin POSIX UDP helpers for the station's one socket. Calls return -1 on
// failure and leave the reason in errno, like the socket library itself;
// last_socket_error() gives that reason in the Winsock numbering the
// operator messages use (socket_error_text).

#include <netinet/in.h>

#include <cstdint>

// Winsock numbers of the errors the station tells apart.
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// Whether an errno value of a send or receive says the socket is full (or
// empty): the call is tried again once the socket is ready.
bool socket_would_block(int error);
// The Winsock number of an errno value; errno values without one pass through.
int winsock_error_code(int errno_value);
// The Winsock number of the current errno (what WSAGetLastError gave).
int last_socket_error();

// A UDP socket for IPv4, or -1.
int udp_open();
// Binds to an IPv4 address (network order) and port (host order); 0 or -1.
int udp_bind(int socket, uint32_t addr_net, uint16_t port);
// Makes sends and receives return at once instead of waiting; 0 or -1.
int udp_set_nonblocking(int socket);
// 1 when a datagram is waiting, 0 when none is, -1 on error. Never waits.
int udp_readable(int socket);
// 1 when a datagram arrives within timeout_ms, 0 when none does, -1 on error.
int udp_wait_readable(int socket, int timeout_ms);
// Sets or clears "don't fragment" on what the socket sends (without path
// MTU discovery: the caller vouches that its datagrams are small); 0 or -1.
int udp_set_dont_fragment(int socket, bool on);
// The bytes sent, or -1.
int udp_send_to(int socket, const void* data, int length, int flags, const sockaddr_in* addr,
                int addr_len);
// One outgoing datagram of a batch: a head (the header, restamped for each
// listener) and a body shared by every copy.
struct UdpMessage {
    const sockaddr_in* addr = nullptr;
    int addr_len = 0;
    const void* head = nullptr;
    int head_len = 0;
    const void* body = nullptr;
    int body_len = 0;
};
// Sends the messages in order, as many system calls as few as it can
// (sendmmsg on Linux). Returns how many went; when that is fewer than
// `count`, errno tells why the next one did not (EAGAIN: the socket is full).
int udp_send_many(int socket, const UdpMessage* messages, int count);

// One received datagram of a batch: `bytes` has room for `capacity` bytes;
// a longer datagram is cut and `size` is what was kept.
struct UdpReceived {
    uint8_t* bytes = nullptr;
    int capacity = 0;
    int size = 0;
    sockaddr_in from{};
    int from_len = 0;
};
// Receives up to `count` waiting datagrams without waiting (recvmmsg on
// Linux). Returns how many arrived (0 when none waits), or -1 with errno.
int udp_receive_many(int socket, UdpReceived* received, int count);

// The bytes received (a longer datagram is cut to `size`), or -1. `from` and
// `from_len` may be null; when given, *from_len is the address length.
int udp_receive_from(int socket, void* buffer, int size, sockaddr_in* from, int* from_len);
// The address the socket is bound to.
int udp_local_address(int socket, sockaddr_in* addr);
void udp_close(int socket);

// An IPv4 socket address from a dotted address ("a.b.c.d") and a port (host
// order); 1, or 0 when the text is not a dotted address.
int ipv4_from_dotted(const char* text, uint16_t port, sockaddr_in* addr);
// The first IPv4 address of a host given as dotted address or name, in
// network order; 1, or 0 when it cannot be found (errno-free: the Winsock
// number "Host not found" explains it).
int resolve_ipv4(const char* host, uint32_t* addr_net);
