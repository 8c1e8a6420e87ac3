// status_flood: a connection flood against a station's status endpoint
// (--status-http) and how the endpoint still answers. CLIENTS connections
// each send a request at once and connect again as soon as the server
// closes them (with --silent they send nothing and wait to be dropped).
// Meanwhile a monitor asks for /status.json once a second; a probe counts
// as answered when "200 OK" comes within 2 s. Run it beside velmora-load,
// which measures what the flood does to the ticks
// (scripts/status-flood-figures runs both).
//
// usage: status_flood ADDR PORT [--clients N] [--seconds S] [--silent]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/connection_flood.h"

int main(int argc, char** argv) {
    using Clock = std::chrono::steady_clock;
    if (argc < 3) {
        fprintf(stderr, "usage: status_flood ADDR PORT [--clients N] [--seconds S] [--silent]\n");
        return 2;
    }
    std::string ip = argv[1];
    int port = atoi(argv[2]), clients = 500;
    double seconds = 20;
    bool silent = false;
    for (int i = 3; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--silent") silent = true;
        else if (a == "--clients" && i + 1 < argc) clients = std::max(1, atoi(argv[++i]));
        else if (a == "--seconds" && i + 1 < argc) seconds = atof(argv[++i]);
        else return fprintf(stderr, "status_flood: unknown option %s\n", a.c_str()), 2;
    }
    auto start = Clock::now();
    ConnectionFlood flood(ip, port, clients, silent ? "" : "GET /metrics HTTP/1.1\r\n\r\n");
    int probes = 0, answered = 0;
    double slowest_ms = 0;
    const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(seconds));
    for (auto next = start + std::chrono::milliseconds(500); next < end;
         next += std::chrono::seconds(1)) {
        std::this_thread::sleep_until(next);
        auto asked = Clock::now();
        std::string reply = fetch_once(ip, port, "GET /status.json HTTP/1.1\r\n\r\n", 2000);
        ++probes;
        if (reply.rfind("HTTP/1.1 200 OK\r\n", 0) != 0) continue;
        ++answered;
        std::chrono::duration<double, std::milli> took = Clock::now() - asked;
        slowest_ms = std::max(slowest_ms, took.count());
    }
    long connects = flood.stop();
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    printf("clients %d%s, %.0f s: %.0f connects/s; probes answered %d of %d (slowest %.0f ms)\n",
           clients, silent ? " (silent)" : "", elapsed, connects / elapsed, answered, probes,
           slowest_ms);
    return 0;
}
