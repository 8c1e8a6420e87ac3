// A station restarted the ways operators and service managers restart one
// (a crash and a new process, Stop and Start in the window's controller),
// and a real velmora-listen that listens on across the restart: it must
// hear the new broadcast within seconds, not drop it as late.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/context.h"
#include "app/controller.h"
#include "app/panel_view.h"
#include "app/program.h"
#include "app/station.h"
#include "app/status_text.h"
#include "codec/sample_file.h"
#include "codec/set_rate.h"
#include "codec/super_block.h"
#include "platform/clock.h"
#include "station_test_support.h"
#include "support/audio_measures.h"
#include "support/child_process.h"
#include "support/tone_frames.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int kRate = 44100;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Waits until `path` holds `text` (the programs write their lines as they go).
bool wait_for_text(const std::string& path, const std::string& text, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < deadline) {
        if (read_file(path).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// The samples of the 8-bit mono WAV velmora-listen wrote.
Bytes wav_samples(const std::string& path) {
    std::string bytes = read_file(path);
    return bytes.size() < 44 ? Bytes{} : Bytes(bytes.begin() + 44, bytes.end());
}

// Seconds of `samples` in which `hz` clearly outweighs `other_hz`.
double seconds_of_tone(const Bytes& samples, double hz, double other_hz) {
    int blocks = 0;
    for (size_t at = 0; at + kSuperBlockSamples <= samples.size(); at += kSuperBlockSamples) {
        Bytes block(samples.begin() + long(at), samples.begin() + long(at + kSuperBlockSamples));
        const double level = audio_measures::tone_level_db(block, hz, kRate);
        if (level > 20 && level > audio_measures::tone_level_db(block, other_hz, kRate) + 10)
            ++blocks;
    }
    return blocks * double(kSuperBlockSamples) / kRate;
}

// The number after `word` in velmora-listen's summary line, or -1.
int summary_count(const std::string& output, const std::string& word) {
    const size_t at = output.find("summary:");
    if (at == std::string::npos) return -1;
    const size_t found = output.find(" " + word + " ", at);
    return found == std::string::npos ? -1 : atoi(output.c_str() + found + word.size() + 2);
}

TEST(StationRestart, a_listener_hears_a_killed_station_started_again_within_seconds) {
    TempDir dir;
    const std::string station_ip = test_ip(111);
    const int port = 34711;
    write_file(dir.file("station.ini"),
               "[VelmoraStation]\nSamplingRate=44100\nTransferRate=8820\nBANDWIDTH=512000\n"
               "Mode=1\nAutoStart=1\nSPECIFIC_IP=1\nIP_ADDR=" +
                   station_ip +
                   "\n"
                   "STATION_PORT=" +
                   std::to_string(port) + "\nMASTER_IP=" + test_ip(112) +
                   "\n"
                   "StationName=Restarting\nStationLocation=Loopback\n");
    const EnvironmentList env = {{"VELMORA_HOME", dir.path()},
                                 {"XDG_CONFIG_HOME", dir.path()},
                                 {"XDG_RUNTIME_DIR", dir.path()},
                                 {"HOME", dir.path()}};
    auto station_args = [&](const char* tone) {
        return std::vector<std::string>{program_path("velmora-station"),
                                        dir.file("station.ini"),
                                        "--status-interval",
                                        "1",
                                        "--capture",
                                        tone};
    };
    ChildProcess first, second, listener;
    ASSERT_TRUE(first.start(station_args("tone:440"), dir.file("first.out"), dir.path(), env));
    const int listen_seconds = 16;
    ASSERT_TRUE(listener.start(
        {program_path("velmora-listen"), station_ip, "--port", std::to_string(port), "--bind",
         test_ip(113), "--seconds", std::to_string(listen_seconds), "--wav", dir.file("heard.wav")},
        dir.file("listen.out")));
    const auto listening = Clock::now();
    ASSERT_TRUE(wait_for_text(dir.file("listen.out"), "joined", 5000))
        << read_file(dir.file("listen.out"));
    // Long enough on the air that its counter is far ahead of a new run's.
    ASSERT_TRUE(wait_for_text(dir.file("first.out"), "| 0m 6s |", 10000))
        << read_file(dir.file("first.out"));

    first.signal(SIGKILL);  // a crash: no stop, no leave
    EXPECT_EQ(first.wait(5000), -1);
    const double restarted_at = seconds_since(listening);
    ASSERT_TRUE(second.start(station_args("tone:660"), dir.file("second.out"), dir.path(), env));

    ASSERT_EQ(listener.wait((listen_seconds + 10) * 1000), 0) << read_file(dir.file("listen.out"));
    const std::string output = read_file(dir.file("listen.out"));
    EXPECT_NE(output.find("the station started afresh"), std::string::npos) << output;
    // The new run's packets are played, not counted late until its counter passes the old one.
    EXPECT_LE(summary_count(output, "late"), 8) << output;
    // Heard again once the listener noticed the silence (3 s) and joined the new run.
    const Bytes heard = wav_samples(dir.file("heard.wav"));
    EXPECT_GE(seconds_of_tone(heard, 440, 660), restarted_at - 2) << output;
    EXPECT_GE(seconds_of_tone(heard, 660, 440), listen_seconds - restarted_at - 5) << output;
}

// The window's station without the window: the real controller and station
// socket, the ticks paced by the real clock, as Ctrl+S stops and starts it.
class RealClockHost : public FakeHost {
   public:
    uint32_t time_ms() override { return monotonic_ms(); }
    int64_t time_now() override { return time(nullptr); }
};

struct ControllerRestart : ::testing::Test {
    RealClockHost host;
    std::unique_ptr<Context> ctx = make_context(host);
    TempDir dir;
    std::string station_ip = test_ip(114);

    void SetUp() override {
        StationState& s = ctx->state;
        set_test_station(*ctx, dir, station_ip, test_ip(115));
        s.SamplingRate = kRate;
        s.device_rate = kRate;
        s.TransferRate = 8820;
        s.AutoStart = 2;
        ctx->live_ring.feed_mode = FeedMode::script;
        s.StationScript = dir.file("show.VSK");
    }
    void TearDown() override { close_station(*ctx); }

    // A script of one song: `seconds` of a tone of `hz`.
    void write_tone_script(double hz, int seconds) {
        CodecState codec;
        set_rate(codec, kRate, 8820);
        std::vector<std::string> frames;
        const auto block = tone_frames(kRate, 8820, hz);
        for (int i = 0; i < seconds * kRate / kSuperBlockSamples + 1; ++i)
            for (const auto& frame : block) frames.emplace_back(frame.begin(), frame.end());
        write_file(dir.file("tone.VMA"), sample_file(frames, kRate, codec.rate_percent));
        std::string script = "1 44100 0" + std::to_string(codec.rate_percent) + " SCRIPT";
        script.push_back('\0');
        script += "1 " + dir.file("tone.VMA") + " \"\" Tone";
        script.push_back('\0');
        write_file(dir.file("show.VSK"), script);
    }

    // Runs the station's ticks and posted commands as the message loop would,
    // until `done` or `seconds` have passed.
    void run(
        double seconds, const std::function<bool()>& done = [] { return false; }) {
        const auto until = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < until && !done()) {
            const int wait_ms = send_due_ticks(*ctx);
            on_socket_writable(*ctx);
            auto posted = std::move(host.posted_commands);
            host.posted_commands.clear();
            for (Command c : posted)
                if (c != Command::list_station) on_command(*ctx, c);
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(wait_ms, 10)));
        }
    }
};

TEST_F(ControllerRestart, a_listener_hears_again_after_stop_and_start) {
    write_tone_script(440, 30);
    on_command(*ctx, Command::start);
    ASSERT_EQ(ctx->sender.broadcast_state, BroadcastState::broadcasting) << host.last_message();
    ChildProcess listener;
    const int listen_seconds = 14;
    ASSERT_TRUE(
        listener.start({program_path("velmora-listen"), station_ip, "--port",
                        std::to_string(TEST_STATION_PORT), "--bind", test_ip(116), "--seconds",
                        std::to_string(listen_seconds), "--wav", dir.file("heard.wav")},
                       dir.file("listen.out")));
    const auto listening = Clock::now();
    run(5, [&] { return read_file(dir.file("listen.out")).find("joined") != std::string::npos; });
    run(6);
    EXPECT_EQ(listeners_line(*ctx).rfind("1 - ", 0), 0u) << listeners_line(*ctx);

    on_command(*ctx, Command::start_stop);  // Ctrl+S: stop
    ASSERT_EQ(ctx->sender.broadcast_state, BroadcastState::idle);
    // The panel and the caption count nobody once the station is closed.
    EXPECT_EQ(listeners_line(*ctx), "0 - 0%");
    EXPECT_NE(caption_text(*ctx).find("[0 - 0%]"), std::string::npos) << caption_text(*ctx);
    write_tone_script(660, 30);  // what the next broadcast plays
    run(2);
    on_command(*ctx, Command::start_stop);  // Ctrl+S: start
    run(1, [&] { return ctx->sender.broadcast_state == BroadcastState::broadcasting; });
    ASSERT_EQ(ctx->sender.broadcast_state, BroadcastState::broadcasting) << host.last_message();
    const double restarted_at = seconds_since(listening);
    int status = -2;
    run(listen_seconds + 5, [&] { return (status = listener.wait(0)) != -2; });

    ASSERT_EQ(status, 0) << read_file(dir.file("listen.out"));
    const std::string output = read_file(dir.file("listen.out"));
    EXPECT_LE(summary_count(output, "late"), 8) << output;
    const Bytes heard = wav_samples(dir.file("heard.wav"));
    EXPECT_GE(seconds_of_tone(heard, 440, 660), 5) << output;
    // Joined again within a second of the start (3 s after the audio stopped).
    EXPECT_GE(seconds_of_tone(heard, 660, 440), listen_seconds - restarted_at - 3) << output;
}

}  // namespace
