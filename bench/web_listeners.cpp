// web_listeners: a crowd of web listeners on a station's /listen.opus. N
// clients each ask for the stream and read everything that comes, as a
// browser does; one more asks and then reads nothing, as a stalled phone
// would, and the run says when the station dropped it. Run it beside
// velmora-load, which measures what the crowd does to the ticks and the
// UDP listeners (scripts/web-listeners-figures runs both).
//
// usage: web_listeners ADDR PORT [--clients N] [--seconds S]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int connect_and_ask(const sockaddr_in& to, int receive_buffer) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (receive_buffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    const std::string request = "GET /listen.opus HTTP/1.1\r\nHost: bench\r\n\r\n";
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 ||
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: web_listeners ADDR PORT [--clients N] [--seconds S]\n");
        return 2;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(atoi(argv[2])));
    if (inet_pton(AF_INET, argv[1], &to.sin_addr) != 1) {
        fprintf(stderr, "web_listeners: %s is no dotted address\n", argv[1]);
        return 2;
    }
    int clients = 200;
    double seconds = 20;
    for (int i = 3; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--clients" && i + 1 < argc) clients = std::max(1, atoi(argv[++i]));
        else if (a == "--seconds" && i + 1 < argc) seconds = atof(argv[++i]);
        else return fprintf(stderr, "web_listeners: unknown option %s\n", a.c_str()), 2;
    }

    // The silent one first: its small buffer fills within a second.
    const auto start = Clock::now();
    int silent = connect_and_ask(to, 4096);
    if (silent < 0) return fprintf(stderr, "web_listeners: cannot connect\n"), 1;
    double silent_dropped_s = -1;

    int epoll = epoll_create1(EPOLL_CLOEXEC);
    std::vector<long> bytes(static_cast<size_t>(clients), 0);
    std::vector<int> fds(static_cast<size_t>(clients), -1);
    int connected = 0, ended_early = 0;
    for (int i = 0; i < clients; ++i) {
        fds[size_t(i)] = connect_and_ask(to, 0);
        if (fds[size_t(i)] < 0) continue;
        ++connected;
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.u32 = static_cast<uint32_t>(i);
        epoll_ctl(epoll, EPOLL_CTL_ADD, fds[size_t(i)], &e);
    }
    const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(seconds));
    // The silent client is watched until it is dropped, up to 40 s.
    const auto silent_end = start + std::chrono::seconds(40);
    char buffer[65536];
    epoll_event events[64];
    while (Clock::now() < end || (silent >= 0 && Clock::now() < silent_end)) {
        int n = epoll_wait(epoll, events, 64, 100);
        for (int k = 0; k < n; ++k) {
            const size_t i = events[k].data.u32;
            ssize_t got = recv(fds[i], buffer, sizeof buffer, MSG_DONTWAIT);
            if (got > 0) {
                bytes[i] += got;
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                epoll_ctl(epoll, EPOLL_CTL_DEL, fds[i], nullptr);
                close(fds[i]);
                fds[i] = -1;
                if (Clock::now() < end) ++ended_early;
            }
        }
        if (Clock::now() >= end)
            for (int& fd : fds)
                if (fd >= 0) close(fd), fd = -1;
        if (silent >= 0) {
            pollfd p{silent, POLLRDHUP, 0};
            if (poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
                silent_dropped_s = std::chrono::duration<double>(Clock::now() - start).count();
                close(silent);
                silent = -1;
            }
        }
    }
    if (silent >= 0) close(silent);
    close(epoll);
    long least = -1, most = 0, all = 0;
    for (int i = 0; i < clients; ++i) {
        if (least < 0 || bytes[size_t(i)] < least) least = bytes[size_t(i)];
        most = std::max(most, bytes[size_t(i)]);
        all += bytes[size_t(i)];
    }
    printf("web listeners %d of %d connected, %d ended early; kbit/s each: least %.1f, mean %.1f, "
           "most %.1f; ",
           connected, clients, ended_early, least * 8 / seconds / 1000,
           all * 8.0 / clients / seconds / 1000, most * 8 / seconds / 1000);
    if (silent_dropped_s >= 0) printf("the silent client was dropped after %.1f s\n", silent_dropped_s);
    else printf("the silent client was NOT dropped within 40 s\n");
    return silent_dropped_s >= 0 && silent_dropped_s <= 30 && ended_early == 0 ? 0 : 1;
}
