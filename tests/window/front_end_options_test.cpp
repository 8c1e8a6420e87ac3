// The command lines of velmora-station and velmora-broadcaster: what each
// good one asks for, the status and message of each wrong one, the help text
// the programs print (the source of their man pages), and the statuses the
// real programs (the tuner's and velmora-listen's too) end with: 0 answered, 1 failed at run
// time, 2 wrong command line.

#include <gtest/gtest.h>

#include <QStringList>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/program.h"
#include "base/version.h"
#include "shell/headless/station_options.h"
#include "shell/window/broadcaster_options.h"
#include "station_test_support.h"
#include "support/child_process.h"
#include "support/fake_host.h"
#include "support/temp_dir.h"

namespace {

QStringList arguments_of(const char* program, const std::vector<std::string>& args) {
    QStringList list{QString::fromLatin1(program)};
    for (const std::string& arg : args) list << QString::fromStdString(arg);
    return list;
}

constexpr int kRuns = -1;  // the outcome of a command line the program runs with

template <typename Options>
struct OptionCase {
    std::vector<std::string> args;
    int status;           // kRuns, or the status the program ends with at once
    std::string message;  // the start of what is printed; "" for a run
    std::function<void(const Options&)> check;  // what a run asks for
};

template <typename Options>
void expect_outcomes(const char* program, ParseOutcome (*parse)(const QStringList&, Options&),
                     const std::vector<OptionCase<Options>>& cases) {
    for (const OptionCase<Options>& c : cases) {
        std::string shown;
        for (const std::string& arg : c.args) shown += " [" + arg + "]";
        Options options;
        ParseOutcome outcome = parse(arguments_of(program, c.args), options);
        EXPECT_EQ(outcome.run ? kRuns : outcome.status, c.status) << shown << "\n" << outcome.text;
        EXPECT_EQ(outcome.text.rfind(c.message, 0), 0u) << shown << "\n" << outcome.text;
        if (outcome.status == 2) {  // the usage follows the problem
            EXPECT_NE(outcome.text.find(std::string("\nusage: ") + program), std::string::npos) << shown;
        }
        if (c.check && outcome.run) c.check(options);
    }
}

TEST(FrontEndOptions, station_command_lines_run_or_end_with_their_status_and_message) {
    expect_outcomes<StationOptions>("velmora-station", parse_station_options, {
        {{}, kRuns, "", [](const StationOptions& o) {
             EXPECT_EQ(o.settings_name, "");
             EXPECT_EQ(o.status_interval, 5);
             EXPECT_TRUE(o.answer_yes);
             EXPECT_FALSE(o.start || o.check || o.list_categories || o.set_proxy);
         }},
        {{"night.ini", "--start", "--answer", "no", "--status-interval", "0", "--capture", "tone:440"},
         kRuns, "", [](const StationOptions& o) {
             EXPECT_EQ(o.settings_name, "night.ini");
             EXPECT_TRUE(o.start);
             EXPECT_FALSE(o.answer_yes);
             EXPECT_TRUE(o.answer_given);
             EXPECT_EQ(o.status_interval, 0);
             EXPECT_EQ(o.capture, "tone:440");
         }},
        {{"--status-http=[::1]:8080", "--capture", "-"}, kRuns, "", [](const StationOptions& o) {
             EXPECT_EQ(o.status_host.toString().toStdString(), "::1");
             EXPECT_EQ(o.status_port, 8080);
             EXPECT_EQ(o.capture, "-");
         }},
        {{"--status-http", "9100"}, kRuns, "", [](const StationOptions& o) {
             EXPECT_EQ(o.status_host.toString().toStdString(), "127.0.0.1");
             EXPECT_EQ(o.status_port, 9100);
         }},
        {{"--check", "a.ini"}, kRuns, "", [](const StationOptions& o) { EXPECT_TRUE(o.check); }},
        {{"--set-proxy", "", "0", "me"}, kRuns, "", [](const StationOptions& o) {
             EXPECT_TRUE(o.set_proxy);
             EXPECT_EQ(o.proxy.server, "");
             EXPECT_EQ(o.proxy.port, 0);
             EXPECT_EQ(o.proxy.user_id, "me");
         }},
        {{"--help"}, 0, "usage: velmora-station [SETTINGS-FILE]", nullptr},
        {{"--bogus", "-h"}, 0, "usage: velmora-station", nullptr},
        {{"--version"}, 0, std::string("velmora-station ") + PROGRAM_VERSION + " (build ", nullptr},
        {{"--status-http", "99999"}, 2, "velmora-station: --status-http takes [ADDR:]PORT", nullptr},
        {{"--status-http", "::1:80"}, 2, "velmora-station: --status-http takes [ADDR:]PORT", nullptr},
        {{"--status-http", "nowhere:80"}, 2, "velmora-station: --status-http takes [ADDR:]PORT", nullptr},
        {{"--status-interval", "86401"}, 2, "velmora-station: --status-interval takes 0 to 86400 seconds, not 86401", nullptr},
        {{"--status-interval", "5s"}, 2, "velmora-station: --status-interval takes 0 to 86400 seconds, not 5s", nullptr},
        {{"--answer", "maybe"}, 2, "velmora-station: --answer takes yes or no, not maybe", nullptr},
        {{"--capture", "tone:0"}, 2, "velmora-station: --capture tone:0: tone:HZ takes a frequency", nullptr},
        {{"--capture", ""}, 2, "velmora-station: --capture needs a source", nullptr},
        {{"--capture"}, 2, "velmora-station: missing value after '--capture'", nullptr},
        {{"--start=yes"}, 2, "velmora-station: unexpected value after '--start'", nullptr},
        {{"--bogus"}, 2, "velmora-station: unknown option --bogus", nullptr},
        {{"-x"}, 2, "velmora-station: unknown option -x", nullptr},
        {{"a.ini", "b.ini"}, 2, "velmora-station: one settings file only, not a.ini and b.ini", nullptr},
        {{"--set-proxy", "host", "80"}, 2, "velmora-station: --set-proxy takes SERVER PORT USER and nothing else", nullptr},
        {{"--set-proxy", "host", "80", "me", "--start"}, 2, "velmora-station: --set-proxy takes SERVER PORT USER", nullptr},
        {{"--set-proxy", "host", "65536", "me"}, 2, "velmora-station: --set-proxy takes a port of 0 to 65535, not 65536", nullptr},
        {{"--set-proxy", std::string(128, 'h'), "80", "me"}, 2, "velmora-station: --set-proxy: the server and the user id have at most 127", nullptr},
    });
}

TEST(FrontEndOptions, broadcaster_command_lines_run_or_end_with_their_status_and_message) {
    expect_outcomes<BroadcasterOptions>("velmora-broadcaster", parse_broadcaster_options, {
        {{}, kRuns, "", [](const BroadcasterOptions& o) {
             EXPECT_EQ(o.settings_name, "");
             EXPECT_EQ(o.script, "");
             EXPECT_FALSE(o.start_minimised || o.unattended);
             EXPECT_EQ(o.after, 1.0);
         }},
        // The desktop opens a script alone; a settings file may come with it, in any order.
        {{"/home/op/show.VSK"}, kRuns, "", [](const BroadcasterOptions& o) {
             EXPECT_EQ(o.script, "/home/op/show.VSK");
             EXPECT_EQ(o.settings_name, "");
         }},
        {{"night.vsk", "station.ini", "/s"}, kRuns, "", [](const BroadcasterOptions& o) {
             EXPECT_EQ(o.script, "night.vsk");
             EXPECT_EQ(o.settings_name, "station.ini");
             EXPECT_TRUE(o.start_minimised);
         }},
        {{"-S", "--skin", "skins/dark"}, kRuns, "", [](const BroadcasterOptions& o) {
             EXPECT_TRUE(o.start_minimised);
             EXPECT_EQ(o.skin_dir, "skins/dark");
         }},
        {{"--screenshot", "shot.png", "--after", "2.5"}, kRuns, "", [](const BroadcasterOptions& o) {
             EXPECT_EQ(o.screenshot, "shot.png");
             EXPECT_TRUE(o.unattended) << "implied";
             EXPECT_EQ(o.after, 2.5);
         }},
        {{"-h"}, 0, "usage: velmora-broadcaster [SETTINGS-FILE] [SCRIPT]", nullptr},
        {{"--version"}, 0, std::string("velmora-broadcaster ") + PROGRAM_VERSION + " (build ", nullptr},
        {{"--after", "3601"}, 2, "velmora-broadcaster: --after takes 0 to 3600 seconds, not 3601", nullptr},
        {{"--after", "-1"}, 2, "velmora-broadcaster: --after takes 0 to 3600 seconds, not -1", nullptr},
        {{"--skin"}, 2, "velmora-broadcaster: missing value after '--skin'", nullptr},
        {{"--unattended=no"}, 2, "velmora-broadcaster: unexpected value after '--unattended'", nullptr},
        {{"--start"}, 2, "velmora-broadcaster: unknown option --start", nullptr},
        {{"a.ini", "b.ini"}, 2, "velmora-broadcaster: one settings file only, not a.ini and b.ini", nullptr},
        {{"a.VSK", "b.vsk"}, 2, "velmora-broadcaster: one script only, not a.VSK and b.vsk", nullptr},
    });
}

TEST(FrontEndOptions, numbers_are_whole_texts_within_their_range) {
    const struct {
        const char* text;
        double low, high;
        bool whole;
        bool taken;
    } cases[] = {
        {"80", 1, 65535, true, true},     {"65535", 1, 65535, true, true}, {"65536", 1, 65535, true, false},
        {"0", 1, 65535, true, false},     {"8.5", 1, 65535, true, false},  {"8x", 1, 65535, true, false},
        {"", 0, 10, false, false},        {"2.5", 0, 3600, false, true},   {"nan", 0, 3600, false, false},
        {"-0.5", 0, 3600, false, false},  {"1e9", 0, 1e6, false, false},
    };
    for (const auto& c : cases) {
        double number = -1;
        EXPECT_EQ(parse_number(c.text, c.low, c.high, c.whole, &number), c.taken) << "[" << c.text << "]";
        if (c.taken) {
            EXPECT_EQ(number, strtod(c.text, nullptr)) << c.text;
        }
    }
}

// The number of lines of `text` that begin with `start`.
int lines_starting_with(const std::string& text, const std::string& start) {
    int count = text.rfind(start, 0) == 0 ? 1 : 0;
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1))
        if (text.compare(at + 1, start.size(), start) == 0) ++count;
    return count;
}

TEST(FrontEndOptions, each_option_is_described_once_and_the_programs_print_that_text) {
    StationOptions station;
    const std::string station_help = parse_station_options(arguments_of("velmora-station", {"--help"}), station).text;
    BroadcasterOptions window;
    const std::string window_help =
        parse_broadcaster_options(arguments_of("velmora-broadcaster", {"--help"}), window).text;
    for (const char* option : {"--start", "--answer", "--status-interval", "--status-http", "--capture",
                               "--list-categories", "--check", "--set-proxy", "SETTINGS-FILE"})
        EXPECT_EQ(lines_starting_with(station_help, std::string("  ") + option), 1) << option;
    for (const char* option : {"--skin", "--unattended", "--screenshot", "--after", "/s", "SCRIPT", "SETTINGS-FILE"})
        EXPECT_EQ(lines_starting_with(window_help, std::string("  ") + option), 1) << option;
    // The settings file is taken alike by both: one text.
    for (const char* line : {"the station's settings file: a name with a folder is that\n",
                                    "then in ~/.config/velmora (default: lumo.ini there)\n"}) {
        EXPECT_NE(station_help.find(line), std::string::npos) << line;
        EXPECT_NE(window_help.find(line), std::string::npos) << line;
    }
    // One usage block, which help2man makes the synopsis of.
    EXPECT_EQ(lines_starting_with(station_help, "usage: "), 1);

    const ProgramResult printed_station = run_program({program_path("velmora-station"), "--help"});
    EXPECT_EQ(printed_station.status, 0);
    EXPECT_EQ(printed_station.output, station_help);
    const ProgramResult printed_window = run_program({program_path("velmora-broadcaster"), "--help"});
    EXPECT_EQ(printed_window.status, 0);
    EXPECT_EQ(printed_window.output, window_help);
}

TEST(FrontEndOptions, the_programs_end_with_0_when_answered_1_when_failing_and_2_for_a_wrong_command_line) {
    TempDir dir;
    write_file(dir.file("station.ini"), "[VelmoraStation]\nMode=0\n");
    const EnvironmentList env = {{"QT_QPA_PLATFORM", "offscreen"},
                                 {"VELMORA_HOME", dir.path()},
                                 {"XDG_CONFIG_HOME", dir.file("config")},
                                 {"XDG_RUNTIME_DIR", dir.path()}};
    struct Run {
        const char* program;
        std::vector<std::string> args;
        int status;
        std::string names;  // in the output
    };
    const Run runs[] = {
        {"velmora-station", {"--version"}, 0, "velmora-station 2.18"},
        {"velmora-station", {"nosuch.ini"}, 1, "settings file nosuch.ini not found"},
        {"velmora-station", {"station.ini", "--capture", dir.file("none.wav")}, 1, dir.file("none.wav")},
        {"velmora-station", {"station.ini", "--status-http", "99999"}, 2, "--status-http takes"},
        {"velmora-station", {"station.ini", "--capture", "tone:x"}, 2, "tone:HZ takes a frequency"},
        {"velmora-broadcaster", {"--help"}, 0, "usage: velmora-broadcaster"},
        {"velmora-broadcaster", {"station.ini", dir.file("none.VSK"), "--unattended"}, 1,
         "The script " + dir.file("none.VSK") + " cannot be opened"},
        {"velmora-broadcaster", {"station.ini", "--after", "soon"}, 2, "--after takes 0 to 3600 seconds, not soon"},
        {"velmora-tuner", {"--version"}, 0, "velmora-tuner 2.18"},
        {"velmora-tuner", {"127.0.0.1", "127.0.0.2"}, 2, "one station only, not 127.0.0.1 and 127.0.0.2"},
        {"velmora-tuner", {"--bogus"}, 2, "unknown option --bogus"},
        {"velmora-listen", {"--wav", "a.wav"}, 2, "velmora-listen: the station's HOST is missing"},
        {"velmora-listen", {"127.0.0.1", "--port", "abc"}, 2, "velmora-listen: --port takes 1 to 65535, not abc"},
    };
    for (const Run& r : runs) {
        std::vector<std::string> args = {program_path(r.program)};
        args.insert(args.end(), r.args.begin(), r.args.end());
        const ProgramResult result = run_program(args, dir.path(), env, 20000);
        EXPECT_EQ(result.status, r.status) << r.program << " " << r.args.back() << "\n" << result.output;
        EXPECT_NE(result.output.find(r.names), std::string::npos) << result.output;
    }
}

TEST(FrontEndOptions, a_script_named_on_the_command_line_is_selected_for_this_run_or_refused_with_its_cause) {
    TempDir dir;
    write_file(dir.file("show.VSK"), std::string("1 22050 010 SCRIPT\0" "1 a.VMA \"\" A\0", 31));
    FakeHost host;
    auto ctx = make_context(host);
    ctx->state.MODE = 1;
    ctx->live_ring.feed_mode = FeedMode::live_priming;
    ctx->state.StationScript = "/elsewhere/old.VSK";

    EXPECT_EQ(select_script(*ctx, dir.file("nosuch.VSK")), "The script " + dir.file("nosuch.VSK") +
                                                               " cannot be opened: No such file or directory");
    EXPECT_NE(select_script(*ctx, "/" + std::string(300, 'a') + ".VSK").find("longer than 255 characters"),
              std::string::npos);
    EXPECT_EQ(ctx->state.StationScript, "/elsewhere/old.VSK") << "a refused script changes nothing";
    EXPECT_EQ(ctx->state.MODE, 1);

    EXPECT_EQ(select_script(*ctx, dir.file("show.VSK")), "");
    EXPECT_EQ(ctx->state.StationScript, dir.file("show.VSK"));
    EXPECT_EQ(ctx->state.MODE, 0);
    EXPECT_EQ(ctx->live_ring.feed_mode, FeedMode::script);
    EXPECT_EQ(ctx->codec.rate_percent, 10) << "the rate of the script's header";
    EXPECT_TRUE(ctx->window.menus.start_enabled);
}

}  // namespace
