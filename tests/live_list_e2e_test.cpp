// A live station with a live list of pictures and texts, heard by a real
// velmora-listen that saves the pictures: each entry shows for the seconds
// the list gives it, and each picture comes with its own entry's text.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "server/bmp_header.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/udp_loopback.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPort = 34731;

// A 64 x 32 BMP of one colour (blue, green, red).
std::string solid_bmp(uint8_t blue, uint8_t green, uint8_t red) {
    uint8_t header[BMP_HEADER_SIZE];
    make_bmp24_header(header, 64, 32);
    std::string bytes(reinterpret_cast<const char*>(header), sizeof header);
    for (int i = 0; i < 64 * 32; ++i) bytes += {char(blue), char(green), char(red)};
    return bytes;
}

// "red" or "blue": the stronger of the two in a saved picture's pixels.
std::string colour_of(const std::string& bmp) {
    long red = 0, blue = 0;
    for (size_t at = BMP_HEADER_SIZE; at + 2 < bmp.size(); at += 3) {
        blue += static_cast<uint8_t>(bmp[at]);
        red += static_cast<uint8_t>(bmp[at + 2]);
    }
    return red > blue ? "red" : "blue";
}

struct Line {
    double at;  // seconds since the listener started
    std::string text;
};

TEST(LiveList, entries_last_their_seconds_and_each_picture_comes_with_its_own_text) {
    TempDir dir;
    const std::string station_ip = test_ip(131);
    write_file(dir.file("red.bmp"), solid_bmp(0, 0, 255));
    write_file(dir.file("blue.bmp"), solid_bmp(255, 0, 0));
    std::string list = "2 44100 LIVE";
    list.push_back('\0');
    for (const char* name : {"red", "blue"}) {
        list += "2 \"" + dir.file(std::string(name) + ".bmp") + "\" " + name;
        list.push_back('\0');
    }
    write_file(dir.file("show.VLS"), list);
    write_file(dir.file("station.ini"),
               "[VelmoraStation]\nSamplingRate=44100\nTransferRate=8820\nBANDWIDTH=512000\n"
               "Mode=1\nAutoStart=1\nSPECIFIC_IP=1\nIP_ADDR=" +
                   station_ip +
                   "\n"
                   "STATION_PORT=" +
                   std::to_string(kPort) + "\nMASTER_IP=" + test_ip(132) +
                   "\n"
                   "StationName=Live List\nStationLocation=Loopback\nLiveScript=" +
                   dir.file("show.VLS") + "\n");
    const EnvironmentList env = {{"VELMORA_HOME", dir.path()},
                                 {"XDG_CONFIG_HOME", dir.path()},
                                 {"XDG_RUNTIME_DIR", dir.path()},
                                 {"HOME", dir.path()}};
    ChildProcess station, listener;
    ASSERT_TRUE(station.start({program_path("velmora-station"), dir.file("station.ini"),
                               "--capture", "tone:440", "--status-interval", "0"},
                              dir.file("station.out"), dir.path(), env));
    ASSERT_TRUE(
        listener.start({program_path("velmora-listen"), station_ip, "--port", std::to_string(kPort),
                        "--bind", test_ip(133), "--seconds", "9", "--pictures", dir.file("heard")},
                       dir.file("listen.out")));
    // Each line with the moment it appeared.
    std::vector<Line> lines;
    const auto started = Clock::now();
    std::string seen;
    int status = -2;
    while (status == -2 && Clock::now() - started < std::chrono::seconds(20)) {
        status = listener.wait(0);
        const std::string now = read_file(dir.file("listen.out"));
        const double at = std::chrono::duration<double>(Clock::now() - started).count();
        for (size_t end; (end = now.find('\n', seen.size())) != std::string::npos;) {
            lines.push_back({at, now.substr(seen.size(), end - seen.size())});
            seen = now.substr(0, end + 1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const std::string output = read_file(dir.file("listen.out"));
    ASSERT_EQ(status, 0) << output << read_file(dir.file("station.out"));

    // The texts change every 2 seconds, red and blue in turn.
    std::vector<Line> songs;
    for (const Line& l : lines)
        if (l.text.rfind("song: ", 0) == 0) songs.push_back({l.at, l.text.substr(6)});
    ASSERT_GE(songs.size(), 3u) << output;
    EXPECT_LE(songs.size(), 5u) << output;
    for (size_t i = 1; i < songs.size(); ++i) {
        EXPECT_NE(songs[i].text, songs[i - 1].text) << output;
        EXPECT_NEAR(songs[i].at - songs[i - 1].at, 2.0, 0.5) << output;
    }
    // Every picture saved is the one of the text shown when it came.
    std::string shown;
    int checked = 0;
    for (const Line& l : lines) {
        if (l.text.rfind("song: ", 0) == 0) shown = l.text.substr(6);
        if (l.text.rfind("now playing: ", 0) == 0) shown = l.text.substr(13);
        if (l.text.rfind("picture saved: ", 0) != 0) continue;
        const std::string path = l.text.substr(15, l.text.find(" (") - 15);
        EXPECT_EQ(colour_of(read_file(path)), shown) << path << "\n" << output;
        ++checked;
    }
    EXPECT_GE(checked, 3) << output;
}

}  // namespace
