// The README's "Your own station in five minutes", followed literally: the
// commands between its markers run as they stand in a folder holding two
// synthetic songs and a picture. Only the port number is changed, to a free
// one, so that a test run never meets a station already on the machine.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "compression_test_media.h"
#include "server/bmp_header.h"
#include "support/child_process.h"
#include "support/synthetic_picture.h"
#include "support/temp_dir.h"
#include "support/udp_loopback.h"

namespace {

// The shell commands between the markers, without the code fences.
std::string five_minute_commands() {
    const std::string readme = read_file(VELMORA_SOURCE_DIR "/README.md");
    const std::string begin = "<!-- five-minutes:begin -->", end = "<!-- five-minutes:end -->";
    size_t from = readme.find(begin), to = readme.find(end);
    if (from == std::string::npos || to == std::string::npos || to < from) return "";
    std::string commands;
    size_t line_start = from + begin.size();
    while (line_start < to) {
        size_t line_end = readme.find('\n', line_start);
        std::string line = readme.substr(line_start, line_end - line_start);
        if (line.rfind("```", 0) != 0) commands += line + "\n";
        line_start = line_end + 1;
    }
    return commands;
}

std::string bmp_file(const SyntheticPicture& picture) {
    uint8_t header[BMP_HEADER_SIZE];
    make_bmp24_header(header, picture.width, picture.height);
    return std::string(reinterpret_cast<char*>(header), BMP_HEADER_SIZE) +
           std::string(picture.pixels.begin(), picture.pixels.end());
}

TEST(Readme, the_five_minute_station_plays_the_songs_and_shows_the_picture) {
    using namespace compression_media;
    TempDir dir;
    write_file(dir.file("song1.wav"), wav(22050, 1, 16, tone(22050, 1, 16, 2.0, 440)));
    write_file(dir.file("song2.wav"), wav(22050, 1, 16, tone(22050, 1, 16, 2.0, 660)));
    const std::string cover = bmp_file(make_gradient_picture(96, 64));
    write_file(dir.file("cover.bmp"), cover);

    std::string commands = five_minute_commands();
    ASSERT_NE(commands.find("velmora-listen"), std::string::npos) << "no five-minute section found";
    const std::string port = std::to_string(LoopbackSocket("127.0.0.1").port());  // free a moment ago
    int replaced = 0;
    for (size_t at; (at = commands.find("3456")) != std::string::npos; ++replaced)
        commands.replace(at, 4, port);
    EXPECT_EQ(replaced, 2) << "the station's port and the listener's";
    write_file(dir.file("five-minutes.sh"), commands);

    const char* path = getenv("PATH");
    ProgramResult run = run_program({"/bin/bash", "-e", "five-minutes.sh"}, dir.path(),
                                    {{"PATH", std::string(VELMORA_BIN_DIR) + ":" + (path ? path : "/usr/bin:/bin")},
                                     {"XDG_CONFIG_HOME", dir.file("config")},
                                     {"XDG_RUNTIME_DIR", dir.path()}},
                                    90000);
    const std::string station_log = read_file(dir.file("station.log"));
    ASSERT_EQ(run.status, 0) << run.output << "\nstation:\n" << station_log;
    EXPECT_NE(run.output.find("joined \"My Own Station\" at 22050 Hz"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("song: You are listening to My Own Station"), std::string::npos);

    // Audio: seconds of the tones, not silence.
    const std::string heard = read_file(dir.file("heard.wav"));
    ASSERT_GT(heard.size(), 44u + 4 * 16384) << run.output;
    double energy = 0;
    for (size_t i = 44; i < heard.size(); ++i) energy += std::pow(uint8_t(heard[i]) - 128.0, 2);
    EXPECT_GT(std::sqrt(energy / double(heard.size() - 44)), 20.0) << "the tones come out at about 50";

    // The picture, as the listener rebuilt it from its tiles.
    const std::string picture = read_file(dir.file("picture_01.bmp"));
    ASSERT_EQ(picture.size(), cover.size()) << run.output;
    EXPECT_EQ(picture.substr(0, BMP_HEADER_SIZE), cover.substr(0, BMP_HEADER_SIZE));
    double error = 0;
    for (size_t i = BMP_HEADER_SIZE; i < cover.size(); ++i) error += std::abs(uint8_t(picture[i]) - uint8_t(cover[i]));
    EXPECT_LT(error / double(cover.size() - BMP_HEADER_SIZE), 6.0);  // about 2 at this quality

    // The station said where its lock was and removed it when it ended.
    EXPECT_NE(station_log.find("lock file " + dir.path()), std::string::npos) << station_log;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_NE(entry.path().extension(), ".lock") << entry.path();
}

}  // namespace
