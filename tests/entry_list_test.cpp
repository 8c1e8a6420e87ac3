// The list behind both editors and the one writer of script and live-list
// files: the header rules, what is read of short, long and odd files, the
// entry round trip through the station's own loaders, the list operations,
// dropped files, and a save that fails half-way leaving the old file.

#include <gtest/gtest.h>

#include <filesystem>
#include <signal.h>
#include <sys/resource.h>

#include "app/context.h"
#include "app/program.h"
#include "app/settings.h"
#include "media/entry_list.h"
#include "media/live_list.h"
#include "media/sample_compression.h"
#include "media/script_file.h"
#include "media/script_table.h"
#include "platform/paths.h"
#include "platform/profile.h"
#include "script_test_media.h"
#include "support/fake_host.h"
#include "support/station_script.h"
#include "support/temp_dir.h"
#include "support/wav_bytes.h"

namespace {

struct EntryListTest : ::testing::Test {
    FakeHost host;
    std::unique_ptr<Context> ctx = make_context(host);
    TempDir dir;
    EntryList script{SCRIPT_LIST, {}, -1, false, {}};
    EntryList live{LIVE_LIST, {}, -1, false, {}};

    void SetUp() override {
        ctx->state.SamplingRate = 11025;
        ctx->state.TransferRate = 3528;
        ctx->state.settings_file = dir.file("station.ini");
    }
    int read(EntryList& list, const std::string& bytes) {
        write_file(dir.file("in.VSK"), bytes);
        return read_entry_file(*ctx, list, dir.file("in.VSK").c_str());
    }
};

TEST_F(EntryListTest, headers_are_checked_and_the_announced_count_is_what_is_read) {
    EXPECT_EQ(read(script, zero_lines({"2 11025 032 SCRIPT", "1 \"a.VMA\" \"\" ", "2 \"b.VMA\" \"\" x",
                                        "3 \"c.VMA\" \"\" "})),
              2);  // the third line is beyond the count
    EXPECT_EQ(script.entries, (std::vector<std::string>{"1 \"a.VMA\" \"\" ", "2 \"b.VMA\" \"\" x"}));
    EXPECT_FALSE(script.modified);

    // Appended, not replaced; an empty line is no entry; the file ends early.
    EXPECT_EQ(read(script, zero_lines({"3 11025 032 SCRIPT", "", "4 \"d.VMA\" \"\" "})), 1);
    EXPECT_EQ(script.entries.size(), 3u);
    // A last entry without its zero byte still counts; a negative count reads nothing.
    EXPECT_EQ(read(script, zero_lines({"5 11025 032 SCRIPT"}) + "7 \"e.VMA\" \"\" "), 1);
    EXPECT_EQ(script.entries.back(), "7 \"e.VMA\" \"\" ");
    EXPECT_EQ(read(script, zero_lines({"-3 11025 032 SCRIPT", "1 \"f.VMA\" \"\" "})), 0);
    EXPECT_TRUE(host.messages.empty());

    size_t before = script.entries.size();
    for (std::string header : {"1 11025 032 SCRIPTS", "1 11025 032 SCRIPT ", "SCRIPT", "2 8000 LIVE"}) {
        host.messages.clear();
        EXPECT_EQ(read(script, zero_lines({header, "1 \"g.VMA\" \"\" "})), -1) << header;
        EXPECT_EQ(host.last_message(), "Invalid Script") << header;
    }
    EXPECT_EQ(script.entries.size(), before);
    EXPECT_EQ(read_entry_file(*ctx, script, dir.file("missing.VSK").c_str()), 0);

    EXPECT_EQ(read(live, zero_lines({"1 11025 LIVE", "60 \"\" hello"})), 1);
    EXPECT_EQ(read(live, zero_lines({"1 11025 032 SCRIPT", "60 \"\" hello"})), -1);
    EXPECT_EQ(host.last_message(), "Invalid Text/Picture List");
    EXPECT_EQ(read(live, zero_lines({"LIVE"})), -1);  // shorter than 5 characters
}

// What the station plays from a script saved elsewhere: the files the
// original named, its relative names rewritten from the new folder.
TEST_F(EntryListTest, a_script_saved_to_another_folder_still_names_the_same_files) {
    make_directories(dir.file("a/songs"));
    make_directories(dir.file("b/deeper"));
    const std::string original = dir.file("a/show.VSK");
    write_file(original, zero_lines({"3 11025 032 SCRIPT", "1 \"songs/one.VMA\" \"pic.bmp\" A text",
                                     "2 \"/srv/two.VMA\" \"\" ", "1 \"three.VMA\" \"\" "}));
    ASSERT_EQ(read_entry_file(*ctx, script, original.c_str()), 3);
    auto played = [&](const std::string& path) {
        std::vector<std::string> names;
        EXPECT_GT(load_station_script(*ctx, path.c_str()), 0) << host.last_message();
        for (const ScriptEntry& e : ctx->script.entries) names.push_back(std::string(e.song) + "|" + e.picture);
        return names;
    };
    const std::vector<std::string> expected = played(original);
    ASSERT_EQ(expected[0], dir.file("a/songs/one.VMA") + "|" + dir.file("a/pic.bmp"));

    for (const char* copy : {"b/deeper/copy.VSK", "b/copy.VSK", "a/again.VSK"}) {
        ASSERT_EQ(save_entry_file(*ctx, ctx->state, script, dir.file(copy)), 1) << copy << host.last_message();
        std::vector<std::string> heard = played(dir.file(copy));
        for (std::string& name : heard) name = std::filesystem::path(name).lexically_normal().string();
        EXPECT_EQ(heard, expected) << copy;
    }
    // Back in the first folder the entries read as they did in the original.
    EXPECT_EQ(script.entries[0], "1 \"songs/one.VMA\" \"pic.bmp\" A text");
    EXPECT_EQ(script.entries[1], "2 \"/srv/two.VMA\" \"\" ");

    // A file added from another folder joins with names seen from the list's origin.
    write_file(dir.file("b/more.VSK"), zero_lines({"1 11025 032 SCRIPT", "1 \"four.VMA\" \"\" "}));
    ASSERT_EQ(read_entry_file(*ctx, script, dir.file("b/more.VSK").c_str()), 1);
    EXPECT_EQ(split_entry(SCRIPT_LIST, script.entries[3]).song, "../b/four.VMA");
}

TEST_F(EntryListTest, saved_entries_load_as_written_in_the_station_and_in_the_editor) {
    write_file(dir.file("pic.bmp"), bmp_bytes(64, 32));
    EntryFields song{2, dir.file("song one.VMA"), "", ""};
    script.entries.push_back(format_entry(SCRIPT_LIST, song));
    EXPECT_EQ(script.entries[0], "2 \"" + dir.file("song one.VMA") + "\" \"\" ");
    EntryFields pictured{12, dir.file("b.VMA"), dir.file("pic.bmp"), "A, \"quoted\" text"};
    script.entries.push_back(format_entry(SCRIPT_LIST, pictured));
    script.modified = true;
    const std::string path = dir.file("show.VSK");
    ASSERT_EQ(save_entry_file(*ctx, ctx->state, script, path), 1);
    EXPECT_FALSE(script.modified);
    // The header carries the rate percentage the station compresses at
    // (3528 bytes per second of 11025 Hz), the one velmora-script writes too.
    EXPECT_EQ(read_file(path).substr(0, 20), std::string("2 11025 032 SCRIPT\0", 19) + '2');

    EntryList again{SCRIPT_LIST, {}, -1, false, {}};
    ASSERT_EQ(read_entry_file(*ctx, again, path.c_str()), 2);
    EXPECT_EQ(again.entries, script.entries);
    EntryFields back = split_entry(SCRIPT_LIST, again.entries[1]);
    EXPECT_EQ(back.count, 12);
    EXPECT_EQ(back.song, pictured.song);
    EXPECT_EQ(back.picture, pictured.picture);
    EXPECT_EQ(back.text, pictured.text);
    // The station reads the same file the same way, even before its songs
    // are prepared (a header of 000 was refused by every loader).
    ASSERT_EQ(load_station_script(*ctx, path.c_str()), 2);
    EXPECT_TRUE(host.messages.empty()) << host.last_message();
    EXPECT_EQ(ctx->script.entries[1].count, 12);
    EXPECT_STREQ(ctx->script.entries[1].picture, pictured.picture.c_str());
    EXPECT_STREQ(ctx->script.entries[1].text, pictured.text.c_str());

    // A live list: two-line texts survive, a new entry reads 360 "" and nothing.
    EntryFields shown = split_entry(LIVE_LIST, NEW_LIVE_ENTRY);
    EXPECT_EQ(format_entry(LIVE_LIST, shown), "360 \"\" ");
    live.entries = {format_entry(LIVE_LIST, shown),
                    format_entry(LIVE_LIST, {90, "", dir.file("pic.bmp"), "first line\nsecond line"})};
    ASSERT_EQ(save_entry_file(*ctx, ctx->state, live, dir.file("show.live")), 1);
    EXPECT_EQ(read_file(dir.file("show.live")).substr(0, 13), std::string("2 11025 LIVE\0", 13));
    EntryList live_again{LIVE_LIST, {}, -1, false, {}};
    ASSERT_EQ(read_entry_file(*ctx, live_again, dir.file("show.live").c_str()), 2);
    EXPECT_EQ(split_entry(LIVE_LIST, live_again.entries[1]).text, "first line\nsecond line");
    ASSERT_EQ(load_live_list(*ctx, ctx->script, dir.file("show.live").c_str()), 2);
    EXPECT_STREQ(ctx->script.entries[1].text, "first line\nsecond line");
    EXPECT_EQ(ctx->script.entries[0].count, 360);
}

TEST_F(EntryListTest, a_save_that_fails_half_way_keeps_the_old_file_and_the_changes) {
    const std::string path = dir.file("show.VSK");
    const std::string old_bytes = zero_lines({"1 11025 032 SCRIPT", "1 \"old.VMA\" \"\" "});
    write_file(path, old_bytes);
    for (int i = 0; i < 400; ++i) script.entries.push_back("1 \"" + std::string(200, 's') + ".VMA\" \"\" ");
    script.modified = true;

    // The disk fills up after 4 KB: the rest of the write fails.
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    sighandler_t old_handler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int result = save_entry_file(*ctx, ctx->state, script, path);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);

    EXPECT_EQ(result, 0);
    EXPECT_TRUE(script.modified);
    EXPECT_EQ(read_file(path), old_bytes);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_NE(host.last_message().find(path), std::string::npos);
    EXPECT_NE(host.last_message().find("too large"), std::string::npos) << host.last_message();
    ASSERT_EQ(save_entry_file(*ctx, ctx->state, script, dir.file("other/missing/show.VSK")), 0);

    // A script is never saved over a file it names.
    write_file(dir.file("song.wav"), "RIFF");
    EntryList named{SCRIPT_LIST, {format_entry(SCRIPT_LIST, {1, dir.file("song.wav"), "", ""})}, -1, true, {}};
    EXPECT_EQ(save_entry_file(*ctx, ctx->state, named, dir.file("song.wav")), 0);
    EXPECT_EQ(read_file(dir.file("song.wav")), "RIFF");
    EXPECT_NE(host.last_message().find("names that file itself"), std::string::npos);
}

TEST_F(EntryListTest, add_remove_and_duplicate_move_the_selection_as_each_editor_wants) {
    insert_entry(script, insert_position(*ctx, script), "a");  // empty: appended, selected
    EXPECT_EQ(script.selected, 0);
    EXPECT_TRUE(script.modified);
    host.answers = {Answer::no};  // caret on the first: "Add to the top?" No puts it second
    insert_entry(script, insert_position(*ctx, script), "b");
    EXPECT_EQ(host.last_message(), TOP_QUESTION);
    host.answers = {Answer::yes};
    script.selected = 0;
    insert_entry(script, insert_position(*ctx, script), "c");
    script.selected = 1;
    size_t asked = host.messages.size();
    insert_entry(script, insert_position(*ctx, script), "d");  // right below the caret
    EXPECT_EQ(host.messages.size(), asked);
    EXPECT_EQ(script.entries, (std::vector<std::string>{"c", "a", "d", "b"}));
    EXPECT_EQ(script.selected, 2);

    duplicate_selected(script);
    EXPECT_EQ(script.entries, (std::vector<std::string>{"c", "a", "d", "d", "b"}));
    EXPECT_EQ(script.selected, 2);
    script.selected = 4;
    remove_selected(script);  // the last one: the new last is selected
    EXPECT_EQ(script.selected, 3);
    script.selected = 1;
    remove_selected(script);
    EXPECT_EQ(script.entries, (std::vector<std::string>{"c", "d", "d"}));
    EXPECT_EQ(script.selected, 1);
    script.selected = -1;
    remove_selected(script);
    EXPECT_EQ(script.entries.size(), 3u);

    live.entries = {"60 \"\" a", "60 \"\" b"};
    live.selected = 0;
    remove_selected(live);  // a live list keeps no selection
    EXPECT_EQ(live.selected, -1);
    remove_selected(live);
    EXPECT_EQ(live.entries.size(), 1u);
}

TEST_F(EntryListTest, dropped_sound_files_are_checked_and_other_files_ignored) {
    std::string tone(11025, '\x80');
    write_file(dir.file("tone.WAV"), wav_bytes::pcm(11025, 1, 8, tone));
    write_file(dir.file("fast.wav"), wav_bytes::pcm(44100, 1, 8, tone));  // resampled later
    write_file(dir.file("notes.txt"), "hello");
    write_file(dir.file("ulaw.wav"), wav_bytes::riff(wav_bytes::chunk("fmt ", wav_bytes::format(7, 1, 8000, 8)) +
                                                     wav_bytes::chunk("data", tone)));
    const std::string long_path = dir.path() + "/" + std::string(260 - dir.path().size(), 'l') + ".wav";
    int added = drop_sound_files(*ctx, ctx->state, script,
                                 {dir.file("tone.WAV"), dir.file("notes.txt"), dir.file("fast.wav"),
                                  dir.file("gone.vma"), dir.file("ulaw.wav"), long_path});
    EXPECT_EQ(added, 2);
    EXPECT_EQ(script.entries, (std::vector<std::string>{"1 \"" + dir.file("tone.WAV") + "\" \"\" ",
                                                         "1 \"" + dir.file("fast.wav") + "\" \"\" "}));
    EXPECT_FALSE(script.modified);
    ASSERT_EQ(host.messages.size(), 3u);
    EXPECT_EQ(host.messages[0].text, dir.file("gone.vma") + ": File Not Found!\n");
    EXPECT_EQ(host.messages[1].text,
              dir.file("ulaw.wav") + ": unknown file format!\nOnly PCM wave files are supported.");
    EXPECT_NE(host.messages[2].text.find("longer than 255 characters"), std::string::npos);
    EXPECT_EQ(accept_entry_path(*ctx, "a;b.wav"), 0);
}

TEST_F(EntryListTest, song_info_refuses_a_text_named_wav_and_texts_the_station_would_cut) {
    write_file(dir.file("notes.wav"), "my notes, not a song\n");
    write_file(dir.file("tone.wav"), wav_bytes::pcm(11025, 1, 8, std::string(11025, '\x80')));
    EXPECT_EQ(accept_song_file(*ctx, ctx->state, dir.file("notes.wav")), 0);
    EXPECT_EQ(host.last_message(),
              dir.file("notes.wav") +
                  ": unknown file format!\nIt is not a RIFF/WAVE file; only PCM wave files "
                  "are supported.");
    EXPECT_EQ(accept_song_file(*ctx, ctx->state, dir.file("tone.wav")), 1);

    struct Case {
        std::string text;
        int accepted;
        const char* says;
    };
    for (const Case& c :
         std::vector<Case>{{"", 1, ""},
                           {"Two lines\nof text", 1, ""},
                           {std::string(ENTRY_TEXT_MAX, 'x'), 1, ""},
                           {std::string(ENTRY_TEXT_MAX + 1, 'x'), 0, "751 characters"},
                           {"half; lost", 0, "\";\""},
                           {"say \"hello\"", 0, "double quote"}}) {
        host.messages.clear();
        EXPECT_EQ(accept_entry_text(*ctx, c.text), c.accepted) << c.text;
        if (c.accepted)
            EXPECT_TRUE(host.messages.empty()) << c.text;
        else
            EXPECT_NE(host.last_message().find(c.says), std::string::npos) << host.last_message();
    }
}

TEST_F(EntryListTest, closing_and_the_default_question_follow_the_answers) {
    EXPECT_EQ(close_decision(*ctx, script), CLOSE_NOW);
    EXPECT_TRUE(host.messages.empty());
    script.modified = true;
    host.answers = {Answer::yes, Answer::no, Answer::cancel};
    EXPECT_EQ(close_decision(*ctx, script), CLOSE_AFTER_SAVE);
    EXPECT_EQ(close_decision(*ctx, script), CLOSE_DISCARD);
    EXPECT_EQ(close_decision(*ctx, script), CLOSE_STAY);
    EXPECT_EQ(host.last_message(), SAVE_QUESTION);

    const std::string path = dir.file("a-rather-long-folder-name-" + std::string(150, 'f') + "/show.VSK");
    host.messages.clear();
    EXPECT_EQ(offer_as_default(*ctx, SCRIPT_LIST, path), 1);
    EXPECT_EQ(host.last_message(), DEFAULT_QUESTION);
    EXPECT_EQ(ctx->state.StationScript, path);
    load_settings(*ctx, true);  // read back whole, not cut
    EXPECT_EQ(ctx->state.StationScript, path);
    host.messages.clear();
    std::string upper = path;
    for (char& c : upper) c = static_cast<char>(toupper(c));
    EXPECT_EQ(offer_as_default(*ctx, SCRIPT_LIST, upper), 0);  // the same file to the station
    EXPECT_TRUE(host.messages.empty());
    host.answers = {Answer::no};
    EXPECT_EQ(offer_as_default(*ctx, LIVE_LIST, dir.file("show.live")), 0);
    EXPECT_EQ(ctx->state.LiveScript, "");
}

}  // namespace
