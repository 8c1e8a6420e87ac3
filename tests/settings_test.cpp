#include "app/settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

#include "app/context.h"
#include "app/program.h"
#include "codec/set_rate.h"
#include "codec/stream_rate.h"
#include "platform/profile.h"
#include "support/fake_host.h"
#include "support/settings_fixture.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace {

struct SettingsTest : SettingsFixture<FakeHost> {
    // Loads a settings file whose section holds `lines`.
    StationState& load(const std::string& lines, bool no_sound_card = false) {
        write_file(ctx->state.settings_file, "[VelmoraStation]\n" + lines);
        EXPECT_EQ(load_settings(*ctx, no_sound_card), 1);
        return ctx->state;
    }
};

TEST_F(SettingsTest, a_missing_file_loads_every_default) {
    StationState& s = load("");
    EXPECT_EQ(s.SamplingRate, 16000);
    EXPECT_EQ(s.device_rate, 22050);
    EXPECT_EQ(s.LOG, 1);
    EXPECT_EQ(s.REPORT, 0);
    EXPECT_EQ(s.MAX_CLIENT, 20);
    EXPECT_EQ(s.BANDWIDTH, 28800);
    EXPECT_EQ(s.IP_ADDR, "0.0.0.0");
    EXPECT_EQ(s.MBONEIP, "0.0.0.0");
    EXPECT_EQ(s.ImageQuality, 2);
    EXPECT_EQ(s.Stream2X, 1);
    EXPECT_EQ(s.TransferRate, 2000);  // the stored default 32 is below the floor
    EXPECT_EQ(ctx->codec.rate_percent, 12);
    EXPECT_EQ(s.MODE, 1);
    EXPECT_FALSE(ctx->controller.no_sound_card);
    EXPECT_EQ(s.NetNoConnect, 1);
    EXPECT_EQ(s.AlwaysBindSocket, 0);
    EXPECT_EQ(s.NextSrvID, 1000);
    EXPECT_EQ(s.DIRURL, "127.0.0.1");
    EXPECT_EQ(s.DIRURLPORT, 80);
    EXPECT_EQ(s.STATION_PORT, 3456);
    EXPECT_EQ(s.MASTER_IP, "127.0.0.1");
    EXPECT_EQ(s.StationLocation, "");

    char name[256] = {};
    gethostname(name, sizeof name - 1);
    name[126] = '\0';
    EXPECT_EQ(s.StationName, name);
}

TEST_F(SettingsTest, sampling_rate_outside_the_list_becomes_11025) {
    EXPECT_EQ(load("SamplingRate=12000\n").SamplingRate, 11025);
    EXPECT_EQ(ctx->state.device_rate, 11025);
    EXPECT_EQ(load("SamplingRate=32000\n").SamplingRate, 32000);
    EXPECT_EQ(ctx->state.device_rate, 44100);
    EXPECT_EQ(load("SamplingRate=abc\n").SamplingRate, 11025);
    EXPECT_EQ(load("SamplingRate=22050Hz\n").SamplingRate, 22050);
}

TEST_F(SettingsTest, apply_sampling_rate_derives_the_device_rate) {
    const int cases[][3] = {{8000, 8000, 11025},   {11025, 11025, 11025}, {16000, 16000, 22050},
                            {22050, 22050, 22050}, {32000, 32000, 44100}, {44100, 44100, 44100},
                            {48000, 11025, 11025}, {0, 11025, 11025},     {-8000, 11025, 11025}};
    for (const auto& c : cases) {
        StationState s;
        CodecState codec;
        apply_sampling_rate(s, codec, c[0]);
        EXPECT_EQ(s.SamplingRate, c[1]) << c[0];
        EXPECT_EQ(s.device_rate, c[2]) << c[0];
        EXPECT_EQ(codec.rate_percent, stream_rate_percent(s)) << c[0];
    }
}

TEST_F(SettingsTest, transfer_rate_is_held_between_2000_and_four_times_the_sampling_rate) {
    EXPECT_EQ(load("SamplingRate=16000\n").TransferRate, 2000);
    EXPECT_EQ(load("SamplingRate=8000\nTransferRate=100000\n").TransferRate, 32000);
    EXPECT_EQ(ctx->codec.rate_percent, 90);  // 400 percent asked for
    EXPECT_EQ(load("SamplingRate=22050\nTransferRate=3000xyz\n").TransferRate, 3000);
    EXPECT_EQ(ctx->codec.rate_percent, 13);
    EXPECT_EQ(load("TransferRate=-7\n").TransferRate, 2000);
}

// Listener count, bandwidth and mode are clamped; ports outside 1 to 65535
// fall back to their defaults.
TEST_F(SettingsTest, numbers_are_clamped_or_fall_back_to_their_defaults) {
    struct Case {
        const char* line;
        int StationState::*key;
        int loaded;
    } cases[] = {
        {"MAX_CLIENT=-5", &StationState::MAX_CLIENT, 0},
        {"MAX_CLIENT=9000", &StationState::MAX_CLIENT, 8192},
        {"MAX_CLIENT=lots", &StationState::MAX_CLIENT, 0},
        {"BANDWIDTH=14400", &StationState::BANDWIDTH, 28800},
        {"BANDWIDTH=", &StationState::BANDWIDTH, 28800},
        {"BANDWIDTH=64000", &StationState::BANDWIDTH, 64000},
        {"MODE=7", &StationState::MODE, 1},
        {"Mode=-3", &StationState::MODE, 0},
        {"Mode=0", &StationState::MODE, 0},
        {"STATION_PORT=70000", &StationState::STATION_PORT, 3456},
        {"STATION_PORT=0", &StationState::STATION_PORT, 3456},
        {"STATION_PORT=-1", &StationState::STATION_PORT, 3456},
        {"DIRURLPORT=70000", &StationState::DIRURLPORT, 80},
        {"DIRURLPORT=65535", &StationState::DIRURLPORT, 65535},
    };
    for (const Case& c : cases) EXPECT_EQ(load(std::string(c.line) + "\n").*c.key, c.loaded) << c.line;
}

TEST_F(SettingsTest, without_a_sound_card_the_feed_is_always_the_script) {
    StationState& s = load("Mode=1\n", true);
    EXPECT_EQ(s.MODE, 0);
    EXPECT_TRUE(ctx->controller.no_sound_card);
    EXPECT_EQ(load("Mode=7\n", true).MODE, 0);
    load("Mode=1\n", false);
    EXPECT_FALSE(ctx->controller.no_sound_card);
}

TEST_F(SettingsTest, texts_are_cut_to_their_limits) {
    std::string long_name(300, 'n');
    std::string long_ip(40, '1');
    StationState& s = load("StationName=" + long_name + "\nIP_ADDR=" + long_ip +
                           "\nWWW_DESC=" + std::string(800, 'd') + "\nStationScript=/x/a.vsk\n");
    EXPECT_EQ(s.StationName, std::string(127, 'n'));
    EXPECT_EQ(s.IP_ADDR, std::string(31, '1'));
    EXPECT_EQ(s.WWW_DESC.size(), 749u);
    EXPECT_EQ(s.StationScript, "/x/a.vsk");
}

TEST_F(SettingsTest, later_keys_and_our_own_keys_are_read) {
    StationState& s = load(
        "AlwaysBindSocket=1\nNetNoConnect=0\nAudioSample11025=1\nNextSrvID=77abc\n"
        "DIRURL=dir.example\nDIRURLPORT=8080\nSTATION_PORT=4000\nMASTER_IP=127.0.0.9\n"
        "RepeaterIP=127.0.0.5\nAutoStart=2\nINTRANET=1\nMBONE=1\nMBONEIP=239.1.2.3\n");
    EXPECT_EQ(s.AlwaysBindSocket, 1);
    EXPECT_EQ(s.NetNoConnect, 0);
    EXPECT_EQ(s.AudioSample11025, 1);
    EXPECT_EQ(s.NextSrvID, 77);
    EXPECT_EQ(s.DIRURL, "dir.example");
    EXPECT_EQ(s.DIRURLPORT, 8080);
    EXPECT_EQ(s.STATION_PORT, 4000);
    EXPECT_EQ(s.MASTER_IP, "127.0.0.9");
    EXPECT_EQ(s.RepeaterIP, "127.0.0.5");
    EXPECT_EQ(s.AutoStart, 2);
    EXPECT_EQ(s.INTRANET, 1);
    EXPECT_EQ(s.MBONE, 1);
    EXPECT_EQ(s.MBONEIP, "239.1.2.3");
}

TEST_F(SettingsTest, read_number_setting_gives_the_default_only_for_empty_text) {
    write_file(ctx->state.settings_file,
               "[VelmoraStation]\nA=\nB=-4\nC=x\nD=123456789012345678901234567890\n");
    const char* file = ctx->state.settings_file.c_str();
    EXPECT_EQ(read_number_setting("VelmoraStation", "A", 1000, file), 1000);
    EXPECT_EQ(read_number_setting("VelmoraStation", "Missing", 1000, file), 1000);
    EXPECT_EQ(read_number_setting("VelmoraStation", "B", 1000, file), -4);
    EXPECT_EQ(read_number_setting("VelmoraStation", "C", 1000, file), 0);
    EXPECT_EQ(read_number_setting("VelmoraStation", "D", 1000, file), LONG_MAX);
}

TEST_F(SettingsTest, written_settings_are_read_back_at_the_next_start) {
    write_file(ctx->state.settings_file, "; operator's notes\n[VelmoraStation]\nMODE=1\n");
    ASSERT_EQ(write_setting_int(*ctx, "Mode", 0), 1);
    ASSERT_EQ(write_setting_string(*ctx, "StationLocation", "Harbour Street"), 1);
    ASSERT_EQ(write_setting_int(*ctx, "BANDWIDTH", 56000), 1);
    EXPECT_EQ(read_file(ctx->state.settings_file),
              "; operator's notes\n[VelmoraStation]\nMode=0\nStationLocation=Harbour Street\n"
              "BANDWIDTH=56000\n");
    load_settings(*ctx, false);
    EXPECT_EQ(ctx->state.MODE, 0);
    EXPECT_EQ(ctx->state.StationLocation, "Harbour Street");
    EXPECT_EQ(ctx->state.BANDWIDTH, 56000);
}

TEST_F(SettingsTest, a_settings_file_that_cannot_be_written_gives_one_error_naming_it) {
    SettingsWrite saved;
    ASSERT_EQ(write_setting_int(*ctx, saved, "Mode", 0), 1);
    EXPECT_EQ(finish_settings_write(*ctx, saved), 1);
    EXPECT_TRUE(host.messages.empty());

    // Its folder is a file: no write can succeed, as on a full or read-only disk.
    write_file(dir.file("blocked"), "");
    ctx->state.settings_file = dir.file("blocked/lumo.ini");
    SettingsWrite failed;
    EXPECT_EQ(write_setting_int(*ctx, failed, "Mode", 1), 0);
    EXPECT_EQ(write_setting_string(*ctx, failed, "StationName", "Night"), 0);
    EXPECT_EQ(failed.failures, 2);
    EXPECT_EQ(finish_settings_write(*ctx, failed), 0);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_NE(host.last_message().find(dir.file("blocked/lumo.ini")), std::string::npos);
    EXPECT_NE(host.last_message().find(strerror(ENOTDIR)), std::string::npos) << host.last_message();
    EXPECT_EQ(host.messages[0].style, Buttons::ok | Icon::error);
}

TEST_F(SettingsTest, set_rate_derives_the_percentage_and_returns_the_quotient) {
    CodecState codec;
    EXPECT_EQ(set_rate(codec, 16000, 2000), 12);
    EXPECT_EQ(codec.rate_percent, 12);
    EXPECT_EQ(set_rate(codec, 8000, 16000), 200);
    EXPECT_EQ(codec.rate_percent, 90);
    EXPECT_EQ(set_rate(codec, 8000, 8000), 100);
    EXPECT_EQ(codec.rate_percent, 100);
    EXPECT_EQ(set_rate(codec, 8000, 8080), 101);
    EXPECT_EQ(codec.rate_percent, 90);
    EXPECT_EQ(set_rate(codec, 44100, 2000), 4);
    EXPECT_EQ(codec.rate_percent, 4);
    EXPECT_EQ(set_rate(codec, 0, 2000), 0);  // no division by zero
    EXPECT_EQ(codec.rate_percent, 4);
    EXPECT_EQ(set_rate(codec, 1, INT_MAX), INT_MAX);  // no overflow
    EXPECT_EQ(codec.rate_percent, 90);
}

TEST_F(SettingsTest, paths_follow_velmora_home_and_the_user_config_directory) {
    StationState& s = ctx->state;
    setup_paths(*ctx, "lumo.ini");
    EXPECT_EQ(ctx->program_dir, dir.file("home"));
    EXPECT_EQ(s.user_list_path, dir.file("home/userlist.txt"));
    EXPECT_EQ(s.settings_file, dir.file("config/velmora/lumo.ini"));
    setup_paths(*ctx, "/etc/velmora/night.ini");
    EXPECT_EQ(s.settings_file, "/etc/velmora/night.ini");
}

// find_settings_file from a working folder of the test's own.
struct SettingsFileTest : ::testing::Test {
    TempDir dir;
    ScopedEnv config{"XDG_CONFIG_HOME", dir.file("config")};
    std::filesystem::path old_cwd = std::filesystem::current_path();
    std::string work = std::filesystem::canonical(dir.path()).string() + "/work";
    std::string config_dir = dir.file("config/velmora");

    SettingsFileTest() {
        std::filesystem::create_directories(work);
        std::filesystem::create_directories(config_dir);
        std::filesystem::current_path(work);
    }
    ~SettingsFileTest() override { std::filesystem::current_path(old_cwd); }

    std::string found(const char* name) {
        std::string path, problem;
        EXPECT_EQ(find_settings_file(name, &path, &problem), 1) << problem;
        return path;
    }
    std::string refused(const char* name) {
        std::string path, problem;
        EXPECT_EQ(find_settings_file(name, &path, &problem), 0) << path;
        return problem;
    }
};

TEST_F(SettingsFileTest, a_bare_name_is_looked_for_here_first_then_in_the_configuration_folder) {
    write_file(work + "/a.ini", "[VelmoraStation]\n");
    write_file(config_dir + "/a.ini", "[VelmoraStation]\n");
    write_file(config_dir + "/b.ini", "[VelmoraStation]\n");
    EXPECT_EQ(found("a.ini"), work + "/a.ini");
    EXPECT_EQ(found("b.ini"), std::filesystem::canonical(config_dir + "/b.ini").string());
    EXPECT_EQ(found("./a.ini"), work + "/a.ini");
    EXPECT_EQ(found((work + "/a.ini").c_str()), work + "/a.ini");
    // Every name of one file is the same station.
    std::filesystem::create_symlink(work + "/a.ini", work + "/link.ini");
    EXPECT_EQ(found("link.ini"), work + "/a.ini");
}

TEST_F(SettingsFileTest, a_named_file_that_is_missing_or_no_file_is_an_error_naming_the_paths_tried) {
    EXPECT_EQ(refused("nosuch.ini"), "settings file nosuch.ini not found (tried " + work +
                                         "/nosuch.ini and " + config_dir + "/nosuch.ini)");
    EXPECT_EQ(refused("conf/nosuch.ini"), "settings file conf/nosuch.ini not found (tried conf/nosuch.ini)");
    std::filesystem::create_directories(work + "/folder.ini");
    EXPECT_EQ(refused("folder.ini"), "settings file " + work + "/folder.ini is not a regular file");
}

TEST_F(SettingsFileTest, without_a_name_the_default_file_is_used_even_before_it_exists) {
    EXPECT_EQ(found(""), config_dir + "/lumo.ini");
    EXPECT_EQ(found(nullptr), config_dir + "/lumo.ini");
}

}  // namespace
