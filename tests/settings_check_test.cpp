#include "app/settings_check.h"

#include <gtest/gtest.h>

#include "app/context.h"
#include "app/program.h"
#include "app/controller.h"
#include "app/settings.h"
#include "app/settings_dialogs.h"
#include "platform/profile.h"
#include "support/fake_host.h"
#include "support/settings_fixture.h"

namespace {

struct SettingsCheckTest : SettingsFixture<FakeHost> {
    const std::string ini = ctx->state.settings_file;

    // The problems of loading a settings file of these bytes, each as "LINE: TEXT".
    std::vector<std::string> load_problems(const std::string& bytes, bool* any_error = nullptr) {
        write_file(ini, bytes);
        SettingsReport report;
        check_settings_file(ini, report);
        load_settings(*ctx, false, &report);
        if (any_error) *any_error = report.errors() > 0;
        std::vector<std::string> texts;
        for (const SettingsProblem& p : report.problems) {
            EXPECT_EQ(p.file, ini);
            texts.push_back(std::to_string(p.line) + (p.error ? " error: " : " warning: ") + p.text);
        }
        return texts;
    }
    std::vector<std::string> network_errors() {
        SettingsReport report;
        check_network_settings(*ctx, report);
        std::vector<std::string> texts;
        for (const SettingsProblem& p : report.problems) texts.push_back((p.error ? "error: " : "warning: ") + p.text);
        return texts;
    }
};

TEST(AddressRuleTest, only_dotted_addresses_that_name_one_host_are_taken) {
    struct Case {
        const char* text;
        const char* problem;
    } cases[] = {
        {"192.168.1.10", ""},
        {"127.0.0.1", ""},
        {"239.1.2.3", ""},
        {"300.1.2.3", "is not a dotted IPv4 address"},
        {"1.2.3", "is not a dotted IPv4 address"},
        {"localhost", "is not a dotted IPv4 address"},
        {"", "is not a dotted IPv4 address"},
        {"0.0.0.0", "names no host"},
        {"255.255.255.255", "is the broadcast address"},
    };
    for (const Case& c : cases) EXPECT_EQ(address_problem(c.text), c.problem) << c.text;
}

TEST(AddressRuleTest, a_repeater_is_an_address_or_a_host_name_with_an_optional_port) {
    struct Case {
        const char* text;
        bool usable;
    } cases[] = {
        {"", true},           {" 300.1.2.3", true},  // a leading blank switches the repeater off
        {"127.0.0.5", true},  {"127.0.0.5:3454", true},
        {"localhost:4000", true}, {"relay-1.example.org", true},
        {"300.1.2.3", false}, {"0.0.0.0:3454", false},
        {"127.0.0.5:0", false}, {"127.0.0.5:70000", false},
        {"127.0.0.5:", false}, {"127.0.0.5:12x", false},
        {":3454", false},     {"my relay", false},
    };
    for (const Case& c : cases) EXPECT_EQ(repeater_problem(c.text).empty(), c.usable) << c.text;
}

TEST_F(SettingsCheckTest, every_value_not_used_as_written_is_named_with_its_line) {
    bool any_error = false;
    EXPECT_EQ(load_problems("[VelmoraStation]\nSamplingRate=-5\nTransferRate=abc\nMAX_CLIENT=9000\nMode=7\n"
                            "BANDWIDTH=14400\nHTTP_TIMEOUT=0\nDIRURLPORT=70000\nINTRANET=yes\n"
                            "StationName=" + std::string(130, 'n') + "\n",
                            &any_error),
              (std::vector<std::string>{
                  "2 warning: SamplingRate=-5 is out of range: 11025 is used",
                  "4 warning: MAX_CLIENT=9000 is out of range: 8192 is used",
                  "6 warning: BANDWIDTH=14400 is out of range: 28800 is used",
                  "9 warning: INTRANET=yes is no number: 0 is used",
                  "3 warning: TransferRate=abc is no number: 2000 is used",
                  "5 warning: Mode=7 is out of range: 1 is used",
                  "10 warning: StationName is longer than 127 characters and is cut",
                  "8 warning: DIRURLPORT=70000 is out of range: 80 is used",
                  "7 warning: HTTP_TIMEOUT=0 is out of range: 1 is used",
              }));
    EXPECT_FALSE(any_error);
    EXPECT_EQ(ctx->state.SamplingRate, 11025);  // loaded as before, only now said
    EXPECT_EQ(ctx->state.StationName, std::string(127, 'n'));

    // Values as written, and absent keys, say nothing.
    EXPECT_TRUE(load_problems("[VelmoraStation]\nSamplingRate=22050\nTransferRate=2646\nMode=0\nBANDWIDTH=64000\n"
                              "STATION_PORT=4000\nMASTER_IP=127.0.0.9\nSPECIFIC_IP=1\nIP_ADDR=127.0.0.2\n")
                    .empty());
    EXPECT_TRUE(load_problems("").empty());
}

TEST_F(SettingsCheckTest, a_station_port_that_is_no_port_and_a_bandwidth_of_none_are_refused) {
    for (const char* port : {"70000", "0", "-1", "abc"}) {
        bool any_error = false;
        EXPECT_EQ(load_problems(std::string("[VelmoraStation]\nSTATION_PORT=") + port + "\n", &any_error),
                  std::vector<std::string>{std::string("2 error: STATION_PORT=") + port + " is not a port (1 to 65535)"});
        EXPECT_TRUE(any_error) << port;
        EXPECT_EQ(ctx->state.STATION_PORT, STATION_PORT_DEFAULT);
    }
    for (const char* bandwidth : {"0", "-1", "none"}) {
        EXPECT_EQ(load_problems(std::string("[VelmoraStation]\nMode=0\nBANDWIDTH=") + bandwidth + "\n"),
                  std::vector<std::string>{std::string("3 error: BANDWIDTH=") + bandwidth +
                                           " is no bandwidth: give the station's outgoing bits per second (28800 or more)"});
    }
}

TEST_F(SettingsCheckTest, a_file_whose_settings_would_be_ignored_is_an_error_naming_it) {
    struct Case {
        std::string bytes;
        std::vector<std::string> problems;
    } cases[] = {
        {"SamplingRate=22050\nMode=0\n",
         {"1 error: no [VelmoraStation] line, so all 2 settings of this file would be ignored"}},
        {"; comment\n[Velmora]\nMode=0\n",
         {"0 error: no [VelmoraStation] line, so the one setting of this file would be ignored"}},
        {"Mode=0\n[VelmoraStation]\nSamplingRate=22050\n",
         {"1 warning: a setting before the [VelmoraStation] line is ignored"}},
        {std::string(PROFILE_MAX_BYTES + 1, '#'),
         {"0 error: the settings file is larger than 1024 kB, so it is not read"}},
        {"", {}},
        {"; only comments\n", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(load_problems(c.bytes), c.problems) << c.bytes.substr(0, 40);
    SettingsReport none;
    check_settings_file(dir.file("missing.ini"), none);  // the defaults apply
    EXPECT_TRUE(none.problems.empty());
}

TEST_F(SettingsCheckTest, a_byte_order_mark_does_not_hide_the_section) {
    EXPECT_TRUE(load_problems("\xEF\xBB\xBF[VelmoraStation]\r\nSamplingRate=22050\r\nSTATION_PORT=4000\r\n").empty());
    EXPECT_EQ(ctx->state.SamplingRate, 22050);
    EXPECT_EQ(ctx->state.STATION_PORT, 4000);
}

TEST_F(SettingsCheckTest, addresses_in_use_must_name_one_host) {
    EXPECT_TRUE(network_errors().empty());  // the defaults
    StationState& s = ctx->state;
    s.IP_ADDR = "300.1.2.3";
    s.MBONEIP = "0.0.0.0";
    EXPECT_TRUE(network_errors().empty());  // neither in use
    s.SPECIFIC_IP = 1;
    s.MBONE = 1;
    s.RepeaterIP = "127.0.0.5:70000";
    s.MASTER_IP = "255.255.255.255";
    EXPECT_EQ(network_errors(),
              (std::vector<std::string>{
                  "error: IP_ADDR=300.1.2.3 is not a dotted IPv4 address (SPECIFIC_IP=1 binds the station to it)",
                  "error: MBONEIP=0.0.0.0 names no host (MBONE=1 sends a copy of everything to it)",
                  "error: RepeaterIP=127.0.0.5:70000 has no port of 1 to 65535 after the colon (the repeater "
                  "is sent everything)",
                  "error: MASTER_IP=255.255.255.255 is the broadcast address (the master station is told of "
                  "each start and stop)",
              }));
}

TEST_F(SettingsCheckTest, a_bandwidth_too_small_for_one_listener_is_a_warning) {
    ctx->state.BANDWIDTH = 28800;
    ctx->state.TransferRate = 3601;
    EXPECT_EQ(network_errors(), std::vector<std::string>{
                                    "warning: BANDWIDTH=28800 bits per second cannot carry one listener at "
                                    "TransferRate=3601 bytes per second (28808 bits per second): every "
                                    "listener would be refused \"Busy\""});
    ctx->state.TransferRate = 3600;
    EXPECT_TRUE(network_errors().empty());
}

TEST_F(SettingsCheckTest, start_refuses_an_address_it_cannot_use_and_opens_nothing) {
    ctx->state.SPECIFIC_IP = 1;
    ctx->state.IP_ADDR = "300.1.2.3";
    ctx->live_ring.feed_mode = FeedMode::live_priming;
    write_file(ini, "[VelmoraStation]\nSPECIFIC_IP=1\nIP_ADDR=300.1.2.3\n");
    start_broadcast(*ctx, true);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, "Cannot start broadcasting: " + ini +
                                         ":3: IP_ADDR=300.1.2.3 is not a dotted IPv4 address (SPECIFIC_IP=1 "
                                         "binds the station to it)");
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::idle);
    EXPECT_LT(ctx->station.socket.fd(), 0);
    EXPECT_TRUE(host.read_notifications.empty());
}

TEST_F(SettingsCheckTest, a_named_script_must_be_there_and_a_start_without_anyone_needs_one) {
    SettingsReport report;
    check_station_script(*ctx, report, false);  // the window asks for one at Start
    EXPECT_TRUE(report.problems.empty());
    check_station_script(*ctx, report, true);
    ASSERT_EQ(report.problems.size(), 1u);
    EXPECT_EQ(report.problems[0].text, "no script to play: StationScript names none (or set Mode=1 for a live feed)");

    write_file(ini, "[VelmoraStation]\nMode=0\nStationScript=" + dir.file("gone.VSK") + "\n");
    load_settings(*ctx, false);
    SettingsReport missing;
    check_station_script(*ctx, missing, false);
    ASSERT_EQ(missing.problems.size(), 1u);
    EXPECT_EQ(problem_text(missing.problems[0]), ini + ":3: the script " + dir.file("gone.VSK") +
                                                     " (StationScript) cannot be opened: No such file or directory");
}

// A page address that is none: the headless station (and --check) refuse
// it; the window warns and goes on the air without the page, so it is no
// address a Start refuses.
TEST_F(SettingsCheckTest, a_web_page_address_that_is_none_stops_only_a_station_without_an_operator) {
    write_file(ini, "[VelmoraStation]\nWEB_LISTEN=web:80\n");
    load_settings(*ctx, false);
    EXPECT_TRUE(network_errors().empty());
    const std::string said = ini + ":2: WEB_LISTEN must be PORT or ADDR:PORT (a dotted address, a "
                                   "port 1 to 65535), not \"web:80\"";
    SettingsReport window, headless;
    check_web_listen(*ctx, window, false);
    check_web_listen(*ctx, headless, true);
    ASSERT_EQ(window.problems.size(), 1u);
    EXPECT_FALSE(window.problems[0].error);
    EXPECT_EQ(problem_text(window.problems[0]), said + ": the web page stays off");
    ASSERT_EQ(headless.problems.size(), 1u);
    EXPECT_TRUE(headless.problems[0].error);
    EXPECT_EQ(problem_text(headless.problems[0]), said + ": the station does not start");
    for (const char* good : {"", "8080", "127.0.0.1:8080"}) {
        ctx->state.WEB_LISTEN = good;
        SettingsReport none;
        check_web_listen(*ctx, none, true);
        EXPECT_TRUE(none.problems.empty()) << good;
    }
}

TEST_F(SettingsCheckTest, startup_tells_each_error_and_the_warnings_in_one_line) {
    write_file(ini, "[VelmoraStation]\nSamplingRate=-5\nTransferRate=abc\nSTATION_PORT=70000\n");
    SettingsReport report;
    ASSERT_EQ(controller_startup(*ctx, ini.c_str(), false, nullptr, &report), 1);
    tell_settings_problems(*ctx, report);
    ASSERT_EQ(host.messages.size(), 2u);
    EXPECT_EQ(host.messages[0].text, ini + ":4: STATION_PORT=70000 is not a port (1 to 65535)");
    EXPECT_EQ(host.messages[0].style, Buttons::ok | Icon::error);
    EXPECT_EQ(host.messages[1].text, "Settings not used as written: " + ini +
                                         ":2: SamplingRate=-5 is out of range: 11025 is used; " + ini +
                                         ":3: TransferRate=abc is no number: 2000 is used");
    EXPECT_EQ(host.messages[1].style, Buttons::ok | Icon::warning);
}

TEST(ExpertAddressNoteTest, a_stored_address_the_station_cannot_bind_is_named_on_opening) {
    struct Case {
        int specific_ip;
        const char* stored;
        bool noted;
    } cases[] = {
        {1, "300.1.2.3", true}, {1, "0.0.0.0", true}, {0, "abc", true},
        {0, "0.0.0.0", false},  // nothing chosen yet
        {1, "192.168.1.10", false},
    };
    for (const Case& c : cases) {
        StationState s;
        s.SPECIFIC_IP = c.specific_ip;
        s.IP_ADDR = c.stored;
        const std::string note = expert_view(s, {"192.168.1.10"}).address_note;
        EXPECT_EQ(!note.empty(), c.noted) << c.stored;
        if (c.noted) {
            EXPECT_NE(note.find(std::string("IP_ADDR=") + c.stored), std::string::npos) << note;
        }
    }
}

}  // namespace
