// velmora-station as a user starts it: which settings file it takes, one
// station per settings file, and a script whose songs and pictures are named
// relative to itself. The station and velmora-listen run as processes on
// loopback addresses of this test process.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "script_test_media.h"
#include "station_test_support.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

constexpr int kPort = 34612;

class StationCommandLine : public ::testing::Test {
protected:
    TempDir dir;
    std::string real_dir = std::filesystem::canonical(dir.path()).string();
    std::string station_ip = test_ip(61);
    ChildProcess station;

    void SetUp() override {
        // Frames the station sends as they are; the listener need not decode them.
        const std::vector<std::string> frames(16, std::string(40, 'x'));
        write_file(dir.file("one.VMA"), sample_file(frames, 44100, 10));
        write_file(dir.file("two.VMA"), sample_file(frames, 44100, 10));
        write_file(dir.file("cover.bmp"), bmp_bytes(64, 32));
        write_file(dir.file("demo.VSK"),
                   zero_lines({"2 44100 010 SCRIPT", "1 one.wav cover.bmp First", "1 two.VMA \"\" Second"}));
        write_file(dir.file("station.ini"),
                   "[VelmoraStation]\nSamplingRate=44100\nTransferRate=4410\nBANDWIDTH=64000\n"
                   "Mode=0\nAutoStart=1\nSPECIFIC_IP=1\nIP_ADDR=" + station_ip + "\n"
                   "STATION_PORT=" + std::to_string(kPort) + "\nMASTER_IP=" + test_ip(62) + "\n"
                   "StationName=Test Station\nStationLocation=Loopback\n"
                   "StationScript=" + dir.file("demo.VSK") + "\n");
    }

    EnvironmentList env() const {
        return {{"VELMORA_HOME", dir.path()},
                {"XDG_CONFIG_HOME", dir.file("config")},
                {"XDG_RUNTIME_DIR", dir.path()}};
    }

    void start(const std::vector<std::string>& arguments, const std::string& cwd) {
        std::vector<std::string> args = {program_path("velmora-station")};
        args.insert(args.end(), arguments.begin(), arguments.end());
        ASSERT_TRUE(station.start(args, dir.file("station.out"), cwd, env()));
    }

    ProgramResult run_station(const std::vector<std::string>& arguments, const std::string& cwd) {
        std::vector<std::string> args = {program_path("velmora-station")};
        args.insert(args.end(), arguments.begin(), arguments.end());
        return run_program(args, cwd, env(), 10000);
    }

    std::string station_output() const { return read_file(dir.file("station.out")); }

    // Whether the station's output shows `text` within a few seconds.
    bool station_says(const std::string& text) const {
        for (int i = 0; i < 400; ++i) {
            if (station_output().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return false;
    }

    // velmora-listen on the station for `seconds`; its output.
    ProgramResult listen(double seconds) {
        return run_program({program_path("velmora-listen"), station_ip, "--port", std::to_string(kPort),
                            "--bind", test_ip(63), "--seconds", std::to_string(seconds),
                            "--pictures", dir.path()},
                           "", {}, 30000);
    }

    std::vector<std::string> lock_files() const {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            if (entry.path().extension() == ".lock") found.push_back(entry.path().string());
        return found;
    }
};

TEST_F(StationCommandLine, a_settings_file_named_in_the_current_folder_is_used) {
    start({"station.ini"}, dir.path());
    ProgramResult heard = listen(1.5);
    EXPECT_EQ(heard.status, 0) << heard.output << station_output();
    EXPECT_NE(heard.output.find("joined \"Test Station\""), std::string::npos) << heard.output;
    EXPECT_NE(station_output().find("settings " + real_dir + "/station.ini,"), std::string::npos)
        << station_output();
}

TEST_F(StationCommandLine, songs_and_pictures_are_found_beside_the_script_from_any_folder) {
    start({dir.file("station.ini")}, "/");
    ProgramResult heard = listen(2);
    ASSERT_EQ(heard.status, 0) << heard.output << station_output();
    EXPECT_EQ(heard.output.find("summary: packets 0,"), std::string::npos) << heard.output;
    EXPECT_NE(heard.output.find("picture: 2 x 1 tiles"), std::string::npos) << heard.output;
    EXPECT_NE(heard.output.find("picture saved"), std::string::npos) << heard.output;
}

TEST_F(StationCommandLine, a_missing_settings_file_or_two_of_them_are_errors) {
    ProgramResult missing = run_station({"nosuch.ini"}, dir.path());
    EXPECT_EQ(missing.status, 1) << missing.output;
    EXPECT_NE(missing.output.find("settings file nosuch.ini not found (tried " + real_dir +
                                  "/nosuch.ini and " + dir.file("config/velmora/nosuch.ini") + ")"),
              std::string::npos)
        << missing.output;

    ProgramResult in_folder = run_station({dir.file("gone/station.ini")}, "/");
    EXPECT_EQ(in_folder.status, 1) << in_folder.output;
    EXPECT_NE(in_folder.output.find("(tried " + dir.file("gone/station.ini") + ")"), std::string::npos)
        << in_folder.output;

    ProgramResult two = run_station({"station.ini", "other.ini"}, dir.path());
    EXPECT_EQ(two.status, 2) << two.output;
    EXPECT_NE(two.output.find("one settings file only, not station.ini and other.ini"),
              std::string::npos)
        << two.output;

    // Without a name the default file is used even before it exists; with
    // nothing to play in it the station says so and ends.
    start({}, dir.path());
    EXPECT_TRUE(station_says(dir.file("config/velmora/lumo.ini") + ": no script to play"))
        << station_output();
    EXPECT_EQ(station.wait(10000), 1);
}

TEST_F(StationCommandLine, a_second_station_on_the_same_settings_is_refused_and_a_clean_exit_removes_the_lock) {
    start({dir.file("station.ini")}, "/");
    ASSERT_TRUE(station_says("lock file ")) << station_output();
    std::vector<std::string> locks = lock_files();
    ASSERT_EQ(locks.size(), 1u);

    // Another name of the same file.
    ProgramResult second = run_station({"station.ini"}, dir.path());
    EXPECT_EQ(second.status, 1) << second.output;
    EXPECT_NE(second.output.find("another station already runs with " + real_dir +
                                 "/station.ini (its lock is " + locks[0] + ")"),
              std::string::npos)
        << second.output;
    EXPECT_EQ(listen(1.5).status, 0) << "the first station goes on";

    station.signal(SIGTERM);
    EXPECT_EQ(station.wait(10000), 0) << station_output();
    EXPECT_TRUE(lock_files().empty());
}

}  // namespace
