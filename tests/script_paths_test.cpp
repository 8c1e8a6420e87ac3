// Scripts name their songs and pictures relative to their own folder, so
// that a script works from any current folder: the station's loaders, the
// song job and the picture pass of velmora-compress all look there.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/context.h"
#include "app/program.h"
#include "compression_test_media.h"
#include "media/live_list.h"
#include "media/picture_pass.h"
#include "media/sample_compression.h"
#include "media/script_file.h"
#include "platform/paths.h"
#include "script_test_media.h"
#include "support/child_process.h"
#include "support/station_script.h"
#include "support/fake_host.h"
#include "support/temp_dir.h"

namespace {

struct ScriptPathsTest : ::testing::Test {
    TempDir dir;
    FakeHost host;
    std::unique_ptr<Context> ctx = make_context(host);
    std::string show = dir.file("show");  // the script's folder, never the current one
    std::string script = show + "/show.VSK";

    ScriptPathsTest() {
        std::filesystem::create_directories(show + "/songs");
        ctx->state.SamplingRate = 11025;
        ctx->state.device_rate = 11025;
        ctx->state.TransferRate = 3528;
    }
    std::string in_show(const std::string& name) const { return show + "/" + name; }
};

TEST_F(ScriptPathsTest, only_relative_names_are_joined_to_the_files_folder) {
    EXPECT_EQ(resolve_beside("/radio/show.VSK", "songs/a.wav"), "/radio/songs/a.wav");
    EXPECT_EQ(resolve_beside("../radio/show.VSK", "a.wav"), "../radio/a.wav");
    EXPECT_EQ(resolve_beside("/radio/show.VSK", "/music/a.wav"), "/music/a.wav");
    EXPECT_EQ(resolve_beside("/radio/show.VSK", ""), "");  // no picture stays no picture
    EXPECT_EQ(resolve_beside("show.VSK", "a.wav"), "a.wav");
}

TEST_F(ScriptPathsTest, the_station_finds_songs_and_pictures_beside_the_script) {
    write_file(in_show("songs/a.VMA"), "VMA ");
    write_file(in_show("cover.bmp"), bmp_bytes(64, 32));
    write_file(dir.file("b.VMA"), "VMA ");
    write_file(script, zero_lines({"2 11025 032 SCRIPT", "1 songs/a.wav cover.bmp first",
                                   "1 " + dir.file("b.VMA") + " \"\" second"}));
    ASSERT_EQ(open_station_script_songs(*ctx, script.c_str()), 2) << host.last_message();
    EXPECT_EQ(std::string(ctx->script.entries[0].song), in_show("songs/a.VMA"));
    EXPECT_EQ(std::string(ctx->script.entries[0].picture), in_show("cover.bmp"));
    EXPECT_EQ(std::string(ctx->script.entries[1].song), dir.file("b.VMA"));  // absolute: as written
    EXPECT_STREQ(ctx->script.entries[1].picture, "");

    // The picture check looks beside the script too.
    write_file(in_show("bad.bmp"), bmp_bytes(64, 32, 16));
    write_file(script, zero_lines({"1 11025 032 SCRIPT", "1 songs/a.wav bad.bmp x"}));
    EXPECT_EQ(load_station_script(*ctx, script.c_str()), 0);
    EXPECT_EQ(host.last_message(), in_show("bad.bmp") + ": unknown file format!\n"
                                                        "Only 24bit uncompressed BMP files are supported.");

    write_file(in_show("live.VLS"), zero_lines({"1 11025 LIVE", "30 cover.bmp hello"}));
    ASSERT_EQ(open_live_list(*ctx, ctx->script, in_show("live.VLS").c_str()), 1);
    EXPECT_EQ(std::string(ctx->script.entries[0].picture), in_show("cover.bmp"));

    // A name that no longer fits its field once joined cannot be opened.
    const std::string long_name = std::string(250, 'n') + ".wav";
    write_file(script, zero_lines({"1 11025 032 SCRIPT", "1 " + long_name}));
    EXPECT_EQ(load_station_script(*ctx, script.c_str()), 0);
    EXPECT_EQ(host.last_message(),
              "Cannot open file " + in_show(long_name) + "\nPlease check the script.");
    EXPECT_EQ(ctx->script.script_entries, 0);
}

TEST_F(ScriptPathsTest, the_song_job_and_the_picture_pass_write_beside_the_script) {
    using namespace compression_media;
    write_file(in_show("songs/a.wav"), wav(11025, 1, 8, tone(11025, 1, 8, 0.5)));
    write_file(in_show("cover.bmp"), bmp_bytes(64, 32));
    write_file(script, zero_lines({"1 11025 032 SCRIPT", "1 songs/a.wav cover.bmp x"}));

    SongJob job;
    ASSERT_EQ(open_song_job(*ctx, ctx->codec, ctx->state, job, script.c_str()), 1);
    EXPECT_EQ(job.lines[0].source, in_show("songs/a.wav"));
    EXPECT_EQ(job.lines[0].destination, in_show("songs/a.VMA"));
    start_song_job(*ctx, ctx->codec, ctx->state, job);
    while (song_job_step(*ctx, ctx->codec, job) == SONG_JOB_RUNNING) {
    }
    end_song_job(*ctx, ctx->codec, job);
    EXPECT_EQ(refused_songs(job), 0) << host.last_message();
    EXPECT_EQ(read_sample_file(in_show("songs/a.VMA")).frames.size(), 8u);

    PicturePass pass;
    ASSERT_EQ(open_picture_pass(*ctx, pass, script.c_str(), true), 1);
    EXPECT_EQ(picture_pass_step(*ctx, ctx->pictures, pass), PICTURE_PASS_DONE);
    EXPECT_EQ(pass.prepared, 1);
    EXPECT_TRUE(std::filesystem::exists(in_show("cover.dbp")));

    // What the job made is what the station plays.
    EXPECT_EQ(open_station_script_songs(*ctx, script.c_str()), 1) << host.last_message();
}

TEST_F(ScriptPathsTest, velmora_compress_run_from_another_folder_prepares_the_scripts_files) {
    using namespace compression_media;
    write_file(in_show("songs/a.wav"), wav(11025, 1, 8, tone(11025, 1, 8, 0.5)));
    write_file(in_show("cover.bmp"), bmp_bytes(64, 32));
    write_file(script, zero_lines({"1 11025 032 SCRIPT", "1 songs/a.wav cover.bmp x"}));
    write_file(dir.file("station.ini"), "[VelmoraStation]\nSamplingRate=11025\nTransferRate=3528\n");
    ProgramResult run = run_program(
        {program_path("velmora-compress"), "--settings", "station.ini", "show/show.VSK"}, dir.path());
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(read_sample_file(in_show("songs/a.VMA")).frames.size(), 8u);
    EXPECT_TRUE(std::filesystem::exists(in_show("cover.dbp")));
}

TEST_F(ScriptPathsTest, the_demo_made_in_a_relative_folder_names_files_the_station_finds) {
    ProgramResult made = run_program({program_path("velmora-make-demo"), "demo"}, dir.path());
    ASSERT_EQ(made.status, 0) << made.output;
    ProgramResult shown = run_program({program_path("velmora-script"), "show", dir.file("demo/demo.VSK")}, "/");
    ASSERT_EQ(shown.status, 0) << shown.output;
    EXPECT_NE(shown.output.find("\"morning.wav\"  (not compressed yet)  picture \"sunrise.bmp\""),
              std::string::npos)
        << shown.output;
    EXPECT_EQ(shown.output.find("(missing)"), std::string::npos) << shown.output;
}

}  // namespace
