#include "support/udp_loopback.h"

#include <stdexcept>

#include "platform/udp_socket.h"
#include "wire/packet.h"

LoopbackSocket::LoopbackSocket(const char* ip) {
    socket_ = udp_open();
    fd_ = socket_.fd();
    if (fd_ < 0 || !ipv4_from_dotted(ip, 0, &addr_) ||
        udp_bind(fd_, addr_.sin_addr.s_addr, 0) != 0 || udp_local_address(fd_, &addr_) != 0)
        throw std::runtime_error(std::string("cannot bind a UDP socket to ") + ip);
}

LoopbackSocket::~LoopbackSocket() = default;

std::vector<uint8_t> LoopbackSocket::receive(int timeout_ms) {
    if (udp_wait_readable(fd_, timeout_ms) != 1) return {};
    std::vector<uint8_t> bytes(65536);
    int n = udp_receive_from(fd_, bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr);
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
}

std::vector<std::vector<uint8_t>> LoopbackSocket::receive_all(int quiet_ms) {
    std::vector<std::vector<uint8_t>> all;
    for (;;) {
        std::vector<uint8_t> one = receive(quiet_ms);
        if (one.empty()) return all;
        all.push_back(std::move(one));
    }
}

std::vector<std::string> text_parts(const std::vector<uint8_t>& datagram) {
    std::vector<std::string> parts;
    std::string part;
    for (size_t i = PACKET_HEADER_SIZE; i < datagram.size(); ++i) {
        if (datagram[i] == 0) {
            parts.push_back(part);
            part.clear();
        } else {
            part.push_back(static_cast<char>(datagram[i]));
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}
