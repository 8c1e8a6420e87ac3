#pragma once
// The figures velmora-load reports, worked out from arrival times and
// sequence numbers alone, so they can be checked without sockets.
//
// A tick is one value of the station's packet counter: its audio datagrams
// all carry that `seq`. A tick "arrives" when its audio first reaches any
// listener. Its nominal time is t0 + seq x 2048 / sampling rate, with t0 the
// earliest offset seen, so no tick is early and lateness is never negative.

#include <cstdint>
#include <map>
#include <vector>

constexpr double kOnTimeMs = 20;  // a tick this close to its nominal time is on time
constexpr double kBurstMs = 5;    // ticks this close to each other arrive as one burst

// The first arrival of one tick's audio; a realtime clock in nanoseconds.
struct TickArrival {
    uint32_t seq = 0;
    int64_t arrival_ns = 0;
};

struct Lateness {
    int ticks = 0;
    double p50_ms = 0, p99_ms = 0, max_ms = 0;
    double on_time_share = 0;     // share of ticks within kOnTimeMs of nominal
    double mean_interval_ms = 0;  // the station's real tick spacing (least squares)
};

// Lateness of `ticks` (any order) against a schedule of `tick_seconds` a tick.
Lateness tick_lateness(const std::vector<TickArrival>& ticks, double tick_seconds);

// The ticks in order of arrival cut into bursts (a tick within kBurstMs of
// the one before belongs to its burst): burst size -> how many bursts.
std::map<int, int> burst_sizes(const std::vector<TickArrival>& ticks);

struct Continuity {
    long missed = 0;  // ticks the listener did not get
    long gaps = 0;    // runs of them
};

// What one listener missed: `ticks` are the seqs of every tick of the window
// and `received` the listener's (resent copies included, so a gap its own
// resend request filled does not count); both sorted, without repeats. Only
// the ticks between the listener's first and last are its to miss.
Continuity listener_continuity(const std::vector<uint32_t>& ticks,
                               const std::vector<uint32_t>& received);

// Seqs inside the window's run that no listener received: the station
// skipped them, or every copy was lost. `ticks` sorted, without repeats.
long unseen_ticks(const std::vector<uint32_t>& ticks);

// ---- the kernel's own counts ----------------------------------------------

// utime + stime in clock ticks from the one line of /proc/<pid>/stat; -1
// when the line is not one.
long long cpu_ticks_from_stat(const char* line);

// The drops column of one line of /proc/net/udp when that socket is bound to
// `port` on `addr_net` (network order) or on any address; -1 for any other
// socket or line.
long udp_drops_from_line(const char* line, uint32_t addr_net, uint16_t port);
