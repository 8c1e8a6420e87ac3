#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/context.h"
#include "app/program.h"
#include "compression_test_media.h"
#include "media/sample_compression.h"
#include "support/audio_measures.h"
#include "support/fake_host.h"
#include "support/temp_dir.h"

namespace {

using namespace compression_media;

// 64-bit FNV-1a: a fingerprint of a whole prepared file.
uint64_t fingerprint(const std::string& bytes) {
    uint64_t h = 14695981039346656037ull;
    for (char c : bytes) h = (h ^ uint8_t(c)) * 1099511628211ull;
    return h;
}

// Integer-only PCM (the same bytes on every machine): a slow triangle, a
// fast square near the top of the band and noise from a fixed generator.
std::string integer_pcm(long frames, int channels, int bits) {
    std::string data;
    uint32_t seed = 7;
    for (long i = 0; i < frames; ++i) {
        const long slow = i % 400 < 200 ? i % 400 - 100 : 300 - i % 400;  // -100..100
        const long fast = i % 7 < 3 ? 20 : -20;
        seed = seed * 1664525u + 1013904223u;
        const long noise = long(seed >> 27) - 16;
        for (int c = 0; c < channels; ++c) {
            const long v = (c == 0 ? slow : -slow / 2) + fast + noise;  // -136..135
            if (bits == 16) data += wav_bytes::le16(uint32_t(int16_t(v * 200)) & 0xFFFF);
            else data += char(uint8_t(128 + v * 127 / 140));
        }
    }
    return data;
}

struct ResamplingTest : ::testing::Test {
    FakeHost host;
    std::unique_ptr<Context> ctx = make_context(host);
    TempDir dir;

    // Prepares `wav_bytes` for a station at `rate` Hz and `transfer` bytes per
    // second; returns the main and the companion file as they were written.
    std::pair<std::string, std::string> prepare(const std::string& wav_bytes, int rate, int transfer,
                                                bool filter = false) {
        ctx->state.SamplingRate = rate;
        ctx->state.TransferRate = transfer;
        write_file(dir.file("song.wav"), wav_bytes);
        SongJob job;
        job.filter = filter;
        open_conversion_job(*ctx, ctx->codec, job, dir.file("song.wav"), dir.file("song.VMA"));
        EXPECT_EQ(start_song_job(*ctx, ctx->codec, ctx->state, job), 1);
        while (song_job_step(*ctx, ctx->codec, job) == SONG_JOB_RUNNING) {
        }
        EXPECT_EQ(job.lines[0].status, SONG_DONE);
        end_song_job(*ctx, ctx->codec, job);
        return {read_file(dir.file("song.VMA")), read_file(dir.file("song.V40"))};
    }
};

// Prepared files are what other stations make of the same song: the plain
// picking path must never change. The fingerprints were taken from the files
// this build made before filtering existed. Each song is a whole number of
// reading passes, so the end-of-song rule of a short last pass plays no part.
TEST_F(ResamplingTest, default_path_makes_the_same_bytes_as_before) {
    // 44100 Hz 16-bit stereo for 11025 Hz: two super-blocks, four frames picked from sixteen.
    auto [main, companion] = prepare(wav(44100, 2, 16, integer_pcm(131072, 2, 16)), 11025, 2000);
    EXPECT_EQ(read_sample_file(dir.file("song.VMA")).frames.size(), 16u);
    EXPECT_EQ(fingerprint(main), 7108557554872889280ull);
    EXPECT_EQ(fingerprint(companion), 13076798486368408668ull);

    // 8000 Hz 8-bit mono for 16000 Hz: every sample picked twice.
    std::tie(main, companion) = prepare(wav(8000, 1, 8, integer_pcm(16384, 1, 8)), 16000, 2000);
    EXPECT_EQ(read_sample_file(dir.file("song.VMA")).frames.size(), 16u);
    EXPECT_EQ(fingerprint(main), 14855895706110537526ull);
    EXPECT_EQ(fingerprint(companion), 2507578627621144454ull);
}

// Through the filter the song keeps its length, and the samples the filter
// still holds when the last source byte has been read reach the file too.
TEST_F(ResamplingTest, filtered_song_keeps_its_length_and_its_end) {
    // Exactly two super-blocks of source at 44100 Hz for 11025 Hz.
    prepare(wav(44100, 1, 16, tone(44100, 1, 16, 131072.0 / 44100, 440.0, 0.5)), 11025, 2000, true);
    std::vector<uint8_t> decoded = decode_song(read_sample_file(dir.file("song.VMA")));
    ASSERT_GE(decoded.size(), 2u * kSuperBlockSamples);
    auto loud = [&](size_t from, size_t to) {
        int n = 0;
        for (size_t i = from; i < to; ++i) n += std::abs(int(decoded[i]) - 128) > 20;
        return n;
    };
    EXPECT_GT(loud(32768 - 200, 32768), 60);  // the last samples of the song are the tone

    // 8000 Hz for 16000 Hz: 1.3 s make 20800 samples, then silence.
    prepare(wav(8000, 1, 8, tone(8000, 1, 8, 1.3, 300.0)), 16000, 2000, true);
    decoded = decode_song(read_sample_file(dir.file("song.VMA")));
    ASSERT_EQ(decoded.size(), 2u * kSuperBlockSamples);
    EXPECT_GT(loud(20800 - 300, 20800 - 100), 100);
    EXPECT_EQ(loud(20800 + 300, decoded.size()), 0);
}

// The real program with and without --filter: a 12 kHz tone in a 44100 Hz
// source folds back to 975 Hz on an 11025 Hz station unless filtered.
TEST_F(ResamplingTest, filter_option_removes_the_alias_of_a_tone_above_the_band) {
    const int station = 11025;
    write_file(dir.file("station.ini"), "[VelmoraStation]\nSamplingRate=11025\nTransferRate=9000\n");
    write_file(dir.file("high.wav"), wav(44100, 2, 16, tone(44100, 2, 16, 2.0, 12000.0)));
    write_file(dir.file("low.wav"), wav(44100, 2, 16, tone(44100, 2, 16, 2.0, 1000.0)));
    auto level = [&](const std::string& options, const std::string& song, double hz) {
        const std::string command = "cd '" + dir.path() + "' && '" VELMORA_BIN_DIR
                                    "/velmora-compress' --settings station.ini --force " + options +
                                    " " + song + ".wav out.VMA >out.txt 2>&1";
        const int status = std::system(command.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read_file(dir.file("out.txt"));
        std::vector<uint8_t> decoded = decode_song(read_sample_file(dir.file("out.VMA")));
        decoded.resize(size_t(2 * station));  // the song, not the silence after it
        return audio_measures::tone_level_db(decoded, hz, station);
    };
    const double reference = level("", "low", 1000);
    const double picked = level("", "high", 975);
    const double filtered = level("--filter", "high", 975);
    EXPECT_NEAR(picked, reference, 3.0);          // picking keeps the alias at full level
    EXPECT_LT(filtered, picked - 30.0);           // the filter removes it
    EXPECT_NEAR(level("--filter", "low", 1000), reference, 1.0);  // and keeps the band
}

}  // namespace
