#include "support/connection_flood.h"

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

namespace {

sockaddr_in address_of(const std::string& ip, int port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip.c_str(), &to.sin_addr);
    return to;
}

}  // namespace

ConnectionFlood::ConnectionFlood(const std::string& ip, int port, int clients, std::string request)
    : to_(address_of(ip, port)), clients_(clients), request_(std::move(request)) {
    thread_ = std::thread([this] { run(); });
}

long ConnectionFlood::stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    return connects_;
}

void ConnectionFlood::run() {
    int epoll = epoll_create1(EPOLL_CLOEXEC);
    std::vector<int> fds(clients_, -1);
    std::vector<char> sent(clients_, 0);
    auto open = [&](int i) {
        sent[i] = 0;
        fds[i] = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fds[i] < 0) return;
        if (connect(fds[i], reinterpret_cast<sockaddr*>(&to_), sizeof to_) != 0 &&
            errno != EINPROGRESS) {
            close(fds[i]);
            fds[i] = -1;
            return;
        }
        ++connects_;
        epoll_event ev{};
        ev.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP;
        ev.data.u64 = static_cast<uint64_t>(i);
        epoll_ctl(epoll, EPOLL_CTL_ADD, fds[i], &ev);
    };
    epoll_event events[256];
    char buffer[16384];
    while (!stopping_) {
        // A connect that failed at once is tried again every turn.
        for (int i = 0; i < clients_; ++i)
            if (fds[i] < 0) open(i);
        int n = epoll_wait(epoll, events, 256, 10);
        for (int k = 0; k < n; ++k) {
            int i = static_cast<int>(events[k].data.u64);
            if ((events[k].events & EPOLLOUT) && !sent[i]) {
                if (!request_.empty()) send(fds[i], request_.data(), request_.size(), MSG_NOSIGNAL);
                sent[i] = 1;
                epoll_event ev{};
                ev.events = EPOLLIN | EPOLLRDHUP;
                ev.data.u64 = static_cast<uint64_t>(i);
                epoll_ctl(epoll, EPOLL_CTL_MOD, fds[i], &ev);
            }
            if (!(events[k].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))) continue;
            bool closed = (events[k].events & (EPOLLHUP | EPOLLERR)) != 0;
            ssize_t got;
            while ((got = recv(fds[i], buffer, sizeof buffer, 0)) > 0) {
            }
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) closed = true;
            if (!closed) continue;
            close(fds[i]);
            open(i);
        }
    }
    for (int fd : fds)
        if (fd >= 0) close(fd);
    close(epoll);
}

std::string fetch_once(const std::string& ip, int port, const std::string& request,
                       int timeout_ms) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    sockaddr_in to = address_of(ip, port);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    std::string reply;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        char buffer[16384];
        ssize_t got;
        while (Clock::now() < deadline && (got = recv(fd, buffer, sizeof buffer, 0)) > 0)
            reply.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return Clock::now() < deadline ? reply : std::string();
}
