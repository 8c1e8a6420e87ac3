// No dead air: a live station fed through its standard input plays its
// fallback script when the input stops or its pipe closes, heard by a real
// velmora-listen (one session, no gap), and goes back to the live sound.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "script_test_media.h"
#include "support/audio_measures.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/tone_frames.h"
#include "support/udp_loopback.h"

namespace {

using Clock = std::chrono::steady_clock;
using audio_measures::tone_level_db;

constexpr int kRate = 44100;
constexpr int kTransferRate = 8820;
constexpr int kPort = 34761;
constexpr double kLiveHz = 750, kFallbackHz = 300;
constexpr int kBlock = 2048;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// What a stretch of 2048 heard samples is.
enum class Heard { silence, live, fallback };

Heard classify(const std::vector<uint8_t>& block) {
    int peak = 0;
    for (uint8_t s : block) peak = std::max(peak, std::abs(s - 128));
    if (peak < 8) return Heard::silence;
    return tone_level_db(block, kFallbackHz, kRate) > tone_level_db(block, kLiveHz, kRate)
               ? Heard::fallback
               : Heard::live;
}

struct Line {
    double at;  // seconds since the start
    std::string text;
};

class LiveFallback : public ::testing::Test {
protected:
    TempDir dir;
    std::string station_ip = test_ip(161);
    int input = -1;  // the write end of the station's standard input
    ChildProcess station, listener;
    Clock::time_point start;
    std::vector<Line> lines;  // of the listener, as they came
    std::string seen;

    void SetUp() override {
        ASSERT_TRUE(write_tone_song(dir.file("calm.VMA"), kRate, kTransferRate, kFallbackHz, 4));
        write_file(dir.file("fallback.VSK"),
                   tone_song_script(dir.file("calm.VMA"), kRate, kTransferRate, "Calm music"));
        write_file(dir.file("studio.bmp"), bmp_bytes(64, 32));
        write_file(dir.file("show.VLS"),
                   zero_lines({"1 44100 LIVE",
                               "600 \"" + dir.file("studio.bmp") + "\" Live show"}));
        signal(SIGPIPE, SIG_IGN);
    }
    void TearDown() override {
        if (input >= 0) close(input);
    }

    void start_station(int fallback_seconds, const std::string& script,
                       const std::string& feed = "Mode=1\n") {
        write_file(dir.file("station.ini"),
                   "[VelmoraStation]\nSamplingRate=44100\nTransferRate=8820\nBANDWIDTH=512000\n" +
                       feed + "AutoStart=1\nSPECIFIC_IP=1\nIP_ADDR=" + station_ip +
                       "\nSTATION_PORT=" + std::to_string(kPort) + "\nMASTER_IP=" + test_ip(162) +
                       "\nStationName=Fallback\nStationLocation=Loopback\nLiveScript=" +
                       dir.file("show.VLS") +
                       "\nFALLBACK_SCRIPT=" +
                       script + "\nFALLBACK_SECONDS=" + std::to_string(fallback_seconds) + "\n");
        const EnvironmentList env = {{"VELMORA_HOME", dir.path()},
                                     {"XDG_CONFIG_HOME", dir.path()},
                                     {"XDG_RUNTIME_DIR", dir.path()},
                                     {"HOME", dir.path()}};
        int fds[2];
        // Close-on-exec: no other program may keep the input open.
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        // The station's standard input is the pipe: ChildProcess keeps ours.
        const int saved = dup(0);
        dup2(fds[0], 0);
        std::vector<std::string> args = {program_path("velmora-station"), dir.file("station.ini"),
                                         "--status-interval", "1", "--status-http",
                                         status_address()};
        if (feed == "Mode=1\n") args.insert(args.end(), {"--capture", "-"});
        const bool started = station.start(args, dir.file("station.out"), dir.path(), env);
        dup2(saved, 0);
        close(saved);
        close(fds[0]);
        input = fds[1];
        ASSERT_TRUE(started);
        start = Clock::now();
    }

    std::string status_address() const {
        return station_ip + ":" + std::to_string(kPort + 1);
    }

    void start_listener(int seconds) {
        ASSERT_TRUE(listener.start({program_path("velmora-listen"), station_ip, "--port",
                                    std::to_string(kPort), "--bind", test_ip(163), "--seconds",
                                    std::to_string(seconds), "--wav", dir.file("heard.wav")},
                                   dir.file("listen.out")));
    }

    // The listener's new lines, each with the moment it was seen.
    void take_lines() {
        const std::string now = read_file(dir.file("listen.out"));
        const double at = seconds_since(start);
        for (size_t end; (end = now.find('\n', seen.size())) != std::string::npos;) {
            lines.push_back({at, now.substr(seen.size(), end - seen.size())});
            seen = now.substr(0, end + 1);
        }
    }

    // Writes the live tone in step with the clock for `seconds` (a tenth
    // of a second ahead at most), taking the listener's lines meanwhile.
    void play_live(double seconds) {
        static double phase = 0;
        const auto until = Clock::now() + std::chrono::duration<double>(seconds);
        const auto begun = Clock::now();
        long written = 0;
        while (Clock::now() < until) {
            const long due = std::lround((seconds_since(begun) + 0.1) * kRate);
            std::string samples;
            for (; written < due; ++written, phase += 2 * M_PI * kLiveHz / kRate)
                samples += static_cast<char>(std::lround(128 + 60 * std::sin(phase)));
            if (!samples.empty() && write(input, samples.data(), samples.size()) < 0) break;
            pass(0.02);
        }
    }

    // Lets `seconds` go by while taking the listener's lines.
    void pass(double seconds) {
        const auto until = Clock::now() + std::chrono::duration<double>(seconds);
        do {
            take_lines();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } while (Clock::now() < until);
    }

    // Waits for the listener to end, then returns what it heard in blocks.
    std::vector<Heard> heard_blocks() {
        int status = -2;
        while ((status = listener.wait(50)) == -2) take_lines();
        take_lines();
        EXPECT_EQ(status, 0) << read_file(dir.file("listen.out"));
        const std::string wav = read_file(dir.file("heard.wav"));
        std::vector<Heard> blocks;
        for (size_t at = 44; at + kBlock <= wav.size(); at += kBlock)
            blocks.push_back(classify(std::vector<uint8_t>(wav.begin() + long(at),
                                                           wav.begin() + long(at + kBlock))));
        return blocks;
    }

    // When the listener's line starting with `prefix` first came; -1 if never.
    double line_at(const std::string& prefix) const {
        for (const Line& l : lines)
            if (l.text.rfind(prefix, 0) == 0) return l.at;
        return -1;
    }

    std::string outputs() {
        return read_file(dir.file("listen.out")) + "\n--- station ---\n" +
               read_file(dir.file("station.out"));
    }

    // The listener was never cut off: one session, every seq heard.
    void expect_one_unbroken_session() {
        const std::string out = read_file(dir.file("listen.out"));
        EXPECT_NE(out.find("gaps 0, recovered 0, lost 0"), std::string::npos) << outputs();
        EXPECT_EQ(out.find("joining again"), std::string::npos) << outputs();
        EXPECT_EQ(out.find("started afresh"), std::string::npos) << outputs();
    }
};

// The first block from `from` on that is `what`; -1 if none.
int first_of(const std::vector<Heard>& blocks, Heard what, int from = 0) {
    for (int i = std::max(from, 0); i < static_cast<int>(blocks.size()); ++i)
        if (blocks[i] == what) return i;
    return -1;
}

double block_seconds(int blocks) { return blocks * double(kBlock) / kRate; }

TEST_F(LiveFallback, silence_on_the_input_brings_the_fallback_and_sound_brings_live_back) {
    start_station(2, dir.file("fallback.VSK"));
    start_listener(19);
    play_live(5);
    const double stopped = seconds_since(start);
    pass(5);  // nothing written: the input is silent
    const double resumed = seconds_since(start);
    play_live(8);
    const std::vector<Heard> blocks = heard_blocks();

    // The texts come with the sound they name: the fallback's within
    // FALLBACK_SECONDS + 2 s of the silence, the live list's again within
    // 5 s of the input's return.
    double fallback_at = -1, live_again_at = -1;
    for (const Line& l : lines) {
        if (l.text == "song: Calm music" && fallback_at < 0) fallback_at = l.at;
        if (l.text == "song: Live show" && fallback_at > 0 && live_again_at < 0)
            live_again_at = l.at;
    }
    ASSERT_GT(fallback_at, 0) << outputs();
    ASSERT_GT(live_again_at, 0) << outputs();
    EXPECT_LE(fallback_at - stopped, 2 + 2.0) << outputs();
    EXPECT_LE(live_again_at - resumed, 5.0) << outputs();
    printf("fallback heard %.2f s after the input stopped, live %.2f s after it came back\n",
           fallback_at - stopped, live_again_at - resumed);

    // The sound: live, at most 2 s of silence, the fallback, live again.
    const int live = first_of(blocks, Heard::live);
    const int fallback = first_of(blocks, Heard::fallback, live);
    const int back = first_of(blocks, Heard::live, fallback);
    ASSERT_GE(live, 0) << outputs();
    ASSERT_GT(fallback, live) << outputs();
    ASSERT_GT(back, fallback) << outputs();
    int quiet = 0;
    for (int i = live; i < fallback; ++i) quiet += blocks[i] == Heard::silence;
    EXPECT_LE(block_seconds(quiet), 2 + 0.5) << quiet << " silent blocks\n" << outputs();
    EXPECT_NEAR(block_seconds(back - fallback), live_again_at - fallback_at, 1.0) << outputs();
    expect_one_unbroken_session();

    const std::string told = read_file(dir.file("station.out"));
    EXPECT_NE(told.find("no live signal above -50 dBFS for 2 s: the station plays the fallback "
                        "script " + dir.file("fallback.VSK")),
              std::string::npos) << told;
    EXPECT_NE(told.find("goes back to live"), std::string::npos) << told;
    EXPECT_NE(told.find("| fallback, level "), std::string::npos) << told;
}

TEST_F(LiveFallback, a_closed_input_is_a_lost_capture_and_the_fallback_plays_at_once) {
    start_station(8, dir.file("fallback.VSK"));
    start_listener(10);
    play_live(4);
    close(input);
    input = -1;
    const double closed = seconds_since(start);
    const std::vector<Heard> blocks = heard_blocks();

    // Not after the 8 seconds of silence: the capture is lost.
    const double fallback_at = line_at("song: Calm music");
    ASSERT_GT(fallback_at, 0) << outputs();
    EXPECT_LE(fallback_at - closed, 3.0) << outputs();
    printf("fallback heard %.2f s after the input closed\n", fallback_at - closed);
    const int fallback = first_of(blocks, Heard::fallback, first_of(blocks, Heard::live));
    ASSERT_GT(fallback, 0) << outputs();
    expect_one_unbroken_session();
    EXPECT_NE(read_file(dir.file("station.out"))
                  .find("live capture lost (the standard input ended): the station plays the "
                        "fallback script"),
              std::string::npos) << outputs();
    // The status endpoint says so, in JSON and in the metrics.
    auto fetch = [this](const std::string& path) {
        return run_program({"/usr/bin/curl", "--silent", "--show-error", "--max-time", "5",
                            "http://" + status_address() + path});
    };
    ProgramResult json = fetch("/status.json");
    EXPECT_NE(json.output.find("\"feed\": \"fallback\""), std::string::npos) << json.output;
    EXPECT_NE(json.output.find("\"text\": \"Calm music\""), std::string::npos) << json.output;
    ProgramResult metrics = fetch("/metrics");
    EXPECT_NE(metrics.output.find("feed=\"fallback\""), std::string::npos) << metrics.output;
}

TEST_F(LiveFallback, a_missing_fallback_script_is_told_and_the_live_feed_goes_on) {
    start_station(2, dir.file("nowhere.VSK"));
    start_listener(6);
    play_live(6);
    const std::vector<Heard> blocks = heard_blocks();
    EXPECT_GE(first_of(blocks, Heard::live), 0) << outputs();
    EXPECT_LT(first_of(blocks, Heard::fallback), 0) << outputs();
    const std::string told = read_file(dir.file("station.out"));
    EXPECT_NE(told.find("The fallback script " + dir.file("nowhere.VSK") +
                        " (FALLBACK_SCRIPT) cannot be opened: No such file or directory: the "
                        "station goes on without a fallback."),
              std::string::npos) << told;
    EXPECT_NE(told.find("| live, level "), std::string::npos) << told;
}

TEST_F(LiveFallback, check_names_a_fallback_script_that_cannot_play) {
    const std::string ini = dir.file("station.ini");
    auto check = [&](const std::string& script) {
        write_file(ini, "[VelmoraStation]\nSamplingRate=44100\nTransferRate=8820\nMode=1\n"
                        "FALLBACK_SCRIPT=" + script + "\n");
        return run_program({program_path("velmora-station"), ini, "--check"}, dir.path(),
                           {{"VELMORA_HOME", dir.path()}, {"HOME", dir.path()}});
    };
    ProgramResult good = check(dir.file("fallback.VSK"));
    EXPECT_EQ(good.output.find("FALLBACK_SCRIPT"), std::string::npos) << good.output;

    ProgramResult missing = check(dir.file("nowhere.VSK"));
    EXPECT_NE(missing.status, 0);
    EXPECT_NE(missing.output.find("the fallback script " + dir.file("nowhere.VSK") +
                                  " cannot be opened: No such file or directory"),
              std::string::npos) << missing.output;

    ASSERT_TRUE(write_tone_song(dir.file("low.VMA"), 22050, 2205, kFallbackHz, 1));
    write_file(dir.file("low.VSK"), tone_song_script(dir.file("low.VMA"), 22050, 2205, "Low"));
    ProgramResult low = check(dir.file("low.VSK"));
    EXPECT_NE(low.status, 0);
    EXPECT_NE(low.output.find("is made for 22050 Hz, the station runs at 44100 Hz"),
              std::string::npos) << low.output;

    // A script at the station's rate whose song is not.
    write_file(dir.file("mixed.VSK"),
               tone_song_script(dir.file("low.VMA"), kRate, kTransferRate, "Mixed"));
    ProgramResult mixed = check(dir.file("mixed.VSK"));
    EXPECT_NE(mixed.status, 0);
    EXPECT_NE(mixed.output.find("its song " + dir.file("low.VMA") +
                                " is at 22050 Hz, the station at 44100 Hz"),
              std::string::npos) << mixed.output;
}

TEST_F(LiveFallback, a_script_station_whose_songs_are_all_missing_plays_the_fallback) {
    write_file(dir.file("gone.VSK"), tone_song_script(dir.file("gone.VMA"), kRate, kTransferRate,
                                                      "Never heard"));
    start_station(2, dir.file("fallback.VSK"),
                  "Mode=0\nStationScript=" + dir.file("gone.VSK") + "\n");
    start_listener(5);
    const std::vector<Heard> blocks = heard_blocks();
    EXPECT_GT(line_at("song: Calm music"), 0) << outputs();
    EXPECT_GE(first_of(blocks, Heard::fallback), 0) << outputs();
    expect_one_unbroken_session();
    EXPECT_EQ(station.wait(0), -2) << outputs();  // still on the air
    EXPECT_NE(read_file(dir.file("station.out"))
                  .find("The script " + dir.file("gone.VSK") +
                        " cannot be played: the station plays the fallback script " +
                        dir.file("fallback.VSK")),
              std::string::npos) << outputs();
}

TEST_F(LiveFallback, a_script_whose_songs_go_missing_on_the_air_gives_way_to_the_fallback) {
    ASSERT_TRUE(write_tone_song(dir.file("main.VMA"), kRate, kTransferRate, kLiveHz, 2));
    write_file(dir.file("main.VSK"), tone_song_script(dir.file("main.VMA"), kRate, kTransferRate,
                                                      "Main song"));
    start_station(2, dir.file("fallback.VSK"),
                  "Mode=0\nStationScript=" + dir.file("main.VSK") + "\n");
    start_listener(7);
    while (line_at("song: Main song") < 0 && seconds_since(start) < 5) pass(0.05);
    ASSERT_GT(line_at("song: Main song"), 0) << outputs();
    ASSERT_EQ(remove(dir.file("main.VMA").c_str()), 0);
    const double removed = seconds_since(start);
    const std::vector<Heard> blocks = heard_blocks();

    const double fallback_at = line_at("song: Calm music");
    ASSERT_GT(fallback_at, 0) << outputs();
    EXPECT_LE(fallback_at - removed, 2.0) << outputs();
    const int fallback = first_of(blocks, Heard::fallback, first_of(blocks, Heard::live));
    EXPECT_GT(fallback, 0) << outputs();
    expect_one_unbroken_session();
    EXPECT_EQ(station.wait(0), -2) << outputs();  // still on the air
    const std::string told = read_file(dir.file("station.out"));
    EXPECT_NE(told.find("No song of the script can be played: the station plays its fallback "
                        "script."),
              std::string::npos) << told;
    EXPECT_NE(told.find("BROADCASTING | fallback | "), std::string::npos) << told;
}

}  // namespace
