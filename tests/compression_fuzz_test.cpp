// Malformed input for the song job and the picture pass: WAV files and
// scripts cut short, overwritten with garbage and given absurd sizes. The
// job must refuse or finish every one in bounded steps, never read or write
// out of bounds (run under the asan preset), and whatever it marks done must
// be a whole, decodable sample file.
//
// WAV input layout: "RIFF" size "WAVE" (12 bytes), "fmt " chunk (8 + 16:
// tag, channels, rate, byte rate, block align, bits), "data" chunk (8) and
// the PCM bytes. Script input layout: zero-terminated lines, the header
// "count rate percent SCRIPT", then "count song picture text" entries.

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/program.h"
#include "compression_test_media.h"
#include "media/picture_pass.h"
#include "media/sample_compression.h"
#include "support/fake_host.h"
#include "support/temp_dir.h"

namespace {

using namespace compression_media;

struct Lcg {
    uint32_t state;
    uint32_t next() { return state = state * 1664525u + 1013904223u; }
    uint32_t below(uint32_t n) { return (next() >> 8) % n; }
};

// Runs the working directory inside a temporary one: mutated scripts name
// songs relative to it, and their outputs must land there.
struct InTempDir {
    TempDir dir;
    std::string previous = std::filesystem::current_path().string();
    InTempDir() { std::filesystem::current_path(dir.path()); }
    ~InTempDir() { std::filesystem::current_path(previous); }
};

struct CompressionFuzz : ::testing::Test {
    FakeHost host;
    std::unique_ptr<Context> ctx = make_context(host);
    InTempDir here;

    CompressionFuzz() {
        ctx->state.SamplingRate = 8000;
        ctx->state.TransferRate = 2000;
    }

    // Converts `bytes` as a WAV song, picking samples and through the
    // resampling filter; checks the outcome.
    void convert(const std::string& bytes, const std::string& what) {
        for (bool filter : {false, true}) convert(bytes, filter, what + (filter ? " (filtered)" : ""));
    }

    void convert(const std::string& bytes, bool filter, const std::string& what) {
        write_file("in.wav", bytes);
        std::remove("in.VMA");
        std::remove("in.V40");
        SongJob job;
        job.filter = filter;
        open_conversion_job(*ctx, ctx->codec, job, "in.wav", "in.VMA");
        start_song_job(*ctx, ctx->codec, ctx->state, job);
        int steps = 0;
        while (song_job_step(*ctx, ctx->codec, job) == SONG_JOB_RUNNING) ASSERT_LT(++steps, 2000) << what;
        end_song_job(*ctx, ctx->codec, job);
        const char status = job.lines[0].status;
        ASSERT_TRUE(status == SONG_DONE || status == SONG_REFUSED) << what;
        if (status == SONG_DONE) {
            for (const char* name : {"in.VMA", "in.V40"}) {
                const SampleFile file = read_sample_file(name);
                ASSERT_TRUE(file.read && file.clean_end) << what;
                ASSERT_EQ(file.header.sampling_rate, 8000u) << what;
                ASSERT_EQ(file.frames.size() % kFramesPerSuperBlock, 0u) << what;
                if (!file.frames.empty()) {
                    ASSERT_FALSE(decode_song(file).empty()) << what;
                }
            }
        }
    }
};

std::string small_wav(int channels, int bits) {
    return wav(11025, channels, bits, tone(11025, channels, bits, 0.03));
}

TEST_F(CompressionFuzz, wav_cut_at_every_length_of_its_headers) {
    for (const std::string& base : {small_wav(2, 16), small_wav(1, 8)})
        for (size_t length = 0; length <= 60; ++length)
            convert(base.substr(0, length), "cut at " + std::to_string(length));
}

TEST_F(CompressionFuzz, wav_header_fields_with_extreme_values) {
    const std::string base = small_wav(2, 16);
    const std::vector<uint32_t> values = {0, 1, 2, 3, 0xFF, 0xFFFF, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
    // RIFF size, fmt size, tag+channels, rate, byte rate, align+bits, data size.
    for (size_t offset : {4, 16, 20, 24, 28, 32, 40})
        for (uint32_t value : values) {
            std::string bytes = base;
            bytes.replace(offset, 4, wav_bytes::le32(value));
            convert(bytes, "field at " + std::to_string(offset) + " = " + std::to_string(value));
        }
}

TEST_F(CompressionFuzz, wav_with_random_bytes_in_its_headers_and_odd_chunks) {
    Lcg rng{7};
    const std::string bases[] = {small_wav(2, 16), small_wav(1, 16), small_wav(2, 8),
                                 wav_bytes::riff(wav_bytes::chunk("LIST", "abc") +
                                                 wav_bytes::chunk("FMT ", wav_bytes::format(1, 1, 22050, 16)) +
                                                 wav_bytes::chunk("DATA", std::string(301, 'q')))};
    for (int round = 0; round < 150; ++round) {
        std::string bytes = bases[rng.below(4)];
        const int changes = 1 + int(rng.below(4));
        for (int c = 0; c < changes; ++c) bytes[rng.below(48)] = char(rng.next() >> 24);
        convert(bytes, "round " + std::to_string(round));
    }
}

TEST_F(CompressionFuzz, scripts_that_are_cut_garbled_or_oversized) {
    write_file("song.wav", small_wav(1, 8));
    const std::string good = std::string("3 11025 032 SCRIPT") + '\0' + "1 song.wav pic.bmp text" + '\0' +
                             "2 \"quoted name.wav\" \"\" x;y" + '\0' + "1 old.VMA \"\" z" + '\0';
    std::vector<std::string> scripts;
    for (size_t length = 0; length <= good.size(); length += 3) scripts.push_back(good.substr(0, length));
    scripts.push_back("2000000000 8000 032 SCRIPT");                   // no zero byte, huge count
    scripts.push_back(std::string("-5 x y z") + '\0' + "1 song.wav");   // negative count
    scripts.push_back(std::string("1 1 1 SCRIPT") + '\0' + "1 " + std::string(5000, 'a') + ".wav p t");
    scripts.push_back(std::string("1 1 1 SCRIPT") + '\0' + "1 \"unclosed.wav p t");
    scripts.push_back(std::string(3000, '\0'));
    Lcg rng{11};
    for (int round = 0; round < 100; ++round) {
        std::string bytes = good;
        for (int c = 0; c < 6; ++c) bytes[rng.below(uint32_t(bytes.size()))] = char(rng.next() >> 24);
        scripts.push_back(bytes);
    }

    for (size_t i = 0; i < scripts.size(); ++i) {
        write_file("s.VSK", scripts[i]);
        SongJob job;
        const int waiting = open_song_job(*ctx, ctx->codec, ctx->state, job, "s.VSK");
        ASSERT_GE(waiting, -1) << i;
        if (waiting < 0) {
            ASSERT_EQ(read_file("s.VSK"), scripts[i]) << i;  // refused, left as it was
        }
        if (waiting > 0) {
            start_song_job(*ctx, ctx->codec, ctx->state, job);
            int steps = 0;
            while (song_job_step(*ctx, ctx->codec, job) == SONG_JOB_RUNNING) ASSERT_LT(++steps, 2000) << i;
        }
        end_song_job(*ctx, ctx->codec, job);
        for (const SongLine& line : job.lines) ASSERT_NE(line.status, SONG_WAITING) << i;

        PicturePass pass;
        open_picture_pass(*ctx, pass, "s.VSK", true);
        int steps = 0;
        while (picture_pass_step(*ctx, ctx->pictures, pass) == PICTURE_PASS_RUNNING) ASSERT_LT(++steps, 100) << i;
        open_picture_pass(*ctx, pass, "s.VSK", false);
        while (picture_pass_step(*ctx, ctx->pictures, pass) == PICTURE_PASS_RUNNING) ASSERT_LT(++steps, 200) << i;
    }
}

}  // namespace
