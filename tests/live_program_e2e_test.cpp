// A live station's program as the listeners of its web stream hear it: the
// real velmora-station recording a stereo WAV file, or the stereo default
// device of a real PulseAudio server, its /listen.opus decoded by opusdec.
// Left and right carry different tones, one above the station's own Nyquist
// frequency: both arrive, each on its own side.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/private_pulseaudio.h"
#include "support/tcp_client.h"
#include "support/temp_dir.h"
#include "support/udp_loopback.h"
#include "support/wav_bytes.h"

namespace {

constexpr int kStationPort = 34771;
constexpr int kWebPort = 34772;
constexpr int kStationRate = 11025;  // its Nyquist frequency: 5512 Hz
constexpr double kLeftHz = 1000, kRightHz = 7000;

// What the server sends to a GET of `path` within `ms`, headers included.
std::string get(const std::string& ip, const std::string& path, int ms) {
    return exchange(ip, kWebPort, "GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n", ms);
}

// `seconds` of 16-bit stereo: a sine of `left_hz` left and of `right_hz` right.
std::string stereo_pcm16(int rate, double left_hz, double right_hz, double seconds) {
    std::string data;
    for (int i = 0; i < static_cast<int>(seconds * rate); ++i)
        for (double hz : {left_hz, right_hz})
            data += wav_bytes::le16(static_cast<uint16_t>(
                static_cast<int16_t>(std::lround(10000 * std::sin(2 * M_PI * hz * i / rate)))));
    return data;
}

// A 16-bit WAV as opusdec writes it, one vector per channel.
struct Channels {
    int rate = 0;
    std::vector<std::vector<double>> samples;
};
Channels read_channels(const std::string& bytes) {
    Channels c;
    for (size_t at = 12; at + 8 <= bytes.size();) {
        uint32_t size;
        memcpy(&size, bytes.data() + at + 4, 4);
        const std::string id = bytes.substr(at, 4);
        at += 8;
        if (id == "fmt " && at + 16 <= bytes.size()) {
            c.samples.resize(static_cast<uint8_t>(bytes[at + 2]));
            memcpy(&c.rate, bytes.data() + at + 4, 4);
        } else if (id == "data" && !c.samples.empty()) {
            const size_t frame = 2 * c.samples.size();
            for (size_t i = at; i + frame <= std::min<size_t>(bytes.size(), at + size); i += frame)
                for (size_t ch = 0; ch < c.samples.size(); ++ch) {
                    int16_t v;
                    memcpy(&v, bytes.data() + i + 2 * ch, 2);
                    c.samples[ch].push_back(v);
                }
            break;
        }
        at += size + (size & 1);
    }
    return c;
}

// The `hz` component of the last second of `x`, in dB of full scale
// (Hann-windowed single bin).
double tone_db(const std::vector<double>& x, double hz, int rate) {
    const size_t n = std::min<size_t>(x.size(), static_cast<size_t>(rate)), from = x.size() - n;
    double re = 0, im = 0;
    for (size_t i = 0; i < n; ++i) {
        const double w = 0.5 - 0.5 * std::cos(2 * M_PI * double(i) / double(n));
        re += x[from + i] * w * std::cos(2 * M_PI * hz * double(i) / rate);
        im -= x[from + i] * w * std::sin(2 * M_PI * hz * double(i) / rate);
    }
    return 20 * std::log10(std::max(4 * std::hypot(re, im) / double(n) / 32768, 1e-12));
}

class LiveProgram : public ::testing::Test {
   protected:
    TempDir dir;
    std::string ip = test_ip(141);
    ChildProcess station;
    EnvironmentList env = home_in(dir.path());

    void SetUp() override {
        write_file(dir.file("station.ini"),
                   "[VelmoraStation]\nSamplingRate=" + std::to_string(kStationRate) +
                       "\nMode=1\nAutoStart=1\nSPECIFIC_IP=1\nIP_ADDR=" + ip + "\nSTATION_PORT=" +
                       std::to_string(kStationPort) + "\nMASTER_IP=" + test_ip(142) +
                       "\nStationName=Stereo Station\nStationLocation=Loopback\n");
    }
    std::string output() { return read_file(dir.file("station.out")); }

    // Starts the station with `capture` and the listeners' page, and waits
    // until its stream answers.
    bool start(const std::vector<std::string>& capture) {
        std::vector<std::string> args = {program_path("velmora-station"),
                                         dir.file("station.ini"),
                                         "--status-interval",
                                         "0",
                                         "--web",
                                         ip + ":" + std::to_string(kWebPort)};
        args.insert(args.end(), capture.begin(), capture.end());
        if (!station.start(args, dir.file("station.out"), dir.path(), env)) return false;
        for (int i = 0; i < 200; ++i) {
            if (station.wait(0) != -2) return false;
            if (get(ip, "/listen.opus", 200).rfind("HTTP/1.1 200 OK", 0) == 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    // `ms` of /listen.opus decoded by opusdec: two channels, each with its
    // own tone, the right one above the station's Nyquist frequency.
    void expect_stereo_stream(int ms) {
        const std::string reply = get(ip, "/listen.opus", ms);
        ASSERT_EQ(reply.rfind("HTTP/1.1 200 OK", 0), 0u) << reply.substr(0, 200);
        write_file(dir.file("heard.opus"), body_of(reply));
        ProgramResult decoded = run_program(
            {"/usr/bin/opusdec", "--quiet", dir.file("heard.opus"), dir.file("heard.wav")},
            dir.path(), env, 20000);
        ASSERT_EQ(decoded.status, 0) << decoded.output;
        Channels heard = read_channels(read_file(dir.file("heard.wav")));
        ASSERT_EQ(heard.samples.size(), 2u) << "the web stream is not stereo";
        ASSERT_GT(heard.samples[0].size(), static_cast<size_t>(heard.rate)) << output();
        const std::vector<double>&left = heard.samples[0], &right = heard.samples[1];
        EXPECT_GT(tone_db(left, kLeftHz, heard.rate), -25.0) << output();
        EXPECT_GT(tone_db(right, kRightHz, heard.rate), -25.0) << output();
        // Each side without the other's tone.
        EXPECT_LT(tone_db(left, kRightHz, heard.rate), tone_db(left, kLeftHz, heard.rate) - 30);
        EXPECT_LT(tone_db(right, kLeftHz, heard.rate), tone_db(right, kRightHz, heard.rate) - 30);
        // No gap in the last second: every 10 ms of the left tone as loud as the rest.
        const size_t window = static_cast<size_t>(heard.rate / 100);
        double quietest = 1e18, loudest = 0;
        for (size_t at = left.size() - 100 * window; at + window <= left.size(); at += window) {
            double power = 0;
            for (size_t i = at; i < at + window; ++i) power += left[i] * left[i];
            quietest = std::min(quietest, power), loudest = std::max(loudest, power);
        }
        EXPECT_GT(quietest, loudest / 2) << "a gap in the stream";
    }
};

TEST_F(LiveProgram, a_stereo_wav_file_reaches_the_web_stream_in_stereo_at_its_own_rate) {
    write_file(dir.file("stereo.wav"),
               wav_bytes::pcm(44100, 2, 16, stereo_pcm16(44100, kLeftHz, kRightHz, 2.0)));
    ASSERT_TRUE(start({"--capture", dir.file("stereo.wav")})) << output();
    expect_stereo_stream(3000);
}

TEST_F(LiveProgram,
       the_stereo_default_device_of_a_pulseaudio_server_reaches_the_web_stream_in_stereo) {
    const std::string paplay = which("paplay"), pactl = which("pactl");
    if (paplay.empty() || pactl.empty())
        GTEST_SKIP()
            << "paplay or pactl is not installed (scripts/setup installs pulseaudio-utils)";
    // A null sink's monitor remapped into a stereo recording source (Qt lists
    // no monitor sources), made the default; a stereo tone plays into the sink.
    PrivatePulseAudio server;
    std::string why;
    if (!server.start(
            "station_sink",
            {"module-remap-source master=station_sink.monitor source_name=station_mic "
             "master_channel_map=front-left,front-right channel_map=front-left,front-right"},
            dir.file("pulseaudio.out"), env, &why))
        GTEST_SKIP() << why;
    ASSERT_EQ(run_program({pactl, "set-default-source", "station_mic"}, "", env, 5000).status, 0);
    write_file(dir.file("stereo.wav"),
               wav_bytes::pcm(44100, 2, 16, stereo_pcm16(44100, kLeftHz, kRightHz, 30.0)));
    ChildProcess player;
    ASSERT_TRUE(
        player.start({paplay, dir.file("stereo.wav")}, dir.file("paplay.out"), dir.path(), env));

    ASSERT_TRUE(start({})) << output();
    expect_stereo_stream(5000);  // its last second is measured
}

}  // namespace
