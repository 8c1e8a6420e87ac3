// velmora-load: its statistics on made-up arrival times, and the tool itself
// against a real velmora-station process.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "load_stats.h"
#include "station_test_support.h"

namespace {

constexpr int64_t kMs = 1'000'000;  // nanoseconds

// Ticks of 128 ms (16000 Hz) arriving `late_ms` after their nominal times.
std::vector<TickArrival> ticks_late_by(const std::vector<double>& late_ms,
                                       uint32_t first_seq = 40) {
    std::vector<TickArrival> ticks;
    const int64_t t0 = 1'700'000'000'000 * kMs;
    for (size_t i = 0; i < late_ms.size(); ++i)
        ticks.push_back({first_seq + static_cast<uint32_t>(i),
                         t0 + static_cast<int64_t>((128.0 * i + late_ms[i]) * kMs)});
    return ticks;
}

TEST(LoadStats, lateness_is_measured_from_the_earliest_tick_and_ignores_arrival_order) {
    // 100 ticks: 95 on the schedule 3 ms behind, four 20 to 50 ms late, one 103 ms late.
    std::vector<double> late(100, 3.0);
    late[10] = 23;  // 20 ms late: still on time
    late[20] = 30;
    late[30] = 40;
    late[40] = 53;
    late[50] = 106;
    std::vector<TickArrival> ticks = ticks_late_by(late);
    std::swap(ticks[3], ticks[70]);
    Lateness l = tick_lateness(ticks, 2048.0 / 16000);
    EXPECT_EQ(l.ticks, 100);
    EXPECT_NEAR(l.p50_ms, 0.0, 1e-6);
    EXPECT_NEAR(l.p99_ms, 50.0, 1e-6);
    EXPECT_NEAR(l.max_ms, 103.0, 1e-6);
    EXPECT_DOUBLE_EQ(l.on_time_share, 0.96);
    EXPECT_NEAR(l.mean_interval_ms, 128.0, 0.2);

    // A station whose ticks come 1 ms early each: the early end is on time,
    // the first ticks count as late, and the spacing tells why.
    std::vector<double> drift;
    for (int i = 0; i < 50; ++i) drift.push_back(-1.0 * i);
    Lateness fast = tick_lateness(ticks_late_by(drift), 2048.0 / 16000);
    EXPECT_NEAR(fast.max_ms, 49.0, 1e-6);
    EXPECT_NEAR(fast.mean_interval_ms, 127.0, 1e-6);
    EXPECT_NEAR(fast.on_time_share, 21.0 / 50, 1e-9);

    EXPECT_EQ(tick_lateness({}, 0.128).ticks, 0);
}

TEST(LoadStats, bursts_gather_ticks_arriving_within_5_ms_of_the_one_before) {
    // Arrival times in ms: one alone, three in a chain (each within 5 ms of
    // the last, 8 ms end to end), one alone, then two together.
    std::vector<TickArrival> ticks;
    uint32_t seq = 0;
    for (double ms : {0.0, 128.0, 132.0, 136.0, 260.0, 400.0, 405.0})
        ticks.push_back({seq++, static_cast<int64_t>(ms * kMs)});
    std::swap(ticks[0], ticks[5]);
    std::map<int, int> bursts = burst_sizes(ticks);
    EXPECT_EQ(bursts, (std::map<int, int>{{1, 2}, {2, 1}, {3, 1}}));
    EXPECT_TRUE(burst_sizes({}).empty());
}

TEST(LoadStats, a_listener_misses_only_ticks_between_its_first_and_last) {
    // Ticks 100..120 went out except 105, which reached nobody.
    std::vector<uint32_t> ticks;
    for (uint32_t s = 100; s <= 120; ++s)
        if (s != 105) ticks.push_back(s);
    EXPECT_EQ(unseen_ticks(ticks), 1);

    // Joined at 103, gone after 117; lost 108, 109 and 112; 110 came resent.
    std::vector<uint32_t> got;
    for (uint32_t s = 103; s <= 117; ++s)
        if (s != 105 && s != 108 && s != 109 && s != 112) got.push_back(s);
    Continuity c = listener_continuity(ticks, got);
    EXPECT_EQ(c.missed, 3);
    EXPECT_EQ(c.gaps, 2);

    EXPECT_EQ(listener_continuity(ticks, ticks).missed, 0);
    EXPECT_EQ(listener_continuity(ticks, {}).missed, 0);
}

TEST(LoadStats, the_kernels_cpu_and_drop_counts_are_read_from_their_proc_lines) {
    // A command name with blanks and a ")" of its own; utime 1234, stime 56.
    EXPECT_EQ(cpu_ticks_from_stat("4242 (velmora ) st) S 1 4242 4242 0 -1 4194304 900 0 0 0 1234 "
                                  "56 0 0 20 0 3 0 100 200000 300 1844 1 1 0 0 0 0 0\n"),
              1290);
    EXPECT_EQ(cpu_ticks_from_stat("garbage\n"), -1);

    // /proc/net/udp pads every line with blanks after the drops column.
    const char* header =
        "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode ref pointer drops            \n";
    const char* station =
        "11462: 0100007F:0D80 00000000:0000 07 00000000:00030000 00:00000000 00000000     0   "
        "     0 163442 2 0000000061695fda 4711        \n";
    const char* any_address =
        "  301: 00000000:0D80 00000000:0000 07 00000000:00000000 00:00000000 00000000  1000   "
        "     0 163443 2 0000000061695fdb 5           \n";
    const uint32_t loopback = htonl(0x7F000001), other = htonl(0x7F000002);
    EXPECT_EQ(udp_drops_from_line(header, loopback, 3456), -1);
    EXPECT_EQ(udp_drops_from_line(station, loopback, 3456), 4711);
    EXPECT_EQ(udp_drops_from_line(station, other, 3456), -1);
    EXPECT_EQ(udp_drops_from_line(station, loopback, 3457), -1);
    EXPECT_EQ(udp_drops_from_line(any_address, other, 3456), 5);
}

// ---- the tool against a real station ------------------------------------

constexpr int kRate = 16000;
constexpr int kTransferRate = 4000;  // 512 bytes a tick
constexpr int kPort = 34613;

struct ProcessResult {
    int status = -1;
    std::string out, err;
};

class LoadTool : public ::testing::Test {
   protected:
    TempDir dir;
    std::string station_ip = test_ip(93);
    pid_t station = -1;

    void TearDown() override {
        if (station > 0) {
            kill(station, SIGKILL);
            waitpid(station, nullptr, 0);
        }
    }

    static pid_t spawn(std::vector<std::string> args, const std::string& out,
                       const std::string& err, const std::string& home) {
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
            dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            setenv("VELMORA_HOME", home.c_str(), 1);
            setenv("XDG_CONFIG_HOME", home.c_str(), 1);
            setenv("XDG_RUNTIME_DIR", home.c_str(), 1);
            execv(argv[0], argv.data());
            _exit(127);
        }
        return pid;
    }

    ProcessResult run_load(std::vector<std::string> options) {
        options.insert(options.begin(), std::string(VELMORA_BIN_DIR) + "/velmora-load");
        pid_t pid = spawn(options, dir.file("load.out"), dir.file("load.err"), dir.path());
        int raw = 0;
        waitpid(pid, &raw, 0);
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(dir.file("load.out")),
                read_file(dir.file("load.err"))};
    }

    // A station at 16000 Hz playing one looped song of arbitrary frames,
    // with bandwidth for every listener; returns once it answers a join.
    void start_station() {
        std::vector<std::string> frames;
        for (int i = 0; i < 64; ++i)
            frames.emplace_back(kTransferRate * 2048 / kRate, char('a' + i % 26));
        write_file(dir.file("song.VMA"), sample_file(frames, kRate, 25));
        std::string script = "1 16000 025 SCRIPT";
        script += '\0';
        script += "100 " + dir.file("song.VMA") + " \"\" Load test";
        script += '\0';
        write_file(dir.file("load.VSK"), script);
        write_file(dir.file("station.ini"),
                   "[VelmoraStation]\nSamplingRate=16000\nTransferRate=4000\n"
                   "BANDWIDTH=100000000\nMAX_CLIENT=8192\nMode=0\nAutoStart=1\n"
                   "SPECIFIC_IP=1\nIP_ADDR=" +
                       station_ip + "\nSTATION_PORT=" + std::to_string(kPort) +
                       "\nMASTER_IP=" + test_ip(94) +
                       "\nStationName=Load\nStationLocation=Loopback\nStationScript=" +
                       dir.file("load.VSK") + "\n");
        station = spawn({std::string(VELMORA_BIN_DIR) + "/velmora-station", dir.file("station.ini"),
                         "--status-interval", "0"},
                        dir.file("station.out"), dir.file("station.out"), dir.path());
        ASSERT_GT(station, 0);

        LoopbackSocket probe(test_ip(95).c_str());
        sockaddr_in to{};
        ipv4_from_dotted(station_ip.c_str(), kPort, &to);
        for (int attempt = 0; attempt < 50; ++attempt) {
            send_control(probe.fd(), to, PF_TEXT, std::string("ready?", 7));
            for (auto& d : probe.receive_all(100))
                if (!text_parts(d).empty() && text_parts(d)[0] == "STARTSEQ") {
                    send_control(probe.fd(), to, PF_LEAVE, "");
                    return;
                }
        }
        FAIL() << "the station never answered: " << read_file(dir.file("station.out"));
    }

    std::string station_option() const { return station_ip + ":" + std::to_string(kPort); }
};

TEST_F(LoadTool, twenty_listeners_are_all_served_every_tick_and_the_json_report_says_so) {
    start_station();
    ProcessResult r =
        run_load({"--station", station_option(), "--listeners", "20", "--first-address",
                  test_ip(96), "--warmup", "1", "--seconds", "3", "--resend-rate", "0.5",
                  "--station-pid", std::to_string(station), "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    nlohmann::json report = nlohmann::json::parse(r.out);  // throws, failing the test, if not JSON
    EXPECT_EQ(report["listeners"], 20);
    EXPECT_EQ(report["admitted"], 20);
    EXPECT_EQ(report["sampling_rate"], kRate);
    // 3 s of 128 ms ticks, loosely: the machine may be busy.
    EXPECT_GE(report["ticks"].get<int>(), 15) << r.out;
    EXPECT_LE(report["ticks"].get<int>(), 30) << r.out;
    EXPECT_EQ(report["listeners_with_gaps"], 0) << r.out;
    EXPECT_TRUE(report["most_missed"].is_array() && report["most_missed"].empty()) << r.out;
    // Every tick reached every listener: about 20 audio datagrams per tick.
    double per_tick = report["datagrams_per_s"].get<double>() * report["window_s"].get<double>() /
                      report["ticks"].get<double>();
    EXPECT_GE(per_tick, 19.0) << r.out;
    EXPECT_GT(report["resends_asked"].get<int>(), 0);
    EXPECT_TRUE(report["station_cpu_ms_per_tick"].is_number()) << r.out;
    EXPECT_TRUE(report["station_socket_drops"].is_number()) << r.out;
    EXPECT_GE(report["lateness_ms"]["max"].get<double>(), 0.0);
    EXPECT_LE(report["on_time_share"].get<double>(), 1.0);
    int bursts = 0;
    for (auto& [size, count] : report["bursts"].items())
        bursts += std::stoi(size) * count.get<int>();
    EXPECT_EQ(bursts, report["ticks"].get<int>());
}

TEST_F(LoadTool, refuses_what_it_cannot_do_with_the_cause_and_a_failing_status) {
    ProcessResult help = run_load({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--keepalive-rate"), std::string::npos);

    ProcessResult outside = run_load({"--station", "192.0.2.1:3456"});
    EXPECT_EQ(outside.status, 2);
    EXPECT_NE(outside.err.find("192.0.2.1:3456 is not on a 127.x.y.z address"), std::string::npos)
        << outside.err;

    ProcessResult past = run_load({"--first-address", "127.255.255.250", "--listeners", "10"});
    EXPECT_EQ(past.status, 1);
    EXPECT_NE(past.err.find("run past 127.255.255.254"), std::string::npos) << past.err;

    ProcessResult overlap = run_load({"--first-address", test_ip(97), "--listeners", "5", "--flood",
                                      "10", "--flood-first-address", test_ip(97)});
    EXPECT_EQ(overlap.status, 1);
    EXPECT_NE(overlap.err.find("meet the listeners'"), std::string::npos) << overlap.err;

    // Nobody listens on this port: no audio is a failure, not an empty report.
    ProcessResult silent =
        run_load({"--station", test_ip(98) + ":" + std::to_string(kPort), "--first-address",
                  test_ip(99), "--warmup", "0", "--seconds", "0.3"});
    EXPECT_EQ(silent.status, 1);
    EXPECT_NE(silent.err.find("no audio from"), std::string::npos) << silent.err;
}

}  // namespace
