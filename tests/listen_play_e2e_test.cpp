// velmora-listen --play as listeners run it: a real velmora-station sending
// a test tone live, velmora-listen playing it into the null sink of a
// private PulseAudio server, and what was played recorded from the sink's
// monitor with parec: the tone at its frequency, without holes once playing
// began, also when a relay in the test loses 5 % of the station's datagrams.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/udp_socket.h"
#include "wire/packet.h"
#include "support/audio_measures.h"
#include "support/child_process.h"
#include "support/lossy_relay.h"
#include "support/played_tone.h"
#include "support/private_pulseaudio.h"
#include "support/temp_dir.h"
#include "support/udp_loopback.h"

namespace {

using played_tone::Heard;
using played_tone::kRecordRate;
constexpr double kToneHz = 1000;

class ListenPlay : public ::testing::Test {
protected:
    TempDir dir;
    EnvironmentList env;
    PrivatePulseAudio pulse;
    ChildProcess station;
    std::string station_ip = test_ip(91);
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
                   "STATION_PORT=" + std::to_string(station_port) + "\nMASTER_IP=" + test_ip(92) + "\n"
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
                                       "--bind", test_ip(93), "--play", "--seconds", std::to_string(seconds)},
                                      dir.path(), env, 30000);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the sink's last 200 ms
        recorder.signal(SIGTERM);
        recorder.wait(2000);
        *output = r.output;
        EXPECT_EQ(r.status, 0) << r.output << read_file(dir.file("station.out"));
        return played_tone::analyse(read_file(dir.file("heard.raw")));
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
    const std::string relay_ip = test_ip(94);
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

TEST_F(ListenPlay, ctrl_c_stops_playing_at_once_with_its_summary) {
    // The outputs are listed, and one that does not exist is refused before joining.
    ProgramResult r = run_program({program_path("velmora-listen"), "--list-devices"}, dir.path(), env, 10000);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find(" (default)"), std::string::npos) << r.output;
    r = run_program({program_path("velmora-listen"), station_ip, "--play", "--device", "No Such Card"}, dir.path(),
                    env, 10000);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("no audio output called \"No Such Card\""), std::string::npos) << r.output;

    ChildProcess listener;
    ASSERT_TRUE(listener.start({program_path("velmora-listen"), station_ip, "--port", std::to_string(station_port),
                                "--bind", test_ip(93), "--play"},
                               dir.file("listen.out"), dir.path(), env));
    std::this_thread::sleep_for(std::chrono::seconds(4));
    ASSERT_EQ(listener.wait(0), -2) << read_file(dir.file("listen.out"));  // plays on
    listener.signal(SIGINT);
    EXPECT_EQ(listener.wait(1000), 0) << read_file(dir.file("listen.out"));
    const std::string out = read_file(dir.file("listen.out"));
    EXPECT_NE(out.find("playing on"), std::string::npos) << out;
    EXPECT_NE(out.find("summary: packets"), std::string::npos) << out;
}

// The station crashes and a service manager starts it again: the player
// goes quiet, and plays the new run once it has rejoined and buffered.
TEST_F(ListenPlay, a_station_killed_and_started_again_plays_again_within_seconds) {
    ChildProcess recorder, listener;
    ASSERT_TRUE(recorder.start({"/bin/sh", "-c",
                                "exec parec -d ear.monitor --rate=48000 --channels=1 "
                                "--format=s16le --raw > " +
                                    dir.file("heard.raw")},
                               dir.file("parec.out"), dir.path(), env));
    const int listen_seconds = 20;
    ASSERT_TRUE(listener.start(
        {program_path("velmora-listen"), station_ip, "--port", std::to_string(station_port),
         "--bind", test_ip(93), "--play", "--seconds", std::to_string(listen_seconds)},
        dir.file("listen.out"), dir.path(), env));
    const auto listening = std::chrono::steady_clock::now();
    // Playing, then long enough on the air that its counter is far ahead of a new run's.
    for (int i = 0;
         i < 500 && read_file(dir.file("station.out")).find("| 0m 5s |") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_NE(read_file(dir.file("listen.out")).find("playing on"), std::string::npos)
        << read_file(dir.file("listen.out"));
    station.signal(SIGKILL);
    station.wait(5000);
    const double killed_at =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - listening).count();
    ASSERT_TRUE(station.start(
        {program_path("velmora-station"), dir.file("station.ini"), "--capture", "tone:1000"},
        dir.file("station.out"), dir.path(), env));

    EXPECT_EQ(listener.wait((listen_seconds + 10) * 1000), 0) << read_file(dir.file("listen.out"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the sink's last 200 ms
    recorder.signal(SIGTERM);
    recorder.wait(2000);
    const std::string output = read_file(dir.file("listen.out"));
    const Heard h = played_tone::analyse(read_file(dir.file("heard.raw")));
    const size_t late = output.find(" late ");
    ASSERT_NE(late, std::string::npos) << output;
    EXPECT_LE(atoi(output.c_str() + late + 6), 8) << output;
    // After the crash: 3 s until the listener joins again, the new run's
    // first second, the 1.5-s start mark; the tone from there to the end.
    int after = 0;
    for (size_t w = size_t((killed_at + 0.5) * 50); w < h.window_levels.size(); ++w)
        after += h.window_levels[w] > played_tone::kToneLevel;
    EXPECT_GE(after / 50.0, listen_seconds - killed_at - 7)
        << output << "killed at " << killed_at << " s";
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
