// velmora-listen --play as listeners run it: a real velmora-station sending
// a test tone live, velmora-listen playing it into the null sink of a
// private PulseAudio server, and what was played recorded from the sink's
// monitor with parec: the tone at its frequency, without holes once playing
// began, also when a relay in the test loses 5 % of the station's datagrams.

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/udp_socket.h"
#include "server/packet.h"
#include "support/audio_measures.h"
#include "support/child_process.h"
#include "support/private_pulseaudio.h"
#include "support/temp_dir.h"
#include "support/udp_loopback.h"

namespace {

constexpr int kRecordRate = 48000;
constexpr int kWindow = kRecordRate / 50;  // 20 ms
constexpr double kToneHz = 1000;

std::string own_ip(int role) {
    unsigned pid = static_cast<unsigned>(getpid());
    return "127." + std::to_string(role) + "." + std::to_string((pid >> 8) & 0xFF) + "." +
           std::to_string(pid & 0xFF);
}

// Passes datagrams between a listener and a station, losing a share of the
// station's audio datagrams (resent ones included) on the way.
class LossyRelay {
public:
    LossyRelay(const std::string& ip, const sockaddr_in& station, double loss)
        : facing_listener_(ip.c_str()), facing_station_(ip.c_str()), station_(station), loss_(loss) {
        thread_ = std::thread([this] { run(); });
    }
    ~LossyRelay() {
        stop_ = true;
        thread_.join();
    }
    uint16_t port() const { return facing_listener_.port(); }
    int dropped() const { return dropped_; }

private:
    void run() {
        std::mt19937 random(20);
        std::uniform_real_distribution<double> chance(0, 1);
        sockaddr_in listener{};
        uint8_t bytes[MAX_DATAGRAM];
        while (!stop_) {
            pollfd p[2] = {{facing_listener_.fd(), POLLIN, 0}, {facing_station_.fd(), POLLIN, 0}};
            if (poll(p, 2, 50) <= 0) continue;
            sockaddr_in from{};
            int from_len = sizeof from;
            if (p[0].revents & POLLIN) {
                int n = udp_receive_from(facing_listener_.fd(), bytes, sizeof bytes, &listener, &from_len);
                if (n > 0) udp_send_to(facing_station_.fd(), bytes, n, 0, &station_, sizeof station_);
            }
            if (p[1].revents & POLLIN) {
                int n = udp_receive_from(facing_station_.fd(), bytes, sizeof bytes, &from, &from_len);
                if (n < PACKET_HEADER_SIZE || listener.sin_port == 0) continue;
                if ((get_packet_header(bytes).flags & PF_AUDIO) && chance(random) < loss_) {
                    ++dropped_;
                    continue;
                }
                udp_send_to(facing_listener_.fd(), bytes, n, 0, &listener, sizeof listener);
            }
        }
    }

    LoopbackSocket facing_listener_, facing_station_;
    sockaddr_in station_;
    double loss_;
    std::atomic<bool> stop_{false};
    std::atomic<int> dropped_{0};
    std::thread thread_;
};

struct Heard {
    std::vector<double> window_levels;  // RMS of each 20-ms window
    int first = -1, last = -1;          // first and last window with the tone
    int holes = 0;                      // windows without it between them
    std::vector<uint8_t> tone;          // the played stretch as 8-bit samples
};

Heard analyse(const std::string& raw) {
    Heard h;
    const size_t n = raw.size() / 2;
    std::vector<int16_t> s(n);
    memcpy(s.data(), raw.data(), n * 2);
    for (size_t at = 0; at + kWindow <= n; at += kWindow) {
        double sum = 0;
        for (size_t i = at; i < at + kWindow; ++i) sum += double(s[i]) * s[i];
        h.window_levels.push_back(std::sqrt(sum / kWindow));
    }
    // The tone plays at about 8000 RMS; silence and the codec's noise far below 1000.
    for (int w = 0; w < int(h.window_levels.size()); ++w)
        if (h.window_levels[size_t(w)] > 1000) {
            if (h.first < 0) h.first = w;
            h.last = w;
        }
    for (int w = h.first; w >= 0 && w <= h.last; ++w) h.holes += h.window_levels[size_t(w)] <= 1000;
    for (size_t i = size_t(std::max(h.first, 0)) * kWindow; i < size_t(h.last + 1) * kWindow; ++i)
        h.tone.push_back(uint8_t(128 + s[i] / 256));
    return h;
}

class ListenPlay : public ::testing::Test {
protected:
    TempDir dir;
    EnvironmentList env;
    PrivatePulseAudio pulse;
    ChildProcess station;
    std::string station_ip = own_ip(91);
    uint16_t station_port = 0;

    void SetUp() override {
        if (which("parec").empty()) GTEST_SKIP() << "parec is not installed (pulseaudio-utils)";
        env = {{"XDG_RUNTIME_DIR", dir.path()}, {"HOME", dir.path()}, {"XDG_CONFIG_HOME", dir.path()},
               {"VELMORA_HOME", dir.path()}};
        std::string why;
        if (!pulse.start("ear", {}, dir.file("pulseaudio.out"), env, &why)) {
            if (which("pulseaudio").empty()) GTEST_SKIP() << why;
            FAIL() << why;
        }
        station_port = LoopbackSocket(station_ip.c_str()).port();  // free a moment ago
        write_file(dir.file("station.ini"),
                   "[VelmoraStation]\nSamplingRate=44100\nTransferRate=8820\nBANDWIDTH=512000\n"
                   "Mode=1\nAutoStart=1\nSPECIFIC_IP=1\nIP_ADDR=" + station_ip + "\n"
                   "STATION_PORT=" + std::to_string(station_port) + "\nMASTER_IP=" + own_ip(92) + "\n"
                   "StationName=Tone Station\n");
        ASSERT_TRUE(station.start({program_path("velmora-station"), dir.file("station.ini"),
                                   "--capture", "tone:1000"},
                                  dir.file("station.out"), dir.path(), env));
    }

    // Plays the station (or what reaches `port`) for `seconds` and records the sink.
    Heard play(const std::string& host, uint16_t port, double seconds, std::string* output) {
        ChildProcess recorder;
        EXPECT_TRUE(recorder.start({"/bin/sh", "-c",
                                    "exec parec -d ear.monitor --rate=48000 --channels=1 "
                                    "--format=s16le --raw > " + dir.file("heard.raw")},
                                   dir.file("parec.out"), dir.path(), env));
        ProgramResult r = run_program({program_path("velmora-listen"), host, "--port", std::to_string(port),
                                       "--bind", own_ip(93), "--play", "--seconds", std::to_string(seconds)},
                                      dir.path(), env, 30000);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the sink's last 200 ms
        recorder.signal(SIGTERM);
        recorder.wait(2000);
        *output = r.output;
        EXPECT_EQ(r.status, 0) << r.output << read_file(dir.file("station.out"));
        return analyse(read_file(dir.file("heard.raw")));
    }

    void expect_the_tone_without_holes(const Heard& h, const std::string& output) {
        ASSERT_GE(h.first, 0) << output;
        EXPECT_GE((h.last - h.first) * 20, 4000) << "at least 4 s played\n" << output;
        EXPECT_EQ(h.holes, 0) << output;
        double best = 0, best_db = -1e9;
        for (double f = kToneHz * 0.9; f <= kToneHz * 1.1; f += 2) {
            double db = audio_measures::tone_level_db(h.tone, f, kRecordRate);
            if (db > best_db) best_db = db, best = f;
        }
        EXPECT_NEAR(best, kToneHz, 6) << output;
        EXPECT_GT(best_db, 30) << output;
    }
};

TEST_F(ListenPlay, the_station_tone_plays_into_the_sound_server_without_holes) {
    std::string output;
    Heard h = play(station_ip, station_port, 7.5, &output);
    expect_the_tone_without_holes(h, output);
    // Played at the station's rate, started once 1.5 s was at hand (the
    // station needs its own second or so to begin sending).
    EXPECT_NE(output.find("playing on"), std::string::npos) << output;
    EXPECT_LT(h.first * 20, 6000) << output;
    EXPECT_NE(output.find("lost 0, late 0, underruns 0"), std::string::npos) << output;
}

TEST_F(ListenPlay, resends_fill_what_a_lossy_path_loses_before_it_is_due) {
    sockaddr_in to{};
    ASSERT_TRUE(ipv4_from_dotted(station_ip.c_str(), station_port, &to));
    // The listener speaks to the relay as to a station; the station sees the relay.
    const std::string relay_ip = own_ip(94);
    LossyRelay relay(relay_ip, to, 0.05);
    std::string output;
    Heard h = play(relay_ip, relay.port(), 7.5, &output);
    expect_the_tone_without_holes(h, output);
    EXPECT_GT(relay.dropped(), 3) << output;
    int gaps = 0, recovered = 0;
    const size_t at = output.find("gaps ");
    ASSERT_NE(at, std::string::npos) << output;
    ASSERT_EQ(sscanf(output.c_str() + at, "gaps %d, recovered %d", &gaps, &recovered), 2) << output;
    EXPECT_GT(recovered, 0) << output;
    EXPECT_NE(output.find("lost 0, late 0"), std::string::npos) << output;
}

TEST(ListenPlayWithoutSound, no_sound_server_ends_at_once_naming_the_audio_output) {
    TempDir dir;
    ProgramResult r = run_program({program_path("velmora-listen"), "127.0.0.1", "--play"}, dir.path(),
                                  {{"XDG_RUNTIME_DIR", dir.path()}, {"HOME", dir.path()},
                                   {"PULSE_SERVER", "unix:" + dir.file("no-server")}},
                                  5000);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("velmora-listen: no audio output"), std::string::npos) << r.output;
    r = run_program({program_path("velmora-listen"), "--list-devices"}, dir.path(),
                    {{"XDG_RUNTIME_DIR", dir.path()}, {"HOME", dir.path()},
                     {"PULSE_SERVER", "unix:" + dir.file("no-server")}},
                    5000);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("no audio output"), std::string::npos) << r.output;
}

}  // namespace
