#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/program.h"
#include "codec/set_rate.h"
#include "compression_test_media.h"
#include "media/sample_compression.h"
#include "media/script_file.h"
#include "support/fake_host.h"
#include "support/station_script.h"
#include "support/temp_dir.h"

namespace {

using namespace compression_media;

// The names in a folder: no temporary file may be left behind.
std::set<std::string> names_in(const TempDir& dir) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        names.insert(entry.path().filename().string());
    return names;
}

std::string zero_lines(std::initializer_list<std::string> lines) {
    std::string out;
    for (const auto& line : lines) out += line + '\0';
    return out;
}

struct SongJobTest : ::testing::Test {
    FakeHost host;
    std::unique_ptr<Context> ctx = make_context(host);
    TempDir dir;
    SongJob job;

    void station(int rate, int transfer) {
        ctx->state.SamplingRate = rate;
        ctx->state.TransferRate = transfer;
    }

    // Runs the job to its end; returns the number of steps taken.
    int run() {
        int steps = 0;
        while (song_job_step(*ctx, ctx->codec, job) == SONG_JOB_RUNNING) ++steps;
        return steps + 1;
    }

    void convert(const std::string& wav_bytes, const std::string& name = "song") {
        write_file(dir.file(name + ".wav"), wav_bytes);
        open_conversion_job(*ctx, ctx->codec, job, dir.file(name + ".wav"), dir.file(name + ".VMA"));
        ASSERT_EQ(start_song_job(*ctx, ctx->codec, ctx->state, job), 1);
        run();
    }
};

// The picking the job must do, worked out independently: output sample i
// takes source frame i * source / station.
std::vector<uint8_t> expected_16bit_stereo(const std::string& data, int source, int station) {
    std::vector<uint8_t> out;
    const long frames = long(data.size() / 4);
    for (long i = 0;; ++i) {
        const long at = long(int64_t(i) * source / station);
        if (at >= frames) break;
        auto s16 = [&](long byte) { return int(int16_t(uint8_t(data[size_t(byte)]) | uint8_t(data[size_t(byte) + 1]) << 8)); };
        out.push_back(uint8_t((s16(at * 4) / 2 + s16(at * 4 + 2) / 2) / 256 + 128));
    }
    return out;
}

TEST_F(SongJobTest, cd_quality_source_is_resampled_to_11025_in_whole_super_blocks) {
    station(11025, 3528);
    const std::string data = tone(44100, 2, 16, 2.0);
    convert(wav(44100, 2, 16, data));

    ASSERT_EQ(job.lines[0].status, SONG_DONE);
    const SampleFile main = read_sample_file(dir.file("song.VMA"));
    const SampleFile companion = read_sample_file(dir.file("song.V40"));
    ASSERT_TRUE(main.read && main.clean_end && companion.read && companion.clean_end);

    // 2 s at 11025 Hz = 22050 samples: two super-blocks, sixteen frames each file.
    EXPECT_EQ(main.frames.size(), 16u);
    EXPECT_EQ(companion.frames.size(), 16u);
    EXPECT_TRUE(main.header.magic_ok);
    EXPECT_EQ(main.header.sampling_rate, 11025u);
    EXPECT_EQ(main.header.rate_code, 32);  // 3528 * 100 / 11025
    EXPECT_EQ(companion.header.sampling_rate, 11025u);
    EXPECT_EQ(companion.header.rate_code, 7000 * 32 / 3528);  // 2 x 3528 capped at 7000
    EXPECT_GT(bytes_of(companion.frames), bytes_of(main.frames));

    const std::vector<uint8_t> expected = expected_16bit_stereo(data, 44100, 11025);
    ASSERT_EQ(expected.size(), 22050u);
    const std::vector<uint8_t> decoded = decode_song(main);
    ASSERT_EQ(decoded.size(), 2u * kSuperBlockSamples);
    EXPECT_GT(snr_db(expected, decoded, expected.size()), 15.0);
    const std::vector<uint8_t> decoded_companion = decode_song(companion);
    ASSERT_EQ(decoded_companion.size(), decoded.size());
    EXPECT_GT(snr_db(expected, decoded_companion, expected.size()), snr_db(expected, decoded, expected.size()));
    // The rest of the last super-block is silence.
    for (size_t i = expected.size() + 256; i < decoded.size(); ++i) ASSERT_NEAR(decoded[i], 128, 6) << i;
    // Progress reached the end of the song.
    EXPECT_EQ(job.percent, 100);
    EXPECT_STREQ(job.status_text, "Compressing sample 1 of 1 (100%)");
}

TEST_F(SongJobTest, voice_source_at_8000_is_stretched_to_11025) {
    station(11025, 3528);
    const std::string data = tone(8000, 1, 8, 1.5, 300.0);
    convert(wav(8000, 1, 8, data));

    const SampleFile main = read_sample_file(dir.file("song.VMA"));
    std::vector<uint8_t> expected;
    for (long q = 0; q * 8000 / 11025 < long(data.size()); ++q)
        expected.push_back(uint8_t(data[size_t(q * 8000 / 11025)]));
    EXPECT_EQ(expected.size(), 16538u);  // about 11 samples for 8
    ASSERT_EQ(main.frames.size(), 16u);
    EXPECT_GT(snr_db(expected, decode_song(main), expected.size()), 15.0);
}

TEST_F(SongJobTest, sixteen_bit_source_at_an_odd_ratio_stays_on_its_sample_frames) {
    // 11025 -> 8000: a pass of 16384 * 11025 / 8000 bytes is odd; were it
    // read as it is, the next pass would start inside a sample and turn the
    // tone into noise.
    station(8000, 2000);
    const std::string data = tone(11025, 1, 16, 5.0, 200.0);
    convert(wav(11025, 1, 16, data));

    std::vector<uint8_t> expected;
    for (long q = 0; q * 11025 / 8000 < long(data.size() / 2); ++q) {
        const size_t at = size_t(q * 11025 / 8000) * 2;
        expected.push_back(uint8_t(int16_t(uint8_t(data[at]) | uint8_t(data[at + 1]) << 8) / 256 + 128));
    }
    const std::vector<uint8_t> decoded = decode_song(read_sample_file(dir.file("song.VMA")));
    ASSERT_GE(decoded.size(), expected.size());
    EXPECT_EQ(decoded.size() % kSuperBlockSamples, 0u);
    // Every super-block, not only the first, carries the tone.
    for (size_t start = 0; start + kSuperBlockSamples <= expected.size(); start += kSuperBlockSamples) {
        std::vector<uint8_t> want(expected.begin() + long(start), expected.begin() + long(start) + kSuperBlockSamples);
        std::vector<uint8_t> got(decoded.begin() + long(start), decoded.begin() + long(start) + kSuperBlockSamples);
        EXPECT_GT(snr_db(want, got, want.size()), 12.0) << "super-block at " << start;
    }
}

TEST_F(SongJobTest, eight_bit_stereo_and_silence_compress_at_the_station_rate) {
    station(22050, 2000);
    const std::string data = tone(22050, 2, 8, 0.5) + std::string(22050, char(128));
    convert(wav(22050, 2, 8, data));
    const SampleFile main = read_sample_file(dir.file("song.VMA"));
    const SampleFile companion = read_sample_file(dir.file("song.V40"));
    EXPECT_EQ(main.header.rate_code, 9);        // 2000 * 100 / 22050
    EXPECT_EQ(companion.header.rate_code, 18);  // 4000 * 9 / 2000: twice the main code
    EXPECT_EQ(main.frames.size(), 16u);         // 22050 samples: two super-blocks
    const std::vector<uint8_t> decoded = decode_song(main);
    ASSERT_EQ(decoded.size(), 2u * kSuperBlockSamples);
    // At this low rate the coarse levels spread some noise over the frame,
    // but the silent second half stays far quieter than the tone.
    auto loudness = [&](size_t from, size_t to) {
        double sum = 0;
        for (size_t i = from; i < to; ++i) sum += std::abs(int(decoded[i]) - 128);
        return sum / double(to - from);
    };
    EXPECT_GT(loudness(0, 11025), 30.0);
    EXPECT_LT(loudness(11025 + 256, decoded.size()), 3.0);
}

TEST_F(SongJobTest, song_ending_inside_a_super_block_is_filled_with_silence) {
    station(16000, 2000);
    // 20000 samples: one whole super-block and 3616 samples of a second.
    std::string data = tone(16000, 1, 16, 20000.0 / 16000, 1000.0, 0.9);
    convert(wav(16000, 1, 16, data));
    const SampleFile main = read_sample_file(dir.file("song.VMA"));
    const SampleFile companion = read_sample_file(dir.file("song.V40"));
    EXPECT_EQ(main.frames.size(), 16u);
    EXPECT_EQ(companion.frames.size(), 16u);
    const std::vector<uint8_t> decoded = decode_song(main);
    ASSERT_EQ(decoded.size(), 2u * kSuperBlockSamples);
    int loud = 0;
    for (size_t i = 16384; i < 20000; ++i) loud += std::abs(int(decoded[i]) - 128) > 40;
    EXPECT_GT(loud, 500);  // the tone goes on into the second block
    for (size_t i = 20000 + 256; i < decoded.size(); ++i) ASSERT_NEAR(decoded[i], 128, 6) << i;
}

TEST_F(SongJobTest, data_chunk_longer_than_the_file_ends_the_song_where_the_file_ends) {
    station(11025, 3528);
    std::string bytes = wav(11025, 1, 8, tone(11025, 1, 8, 1.0));
    // Claim four times as much data as there is.
    const size_t size_at = bytes.find("data") + 4;
    bytes.replace(size_at, 4, wav_bytes::le32(4 * 11025));
    convert(bytes);
    EXPECT_EQ(job.lines[0].status, SONG_DONE);
    EXPECT_EQ(read_sample_file(dir.file("song.VMA")).frames.size(), 8u);  // 11025 samples: one block
}

TEST_F(SongJobTest, one_step_compresses_one_super_block_and_the_status_blinks) {
    station(11025, 3528);
    write_file(dir.file("song.wav"), wav(11025, 1, 8, tone(11025, 1, 8, 3.0)));  // 33075 samples: 3 blocks
    open_conversion_job(*ctx, ctx->codec, job, dir.file("song.wav"), dir.file("song.VMA"));
    EXPECT_EQ(song_job_step(*ctx, ctx->codec, job), SONG_JOB_IDLE);  // not started yet
    start_song_job(*ctx, ctx->codec, ctx->state, job);

    std::vector<char> status;
    std::vector<size_t> frames_written;
    int result;
    while ((result = song_job_step(*ctx, ctx->codec, job)) == SONG_JOB_RUNNING) {
        status.push_back(job.lines[0].status);
        // The song is written under a temporary name until it is complete.
        EXPECT_FALSE(std::filesystem::exists(dir.file("song.VMA")));
        fflush(job.destination.file);
        frames_written.push_back(read_sample_file(job.destination.temp_path).frames.size());
    }
    EXPECT_EQ(result, SONG_JOB_FINISHED);
    EXPECT_EQ(status, (std::vector<char>{'*', '#', '*'}));
    EXPECT_EQ(frames_written, (std::vector<size_t>{8, 16, 24}));
    EXPECT_EQ(read_sample_file(dir.file("song.VMA")).frames.size(), 24u);
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"song.V40", "song.VMA", "song.wav"}));
    EXPECT_EQ(job.lines[0].status, SONG_DONE);
    EXPECT_FALSE(job.compressing);
}

TEST_F(SongJobTest, script_job_compresses_wav_songs_and_rewrites_the_header) {
    station(11025, 3528);
    write_file(dir.file("one.wav"), wav(22050, 1, 16, tone(22050, 1, 16, 0.5)));
    write_file(dir.file("two.WAV"), wav(11025, 2, 8, tone(11025, 2, 8, 0.5)));
    // An already compressed song whose code is higher than this station's.
    write_file(dir.file("old.VMA"), std::string("VMA \x11\x2b\0\0\x28\0\0\0\0\0\0\0", 16));
    const std::string entries = zero_lines({"1 " + dir.file("one.wav") + " \"\" first song",
                                            "2 " + dir.file("two.WAV") + " pic.bmp second",
                                            "1 " + dir.file("old.VMA") + " \"\" third"});
    write_file(dir.file("show.VSK"), zero_lines({"3 8000 020 SCRIPT"}) + entries);

    ASSERT_EQ(open_song_job(*ctx, ctx->codec, ctx->state, job, dir.file("show.VSK").c_str()), 2);
    ASSERT_EQ(job.lines.size(), 3u);
    EXPECT_EQ(job.lines[0].destination, dir.file("one.VMA"));
    EXPECT_EQ(job.lines[1].destination, dir.file("two.VMA"));
    EXPECT_EQ(job.lines[2].status, SONG_DONE);
    EXPECT_EQ(job.kept_rate_percent, 40);
    EXPECT_EQ(read_file(dir.file("show.VSK")), zero_lines({"3 11025 040 SCRIPT"}) + entries);
    const std::string line = song_line_text(job.lines[0]);
    EXPECT_EQ(line.substr(0, 2), "# ");
    EXPECT_EQ(line.substr(SONG_LINE_DESTINATION_COLUMN), dir.file("one.VMA"));

    start_song_job(*ctx, ctx->codec, ctx->state, job);
    run();
    EXPECT_EQ(job.lines[0].status, SONG_DONE);
    EXPECT_EQ(job.lines[1].status, SONG_DONE);
    EXPECT_EQ(refused_songs(job), 0);
    EXPECT_EQ(read_sample_file(dir.file("one.VMA")).frames.size(), 8u);
    EXPECT_EQ(read_sample_file(dir.file("two.V40")).frames.size(), 8u);

    // The percentage in force before the job comes back when it ends.
    SongJob again;
    ctx->codec.rate_percent = 55;
    open_song_job(*ctx, ctx->codec, ctx->state, again, dir.file("show.VSK").c_str());
    start_song_job(*ctx, ctx->codec, ctx->state, again);
    EXPECT_EQ(ctx->codec.rate_percent, 32);
    end_song_job(*ctx, ctx->codec, again);
    EXPECT_EQ(ctx->codec.rate_percent, 55);
}

TEST_F(SongJobTest, up_to_date_songs_are_passed_over_and_force_compresses_them_again) {
    station(11025, 3528);
    write_file(dir.file("a.wav"), wav(11025, 1, 8, tone(11025, 1, 8, 1.0)));
    write_file(dir.file("s.VSK"), zero_lines({"1 11025 032 SCRIPT", "1 " + dir.file("a.wav") + " \"\" x"}));
    open_song_job(*ctx, ctx->codec, ctx->state, job, dir.file("s.VSK").c_str());
    start_song_job(*ctx, ctx->codec, ctx->state, job);
    run();
    const std::string first = read_file(dir.file("a.VMA"));

    // Mark the output so a rewrite would show.
    std::string marked = first;
    marked.back() ^= 0x5A;
    write_file(dir.file("a.VMA"), marked);
    SongJob again;
    open_song_job(*ctx, ctx->codec, ctx->state, again, dir.file("s.VSK").c_str());
    start_song_job(*ctx, ctx->codec, ctx->state, again);
    EXPECT_EQ(song_job_step(*ctx, ctx->codec, again), SONG_JOB_FINISHED);  // closes at once
    EXPECT_EQ(again.lines[0].status, SONG_DONE);
    EXPECT_EQ(read_file(dir.file("a.VMA")), marked);

    // Another transfer rate makes the files out of date.
    station(11025, 2000);
    SongJob other;
    open_song_job(*ctx, ctx->codec, ctx->state, other, dir.file("s.VSK").c_str());
    start_song_job(*ctx, ctx->codec, ctx->state, other);
    while (song_job_step(*ctx, ctx->codec, other) == SONG_JOB_RUNNING) {
    }
    EXPECT_EQ(read_sample_file(dir.file("a.VMA")).header.rate_code, 18);

    // --force compresses even an up-to-date song.
    marked = read_file(dir.file("a.VMA"));
    marked.back() ^= 0x5A;
    write_file(dir.file("a.VMA"), marked);
    SongJob forced;
    forced.force = true;
    open_song_job(*ctx, ctx->codec, ctx->state, forced, dir.file("s.VSK").c_str());
    start_song_job(*ctx, ctx->codec, ctx->state, forced);
    while (song_job_step(*ctx, ctx->codec, forced) == SONG_JOB_RUNNING) {
    }
    EXPECT_NE(read_file(dir.file("a.VMA")), marked);
}

TEST_F(SongJobTest, companion_at_the_cap_is_still_recognised_as_up_to_date) {
    station(22050, 5000);  // 2 x 5000 is capped at 7000
    write_file(dir.file("a.wav"), wav(22050, 1, 8, tone(22050, 1, 8, 0.2)));
    convert(read_file(dir.file("a.wav")), "a");
    EXPECT_EQ(read_sample_file(dir.file("a.V40")).header.rate_code, 7000 * 22 / 5000);
    const std::string before = read_file(dir.file("a.VMA"));
    SongJob again;
    open_conversion_job(*ctx, ctx->codec, again, dir.file("a.wav"), dir.file("a.VMA"));
    start_song_job(*ctx, ctx->codec, ctx->state, again);
    EXPECT_EQ(song_job_step(*ctx, ctx->codec, again), SONG_JOB_FINISHED);
    EXPECT_EQ(again.lines[0].status, SONG_DONE);
    EXPECT_EQ(read_file(dir.file("a.VMA")), before);
}

TEST_F(SongJobTest, script_of_compressed_songs_closes_at_once) {
    station(11025, 3528);
    write_file(dir.file("a.VMA"), std::string("VMA \x11\x2b\0\0\x20\0\0\0\0\0\0\0", 16));
    write_file(dir.file("s.VSK"), zero_lines({"2 11025 010 SCRIPT", "1 " + dir.file("a.VMA") + " \"\" a",
                                              "1 " + dir.file("missing.VMA") + " \"\" b"}));
    EXPECT_EQ(open_song_job(*ctx, ctx->codec, ctx->state, job, dir.file("s.VSK").c_str()), 0);
    EXPECT_EQ(read_file(dir.file("s.VSK")).substr(0, 19), std::string("2 11025 032 SCRIPT\0", 19));
}

TEST_F(SongJobTest, files_that_are_not_scripts_are_refused_and_left_untouched) {
    station(11025, 3528);
    const std::string live = zero_lines({"2 8000 LIVE", "60 \"\" hello", "30 \"\" bye"});
    const std::string notes = "Dear diary,\nno zero byte anywhere in here\n";
    const std::string lower = zero_lines({"1 8000 032 script", "1 a.wav \"\" x"});
    for (const std::string& bytes : {live, notes, lower}) {
        host.messages.clear();
        write_file(dir.file("not.VSK"), bytes);
        EXPECT_EQ(open_song_job(*ctx, ctx->codec, ctx->state, job, dir.file("not.VSK").c_str()), -1);
        EXPECT_EQ(host.last_message(), "Invalid Script!");
        EXPECT_EQ(read_file(dir.file("not.VSK")), bytes);
        EXPECT_TRUE(job.lines.empty());
    }
}

TEST_F(SongJobTest, header_percentage_is_never_left_at_zero) {
    // A script of WAV songs only has no compressed song to tell a
    // percentage; its header takes the station's, so that the script still
    // loads when the operator cancels before compressing.
    station(11025, 3528);
    write_file(dir.file("a.wav"), wav(11025, 1, 8, tone(11025, 1, 8, 0.2)));
    write_file(dir.file("s.VSK"), zero_lines({"1 8000 020 SCRIPT", "1 " + dir.file("a.wav") + " \"\" a"}));
    ctx->codec.rate_percent = 55;
    ASSERT_EQ(open_song_job(*ctx, ctx->codec, ctx->state, job, dir.file("s.VSK").c_str()), 1);
    EXPECT_EQ(read_file(dir.file("s.VSK")).substr(0, 19), std::string("1 11025 032 SCRIPT\0", 19));
    EXPECT_EQ(ctx->codec.rate_percent, 55);  // only looked at
    ASSERT_EQ(cancel_song_job(*ctx, ctx->codec, job), 1);
    int rate = 0, percent = 0;
    EXPECT_EQ(read_script_header(dir.file("s.VSK").c_str(), &rate, &percent), 1);
    EXPECT_EQ(percent, 32);
    EXPECT_EQ(load_station_script(*ctx, dir.file("s.VSK").c_str()), 1);

    // Songs that cannot be read, or are no sample files at all, tell nothing
    // either: the bytes of a foreign file are no rate code.
    write_file(dir.file("foreign.VMA"), std::string("RIFF\0\0\0\0\xFF\xFF\0\0\0\0\0\0", 16));
    write_file(dir.file("t.VSK"), zero_lines({"2 11025 010 SCRIPT", "1 " + dir.file("missing.VMA") + " \"\" m",
                                              "1 " + dir.file("foreign.VMA") + " \"\" f"}));
    SongJob other;
    EXPECT_EQ(open_song_job(*ctx, ctx->codec, ctx->state, other, dir.file("t.VSK").c_str()), 0);
    EXPECT_EQ(read_file(dir.file("t.VSK")).substr(0, 19), std::string("2 11025 032 SCRIPT\0", 19));
    host.messages.clear();
    EXPECT_EQ(open_station_script_songs(*ctx, dir.file("t.VSK").c_str()), 0);
    EXPECT_EQ(host.last_message(), "Cannot open file " + dir.file("missing.VMA") + "\nPlease check the script.");
}

TEST_F(SongJobTest, cancel_asks_and_leaves_the_old_files_as_they_were) {
    station(11025, 3528);
    // The files of an earlier run, which a cancelled run must not touch.
    write_file(dir.file("a.VMA"), "old main file");
    write_file(dir.file("a.V40"), "old companion");
    write_file(dir.file("a.wav"), wav(11025, 1, 8, tone(11025, 1, 8, 4.0)));
    open_conversion_job(*ctx, ctx->codec, job, dir.file("a.wav"), dir.file("a.VMA"));
    start_song_job(*ctx, ctx->codec, ctx->state, job);
    ASSERT_EQ(song_job_step(*ctx, ctx->codec, job), SONG_JOB_RUNNING);

    host.answers.push_back(Answer::no);
    EXPECT_EQ(cancel_song_job(*ctx, ctx->codec, job), 0);
    EXPECT_EQ(host.last_message(), CANCEL_QUESTION);
    EXPECT_TRUE(job.compressing);
    ASSERT_EQ(song_job_step(*ctx, ctx->codec, job), SONG_JOB_RUNNING);

    host.answers.push_back(Answer::yes);
    EXPECT_EQ(cancel_song_job(*ctx, ctx->codec, job), 1);
    EXPECT_FALSE(job.compressing);
    EXPECT_EQ(job.source, nullptr);
    EXPECT_EQ(read_file(dir.file("a.VMA")), "old main file");
    EXPECT_EQ(read_file(dir.file("a.V40")), "old companion");
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"a.V40", "a.VMA", "a.wav"}));

    // A later run compresses the song.
    SongJob again;
    open_conversion_job(*ctx, ctx->codec, again, dir.file("a.wav"), dir.file("a.VMA"));
    start_song_job(*ctx, ctx->codec, ctx->state, again);
    while (song_job_step(*ctx, ctx->codec, again) == SONG_JOB_RUNNING) {
    }
    EXPECT_EQ(read_sample_file(dir.file("a.VMA")).frames.size(), 24u);

    // Cancel when idle ends without asking.
    const size_t shown = host.messages.size();
    EXPECT_EQ(cancel_song_job(*ctx, ctx->codec, again), 1);
    EXPECT_EQ(host.messages.size(), shown);
}

TEST_F(SongJobTest, unusable_songs_are_refused_with_their_messages_and_the_rest_goes_on) {
    station(11025, 3528);
    write_file(dir.file("good.wav"), wav(11025, 1, 8, tone(11025, 1, 8, 0.3)));
    write_file(dir.file("nodata.wav"), wav_bytes::riff(wav_bytes::chunk("fmt ", wav_bytes::format(1, 1, 11025, 8))));
    add_song_line(job, dir.file("missing.wav"), dir.file("missing.VMA"));
    add_song_line(job, dir.file("nodata.wav"), dir.file("nodata.VMA"));
    add_song_line(job, dir.file("good.wav"), dir.file("nowhere/good.VMA"));
    // A destination that is the source through a link would destroy it.
    std::filesystem::create_symlink(dir.file("good.wav"), dir.file("alias.VMA"));
    add_song_line(job, dir.file("good.wav"), dir.file("alias.VMA"));
    add_song_line(job, dir.file("good.wav"), dir.file("good.VMA"));
    start_song_job(*ctx, ctx->codec, ctx->state, job);
    run();

    EXPECT_EQ(job.lines[0].status, SONG_REFUSED);
    EXPECT_EQ(job.lines[1].status, SONG_REFUSED);
    EXPECT_EQ(job.lines[2].status, SONG_REFUSED);
    EXPECT_EQ(job.lines[3].status, SONG_REFUSED);
    EXPECT_EQ(job.lines[4].status, SONG_DONE);
    EXPECT_EQ(refused_songs(job), 4);
    ASSERT_GE(host.messages.size(), 4u);
    EXPECT_EQ(host.messages[0].text, "Cannot open file " + dir.file("missing.wav") + "\nPlease check the script.");
    // The real cause, not a word about PCM or rates.
    EXPECT_EQ(host.messages[1].text,
              "Cannot compress " + dir.file("nodata.wav") + ": it has no data chunk.");
    EXPECT_EQ(host.messages[2].text, "Cannot open file " + dir.file("nowhere/good.VMA") + "\nPlease check the script.");
    // The plain causes, for a command line.
    EXPECT_EQ(job.lines[0].problem, "cannot open " + dir.file("missing.wav") + ": No such file or directory");
    EXPECT_EQ(job.lines[1].problem, dir.file("nodata.wav") + ": it has no data chunk");
    EXPECT_EQ(job.lines[2].problem, "cannot create " + dir.file("nowhere/good.VMA") + ": the folder " +
                                        dir.file("nowhere") + " does not exist");
    EXPECT_EQ(job.lines[3].problem, dir.file("alias.VMA") + " is the song's source itself");
    // No output of a refused song is made; the source is untouched.
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"alias.VMA", "good.V40", "good.VMA", "good.wav", "nodata.wav"}));
    EXPECT_EQ(read_file(dir.file("good.wav")).substr(0, 4), "RIFF");
    EXPECT_EQ(read_sample_file(dir.file("good.VMA")).frames.size(), 8u);
}

TEST_F(SongJobTest, a_text_named_wav_is_refused_with_its_cause_and_no_progress_is_claimed) {
    station(11025, 3528);
    write_file(dir.file("good.wav"), wav(11025, 1, 8, tone(11025, 1, 8, 0.3)));
    write_file(dir.file("notes.wav"), "these are my notes, not a song\n");
    add_song_line(job, dir.file("good.wav"), dir.file("good.VMA"));
    add_song_line(job, dir.file("notes.wav"), dir.file("notes.VMA"));
    add_song_line(job, dir.file("good.wav"), dir.file("again.VMA"));
    ASSERT_EQ(start_song_job(*ctx, ctx->codec, ctx->state, job), 1);
    for (int steps = 0; job.lines[1].status != SONG_REFUSED && steps < 100; ++steps)
        song_job_step(*ctx, ctx->codec, job);
    ASSERT_EQ(job.lines[1].status, SONG_REFUSED);
    // Not "Compressing sample 2 of 3 (100%)": the song before it is done, this one is not.
    EXPECT_STREQ(job.status_text, "Sample 2 of 3 not compressed");
    EXPECT_EQ(job.percent, 0);
    EXPECT_EQ(host.last_message(),
              "Cannot compress " + dir.file("notes.wav") + ": not a RIFF WAVE file.");
    run();
    EXPECT_EQ(job.lines[2].status, SONG_DONE);
}

TEST_F(SongJobTest, source_rates_no_audio_has_are_refused_before_anything_is_coded) {
    // One wrong byte in the "fmt " chunk: at 1 Hz every source byte would
    // become some 8000 samples.
    station(8000, 2000);
    for (uint32_t rate : {0u, 1u, 999u, 768001u}) {
        host.messages.clear();
        write_file(dir.file("odd.wav"), wav(rate, 1, 8, std::string(65536, char(140))));
        SongJob odd;
        open_conversion_job(*ctx, ctx->codec, odd, dir.file("odd.wav"), dir.file("odd.VMA"));
        start_song_job(*ctx, ctx->codec, ctx->state, odd);
        for (int steps = 0; steps < 50 && song_job_step(*ctx, ctx->codec, odd) == SONG_JOB_RUNNING; ++steps) {
        }
        EXPECT_EQ(odd.lines[0].status, SONG_REFUSED) << rate;
        EXPECT_EQ(host.last_message().rfind("Cannot compress " + dir.file("odd.wav") +
                                                ": sampling rate " + std::to_string(rate) + " Hz",
                                            0),
                  0u)
            << host.last_message();
        EXPECT_FALSE(std::filesystem::exists(dir.file("odd.VMA"))) << rate;
    }
    // The lowest rate taken still compresses.
    convert(wav(1000, 1, 8, tone(1000, 1, 8, 1.0, 100.0)), "slow");
    EXPECT_EQ(job.lines[0].status, SONG_DONE);
    EXPECT_EQ(read_sample_file(dir.file("slow.VMA")).frames.size(), 8u);  // 8000 samples: one block
}

struct HeaderRewriteTest : ::testing::Test {
    TempDir dir;
    const std::string entries = zero_lines({"1 \"a b.wav\" \"\" first, text", "2 c.VMA d.bmp second ;x"});
};

TEST_F(HeaderRewriteTest, longer_header_rewrites_the_whole_file_keeping_every_entry) {
    write_file(dir.file("s.VSK"), zero_lines({"2 8000 032 SCRIPT"}) + entries);
    chmod(dir.file("s.VSK").c_str(), 0640);
    ASSERT_EQ(rewrite_script_header(dir.file("s.VSK").c_str(), 2, 44100, 32), 1);
    EXPECT_EQ(read_file(dir.file("s.VSK")), zero_lines({"2 44100 032 SCRIPT"}) + entries);
    struct stat st;
    ASSERT_EQ(stat(dir.file("s.VSK").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    int rate = 0, percent = 0;
    EXPECT_EQ(read_script_header(dir.file("s.VSK").c_str(), &rate, &percent), 1);
    EXPECT_EQ(rate, 44100);
}

TEST_F(HeaderRewriteTest, shorter_header_leaves_no_stray_characters) {
    write_file(dir.file("s.VSK"), zero_lines({"12 44100 1234 SCRIPT"}) + entries);
    ASSERT_EQ(rewrite_script_header(dir.file("s.VSK").c_str(), 2, 8000, 5), 1);
    EXPECT_EQ(read_file(dir.file("s.VSK")), zero_lines({"2 8000 005 SCRIPT"}) + entries);
}

TEST_F(HeaderRewriteTest, same_length_is_written_in_place_and_no_temporary_file_remains) {
    write_file(dir.file("s.VSK"), zero_lines({"2 11025 032 SCRIPT"}) + entries);
    ASSERT_EQ(rewrite_script_header(dir.file("s.VSK").c_str(), 2, 22050, 40), 1);
    EXPECT_EQ(read_file(dir.file("s.VSK")), zero_lines({"2 22050 040 SCRIPT"}) + entries);
    write_file(dir.file("bare.VSK"), "1 8000 032 SCRIPT");  // a header without its zero byte
    ASSERT_EQ(rewrite_script_header(dir.file("bare.VSK").c_str(), 1, 11025, 32), 1);
    EXPECT_EQ(read_file(dir.file("bare.VSK")), zero_lines({"1 11025 032 SCRIPT"}));
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) files += e.is_regular_file();
    EXPECT_EQ(files, 2);
    EXPECT_EQ(rewrite_script_header(dir.file("none.VSK").c_str(), 1, 8000, 32), 0);
}

}  // namespace

namespace {

// Sources refused only after the outputs were opened used to cut the good
// files of an earlier run down to their magic.
TEST_F(SongJobTest, refused_sources_leave_the_files_of_an_earlier_run_byte_identical) {
    station(11025, 3528);
    convert(wav(11025, 1, 16, tone(11025, 1, 16, 1.0)), "out");
    ASSERT_EQ(job.lines[0].status, SONG_DONE);
    const std::string main = read_file(dir.file("out.VMA")), companion = read_file(dir.file("out.V40"));

    using namespace wav_bytes;
    const std::string fmt = chunk("fmt ", format(1, 1, 11025, 16)), data = chunk("data", std::string(4000, '\1'));
    const struct {
        const char* what;
        std::string bytes;
        const char* problem;
    } bad[] = {
        {"data before fmt", riff(data + fmt), "its data chunk comes before its format chunk"},
        {"rate below 1000 Hz", pcm(999, 1, 16, std::string(4000, '\1')),
         "sampling rate 999 Hz: only 1000 to 768000 Hz are read"},
        {"no data chunk", riff(fmt), "it has no data chunk"},
        {"empty data chunk", riff(fmt + chunk("data", "")), "it holds no samples"},
        {"not RIFF", "RIFX" + riff(fmt + data).substr(4), "not a RIFF WAVE file"},
    };
    for (const auto& source : bad) {
        write_file(dir.file("bad.wav"), source.bytes);
        SongJob again;
        again.force = true;
        open_conversion_job(*ctx, ctx->codec, again, dir.file("bad.wav"), dir.file("out.VMA"));
        start_song_job(*ctx, ctx->codec, ctx->state, again);
        while (song_job_step(*ctx, ctx->codec, again) == SONG_JOB_RUNNING) {
        }
        EXPECT_EQ(again.lines[0].status, SONG_REFUSED) << source.what;
        EXPECT_EQ(again.lines[0].problem, dir.file("bad.wav") + ": " + source.problem) << source.what;
        EXPECT_EQ(read_file(dir.file("out.VMA")), main) << source.what;
        EXPECT_EQ(read_file(dir.file("out.V40")), companion) << source.what;
        EXPECT_EQ(names_in(dir), (std::set<std::string>{"bad.wav", "out.V40", "out.VMA", "out.wav"})) << source.what;
    }
}

TEST_F(SongJobTest, outputs_that_are_the_script_or_the_source_through_a_link_are_refused) {
    station(11025, 3528);
    // A script named like the song's compressed file.
    write_file(dir.file("mix.wav"), wav(11025, 1, 8, tone(11025, 1, 8, 0.5)));
    const std::string script = zero_lines({"1 11025 032 SCRIPT", "1 " + dir.file("mix.wav") + " \"\" mix"});
    write_file(dir.file("mix.VMA"), script);
    ASSERT_EQ(open_song_job(*ctx, ctx->codec, ctx->state, job, dir.file("mix.VMA").c_str()), 1);
    start_song_job(*ctx, ctx->codec, ctx->state, job);
    run();
    EXPECT_EQ(job.lines[0].status, SONG_REFUSED);
    EXPECT_EQ(job.lines[0].problem, dir.file("mix.VMA") + " is the script itself");
    EXPECT_EQ(read_file(dir.file("mix.VMA")), script);
    EXPECT_FALSE(std::filesystem::exists(dir.file("mix.V40")));

    // A companion that is a link to the source.
    std::filesystem::create_symlink(dir.file("mix.wav"), dir.file("song.V40"));
    const std::string source = read_file(dir.file("mix.wav"));
    SongJob linked;
    open_conversion_job(*ctx, ctx->codec, linked, dir.file("mix.wav"), dir.file("song.VMA"));
    start_song_job(*ctx, ctx->codec, ctx->state, linked);
    while (song_job_step(*ctx, ctx->codec, linked) == SONG_JOB_RUNNING) {
    }
    EXPECT_EQ(linked.lines[0].status, SONG_REFUSED);
    EXPECT_EQ(linked.lines[0].problem, dir.file("song.V40") + " is the song's source itself");
    EXPECT_EQ(read_file(dir.file("mix.wav")), source);
    EXPECT_FALSE(std::filesystem::exists(dir.file("song.VMA")));
}

TEST_F(SongJobTest, a_destination_without_vma_gets_it_appended_and_its_companion_stays_beside_it) {
    station(11025, 3528);
    std::filesystem::create_directory(dir.file("music"));
    write_file(dir.file("s.wav"), wav(11025, 1, 8, tone(11025, 1, 8, 0.5)));
    open_conversion_job(*ctx, ctx->codec, job, dir.file("s.wav"), dir.file("music/ab"));
    EXPECT_EQ(job.lines[0].destination, dir.file("music/ab.VMA"));
    start_song_job(*ctx, ctx->codec, ctx->state, job);
    run();
    EXPECT_EQ(job.lines[0].status, SONG_DONE);
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"music", "s.wav"}));
    EXPECT_EQ(read_sample_file(dir.file("music/ab.VMA")).frames.size(), 8u);
    EXPECT_EQ(read_sample_file(dir.file("music/ab.V40")).frames.size(), 8u);
    // Any case of ".VMA" is a destination as it stands.
    add_song_line(job, dir.file("s.wav"), dir.file("x.vma"));
    EXPECT_EQ(job.lines.back().destination, dir.file("x.vma"));
}

// Sets a file's modification time `seconds` away from now.
void age(const std::string& path, int seconds) {
    timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) + seconds, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

TEST_F(SongJobTest, a_song_is_up_to_date_only_when_its_files_are_not_older_than_its_source) {
    station(11025, 3528);
    auto compress = [&](const std::string& source) {
        SongJob again;
        open_conversion_job(*ctx, ctx->codec, again, dir.file(source), dir.file("out.VMA"));
        start_song_job(*ctx, ctx->codec, ctx->state, again);
        while (song_job_step(*ctx, ctx->codec, again) == SONG_JOB_RUNNING) {
        }
        EXPECT_EQ(again.lines[0].status, SONG_DONE) << source;
    };
    write_file(dir.file("a.wav"), wav(11025, 1, 8, tone(11025, 1, 8, 1.0, 300.0)));
    write_file(dir.file("b.wav"), wav(11025, 1, 8, tone(11025, 1, 8, 2.0, 900.0)));
    age(dir.file("a.wav"), -100);
    compress("a.wav");
    ASSERT_EQ(read_sample_file(dir.file("out.VMA")).frames.size(), 8u);

    // The same song again: passed over.
    const std::string made = read_file(dir.file("out.VMA"));
    compress("a.wav");
    EXPECT_EQ(read_file(dir.file("out.VMA")), made);

    // Another, newer song to the same file is compressed, not taken as done.
    age(dir.file("b.wav"), 100);
    compress("b.wav");
    EXPECT_EQ(read_sample_file(dir.file("out.VMA")).frames.size(), 16u);

    // A changed song is compressed again.
    write_file(dir.file("a.wav"), wav(11025, 1, 8, tone(11025, 1, 8, 3.0, 300.0)));
    age(dir.file("a.wav"), 200);
    compress("a.wav");
    EXPECT_EQ(read_sample_file(dir.file("out.VMA")).frames.size(), 24u);
    // Only the main file being newer is not enough.
    age(dir.file("a.wav"), 300);
    age(dir.file("out.VMA"), 400);
    const std::string before = read_file(dir.file("out.V40"));
    std::string marked = read_file(dir.file("out.VMA"));
    marked.back() ^= 0x11;
    write_file(dir.file("out.VMA"), marked);
    age(dir.file("out.VMA"), 400);
    compress("a.wav");
    EXPECT_NE(read_file(dir.file("out.VMA")), marked);
    EXPECT_EQ(read_file(dir.file("out.V40")), before);  // same song, same bytes
}

TEST_F(SongJobTest, a_pipe_named_as_a_song_is_refused_without_waiting_for_a_writer) {
    station(11025, 3528);
    ASSERT_EQ(mkfifo(dir.file("pipe.wav").c_str(), 0600), 0);
    open_conversion_job(*ctx, ctx->codec, job, dir.file("pipe.wav"), dir.file("pipe.VMA"));
    start_song_job(*ctx, ctx->codec, ctx->state, job);
    run();
    EXPECT_EQ(job.lines[0].status, SONG_REFUSED);
    EXPECT_EQ(job.lines[0].problem,
              "cannot open " + dir.file("pipe.wav") + ": it is not a regular file (a pipe or a device)");
    EXPECT_EQ(names_in(dir), (std::set<std::string>{"pipe.wav"}));
}

}  // namespace

namespace {

// A 2 s tone in 24-bit, 32-bit or float samples came out as 6.1 s of noise.
TEST_F(SongJobTest, deep_float_and_extensible_songs_compress_exactly_like_their_16_bit_original) {
    using namespace wav_bytes;
    station(11025, 3528);
    const std::string data = tone(44100, 2, 16, 2.0);
    convert(wav(44100, 2, 16, data), "ref");
    const std::string reference = read_file(dir.file("ref.VMA"));
    ASSERT_EQ(read_sample_file(dir.file("ref.VMA")).frames.size(), 16u);

    const struct {
        const char* what;
        std::string bytes;
    } variants[] = {
        {"24-bit", pcm(44100, 2, 24, widen16(data, 24))},
        {"32-bit", pcm(44100, 2, 32, widen16(data, 32))},
        {"float", riff(chunk("fmt ", format(3, 2, 44100, 32)) + chunk("data", widen16(data, 32, true)))},
        {"extensible 24 in 32", riff(chunk("fmt ", extensible_format(2, 44100, 32, 24, 1)) +
                                     chunk("data", widen16(data, 32)))},
        {"extensible float", riff(chunk("fmt ", extensible_format(2, 44100, 32, 32, 3)) +
                                  chunk("data", widen16(data, 32, true)))},
        {"odd chunk and its pad byte first", riff(chunk("LIST", "abc") + chunk("fmt ", format(1, 2, 44100, 16)) +
                                                  chunk("data", data))},
    };
    for (const auto& variant : variants) {
        convert(variant.bytes, "variant");
        EXPECT_EQ(job.lines[0].status, SONG_DONE) << variant.what << ": " << job.lines[0].problem;
        EXPECT_TRUE(read_file(dir.file("variant.VMA")) == reference) << variant.what;
    }
}

TEST_F(SongJobTest, every_channel_of_a_surround_song_is_mixed_in) {
    station(11025, 3528);
    // Six channels: the tone in the fifth, the rest silent.
    const std::string mono = tone(11025, 1, 16, 2.0, 440.0, 0.9);
    std::string six;
    for (size_t i = 0; i < mono.size(); i += 2) six += std::string(8, '\0') + mono.substr(i, 2) + std::string(2, '\0');
    convert(wav(11025, 6, 16, six));
    ASSERT_EQ(job.lines[0].status, SONG_DONE) << job.lines[0].problem;
    std::vector<uint8_t> expected;
    for (size_t i = 0; i < mono.size(); i += 2)
        expected.push_back(uint8_t(int16_t(uint8_t(mono[i]) | uint8_t(mono[i + 1]) << 8) / 6 / 256 + 128));
    const SampleFile main = read_sample_file(dir.file("song.VMA"));
    EXPECT_EQ(main.frames.size(), 16u);  // 2 s, not 12
    EXPECT_GT(snr_db(expected, decode_song(main), expected.size()), 12.0);
}

TEST_F(SongJobTest, samples_that_cannot_be_read_are_refused_by_their_format) {
    using namespace wav_bytes;
    station(11025, 3528);
    const struct {
        std::string fmt;
        const char* problem;
    } odd[] = {
        {format(1, 1, 11025, 12), "12-bit PCM: only 8, 16, 24 and 32-bit PCM samples are read"},
        {format(3, 1, 11025, 64), "64-bit float samples: only 32-bit float samples are read"},
        {format(2, 1, 11025, 4), "format tag 2 (ADPCM): only PCM and float samples are read"},
        {extensible_format(2, 11025, 4, 4, 2), "format tag 2 (ADPCM): only PCM and float samples are read"},
        {format(1, 0, 11025, 16), "0 channels: 1 to 256 are read"},
        {format(1, 300, 11025, 16), "300 channels: 1 to 256 are read"},
    };
    for (const auto& source : odd) {
        convert(riff(chunk("fmt ", source.fmt) + chunk("data", std::string(9000, '\1'))), "odd");
        EXPECT_EQ(job.lines[0].status, SONG_REFUSED) << source.problem;
        EXPECT_EQ(job.lines[0].problem, dir.file("odd.wav") + ": " + source.problem);
        EXPECT_EQ(names_in(dir), (std::set<std::string>{"odd.wav"}));
    }
}

}  // namespace

namespace {

TEST_F(SongJobTest, script_lines_the_station_would_not_play_are_refused_with_their_line_and_cause) {
    station(11025, 3528);
    write_file(dir.file("a.wav"), wav(11025, 1, 8, tone(11025, 1, 8, 0.5)));
    write_file(dir.file("wide.VMA"), std::string("VMA \x22\x56\0\0\x20\0\0\0\0\0\0\0", 16));  // 22050 Hz
    write_file(dir.file("cut.VMA"), std::string("VMA \x11\x2b\0\0\x20\0\0\0\0\0\0\0\0\x09xx", 20));
    const std::string long_name = dir.path() + "/" + std::string(260, 'n') + ".wav";
    const std::string long_picture = std::string(256, 'p') + ".bmp";
    write_file(dir.file("s.VSK"),
               zero_lines({"6 11025 032 SCRIPT", "1 " + dir.file("gone.VMA") + " \"\" missing", "",
                           "1 " + long_name + " \"\" long", "1 \"\" pic.bmp nothing",
                           "1 " + dir.file("wide.VMA") + " \"\" other rate",
                           "1 " + dir.file("cut.VMA") + " \"\" cut off",
                           "1 " + dir.file("a.wav") + " " + long_picture + " fine but its picture",
                           "1 " + dir.file("a.wav") + " \"\" beyond"}));
    ASSERT_EQ(open_song_job(*ctx, ctx->codec, ctx->state, job, dir.file("s.VSK").c_str()), 1);
    ASSERT_EQ(job.lines.size(), 6u);
    const std::pair<int, std::string> refused[] = {
        {2, dir.file("gone.VMA") + ": No such file or directory"},
        {4, "the song name is longer than 255 characters"},
        {5, "no song is named"},
        {6, dir.file("wide.VMA") + ": compressed at 22050 Hz, the station runs at 11025 Hz"},
        {7, dir.file("cut.VMA") + ": its frames do not add up (the file is cut off or damaged)"},
    };
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(job.lines[i].status, SONG_REFUSED) << i;
        EXPECT_EQ(job.lines[i].script_line, refused[i].first) << i;
        EXPECT_EQ(job.lines[i].problem, refused[i].second) << i;
    }
    EXPECT_EQ(job.lines[5].status, SONG_WAITING);
    EXPECT_EQ(job.lines[5].script_line, 8);
    ASSERT_EQ(job.script_problems.size(), 2u);
    EXPECT_EQ(job.script_problems[0].line, 8);
    EXPECT_EQ(job.script_problems[0].text, "the picture name is longer than 255 characters");
    EXPECT_EQ(job.script_problems[1].line, 9);
    EXPECT_EQ(job.script_problems[1].text, "beyond the 6 songs the header announces");

    write_file(dir.file("none.VSK"), zero_lines({"-3 11025 032 SCRIPT"}));
    SongJob none;
    EXPECT_EQ(open_song_job(*ctx, ctx->codec, ctx->state, none, dir.file("none.VSK").c_str()), 0);
    ASSERT_EQ(none.script_problems.size(), 1u);
    EXPECT_EQ(none.script_problems[0].line, 1);
    EXPECT_EQ(none.script_problems[0].text, "the header announces -3 songs");
}

}  // namespace
