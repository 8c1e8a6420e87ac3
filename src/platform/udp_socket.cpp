#include "platform/udp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

bool socket_would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

UdpSocket udp_open() {
    // Not inherited: a program the window opens (the log viewer, a browser)
    // would otherwise hold the station's port after the station closed it,
    // and the next Start would find it in use.
    return UdpSocket(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
}

int udp_bind(int socket, uint32_t addr_net, uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = addr_net;
    return bind(socket, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
}

int udp_set_nonblocking(int socket) {
    int flags = fcntl(socket, F_GETFL, 0);
    if (flags < 0) return -1;
    return fcntl(socket, F_SETFL, flags | O_NONBLOCK);
}

int udp_set_dont_fragment(int socket, bool on) {
    int mode = on ? IP_PMTUDISC_PROBE : IP_PMTUDISC_WANT;  // WANT: the system's default
    return setsockopt(socket, IPPROTO_IP, IP_MTU_DISCOVER, &mode, sizeof mode);
}

int udp_wait_readable(int socket, int timeout_ms) {
    pollfd entry{socket, POLLIN, 0};
    int ready;
    do {
        ready = poll(&entry, 1, timeout_ms);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return -1;
    if (ready > 0 && (entry.revents & POLLNVAL)) {
        errno = EBADF;
        return -1;
    }
    return ready > 0 ? 1 : 0;
}

int udp_readable(int socket) {
    return udp_wait_readable(socket, 0);
}

int udp_send_to(int socket, const void* data, int length, int flags, const sockaddr_in* addr,
                int addr_len) {
    // MSG_NOSIGNAL: a vanished socket must give an error, not end the program.
    ssize_t sent =
        sendto(socket, data, static_cast<size_t>(length), flags | MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(addr), static_cast<socklen_t>(addr_len));
    return static_cast<int>(sent);
}

int udp_send_many(int socket, const UdpMessage* messages, int count) {
    constexpr int kChunk = 256;
    int done = 0;
    while (done < count) {
        int n = count - done < kChunk ? count - done : kChunk;
#ifdef __linux__
        mmsghdr headers[kChunk];
        iovec parts[kChunk][2];
        for (int i = 0; i < n; ++i) {
            const UdpMessage& m = messages[done + i];
            parts[i][0] = iovec{const_cast<void*>(m.head), static_cast<size_t>(m.head_len)};
            parts[i][1] = iovec{const_cast<void*>(m.body), static_cast<size_t>(m.body_len)};
            headers[i] = mmsghdr{};
            headers[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(m.addr);
            headers[i].msg_hdr.msg_namelen = static_cast<socklen_t>(m.addr_len);
            headers[i].msg_hdr.msg_iov = parts[i];
            headers[i].msg_hdr.msg_iovlen = 2;
        }
        int sent = sendmmsg(socket, headers, static_cast<unsigned>(n), MSG_NOSIGNAL);
#else
        int sent = 0;
        for (; sent < n; ++sent) {
            const UdpMessage& m = messages[done + sent];
            uint8_t whole[65536];
            memcpy(whole, m.head, static_cast<size_t>(m.head_len));
            memcpy(whole + m.head_len, m.body, static_cast<size_t>(m.body_len));
            if (udp_send_to(socket, whole, m.head_len + m.body_len, 0, m.addr, m.addr_len) < 0) break;
        }
        if (sent == 0) sent = -1;
#endif
        // A failure of the first message of a chunk comes back as -1; errno
        // says why. A failure later in the chunk shows as a short count and
        // is reported by the next call, which starts with that message.
        if (sent < 0) return done;
        done += sent;
    }
    return done;
}

int udp_receive_many(int socket, UdpReceived* received, int count) {
#ifdef __linux__
    constexpr int kChunk = 64;
    if (count > kChunk) count = kChunk;
    mmsghdr headers[kChunk];
    iovec parts[kChunk];
    for (int i = 0; i < count; ++i) {
        parts[i] = iovec{received[i].bytes, static_cast<size_t>(received[i].capacity)};
        headers[i] = mmsghdr{};
        headers[i].msg_hdr.msg_name = &received[i].from;
        headers[i].msg_hdr.msg_namelen = sizeof received[i].from;
        headers[i].msg_hdr.msg_iov = &parts[i];
        headers[i].msg_hdr.msg_iovlen = 1;
    }
    int got = recvmmsg(socket, headers, static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
    if (got < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    for (int i = 0; i < got; ++i) {
        received[i].size = static_cast<int>(headers[i].msg_len);
        received[i].from_len = static_cast<int>(headers[i].msg_hdr.msg_namelen);
    }
    return got;
#else
    int got = 0;
    for (; got < count; ++got) {
        if (udp_readable(socket) != 1) break;
        int size = udp_receive_from(socket, received[got].bytes, received[got].capacity,
                                    &received[got].from, &received[got].from_len);
        if (size < 0) return got > 0 ? got : -1;
        received[got].size = size;
    }
    return got;
#endif
}

int udp_receive_from(int socket, void* buffer, int size, sockaddr_in* from, int* from_len) {
    sockaddr_in source{};
    socklen_t source_len = sizeof source;
    ssize_t received = recvfrom(socket, buffer, static_cast<size_t>(size), 0,
                                reinterpret_cast<sockaddr*>(&source), &source_len);
    if (received < 0) return -1;
    if (from) *from = source;
    if (from_len) *from_len = static_cast<int>(source_len);
    return static_cast<int>(received);
}

int udp_local_address(int socket, sockaddr_in* addr) {
    socklen_t len = sizeof *addr;
    return getsockname(socket, reinterpret_cast<sockaddr*>(addr), &len);
}

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void UdpSocket::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

int ipv4_from_dotted(const char* text, uint16_t port, sockaddr_in* addr) {
    in_addr parsed{};
    if (inet_pton(AF_INET, text, &parsed) != 1) return 0;
    *addr = sockaddr_in{};
    addr->sin_family = AF_INET;
    addr->sin_port = htons(port);
    addr->sin_addr = parsed;
    return 1;
}

int resolve_ipv4(const char* host, uint32_t* addr_net) {
    if (!host || !*host) return 0;
    in_addr parsed{};
    if (inet_pton(AF_INET, host, &parsed) == 1) {
        *addr_net = parsed.s_addr;
        return 1;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found) return 0;
    *addr_net = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return 1;
}
