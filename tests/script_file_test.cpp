#include "media/script_file.h"

#include <gtest/gtest.h>

#include <string>

#include "app/context.h"
#include "app/program.h"
#include "codec/set_rate.h"
#include "media/live_list.h"
#include "script_test_media.h"
#include "support/fake_host.h"
#include "support/station_script.h"
#include "support/temp_dir.h"

namespace {

const char* kSettingsQuestion =
    "The script's sampling rate and bit rate do not match with the current setting.\n"
    "To use the current setting, click NO, edit the script and save.\n\n"
    "Script Setting: Music 11025 Hz 28.2kbps (ISDN)\n"
    "Current Setting: Music 11025 Hz 16.0kbps (28.8k)\n\n"
    "Do you want to continue?";

struct ScriptFileTest : ::testing::Test {
    TempDir dir;
    FakeHost host;
    std::unique_ptr<Context> ctx = make_context(host);
    std::string path = dir.file("show.VSK");

    ScriptFileTest() {
        ctx->state.SamplingRate = 11025;
        ctx->state.device_rate = 11025;
        ctx->state.TransferRate = 3528;
        ctx->codec.rate_percent = 20;
    }

    // A file in the temporary directory, by its full path.
    std::string make(const std::string& name, const std::string& bytes) {
        write_file(dir.file(name), bytes);
        return dir.file(name);
    }
    void write_script(std::initializer_list<std::string> lines) {
        write_file(path, zero_lines(lines));
    }
    void expect_nothing_loaded() {
        EXPECT_EQ(ctx->script.script_entries, 0);
        EXPECT_TRUE(ctx->script.entries.empty());
        EXPECT_FALSE(ctx->script.loaded);
    }
};

TEST_F(ScriptFileTest, header_read_gives_rate_and_percentage_or_the_defaults) {
    int rate = 0, percent = 0;
    for (const std::string& unreadable : {dir.file("missing.VSK"), dir.path()}) {
        rate = percent = 0;
        EXPECT_EQ(read_script_header(unreadable.c_str(), &rate, &percent), 0);
        EXPECT_EQ(rate, 8000);
        EXPECT_EQ(percent, 32);
    }

    write_script({"3 22050 041 SCRIPT", "1 a.VMA"});
    EXPECT_EQ(read_script_header(path.c_str(), &rate, &percent), 1);
    EXPECT_EQ(rate, 22050);
    EXPECT_EQ(percent, 41);

    write_file(path, "2 44100 100 SCRIPT");  // no zero byte at all
    EXPECT_EQ(read_script_header(path.c_str(), &rate, &percent), 1);
    EXPECT_EQ(rate, 44100);
    EXPECT_EQ(percent, 100);

    write_file(path, zero_lines({"5 16000 LIVE"}));
    EXPECT_EQ(read_script_header(path.c_str(), &rate, &percent), 1);
    EXPECT_EQ(rate, 16000);
    EXPECT_EQ(percent, 0);
}

TEST_F(ScriptFileTest, matching_script_loads_without_a_question) {
    std::string picture = make("cover.bmp", bmp_bytes(100, 50));
    write_script({"3 11025 032 SCRIPT", "2 \"" + dir.file("My Song.wav") + "\", \"\" ; comment", "",
                  "1 " + dir.file("b.VMA") + " " + picture + " Now playing: b", "0 c.wav"});
    EXPECT_EQ(load_station_script(*ctx, path.c_str()), 3);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(ctx->script.script_entries, 3);
    EXPECT_TRUE(ctx->script.loaded);
    ASSERT_EQ(ctx->script.entries.size(), 3u);

    const ScriptEntry& first = ctx->script.entries[0];
    EXPECT_EQ(first.count, 2);
    EXPECT_EQ(std::string(first.song), dir.file("My Song.VMA"));
    EXPECT_STREQ(first.picture, "");
    EXPECT_STREQ(first.text, "");
    EXPECT_EQ(std::string(ctx->script.entries[1].picture), picture);
    EXPECT_STREQ(ctx->script.entries[1].text, "Now playing: b");
    EXPECT_EQ(ctx->script.entries[2].count, 0);
    EXPECT_EQ(std::string(ctx->script.entries[2].song), dir.file("c.VMA"));  // beside the script

    EXPECT_EQ(ctx->state.TransferRate, 3528);
    EXPECT_EQ(ctx->codec.rate_percent, 32);
}

TEST_F(ScriptFileTest, settings_question_yes_takes_the_scripts_rates) {
    ctx->state.TransferRate = 2000;
    host.answers.push_back(Answer::yes);
    write_script({"3 11025 032 SCRIPT", "1 a.VMA", "1 b.VMA", "1 c.VMA"});
    EXPECT_EQ(load_station_script(*ctx, path.c_str()), 3);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, kSettingsQuestion);
    EXPECT_EQ(host.messages[0].style.buttons, Buttons::yes_no);
    EXPECT_TRUE(host.messages[0].owned);
    EXPECT_EQ(ctx->state.TransferRate, 3528);
    EXPECT_EQ(ctx->codec.rate_percent, 32);
    EXPECT_EQ(ctx->script.script_entries, 3);
}

TEST_F(ScriptFileTest, settings_question_no_leaves_everything_as_it_was) {
    ctx->state.TransferRate = 2000;
    host.answers.push_back(Answer::no);
    write_script({"3 11025 032 SCRIPT", "1 a.VMA", "1 b.VMA", "1 c.VMA"});
    EXPECT_EQ(load_station_script(*ctx, path.c_str()), -1);
    EXPECT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(ctx->state.TransferRate, 2000);
    EXPECT_EQ(ctx->state.SamplingRate, 11025);
    EXPECT_EQ(ctx->codec.rate_percent, 20);
    expect_nothing_loaded();

    host.answers.push_back(Answer::no);
    EXPECT_EQ(open_station_script_songs(*ctx, path.c_str()), -1);
    expect_nothing_loaded();
}

TEST_F(ScriptFileTest, another_sampling_rate_asks_and_yes_sets_station_and_capture_rate) {
    struct Case {
        int rate;
        int capture;
        const char* kind;
    };
    for (Case c :
         {Case{8000, 11025, "Voice"}, Case{16000, 22050, "Music"}, Case{22050, 22050, "Music"},
          Case{32000, 44100, "Music"}, Case{44100, 44100, "Music"}}) {
        ctx->state.SamplingRate = 11025;
        ctx->state.device_rate = 11025;
        host.messages.clear();
        write_script({std::to_string(1) + " " + std::to_string(c.rate) + " 025 SCRIPT", "1 a.VMA"});
        EXPECT_EQ(load_station_script(*ctx, path.c_str()), 1) << c.rate;
        ASSERT_EQ(host.messages.size(), 1u) << c.rate;
        // The two lines differ even where both say Music: each names its rate.
        EXPECT_NE(host.messages[0].text.find(std::string("Script Setting: ") + c.kind + " " +
                                             std::to_string(c.rate) + " Hz"),
                  std::string::npos);
        EXPECT_NE(host.messages[0].text.find("Current Setting: Music 11025 Hz"), std::string::npos);
        EXPECT_EQ(ctx->state.SamplingRate, c.rate);
        EXPECT_EQ(ctx->state.device_rate, c.capture);
        // 25 % of the rate, rounded up where it is no whole number (5512.5 is
        // 5513) so that the rate gives 25 % back when a dialog writes it.
        EXPECT_EQ(ctx->state.TransferRate, (c.rate * 25 + 99) / 100);
        CodecState back;
        set_rate(back, c.rate, ctx->state.TransferRate);
        EXPECT_EQ(back.rate_percent, 25);
        EXPECT_EQ(ctx->codec.rate_percent, 25);
    }
}

TEST_F(ScriptFileTest, small_bit_rate_difference_needs_no_question) {
    ctx->state.TransferRate = 3528 + 200;
    write_script({"1 11025 032 SCRIPT", "1 a.VMA"});
    EXPECT_EQ(load_station_script(*ctx, path.c_str()), 1);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(ctx->state.TransferRate, 3528);

    ctx->state.TransferRate = 3528 + 201;
    EXPECT_EQ(load_station_script(*ctx, path.c_str()), 1);
    EXPECT_EQ(host.messages.size(), 1u);
}

// The loader only reports the script's rates: one it refuses after the
// operator agreed to them (a picture that is no BMP) leaves the stream's.
TEST_F(ScriptFileTest, a_script_refused_after_its_rate_question_changes_no_rate) {
    make("b.bmp", "BM but nothing like a picture");
    host.answers.push_back(Answer::yes);
    write_script({"1 22050 025 SCRIPT", "1 a.VMA b.bmp hello"});
    EXPECT_EQ(load_station_script(*ctx, path.c_str()), 0);
    ASSERT_EQ(host.messages.size(), 2u);
    EXPECT_NE(host.messages[1].text.find("unknown file format"), std::string::npos);
    EXPECT_EQ(ctx->state.SamplingRate, 11025);
    EXPECT_EQ(ctx->state.device_rate, 11025);
    EXPECT_EQ(ctx->state.TransferRate, 3528);
    EXPECT_EQ(ctx->codec.rate_percent, 20);
    expect_nothing_loaded();
}

TEST_F(ScriptFileTest, broken_headers_are_refused_before_touching_the_settings) {
    for (const char* header :
         {"3 11025 032 script", "3 11025 032 SCRIPT x", "3 11025 032", "-2 11025 032 SCRIPT",
          "3 12000 032 SCRIPT", "3 11025 000 SCRIPT", "3 0 032 SCRIPT", ""}) {
        host.messages.clear();
        ctx->state.TransferRate = 1000;
        write_script({header, "1 a.VMA"});
        EXPECT_EQ(load_station_script(*ctx, path.c_str()), 0) << header;
        ASSERT_EQ(host.messages.size(), 1u) << header;
        EXPECT_EQ(host.messages[0].text, "Invalid Script!");
        EXPECT_EQ(host.messages[0].style, Buttons::ok | Icon::error | BoxFlag::system_modal);
        EXPECT_EQ(ctx->state.TransferRate, 1000);
        EXPECT_EQ(ctx->codec.rate_percent, 20);
        expect_nothing_loaded();
    }
}

TEST_F(ScriptFileTest, script_without_entries_is_empty) {
    for (auto lines :
         {zero_lines({"0 11025 032 SCRIPT", "1 a.VMA"}), zero_lines({"4 11025 032 SCRIPT", "", ""}),
          std::string("4 11025 032 SCRIPT")}) {
        host.messages.clear();
        write_file(path, lines);
        EXPECT_EQ(load_station_script(*ctx, path.c_str()), 0);
        EXPECT_EQ(host.last_message(), "Empty Script!");
        expect_nothing_loaded();
    }
}

TEST_F(ScriptFileTest, entry_count_follows_the_file_not_the_header_claim) {
    write_script({"5 11025 032 SCRIPT", "1 a.VMA", "2 b.VMA"});
    EXPECT_EQ(load_station_script(*ctx, path.c_str()), 2);
    EXPECT_EQ(ctx->script.entries.size(), 2u);

    write_script({"2147483647 11025 032 SCRIPT", "1 a.VMA", "2 b.VMA", "3 c.VMA"});
    EXPECT_EQ(load_station_script(*ctx, path.c_str()), 3);

    write_script({"2 11025 032 SCRIPT", "1 a.VMA", "2 b.VMA", "3 c.VMA"});
    EXPECT_EQ(load_station_script(*ctx, path.c_str()), 2);  // lines beyond the count are ignored
    EXPECT_EQ(std::string(ctx->script.entries[1].song), dir.file("b.VMA"));
}

TEST_F(ScriptFileTest, last_line_without_its_zero_byte_still_counts) {
    write_file(path, zero_lines({"2 11025 032 SCRIPT", "1 a.VMA"}) + "7 b.wav pic text");
    EXPECT_EQ(load_station_script(*ctx, path.c_str()), 2);
    EXPECT_EQ(ctx->script.entries[1].count, 7);
    EXPECT_EQ(std::string(ctx->script.entries[1].song), dir.file("b.VMA"));
    EXPECT_STREQ(ctx->script.entries[1].text, "text");
}

TEST_F(ScriptFileTest, unusable_picture_refuses_the_script_missing_one_is_no_picture) {
    std::string bad = make("bad.bmp", bmp_bytes(64, 64, 16));
    std::string missing = dir.file("nowhere.bmp");
    write_script({"2 11025 032 SCRIPT", "1 a.VMA " + missing, "1 b.VMA " + bad});
    EXPECT_EQ(load_station_script(*ctx, path.c_str()), 0);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text,
              bad + ": unknown file format!\nOnly 24bit uncompressed BMP files are supported.");
    EXPECT_EQ(host.messages[0].caption, "Radio Velmora Server BMP");
    expect_nothing_loaded();

    write_script({"1 11025 032 SCRIPT", "1 a.VMA " + missing});
    EXPECT_EQ(load_station_script(*ctx, path.c_str()), 1);
    EXPECT_EQ(std::string(ctx->script.entries[0].picture), missing);
}

TEST_F(ScriptFileTest, open_script_needs_every_song_file) {
    std::string a = make("a.VMA", "VMA ");
    make("b.VMA", "VMA ");
    make("b.V40", "VMA ");
    write_script({"2 11025 032 SCRIPT", "1 " + dir.file("a.wav"), "3 " + dir.file("b.VMA")});
    EXPECT_EQ(open_station_script_songs(*ctx, path.c_str()), 2);  // a's companion is missing: no matter
    EXPECT_EQ(ctx->script.script_entries, 2);

    write_script({"2 11025 032 SCRIPT", "1 " + dir.file("a.wav"), "3 " + dir.file("c.wav")});
    EXPECT_EQ(open_station_script_songs(*ctx, path.c_str()), 0);
    EXPECT_EQ(host.last_message(),
              "Cannot open file " + dir.file("c.VMA") + "\nPlease check the script.");
    EXPECT_TRUE(host.messages.back().owned);
    expect_nothing_loaded();

    for (const std::string& unreadable : {dir.file("missing.VSK"), dir.path()}) {
        EXPECT_EQ(open_station_script_songs(*ctx, unreadable.c_str()), 0);
        EXPECT_EQ(open_live_list(*ctx, ctx->script, unreadable.c_str()), 0);
        expect_nothing_loaded();
    }
}

TEST_F(ScriptFileTest, live_list_loads_display_time_picture_and_text) {
    std::string picture = make("pic.bmp", bmp_bytes(40, 30, 8));
    write_script({"3 8000 LIVE", "360 \"" + picture + "\" Welcome, listeners", "60 \"\" Text only",
                  "120 " + dir.file("gone.bmp") + " later"});
    EXPECT_EQ(load_live_list(*ctx, ctx->script, path.c_str()), 3);
    EXPECT_TRUE(host.messages.empty());
    const ScriptEntry& first = ctx->script.entries[0];
    EXPECT_EQ(first.count, 360);
    EXPECT_STREQ(first.song, "");
    EXPECT_EQ(std::string(first.picture), picture);
    EXPECT_STREQ(first.text, "Welcome, listeners");
    EXPECT_STREQ(ctx->script.entries[1].text, "Text only");

    // The missing picture of the third entry fails the open, silently.
    EXPECT_EQ(open_live_list(*ctx, ctx->script, path.c_str()), 0);
    EXPECT_TRUE(host.messages.empty());
    expect_nothing_loaded();

    // An entry without a picture name shows its text alone.
    write_script({"2 8000 LIVE", "360 \"" + picture + "\" a", "60 \"\" b"});
    EXPECT_EQ(open_live_list(*ctx, ctx->script, path.c_str()), 2);
    EXPECT_EQ(ctx->script.script_entries, 2);
}

TEST_F(ScriptFileTest, live_list_refusals_show_their_messages) {
    struct Case {
        std::string bytes;
        std::string message;
    };
    std::string bad =
        make("bad.bmp", "BM not really a picture at all, just some text here and there");
    for (const Case& c :
         {Case{zero_lines({"2 8000 live", "1 \"\" a"}), "Invalid List!"},
          Case{zero_lines({"2 8000 032 LIVE", "1 \"\" a"}), "Invalid List!"},
          Case{zero_lines({"-1 8000 LIVE", "1 \"\" a"}), "Invalid List!"},
          Case{zero_lines({"0 8000 LIVE", "1 \"\" a"}), "Empty List!"},
          Case{zero_lines({"2 8000 LIVE", "1 " + bad + " a"}), bad + ": unknown file format!"}}) {
        host.messages.clear();
        write_file(path, c.bytes);
        EXPECT_EQ(load_live_list(*ctx, ctx->script, path.c_str()), 0) << c.message;
        EXPECT_EQ(host.last_message(), c.message);
        expect_nothing_loaded();
    }
    // The rate field of a live list is not checked.
    write_script({"1 12345 LIVE", "1 \"\" a"});
    EXPECT_EQ(load_live_list(*ctx, ctx->script, path.c_str()), 1);
}

TEST_F(ScriptFileTest, a_new_load_replaces_the_table) {
    write_script({"3 11025 032 SCRIPT", "1 a.VMA", "1 b.VMA", "1 c.VMA"});
    EXPECT_EQ(load_station_script(*ctx, path.c_str()), 3);
    write_script({"1 8000 LIVE", "10 \"\" live"});
    EXPECT_EQ(load_live_list(*ctx, ctx->script, path.c_str()), 1);
    ASSERT_EQ(ctx->script.entries.size(), 1u);
    EXPECT_STREQ(ctx->script.entries[0].text, "live");
    EXPECT_STREQ(ctx->script.entries[0].song, "");
}

}  // namespace
