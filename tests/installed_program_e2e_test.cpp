// A program installed outside its build folder (as `cmake --install` and
// the package put it) keeps its files in the user's state folder, never
// beside itself; VELMORA_HOME still names another folder.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/udp_loopback.h"

namespace {

constexpr int kPort = 34661;

class InstalledProgram : public ::testing::Test {
protected:
    TempDir dir;  // under /tmp: outside the build folder

    void SetUp() override {
        std::filesystem::create_directories(dir.file("usr/bin"));
        std::filesystem::copy_file(program_path("velmora-station"), dir.file("usr/bin/velmora-station"));
        write_file(dir.file("station.ini"),
                   "[VelmoraStation]\nSamplingRate=44100\nTransferRate=8820\nBANDWIDTH=512000\n"
                   "Mode=1\nAutoStart=1\nSPECIFIC_IP=1\nIP_ADDR=" + test_ip(94) + "\n"
                   "STATION_PORT=" + std::to_string(kPort) + "\nMASTER_IP=" + test_ip(95) + "\n"
                   "StationName=Installed\nStationLocation=Loopback\n");
    }

    // Runs the installed copy live until its station lists are written into
    // `expected_folder`; false when they do not come within 10 s.
    bool broadcast_until_listed(const EnvironmentList& env, const std::string& expected_folder) {
        ChildProcess station;
        EnvironmentList all = {{"HOME", dir.file("home")}, {"XDG_RUNTIME_DIR", dir.path()},
                               {"XDG_CONFIG_HOME", dir.file("config")}};
        all.insert(all.end(), env.begin(), env.end());
        EXPECT_TRUE(station.start({dir.file("usr/bin/velmora-station"), dir.file("station.ini"),
                                   "--capture", "tone:440", "--status-interval", "0"},
                                  dir.file("station.out"), dir.path(), all));
        for (int i = 0; i < 200; ++i) {
            if (std::filesystem::exists(expected_folder + "/listen.vsl")) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
};

TEST_F(InstalledProgram, keeps_its_station_lists_in_the_user_state_folder) {
    struct Case {
        EnvironmentList env;
        std::string folder;
    } cases[] = {
        {{}, dir.file("home") + "/.local/state/velmora"},  // made when missing
        {{{"XDG_STATE_HOME", dir.file("state")}}, dir.file("state") + "/velmora"},
        {{{"XDG_STATE_HOME", dir.file("state")}, {"VELMORA_HOME", dir.file("station")}}, dir.file("station")},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(broadcast_until_listed(c.env, c.folder)) << c.folder << "\n"
                                                              << read_file(dir.file("station.out"));
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("usr/bin/listen.vsl")));
}

}  // namespace
