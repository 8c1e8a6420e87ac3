// What every program says about itself, and the command-line mistakes that
// must end with a message and a status other than 0.

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "base/version.h"
#include "station_test_support.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

TEST(CommandLine, help_prints_the_usage_and_version_the_release_and_build) {
    for (const std::string program : {"velmora-station", "velmora-listen", "velmora-script", "velmora-load",
                                      "velmora-compress", "velmora-codec", "velmora-make-demo"}) {
        for (const char* help : {"--help", "-h"}) {
            ProgramResult run = run_program({program_path(program), help});
            EXPECT_EQ(run.status, 0) << program << " " << help << "\n" << run.output;
            EXPECT_EQ(run.output.rfind("usage:", 0), 0u) << program << " " << help << "\n" << run.output;
            EXPECT_NE(run.output.find(program), std::string::npos) << run.output;
        }
        ProgramResult run = run_program({program_path(program), "--version"});
        EXPECT_EQ(run.status, 0) << program;
        EXPECT_EQ(run.output, program + " 2.18 (build " + build_id() + ")\n");
    }
    EXPECT_STRNE(build_id(), "");
}

TEST(CommandLine, a_settings_file_that_does_not_exist_is_refused_wherever_one_is_taken) {
    TempDir dir;
    EnvironmentList env = {{"XDG_CONFIG_HOME", dir.file("config")}, {"XDG_RUNTIME_DIR", dir.path()}};
    write_file(dir.file("s.VSK"), std::string("1 11025 032 SCRIPT\0" "1 a.wav\0", 28));
    ProgramResult compress = run_program(
        {program_path("velmora-compress"), "--settings", dir.file("nosuch.ini"), dir.file("s.VSK")}, "",
        env, 10000);
    EXPECT_EQ(compress.status, 1) << compress.output;
    EXPECT_NE(compress.output.find("settings file " + dir.file("nosuch.ini") + " not found"),
              std::string::npos)
        << compress.output;
    EXPECT_EQ(read_file(dir.file("s.VSK")).size(), 28u) << "the script is not touched";
}

TEST(CommandLine, velmora_listen_refuses_bad_seconds_and_gives_up_when_no_station_answers) {
    for (const char* seconds : {"-5", "0", "abc", "2x", "1e9"}) {
        ProgramResult run = run_program(
            {program_path("velmora-listen"), "127.0.0.1", "--seconds", seconds}, "", {}, 10000);
        EXPECT_EQ(run.status, 2) << seconds << "\n" << run.output;
        EXPECT_NE(run.output.find(std::string("--seconds takes a number above 0 and up to 1000000, not ") +
                                  seconds),
                  std::string::npos)
            << run.output;
    }

    // A station address where a socket takes the joins and never answers.
    LoopbackSocket silent(test_ip(64).c_str());
    ProgramResult run = run_program({program_path("velmora-listen"), test_ip(64), "--port",
                                     std::to_string(silent.port()), "--bind", test_ip(65),
                                     "--seconds", "60"},
                                    "", {}, 20000);
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("no station answered at " + test_ip(64) + " port " +
                              std::to_string(silent.port())),
              std::string::npos)
        << run.output;
    EXPECT_FALSE(silent.receive_all(10).empty()) << "the listener did ask";
}

}  // namespace
