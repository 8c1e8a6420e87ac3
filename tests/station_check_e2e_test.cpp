// velmora-station checking its settings as an operator meets them: a start
// on settings it cannot use ends with status 1 naming the key and value, a
// byte-order mark is read, and --check lists every problem of the settings
// and of what they name with its file and line. The real programs run as
// processes.

#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "compression_test_media.h"
#include "platform/profile.h"
#include "script_test_media.h"
#include "station_test_support.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

using compression_media::tone;
using compression_media::wav;

class StationCheck : public ::testing::Test {
protected:
    TempDir dir;
    std::string ini = dir.file("station.ini");
    std::string script = dir.file("show.VSK");
    // Good settings after the section line; a case puts its own line first,
    // where it wins over a later line of the same key.
    std::string good = "SamplingRate=11025\nTransferRate=2000\nBANDWIDTH=64000\nMode=0\nSPECIFIC_IP=1\n"
                       "IP_ADDR=" + test_ip(66) + "\nSTATION_PORT=34791\nStationName=Check\nMASTER_IP=" +
                       test_ip(67) + "\nStationScript=" + script + "\n";

    EnvironmentList env() const {
        return {{"VELMORA_HOME", dir.path()}, {"XDG_CONFIG_HOME", dir.file("config")},
                {"XDG_RUNTIME_DIR", dir.path()}};
    }
    ProgramResult run(const std::string& program, const std::vector<std::string>& arguments) {
        std::vector<std::string> args = {program_path(program)};
        args.insert(args.end(), arguments.begin(), arguments.end());
        return run_program(args, dir.path(), env(), 15000);
    }
    static bool has(const ProgramResult& result, const std::string& text) {
        return result.output.find(text) != std::string::npos;
    }
};

TEST_F(StationCheck, a_station_refuses_to_start_on_settings_it_cannot_use_naming_the_key_and_value) {
    write_file(script, zero_lines({"1 11025 018 SCRIPT", "1 a.VMA \"\" a"}));
    const std::string gone = dir.file("gone.VSK");
    struct Case {
        std::string first_lines;
        std::string said;
    } cases[] = {
        {"IP_ADDR=300.1.2.3\n", ini + ":2: IP_ADDR=300.1.2.3 is not a dotted IPv4 address"},
        {"MBONE=1\nMBONEIP=255.255.255.255\n", ini + ":3: MBONEIP=255.255.255.255 is the broadcast address"},
        {"RepeaterIP=300.1.2.3\n", ini + ":2: RepeaterIP=300.1.2.3 is not a dotted IPv4 address"},
        {"MASTER_IP=master\n", ini + ":2: MASTER_IP=master is not a dotted IPv4 address"},
        {"STATION_PORT=70000\n", ini + ":2: STATION_PORT=70000 is not a port (1 to 65535)"},
        {"BANDWIDTH=-1\n", ini + ":2: BANDWIDTH=-1 is no bandwidth"},
        {"StationScript=" + gone + "\n", "the script " + gone + " (StationScript) cannot be opened"},
        // A page asked for and not to be served: nobody would notice it missing.
        {"WEB_LISTEN=web:80\n",
         ini + ":2: WEB_LISTEN must be PORT or ADDR:PORT (a dotted address, a port 1 to 65535), "
               "not \"web:80\": the station does not start"},
    };
    for (const Case& c : cases) {
        write_file(ini, "[VelmoraStation]\n" + c.first_lines + good);
        const ProgramResult started = run("velmora-station", {"station.ini", "--start"});
        EXPECT_EQ(started.status, 1) << started.output;
        EXPECT_TRUE(has(started, c.said)) << c.said << "\n" << started.output;
        EXPECT_TRUE(has(started, "the station does not start")) << started.output;
    }
    // Files whose every setting would be ignored.
    write_file(ini, good);
    ProgramResult started = run("velmora-station", {"station.ini", "--start"});
    EXPECT_EQ(started.status, 1);
    EXPECT_TRUE(has(started, ini + ":1: no [VelmoraStation] line, so all 10 settings")) << started.output;
    write_file(ini, "[VelmoraStation]\n" + good + std::string(PROFILE_MAX_BYTES, ';'));
    started = run("velmora-station", {"station.ini", "--start"});
    EXPECT_EQ(started.status, 1);
    EXPECT_TRUE(has(started, ini + ": the settings file is larger than 1024 kB")) << started.output;
}

TEST_F(StationCheck, a_byte_order_mark_is_read_and_values_replaced_are_named_in_one_line) {
    write_file(script, zero_lines({"1 11025 018 SCRIPT", "1 a.VMA \"\" a"}));
    write_file(ini, "\xEF\xBB\xBF[VelmoraStation]\nSamplingRate=-5\nTransferRate=abc\n" + good);
    ChildProcess station;
    // Live from a tone: the script's song does not exist, and a script station would end on that.
    ASSERT_TRUE(
        station.start({program_path("velmora-station"), "station.ini", "--capture", "tone:440"},
                      dir.file("out.txt"), dir.path(), env()));
    std::string output;
    for (int i = 0; i < 400 && output.find("station port") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        output = read_file(dir.file("out.txt"));
    }
    station.signal(SIGTERM);
    EXPECT_EQ(station.wait(10000), 0);
    output = read_file(dir.file("out.txt"));
    EXPECT_NE(output.find("station port 34791"), std::string::npos) << output;
    // The fixture's own SamplingRate and TransferRate lines come later and are named as ignored.
    EXPECT_NE(output.find("Settings not used as written: " + ini + ":4: SamplingRate is set again and ignored: "
                          "line 2 sets it; "),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("; " + ini + ":2: SamplingRate=-5 is out of range: 11025 is "
                          "used; " + ini + ":3: TransferRate=abc is no number: 2000 is used\n"),
              std::string::npos)
        << output;
}

TEST_F(StationCheck, check_passes_a_prepared_station_and_lists_every_problem_with_its_file_and_line) {
    write_file(ini, "[VelmoraStation]\n" + good);
    write_file(dir.file("a.wav"), wav(11025, 1, 8, tone(11025, 1, 8, 0.5, 300.0)));
    write_file(dir.file("b.wav"), wav(11025, 1, 8, tone(11025, 1, 8, 0.5, 900.0)));
    write_file(dir.file("cover.bmp"), bmp_bytes(64, 32));
    ProgramResult made = run("velmora-script", {"new", "show.VSK", "a.wav", "b.wav", "--picture", "cover.bmp",
                                                "--settings", "station.ini"});
    ASSERT_EQ(made.status, 0) << made.output;
    made = run("velmora-compress", {"show.VSK", "--settings", "station.ini"});
    ASSERT_EQ(made.status, 0) << made.output;

    ProgramResult checked = run("velmora-station", {"--check", "station.ini"});
    EXPECT_EQ(checked.status, 0) << checked.output;
    EXPECT_TRUE(has(checked, ini + ": no problems found")) << checked.output;

    // Root checking a file only root reads (chmod 600, as a password once
    // made people do): a service's own user could not read it.
    if (geteuid() == 0) {
        ASSERT_EQ(chmod(ini.c_str(), 0640), 0);
        checked = run("velmora-station", {"--check", "station.ini"});
        EXPECT_EQ(checked.status, 1) << checked.output;
        EXPECT_TRUE(has(checked, ini + ": warning: other users cannot read the settings file: a "
                                       "service (velmora-station@NAME) runs as a user of its own"))
            << checked.output;
        ASSERT_EQ(chmod(ini.c_str(), 0644), 0);
    }

    // A song changed after it was prepared, a picture gone, three settings wrong.
    timespec later[2] = {{0, UTIME_OMIT}, {time(nullptr) + 100, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, dir.file("b.wav").c_str(), later, 0), 0);
    std::filesystem::remove(dir.file("cover.bmp"));
    write_file(ini,
               "[VelmoraStation]\nIP_ADDR=300.1.2.3\nSTATION_PORT=0\nWEB_LISTEN=80800\n" + good);
    checked = run("velmora-station", {"--check", "station.ini"});
    EXPECT_EQ(checked.status, 1) << checked.output;
    for (const std::string& line : {
             ini + ":2: error: IP_ADDR=300.1.2.3 is not a dotted IPv4 address",
             ini + ":3: error: STATION_PORT=0 is not a port (1 to 65535)",
             script + ":2: error: " + dir.file("cover.bmp") + ": ",
             script + ":3: error: " + dir.file("b.VMA") + " is older than " + dir.file("b.wav"),
             script + ":3: error: " + dir.file("cover.bmp") + ": ",
             ini + ":4: error: WEB_LISTEN must be PORT or ADDR:PORT (a dotted address, a port 1 to "
                   "65535), not \"80800\": the station does not start",
             ini + ":10: warning: IP_ADDR is set again and ignored: line 2 sets it",
             ini + ": 6 errors, 2 warnings",
         })
        EXPECT_TRUE(has(checked, line)) << line << "\n" << checked.output;
}

// Lines a reader takes otherwise than they stand are each named with their
// line, every Icecast key's problem is told, and a mount that climbs to
// another page of the server is refused.
TEST_F(StationCheck, check_names_nul_bytes_repeated_keys_every_icecast_problem_and_unsafe_mounts) {
    const std::string missing = dir.file("a") + std::string(1, '\0') + "b.VSK";
    write_file(ini, "[VelmoraStation]\nStationScript=" + missing + "\nMODE=1\nmode=0\n"
                    "ICECAST_URL=http://127.0.0.1:8000/../../admin/metadata\nICECAST_FORMAT=ogg\n"
                    "ICECAST_BITRATE=5000\n[VelmoraStation]\nSamplingRate=8000\n");
    ProgramResult checked = run("velmora-station", {"--check", "station.ini"});
    EXPECT_EQ(checked.status, 1) << checked.output;
    const std::string off = ": the Icecast output stays off";
    for (const std::string& line : {
             ini + ":2: error: the line holds a NUL byte: its value ends there\n",
             ini + ":2: error: the script " + dir.file("a") + "\\x00b.VSK (StationScript) cannot be opened",
             ini + ":4: warning: mode is set again and ignored: line 3 sets it\n",
             ini + ":5: warning: ICECAST_URL's mount point holds a \"..\" step: "
                   "http://127.0.0.1:8000/../../admin/metadata" + off + "\n",
             ini + ":6: warning: ICECAST_FORMAT must be opus or mp3, not ogg" + off + "\n",
             ini + ":7: warning: ICECAST_BITRATE must be 8 to 320 kbit/s",
             ini + ":8: warning: [VelmoraStation] begins again: its keys count only where line 1's section",
             ini + ": 2 errors, 5 warnings\n",
         })
        EXPECT_TRUE(has(checked, line)) << line << "\n" << checked.output;
}

}  // namespace
