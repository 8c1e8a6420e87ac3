// velmora-script run as a user runs it, its scripts read back through the
// station's own loader.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/program.h"
#include "app/settings.h"
#include "compression_test_media.h"
#include "media/entry_list.h"
#include "media/live_list.h"
#include "media/script_file.h"
#include "script_test_media.h"
#include "support/child_process.h"
#include "support/station_script.h"
#include "support/fake_host.h"
#include "support/temp_dir.h"

namespace {

using namespace compression_media;

struct ScriptToolTest : ::testing::Test {
    TempDir dir;
    FakeHost host;
    std::unique_ptr<Context> ctx = make_context(host);
    std::string script = dir.file("show/show.VSK");

    ScriptToolTest() {
        std::filesystem::create_directories(dir.file("show"));
        write_file(dir.file("a.wav"), wav(11025, 1, 8, tone(11025, 1, 8, 0.2)));
        write_file(dir.file("b.WAV"), wav(11025, 1, 8, tone(11025, 1, 8, 0.2, 880)));
        write_file(dir.file("cover.bmp"), bmp_bytes(64, 32));
        write_file(dir.file("station.ini"), "[VelmoraStation]\nSamplingRate=22050\nTransferRate=2646\n");
        ctx->state.SamplingRate = 22050;
        ctx->state.device_rate = 22050;
        ctx->state.TransferRate = 2646;
    }

    // velmora-script in the test's folder.
    ProgramResult tool(std::vector<std::string> args) {
        args.insert(args.begin(), program_path("velmora-script"));
        return run_program(args, dir.path(), {{"XDG_CONFIG_HOME", dir.file("config")}});
    }
};

TEST_F(ScriptToolTest, new_writes_a_script_the_station_loads_entry_for_entry) {
    ProgramResult made = tool({"new", "show/show.VSK", "a.wav", "b.WAV", "--picture", "cover.bmp",
                               "--text", "Good morning, listeners", "--repeat", "2", "--settings",
                               "station.ini"});
    ASSERT_EQ(made.status, 0) << made.output;
    // Names relative to the script's folder, the station's rates in the header.
    EXPECT_EQ(read_file(script),
              zero_lines({"2 22050 012 SCRIPT",
                          "2 \"../a.wav\" \"../cover.bmp\" Good morning, listeners",
                          "2 \"../b.WAV\" \"../cover.bmp\" Good morning, listeners"}));

    ASSERT_EQ(load_station_script(*ctx, script.c_str()), 2) << host.last_message();
    EXPECT_TRUE(host.messages.empty()) << "made for this station: no question";
    const ScriptEntry& first = ctx->script.entries[0];
    EXPECT_EQ(first.count, 2);
    EXPECT_EQ(std::string(first.song), dir.file("show/../a.VMA"));
    EXPECT_EQ(std::string(first.picture), dir.file("show/../cover.bmp"));
    EXPECT_STREQ(first.text, "Good morning, listeners");
    EXPECT_EQ(std::string(ctx->script.entries[1].song), dir.file("show/../b.VMA"));

    // Without --settings the station's default file (absent here: its defaults).
    ASSERT_EQ(tool({"new", "plain.VSK", "a.wav"}).status, 0);
    EXPECT_EQ(read_file(dir.file("plain.VSK")), zero_lines({"1 16000 012 SCRIPT", "1 \"a.wav\" \"\""}));
}

TEST_F(ScriptToolTest, the_window_and_the_tool_write_one_header_for_one_station) {
    // 2425 bytes per second at 22050 Hz: 10 % (2205) by the station's rule, in both.
    for (int transfer : {2425, 2426, 2646}) {
        write_file(dir.file("rates.ini"), "[VelmoraStation]\nSamplingRate=22050\nTransferRate=" +
                                              std::to_string(transfer) + "\n");
        ASSERT_EQ(tool({"new", "tool.VSK", "a.wav", "--settings", "rates.ini", "--force"}).status,
                  0);
        ctx->state.settings_file = dir.file("rates.ini");
        load_settings(*ctx, true);
        EntryList built{
            SCRIPT_LIST, {format_entry(SCRIPT_LIST, {1, dir.file("a.wav"), "", ""})}, -1, true, {}};
        ASSERT_EQ(save_entry_file(*ctx, ctx->state, built, dir.file("window.VSK")), 1);
        const std::string tool_header = read_file(dir.file("tool.VSK")).c_str();
        EXPECT_EQ(read_file(dir.file("window.VSK")).c_str(), tool_header) << transfer;
        EXPECT_EQ(tool_header, transfer == 2646   ? "1 22050 012 SCRIPT"
                               : transfer == 2426 ? "1 22050 011 SCRIPT"
                                                  : "1 22050 010 SCRIPT");
        // Made for this station: started, it asks no question about rates.
        host.messages.clear();
        EXPECT_EQ(load_station_script(*ctx, dir.file("tool.VSK").c_str()), 1) << transfer;
        EXPECT_TRUE(host.messages.empty()) << transfer << ": " << host.last_message();
    }
}

TEST_F(ScriptToolTest, live_lists_are_written_for_a_headless_live_station) {
    ProgramResult made =
        tool({"new-live", "show/live.VLS", "cover.bmp", "--text", "Live from the desk", "--seconds",
              "90", "--settings", "station.ini"});
    ASSERT_EQ(made.status, 0) << made.output;
    EXPECT_EQ(read_file(dir.file("show/live.VLS")),
              zero_lines({"1 22050 LIVE", "90 \"../cover.bmp\" Live from the desk"}));
    ASSERT_EQ(tool({"add-live", "show/live.VLS", "--text", "Text only", "--at", "1"}).status, 0);
    ASSERT_EQ(load_live_list(*ctx, ctx->script, dir.file("show/live.VLS").c_str()), 2) << host.last_message();
    EXPECT_EQ(ctx->script.entries[0].count, 360);
    EXPECT_STREQ(ctx->script.entries[0].text, "Text only");
    EXPECT_EQ(std::string(ctx->script.entries[1].picture), dir.file("show/../cover.bmp"));
    ASSERT_EQ(tool({"remove", "show/live.VLS", "1"}).status, 0);
    EXPECT_EQ(read_file(dir.file("show/live.VLS")),
              zero_lines({"1 22050 LIVE", "90 \"../cover.bmp\" Live from the desk"}));

    // The station reads LiveScript at start-up: a headless live feed shows the list.
    write_file(dir.file("live.ini"),
               "[VelmoraStation]\nMode=1\nLiveScript=" + dir.file("show/live.VLS") + "\n");
    ctx->state.settings_file = dir.file("live.ini");
    load_settings(*ctx, false);
    EXPECT_EQ(ctx->state.LiveScript, dir.file("show/live.VLS"));

    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    for (const Case& c : std::vector<Case>{
             {{"new-live", "show/live.VLS", "--text", "x"},
              "show/live.VLS exists; --force replaces it"},
             {{"new-live", "show/show.VSK", "--text", "x", "--force"},
              "is a script, not a live list"},
             {{"add-live", "show/live.VLS", "a.wav"}, "8- and 24-bit uncompressed BMP"},
             {{"add-live", "show/live.VLS", "--text", "a; b"}, "a text cannot hold a semicolon"}}) {
        if (c.args[1] == "show/show.VSK") {
            ASSERT_EQ(
                tool({"new", "show/show.VSK", "a.wav", "--settings", "station.ini", "--force"})
                    .status,
                0);
        }
        ProgramResult run = tool(c.args);
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
    }
    for (const std::vector<std::string>& wrong :
         {std::vector<std::string>{"new-live", "x.VLS"},
          {"add-live"},
          {"new-live", "x.VLS", "--seconds", "0", "--text", "t"},
          {"add-live", "x.VLS", "--repeat", "2", "--text", "t"}}) {
        ProgramResult run = tool(wrong);
        EXPECT_EQ(run.status, 2) << run.output;
    }
}

TEST_F(ScriptToolTest, add_remove_and_show_edit_and_print_a_script_in_place) {
    ASSERT_EQ(tool({"new", "show/show.VSK", "a.wav", "--text", "A", "--settings", "station.ini"}).status, 0);
    ASSERT_EQ(tool({"add", "show/show.VSK", "b.WAV", "--at", "1", "--repeat", "0", "--text", "B first"}).status, 0);
    ASSERT_EQ(tool({"add", "show/show.VSK", "a.wav", "--picture", "cover.bmp", "--text", "A again"}).status, 0);
    ProgramResult removed = tool({"remove", "show/show.VSK", "2"});
    ASSERT_EQ(removed.status, 0) << removed.output;
    EXPECT_EQ(removed.output, "show/show.VSK: 2 entries\n");

    ASSERT_EQ(load_station_script(*ctx, script.c_str()), 2) << host.last_message();
    EXPECT_EQ(ctx->script.entries[0].count, 0);
    EXPECT_EQ(std::string(ctx->script.entries[0].song), dir.file("show/../b.VMA"));
    EXPECT_STREQ(ctx->script.entries[0].text, "B first");
    EXPECT_EQ(ctx->script.entries[1].count, 1);
    EXPECT_STREQ(ctx->script.entries[1].text, "A again");
    std::vector<std::string> in_folder;
    for (const auto& entry : std::filesystem::directory_iterator(dir.file("show")))
        in_folder.push_back(entry.path().filename());
    EXPECT_EQ(in_folder, std::vector<std::string>{"show.VSK"}) << "no temporary file is left";

    ProgramResult shown = tool({"show", "show/show.VSK"});
    ASSERT_EQ(shown.status, 0) << shown.output;
    EXPECT_EQ(shown.output,
              "show/show.VSK: script of 2 entries for 22050 Hz at 12 % (2646 bytes per second)\n"
              "   1  random   \"../b.WAV\"  (not compressed yet)  text \"B first\"\n"
              "   2  1 x      \"../a.wav\"  (not compressed yet)  picture \"../cover.bmp\"  text \"A again\"\n");

    write_file(dir.file("show/live.VLS"),
               zero_lines({"3 22050 LIVE", "30 ../cover.bmp Hello", "60 \"\" Text only", "5 gone.bmp"}));
    shown = tool({"show", "show/live.VLS"});
    EXPECT_EQ(shown.output,
              "show/live.VLS: live list of 3 entries for 22050 Hz\n"
              "   1  30 s     picture \"../cover.bmp\"  text \"Hello\"\n"
              "   2  60 s     text \"Text only\"\n"
              "   3  5 s      picture \"gone.bmp\"  (missing)\n");

    // Lines beyond the header's count are no entries, but they are kept.
    write_file(script, zero_lines({"1 22050 012 SCRIPT", "1 \"../a.wav\" \"\" one", "stray line"}));
    ASSERT_EQ(tool({"add", "show/show.VSK", "b.WAV"}).status, 0);
    EXPECT_EQ(read_file(script), zero_lines({"2 22050 012 SCRIPT", "1 \"../a.wav\" \"\" one",
                                             "1 \"../b.WAV\" \"\"", "stray line"}));
}

TEST_F(ScriptToolTest, refusals_name_their_cause_and_leave_every_file_as_it_was) {
    ASSERT_EQ(tool({"new", "show/show.VSK", "a.wav", "--settings", "station.ini"}).status, 0);
    const std::string kept_script = read_file(script);
    const std::string kept_song = read_file(dir.file("a.wav"));
    const std::string live = zero_lines({"1 22050 LIVE", "30 \"\" hello"});
    write_file(dir.file("live.VLS"), live);
    write_file(dir.file("odd;name.wav"), kept_song);
    write_file(dir.file("deep.bmp"), bmp_bytes(64, 32, 16));
    ASSERT_EQ(mkfifo(dir.file("pipe.VSK").c_str(), 0600), 0);

    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    for (const Case& c : std::vector<Case>{
             {{"new", "a.wav", "b.WAV"}, "a.wav is neither a script nor a live list"},
             {{"new", "live.VLS", "b.WAV"}, "live.VLS is a live list, not a script; it is left as it is"},
             {{"new", "show/show.VSK", "b.WAV"}, "show/show.VSK exists; --force replaces it"},
             {{"new", "x.VSK", "a.wav", "--settings", "nosuch.ini"}, "settings file nosuch.ini not found"},
             {{"add", "live.VLS", "a.wav"}, "live.VLS is a live list, not a script"},
             {{"add", "show/show.VSK", "nothing.wav"}, "cannot use nothing.wav: No such file or directory"},
             {{"add", "show/show.VSK", "song.mp3"}, "a song is a WAV file (.wav) or a compressed one (.VMA)"},
             {{"add", "show/show.VSK", "odd;name.wav"}, "with a quote or a semicolon in its name"},
             {{"add", "show/show.VSK", "a.wav", "--text", "a; b"}, "a text cannot hold a semicolon"},
             {{"add", "show/show.VSK", "a.wav", "--picture", "deep.bmp"}, "8- and 24-bit uncompressed BMP"},
             {{"add", "show/show.VSK", "a.wav", "--at", "3"}, "--at 3: the script has 1 entry"},
             {{"remove", "show/show.VSK", "2"}, "has no entry 2 (it has 1 entry)"},
             {{"remove", "show/show.VSK", "1"}, "a script needs one entry at least"},
             {{"show", "pipe.VSK"}, "pipe.VSK is not a regular file"},
             {{"show", "a.wav"}, "a.wav is neither a script nor a live list"}}) {
        ProgramResult run = tool(c.args);
        EXPECT_EQ(run.status, 1) << c.args[1] << " " << c.args.back() << "\n" << run.output;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
    }
    EXPECT_EQ(read_file(script), kept_script);
    EXPECT_EQ(read_file(dir.file("a.wav")), kept_song);
    EXPECT_EQ(read_file(dir.file("live.VLS")), live);
    EXPECT_FALSE(std::filesystem::exists(dir.file("x.VSK")));

    for (const std::vector<std::string>& wrong :
         {std::vector<std::string>{}, {"bogus"}, {"show"}, {"new", "only.VSK"},
          {"show", "x.VSK", "--force"}, {"add", "s.VSK", "a.wav", "--repeat", "-1"}}) {
        ProgramResult run = tool(wrong);
        EXPECT_EQ(run.status, 2) << run.output;
        EXPECT_NE(run.output.find("velmora-script --help"), std::string::npos);
    }
    ASSERT_EQ(tool({"new", "show/show.VSK", "b.WAV", "--force", "--settings", "station.ini"}).status, 0);
    EXPECT_EQ(read_file(script), zero_lines({"1 22050 012 SCRIPT", "1 \"../b.WAV\" \"\""}));
}

}  // namespace
