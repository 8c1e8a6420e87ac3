#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "codec/sample_file.h"
#include "codec/wav_reader.h"
#include "codec/wav_writer.h"
#include "support/temp_dir.h"
#include "support/wav_bytes.h"

namespace {

using namespace wav_bytes;

std::string frame_record(int length, char fill) {
    return std::string{char(length >> 8), char(length & 0xFF)} + std::string(size_t(length), fill);
}

std::string sample_header(uint32_t rate, int rate_code) {
    uint8_t bytes[kSampleHeaderBytes];
    make_sample_header(bytes, rate, rate_code);
    return std::string(reinterpret_cast<char*>(bytes), kSampleHeaderBytes);
}

struct SampleFileTest : ::testing::Test {
    TempDir dir;

    int check(const std::string& name, const std::string& bytes, int rate = 22050) {
        write_file(dir.file(name), bytes);
        return check_sample_file(dir.file(name).c_str(), rate);
    }
};

TEST_F(SampleFileTest, header_layout_is_magic_rate_code_and_zeros) {
    EXPECT_EQ(sample_header(22050, 32), std::string("VMA \x22\x56\x00\x00\x20\x00\x00\x00\x00\x00\x00\x00", 16));
}

TEST_F(SampleFileTest, compressed_files_must_add_up_exactly) {
    std::string header = sample_header(22050, 32);
    std::string frames = frame_record(262, 'a') + frame_record(10, 'b') + frame_record(0, 'c');
    EXPECT_EQ(check("header.VMA", header), SAMPLE_USABLE);
    EXPECT_EQ(check("song.VMA", header + frames), SAMPLE_USABLE);
    EXPECT_EQ(check("long.VMA", header + frames + "x"), SAMPLE_NEEDS_WORK);
    EXPECT_EQ(check("short.VMA", header + frames.substr(0, frames.size() - 1)), SAMPLE_NEEDS_WORK);
    EXPECT_EQ(check("cut.VMA", header.substr(0, 15)), SAMPLE_NEEDS_WORK);
    EXPECT_EQ(check("empty.VMA", ""), SAMPLE_NEEDS_WORK);
    EXPECT_EQ(check("rate.VMA", sample_header(44100, 32) + frames), SAMPLE_RATE_MISMATCH);
    EXPECT_EQ(check("magic.VMA", "VMB" + header.substr(3) + frames), SAMPLE_UNKNOWN_FORMAT);
}

TEST_F(SampleFileTest, the_extension_decides_how_a_file_is_read) {
    std::string wrong_magic = "RIFF" + sample_header(22050, 32).substr(4);
    EXPECT_EQ(check("lower.vma", wrong_magic), SAMPLE_UNKNOWN_FORMAT);  // still compressed
    EXPECT_EQ(check("mixed.VmA", sample_header(22050, 32)), SAMPLE_USABLE);
    EXPECT_EQ(check("song.VMA.wav", sample_header(22050, 32)), SAMPLE_NEEDS_WORK);  // parsed as WAV
    EXPECT_EQ(check("song.VMA.wav", pcm(22050, 1, 8, "abc")), SAMPLE_USABLE);
    EXPECT_EQ(check_sample_file(dir.file("missing.VMA").c_str(), 22050), SAMPLE_CANNOT_OPEN);
    EXPECT_EQ(check_sample_file(dir.path().c_str(), 22050), SAMPLE_CANNOT_OPEN);
}

TEST_F(SampleFileTest, wav_files_are_checked_chunk_by_chunk) {
    EXPECT_EQ(check("ok.wav", pcm(22050, 2, 16, "abcd")), SAMPLE_USABLE);
    EXPECT_EQ(check("rate.wav", pcm(44100, 2, 16, "abcd")), SAMPLE_NEEDS_WORK);
    EXPECT_EQ(check("adpcm.wav", riff(chunk("fmt ", format(2, 1, 22050, 4)) + chunk("data", "abcd"))),
              SAMPLE_UNKNOWN_FORMAT);
    EXPECT_EQ(check("12bit.wav", pcm(22050, 1, 12, "abcd")), SAMPLE_UNKNOWN_FORMAT);
    EXPECT_EQ(check("float.wav", riff(chunk("fmt ", format(3, 1, 22050, 32)) + chunk("data", "abcd"))),
              SAMPLE_USABLE);
    EXPECT_EQ(check("ext.wav", riff(chunk("fmt ", extensible_format(2, 22050, 32, 24, 1)) + chunk("data", "abcd"))),
              SAMPLE_USABLE);
    EXPECT_EQ(check("extadpcm.wav", riff(chunk("fmt ", extensible_format(2, 22050, 4, 4, 2)) + chunk("data", "ab"))),
              SAMPLE_UNKNOWN_FORMAT);
    EXPECT_EQ(check("nodata.wav", riff(chunk("fmt ", format(1, 1, 22050, 8)))), SAMPLE_NEEDS_WORK);
    EXPECT_EQ(check("cutfmt.wav", riff(chunk("fmt ", format(1, 1, 22050, 8))).substr(0, 12 + 8 + 10)),
              SAMPLE_NEEDS_WORK);
    EXPECT_EQ(check("tiny.wav", "RIFF"), SAMPLE_NEEDS_WORK);
    EXPECT_EQ(check("rifx.wav", "RIFX" + pcm(22050, 2, 16, "abcd").substr(4)), SAMPLE_NEEDS_WORK);
    // Ids in any case; unknown chunks skipped by their size and the pad byte after an odd size.
    EXPECT_EQ(check("case.wav", riff(chunk("LIST", "odd") + chunk("FMT ", format(1, 1, 22050, 8)) +
                                     chunk("DaTa", "x"))),
              SAMPLE_USABLE);
    // The walk stops at the first "data" chunk; a later format is never seen.
    EXPECT_EQ(check("late.wav", riff(chunk("data", "x") + chunk("fmt ", format(3, 1, 8000, 8)))), SAMPLE_USABLE);
    // A rate mismatch ends the walk at once, before a later non-PCM format.
    EXPECT_EQ(check("first.wav", riff(chunk("fmt ", format(1, 1, 8000, 8)) + chunk("fmt ", format(3, 1, 8000, 8)) +
                                      chunk("data", "x"))),
              SAMPLE_NEEDS_WORK);
    // A chunk size beyond the end of the file.
    EXPECT_EQ(check("huge.wav", riff(chunk("fmt ", format(1, 1, 22050, 8))) + "junk" + le32(0xFFFFFFF0u)),
              SAMPLE_NEEDS_WORK);
}

TEST_F(SampleFileTest, wav_reader_reports_the_format_and_stands_at_the_data) {
    std::string bytes = riff(chunk("junk", "12345") + chunk("fmt ", format(1, 2, 44100, 16) + "xx") +
                             chunk("data", "PCMDATA"));
    write_file(dir.file("a.wav"), bytes);
    FILE* f = std::fopen(dir.file("a.wav").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    WavInfo info;
    ASSERT_EQ(read_wav_header(f, info), WAV_OK);
    EXPECT_TRUE(info.has_format);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.sample_rate, 44100u);
    EXPECT_EQ(info.bits_per_sample, 16);
    EXPECT_EQ(info.data_size, 7u);
    EXPECT_EQ(info.data_offset, int64_t(bytes.find("PCMDATA")));
    char data[8] = {};
    EXPECT_EQ(std::fread(data, 1, 7, f), 7u);
    EXPECT_STREQ(data, "PCMDATA");
    EXPECT_EQ(read_wav_header(f, info, 22050), WAV_RATE_MISMATCH);
    std::fclose(f);
}

TEST_F(SampleFileTest, frames_written_are_read_back_in_order) {
    std::string path = dir.file("round.VMA");
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const uint8_t first[3] = {1, 2, 3};
    const uint8_t second[1] = {9};
    EXPECT_EQ(write_sample_header(f, 8000, 12), 1);
    EXPECT_EQ(write_sample_frame(f, first, 3), 1);
    EXPECT_EQ(write_sample_frame(f, second, 1), 1);
    std::fclose(f);
    EXPECT_EQ(read_file(path).substr(16), std::string("\x00\x03\x01\x02\x03\x00\x01\x09", 8));
    EXPECT_EQ(check_sample_file(path.c_str(), 8000), SAMPLE_USABLE);

    f = std::fopen(path.c_str(), "rb");
    SampleFileHeader header;
    ASSERT_EQ(read_sample_header(f, header), 1);
    EXPECT_TRUE(header.magic_ok);
    EXPECT_EQ(header.sampling_rate, 8000u);
    EXPECT_EQ(header.rate_code, 12);
    uint8_t frame[8];
    EXPECT_EQ(read_sample_frame(f, frame, 2), SAMPLE_FRAME_BAD);  // no room for 3 bytes
    std::fclose(f);

    f = std::fopen(path.c_str(), "rb");
    read_sample_header(f, header);
    EXPECT_EQ(read_sample_frame(f, frame, 8), 3);
    EXPECT_EQ(frame[2], 3);
    EXPECT_EQ(read_sample_frame(f, frame, 8), 1);
    EXPECT_EQ(frame[0], 9);
    EXPECT_EQ(read_sample_frame(f, frame, 8), SAMPLE_FRAME_END);
    std::fclose(f);

    write_file(path, read_file(path).substr(0, 16 + 4));  // cut inside the first frame
    f = std::fopen(path.c_str(), "rb");
    read_sample_header(f, header);
    EXPECT_EQ(read_sample_frame(f, frame, 8), SAMPLE_FRAME_BAD);
    std::fclose(f);
}

// A WAV written as the samples come: nothing at its name until it is
// finished, then a header our reader takes, with the sizes of what came.
TEST_F(SampleFileTest, a_streamed_wav_appears_complete_only_when_finished) {
    const std::string path = dir.file("heard.wav");
    write_file(path, "the recording of yesterday");
    WavStream w;
    ASSERT_EQ(wav_stream_begin(w, path, 8000), 1) << w.out.why;
    const std::string first = "abc", second = "defgh";
    ASSERT_EQ(wav_stream_add(w, reinterpret_cast<const uint8_t*>(first.data()), 3), 1);
    ASSERT_EQ(wav_stream_add(w, reinterpret_cast<const uint8_t*>(second.data()), 5), 1);
    EXPECT_EQ(read_file(path), "the recording of yesterday");
    ASSERT_EQ(wav_stream_finish(w), 1) << w.out.why;
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    WavInfo info;
    ASSERT_EQ(read_wav_header(f, info), WAV_OK);
    std::fclose(f);
    EXPECT_EQ(info.sample_rate, 8000u);
    EXPECT_EQ(info.bits_per_sample, 8);
    EXPECT_EQ(info.data_size, 8u);
    EXPECT_EQ(read_file(path).substr(44), "abcdefgh");
    EXPECT_EQ(w.samples, 8u);

    // A folder that is missing: refused at the start, with the cause.
    WavStream nowhere;
    EXPECT_EQ(wav_stream_begin(nowhere, dir.file("gone/heard.wav"), 8000), 0);
    EXPECT_NE(nowhere.out.why.find("does not exist"), std::string::npos) << nowhere.out.why;
}

// A long recording and a change of rate: each file holds at most its limit
// (a few samples here, 4 GB in use) at one rate, and the next goes on
// under the next name; the caller learns of each file once it is complete.
TEST_F(SampleFileTest, a_wav_series_goes_on_in_the_next_file_when_full_or_at_another_rate) {
    WavSeries series;
    series.path = dir.file("heard.wav");
    series.most_samples = 4;
    const std::string audio = "abcdefghij";
    ASSERT_EQ(wav_series_begin(series, 8000), 1) << series.stream.out.why;
    ASSERT_EQ(wav_series_add(series, reinterpret_cast<const uint8_t*>(audio.data()), 10), 1);
    ASSERT_EQ(wav_series_begin(series, 22050), 1);
    ASSERT_EQ(wav_series_add(series, reinterpret_cast<const uint8_t*>("xyz"), 3), 1);
    ASSERT_EQ(wav_series_finish(series), 1);
    struct Expected {
        const char* name;
        uint32_t rate;
        const char* samples;
    } expected[] = {{"heard.wav", 8000, "abcd"},
                    {"heard-2.wav", 8000, "efgh"},
                    {"heard-3.wav", 8000, "ij"},
                    {"heard-4.wav", 22050, "xyz"}};
    ASSERT_EQ(series.written.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        const Expected& e = expected[i];
        SCOPED_TRACE(e.name);
        const std::string path = dir.file(e.name);
        EXPECT_EQ(series.written[i].path, path);
        EXPECT_EQ(series.written[i].samples, strlen(e.samples));
        FILE* f = std::fopen(path.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        WavInfo info;
        ASSERT_EQ(read_wav_header(f, info), WAV_OK);
        std::fclose(f);
        EXPECT_EQ(info.sample_rate, e.rate);
        EXPECT_EQ(info.data_size, strlen(e.samples));
        EXPECT_EQ(read_file(path).substr(44), e.samples);
    }
    // Names without an extension, in a folder with a dot.
    EXPECT_EQ(wav_series_name("out.d/heard", 2), "out.d/heard-2");
    EXPECT_EQ(wav_series_name("out.d/heard", 1), "out.d/heard");
}

}  // namespace
