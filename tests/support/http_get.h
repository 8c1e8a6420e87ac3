#pragma once
// Plain HTTP over a socket for the journeys of the listeners' page: a GET
// as a browser sends it, and a TCP port held by the test so that the
// station finds it taken.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

// What the server at ip:port sends to GET `path` within `ms`, or until it
// closes; "" when nobody accepts the connection.
inline std::string http_get(const std::string& ip, int port, const std::string& path, int ms) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip.c_str(), &to.sin_addr);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        if (fd >= 0) close(fd);
        return "";
    }
    timeval timeout{0, 200 * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: " + ip + "\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string reply;
    char buffer[8192];
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got == 0) break;
        if (got > 0) reply.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return reply;
}

// A TCP port bound and listening (nobody accepts) while it lives.
class TakenTcpPort {
public:
    TakenTcpPort(const std::string& ip, int port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
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
