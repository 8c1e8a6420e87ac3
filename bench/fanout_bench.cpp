// The fan-out of one tick to a full listener table, against a bare sendto
// loop over the same addresses on the same socket. Both send 8192 audio
// datagrams of the same size per iteration; compare their items per second
// (the tick should reach at least 1.1 times the bare loop). Run with
// --benchmark_repetitions=6 --benchmark_enable_random_interleaving=true
// and compare the medians: the two share the machine with whatever else runs.
//
// Everything stays on loopback: the station on 127.78.0.1, 8192 listener
// sockets on 127.77.0.0 to 127.77.31.255, emptied between iterations (a
// datagram to an address where nobody listens would cost the system an
// "unreachable" message of its own and measure that instead).

#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/context.h"
#include "app/program.h"
#include "app/station.h"
#include "bench_host.h"
#include "platform/udp_socket.h"
#include "server/sender.h"
#include "server/station_socket.h"

namespace {

constexpr int kFrameBytes = 256;  // 2000 bytes/s at 16000 Hz: one frame per 128 ms
constexpr int kListenerPort = 47999;
constexpr const char* kStationIp = "127.78.0.1";

sockaddr_in listener_address(int index) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kListenerPort);
    addr.sin_addr.s_addr = htonl(0x7F4D0000u + static_cast<uint32_t>(index));  // 127.77.x.y
    return addr;
}

// A socket on each listener's address: the datagrams arrive as at real
// listeners, and are read away outside the timing.
struct ListenerSockets {
    int fds[LISTENER_TABLE_SIZE];

    ListenerSockets() {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        for (int i = 0; i < LISTENER_TABLE_SIZE; ++i) {
            fds[i] = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in addr = listener_address(i);
            if (fds[i] < 0 || bind(fds[i], reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
                perror("fanout_bench: a listener socket (raise the open-file limit?)");
                abort();
            }
        }
    }
    ~ListenerSockets() {
        for (int fd : fds) close(fd);
    }
    void drain() {
        uint8_t bytes[2048];
        for (int fd : fds)
            while (recv(fd, bytes, sizeof bytes, 0) > 0) {
            }
    }
};

// A station broadcasting a long song to a full table.
struct BenchStation {
    BenchHost host;
    std::unique_ptr<Context> ctx = make_context(host);
    std::string dir;

    BenchStation() {
        char pattern[] = "/tmp/velmora-fanout-XXXXXX";
        dir = mkdtemp(pattern);
        std::string song = dir + "/long.VMA";
        FILE* file = fopen(song.c_str(), "wb");
        const unsigned char header[16] = {'V', 'M', 'A', ' ', 0x80, 0x3E, 0, 0, 32, 0};
        fwrite(header, 1, sizeof header, file);
        unsigned char frame[2 + kFrameBytes] = {kFrameBytes >> 8, kFrameBytes & 0xFF};
        for (int i = 0; i < 4096; ++i) fwrite(frame, 1, sizeof frame, file);
        fclose(file);

        ScriptEntry entry;
        entry.count = 1'000'000;  // loops for as long as the benchmark runs
        snprintf(entry.song, sizeof entry.song, "%s", song.c_str());
        ctx->script.entries.push_back(entry);
        ctx->script.loaded = true;

        StationState& s = ctx->state;
        s.SPECIFIC_IP = 1;
        s.IP_ADDR = kStationIp;
        s.STATION_PORT = 34568;
        s.MASTER_IP = kStationIp;  // we are the master: no notices
        ctx->sender.broadcast_state = BroadcastState::broadcasting;
        ctx->live_ring.feed_mode = FeedMode::script;
        if (!open_station(*ctx, kStationIp, nullptr, "", "Bench FM")) abort();
        ctx->script.script_entries = 1;
        for (int i = 0; i < LISTENER_TABLE_SIZE; ++i) {
            ListenerEntry& e = ctx->listeners.entries[i];
            e.addr = listener_address(i);
            e.addr_len = sizeof e.addr;
            e.mode = 0;
            e.joined = 1'700'000'000;
        }
        refresh();
    }

    ~BenchStation() {
        close_station(*ctx);
        std::string command = "rm -rf " + dir;
        if (system(command.c_str()) != 0) fprintf(stderr, "cannot remove %s\n", dir.c_str());
    }

    // Every listener active again (a tick ages them all by one).
    void refresh() {
        for (ListenerEntry& e : ctx->listeners.entries) e.age = 0;
    }
};

void BM_BareSendto(benchmark::State& state) {
    BenchStation station;
    ListenerSockets listeners;
    uint8_t datagram[PACKET_HEADER_SIZE + kFrameBytes] = {};
    sockaddr_in addresses[LISTENER_TABLE_SIZE];
    for (int i = 0; i < LISTENER_TABLE_SIZE; ++i) addresses[i] = listener_address(i);
    int socket = station.ctx->station.socket.fd();
    for (auto _ : state) {
        state.PauseTiming();
        listeners.drain();
        state.ResumeTiming();
        for (int i = 0; i < LISTENER_TABLE_SIZE; ++i)
            udp_send_to(socket, datagram, sizeof datagram, 0, &addresses[i], sizeof addresses[i]);
    }
    state.SetItemsProcessed(state.iterations() * LISTENER_TABLE_SIZE);
}

void BM_BroadcastTick(benchmark::State& state) {
    BenchStation station;
    ListenerSockets listeners;
    for (auto _ : state) {
        state.PauseTiming();
        listeners.drain();
        station.refresh();
        state.ResumeTiming();
        if (broadcast_tick(station_parts(*station.ctx)) != 1) state.SkipWithError("tick refused");
    }
    state.SetItemsProcessed(state.iterations() * LISTENER_TABLE_SIZE);
}

}  // namespace

BENCHMARK(BM_BareSendto)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BroadcastTick)->Unit(benchmark::kMillisecond);
