// velmora-make-demo as a user meets it, and the --version answer every tool
// shares.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace {

struct DemoToolTest : ::testing::Test {
    TempDir dir;
    std::string output;

    // Runs `program` with `arguments` in the test directory; returns its exit status.
    int run(const std::string& program, const std::string& arguments) {
        const std::string command = "cd '" + dir.path() + "' && '" VELMORA_BIN_DIR "/" + program + "' " +
                                    arguments + " >'" + dir.file("log") + "' 2>&1";
        const int status = std::system(command.c_str());
        output = read_file(dir.file("log"));
        std::filesystem::remove(dir.file("log"));
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    bool empty_folder() const { return std::filesystem::is_empty(dir.path()); }
};

// "velmora-make-demo --help" used to make a folder named "--help".
TEST_F(DemoToolTest, help_and_options_never_make_a_folder) {
    for (const char* option : {"--help", "-h"}) {
        EXPECT_EQ(run("velmora-make-demo", option), 0) << option;
        EXPECT_NE(output.find("usage: velmora-make-demo DIR"), std::string::npos) << output;
        EXPECT_TRUE(empty_folder()) << option;
    }
    EXPECT_EQ(run("velmora-make-demo", "--bogus"), 2);
    EXPECT_NE(output.find("unknown option --bogus"), std::string::npos) << output;
    EXPECT_TRUE(empty_folder());
}

TEST_F(DemoToolTest, the_material_is_made_and_a_missing_parent_is_named) {
    ASSERT_EQ(run("velmora-make-demo", "demo"), 0) << output;
    for (const char* name : {"morning.wav", "evening.wav", "sunrise.bmp", "waves.bmp", "demo.VSK", "demo.ini"})
        EXPECT_TRUE(std::filesystem::is_regular_file(dir.file(std::string("demo/") + name))) << name;
    EXPECT_EQ(run("velmora-make-demo", "no/such"), 1);
    EXPECT_NE(output.find("velmora-make-demo: cannot make the folder no/such: No such file or directory"),
              std::string::npos)
        << output;
}

TEST_F(DemoToolTest, every_tool_tells_version_2_18_and_the_same_build) {
    std::string build;
    for (const char* program : {"velmora-make-demo", "velmora-compress", "velmora-codec"}) {
        ASSERT_EQ(run(program, "--version"), 0) << program;
        const std::string prefix = std::string(program) + " 2.18 (build ";
        ASSERT_EQ(output.rfind(prefix, 0), 0u) << output;
        const std::string id = output.substr(prefix.size(), output.find(')') - prefix.size());
        EXPECT_FALSE(id.empty()) << output;
        if (build.empty()) build = id;
        EXPECT_EQ(id, build) << program;
    }
}

}  // namespace
