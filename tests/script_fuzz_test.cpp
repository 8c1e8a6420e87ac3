// Fuzz targets for the script and live-list readers and the BMP check: the
// same library code the station runs, fed random and mutated files. Run them
// under the asan preset to catch any read or write outside a buffer.
//
// Input layout: a script or live list is a sequence of zero-terminated
// lines (header "%d %d %03d SCRIPT" or "%d %d LIVE", then entries); the
// inputs here are random bytes drawn mostly from the characters that mean
// something on such a line (digits, blanks, commas, quotes, ";", zero
// bytes), and valid files with random bytes overwritten, cut or appended. A
// BMP is a 54-byte header (and a colour table) followed by pixel rows; its
// inputs are valid pictures with random header fields and random lengths.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "app/context.h"
#include "app/program.h"
#include "media/live_list.h"
#include "media/script_file.h"
#include "media/script_tokens.h"
#include "script_test_media.h"
#include "media/picture_check.h"
#include "support/fake_host.h"
#include "support/station_script.h"
#include "support/temp_dir.h"

namespace {

constexpr int kRounds = 400;

struct ScriptFuzzTest : ::testing::Test {
    TempDir dir;
    FakeHost host;
    std::unique_ptr<Context> ctx = make_context(host);
    std::mt19937 random{20240611};

    int below(int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); }

    char line_byte() {
        static const char kMeaningful[] = "0123456789  ,,\"\";-+SCRIPTLIVEabc.VMAwavbmp";
        switch (below(4)) {
            case 0:
                return static_cast<char>(below(256));
            case 1:
                return '\0';
            default:
                return kMeaningful[below(sizeof kMeaningful - 1)];
        }
    }
    std::string random_lines(int max_length) {
        std::string bytes(static_cast<size_t>(below(max_length + 1)), '\0');
        for (char& c : bytes) c = line_byte();
        return bytes;
    }
    std::string mutate(std::string bytes) {
        int edits = 1 + below(8);
        for (int i = 0; i < edits; ++i) {
            switch (below(4)) {
                case 0:
                    if (!bytes.empty())
                        bytes[static_cast<size_t>(below(static_cast<int>(bytes.size())))] =
                            line_byte();
                    break;
                case 1:
                    bytes.resize(static_cast<size_t>(below(static_cast<int>(bytes.size()) + 1)));
                    break;
                case 2:
                    bytes += random_lines(64);
                    break;
                default:
                    if (!bytes.empty())
                        bytes[static_cast<size_t>(below(static_cast<int>(bytes.size())))] =
                            static_cast<char>(below(256));
            }
        }
        return bytes;
    }

    // What every load must leave behind, whatever it was fed.
    void expect_consistent_table(int result) {
        EXPECT_GE(result, -1);
        EXPECT_LE(result, SCRIPT_MAX_ENTRIES);
        EXPECT_EQ(static_cast<size_t>(ctx->script.script_entries), ctx->script.entries.size());
        EXPECT_EQ(ctx->script.loaded, ctx->script.script_entries > 0);
        if (result >= 0) {
            EXPECT_EQ(result, ctx->script.script_entries);
        }
        for (const ScriptEntry& e : ctx->script.entries) {
            EXPECT_LT(strnlen(e.song, sizeof e.song), sizeof e.song);
            EXPECT_LT(strnlen(e.picture, sizeof e.picture), sizeof e.picture);
            EXPECT_LT(strnlen(e.text, sizeof e.text), sizeof e.text);
        }
    }
};

TEST_F(ScriptFuzzTest, loaders_survive_random_and_mutated_files) {
    std::string picture = dir.file("p.bmp");
    write_file(picture, bmp_bytes(20, 20));
    write_file(dir.file("a.VMA"), "VMA ");
    const std::string seeds[] = {
        zero_lines({"3 11025 032 SCRIPT",
                    "2 \"" + dir.file("a.wav") + "\", \"" + picture + "\" text, \"quoted\" ;c",
                    "1 " + dir.file("a.VMA") + " " + picture + " x", "0 b.wav \"\" y"}),
        zero_lines({"2 8000 LIVE", "360 \"" + picture + "\" Welcome", "60 \"\" Text"}),
    };
    std::string path = dir.file("fuzz.VSK");
    int scripts_loaded = 0, lists_loaded = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::string bytes = below(3) == 0 ? random_lines(600) : mutate(seeds[below(2)]);
        write_file(path, bytes);
        host.answers.push_back(below(2) ? Answer::yes : Answer::no);
        ctx->state.SamplingRate = 11025;
        ctx->state.TransferRate = 2000;

        int loaded = below(2) ? load_station_script(*ctx, path.c_str()) : open_station_script_songs(*ctx, path.c_str());
        expect_consistent_table(loaded);
        if (loaded > 0) ++scripts_loaded;
        loaded = below(2) ? load_live_list(*ctx, ctx->script, path.c_str()) : open_live_list(*ctx, ctx->script, path.c_str());
        expect_consistent_table(loaded);
        if (loaded > 0) ++lists_loaded;

        int rate = 0, percent = 0;
        EXPECT_EQ(read_script_header(path.c_str(), &rate, &percent), 1);
        host.answers.clear();
    }
    // The mutations must leave some files loadable, or the loops were never reached.
    EXPECT_GT(scripts_loaded, 0);
    EXPECT_GT(lists_loaded, 0);
}

TEST_F(ScriptFuzzTest, tokenizer_stays_inside_the_line) {
    for (int round = 0; round < kRounds * 4; ++round) {
        // The readers hand the tokenizer zero-terminated text; nothing else is promised.
        std::string bytes = random_lines(1500) + '\0';
        const char* text = bytes.c_str();
        int position = 0;
        while (position < static_cast<int>(bytes.size())) {
            int count = 0;
            char f2[SCRIPT_NAME_SIZE], f3[SCRIPT_NAME_SIZE], rest[SCRIPT_TEXT_SIZE];
            int before = position;
            int result = parse_script_line(*ctx, text, &position, &count, f2, f3, rest);
            ASSERT_GT(position, before);
            EXPECT_EQ(result, text[before] != '\0' ? 1 : 0);
            EXPECT_LT(strlen(f2), sizeof f2);
            EXPECT_LT(strlen(rest), sizeof rest);
        }
        EXPECT_EQ(position, static_cast<int>(bytes.size()));

        char small[5];
        int p = 0;
        while (text[p] != '\0') {
            int next = next_token(text, p, small, sizeof small);
            EXPECT_LT(strlen(small), sizeof small);
            if (next == p) break;  // a blank-only tail ends at its zero byte
            p = next;
        }
        EXPECT_LE(p, static_cast<int>(strlen(text)));
    }
}

TEST_F(ScriptFuzzTest, picture_check_survives_random_headers) {
    std::string path = dir.file("fuzz.bmp");
    const std::string seeds[] = {bmp_bytes(40, 40), bmp_bytes(13, 7, 8)};
    int usable = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::string bytes = seeds[below(2)];
        if (below(5) == 0) {
            bytes = random_lines(200);
        } else {
            for (int i = 0, n = 1 + below(4); i < n; ++i) {
                size_t at = static_cast<size_t>(below(54 - 3));
                put_u32(bytes, at, static_cast<uint32_t>(random()));
            }
            if (below(3) == 0)
                bytes.resize(static_cast<size_t>(below(static_cast<int>(bytes.size()) + 1)));
        }
        write_file(path, bytes);
        int result = check_picture_file(path.c_str());
        ASSERT_TRUE(result == 0 || result == 1);
        if (result == 0) {
            // A usable picture's rows lie inside the file.
            ++usable;
            int32_t width = static_cast<int32_t>(
                static_cast<uint8_t>(bytes[18]) | static_cast<uint8_t>(bytes[19]) << 8 |
                static_cast<uint8_t>(bytes[20]) << 16 |
                static_cast<uint32_t>(static_cast<uint8_t>(bytes[21])) << 24);
            EXPECT_GT(width, 0);
            EXPECT_LE(width, 32767);
        }
    }
    EXPECT_GT(usable, 0);  // some mutations leave the picture intact
}

}  // namespace
