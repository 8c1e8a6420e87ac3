#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "platform/autostart.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/shell_open.h"
#include "platform/single_instance.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace {

struct PlatformTest : ::testing::Test {
    TempDir dir;
    ScopedEnv config{"XDG_CONFIG_HOME", dir.file("config")};
    ScopedEnv runtime{"XDG_RUNTIME_DIR", dir.path()};
};

TEST_F(PlatformTest, shell_open_reports_missing_files_and_paths) {
    ScopedEnv opener{"VELMORA_OPENER", "true"};
    EXPECT_EQ(shell_open_file("open", dir.file("absent.log").c_str(), nullptr, nullptr),
              OpenResult::file_not_found);
    EXPECT_EQ(shell_open_file("open", dir.file("absent/x.log").c_str(), nullptr, nullptr),
              OpenResult::path_not_found);
    EXPECT_EQ(shell_open_file("open", "x.log", nullptr, dir.path().c_str()),
              OpenResult::file_not_found);
    EXPECT_EQ(shell_open_file("open", "", nullptr, nullptr), OpenResult::no_handler);
}

TEST_F(PlatformTest, shell_open_succeeds_only_when_the_opener_starts) {
    write_file(dir.file("vmb_mon.log"), "line\n");
    {
        ScopedEnv opener{"VELMORA_OPENER", "true"};
        EXPECT_EQ(shell_open_file("open", dir.file("vmb_mon.log").c_str(), nullptr, nullptr),
                  OpenResult::started);
        EXPECT_EQ(shell_open_file("open", "vmb_mon.log", nullptr, dir.path().c_str()),
                  OpenResult::started);
        EXPECT_EQ(shell_open_file("open", "http://127.0.0.1/help.html", nullptr, nullptr),
                  OpenResult::started);
        EXPECT_EQ(shell_open_file("print", dir.file("vmb_mon.log").c_str(), nullptr, nullptr),
                  OpenResult::no_handler);
    }
    {
        // The file is there, but the working directory the opener should run in is not.
        ScopedEnv opener{"VELMORA_OPENER", "true"};
        EXPECT_EQ(shell_open_file("open", dir.file("vmb_mon.log").c_str(), nullptr,
                                  dir.file("gone").c_str()),
                  OpenResult::path_not_found);
    }
    ScopedEnv opener{"VELMORA_OPENER", dir.file("no-such-opener")};
    EXPECT_EQ(shell_open_file("open", dir.file("vmb_mon.log").c_str(), nullptr, nullptr),
              OpenResult::no_handler);
}

TEST_F(PlatformTest, one_station_per_settings_file) {
    InstanceLock first, second, other;
    EXPECT_EQ(acquire_instance_lock(first, "/etc/velmora/lumo.ini"), 1);
    EXPECT_EQ(first.path.rfind(dir.path() + "/velmora-lumo.ini-", 0), 0u) << first.path;
    EXPECT_EQ(acquire_instance_lock(second, "/etc/velmora/lumo.ini"), 0);
    EXPECT_EQ(acquire_instance_lock(other, "/srv/velmora/lumo.ini"), 1);
    EXPECT_NE(first.path, other.path);
    release_instance_lock(first);
    EXPECT_FALSE(std::filesystem::exists(first.path)) << "a clean end leaves no lock file";
    EXPECT_EQ(acquire_instance_lock(second, "/etc/velmora/lumo.ini"), 1);
    EXPECT_TRUE(std::filesystem::exists(second.path));
    release_instance_lock(second);
    release_instance_lock(other);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(PlatformTest, an_unusable_lock_directory_is_reported_as_such) {
    ScopedEnv runtime_missing{"XDG_RUNTIME_DIR", dir.file("gone")};
    InstanceLock lock;
    EXPECT_EQ(acquire_instance_lock(lock, "lumo.ini"), -1);
    EXPECT_EQ(lock.fd, -1);
}

TEST_F(PlatformTest, autostart_entry_is_created_quoted_and_removed) {
    EXPECT_FALSE(autostart_entry_exists());
    ASSERT_EQ(create_autostart_entry("/opt/my radio/bin/velmora-$station 100%"), 1);
    std::string path = dir.file("config/autostart/Radio Velmora Broadcaster (Auto).desktop");
    EXPECT_EQ(autostart_entry_path(), path);
    EXPECT_TRUE(autostart_entry_exists());
    std::string text = read_file(path);
    EXPECT_NE(text.find("[Desktop Entry]\n"), std::string::npos);
    EXPECT_NE(text.find("Name=Radio Velmora Broadcaster (Auto)\n"), std::string::npos);
    EXPECT_NE(text.find("Exec=\"/opt/my radio/bin/velmora-\\\\$station 100%%\"\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(create_autostart_entry("bad\nname"), 0);
    EXPECT_EQ(remove_autostart_entry(), 1);
    EXPECT_FALSE(autostart_entry_exists());
    EXPECT_EQ(remove_autostart_entry(), 1);
}

TEST_F(PlatformTest, registry_values_live_under_their_key_path) {
    const char* key = "Software\\Velmora software\\Velmora Media Player\\Settings";
    char out[8] = "junk";
    EXPECT_EQ(registry_read_string(key, "ProxyServer", out, sizeof out), -1);
    EXPECT_STREQ(out, "");
    ASSERT_EQ(registry_write_string(key, "ProxyServer", "127.0.0.1"), 1);
    ASSERT_EQ(registry_write_string(key, "ProxyUser", ""), 1);
    ASSERT_EQ(registry_write_int(key, "ProxyPort", 8080), 1);
    EXPECT_EQ(registry_file_path(), dir.file("config/velmora/registry.ini"));

    char value[64];
    EXPECT_EQ(registry_read_string(key, "proxyserver", value, sizeof value), 0);
    EXPECT_STREQ(value, "127.0.0.1");
    EXPECT_EQ(registry_read_string(key, "ProxyUser", value, sizeof value), 0);  // present, empty
    EXPECT_STREQ(value, "");
    EXPECT_EQ(registry_read_string(key, "ProxyServer", out, sizeof out), 0);
    EXPECT_STREQ(out, "127.0.0");  // cut to the buffer
    EXPECT_EQ(registry_read_string(key, "ProxyPort", value, sizeof value), 0);
    EXPECT_STREQ(value, "8080");
    EXPECT_EQ(registry_read_string(key, "Missing", value, sizeof value), -1);
    EXPECT_EQ(registry_read_string("Software\\Other", "ProxyServer", value, sizeof value), -1);
    EXPECT_EQ(registry_write_string("", "ProxyServer", "x"), 0);
}

TEST_F(PlatformTest, program_directory_follows_velmora_home) {
    {
        ScopedEnv home{"VELMORA_HOME", dir.file("station")};
        EXPECT_EQ(program_dir(), dir.file("station"));
    }
    ScopedEnv home{"VELMORA_HOME", ""};
    EXPECT_EQ(program_dir(), executable_dir());
    EXPECT_TRUE(std::filesystem::exists(executable_dir() + "/platform_test"));
}

TEST_F(PlatformTest, an_installed_program_keeps_its_files_in_the_user_state_folder) {
    ScopedEnv home{"HOME", dir.file("home")};
    const std::string build_bin = executable_dir();  // build/release/tests: inside the build folder
    struct Case {
        const char* xdg_state_home;
        std::string exe_dir;
        std::string expected;
    } cases[] = {
        {"", build_bin, build_bin},
        {"", build_bin + "/sub", build_bin + "/sub"},
        {"", "/usr/bin", dir.file("home") + "/.local/state/velmora"},
        {"relative/state", "/usr/local/bin", dir.file("home") + "/.local/state/velmora"},
        {"/srv/state", "/usr/bin", "/srv/state/velmora"},
        // A folder whose name merely starts like the build folder is not inside it.
        {"/srv/state", directory_of(build_bin) + "-copy", "/srv/state/velmora"},
    };
    for (const Case& c : cases) {
        ScopedEnv state{"XDG_STATE_HOME", c.xdg_state_home};
        EXPECT_EQ(program_dir_for(c.exe_dir), c.expected) << c.exe_dir << " " << c.xdg_state_home;
    }
}

TEST_F(PlatformTest, config_root_ignores_a_relative_xdg_value) {
    ScopedEnv relative{"XDG_CONFIG_HOME", "relative/dir"};
    ScopedEnv home{"HOME", dir.file("user")};
    EXPECT_EQ(user_config_dir(), dir.file("user/.config/velmora"));
}

TEST_F(PlatformTest, make_directories_builds_every_missing_parent) {
    EXPECT_EQ(make_directories(dir.file("a/b/c")), 1);
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("a/b/c")));
    write_file(dir.file("file"), "");
    EXPECT_EQ(make_directories(dir.file("file/sub")), 0);
    EXPECT_EQ(make_directories(dir.file("file")), 0);
}

TEST_F(PlatformTest, millisecond_clock_moves_forward_with_real_time) {
    uint32_t before = monotonic_ms();
    usleep(20'000);
    uint32_t elapsed = monotonic_ms() - before;
    EXPECT_GE(elapsed, 20u);
    EXPECT_LT(elapsed, 60'000u);
}

}  // namespace
