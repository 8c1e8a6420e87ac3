// The settings dialogs' decisions without a window: the bit-rate parser,
// what each dialog shows for stored settings, its checks and questions, and
// the keys its OK writes, read back from the settings file and the registry.

#include "app/settings_dialogs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <clocale>
#include <cstdlib>
#include <sstream>

#include "app/context.h"
#include "app/program.h"
#include "app/settings.h"
#include "app/settings_check.h"
#include "codec/set_rate.h"
#include "media/script_file.h"
#include "platform/autostart.h"
#include "platform/registry.h"
#include "support/child_process.h"
#include "support/station_script.h"
#include "support/fake_host.h"
#include "support/settings_fixture.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "web/http_client.h"
#include "web/text_routines.h"

namespace {

struct SettingsDialogs : SettingsFixture<FakeHost> {

    // "KEY=value" lines of the settings file, in file order.
    std::vector<std::string> written() const {
        std::vector<std::string> lines;
        if (access(ctx->state.settings_file.c_str(), F_OK) != 0) return lines;
        std::istringstream in(read_file(ctx->state.settings_file));
        for (std::string line; std::getline(in, line);)
            if (line.find('=') != std::string::npos) lines.push_back(line);
        return lines;
    }
    // Settings writes fail: the settings file lies below a regular file.
    void make_settings_unwritable() {
        write_file(dir.file("plain"), "");
        ctx->state.settings_file = dir.file("plain/lumo.ini");
    }
};

TEST(BitRateText, parses_the_list_typed_rates_and_clamps_huge_ones) {
    for (const ConnectionRate& rate : CONNECTION_RATES) EXPECT_EQ(parse_bit_rate(rate.text), rate.value) << rate.text;
    EXPECT_EQ(parse_bit_rate("1.53M"), 1530000);
    EXPECT_EQ(parse_bit_rate("64k"), 64000);
    EXPECT_EQ(parse_bit_rate("56,000"), 56000);
    EXPECT_EQ(parse_bit_rate(" 1.5 k"), 1500);
    EXPECT_EQ(parse_bit_rate("0.0000019M"), 1);
    EXPECT_EQ(parse_bit_rate("1.2.9M"), 1200000);  // the number ends at a second point
    EXPECT_EQ(parse_bit_rate("12x5M"), 12);         // any other character ends it
    EXPECT_EQ(parse_bit_rate(""), 0);
    EXPECT_EQ(parse_bit_rate("-5k"), 0);
    EXPECT_EQ(parse_bit_rate("99999M"), INT_MAX);
    EXPECT_EQ(parse_bit_rate("99999999999999999999999999"), INT_MAX);
    EXPECT_EQ(parse_bit_rate("2147.483648M"), INT_MAX);
    EXPECT_EQ(parse_bit_rate("2147.4836469M"), 2147483646);
    EXPECT_EQ(parse_bit_rate("2.5559k"), 2555);
}

// A locale whose decimal mark is a comma; compiled into `dir` when the
// system has none installed. Empty when none can be had.
std::string comma_locale(const TempDir& dir) {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8"})
        if (setlocale(LC_NUMERIC, name)) return name;
    ProgramResult made = run_program({"/usr/bin/localedef", "-i", "de_DE", "-f", "UTF-8",
                                      dir.file("de_DE.UTF-8")}, "", {}, 60000);
    setenv("LOCPATH", dir.path().c_str(), 1);
    return setlocale(LC_NUMERIC, "de_DE.UTF-8") ? "de_DE.UTF-8" : "";
}

TEST(BitRateText, reads_a_point_as_the_decimal_mark_under_a_comma_locale) {
    TempDir dir;
    struct BackToC {
        ~BackToC() {
            setlocale(LC_NUMERIC, "C");
            unsetenv("LOCPATH");
        }
    } back_to_c;
    std::string locale = comma_locale(dir);
    if (locale.empty()) GTEST_SKIP() << "no locale with a decimal comma can be made here";
    ASSERT_NE(strtod("1.53", nullptr), 1.53) << locale;  // the locale is in force
    EXPECT_EQ(parse_bit_rate("1.53M (T1)"), 1530000);
    EXPECT_EQ(parse_bit_rate("44.53M"), 44530000);
}

TEST_F(SettingsDialogs, options_show_the_stored_rate_mode_and_audio_type) {
    StationState& s = ctx->state;
    s.BANDWIDTH = 128000;
    s.SamplingRate = 16000;
    s.MODE = 1;
    OptionsView view = options_view(s, ctx->controller.no_sound_card);
    EXPECT_EQ(view.rate_index, 2);
    EXPECT_EQ(view.audio_type, 1);  // 16000 and 22050 are music
    EXPECT_EQ(view.mode, 1);
    EXPECT_TRUE(view.live_enabled);

    s.BANDWIDTH = 100000;
    s.SamplingRate = 8000;
    ctx->controller.no_sound_card = true;  // live is greyed and the dialog opens in script mode
    view = options_view(s, ctx->controller.no_sound_card);
    EXPECT_EQ(view.rate_index, -1);
    EXPECT_EQ(view.bandwidth_text, "100000");
    EXPECT_EQ(view.audio_type, 0);
    EXPECT_FALSE(view.live_enabled);
    EXPECT_EQ(view.mode, 0);
    EXPECT_EQ(s.MODE, 0);
}

TEST_F(SettingsDialogs, options_ok_writes_its_keys_in_order_and_keeps_intranet_and_picture_quality) {
    StationState& s = ctx->state;
    s.INTRANET = 1;
    s.ImageQuality = 3;
    s.MBONE = 1;
    s.MBONEIP = "239.1.2.3";
    s.TransferRate = 2205;  // a loaded script's: the file keeps its own (none: 2000)
    s.SamplingRate = 8000;
    ASSERT_EQ(options_ok(*ctx, {1, 1, "20000", "/radio/show.VSK"}), 1);
    ASSERT_EQ(host.messages.size(), 1u);  // intranet mode is confirmed while it is on
    EXPECT_NE(host.messages[0].text.find("intranet mode selected"), std::string::npos);
    EXPECT_EQ(written(), (std::vector<std::string>{
                             "SamplingRate=22050", "MBONE=1", "BANDWIDTH=28800", "ImageQuality=3",
                             "TransferRate=2000", "Mode=1", "MBONEIP=239.1.2.3", "INTRANET=1",
                             "StationScript=/radio/show.VSK"}));
    EXPECT_EQ(s.device_rate, 22050);

    ASSERT_EQ(options_ok(*ctx, {0, 0, "1.53M (T1)", ""}), 1);
    EXPECT_EQ(s.SamplingRate, 8000);
    EXPECT_EQ(s.device_rate, 11025);
    EXPECT_EQ(s.BANDWIDTH, 1530000);
    EXPECT_EQ(s.MODE, 0);
}

TEST_F(SettingsDialogs, options_ok_refusals_write_nothing_but_keep_the_bandwidth_in_memory) {
    StationState& s = ctx->state;
    s.MAX_CLIENT = 0;
    EXPECT_EQ(options_ok(*ctx, {0, 1, "64k", "a.VSK"}), 0);
    EXPECT_EQ(host.last_message(), "Warning: Not enough bandwidth\nLower the bit rate or change the MAX listeners.");
    EXPECT_EQ(s.BANDWIDTH, 64000);

    s.MAX_CLIENT = 20;
    s.INTRANET = 1;
    host.answers = {Answer::no};
    EXPECT_EQ(options_ok(*ctx, {0, 1, "128k", "a.VSK"}), 0);
    EXPECT_EQ(s.BANDWIDTH, 128000);

    s.INTRANET = 0;
    EXPECT_EQ(options_ok(*ctx, {0, 1, "128k", "/" + std::string(255, 'p')}), 0);  // never cut
    EXPECT_NE(host.last_message().find("longer than 255"), std::string::npos);
    EXPECT_TRUE(written().empty());
    EXPECT_EQ(s.StationScript, "");

    make_settings_unwritable();
    size_t shown = host.messages.size();
    EXPECT_EQ(options_ok(*ctx, {0, 1, "128k", "a.VSK"}), 0);
    ASSERT_EQ(host.messages.size(), shown + 1);  // one box for nine failed keys
    EXPECT_NE(host.last_message().find(ctx->state.settings_file), std::string::npos);
}

TEST(StreamRate, maximum_text_and_scroll_follow_the_range_rule) {
    EXPECT_EQ(max_stream_rate(22050, 28800), 3600);
    EXPECT_EQ(max_stream_rate(8000, 1530000), 8000);
    EXPECT_EQ(max_stream_rate(22050, 10000000), 16000);
    EXPECT_EQ(max_stream_rate(44100, INT_MAX), 16000);
    EXPECT_EQ(stream_rate_text(2560), "20,480 bps (56k)");
    EXPECT_EQ(stream_rate_text(640), "5,120 bps (14.4)");
    EXPECT_EQ(stream_rate_text(7001), "56,008 bps (T1/LAN)");
    EXPECT_EQ(stream_rate_text(5001), "40,008 bps (ISDN)");
    EXPECT_EQ(stream_rate_text(1601), "12,808 bps (28.8k)");

    EXPECT_EQ(scroll_stream_rate(2000, SCROLL_LINE_RIGHT, 0, 3600), 2125);
    EXPECT_EQ(scroll_stream_rate(2500, SCROLL_PAGE_LEFT, 0, 3600), 2250);
    // Never below the 2000 start-up takes from the settings file.
    EXPECT_EQ(scroll_stream_rate(2000, SCROLL_PAGE_LEFT, 0, 3600), 2000);
    EXPECT_EQ(scroll_stream_rate(700, SCROLL_LINE_LEFT, 0, 3600), 2000);
    EXPECT_EQ(scroll_stream_rate(2000, SCROLL_THUMB_TRACK, 3000, 3600), 3000);
    EXPECT_EQ(scroll_stream_rate(2000, SCROLL_TO_LEFT, 0, 3600), 3600);
    EXPECT_EQ(scroll_stream_rate(3000, SCROLL_TO_RIGHT, 0, 3600), 2000);
    EXPECT_EQ(scroll_stream_rate(2000, 8, 0, 3600), 2000);
    // A stored rate above the maximum is clamped at the first scroll, even one that lowers it.
    EXPECT_EQ(scroll_stream_rate(9000, SCROLL_LINE_LEFT, 0, 3600), 3600);
    // The maximum wins when it lies under the floor.
    EXPECT_EQ(scroll_stream_rate(2000, SCROLL_LINE_RIGHT, 0, 500), 500);
}

TEST(StreamRate, a_rate_the_codec_cannot_send_as_it_is_is_named_with_what_goes_out) {
    // A percentage survives the way through a transfer rate and back.
    for (int rate : {8000, 11025, 16000, 22050, 32000, 44100})
        for (int percent = 1; percent <= 100; ++percent) {
            CodecState codec;
            set_rate(codec, rate, transfer_rate_for_percent(rate, percent));
            ASSERT_EQ(codec.rate_percent, percent) << rate << " Hz, " << percent << " %";
        }
    EXPECT_EQ(transfer_rate_for_percent(22050, 11), 2426);  // 2425 would come back as 10 %
    const std::string note = stream_rate_note(22050, 2500);
    for (const char* part : {"2500 bytes per second", "2425 bytes per second", "11 % of 22050 Hz"})
        EXPECT_NE(note.find(part), std::string::npos) << part << ": " << note;
    for (auto [rate, transfer] :
         {std::pair{22050, 2646}, {22050, 2426}, {11025, 3528}, {8000, 2000}})
        EXPECT_EQ(stream_rate_note(rate, transfer), "") << rate << " " << transfer;
    // 11 % of 22050 Hz is 2425.5: 2425 itself is a little less, and goes out as 10 %.
    EXPECT_NE(stream_rate_note(22050, 2425).find("as 2205 bytes per second (10 % of 22050 Hz)"),
              std::string::npos);
}

TEST_F(SettingsDialogs, options_and_expert_say_when_a_rate_changes_or_the_script_is_missing) {
    StationState& s = ctx->state;
    // A script of 11 % at 22050 Hz was loaded: the rate in memory is the script's.
    write_file(dir.file("eleven.VSK"), std::string("1 22050 011 SCRIPT\0"
                                                   "1 \"a.VMA\" \"\" \0",
                                                   33));
    write_file(s.settings_file, "[VelmoraStation]\nSamplingRate=22050\nTransferRate=2425\n");
    s.SamplingRate = 22050;
    s.TransferRate = 2425;
    ASSERT_EQ(load_station_script(*ctx, dir.file("eleven.VSK").c_str()), 1) << host.last_message();
    EXPECT_EQ(s.TransferRate, 2426);
    EXPECT_EQ(stream_rate_percent(s), 11);  // a script made now keeps the 11 %

    host.messages.clear();
    ASSERT_EQ(options_ok(*ctx, {0, 1, "64k", dir.file("nothere.VSK")}), 1);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_NE(host.last_message().find(dir.file("nothere.VSK") +
                                       " cannot be opened (No such file or directory)"),
              std::string::npos)
        << host.last_message();
    EXPECT_EQ(s.StationScript, dir.file("nothere.VSK"));  // warned, not refused
    // The script's rate plays on in memory; the file keeps the operator's own.
    EXPECT_EQ(s.TransferRate, 2426);
    EXPECT_NE(read_file(s.settings_file).find("TransferRate=2425\n"), std::string::npos);

    host.messages.clear();
    ExpertChoice choice{false, "", false, false, 2500, "", false, true};
    ASSERT_EQ(expert_ok(*ctx, choice, "/usr/bin/velmora-broadcaster"), 1);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_NE(host.last_message().find("goes on the air as 2425 bytes per second"),
              std::string::npos)
        << host.last_message();
    choice.rate_moved = false;  // the same rate at the next OK: said once, not again
    host.messages.clear();
    ASSERT_EQ(expert_ok(*ctx, choice, "/usr/bin/velmora-broadcaster"), 1);
    EXPECT_TRUE(host.messages.empty()) << host.last_message();
    choice.rate = 2646;  // 12 % exactly: nothing to say
    choice.rate_moved = true;
    ASSERT_EQ(expert_ok(*ctx, choice, "/usr/bin/velmora-broadcaster"), 1);
    EXPECT_TRUE(host.messages.empty()) << host.last_message();
}

// The operator opens Options and Expert Settings on a station that plays a
// script made at 16000 Hz (12 %: 1920 bytes per second in memory) and
// presses OK in each without touching anything.
TEST_F(SettingsDialogs, ok_without_a_change_leaves_the_settings_file_as_start_up_takes_it) {
    StationState& s = ctx->state;
    const std::string stored =
        "[VelmoraStation]\nSamplingRate=16000\nTransferRate=2000\nBANDWIDTH=28800\nMode=0\n"
        "SPECIFIC_IP=1\nIP_ADDR=127.0.57.1\nStationScript=" + dir.file("show.VSK") + "\n";
    write_file(s.settings_file, stored);
    write_file(dir.file("show.VSK"), std::string("1 16000 012 SCRIPT\0" "1 \"a.VMA\" \"\" \0", 31));
    ASSERT_EQ(load_settings(*ctx, true), 1);
    ASSERT_EQ(load_station_script(*ctx, dir.file("show.VSK").c_str()), 1);
    EXPECT_EQ(s.TransferRate, 1920);
    host.messages.clear();

    OptionsView options = options_view(s, ctx->controller.no_sound_card);
    ASSERT_EQ(options_ok(*ctx, {options.mode, options.audio_type, options.bandwidth_text,
                                options.script}), 1);
    // The name look-up gives 127.0.0.1 only; the bound alias is kept.
    ExpertView expert = expert_view(s, {"127.0.0.1"});
    ASSERT_EQ(expert.addresses.at(static_cast<size_t>(expert.address_index)), "127.0.57.1");
    ExpertChoice untouched{expert.specific_ip,
                           expert.addresses.at(static_cast<size_t>(expert.address_index)),
                           expert.auto_rate, true, expert.rate, expert.repeater, false};
    ASSERT_EQ(expert_ok(*ctx, untouched, "/usr/bin/velmora-broadcaster"), 1);
    // Nothing changed, so nothing is asked or warned.
    EXPECT_TRUE(host.messages.empty()) << host.last_message();

    const std::string now = read_file(s.settings_file);
    for (const char* line : {"SamplingRate=16000\n", "TransferRate=2000\n", "IP_ADDR=127.0.57.1\n",
                             "SPECIFIC_IP=1\n", "AutoStart=1\n", "BANDWIDTH=28800\n"})
        EXPECT_NE(now.find(line), std::string::npos) << line << now;
    EXPECT_EQ(s.SamplingRate, 16000);
    EXPECT_EQ(s.TransferRate, 1920);  // the script plays on at its own rate
    // A script at 22050 Hz plays after its question: OK keeps the file's 16000 still.
    s.SamplingRate = 22050;
    options = options_view(s, ctx->controller.no_sound_card);
    ASSERT_EQ(options_ok(*ctx, {options.mode, options.audio_type, options.bandwidth_text,
                                options.script}), 1);
    EXPECT_NE(read_file(s.settings_file).find("SamplingRate=16000\n"), std::string::npos);
    EXPECT_EQ(s.SamplingRate, 22050);
    // Start-up takes every value as written.
    SettingsReport report;
    check_settings_file(s.settings_file, report);
    auto again = make_context(host);
    again->state.settings_file = s.settings_file;
    load_settings(*again, true, &report);
    EXPECT_TRUE(report.problems.empty()) << problem_text(report.problems.at(0));
}

TEST_F(SettingsDialogs, a_moved_stream_rate_is_stored_only_within_what_start_up_takes) {
    StationState& s = ctx->state;
    s.SamplingRate = 8000;
    s.BANDWIDTH = 1530000;
    ExpertView view = expert_view(s, {});
    EXPECT_EQ(view.maximum, 8000);
    // The lowest the bar goes is the lowest start-up takes.
    int rate = scroll_stream_rate(view.rate, SCROLL_TO_RIGHT, 0, view.maximum);
    EXPECT_EQ(rate, storable_transfer_rate(rate, s.SamplingRate));
    ExpertChoice choice{false, "", true, false, 1500, "", false, true};
    ASSERT_EQ(expert_ok(*ctx, choice, "/usr/bin/velmora-broadcaster"), 1);
    EXPECT_NE(read_file(s.settings_file).find("TransferRate=2000\n"), std::string::npos);
    EXPECT_EQ(s.TransferRate, 2000);
    EXPECT_EQ(storable_transfer_rate(40000, 8000), 32000);
}

TEST_F(SettingsDialogs, a_bit_rate_without_a_number_is_refused_naming_the_field) {
    StationState& s = ctx->state;
    s.BANDWIDTH = 64000;
    for (const char* bad : {"abc", "", "  ", "k", "0", "-"}) {
        EXPECT_EQ(options_ok(*ctx, {0, 1, bad, ""}), 0) << bad;
        const std::string told =
            "Broadcaster Connection Bit Rate: \"" + std::string(bad) + "\" is not a bit rate";
        EXPECT_EQ(host.last_message().rfind(told, 0), 0u) << host.last_message();
    }
    EXPECT_EQ(s.BANDWIDTH, 64000);
    EXPECT_TRUE(written().empty());
    for (const char* good : {"64k", "28800 (28.8/56 modem)", "1.53M", "56,000", "20000"})
        EXPECT_EQ(bit_rate_problem(good), "") << good;
}

TEST_F(SettingsDialogs, the_address_question_comes_when_the_bound_address_changes) {
    StationState& s = ctx->state;
    s.SPECIFIC_IP = 1;
    s.IP_ADDR = "127.0.0.1";
    // An exact item wins over a longer one that begins with it.
    EXPECT_EQ(expert_view(s, {"127.0.0.10", "127.0.0.1"}).address_index, 1);
    ExpertChoice choice{true, "127.0.0.1", true, false, 2000, "", false};
    ASSERT_EQ(expert_ok(*ctx, choice, "/usr/bin/velmora-broadcaster"), 1);
    EXPECT_TRUE(host.messages.empty()) << host.last_message();
    choice.address = "127.0.0.10";
    ASSERT_EQ(expert_ok(*ctx, choice, "/usr/bin/velmora-broadcaster"), 1);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_NE(host.last_message().find("network administrator"), std::string::npos);
    s.SPECIFIC_IP = 0;  // ticking Specify IP binds anew: asked
    ASSERT_EQ(expert_ok(*ctx, choice, "/usr/bin/velmora-broadcaster"), 1);
    EXPECT_EQ(host.messages.size(), 2u);
}

TEST(SpecificAddress, first_and_last_bytes_of_0_or_255_and_non_addresses_are_refused) {
    for (const char* bad : {"10.0.0.0", "10.0.0.255", "0.1.2.3", "255.1.2.3", "", "10.0.0.300", "host"})
        EXPECT_FALSE(specific_ip_acceptable(bad)) << bad;
    EXPECT_TRUE(specific_ip_acceptable("192.168.1.10"));
    EXPECT_TRUE(specific_ip_acceptable("127.0.0.1"));
}

TEST(ItemPrefix, the_first_item_beginning_with_the_text_is_found_whatever_the_case) {
    std::vector<std::string> items = {"\\Music\\Rock", "\\Music", "\\Talk"};
    EXPECT_EQ(find_item_with_prefix(items, "\\music"), 0);
    EXPECT_EQ(find_item_with_prefix(items, "\\TALK"), 2);
    EXPECT_EQ(find_item_with_prefix(items, "\\Talk\\News"), -1);
    EXPECT_EQ(find_item_with_prefix(items, ""), 0);
    EXPECT_EQ(find_item_with_prefix({}, ""), -1);
}

TEST_F(SettingsDialogs, expert_view_keeps_a_stored_rate_above_the_maximum_and_picks_the_address) {
    StationState& s = ctx->state;
    s.SamplingRate = 22050;
    s.BANDWIDTH = 28800;
    s.TransferRate = 8000;
    s.IP_ADDR = "10.1.1";
    ExpertView view = expert_view(s, {"127.0.1.1", "10.1.1.20", "10.1.1.7"});
    EXPECT_EQ(view.maximum, 3600);
    EXPECT_EQ(view.rate, 8000);
    EXPECT_EQ(view.address_index, 1);
    s.IP_ADDR = "0.0.0.0";
    EXPECT_EQ(expert_view(s, {"127.0.1.1", "10.1.1.20"}).address_index, 0);
    EXPECT_EQ(expert_view(s, {}).address_index, -1);  // no address: the dialog still opens
}

TEST_F(SettingsDialogs, expert_ok_checks_the_address_writes_in_order_and_keeps_a_long_repeater_list) {
    StationState& s = ctx->state;
    std::string repeaters(749, 'r');
    s.RepeaterIP = repeaters;
    ExpertChoice choice{true, "10.0.0.255", true, false, 3000, repeaters.substr(0, 127),
                        false, true};
    EXPECT_EQ(expert_ok(*ctx, choice, "/usr/bin/velmora-broadcaster"), 0);
    EXPECT_EQ(host.last_message(), "Invalid Specific IP Address");
    choice.address = "192.168.1.10";
    host.answers = {Answer::no};
    EXPECT_EQ(expert_ok(*ctx, choice, "/usr/bin/velmora-broadcaster"), 0);
    EXPECT_NE(host.last_message().find("network administrator"), std::string::npos);
    EXPECT_TRUE(written().empty());

    ASSERT_EQ(expert_ok(*ctx, choice, "/usr/bin/velmora-broadcaster"), 1);
    EXPECT_EQ(written(), (std::vector<std::string>{"IP_ADDR=192.168.1.10", "Stream2X=1", "AutoStart=0",
                                                   "TransferRate=3000", "SPECIFIC_IP=1",
                                                   "RepeaterIP=" + repeaters}));
    EXPECT_EQ(s.IP_ADDR, "192.168.1.10");

    choice.specific_ip = false;  // IP_ADDR stays, SPECIFIC_IP goes off
    choice.repeater = "127.0.0.9";
    choice.repeater_edited = true;
    ASSERT_EQ(expert_ok(*ctx, choice, "/usr/bin/velmora-broadcaster"), 1);
    EXPECT_EQ(s.SPECIFIC_IP, 0);
    EXPECT_EQ(s.IP_ADDR, "192.168.1.10");
    EXPECT_EQ(written().back(), "RepeaterIP=127.0.0.9");
}

TEST(WebListenField, takes_a_port_or_an_address_and_port_and_names_what_it_refuses) {
    for (const char* good : {"", "  ", "8080", " 127.0.0.1:8080 ", "0.0.0.0:1", "10.1.2.3:65535"})
        EXPECT_EQ(web_listen_problem(good), "") << good;
    for (const char* bad : {"web:80", "127.0.0.1:0", "127.0.0.1:65536", "1.2.3:80", ":80", "80a",
                            "127.0.0.1:", "256.0.0.1:80", "127.0.0.1 : 80"}) {
        const std::string problem = web_listen_problem(bad);
        EXPECT_EQ(problem.rfind("WEB_LISTEN must be PORT or ADDR:PORT", 0), 0u)
            << bad << ": " << problem;
        EXPECT_NE(problem.find(std::string("\"") + bad + "\""), std::string::npos) << problem;
    }
}

// The page's address and rate are shown as stored, refused before anything
// is asked or written when wrong, and written only when changed.
TEST_F(SettingsDialogs, expert_ok_sets_the_web_page_for_the_next_start_and_writes_only_a_change) {
    StationState& s = ctx->state;
    s.WEB_LISTEN = "127.0.0.1:8080";
    s.WEB_BITRATE = 64;
    ExpertView view = expert_view(s, {});
    EXPECT_EQ(view.web_listen, "127.0.0.1:8080");
    EXPECT_EQ(view.web_bitrate, 64);

    ExpertChoice choice{true, "10.9.9.9", false, false, 2000, "", false};
    choice.web_listen = "web:80";
    choice.web_bitrate = 64;
    const size_t shown = host.messages.size();
    EXPECT_EQ(expert_ok(*ctx, choice, "/usr/bin/velmora-broadcaster"), 0);
    EXPECT_NE(host.last_message().find("not \"web:80\""), std::string::npos) << host.last_message();
    EXPECT_EQ(host.messages.size(), shown + 1);  // no address question came first
    choice.web_listen = "127.0.0.1:8080";
    choice.web_bitrate = 321;
    EXPECT_EQ(expert_ok(*ctx, choice, "/usr/bin/velmora-broadcaster"), 0);
    EXPECT_EQ(host.last_message(), "WEB_BITRATE must be 8 to 320 kbit/s, not 321");
    EXPECT_TRUE(written().empty());
    EXPECT_EQ(s.WEB_LISTEN, "127.0.0.1:8080");

    // Unchanged: neither key is written.
    choice.specific_ip = false;
    choice.web_bitrate = 64;
    ASSERT_EQ(expert_ok(*ctx, choice, "/usr/bin/velmora-broadcaster"), 1);
    for (const std::string& line : written())
        EXPECT_EQ(line.rfind("WEB_", 0), std::string::npos) << line;

    choice.web_listen = " 127.0.0.7:8081 ";
    choice.web_bitrate = 128;
    ASSERT_EQ(expert_ok(*ctx, choice, "/usr/bin/velmora-broadcaster"), 1);
    EXPECT_EQ(s.WEB_LISTEN, "127.0.0.7:8081");
    EXPECT_EQ(s.WEB_BITRATE, 128);
    std::vector<std::string> keys = written();
    EXPECT_NE(std::find(keys.begin(), keys.end(), "WEB_LISTEN=127.0.0.7:8081"), keys.end());
    EXPECT_NE(std::find(keys.begin(), keys.end(), "WEB_BITRATE=128"), keys.end());

    choice.web_listen = "";  // the page goes off at the next start
    ASSERT_EQ(expert_ok(*ctx, choice, "/usr/bin/velmora-broadcaster"), 1);
    keys = written();
    EXPECT_NE(std::find(keys.begin(), keys.end(), "WEB_LISTEN="), keys.end());
    EXPECT_EQ(s.WEB_LISTEN, "");
}

TEST_F(SettingsDialogs, expert_ok_creates_and_removes_the_autostart_entry_and_tells_a_failure) {
    StationState& s = ctx->state;
    ExpertChoice choice{false, "", false, true, 2000, "", false};
    ASSERT_EQ(expert_ok(*ctx, choice, "/opt/velmora/velmora-broadcaster"), 1);
    EXPECT_EQ(s.AutoStart, 2);  // the running station does not start by itself
    std::vector<std::string> keys = written();
    EXPECT_NE(std::find(keys.begin(), keys.end(), "AutoStart=1"), keys.end());
    ASSERT_TRUE(autostart_entry_exists());
    EXPECT_NE(read_file(autostart_entry_path()).find("/opt/velmora/velmora-broadcaster"), std::string::npos);
    ASSERT_EQ(expert_ok(*ctx, choice, "/opt/velmora/velmora-broadcaster"), 1);  // the same entry again
    choice.autostart = false;
    ASSERT_EQ(expert_ok(*ctx, choice, "/opt/velmora/velmora-broadcaster"), 1);
    EXPECT_FALSE(autostart_entry_exists());
    EXPECT_EQ(s.AutoStart, 0);

    // The autostart folder cannot be made: told, and the dialog stays open.
    ASSERT_EQ(rmdir(dir.file("config/autostart").c_str()), 0);
    write_file(dir.file("config/autostart"), "");
    size_t shown = host.messages.size();
    choice.autostart = true;
    EXPECT_EQ(expert_ok(*ctx, choice, "/opt/velmora/velmora-broadcaster"), 0);
    ASSERT_EQ(host.messages.size(), shown + 1);
    EXPECT_NE(host.last_message().find("could not be created"), std::string::npos);
    EXPECT_NE(host.last_message().find(autostart_entry_path()), std::string::npos);
}

TEST(Categories, the_stored_category_selects_by_prefix_and_survives_a_failed_fetch) {
    std::vector<std::string> list = {"\\Music\\Rock", "\\Music", "\\Talk"};
    EXPECT_EQ(category_choice(1, list, "\\Music").selected, 0);  // whichever matching item comes first
    EXPECT_EQ(category_choice(1, list, "\\talk").selected, 2);
    CategoryChoice gone = category_choice(1, list, "\\Sport");
    EXPECT_EQ(gone.items, list);
    EXPECT_EQ(gone.selected, 0);
    for (int failed : {0, -1}) {
        CategoryChoice kept = category_choice(failed, {}, "\\Talk");
        EXPECT_EQ(kept.items, std::vector<std::string>{"\\Talk"});
        EXPECT_EQ(kept.selected, 0);
    }
    EXPECT_EQ(category_choice(1, {}, "\\Talk").items, std::vector<std::string>{"\\Talk"});
}

TEST(Categories, a_list_that_could_not_be_had_is_told_with_its_host_and_cause) {
    EXPECT_EQ(category_fetch_note(1, 3, "127.0.0.1:8080", ""), "");
    HttpExchange refused;
    refused.log = "Getting station categories...\nConnecting...\nFailed: Connection refused\n";
    HttpExchange late;
    late.timed_out = true;
    late.timeout_ms = 30000;
    struct Case {
        int result;
        size_t fetched;
        std::string cause;
        const char* says;
    };
    for (const Case& c : std::vector<Case>{
             {0, 0, http_failure_cause(refused), "127.0.0.1:8080: Connection refused."},
             {0, 0, http_failure_cause(late), ": no answer within 30 seconds."},
             {0, 0, http_failure_cause(HttpExchange{}), "did not answer with the category list"},
             {1, 0, "", "it sent no categories"},
             {-1, 0, "", "another directory request was running"}}) {
        const std::string note =
            category_fetch_note(c.result, c.fetched, "127.0.0.1:8080", c.cause);
        EXPECT_EQ(note.rfind("The category list could not be fetched from 127.0.0.1:8080: ", 0), 0u)
            << note;
        EXPECT_NE(note.find(c.says), std::string::npos) << note;
        EXPECT_NE(note.find("Type the station's category"), std::string::npos) << note;
    }
}

TEST_F(SettingsDialogs, station_info_ok_writes_the_six_keys_in_order) {
    std::string description(748, 'd');
    ASSERT_EQ(station_info_ok(*ctx, {"Night FM", "Harbour", "\\Music\\Jazz", "op@example.test",
                                     "http://127.0.0.1/", "d\r\n" + description}), 1);
    description = "d  " + description;  // one line, in memory as in the file and the station list
    EXPECT_EQ(written(), (std::vector<std::string>{"StationName=Night FM", "StationLocation=Harbour",
                                                   "StationCategory=\\Music\\Jazz",
                                                   "StationEMAIL=op@example.test",
                                                   "WWW_URL=http://127.0.0.1/", "WWW_DESC=" + description}));
    EXPECT_EQ(ctx->state.StationCategory, "\\Music\\Jazz");
    EXPECT_EQ(ctx->state.WWW_DESC, description);
    make_settings_unwritable();
    EXPECT_EQ(station_info_ok(*ctx, {"a", "b", "c", "d", "e", "f"}), 0);
    EXPECT_EQ(host.messages.size(), 1u);
}

TEST_F(SettingsDialogs, the_longest_station_information_comes_back_whole_at_the_next_start) {
    const std::string field(STATION_FIELD_MAX, 'f'), description(STATION_DESCRIPTION_MAX, 'd');
    ASSERT_EQ(station_info_ok(*ctx, {field, field, field, field, field, description}), 1);
    ASSERT_EQ(load_settings(*ctx, true), 1);
    const StationState& s = ctx->state;
    for (const std::string* read : {&s.StationName, &s.StationLocation, &s.StationCategory,
                                    &s.StationEMAIL, &s.WWW_URL})
        EXPECT_EQ(*read, field);
    EXPECT_EQ(s.WWW_DESC, description);
}

TEST_F(SettingsDialogs, proxy_dialog_locks_server_and_port_when_reauthenticating) {
    ASSERT_TRUE(save_proxy_settings({"proxy.test", 8888, "operator", "old"}));
    ProxyView open = proxy_view(false);
    EXPECT_EQ(open.server, "proxy.test");
    EXPECT_EQ(open.port, "8888");
    EXPECT_EQ(open.password, "old");
    EXPECT_TRUE(open.server_and_port_enabled);
    EXPECT_STREQ(open.hint, "Leave blank if you do not use proxy server.");
    ProxyView locked = proxy_view(true);
    EXPECT_FALSE(locked.server_and_port_enabled);
    EXPECT_STREQ(locked.hint, "Please re-enter the user id and password.");
}

TEST_F(SettingsDialogs, proxy_password_saved_by_the_dialog_is_what_the_request_sends) {
    ProxyView entered;
    entered.server = "127.0.0.1";
    entered.port = "70000";
    entered.user_id = "operator";
    entered.password = "s3cret:with colon";
    EXPECT_EQ(proxy_ok(*ctx, entered), 0);
    EXPECT_NE(host.last_message().find("70000"), std::string::npos);
    entered.port = "8888";
    ASSERT_EQ(proxy_ok(*ctx, entered), 1);
    EXPECT_EQ(read_file(registry_file_path()).find("s3cret"), std::string::npos);  // stored scrambled
    EXPECT_EQ(proxy_view(false).password, "s3cret:with colon");

    char reply[256];
    http_get(*ctx, ctx->web, "test", "directory.test", 80, "/", reply, sizeof reply);
    ASSERT_EQ(host.http_exchanges.size(), 1u);
    char expected[128];
    base64_encode("operator:s3cret:with colon", expected);
    EXPECT_NE(host.http_exchanges[0].request.find(std::string("Proxy-authorization: Basic ") + expected),
              std::string::npos)
        << host.http_exchanges[0].request;
    EXPECT_EQ(host.http_exchanges[0].connect_port, 8888);
}

}  // namespace
