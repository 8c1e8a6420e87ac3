// control_flood: `status` requests on a station's control socket at a
// steady rate (1000 a second by default), as a monitoring script gone wild
// would send them, each on a connection of its own as velmora-ctl makes
// it. Prints how many were answered and the slowest answer. Run it beside
// velmora-load, which measures the ticks (scripts/control-figures runs both).
//
// usage: control_flood SOCKET [--rate N] [--seconds S]

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// One request and its reply line; the time it took, or -1 without a reply.
double ask(const char* path) {
    const auto start = Clock::now();
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    snprintf(to.sun_path, sizeof to.sun_path, "%s", path);
    double took = -1;
    const char request[] = "{\"command\":\"status\"}\n";
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        send(fd, request, sizeof request - 1, MSG_NOSIGNAL) == ssize_t(sizeof request - 1)) {
        char buffer[65536];
        for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, 2000) > 0;) {
            const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) break;
            if (memchr(buffer, '\n', size_t(got))) {
                took = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
                break;
            }
        }
    }
    close(fd);
    return took;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: control_flood SOCKET [--rate N] [--seconds S]\n");
        return 2;
    }
    int rate = 1000;
    double seconds = 10;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--rate" && i + 1 < argc) rate = std::max(1, atoi(argv[++i]));
        else if (a == "--seconds" && i + 1 < argc) seconds = atof(argv[++i]);
        else return fprintf(stderr, "control_flood: unknown option %s\n", a.c_str()), 2;
    }
    // Four senders, each keeping a quarter of the rate.
    constexpr int kSenders = 4;
    std::vector<std::vector<double>> times(kSenders);
    std::vector<long> failed(kSenders, 0);
    std::vector<std::thread> senders;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    const auto step = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(double(kSenders) / rate));
    for (int s = 0; s < kSenders; ++s)
        senders.emplace_back([&, s] {
            for (auto next = start + step * s / kSenders; next < end; next += step) {
                std::this_thread::sleep_until(next);
                const double took = ask(argv[1]);
                if (took < 0) ++failed[size_t(s)];
                else times[size_t(s)].push_back(took);
            }
        });
    for (auto& t : senders) t.join();
    std::vector<double> all;
    long missing = 0;
    for (int s = 0; s < kSenders; ++s) {
        all.insert(all.end(), times[size_t(s)].begin(), times[size_t(s)].end());
        missing += failed[size_t(s)];
    }
    std::sort(all.begin(), all.end());
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    printf("status requests: %zu answered (%.0f a second), %ld without an answer; answer p50 / p99 / max "
           "%.2f / %.2f / %.2f ms\n",
           all.size(), all.size() / elapsed, missing, all.empty() ? 0 : all[all.size() / 2],
           all.empty() ? 0 : all[all.size() * 99 / 100], all.empty() ? 0 : all.back());
    return missing == 0 ? 0 : 1;
}
