#include "load_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// Nearest rank: the smallest value with at least p percent at or below it.
double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
    return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

}  // namespace

Lateness tick_lateness(const std::vector<TickArrival>& ticks, double tick_seconds) {
    Lateness result;
    result.ticks = static_cast<int>(ticks.size());
    if (ticks.empty()) return result;
    // Relative to the first tick, so the doubles keep their precision.
    const uint32_t first_seq = std::min_element(ticks.begin(), ticks.end(), [](auto& a, auto& b) {
                                   return a.seq < b.seq;
                               })->seq;
    const int64_t first_ns = ticks.front().arrival_ns;
    const double tick_ms = tick_seconds * 1000.0;
    std::vector<double> offsets;  // arrival minus nominal, t0 not yet known
    offsets.reserve(ticks.size());
    double sum_x = 0, sum_y = 0, sum_xx = 0, sum_xy = 0;
    for (const TickArrival& t : ticks) {
        double x = static_cast<double>(t.seq - first_seq);
        double y = static_cast<double>(t.arrival_ns - first_ns) / 1e6;
        offsets.push_back(y - x * tick_ms);
        sum_x += x;
        sum_y += y;
        sum_xx += x * x;
        sum_xy += x * y;
    }
    const double t0 = *std::min_element(offsets.begin(), offsets.end());
    int on_time = 0;
    for (double& o : offsets) {
        o -= t0;
        if (o <= kOnTimeMs) ++on_time;
    }
    std::sort(offsets.begin(), offsets.end());
    result.p50_ms = percentile(offsets, 50);
    result.p99_ms = percentile(offsets, 99);
    result.max_ms = offsets.back();
    result.on_time_share = static_cast<double>(on_time) / static_cast<double>(ticks.size());
    const double n = static_cast<double>(ticks.size());
    const double spread = n * sum_xx - sum_x * sum_x;
    result.mean_interval_ms = spread > 0 ? (n * sum_xy - sum_x * sum_y) / spread : tick_ms;
    return result;
}

std::map<int, int> burst_sizes(const std::vector<TickArrival>& ticks) {
    std::vector<int64_t> arrivals;
    arrivals.reserve(ticks.size());
    for (const TickArrival& t : ticks) arrivals.push_back(t.arrival_ns);
    std::sort(arrivals.begin(), arrivals.end());
    std::map<int, int> histogram;
    const auto within = static_cast<int64_t>(kBurstMs * 1e6);
    int size = 0;
    for (size_t i = 0; i < arrivals.size(); ++i) {
        if (i > 0 && arrivals[i] - arrivals[i - 1] > within) {
            ++histogram[size];
            size = 0;
        }
        ++size;
    }
    if (size > 0) ++histogram[size];
    return histogram;
}

Continuity listener_continuity(const std::vector<uint32_t>& ticks,
                               const std::vector<uint32_t>& received) {
    Continuity result;
    if (received.empty()) return result;
    auto first = std::lower_bound(ticks.begin(), ticks.end(), received.front());
    auto last = std::upper_bound(ticks.begin(), ticks.end(), received.back());
    auto have = received.begin();
    bool in_gap = false;
    for (auto t = first; t != last; ++t) {
        while (have != received.end() && *have < *t) ++have;
        bool got = have != received.end() && *have == *t;
        if (!got) {
            ++result.missed;
            if (!in_gap) ++result.gaps;
        }
        in_gap = !got;
    }
    return result;
}

long unseen_ticks(const std::vector<uint32_t>& ticks) {
    if (ticks.size() < 2) return 0;
    return static_cast<long>(ticks.back() - ticks.front() + 1) - static_cast<long>(ticks.size());
}

long long cpu_ticks_from_stat(const char* line) {
    // The command name in parentheses may hold blanks and parentheses itself:
    // the fields count from its last ")". utime and stime are fields 14 and 15.
    const char* after = strrchr(line, ')');
    unsigned long long utime = 0, stime = 0;
    if (!after || sscanf(after + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu",
                         &utime, &stime) != 2)
        return -1;
    return static_cast<long long>(utime + stime);
}

long udp_drops_from_line(const char* line, uint32_t addr_net, uint16_t port) {
    // sl: local rem st tx:rx tr:when retrnsmt uid timeout inode ref pointer drops;
    // the kernel prints the address as the 32-bit value it holds (network order).
    unsigned addr = 0, local_port = 0;
    long drops = 0;
    if (sscanf(line, " %*d: %8X:%4X %*X:%*X %*X %*X:%*X %*X:%*X %*X %*u %*u %*u %*d %*s %ld", &addr,
               &local_port, &drops) != 3)
        return -1;
    if (local_port != port || (addr != addr_net && addr != 0)) return -1;
    return drops;
}
