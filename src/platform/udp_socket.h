#pragma once
// Thin POSIX UDP helpers for the station's one socket. Calls return -1 on
// failure and leave the reason in errno, like the socket library itself
// (base/messages.h words it for the operator).

#include <netinet/in.h>

#include <cstdint>

// Whether an errno value of a send or receive says the socket is full (or
// empty): the call is tried again once the socket is ready.
bool socket_would_block(int error);

// Owns one open socket and closes it when it goes or takes another. It
// moves and never copies, so that no two owners close one socket.
class UdpSocket {
public:
    UdpSocket() = default;
    explicit UdpSocket(int fd) : fd_(fd) {}
    UdpSocket(UdpSocket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    UdpSocket& operator=(UdpSocket&& other) noexcept;
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;
    ~UdpSocket() { close(); }

    int fd() const { return fd_; }  // -1 while none is open
    bool is_open() const { return fd_ >= 0; }
    void close();

private:
    int fd_ = -1;
};

// A UDP socket for IPv4; none is open when it cannot be made (errno says why).
UdpSocket udp_open();
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

// An IPv4 socket address from a dotted address ("a.b.c.d") and a port (host
// order); 1, or 0 when the text is not a dotted address.
int ipv4_from_dotted(const char* text, uint16_t port, sockaddr_in* addr);
// The first IPv4 address of a host given as dotted address or name, in
// network order; 1, or 0 when it cannot be found (errno-free: the caller
// words it as "Host not found").
int resolve_ipv4(const char* host, uint32_t* addr_net);
