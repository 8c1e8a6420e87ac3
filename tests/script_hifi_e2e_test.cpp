// A script's songs as the listeners of the web stream hear them: the real
// velmora-compress prepares two stereo songs from their WAVs, the real
// velmora-station plays the script with --web, and /listen.opus is decoded
// by opusdec. While a song's WAV is unchanged since it was prepared, the web
// stream carries the WAV itself (two channels, the sound above the station's
// Nyquist rate); a touched or replaced WAV leaves it the decoded frames.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/audio_measures.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/udp_loopback.h"
#include "support/wav_bytes.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kStationPort = 34787;
constexpr int kWebPort = 34788;
constexpr int kSourceRate = 44100;
constexpr int kSongFrames = 131072;  // two super-blocks at 11025 Hz
constexpr double kHigh = 9000;       // above 11025 Hz's Nyquist rate, in both channels
struct Tones {
    double left, right;
};
constexpr Tones kSongTones[] = {{440, 1000}, {1500, 660}};

// 16-bit stereo: each channel its own tone, both the high one.
std::string stereo_song(const Tones& tones, int frames) {
    const double pi = 3.14159265358979323846;
    std::string data;
    for (int i = 0; i < frames; ++i)
        for (double hz : {tones.left, tones.right}) {
            const double t = double(i) / kSourceRate;
            const double v = 0.3 * std::sin(2 * pi * hz * t) + 0.1 * std::sin(2 * pi * kHigh * t);
            data += wav_bytes::le16(uint32_t(int16_t(std::lround(v * 32767))) & 0xFFFF);
        }
    return wav_bytes::pcm(kSourceRate, 2, 16, data);
}

// What the server sends to `request` within `ms`, and when its first byte came.
std::string exchange(const std::string& ip, const std::string& request, int ms,
                     Clock::time_point* first = nullptr) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kWebPort);
    inet_pton(AF_INET, ip.c_str(), &to.sin_addr);
    timeval timeout{0, 200000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buffer[8192];
        for (const auto end = Clock::now() + std::chrono::milliseconds(ms); Clock::now() < end;) {
            ssize_t got = recv(fd, buffer, sizeof buffer, 0);
            if (got == 0) break;
            if (got > 0 && reply.empty() && first) *first = Clock::now();
            if (got > 0) reply.append(buffer, size_t(got));
        }
    }
    close(fd);
    return reply;
}

std::string body_of(const std::string& reply) {
    size_t at = reply.find("\r\n\r\n");
    return at == std::string::npos ? "" : reply.substr(at + 4);
}

// opusdec's WAV: each channel as 8-bit samples for audio_measures.
struct Heard {
    std::vector<std::vector<uint8_t>> channels;
    int rate = 0;
};
Heard read_channels(const std::string& bytes) {
    Heard heard;
    size_t at = 12;
    int count = 1;
    while (at + 8 <= bytes.size()) {
        uint32_t size;
        memcpy(&size, bytes.data() + at + 4, 4);
        const std::string id = bytes.substr(at, 4);
        at += 8;
        if (id == "fmt ") {
            count = uint8_t(bytes[at + 2]);
            memcpy(&heard.rate, bytes.data() + at + 4, 4);
        } else if (id == "data") {
            heard.channels.resize(size_t(count));
            size = uint32_t(std::min<size_t>(size, bytes.size() - at));
            for (size_t i = 0; i + 2 <= size; i += 2) {
                int16_t v;
                memcpy(&v, bytes.data() + at + i, 2);
                heard.channels[i / 2 % size_t(count)].push_back(uint8_t((v >> 8) + 128));
            }
            break;
        }
        at += size + (size & 1);
    }
    return heard;
}

double level(const std::vector<uint8_t>& channel, size_t from, size_t count, double hz, int rate) {
    return audio_measures::tone_level_db(
        {channel.begin() + long(from), channel.begin() + long(from + count)}, hz, rate);
}

class ScriptHiFi : public ::testing::Test {
   protected:
    TempDir dir;
    std::string ip = test_ip(187);
    ChildProcess station;
    EnvironmentList env = home_in(dir.path());

    // Two songs prepared by velmora-compress from their stereo WAVs.
    void SetUp() override {
        write_file(dir.file("station.ini"),
                   "[VelmoraStation]\nSamplingRate=11025\nTransferRate=3528\nMode=0\nAutoStart=1\n"
                   "SPECIFIC_IP=1\nIP_ADDR=" +
                       ip + "\nSTATION_PORT=" + std::to_string(kStationPort) +
                       "\nMASTER_IP=" + test_ip(188) +
                       "\nStationName=Two Tones\n"
                       "StationScript=" +
                       dir.file("songs.VSK") + "\n");
        write_file(dir.file("one.wav"), stereo_song(kSongTones[0], kSongFrames));
        write_file(dir.file("two.wav"), stereo_song(kSongTones[1], kSongFrames));
        std::string script = std::string("2 11025 032 SCRIPT") + '\0' +
                             "1 one.wav \"\" First song" + '\0' + "1 two.wav \"\" Second song" +
                             '\0';
        write_file(dir.file("songs.VSK"), script);
        ProgramResult r = run_program({program_path("velmora-compress"), "--settings",
                                       dir.file("station.ini"), dir.file("songs.VSK")},
                                      dir.path(), env, 60000);
        ASSERT_EQ(r.status, 0) << r.output;
    }

    bool start() {
        if (!station.start({program_path("velmora-station"), dir.file("station.ini"),
                            "--status-interval", "0", "--web", ip + ":" + std::to_string(kWebPort)},
                           dir.file("station.out"), dir.path(), env))
            return false;
        for (int i = 0; i < 200; ++i) {
            if (station.wait(0) != -2) return false;
            if (get("/listen.opus", 200).rfind("HTTP/1.1 200 OK", 0) == 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    std::string output() { return read_file(dir.file("station.out")); }
    std::string get(const std::string& path, int ms = 1000, Clock::time_point* first = nullptr) {
        return exchange(ip, "GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n", ms, first);
    }
    // `ms` of the web stream decoded; `first` when its first byte came.
    Heard listen(int ms, Clock::time_point* first = nullptr) {
        write_file(dir.file("heard.opus"), body_of(get("/listen.opus", ms, first)));
        ProgramResult decoded = run_program(
            {"/usr/bin/opusdec", "--quiet", dir.file("heard.opus"), dir.file("heard.wav")},
            dir.path(), env, 20000);
        EXPECT_EQ(decoded.status, 0) << decoded.output;
        return read_channels(read_file(dir.file("heard.wav")));
    }
};

TEST_F(ScriptHiFi, an_unchanged_source_is_heard_in_stereo_with_its_highs_and_titles_in_step) {
    ASSERT_TRUE(start()) << output();
    // Seven seconds of the stream (two songs and more) while /now.json is watched.
    Clock::time_point first{};
    Heard heard;
    std::thread listener([&] { heard = listen(7000, &first); });
    const auto began = Clock::now();
    std::vector<std::pair<double, bool>> titles;  // (seconds, the second song's) at each change
    while (Clock::now() - began < std::chrono::milliseconds(7000)) {
        const std::string now = body_of(get("/now.json", 150));
        const bool second = now.find("\"title\": \"Second song\"") != std::string::npos;
        if (now.find("\"title\": \"") != std::string::npos &&
            (titles.empty() || titles.back().second != second))
            titles.push_back({std::chrono::duration<double>(Clock::now() - began).count(), second});
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    listener.join();
    ASSERT_EQ(heard.channels.size(), 2u) << output();
    const double start_offset = std::chrono::duration<double>(first - began).count();

    // Each quarter second that is one song's: its tone in each channel, 20 dB
    // above the other channel's, and the highs the 8-bit frames cannot carry.
    const int rate = heard.rate;
    const size_t window = size_t(rate / 4);
    int windows[2] = {0, 0};
    std::vector<double> song_changes;  // seconds of the stream where the second song begins
    int last = -1;
    for (size_t at = 0; at + window <= heard.channels[0].size(); at += window) {
        int song = -1;
        for (int s = 0; s < 2; ++s)
            if (level(heard.channels[0], at, window, kSongTones[s].left, rate) > 20 &&
                level(heard.channels[0], at, window, kSongTones[1 - s].left, rate) < 5)
                song = s;
        if (song < 0) continue;
        ++windows[song];
        if (song == 1 && last == 0) song_changes.push_back(double(at) / rate);
        last = song;
        const Tones& t = kSongTones[song];
        const auto& left = heard.channels[0];
        const auto& right = heard.channels[1];
        EXPECT_GT(level(left, at, window, t.left, rate),
                  level(left, at, window, t.right, rate) + 20);
        EXPECT_GT(level(right, at, window, t.right, rate),
                  level(right, at, window, t.left, rate) + 20);
        EXPECT_GT(level(left, at, window, kHigh, rate), 15) << "no highs at " << double(at) / rate;
        EXPECT_GT(level(right, at, window, kHigh, rate), 15) << "no highs at " << double(at) / rate;
    }
    EXPECT_GE(windows[0], 6);
    EXPECT_GE(windows[1], 6);

    // The title turns to the second song as its sound begins (within a second).
    ASSERT_FALSE(song_changes.empty());
    bool in_step = false;
    for (const auto& [seconds, second] : titles)
        for (double change : song_changes)
            if (second && std::fabs(seconds - (start_offset + change)) < 1.0) in_step = true;
    EXPECT_TRUE(in_step) << "the sound changed at " << start_offset + song_changes[0] << " s";
    EXPECT_EQ(output().find("Cannot"), std::string::npos) << output();

    // Both WAVs cut short while one plays: that song goes on from its frames
    // with one message, the other song is no longer the same WAV (quietly).
    for (const char* wav : {"one.wav", "two.wav"})
        ASSERT_EQ(truncate(dir.file(wav).c_str(), 44 + 4 * 20000), 0);
    const std::string message = "Cannot read " + dir.file("");
    for (int i = 0; i < 100 && output().find(message) == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Heard after = listen(4000);
    EXPECT_EQ(after.channels.size(), 2u);
    EXPECT_EQ(station.wait(0), -2) << output();
    const std::string said = output();
    const size_t at = said.find(message);
    ASSERT_NE(at, std::string::npos) << said;
    EXPECT_EQ(said.find(message, at + 1), std::string::npos) << said;
    EXPECT_NE(said.find("(the file was cut short)", at), std::string::npos) << said;
}

// A touched WAV, or one replaced by another length under the old time: the
// outputs play the decoded frames (mono, nothing above 5512 Hz), quietly.
TEST_F(ScriptHiFi, a_changed_source_leaves_the_outputs_on_the_frames) {
    struct stat before;
    ASSERT_EQ(stat(dir.file("one.wav").c_str(), &before), 0);
    const struct {
        const char* change;
        int frames;      // of the new WAV; 0 keeps it
        int seconds_on;  // added to its modification time
    } cases[] = {{"touched", 0, 10}, {"replaced by a shorter WAV", kSongFrames - 4096, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.change);
        for (int s = 0; s < 2; ++s) {
            const std::string wav = dir.file(s == 0 ? "one.wav" : "two.wav");
            if (c.frames > 0) write_file(wav, stereo_song(kSongTones[s], c.frames));
            timespec times[2] = {before.st_atim, before.st_mtim};
            times[1].tv_sec += c.seconds_on;
            ASSERT_EQ(utimensat(AT_FDCWD, wav.c_str(), times, 0), 0);
        }
        ASSERT_TRUE(start()) << output();
        Heard heard = listen(4000);
        ASSERT_EQ(heard.channels.size(), 1u) << output();
        const auto& mono = heard.channels[0];
        ASSERT_GT(mono.size(), size_t(heard.rate * 2));
        const size_t window = size_t(heard.rate);
        double tones = 0;
        for (size_t at = 0; at + window <= mono.size(); at += window) {
            for (const Tones& t : kSongTones)
                tones = std::max({tones, level(mono, at, window, t.left, heard.rate),
                                  level(mono, at, window, t.right, heard.rate)});
            EXPECT_LT(level(mono, at, window, kHigh, heard.rate), 3) << "highs at " << at / window;
        }
        EXPECT_GT(tones, 20);  // the songs play all the same
        EXPECT_EQ(output().find("Cannot"), std::string::npos) << output();
        station.kill_now();
    }
}

}  // namespace
