#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/context.h"
#include "compression_test_media.h"
#include "media/picture_pass.h"
#include "script_test_media.h"
#include "server/picture_service.h"
#include "support/fake_host.h"
#include "support/temp_dir.h"

namespace {

using namespace compression_media;

bool exists(const std::string& path) { return std::filesystem::exists(path); }

struct PicturePassTest : ::testing::Test {
    FakeHost host;
    std::unique_ptr<Context> ctx = make_context(host);
    TempDir dir;
    PicturePass pass;
};

TEST_F(PicturePassTest, script_pictures_are_prepared_one_entry_per_step) {
    write_file(dir.file("a.bmp"), bmp_bytes(64, 64));
    write_file(dir.file("b.bmp"), bmp_bytes(40, 32, 8));
    write_file(dir.file("s.VSK"),
               zero_lines({"4 11025 032 SCRIPT", "1 x.VMA " + dir.file("a.bmp") + " first", "",
                           "1 y.VMA \"\" no picture", "1 z.VMA " + dir.file("missing.bmp") + " gone",
                           "1 w.VMA " + dir.file("b.bmp") + " last"}));
    int percents = 0;
    pass.progress = [&](int) { ++percents; };
    ASSERT_EQ(open_picture_pass(*ctx, pass, dir.file("s.VSK").c_str(), true), 4);

    EXPECT_EQ(picture_pass_step(*ctx, pass), PICTURE_PASS_RUNNING);
    EXPECT_STREQ(pass.count_text, "3 left");
    EXPECT_EQ(pass.picture, dir.file("a.bmp"));
    EXPECT_TRUE(exists(dir.file("a.dbp")));
    EXPECT_GT(percents, 0);
    EXPECT_EQ(picture_pass_step(*ctx, pass), PICTURE_PASS_RUNNING);
    EXPECT_EQ(pass.picture, "");
    EXPECT_EQ(picture_pass_step(*ctx, pass), PICTURE_PASS_RUNNING);
    EXPECT_EQ(picture_pass_step(*ctx, pass), PICTURE_PASS_DONE);
    EXPECT_STREQ(pass.count_text, "0 left");
    EXPECT_TRUE(exists(dir.file("b.dbp")));
    EXPECT_EQ(pass.prepared, 2);
    EXPECT_EQ(pass.failed, 1);
    // Nothing is shown: the pass leaves the main slot empty.
    EXPECT_TRUE(ctx->pictures.slots[PICTURE_MAIN].block.empty());
    EXPECT_EQ(picture_pass_step(*ctx, pass), PICTURE_PASS_DONE);
}

TEST_F(PicturePassTest, live_list_pictures_and_the_shown_picture_comes_back) {
    write_file(dir.file("a.bmp"), bmp_bytes(64, 64));
    write_file(dir.file("shown.bmp"), bmp_bytes(96, 32));
    ASSERT_EQ(load_picture(*ctx, dir.file("shown.bmp").c_str(), PICTURE_MAIN), 1);
    ctx->pictures.shown_name = dir.file("shown.bmp");

    write_file(dir.file("live.txt"), zero_lines({"1 11025 LIVE", "30 " + dir.file("a.bmp") + " hello"}));
    ASSERT_EQ(open_picture_pass(*ctx, pass, dir.file("live.txt").c_str(), false), 1);
    EXPECT_EQ(picture_pass_step(*ctx, pass), PICTURE_PASS_DONE);
    EXPECT_EQ(pass.prepared, 1);
    EXPECT_TRUE(exists(dir.file("a.dbp")));
    EXPECT_EQ(ctx->pictures.slots[PICTURE_MAIN].width, 96);
}

TEST_F(PicturePassTest, no_file_or_an_unreadable_one_closes_at_once) {
    EXPECT_EQ(open_picture_pass(*ctx, pass, nullptr, true), 0);
    EXPECT_EQ(open_picture_pass(*ctx, pass, "", true), 0);
    EXPECT_EQ(open_picture_pass(*ctx, pass, dir.file("none.VSK").c_str(), true), 0);
    EXPECT_EQ(picture_pass_step(*ctx, pass), PICTURE_PASS_DONE);
    // A count beyond the lines present ends with the file.
    write_file(dir.file("short.VSK"), zero_lines({"9 11025 032 SCRIPT", "1 a.VMA \"\" one"}));
    ASSERT_EQ(open_picture_pass(*ctx, pass, dir.file("short.VSK").c_str(), true), 9);
    EXPECT_EQ(picture_pass_step(*ctx, pass), PICTURE_PASS_RUNNING);
    EXPECT_EQ(picture_pass_step(*ctx, pass), PICTURE_PASS_DONE);
}

struct ToolTest : ::testing::Test {
    TempDir dir;

    // Runs velmora-compress in the test directory; returns its exit status.
    int run(const std::string& arguments) {
        const std::string command = "cd '" + dir.path() + "' && '" VELMORA_BIN_DIR "/velmora-compress' " +
                                    arguments + " >out.txt 2>err.txt";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    void settings(int rate, int transfer) {
        write_file(dir.file("station.ini"), "[VelmoraStation]\nSamplingRate=" + std::to_string(rate) +
                                                "\nTransferRate=" + std::to_string(transfer) + "\n");
    }
};

TEST_F(ToolTest, script_songs_and_pictures_are_prepared_and_a_refusal_fails_the_run) {
    settings(11025, 3528);
    write_file(dir.file("a.wav"), wav(44100, 2, 16, tone(44100, 2, 16, 0.5)));
    write_file(dir.file("pic.bmp"), bmp_bytes(64, 32));
    write_file(dir.file("good.VSK"), zero_lines({"1 8000 032 SCRIPT", "1 a.wav pic.bmp a song"}));
    ASSERT_EQ(run("--settings station.ini good.VSK"), 0) << read_file(dir.file("err.txt"));
    EXPECT_EQ(read_sample_file(dir.file("a.VMA")).frames.size(), 8u);
    EXPECT_EQ(read_sample_file(dir.file("a.V40")).header.rate_code, 63);
    EXPECT_TRUE(exists(dir.file("pic.dbp")));
    EXPECT_EQ(read_file(dir.file("good.VSK")).substr(0, 19), std::string("1 11025 032 SCRIPT\0", 19));
    EXPECT_NE(read_file(dir.file("err.txt")).find("Compressing sample 1 of 1 (100%)"), std::string::npos);

    write_file(dir.file("bad.VSK"), zero_lines({"2 11025 032 SCRIPT", "1 a.wav \"\" x", "1 gone.wav \"\" y"}));
    EXPECT_EQ(run("--settings station.ini bad.VSK"), 1);
    EXPECT_NE(read_file(dir.file("err.txt")).find("Cannot open file gone.wav\nPlease check the script."),
              std::string::npos);
    EXPECT_EQ(run("--settings station.ini missing.VSK"), 1);

    // A file that is not a script is refused, not given a script header.
    const std::string live = zero_lines({"1 8000 LIVE", "60 \"\" hello"});
    write_file(dir.file("live.txt"), live);
    EXPECT_EQ(run("--settings station.ini live.txt"), 1);
    EXPECT_EQ(read_file(dir.file("live.txt")), live);
    EXPECT_NE(read_file(dir.file("err.txt")).find("Invalid Script!"), std::string::npos);
}

TEST_F(ToolTest, one_file_takes_rates_from_settings_and_options_and_force_recompresses) {
    settings(22050, 3000);
    write_file(dir.file("in.wav"), wav(22050, 1, 8, tone(22050, 1, 8, 1.0)));
    ASSERT_EQ(run("--settings station.ini in.wav"), 0) << read_file(dir.file("err.txt"));
    SampleFile made = read_sample_file(dir.file("in.VMA"));
    EXPECT_EQ(made.header.sampling_rate, 22050u);
    EXPECT_EQ(made.header.rate_code, 3000 * 100 / 22050);

    ASSERT_EQ(run("--settings station.ini --sampling-rate 11025 --transfer-rate 2000 in.wav out.VMA"), 0);
    made = read_sample_file(dir.file("out.VMA"));
    EXPECT_EQ(made.header.sampling_rate, 11025u);
    EXPECT_EQ(made.header.rate_code, 18);
    EXPECT_EQ(read_sample_file(dir.file("out.V40")).header.rate_code, 36);

    // Up to date: passed over; --force compresses again.
    const std::string original = read_file(dir.file("out.VMA"));
    std::string marked = original;
    marked.back() ^= 0x33;
    write_file(dir.file("out.VMA"), marked);
    ASSERT_EQ(run("--settings station.ini --sampling-rate 11025 --transfer-rate 2000 in.wav out.VMA"), 0);
    EXPECT_EQ(read_file(dir.file("out.VMA")), marked);
    ASSERT_EQ(run("--force --settings station.ini --sampling-rate 11025 --transfer-rate 2000 in.wav out.VMA"), 0);
    EXPECT_EQ(read_file(dir.file("out.VMA")), original);
}

// Voice stations run at 1000 bytes per second, and a running station can
// be taken down to 500.
TEST_F(ToolTest, transfer_rates_down_to_500_bytes_per_second_are_taken) {
    settings(8000, 2000);
    write_file(dir.file("v.wav"), wav(8000, 1, 8, tone(8000, 1, 8, 0.5)));
    ASSERT_EQ(run("--settings station.ini --transfer-rate 1000 v.wav"), 0) << read_file(dir.file("err.txt"));
    EXPECT_EQ(read_sample_file(dir.file("v.VMA")).header.rate_code, 12);  // 1000 * 100 / 8000
    EXPECT_EQ(read_sample_file(dir.file("v.V40")).header.rate_code, 24);
    ASSERT_EQ(run("--settings station.ini --sampling-rate 44100 --transfer-rate 500 v.wav"), 0)
        << read_file(dir.file("err.txt"));
    EXPECT_EQ(read_sample_file(dir.file("v.VMA")).header.rate_code, 1);
    EXPECT_NE(read_file(dir.file("err.txt")).find("station: 44100 Hz, 500 bytes per second"), std::string::npos);
}

TEST_F(ToolTest, bad_sources_and_bad_usage_fail) {
    settings(11025, 3528);
    EXPECT_EQ(run("--settings station.ini nothing.wav"), 1);
    EXPECT_NE(read_file(dir.file("err.txt")).find("nothing.wav: File Not Found!"), std::string::npos);
    write_file(dir.file("nodata.wav"), wav_bytes::riff(wav_bytes::chunk("fmt ", wav_bytes::format(1, 1, 11025, 8))));
    EXPECT_EQ(run("--settings station.ini nodata.wav"), 1);
    EXPECT_EQ(run(""), 2);
    EXPECT_EQ(run("--sampling-rate 12345 a.wav"), 2);
    EXPECT_EQ(run("--transfer-rate -5 a.wav"), 2);
    // Rates the station does not run at: rate percentage 0, or beyond 4 x 8000.
    write_file(dir.file("a.wav"), wav(8000, 1, 8, tone(8000, 1, 8, 0.1)));
    EXPECT_EQ(run("--settings station.ini --transfer-rate 1 a.wav"), 2);
    EXPECT_EQ(run("--settings station.ini --sampling-rate 8000 --transfer-rate 32001 a.wav"), 2);
    EXPECT_NE(read_file(dir.file("err.txt")).find("--transfer-rate must lie between 500 and 32000"),
              std::string::npos);
    EXPECT_EQ(run("--settings station.ini --sampling-rate 8000 --transfer-rate 499 a.wav"), 2);
    EXPECT_FALSE(exists(dir.file("a.VMA")));
    EXPECT_EQ(run("--settings station.ini --sampling-rate 8000 --transfer-rate 2000 a.wav"), 0);
    EXPECT_EQ(read_sample_file(dir.file("a.VMA")).header.rate_code, 25);
    EXPECT_EQ(run("--bogus a.wav"), 2);
}

}  // namespace
