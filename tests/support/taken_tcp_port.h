#pragma once
// A TCP port held by the test, so that a server of the station finds it taken.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

// A TCP port bound and listening (nobody accepts) while it lives.
class TakenTcpPort {
public:
    TakenTcpPort(const std::string& ip, int port)
        : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, ip.c_str(), &at.sin_addr);
        held_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
                ::listen(fd_, 1) == 0;
    }
    ~TakenTcpPort() {
        if (fd_ >= 0) close(fd_);
    }
    TakenTcpPort(const TakenTcpPort&) = delete;
    TakenTcpPort& operator=(const TakenTcpPort&) = delete;
    bool held() const { return held_; }

private:
    int fd_;
    bool held_ = false;
};
