#pragma once
// A UDP socket bound to one loopback address (127.x.y.z) on an ephemeral
// port, for tests that exchange real datagrams. Each test uses its own
// address so test programs can run side by side.

#include <netinet/in.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/udp_socket.h"

// Address `role` of this test process: 127.<role>.<pid / 254>.<pid % 254 + 1>.
// The last byte is never 0 or 255, which the station's dialogs refuse as an
// address of a network or its broadcast.
inline std::string test_ip(int role) {
    unsigned pid = static_cast<unsigned>(getpid());
    return "127." + std::to_string(role) + "." + std::to_string((pid / 254) & 0xFF) + "." +
           std::to_string(pid % 254 + 1);
}

class LoopbackSocket {
   public:
    explicit LoopbackSocket(const char* ip);
    ~LoopbackSocket();
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;

    int fd() const { return fd_; }
    const sockaddr_in& addr() const { return addr_; }
    uint16_t port() const { return ntohs(addr_.sin_port); }

    // The next datagram arriving within timeout_ms; empty when none does.
    std::vector<uint8_t> receive(int timeout_ms = 1000);
    // Every datagram that arrives until none has come for quiet_ms.
    std::vector<std::vector<uint8_t>> receive_all(int quiet_ms = 100);

   private:
    UdpSocket socket_;
    int fd_ = -1;
    sockaddr_in addr_{};
};

// The payload of a wire datagram as text parts split at NULs, for checks
// such as {"STARTSEQ", "name", "song"}.
std::vector<std::string> text_parts(const std::vector<uint8_t>& datagram);
