#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>

#include "app/context.h"
#include "app/program.h"
#include "compression_test_media.h"
#include "media/picture_pass.h"
#include "script_test_media.h"
#include "server/picture_service.h"
#include "support/fake_host.h"
#include "support/scoped_env.h"
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

    EXPECT_EQ(picture_pass_step(*ctx, ctx->pictures, pass), PICTURE_PASS_RUNNING);
    EXPECT_STREQ(pass.count_text, "3 left");
    EXPECT_EQ(pass.picture, dir.file("a.bmp"));
    EXPECT_TRUE(exists(dir.file("a.dbp")));
    EXPECT_GT(percents, 0);
    EXPECT_EQ(picture_pass_step(*ctx, ctx->pictures, pass), PICTURE_PASS_RUNNING);
    EXPECT_EQ(pass.picture, "");
    EXPECT_EQ(picture_pass_step(*ctx, ctx->pictures, pass), PICTURE_PASS_RUNNING);
    EXPECT_EQ(picture_pass_step(*ctx, ctx->pictures, pass), PICTURE_PASS_DONE);
    EXPECT_STREQ(pass.count_text, "0 left");
    EXPECT_TRUE(exists(dir.file("b.dbp")));
    EXPECT_EQ(pass.prepared, 2);
    EXPECT_EQ(pass.failed, 1);
    // Nothing is shown: the pass leaves the main slot empty.
    EXPECT_TRUE(ctx->pictures.slots[PICTURE_MAIN].block.empty());
    EXPECT_EQ(picture_pass_step(*ctx, ctx->pictures, pass), PICTURE_PASS_DONE);
}

TEST_F(PicturePassTest, live_list_pictures_and_the_shown_picture_comes_back) {
    write_file(dir.file("a.bmp"), bmp_bytes(64, 64));
    write_file(dir.file("shown.bmp"), bmp_bytes(96, 32));
    ASSERT_EQ(load_picture(*ctx, ctx->pictures, dir.file("shown.bmp").c_str(), PICTURE_MAIN), 1);
    ctx->pictures.shown_name = dir.file("shown.bmp");

    write_file(dir.file("live.txt"), zero_lines({"1 11025 LIVE", "30 " + dir.file("a.bmp") + " hello"}));
    ASSERT_EQ(open_picture_pass(*ctx, pass, dir.file("live.txt").c_str(), false), 1);
    EXPECT_EQ(picture_pass_step(*ctx, ctx->pictures, pass), PICTURE_PASS_DONE);
    EXPECT_EQ(pass.prepared, 1);
    EXPECT_TRUE(exists(dir.file("a.dbp")));
    EXPECT_EQ(ctx->pictures.slots[PICTURE_MAIN].width, 96);
}

TEST_F(PicturePassTest, no_file_or_an_unreadable_one_closes_at_once) {
    EXPECT_EQ(open_picture_pass(*ctx, pass, nullptr, true), 0);
    EXPECT_EQ(open_picture_pass(*ctx, pass, "", true), 0);
    EXPECT_EQ(open_picture_pass(*ctx, pass, dir.file("none.VSK").c_str(), true), 0);
    EXPECT_EQ(picture_pass_step(*ctx, ctx->pictures, pass), PICTURE_PASS_DONE);
    // A count beyond the lines present ends with the file.
    write_file(dir.file("short.VSK"), zero_lines({"9 11025 032 SCRIPT", "1 a.VMA \"\" one"}));
    ASSERT_EQ(open_picture_pass(*ctx, pass, dir.file("short.VSK").c_str(), true), 9);
    EXPECT_EQ(picture_pass_step(*ctx, ctx->pictures, pass), PICTURE_PASS_RUNNING);
    EXPECT_EQ(picture_pass_step(*ctx, ctx->pictures, pass), PICTURE_PASS_DONE);
}

TEST_F(PicturePassTest, each_entry_says_why_its_picture_cannot_be_shown_or_what_listeners_get) {
    write_file(dir.file("crop.bmp"), bmp_bytes(100, 70, 8));
    write_file(dir.file("deep.bmp"), bmp_bytes(64, 64, 16));
    write_file(dir.file("whole.bmp"), bmp_bytes(64, 32));
    write_file(dir.file("s.VSK"), zero_lines({"3 11025 032 SCRIPT", "1 x.VMA " + dir.file("crop.bmp") + " a", "",
                                              "1 y.VMA " + dir.file("deep.bmp") + " b",
                                              "1 z.VMA " + dir.file("whole.bmp") + " c"}));
    ASSERT_EQ(open_picture_pass(*ctx, pass, dir.file("s.VSK").c_str(), true), 3);
    EXPECT_EQ(picture_pass_step(*ctx, ctx->pictures, pass), PICTURE_PASS_RUNNING);
    EXPECT_EQ(pass.line, 2);
    EXPECT_EQ(pass.problem, "");
    EXPECT_EQ(pass.note, "100 x 70: the listeners get 96 x 64");  // 3 x 2 whole tiles
    EXPECT_EQ(picture_pass_step(*ctx, ctx->pictures, pass), PICTURE_PASS_RUNNING);
    EXPECT_EQ(pass.line, 4);
    EXPECT_EQ(pass.problem, "16 bits per pixel: only 8 and 24-bit pictures are shown");
    EXPECT_EQ(picture_pass_step(*ctx, ctx->pictures, pass), PICTURE_PASS_DONE);
    EXPECT_EQ(pass.line, 5);
    EXPECT_EQ(pass.problem, "");
    EXPECT_EQ(pass.note, "");
    EXPECT_EQ(pass.prepared, 2);
    EXPECT_EQ(pass.failed, 1);

    // A script named like the prepared copy of its own picture.
    write_file(dir.file("show.bmp"), bmp_bytes(64, 32));
    const std::string script = zero_lines({"1 11025 032 SCRIPT", "1 x.VMA " + dir.file("show.bmp") + " a"});
    write_file(dir.file("show.dbp"), script);
    ASSERT_EQ(open_picture_pass(*ctx, pass, dir.file("show.dbp").c_str(), true), 1);
    EXPECT_EQ(picture_pass_step(*ctx, ctx->pictures, pass), PICTURE_PASS_DONE);
    EXPECT_EQ(pass.problem, "its prepared copy " + dir.file("show.dbp") + " would replace the script itself");
    EXPECT_EQ(read_file(dir.file("show.dbp")), script);
}

struct ToolTest : ::testing::Test {
    TempDir dir;

    // Runs velmora-compress in the test directory; returns its exit status
    // (124 when it hangs).
    int run(const std::string& arguments) {
        const std::string command = "cd '" + dir.path() + "' && timeout -k 5 60 '" VELMORA_BIN_DIR
                                    "/velmora-compress' " + arguments + " >out.txt 2>err.txt";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string errors() const { return read_file(dir.file("err.txt")); }
    bool said(const std::string& text) const { return errors().find(text) != std::string::npos; }

    // The names in the test directory: no temporary file may be left behind.
    std::set<std::string> names() const {
        std::set<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            found.insert(entry.path().filename().string());
        return found;
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
    // The tool's own words, with the script line; not the window's text.
    EXPECT_NE(read_file(dir.file("err.txt"))
                  .find("velmora-compress: bad.VSK line 3: cannot open gone.wav: No such file or directory\n"),
              std::string::npos)
        << read_file(dir.file("err.txt"));
    EXPECT_EQ(read_file(dir.file("err.txt")).find("Please check"), std::string::npos);
    EXPECT_EQ(run("--settings station.ini missing.VSK"), 1);

    // A file that is not a script is refused, not given a script header.
    const std::string live = zero_lines({"1 8000 LIVE", "60 \"\" hello"});
    write_file(dir.file("live.txt"), live);
    EXPECT_EQ(run("--settings station.ini live.txt"), 1);
    EXPECT_EQ(read_file(dir.file("live.txt")), live);
    EXPECT_NE(read_file(dir.file("err.txt"))
                  .find("velmora-compress: live.txt is not a script: its first line does not end in \"SCRIPT\""),
              std::string::npos);
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
    EXPECT_NE(read_file(dir.file("err.txt")).find("velmora-compress: cannot open nothing.wav: No such file or directory"),
              std::string::npos);
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

namespace {

// Three minutes of a 8000 Hz voice song, 88 super-blocks: long enough to
// be caught while it is being compressed, and for progress to pass some
// 80 percentages.
std::string long_song() {
    std::string data;
    const std::string second = tone(8000, 1, 8, 1.0, 250.0);
    for (int i = 0; i < 180; ++i) data += second;
    return wav(8000, 1, 8, data);
}

// A source refused only after the outputs were opened used to cut the good
// files of an earlier run to 4 bytes.
TEST_F(ToolTest, refused_sources_leave_the_files_of_an_earlier_run_byte_identical) {
    settings(11025, 3528);
    write_file(dir.file("good.wav"), wav(11025, 1, 16, tone(11025, 1, 16, 1.0)));
    ASSERT_EQ(run("--settings station.ini good.wav out.VMA"), 0) << errors();
    const std::string main = read_file(dir.file("out.VMA")), companion = read_file(dir.file("out.V40"));
    ASSERT_EQ(read_sample_file(dir.file("out.VMA")).frames.size(), 8u);

    using namespace wav_bytes;
    const std::string fmt = chunk("fmt ", format(1, 1, 11025, 16)), data = chunk("data", std::string(4000, '\1'));
    const std::pair<std::string, std::string> bad[] = {
        {riff(data + fmt), "bad.wav: its data chunk comes before its format chunk"},
        {pcm(999, 1, 16, std::string(4000, '\1')), "bad.wav: sampling rate 999 Hz: only 1000 to 768000 Hz are read"},
        {riff(fmt), "bad.wav: it has no data chunk"},
    };
    for (const auto& [bytes, message] : bad) {
        write_file(dir.file("bad.wav"), bytes);
        EXPECT_EQ(run("--force --settings station.ini bad.wav out.VMA"), 1) << message;
        EXPECT_TRUE(said("velmora-compress: " + message + "\n")) << errors();
        EXPECT_TRUE(read_file(dir.file("out.VMA")) == main) << message;
        EXPECT_TRUE(read_file(dir.file("out.V40")) == companion) << message;
        EXPECT_EQ(names(), (std::set<std::string>{"bad.wav", "err.txt", "good.wav", "out.V40", "out.VMA", "out.txt",
                                                  "station.ini"}));
    }
}

struct StoppedTool {
    pid_t pid = -1;
    int status = 0;
};

// Starts velmora-compress in `folder`, waits until it writes its temporary
// files (or ends), then sends `signal`.
StoppedTool stop_while_compressing(const std::string& folder, const std::string& temporary_prefix, int signal) {
    StoppedTool tool;
    tool.pid = fork();
    if (tool.pid == 0) {
        if (chdir(folder.c_str()) != 0) _exit(126);
        const int log = open("err.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(log, 1);
        dup2(log, 2);
        execl(VELMORA_BIN_DIR "/velmora-compress", "velmora-compress", "--force", "--settings", "station.ini",
              "long.wav", "out.VMA", static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int waited = 0; waited < 20000; ++waited) {
        bool writing = false;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            writing = writing || entry.path().filename().string().rfind(temporary_prefix, 0) == 0;
        if (writing || waitpid(tool.pid, &tool.status, WNOHANG) == tool.pid) break;
        usleep(1000);
    }
    kill(tool.pid, signal);
    waitpid(tool.pid, &tool.status, 0);
    return tool;
}

TEST_F(ToolTest, ctrl_c_or_a_crash_while_compressing_leaves_the_old_files_as_they_were) {
    settings(8000, 2000);
    write_file(dir.file("out.VMA"), "the main file of an earlier run");
    write_file(dir.file("out.V40"), "its companion");
    write_file(dir.file("long.wav"), long_song());

    const StoppedTool interrupted = stop_while_compressing(dir.path(), "out.VMA.tmp", SIGINT);
    ASSERT_TRUE(WIFEXITED(interrupted.status)) << errors();
    EXPECT_EQ(WEXITSTATUS(interrupted.status), 130) << errors();
    EXPECT_TRUE(said("velmora-compress: interrupted; files of earlier runs are as they were")) << errors();
    EXPECT_EQ(read_file(dir.file("out.VMA")), "the main file of an earlier run");
    EXPECT_EQ(read_file(dir.file("out.V40")), "its companion");
    EXPECT_EQ(names(), (std::set<std::string>{"err.txt", "long.wav", "out.V40", "out.VMA", "station.ini"}));

    // Killed outright, it cannot clean up, but the old files stay whole.
    const StoppedTool killed = stop_while_compressing(dir.path(), "out.VMA.tmp", SIGKILL);
    EXPECT_TRUE(WIFSIGNALED(killed.status));
    EXPECT_EQ(read_file(dir.file("out.VMA")), "the main file of an earlier run");
    EXPECT_EQ(read_file(dir.file("out.V40")), "its companion");
}

TEST_F(ToolTest, progress_to_a_pipe_is_a_line_every_ten_percent) {
    settings(8000, 2000);
    write_file(dir.file("long.wav"), long_song());
    ASSERT_EQ(run("--settings station.ini long.wav"), 0) << errors();
    // The percentages shown, each in another tens than the one before.
    std::vector<int> tens;
    const std::string log = errors(), line = "Compressing sample 1 of 1 (";
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1))
        tens.push_back(std::atoi(log.c_str() + at + line.size()) / 10);
    EXPECT_EQ(tens, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10})) << log;
}

TEST_F(ToolTest, outputs_that_are_the_script_or_the_source_are_refused) {
    settings(11025, 3528);
    write_file(dir.file("mix.wav"), wav(11025, 1, 8, tone(11025, 1, 8, 0.5)));
    const std::string script = zero_lines({"1 11025 032 SCRIPT", "1 mix.wav \"\" the mix"});
    write_file(dir.file("mix.VMA"), script);
    EXPECT_EQ(run("--settings station.ini mix.VMA"), 1);
    EXPECT_TRUE(said("velmora-compress: mix.VMA line 2: mix.VMA is the script itself\n")) << errors();
    EXPECT_EQ(read_file(dir.file("mix.VMA")), script);

    const std::string source = read_file(dir.file("mix.wav"));
    std::filesystem::create_symlink("mix.wav", dir.file("link.VMA"));
    EXPECT_EQ(run("--settings station.ini mix.wav link.VMA"), 1);
    EXPECT_TRUE(said("velmora-compress: link.VMA is the song's source itself\n")) << errors();
    EXPECT_EQ(read_file(dir.file("mix.wav")), source);
}

TEST_F(ToolTest, a_destination_gets_vma_appended_and_its_companion_beside_it) {
    settings(11025, 3528);
    std::filesystem::create_directory(dir.file("music"));
    write_file(dir.file("s.wav"), wav(11025, 1, 8, tone(11025, 1, 8, 0.5)));
    ASSERT_EQ(run("--settings station.ini s.wav music/ab"), 0) << errors();
    EXPECT_EQ(read_sample_file(dir.file("music/ab.VMA")).frames.size(), 8u);
    EXPECT_EQ(read_sample_file(dir.file("music/ab.V40")).frames.size(), 8u);
    EXPECT_FALSE(exists(dir.file("musi.V40")));
    EXPECT_FALSE(exists(dir.file("music/ab")));

    // A missing folder is named as such.
    EXPECT_EQ(run("--settings station.ini s.wav nowhere/ab.VMA"), 1);
    EXPECT_TRUE(said("velmora-compress: cannot create nowhere/ab.VMA: the folder nowhere does not exist\n"))
        << errors();
}

TEST_F(ToolTest, another_or_a_changed_song_is_compressed_although_the_rate_codes_match) {
    settings(11025, 3528);
    write_file(dir.file("a.wav"), wav(11025, 1, 8, tone(11025, 1, 8, 1.0)));
    write_file(dir.file("b.wav"), wav(11025, 1, 8, tone(11025, 1, 8, 2.0)));
    const timespec old_times[2] = {{0, UTIME_OMIT}, {time(nullptr) - 100, 0}};
    utimensat(AT_FDCWD, dir.file("a.wav").c_str(), old_times, 0);
    ASSERT_EQ(run("--settings station.ini a.wav out.VMA"), 0) << errors();
    ASSERT_EQ(read_sample_file(dir.file("out.VMA")).frames.size(), 8u);
    // b.wav is newer than out.VMA.
    const timespec new_times[2] = {{0, UTIME_OMIT}, {time(nullptr) + 100, 0}};
    utimensat(AT_FDCWD, dir.file("b.wav").c_str(), new_times, 0);
    ASSERT_EQ(run("--settings station.ini b.wav out.VMA"), 0) << errors();
    EXPECT_EQ(read_sample_file(dir.file("out.VMA")).frames.size(), 16u);
    EXPECT_EQ(read_sample_file(dir.file("out.V40")).frames.size(), 16u);
}

TEST_F(ToolTest, a_pipe_named_as_song_or_script_is_refused_at_once) {
    settings(11025, 3528);
    ASSERT_EQ(mkfifo(dir.file("pipe.wav").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(dir.file("pipe.VSK").c_str(), 0600), 0);
    EXPECT_EQ(run("--settings station.ini pipe.wav"), 1);
    EXPECT_TRUE(said("velmora-compress: cannot open pipe.wav: it is not a regular file (a pipe or a device)\n"))
        << errors();
    EXPECT_EQ(run("--settings station.ini pipe.VSK"), 1);
    EXPECT_TRUE(said("velmora-compress: cannot read pipe.VSK: it is not a regular file (a pipe or a device)\n"))
        << errors();
    // A compressed song that is a pipe.
    ASSERT_EQ(mkfifo(dir.file("song.VMA").c_str(), 0600), 0);
    write_file(dir.file("s.VSK"), zero_lines({"1 11025 032 SCRIPT", "1 song.VMA \"\" endless"}));
    EXPECT_EQ(run("--settings station.ini s.VSK"), 1);
    EXPECT_TRUE(said("velmora-compress: s.VSK line 2: song.VMA: it is not a regular file (a pipe or a device)\n"))
        << errors();
}

TEST_F(ToolTest, deep_and_float_songs_are_read_and_other_formats_refused_by_name) {
    settings(11025, 3528);
    const std::string data = tone(44100, 2, 16, 2.0);
    write_file(dir.file("s16.wav"), wav(44100, 2, 16, data));
    write_file(dir.file("s24.wav"), wav(44100, 2, 24, widen16(data, 24)));
    write_file(dir.file("f32.wav"), wav_bytes::riff(wav_bytes::chunk("fmt ", wav_bytes::format(3, 2, 44100, 32)) +
                                                    wav_bytes::chunk("data", widen16(data, 32, true))));
    ASSERT_EQ(run("--settings station.ini s16.wav"), 0) << errors();
    ASSERT_EQ(run("--settings station.ini s24.wav"), 0) << errors();
    ASSERT_EQ(run("--settings station.ini f32.wav"), 0) << errors();
    EXPECT_EQ(read_sample_file(dir.file("s16.VMA")).frames.size(), 16u);  // 2 s, not 6
    EXPECT_TRUE(read_file(dir.file("s24.VMA")) == read_file(dir.file("s16.VMA")));
    EXPECT_TRUE(read_file(dir.file("f32.VMA")) == read_file(dir.file("s16.VMA")));

    write_file(dir.file("s12.wav"), wav(44100, 2, 12, data));
    EXPECT_EQ(run("--settings station.ini s12.wav"), 1);
    EXPECT_TRUE(said("velmora-compress: s12.wav: 12-bit PCM: only 8, 16, 24 and 32-bit PCM samples are read\n"))
        << errors();
    EXPECT_FALSE(said("Options")) << errors();
    EXPECT_FALSE(exists(dir.file("s12.VMA")));
}

// Scripts that did nothing used to end with exit status 0.
TEST_F(ToolTest, script_lines_that_do_nothing_fail_the_run_with_their_line_and_cause) {
    settings(11025, 3528);
    const std::string long_name = std::string(300, 'a') + ".wav";
    write_file(dir.file("s.VSK"), zero_lines({"3 11025 032 SCRIPT", "1 gone.VMA \"\" missing", "",
                                              "1 " + long_name + " \"\" long", "1 \"\" \"\" nothing",
                                              "1 extra.VMA \"\" beyond the count"}));
    EXPECT_EQ(run("--settings station.ini s.VSK"), 1);
    EXPECT_TRUE(said("velmora-compress: s.VSK line 2: gone.VMA: No such file or directory\n")) << errors();
    EXPECT_TRUE(said("velmora-compress: s.VSK line 4: the song name is longer than 255 characters\n")) << errors();
    EXPECT_TRUE(said("velmora-compress: s.VSK line 5: no song is named\n")) << errors();
    EXPECT_TRUE(said("velmora-compress: s.VSK line 6: beyond the 3 songs the header announces\n")) << errors();

    write_file(dir.file("none.VSK"), zero_lines({"-3 11025 032 SCRIPT", "1 gone.VMA \"\" missing"}));
    EXPECT_EQ(run("--settings station.ini none.VSK"), 1);
    EXPECT_TRUE(said("velmora-compress: none.VSK line 1: the header announces -3 songs\n")) << errors();
    EXPECT_TRUE(said("velmora-compress: none.VSK line 2: beyond the 0 songs the header announces\n")) << errors();
}

TEST_F(ToolTest, help_and_version_answer_with_status_zero) {
    for (const char* option : {"--help", "-h"}) {
        EXPECT_EQ(run(option), 0) << option;
        EXPECT_NE(read_file(dir.file("out.txt")).find("usage:"), std::string::npos) << option;
    }
    EXPECT_EQ(run("--version"), 0);
    const std::string version = read_file(dir.file("out.txt"));
    EXPECT_EQ(version.rfind("velmora-compress 2.18 (build ", 0), 0u) << version;
    EXPECT_GT(version.size(), std::string("velmora-compress 2.18 (build )\n").size()) << version;
}

}  // namespace

namespace {

// Pictures the station refuses used to pass with exit status 0.
TEST_F(ToolTest, pictures_the_station_cannot_show_fail_the_run_naming_picture_and_reason) {
    settings(11025, 3528);
    write_file(dir.file("a.wav"), wav(11025, 1, 8, tone(11025, 1, 8, 0.3)));
    auto script_with = [&](const std::string& picture) {
        write_file(dir.file("s.VSK"), zero_lines({"1 11025 032 SCRIPT", "1 a.wav " + picture + " a song"}));
        return run("--settings station.ini s.VSK");
    };
    std::string down = bmp_bytes(64, 32);
    put_u32(down, 22, static_cast<uint32_t>(-32));
    write_file(dir.file("down.bmp"), down);
    EXPECT_EQ(script_with("down.bmp"), 0) << errors();
    EXPECT_TRUE(exists(dir.file("down.dbp")));
    std::string down8 = bmp_bytes(64, 32, 8);
    put_u32(down8, 22, static_cast<uint32_t>(-32));
    write_file(dir.file("down8.bmp"), down8);
    EXPECT_EQ(script_with("down8.bmp"), 0) << errors();
    EXPECT_TRUE(exists(dir.file("down8.dbp")));

    write_file(dir.file("crop.bmp"), bmp_bytes(120, 80));
    EXPECT_EQ(script_with("crop.bmp"), 0) << errors();
    EXPECT_TRUE(said("velmora-compress: s.VSK line 2: crop.bmp: 120 x 80: the listeners get 96 x 64\n")) << errors();

    const std::pair<std::string, std::string> refused[] = {
        {"deep.bmp", "32 bits per pixel: only 8 and 24-bit pictures are shown"},
        {"tiny.bmp", "20 x 20: smaller than one 32 x 32 tile, the listeners get nothing"},
        {"gone.bmp", "cannot be opened: No such file or directory"},
    };
    write_file(dir.file("deep.bmp"), bmp_bytes(64, 64, 32));
    write_file(dir.file("tiny.bmp"), bmp_bytes(20, 20));
    for (const auto& [picture, reason] : refused) {
        EXPECT_EQ(script_with(picture), 1) << picture;
        EXPECT_TRUE(said("velmora-compress: s.VSK line 2: " + picture + ": " + reason + "\n")) << errors();
    }
}

// A fresh machine has no settings file: only a file named on the command
// line must exist.
TEST_F(ToolTest, without_a_settings_file_the_defaults_apply_but_a_named_one_must_exist) {
    ScopedEnv fresh{"XDG_CONFIG_HOME", dir.file("fresh-config")};
    write_file(dir.file("song.wav"), wav(22050, 1, 8, tone(22050, 1, 8, 0.5)));
    ASSERT_EQ(run("song.wav song.VMA --sampling-rate 22050 --transfer-rate 2646"), 0) << errors();
    EXPECT_EQ(read_sample_file(dir.file("song.VMA")).header.rate_code, 12);
    EXPECT_FALSE(std::filesystem::exists(dir.file("fresh-config")));  // nothing written there

    EXPECT_EQ(run("--settings nosuch.ini song.wav"), 1);
    EXPECT_TRUE(said("settings file nosuch.ini not found")) << errors();

    // A named file whose settings would all be ignored makes nothing at the
    // default rates; a value not used as written is said.
    std::filesystem::remove(dir.file("song.VMA"));
    write_file(dir.file("station.ini"), "SamplingRate=22050\nTransferRate=2646\n");
    EXPECT_EQ(run("--settings station.ini song.wav"), 1);
    EXPECT_TRUE(said(dir.file("station.ini") + ":1: no [VelmoraStation] line")) << errors();
    EXPECT_FALSE(std::filesystem::exists(dir.file("song.VMA")));
    write_file(dir.file("station.ini"), "[VelmoraStation]\nSamplingRate=22050\nTransferRate=99999\n");
    ASSERT_EQ(run("--settings station.ini song.wav"), 0) << errors();
    EXPECT_TRUE(said("TransferRate=99999 is out of range: 88200 is used")) << errors();
}

void set_modified(const std::string& path, int seconds_from_now) {
    timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) + seconds_from_now, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

TEST_F(ToolTest, a_destination_made_from_another_source_is_compressed_again) {
    settings(11025, 2000);
    write_file(dir.file("a.wav"), wav(11025, 1, 8, tone(11025, 1, 8, 1.0, 300.0)));
    write_file(dir.file("b.wav"), wav(11025, 1, 8, tone(11025, 1, 8, 2.0, 900.0)));
    set_modified(dir.file("b.wav"), -3600);  // older than anything made from a.wav
    ASSERT_EQ(run("--settings station.ini a.wav out.VMA"), 0) << errors();
    ASSERT_EQ(read_sample_file(dir.file("out.VMA")).frames.size(), 8u);

    ASSERT_EQ(run("--settings station.ini b.wav out.VMA"), 0) << errors();
    EXPECT_EQ(read_sample_file(dir.file("out.VMA")).frames.size(), 16u);
    EXPECT_EQ(read_sample_file(dir.file("out.V40")).frames.size(), 16u);

    // Made from b.wav as it is: passed over.
    std::string marked = read_file(dir.file("out.VMA"));
    marked.back() ^= 0x21;
    write_file(dir.file("out.VMA"), marked);
    ASSERT_EQ(run("--settings station.ini b.wav out.VMA"), 0) << errors();
    EXPECT_EQ(read_file(dir.file("out.VMA")), marked);
    // A copy that lost the record of its source is made again.
    std::filesystem::remove(dir.file("copy.VMA"));
    write_file(dir.file("copy.VMA"), read_file(dir.file("out.VMA")));
    write_file(dir.file("copy.V40"), read_file(dir.file("out.V40")));
    ASSERT_EQ(run("--settings station.ini b.wav copy.VMA"), 0) << errors();
    EXPECT_NE(read_file(dir.file("copy.VMA")), marked);
}

// Starts velmora-compress on long.wav into `destination` in `folder` and
// returns once a temporary file not among `before` holds written frames
// (its writer has long taken its lock).
pid_t start_compressing(const std::string& folder, const std::string& destination,
                        const std::set<std::string>& before) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(folder.c_str()) != 0) _exit(126);
        const int log = open("/dev/null", O_WRONLY);
        dup2(log, 1);
        dup2(log, 2);
        execl(VELMORA_BIN_DIR "/velmora-compress", "velmora-compress", "--force", "--settings", "station.ini",
              "long.wav", destination.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int waited = 0; waited < 20000; ++waited) {
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            const std::string name = entry.path().filename().string();
            std::error_code gone;  // renamed away meanwhile
            const auto size = std::filesystem::file_size(entry.path(), gone);
            if (name.rfind(destination + ".tmp", 0) == 0 && !before.count(name) && !gone && size >= 8192)
                return pid;
        }
        usleep(1000);
    }
    return pid;
}

std::set<std::string> temporaries_in(const std::string& folder) {
    std::set<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().filename().string().find(".tmp") != std::string::npos)
            found.insert(entry.path().filename().string());
    return found;
}

TEST_F(ToolTest, temporary_files_of_a_killed_run_are_swept_by_the_next_but_not_those_being_written) {
    settings(8000, 2000);
    write_file(dir.file("long.wav"), long_song());
    const StoppedTool killed = stop_while_compressing(dir.path(), "out.VMA.tmp", SIGKILL);
    ASSERT_TRUE(WIFSIGNALED(killed.status));
    const std::set<std::string> left = temporaries_in(dir.path());
    ASSERT_FALSE(left.empty());

    // Another preparation of the same destination is under way (stopped, its files open).
    const pid_t writer = start_compressing(dir.path(), "out.VMA", left);
    kill(writer, SIGSTOP);
    std::set<std::string> being_written;
    for (const std::string& name : temporaries_in(dir.path()))
        if (!left.count(name)) being_written.insert(name);
    EXPECT_FALSE(being_written.empty());
    // Not ours: another destination, another pattern.
    write_file(dir.file("other.VMA.tmpabc123"), "x");
    write_file(dir.file("out.VMA.tmp-keep"), "x");
    for (const std::string& name : temporaries_in(dir.path())) set_modified(dir.file(name), -60);

    ASSERT_EQ(run("--force --settings station.ini long.wav out.VMA"), 0) << errors();
    std::set<std::string> expected = being_written;
    expected.insert({"other.VMA.tmpabc123", "out.VMA.tmp-keep"});
    EXPECT_EQ(temporaries_in(dir.path()), expected);

    kill(writer, SIGKILL);
    waitpid(writer, nullptr, 0);
}

}  // namespace

namespace {

// A picture the run cannot prepare fails it, whatever the cause; a picture
// named on many lines is prepared, counted and reported once.
TEST_F(ToolTest, pictures_are_counted_once_and_a_refused_one_gets_no_prepared_copy) {
    settings(11025, 3528);
    write_file(dir.file("a.wav"), wav(11025, 1, 8, tone(11025, 1, 8, 0.2)));
    write_file(dir.file("pic.bmp"), bmp_bytes(64, 32));
    write_file(dir.file("tiny.bmp"), bmp_bytes(16, 16));
    std::string script = "2001 11025 032 SCRIPT";
    script += '\0';
    for (int i = 0; i < 2000; ++i) script += std::string("1 a.wav pic.bmp again") + '\0';
    script += std::string("1 a.wav tiny.bmp small") + '\0';
    write_file(dir.file("many.VSK"), script);
    EXPECT_EQ(run("--settings station.ini many.VSK"), 1) << errors();
    EXPECT_NE(read_file(dir.file("out.txt")).find("pictures: 1 prepared, 1 failed\n"),
              std::string::npos)
        << read_file(dir.file("out.txt"));
    EXPECT_TRUE(said("velmora-compress: many.VSK line 2002: tiny.bmp: 16 x 16: smaller than one 32 x 32 tile"))
        << errors();
    EXPECT_TRUE(exists(dir.file("pic.dbp")));
    EXPECT_FALSE(exists(dir.file("tiny.dbp")));
}

// A copy cut off (a download or a recording that stopped) still makes a
// song of what is there, but the user is told which file ends early.
TEST_F(ToolTest, a_wav_shorter_than_its_header_says_is_named_with_what_it_holds) {
    settings(11025, 3528);
    using namespace wav_bytes;
    const std::string samples = tone(11025, 1, 16, 1.0);
    const std::string whole = pcm(11025, 1, 16, samples);
    write_file(dir.file("cut.wav"), whole.substr(0, whole.size() - samples.size() / 2));
    ASSERT_EQ(run("--settings station.ini cut.wav"), 0) << errors();
    EXPECT_TRUE(said("velmora-compress: cut.wav: cut off: its header promises 22050 bytes of samples, "
                     "the file holds 11025; the song ends there\n"))
        << errors();
    EXPECT_TRUE(said("(100%)")) << errors();
    EXPECT_EQ(read_sample_file(dir.file("cut.VMA")).frames.size(), 8u);

    // A stream writer's "length unknown" is no cut.
    std::string stream = pcm(11025, 1, 16, samples);
    put_u32(stream, stream.size() - samples.size() - 4, 0xFFFFFFFF);
    write_file(dir.file("stream.wav"), stream);
    ASSERT_EQ(run("--settings station.ini stream.wav"), 0) << errors();
    EXPECT_FALSE(said("cut off")) << errors();
}

// A tmpfs of 256 kB filled to the last byte: the prepared copy cannot be
// written, and the run says so and fails instead of counting it prepared.
TEST_F(ToolTest, a_full_disk_fails_the_picture_and_the_run) {
    const std::string full = dir.file("full");
    std::filesystem::create_directory(full);
    if (mount("tmpfs", full.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{full};
    settings(11025, 3528);
    write_file(dir.file("a.wav"), wav(11025, 1, 8, tone(11025, 1, 8, 0.2)));
    write_file(full + "/pic.bmp", bmp_bytes(64, 64));
    {
        std::FILE* filler = std::fopen((full + "/filler").c_str(), "wb");
        ASSERT_NE(filler, nullptr);
        const std::string block(4096, 'x');
        while (std::fwrite(block.data(), 1, block.size(), filler) == block.size() && std::fflush(filler) == 0) {}
        std::fclose(filler);
    }
    write_file(dir.file("s.VSK"), zero_lines({"1 11025 032 SCRIPT", "1 a.wav " + full + "/pic.bmp full"}));
    EXPECT_EQ(run("--settings station.ini s.VSK"), 1) << errors();
    EXPECT_TRUE(said("velmora-compress: s.VSK line 2: " + full + "/pic.bmp: not prepared: cannot write " + full +
                     "/pic.dbp: No space left on device"))
        << errors();
    EXPECT_NE(read_file(dir.file("out.txt")).find("pictures: 0 prepared, 1 failed\n"),
              std::string::npos);
    EXPECT_FALSE(exists(full + "/pic.dbp"));
}

}  // namespace
