#include "media/script_tokens.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "app/context.h"
#include "app/program.h"
#include "media/script_table.h"
#include "script_test_media.h"
#include "support/fake_host.h"

namespace {

struct ParsedLine {
    int result = -1;
    int position = 0;
    int count = -1;
    char field2[SCRIPT_NAME_SIZE];
    char field3[SCRIPT_NAME_SIZE];
    char rest[SCRIPT_TEXT_SIZE];
};

struct ScriptTokensTest : ::testing::Test {
    FakeHost host;
    std::unique_ptr<Context> ctx = make_context(host);

    // Parses the first line of `bytes` (given without its zero byte).
    ParsedLine parse(const std::string& line) {
        std::string bytes = line + '\0';
        ParsedLine p;
        p.result = parse_script_line(*ctx, bytes.c_str(), &p.position, &p.count, p.field2, p.field3,
                                     p.rest);
        return p;
    }
};

TEST_F(ScriptTokensTest, entry_line_gives_count_song_picture_and_text) {
    ParsedLine p = parse("3 song.VMA pic.bmp  Hello, \"World\" and more");
    EXPECT_EQ(p.result, 1);
    EXPECT_EQ(p.count, 3);
    EXPECT_STREQ(p.field2, "song.VMA");
    EXPECT_STREQ(p.field3, "pic.bmp");
    EXPECT_STREQ(p.rest, "Hello, \"World\" and more");  // the text is taken unchanged
}

TEST_F(ScriptTokensTest, semicolon_cuts_the_line_even_inside_quotes) {
    ParsedLine p = parse("2 \"My Song.wav\", \"\" ; a comment");
    EXPECT_EQ(p.count, 2);
    EXPECT_STREQ(p.field2, "My Song.wav");
    EXPECT_STREQ(p.field3, "");
    EXPECT_STREQ(p.rest, "");

    p = parse("1 \"a;b.VMA\" pic text");
    EXPECT_STREQ(p.field2, "a");  // the quote never closes before the cut
    EXPECT_STREQ(p.field3, "");
    EXPECT_STREQ(p.rest, "");
}

TEST_F(ScriptTokensTest, blanks_before_the_cut_and_at_the_end_are_dropped) {
    EXPECT_STREQ(parse("1 a.VMA b.bmp  some text   ").rest, "some text");
    EXPECT_STREQ(parse("1 a.VMA b.bmp some text   ;x").rest, "some text");
}

TEST_F(ScriptTokensTest, quoted_fields_keep_blanks_and_commas_unquoted_ones_keep_commas) {
    ParsedLine p = parse("1 \"Best of, Vol 2.VMA\",\" pic .bmp\",text");
    EXPECT_STREQ(p.field2, "Best of, Vol 2.VMA");
    EXPECT_STREQ(p.field3, " pic .bmp");
    EXPECT_STREQ(p.rest, ",text");  // the text is not a field: its comma stays

    p = parse("1 song.VMA, pic.bmp");
    EXPECT_STREQ(p.field2, "song.VMA,");
    EXPECT_STREQ(p.field3, "pic.bmp");

    p = parse("1,song.VMA pic.bmp");  // the comma belongs to the number's field
    EXPECT_EQ(p.count, 1);
    EXPECT_STREQ(p.field2, "pic.bmp");
}

TEST_F(ScriptTokensTest, numeric_fields_read_like_atoi) {
    EXPECT_EQ(parse("12abc x").count, 12);
    EXPECT_EQ(parse("-3 x").count, -3);
    EXPECT_EQ(parse("+7 x").count, 7);
    EXPECT_EQ(parse("x y").count, 0);
    EXPECT_EQ(parse("\"42\" y").count, 42);
    EXPECT_EQ(parse("99999999999999999999 y").count, INT_MAX);
    EXPECT_EQ(parse("-99999999999999999999 y").count, INT_MIN);
    EXPECT_EQ(script_number("032"), 32);
}

TEST_F(ScriptTokensTest, empty_line_is_skipped_but_a_cut_away_line_is_an_entry) {
    ParsedLine empty = parse("");
    EXPECT_EQ(empty.result, 0);
    EXPECT_EQ(empty.position, 1);  // past the zero byte

    ParsedLine comment = parse(";only a comment");
    EXPECT_EQ(comment.result, 1);
    EXPECT_EQ(comment.count, 0);
    EXPECT_STREQ(comment.field2, "");
    EXPECT_STREQ(comment.rest, "");
}

TEST_F(ScriptTokensTest, lines_are_walked_one_zero_byte_at_a_time) {
    std::string bytes = zero_lines({"2 8000 032 SCRIPT", "", "1 a.VMA", "5 b.VMA"});
    const char* text = bytes.c_str();
    int position = 0, count = 0;
    char song[SCRIPT_NAME_SIZE];
    EXPECT_EQ(parse_script_line(*ctx, text, &position, &count, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(parse_script_line(*ctx, text, &position, &count, song, nullptr, nullptr), 0);
    EXPECT_EQ(parse_script_line(*ctx, text, &position, &count, song, nullptr, nullptr), 1);
    EXPECT_STREQ(song, "a.VMA");
    EXPECT_EQ(parse_script_line(*ctx, text, &position, &count, song, nullptr, nullptr), 1);
    EXPECT_EQ(count, 5);
    EXPECT_EQ(position, static_cast<int>(bytes.size()));
}

TEST_F(ScriptTokensTest, headers_of_both_kinds_parse) {
    ParsedLine script = parse("3 11025 032 SCRIPT");
    EXPECT_EQ(script.count, 3);
    EXPECT_STREQ(script.field2, "11025");
    EXPECT_STREQ(script.field3, "032");
    EXPECT_STREQ(script.rest, "SCRIPT");

    std::string live = zero_lines({"4 22050 LIVE"});
    int position = 0, count = 0;
    char rate[SCRIPT_NAME_SIZE], rest[SCRIPT_TEXT_SIZE];
    EXPECT_EQ(parse_list_line(*ctx, live.c_str(), &position, &count, rate, rest), 1);
    EXPECT_EQ(count, 4);
    EXPECT_STREQ(rate, "22050");
    EXPECT_STREQ(rest, "LIVE");
}

TEST_F(ScriptTokensTest, overlong_fields_are_cut_to_the_record_widths) {
    std::string song(400, 's'), picture(300, 'p'), text(900, 't');
    ParsedLine p = parse("1 " + song + " \"" + picture + "\" " + text);
    EXPECT_EQ(std::string(p.field2), song.substr(0, SCRIPT_NAME_SIZE - 1));
    EXPECT_EQ(std::string(p.field3), picture.substr(0, SCRIPT_NAME_SIZE - 1));
    // The line itself is read through 1024 characters: 2 + 400 + 1 + 302 + 1 = 706
    // of them come before the text.
    EXPECT_EQ(std::string(p.rest), text.substr(0, SCRIPT_LINE_SIZE - 1 - 706));

    std::string huge(5000, 'x');
    ParsedLine h = parse(huge);
    EXPECT_EQ(h.position, 5001);  // the whole line is passed over
}

TEST(ScriptTokens, next_token_stops_after_the_closing_quote_and_cuts_safely) {
    const char* line = " , \"a b\"rest";
    char out[8];
    int p = next_token(line, 0, out, sizeof out);
    EXPECT_STREQ(out, "a b");
    EXPECT_EQ(p, 8);
    EXPECT_EQ(skip_blanks("   x", 0), 3);
    EXPECT_EQ(skip_blanks(" ,x", 0), 1);  // commas are not blanks

    char small[4];
    p = next_token("abcdefg h", 0, small, sizeof small);
    EXPECT_STREQ(small, "abc");
    EXPECT_EQ(p, 7);

    p = next_token("\"never closed", 0, small, sizeof small);
    EXPECT_STREQ(small, "nev");
    EXPECT_EQ(p, 13);
}

}  // namespace
