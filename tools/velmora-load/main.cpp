// velmora-load: many listeners against a station on this machine, each from
// its own 127.x.y.z address, and the figures that tell how steadily the
// station serves them: tick lateness and bursts, datagrams per second,
// listeners kept, seq continuity and the station's CPU per tick. Linux only:
// one thread, epoll, recvmmsg, kernel receive timestamps.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/version.h"
#include "load_stats.h"
#include "wire/packet.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void on_signal(int) {
    g_stop = 1;
}

constexpr int64_t kSecond = 1'000'000'000;
constexpr int64_t kJoinRetry = 2 * kSecond;    // a join or its reply may get lost
constexpr int64_t kStillServed = 2 * kSecond;  // audio this recent: still in the table
constexpr int kBatch = 16;                     // datagrams per recvmmsg
constexpr uint32_t kResendReach = 60;          // how far back a resend is asked for

struct Options {
    std::string station = "127.0.0.1:3456";
    int listeners = 1;
    double keepalive_rate = 1;  // per listener and second
    double resend_rate = 0;     // per listener and second
    double rejoin_rate = 0;     // per listener and second
    double flood = 0;           // strangers' joins per second
    double flood_start = 0;     // seconds after the start
    double join_rate = 2000;    // listeners' joins (and retries) per second
    double seconds = 10;
    double warmup = 3;
    std::string first_address = "127.100.0.1";
    std::string flood_first_address = "127.200.0.1";
    bool companion = false;
    long station_pid = 0;
    bool json = false;
};

void usage(FILE* out) {
    fprintf(out,
            "usage: velmora-load [options]\n"
            "  --station HOST:PORT     the station (default 127.0.0.1:3456; 127.x.y.z only)\n"
            "  --listeners N           listeners, each on its own address (default 1)\n"
            "  --first-address A       the first listener's address (default 127.100.0.1);\n"
            "                          the others follow it\n"
            "  --keepalive-rate HZ     keep-alives per listener and second (default 1),\n"
            "                          spread evenly; one more right after \"STARTSEQ\"\n"
            "  --resend-rate HZ        resend requests per listener and second (default 0):\n"
            "                          for a missing recent seq, else for one just received\n"
            "  --rejoin-rate HZ        leaves and re-joins per listener and second (default 0)\n"
            "  --join-rate N           listeners' joins and join retries per second\n"
            "                          (default 2000)\n"
            "  --companion             listeners ask for the companion stream\n"
            "  --flood N               joins per second from strangers that never keep alive\n"
            "                          (default 0), each from a fresh address and port\n"
            "  --flood-first-address A\n"
            "                          the strangers' first address (default 127.200.0.1)\n"
            "  --flood-start S         seconds after the start the flood begins (default 0;\n"
            "                          after the listeners are in, it meets a full table)\n"
            "  --warmup S              seconds before the measurement (default 3)\n"
            "  --seconds S             seconds measured (default 10)\n"
            "  --station-pid PID       also measure the station's CPU per tick\n"
            "  --json                  the report as one JSON object\n"
            "  --help, -h              this text\n"
            "  --version               the version and build\n");
}

bool parse_number(const char* name, const char* text, double low, double high, double* out) {
    char* end = nullptr;
    errno = 0;
    double value = strtod(text, &end);
    if (end == text || *end || errno || !std::isfinite(value) || value < low || value > high) {
        fprintf(stderr, "velmora-load: %s %s is not a number from %g to %g\n", name, text, low,
                high);
        return false;
    }
    *out = value;
    return true;
}

// 0 done, 1 help shown, 2 wrong usage.
int parse_options(int argc, char** argv, Options& o) {
    double listeners = o.listeners, pid = 0;
    struct Number {
        const char* name;
        double* value;
        double low, high;
    };
    const Number numbers[] = {
        {"--listeners", &listeners, 1, 1 << 20},
        {"--keepalive-rate", &o.keepalive_rate, 0, 1000},
        {"--resend-rate", &o.resend_rate, 0, 1000},
        {"--rejoin-rate", &o.rejoin_rate, 0, 1000},
        {"--join-rate", &o.join_rate, 1, 1e6},
        {"--flood", &o.flood, 0, 1e6},
        {"--flood-start", &o.flood_start, 0, 86400},
        {"--seconds", &o.seconds, 0.1, 86400},
        {"--warmup", &o.warmup, 0, 86400},
        {"--station-pid", &pid, 1, INT_MAX},
    };
    const std::pair<const char*, std::string*> texts[] = {
        {"--station", &o.station},
        {"--first-address", &o.first_address},
        {"--flood-first-address", &o.flood_first_address},
    };
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") return usage(stdout), 1;
        if (a == "--json" || a == "--companion") {
            (a == "--json" ? o.json : o.companion) = true;
            continue;
        }
        bool known = false;
        for (const Number& n : numbers) {
            if (a != n.name) continue;
            known = true;
            if (i + 1 >= argc)
                return fprintf(stderr, "velmora-load: %s needs a number\n", n.name), 2;
            if (!parse_number(n.name, argv[++i], n.low, n.high, n.value)) return 2;
        }
        for (const auto& [name, value] : texts) {
            if (a != name) continue;
            known = true;
            if (i + 1 >= argc) return fprintf(stderr, "velmora-load: %s needs a value\n", name), 2;
            *value = argv[++i];
        }
        if (!known) return fprintf(stderr, "velmora-load: unknown option %s\n", a.c_str()), 2;
    }
    if (listeners != std::floor(listeners) || pid != std::floor(pid))
        return fprintf(stderr, "velmora-load: --listeners and --station-pid take whole numbers\n"),
               2;
    o.listeners = static_cast<int>(listeners);
    o.station_pid = static_cast<long>(pid);
    return 0;
}

// A 127.x.y.z address in host order, or 0.
uint32_t loopback_address(const std::string& text) {
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) return 0;
    uint32_t host = ntohl(a.s_addr);
    return (host >> 24) == 127 ? host : 0;
}

std::string dotted(uint32_t host_order) {
    in_addr a{htonl(host_order)};
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

bool parse_station(const std::string& text, sockaddr_in* out) {
    size_t colon = text.rfind(':');
    uint32_t host = loopback_address(text.substr(0, colon));
    double port = 3456;
    if (colon != std::string::npos &&
        !parse_number("--station port", text.c_str() + colon + 1, 1, 65535, &port))
        return false;
    if (!host) {
        fprintf(stderr, "velmora-load: the station %s is not on a 127.x.y.z address\n",
                text.c_str());
        return false;
    }
    *out = sockaddr_in{};
    out->sin_family = AF_INET;
    out->sin_addr.s_addr = htonl(host);
    out->sin_port = htons(static_cast<uint16_t>(port));
    return true;
}

int64_t clock_ns(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<int64_t>(t.tv_sec) * kSecond + t.tv_nsec;
}
int64_t monotonic_ns() {
    return clock_ns(CLOCK_MONOTONIC);
}
int64_t realtime_ns() {
    return clock_ns(CLOCK_REALTIME);
}  // the clock of receive timestamps

// Events spread evenly over time at `per_second`; due() tells how many have
// come due since it was last asked.
class EvenPace {
   public:
    EvenPace(double per_second, int64_t start_ns) : per_second_(per_second), start_(start_ns) {}
    uint64_t due(int64_t now_ns) {
        if (per_second_ <= 0 || now_ns < start_) return 0;
        auto total =
            static_cast<uint64_t>(static_cast<double>(now_ns - start_) * per_second_ / 1e9);
        uint64_t n = total - taken_;
        taken_ = total;
        return n;
    }
    int64_t next_ns() const {
        if (per_second_ <= 0) return INT64_MAX;
        return start_ + static_cast<int64_t>(static_cast<double>(taken_ + 1) * 1e9 / per_second_);
    }

   private:
    double per_second_;
    int64_t start_;
    uint64_t taken_ = 0;
};

// The station's sampling rate from the rate code of its join reply.
int rate_from_code(uint16_t flags) {
    int family = (flags & PF_RATE_44100) ? 44100 : (flags & PF_RATE_22050) ? 22050 : 11025;
    return (flags & PF_RATE_EXACT) ? family : family * 8000 / 11025;
}

// A resent copy carries the session its request named; this one tells it
// from the listener's own audio.
uint32_t resend_stamp(uint32_t session) {
    return ~session;
}

struct Listener {
    int fd = -1;
    uint32_t session = 0;
    bool admitted = false;     // "STARTSEQ" came and no leave was sent since
    bool join_queued = false;  // waits in the join queue
    bool have_seq = false;
    uint32_t first_seq = 0, highest_seq = 0;
    uint64_t recent = 0;    // bit i: highest_seq - i arrived (or was asked for)
    bool rejoined = false;  // the seqs missed while re-joining are its own doing
    uint32_t seq_at_leave = 0;
    int64_t last_audio_ns = 0;  // realtime
    uint32_t kernel_drops = 0;  // SO_RXQ_OVFL: datagrams the socket had no room for
    std::vector<uint32_t> window_seqs;
};

// Per-process measures read at the start and the end of the window.
struct Sample {
    int64_t realtime = 0;
    double station_cpu_s = -1;   // -1: not known
    double station_wait_s = -1;  // its main thread's time waiting for a core
    long station_drops = -1;
    double own_cpu_s = 0;
    uint64_t own_drops = 0;
};

double process_cpu_seconds(long pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    FILE* f = fopen(path, "r");
    if (!f) return -1;
    char line[1024] = "";
    bool read = fgets(line, sizeof line, f) != nullptr;
    fclose(f);
    long long ticks = read ? cpu_ticks_from_stat(line) : -1;
    if (ticks < 0) return -1;
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// How long the process's main thread (where the station's ticks run) has
// waited for a core: the second field of /proc/<pid>/schedstat, in ns.
double run_queue_wait_seconds(long pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%ld/schedstat", pid);
    FILE* f = fopen(path, "r");
    if (!f) return -1;
    unsigned long long running = 0, waiting = 0;
    bool read = fscanf(f, "%llu %llu", &running, &waiting) == 2;
    fclose(f);
    return read ? static_cast<double>(waiting) / 1e9 : -1;
}

// The kernel's drop count of the station's socket; -1 when it is not found.
long station_socket_drops(const sockaddr_in& station) {
    FILE* f = fopen("/proc/net/udp", "r");
    if (!f) return -1;
    char line[512];
    long drops = -1;
    while (fgets(line, sizeof line, f)) {
        long d = udp_drops_from_line(line, station.sin_addr.s_addr, ntohs(station.sin_port));
        if (d >= 0) drops = (drops < 0 ? 0 : drops) + d;
    }
    fclose(f);
    return drops;
}

double own_cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Counters {
    long datagrams = 0;  // from the station, in the window
    long joins_sent = 0, refusals = 0, keepalives = 0, resends_asked = 0, resends_got = 0,
         rejoins = 0, flood_joins = 0;
};

struct Figures;

class Swarm {
   public:
    Swarm(const Options& o, const sockaddr_in& station) : o_(o), station_(station) {}
    ~Swarm() {
        for (Listener& l : listeners_)
            if (l.fd >= 0) close(l.fd);
        if (epoll_ >= 0) close(epoll_);
    }

    // Opens every listener's socket; false with the cause printed.
    bool open(uint32_t first_address);
    // Joins, keeps alive, measures; false with the cause printed.
    bool run();
    Figures figures() const;

   private:
    void send(Listener& l, uint32_t seq, uint32_t session, uint16_t flags, const void* payload,
              int length);
    void join(Listener& l);
    void queue_join(size_t index, int64_t due);
    void keep_alive(Listener& l);
    void ask_resend(Listener& l);
    void rejoin(size_t index, int64_t now);
    bool flood_join();
    void drain(size_t index);
    void on_datagram(Listener& l, const uint8_t* bytes, int size, int64_t arrival_ns);
    void on_audio(Listener& l, const PacketHeader& h, int64_t arrival_ns);
    bool in_window(int64_t realtime) const {
        return window_started_ && realtime >= start_.realtime && realtime < window_end_rt_;
    }
    Sample sample() const;

    const Options& o_;
    sockaddr_in station_;
    uint32_t first_address_ = 0;
    std::vector<Listener> listeners_;
    int epoll_ = -1;
    uint32_t next_flood_address_ = 0;
    uint32_t flood_last_address_ = 0;
    std::deque<std::pair<size_t, int64_t>> join_queue_;  // listener, due (monotonic)
    int sampling_rate_ = 0;
    bool window_started_ = false;
    int64_t window_end_rt_ = INT64_MAX;
    Sample start_, end_;
    Counters counters_;
    std::unordered_map<uint32_t, int64_t> tick_arrivals_;  // seq -> first arrival, in the window
};

bool Swarm::open(uint32_t first_address) {
    first_address_ = first_address;
    const uint64_t last = static_cast<uint64_t>(first_address) + o_.listeners - 1;
    if (last >= 0x7FFFFFFFu) {
        fprintf(stderr, "velmora-load: %d listeners from %s run past 127.255.255.254\n",
                o_.listeners, dotted(first_address).c_str());
        return false;
    }
    next_flood_address_ = loopback_address(o_.flood_first_address);
    flood_last_address_ = 0x7FFFFFFEu;
    if (o_.flood > 0) {
        if (!next_flood_address_) {
            fprintf(stderr, "velmora-load: --flood-first-address %s is not a 127.x.y.z address\n",
                    o_.flood_first_address.c_str());
            return false;
        }
        // The strangers count up from their first address and must never be listeners.
        if (first_address <= next_flood_address_ && next_flood_address_ <= last) {
            fprintf(stderr, "velmora-load: the strangers' addresses from %s meet the listeners'\n",
                    o_.flood_first_address.c_str());
            return false;
        }
        if (next_flood_address_ < first_address) flood_last_address_ = first_address - 1;
    }

    // One descriptor per listener, the epoll one, stdio and a stranger's socket.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlim_t needed = static_cast<rlim_t>(o_.listeners) + 64;
    if (limit.rlim_cur < needed) {
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed) {
            fprintf(stderr,
                    "velmora-load: %d listeners need %lu open files, the hard limit is %lu "
                    "(raise it with ulimit -Hn as root)\n",
                    o_.listeners, static_cast<unsigned long>(needed),
                    static_cast<unsigned long>(limit.rlim_max));
            return false;
        }
        limit.rlim_cur = needed;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            fprintf(stderr, "velmora-load: cannot raise the open-file limit to %lu: %s\n",
                    static_cast<unsigned long>(needed), strerror(errno));
            return false;
        }
    }

    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) {
        fprintf(stderr, "velmora-load: epoll_create1: %s\n", strerror(errno));
        return false;
    }
    listeners_.resize(static_cast<size_t>(o_.listeners));
    const int one = 1;
    for (size_t i = 0; i < listeners_.size(); ++i) {
        Listener& l = listeners_[i];
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(first_address + static_cast<uint32_t>(i));
        l.fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (l.fd < 0) {
            fprintf(stderr, "velmora-load: socket for listener %zu: %s\n", i + 1, strerror(errno));
            return false;
        }
        if (bind(l.fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            fprintf(stderr, "velmora-load: cannot bind %s: %s\n",
                    dotted(first_address + static_cast<uint32_t>(i)).c_str(), strerror(errno));
            return false;
        }
        // Receive times from the kernel, so a busy load tool does not make ticks late.
        if (setsockopt(l.fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one) != 0 ||
            setsockopt(l.fd, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof one) != 0) {
            fprintf(stderr, "velmora-load: setsockopt: %s\n", strerror(errno));
            return false;
        }
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = i;
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, l.fd, &event) != 0) {
            fprintf(stderr, "velmora-load: epoll_ctl: %s\n", strerror(errno));
            return false;
        }
    }
    return true;
}

void Swarm::send(Listener& l, uint32_t seq, uint32_t session, uint16_t flags, const void* payload,
                 int length) {
    uint8_t bytes[PACKET_HEADER_SIZE + 64];
    put_packet_header(PacketHeader{seq, session, flags, static_cast<uint16_t>(length)}, bytes);
    if (length > 0) memcpy(bytes + PACKET_HEADER_SIZE, payload, static_cast<size_t>(length));
    // A full socket buffer loses a request, as the network may: the retries cover it.
    sendto(l.fd, bytes, static_cast<size_t>(PACKET_HEADER_SIZE + length), 0,
           reinterpret_cast<const sockaddr*>(&station_), sizeof station_);
}

void Swarm::join(Listener& l) {
    static const char kText[] = "velmora-load";
    send(l, 0, 0, PF_TEXT | (o_.companion ? PF_COMPANION : 0), kText, sizeof kText);
    ++counters_.joins_sent;
}

void Swarm::queue_join(size_t index, int64_t due) {
    if (listeners_[index].join_queued) return;
    listeners_[index].join_queued = true;
    join_queue_.emplace_back(index, due);
}

void Swarm::keep_alive(Listener& l) {
    uint8_t stats[16] = {};  // what a listener reports; the station only traces it
    stats[0] = static_cast<uint8_t>(l.highest_seq);
    send(l, 0, l.session, PF_KEEPALIVE, stats, sizeof stats);
    ++counters_.keepalives;
}

// Asks for the oldest recent seq that did not arrive, else for the latest:
// the station keeps only the last 80 audio datagrams, with many listeners
// less than one tick's worth.
void Swarm::ask_resend(Listener& l) {
    if (!l.have_seq) return;
    uint32_t wanted = l.highest_seq;
    int reach = static_cast<int>(std::min<uint32_t>(kResendReach, l.highest_seq - l.first_seq));
    for (int back = reach; back > 0; --back)
        if (!(l.recent >> back & 1)) {
            wanted = l.highest_seq - static_cast<uint32_t>(back);
            l.recent |= uint64_t{1} << back;  // asked once is enough
            break;
        }
    send(l, wanted, resend_stamp(l.session), PF_KEEPALIVE, nullptr, 0);
    ++counters_.resends_asked;
}

void Swarm::rejoin(size_t index, int64_t now) {
    Listener& l = listeners_[index];
    send(l, 0, l.session, PF_LEAVE, nullptr, 0);
    l.admitted = false;
    l.rejoined = l.have_seq;
    l.seq_at_leave = l.highest_seq;
    join(l);
    queue_join(index, now + kJoinRetry);
    ++counters_.rejoins;
}

// A join from the next stranger's address and a fresh port; nothing is read.
bool Swarm::flood_join() {
    uint32_t address = next_flood_address_;
    next_flood_address_ =
        address >= flood_last_address_ ? loopback_address(o_.flood_first_address) : address + 1;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(address);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        fprintf(stderr, "velmora-load: cannot bind the stranger %s: %s\n", dotted(address).c_str(),
                strerror(errno));
        if (fd >= 0) close(fd);
        return false;
    }
    uint8_t bytes[PACKET_HEADER_SIZE + 16];
    static const char kText[] = "stranger";
    put_packet_header(PacketHeader{0, 0, PF_TEXT, sizeof kText}, bytes);
    memcpy(bytes + PACKET_HEADER_SIZE, kText, sizeof kText);
    sendto(fd, bytes, PACKET_HEADER_SIZE + sizeof kText, 0,
           reinterpret_cast<const sockaddr*>(&station_), sizeof station_);
    close(fd);
    ++counters_.flood_joins;
    return true;
}

void Swarm::drain(size_t index) {
    static uint8_t bytes[kBatch][MAX_DATAGRAM];
    static sockaddr_in from[kBatch];
    static iovec iov[kBatch];
    union Control {
        cmsghdr align;
        char space[CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(uint32_t))];
    };
    static Control control[kBatch];
    static mmsghdr messages[kBatch];
    Listener& l = listeners_[index];
    for (;;) {
        for (int i = 0; i < kBatch; ++i) {
            iov[i] = {bytes[i], MAX_DATAGRAM};
            messages[i].msg_hdr = msghdr{};
            messages[i].msg_hdr.msg_name = &from[i];
            messages[i].msg_hdr.msg_namelen = sizeof from[i];
            messages[i].msg_hdr.msg_iov = &iov[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_control = control[i].space;
            messages[i].msg_hdr.msg_controllen = sizeof control[i].space;
        }
        int n = recvmmsg(l.fd, messages, kBatch, MSG_DONTWAIT, nullptr);
        if (n <= 0) return;  // EAGAIN: all read; other errors: the next wake-up tries again
        for (int i = 0; i < n; ++i) {
            if (from[i].sin_addr.s_addr != station_.sin_addr.s_addr ||
                from[i].sin_port != station_.sin_port)
                continue;
            int64_t arrival = 0;
            for (cmsghdr* c = CMSG_FIRSTHDR(&messages[i].msg_hdr); c;
                 c = CMSG_NXTHDR(&messages[i].msg_hdr, c)) {
                if (c->cmsg_level != SOL_SOCKET) continue;
                if (c->cmsg_type == SO_TIMESTAMPNS) {
                    timespec t;
                    memcpy(&t, CMSG_DATA(c), sizeof t);
                    arrival = static_cast<int64_t>(t.tv_sec) * kSecond + t.tv_nsec;
                } else if (c->cmsg_type == SO_RXQ_OVFL) {
                    memcpy(&l.kernel_drops, CMSG_DATA(c), sizeof l.kernel_drops);
                }
            }
            if (!arrival) arrival = realtime_ns();
            on_datagram(l, bytes[i], static_cast<int>(messages[i].msg_len), arrival);
        }
        if (n < kBatch) return;
    }
}

void Swarm::on_datagram(Listener& l, const uint8_t* bytes, int size, int64_t arrival_ns) {
    if (size < PACKET_HEADER_SIZE) return;
    if (in_window(arrival_ns)) ++counters_.datagrams;
    PacketHeader h = get_packet_header(bytes);
    if (h.flags & PF_AUDIO) {
        if (static_cast<bool>(h.flags & PF_COMPANION) == o_.companion) on_audio(l, h, arrival_ns);
        return;
    }
    if (!(h.flags & PF_TEXT) || (h.flags & PF_UPGRADE)) return;
    // Text replies are NUL-terminated; a cut one is no reply.
    const char* text = reinterpret_cast<const char*>(bytes + PACKET_HEADER_SIZE);
    const size_t room = static_cast<size_t>(size - PACKET_HEADER_SIZE);
    if (strnlen(text, room) == room) return;
    if (strcmp(text, "STARTSEQ") == 0) {
        l.session = h.session;
        sampling_rate_ = rate_from_code(h.flags);
        if (!l.admitted) {
            l.admitted = true;
            keep_alive(l);  // at once: the station learns the listener is real
        }
    } else if (strcmp(text, "Busy") == 0 || strcmp(text, "BUSY") == 0 ||
               strcmp(text, "IntranetOnly") == 0) {
        ++counters_.refusals;
    }
}

void Swarm::on_audio(Listener& l, const PacketHeader& h, int64_t arrival_ns) {
    const uint32_t seq = h.seq;
    const bool resent = h.session == resend_stamp(l.session) && h.session != l.session;
    if (!l.have_seq) {
        l.have_seq = true;
        l.first_seq = seq;
        l.highest_seq = seq;
        l.recent = 1;
    } else if (seq > l.highest_seq) {
        uint32_t shift = seq - l.highest_seq;
        l.recent = shift >= 64 ? 0 : l.recent << shift;
        l.recent |= 1;
        l.highest_seq = seq;
    } else if (l.highest_seq - seq < 64) {
        l.recent |= uint64_t{1} << (l.highest_seq - seq);
    }
    l.last_audio_ns = arrival_ns;
    if (resent) ++counters_.resends_got;
    if (!in_window(arrival_ns)) return;
    if (l.rejoined && !resent && l.admitted) {
        // What went by between the leave and the new "STARTSEQ" was not lost.
        l.rejoined = false;
        for (uint32_t s = l.seq_at_leave + 1; s < seq && s - l.seq_at_leave < 100000; ++s)
            l.window_seqs.push_back(s);
    }
    l.window_seqs.push_back(seq);
    if (!resent) {
        auto [it, fresh] = tick_arrivals_.try_emplace(seq, arrival_ns);
        if (!fresh && arrival_ns < it->second) it->second = arrival_ns;
    }
}

Sample Swarm::sample() const {
    Sample s;
    s.realtime = realtime_ns();
    if (o_.station_pid > 0) {
        s.station_cpu_s = process_cpu_seconds(o_.station_pid);
        s.station_wait_s = run_queue_wait_seconds(o_.station_pid);
    }
    s.station_drops = station_socket_drops(station_);
    s.own_cpu_s = own_cpu_seconds();
    for (const Listener& l : listeners_) s.own_drops += l.kernel_drops;
    return s;
}

bool Swarm::run() {
    const int64_t begin = monotonic_ns();
    const int64_t window_begin = begin + static_cast<int64_t>(o_.warmup * 1e9);
    const int64_t window_end = window_begin + static_cast<int64_t>(o_.seconds * 1e9);
    EvenPace joins(o_.join_rate, begin), keepalives(o_.keepalive_rate * o_.listeners, begin),
        resends(o_.resend_rate * o_.listeners, begin),
        rejoins(o_.rejoin_rate * o_.listeners, begin),
        flood(o_.flood, begin + static_cast<int64_t>(o_.flood_start * 1e9));
    for (size_t i = 0; i < listeners_.size(); ++i) queue_join(i, begin);
    uint64_t keepalive_slot = 0, resend_slot = 0, rejoin_slot = 0;
    const size_t n = listeners_.size();
    static epoll_event events[1024];

    for (;;) {
        int64_t now = monotonic_ns();
        if (g_stop) {
            fprintf(stderr, "velmora-load: interrupted\n");
            return false;
        }
        if (!window_started_ && now >= window_begin) {
            start_ = sample();
            window_started_ = true;
        }
        if (now >= window_end) break;

        // Sends due now, each kind spread evenly over listeners and time.
        for (uint64_t k = joins.due(now); k > 0 && !join_queue_.empty();) {
            auto [index, due] = join_queue_.front();
            if (due > now) break;
            join_queue_.pop_front();
            Listener& l = listeners_[index];
            l.join_queued = false;
            if (l.admitted) continue;
            join(l);
            queue_join(index, now + kJoinRetry);
            --k;
        }
        for (uint64_t k = keepalives.due(now); k > 0; --k) {
            Listener& l = listeners_[keepalive_slot++ % n];
            if (l.admitted) keep_alive(l);
        }
        for (uint64_t k = resends.due(now); k > 0; --k) {
            Listener& l = listeners_[resend_slot++ % n];
            if (l.admitted) ask_resend(l);
        }
        for (uint64_t k = rejoins.due(now); k > 0; --k) {
            size_t index = rejoin_slot++ % n;
            if (listeners_[index].admitted) rejoin(index, now);
        }
        for (uint64_t k = flood.due(now); k > 0; --k)
            if (!flood_join()) return false;

        int64_t next = std::min({keepalives.next_ns(), resends.next_ns(), rejoins.next_ns(),
                                 flood.next_ns(), window_started_ ? window_end : window_begin});
        if (!join_queue_.empty())
            next = std::min({next, joins.next_ns(), join_queue_.front().second});
        // At least a millisecond: what comes due meanwhile goes out together.
        int wait_ms =
            static_cast<int>(std::clamp<int64_t>((next - monotonic_ns()) / 1'000'000 + 1, 1, 10));
        int ready = epoll_wait(epoll_, events, 1024, wait_ms);
        if (ready < 0 && errno != EINTR) {
            fprintf(stderr, "velmora-load: epoll_wait: %s\n", strerror(errno));
            return false;
        }
        for (int i = 0; i < ready; ++i) drain(events[i].data.u64);
    }
    end_ = sample();
    window_end_rt_ = end_.realtime;
    // Whatever is still queued arrived inside the window.
    for (size_t i = 0; i < n; ++i) drain(i);
    for (Listener& l : listeners_)
        if (l.admitted) send(l, 0, l.session, PF_LEAVE, nullptr, 0);
    return true;
}

// ---- the report ----------------------------------------------------------

struct Figures {
    int sampling_rate = 0;
    double window_s = 0, tick_ms = 0;
    Lateness lateness;
    std::map<int, int> bursts;
    long unseen = 0;
    double datagrams_per_s = 0;
    int admitted = 0;
    long missed = 0, gaps = 0;
    int listeners_with_gaps = 0;
    // The listeners that missed most, for a closer look.
    struct Missing {
        uint32_t address;
        Continuity continuity;
    };
    std::vector<Missing> worst;
    Counters counters;
    bool station_cpu_known = false, station_wait_known = false, station_drops_known = false;
    double station_cpu_ms_per_tick = 0, station_cpu_share = 0, station_wait_ms_per_tick = 0;
    long station_drops = 0;
    double own_cpu_share = 0;
    uint64_t own_drops = 0;
    // Behind: its sockets overflowed, or it had no time left to read them.
    bool kept_up() const { return own_drops == 0 && own_cpu_share < 0.9; }
};

Figures Swarm::figures() const {
    Figures f;
    f.sampling_rate = sampling_rate_;
    f.window_s = static_cast<double>(end_.realtime - start_.realtime) / 1e9;
    f.tick_ms = sampling_rate_ > 0 ? 2048.0 * 1000 / sampling_rate_ : 0;
    std::vector<TickArrival> ticks;
    std::vector<uint32_t> tick_seqs;
    for (auto [seq, arrival] : tick_arrivals_) {
        ticks.push_back({seq, arrival});
        tick_seqs.push_back(seq);
    }
    std::sort(tick_seqs.begin(), tick_seqs.end());
    f.lateness = tick_lateness(ticks, f.tick_ms / 1000);
    f.bursts = burst_sizes(ticks);
    f.unseen = unseen_ticks(tick_seqs);
    for (const Listener& l : listeners_) {
        if (l.last_audio_ns >= end_.realtime - kStillServed) ++f.admitted;
        std::vector<uint32_t> got = l.window_seqs;
        std::sort(got.begin(), got.end());
        got.erase(std::unique(got.begin(), got.end()), got.end());
        Continuity c = listener_continuity(tick_seqs, got);
        f.missed += c.missed;
        f.gaps += c.gaps;
        if (c.missed > 0) {
            ++f.listeners_with_gaps;
            f.worst.push_back({first_address_ + static_cast<uint32_t>(&l - listeners_.data()), c});
        }
    }
    constexpr size_t kWorstShown = 10;
    std::sort(f.worst.begin(), f.worst.end(),
              [](auto& a, auto& b) { return a.continuity.missed > b.continuity.missed; });
    if (f.worst.size() > kWorstShown) f.worst.resize(kWorstShown);
    const double window = f.window_s > 0 ? f.window_s : 1;
    f.datagrams_per_s = static_cast<double>(counters_.datagrams) / window;
    f.counters = counters_;
    f.station_cpu_known = start_.station_cpu_s >= 0 && end_.station_cpu_s >= 0;
    if (f.station_cpu_known) {
        double seconds = end_.station_cpu_s - start_.station_cpu_s;
        f.station_cpu_share = seconds / window;
        f.station_cpu_ms_per_tick = f.lateness.ticks > 0 ? seconds * 1000 / f.lateness.ticks : 0;
    }
    f.station_wait_known = start_.station_wait_s >= 0 && end_.station_wait_s >= 0;
    if (f.station_wait_known && f.lateness.ticks > 0)
        f.station_wait_ms_per_tick =
            (end_.station_wait_s - start_.station_wait_s) * 1000 / f.lateness.ticks;
    f.station_drops_known = start_.station_drops >= 0 && end_.station_drops >= 0;
    if (f.station_drops_known) f.station_drops = end_.station_drops - start_.station_drops;
    f.own_cpu_share = (end_.own_cpu_s - start_.own_cpu_s) / window;
    f.own_drops = end_.own_drops - start_.own_drops;
    return f;
}

void print_json(const Options& o, const Figures& f) {
    const Counters& c = f.counters;
    printf(
        "{\"station\": \"%s\", \"sampling_rate\": %d, \"listeners\": %d, \"warmup_s\": %.3f, "
        "\"window_s\": %.3f,\n",
        o.station.c_str(), f.sampling_rate, o.listeners, o.warmup, f.window_s);
    printf(
        " \"keepalive_rate\": %g, \"resend_rate\": %g, \"rejoin_rate\": %g, \"flood\": %g, "
        "\"flood_start_s\": %g, \"companion\": %s,\n",
        o.keepalive_rate, o.resend_rate, o.rejoin_rate, o.flood, o.flood_start,
        o.companion ? "true" : "false");
    printf(
        " \"ticks\": %d, \"unseen_ticks\": %ld, \"lateness_ms\": {\"p50\": %.3f, \"p99\": %.3f, "
        "\"max\": %.3f},\n",
        f.lateness.ticks, f.unseen, f.lateness.p50_ms, f.lateness.p99_ms, f.lateness.max_ms);
    printf(
        " \"on_time_share\": %.5f, \"tick_interval_ms\": %.3f, \"nominal_interval_ms\": %.3f, "
        "\"bursts\": {",
        f.lateness.on_time_share, f.lateness.mean_interval_ms, f.tick_ms);
    const char* comma = "";
    for (auto [size, count] : f.bursts)
        printf("%s\"%d\": %d", std::exchange(comma, ", "), size, count);
    printf(
        "},\n \"datagrams_per_s\": %.1f, \"admitted\": %d, \"joins_sent\": %ld, "
        "\"refusals\": %ld, \"keepalives_sent\": %ld, \"rejoins\": %ld, \"flood_joins\": %ld,\n",
        f.datagrams_per_s, f.admitted, c.joins_sent, c.refusals, c.keepalives, c.rejoins,
        c.flood_joins);
    printf(
        " \"seq_missed\": %ld, \"seq_gaps\": %ld, \"listeners_with_gaps\": %d, "
        "\"resends_asked\": %ld, \"resends_received\": %ld,\n",
        f.missed, f.gaps, f.listeners_with_gaps, c.resends_asked, c.resends_got);
    printf(" \"most_missed\": [");
    comma = "";
    for (const auto& w : f.worst)
        printf("%s{\"address\": \"%s\", \"missed\": %ld, \"gaps\": %ld}",
               std::exchange(comma, ", "), dotted(w.address).c_str(), w.continuity.missed,
               w.continuity.gaps);
    printf("],\n");
    // JSON has no NaN: what was not measured is null.
    auto number = [](bool known, double value, const char* format) {
        if (known)
            printf(format, value);
        else
            printf("null");
    };
    printf(" \"station_cpu_ms_per_tick\": ");
    number(f.station_cpu_known, f.station_cpu_ms_per_tick, "%.3f");
    printf(", \"station_cpu_share\": ");
    number(f.station_cpu_known, f.station_cpu_share, "%.4f");
    printf(", \"station_wait_ms_per_tick\": ");
    number(f.station_wait_known, f.station_wait_ms_per_tick, "%.3f");
    printf(", \"station_socket_drops\": ");
    number(f.station_drops_known, static_cast<double>(f.station_drops), "%.0f");
    printf(",\n \"tool\": {\"cpu_share\": %.4f, \"socket_drops\": %llu, \"kept_up\": %s}}\n",
           f.own_cpu_share, static_cast<unsigned long long>(f.own_drops),
           f.kept_up() ? "true" : "false");
}

void print_text(const Options& o, const Figures& f) {
    const Counters& c = f.counters;
    printf(
        "velmora-load: %d listener%s against %s at %d Hz, %.1f s measured after %.1f s "
        "warm-up\n",
        o.listeners, o.listeners == 1 ? "" : "s", o.station.c_str(), f.sampling_rate, f.window_s,
        o.warmup);
    printf("  per listener: keep-alive %g/s, resend %g/s, rejoin %g/s%s; strangers' joins %g/s\n",
           o.keepalive_rate, o.resend_rate, o.rejoin_rate, o.companion ? ", companion" : "",
           o.flood);
    printf("ticks               %d (%ld in their run reached no listener)\n", f.lateness.ticks,
           f.unseen);
    printf("tick lateness       p50 %.1f ms, p99 %.1f ms, max %.1f ms; within %.0f ms: %.2f %%\n",
           f.lateness.p50_ms, f.lateness.p99_ms, f.lateness.max_ms, kOnTimeMs,
           100 * f.lateness.on_time_share);
    printf("tick interval       %.2f ms (nominal %.2f ms)\n", f.lateness.mean_interval_ms,
           f.tick_ms);
    printf("bursts              ");
    const char* comma = "";
    for (auto [size, count] : f.bursts)
        printf("%s%d of %d tick%s", std::exchange(comma, ", "), count, size, size == 1 ? "" : "s");
    printf(" (ticks within %.0f ms of each other)\n", kBurstMs);
    printf("datagrams           %.0f per second received\n", f.datagrams_per_s);
    printf("listeners admitted  %d of %d (audio in the last %.0f s); joins sent %ld, refused %ld\n",
           f.admitted, o.listeners, static_cast<double>(kStillServed) / kSecond, c.joins_sent,
           c.refusals);
    printf("seq continuity      %ld ticks missed in %ld gaps; %d listener%s with a gap\n", f.missed,
           f.gaps, f.listeners_with_gaps, f.listeners_with_gaps == 1 ? "" : "s");
    for (const auto& w : f.worst)
        printf("                    %s missed %ld in %ld gaps\n", dotted(w.address).c_str(),
               w.continuity.missed, w.continuity.gaps);
    printf(
        "sent, whole run     keep-alives %ld, resends asked %ld (received %ld), rejoins %ld, "
        "strangers' joins %ld\n",
        c.keepalives, c.resends_asked, c.resends_got, c.rejoins, c.flood_joins);
    if (f.station_cpu_known)
        printf("station CPU         %.2f ms per tick (%.1f %% of a core)\n",
               f.station_cpu_ms_per_tick, 100 * f.station_cpu_share);
    if (f.station_wait_known)
        printf("station waited      %.2f ms per tick for a core (its main thread)\n",
               f.station_wait_ms_per_tick);
    if (f.station_drops_known)
        printf("station socket      %ld datagrams dropped by the kernel\n", f.station_drops);
    printf("load tool           %.1f %% of a core, %llu datagrams dropped at its sockets: %s\n",
           100 * f.own_cpu_share, static_cast<unsigned long long>(f.own_drops),
           f.kept_up() ? "kept up" : "DID NOT KEEP UP, the figures above understate the station");
}

}  // namespace

int main(int argc, char** argv) {
    if (answer_help_or_version(argc, argv, "velmora-load", usage)) return 0;
    Options o;
    switch (parse_options(argc, argv, o)) {
        case 1:
            return 0;
        case 2:
            usage(stderr);
            return 2;
    }
    sockaddr_in station{};
    if (!parse_station(o.station, &station)) return 2;
    uint32_t first = loopback_address(o.first_address);
    if (!first) {
        fprintf(stderr, "velmora-load: --first-address %s is not a 127.x.y.z address\n",
                o.first_address.c_str());
        return 2;
    }
    if (o.station_pid > 0 && process_cpu_seconds(o.station_pid) < 0) {
        fprintf(stderr, "velmora-load: cannot read /proc/%ld/stat: %s\n", o.station_pid,
                strerror(errno ? errno : ESRCH));
        return 2;
    }
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);

    Swarm swarm(o, station);
    if (!swarm.open(first) || !swarm.run()) return 1;
    const Figures f = swarm.figures();
    if (o.json)
        print_json(o, f);
    else
        print_text(o, f);
    fflush(stdout);
    if (f.lateness.ticks == 0) {
        fprintf(stderr, "velmora-load: no audio from %s reached any listener in the window\n",
                o.station.c_str());
        return 1;
    }
    return 0;
}
