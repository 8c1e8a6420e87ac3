#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "codec/codec_frame.h"
#include "codec/decoder.h"
#include "codec/encoder.h"
#include "support/synthetic_audio.h"

namespace {

std::vector<uint8_t> from_hex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

int base_of(const std::vector<uint8_t>& frame) { return frame[1] + (frame[2] & 0x80 ? 256 : 0); }
int mode_word_of(const std::vector<uint8_t>& frame) { return frame[3] | frame[4] << 8; }

struct EncoderTest : ::testing::Test {
    CodecState codec;

    std::vector<uint8_t> encode(const std::vector<uint8_t>& samples, int rate_percent, int threshold = 16) {
        codec.rate_percent = rate_percent;
        codec.interp_threshold = threshold;
        std::vector<uint8_t> out(kMaxFrameBytes);
        int length = encode_frame(codec, samples.data(), out.data());
        EXPECT_GE(length, kFrameHeaderBytes + 1);
        EXPECT_LE(length, kMaxFrameBytes);
        out.resize(size_t(length));
        return out;
    }
};

TEST_F(EncoderTest, silence_at_32_percent_is_a_262_byte_plain_frame_at_base_2) {
    std::vector<uint8_t> frame = encode(synthetic::silence(2048), 32);
    ASSERT_EQ(frame.size(), 262u);
    EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.begin() + 5),
              (std::vector<uint8_t>{63, 2, 75, 0, 0}));  // k = 63, plain, W = 2
    for (size_t i = 5; i < 261; ++i) ASSERT_EQ(frame[i], 0xFF) << i;  // 2048 one-bits
    EXPECT_EQ(frame[261], 0x00);                                     // the closing byte
    EXPECT_EQ(codec.coding_mode, CODING_PLAIN);
}

TEST_F(EncoderTest, silence_at_12_percent_is_a_10_byte_run_length_frame) {
    std::vector<uint8_t> frame = encode(synthetic::silence(2048), 12);
    EXPECT_EQ(frame, (std::vector<uint8_t>{63 + 128, 2, 75, 0, 0, 0x00, 0x1F, 0xFE, 0x00, 0xA0}));
    EXPECT_EQ(codec.coding_mode, CODING_RUN_LENGTH);
}

TEST(StepTables, follow_the_75_percent_ratio_down_to_1) {
    StepTables t;
    make_step_tables(1024, 75, t);
    const int steps_1024[12] = {1024, 768, 576, 432, 324, 243, 182, 137, 103, 77, 58, 44};
    const int offsets_1024[12] = {455, 341, 256, 192, 144, 108, 81, 61, 46, 34, 26, 20};
    for (int c = 0; c < 12; ++c) {
        EXPECT_EQ(t.steps[c], steps_1024[c]) << c;
        EXPECT_EQ(t.offsets[c], offsets_1024[c]) << c;
    }
    make_step_tables(100, 75, t);
    const int steps_100[12] = {100, 75, 56, 42, 32, 24, 18, 14, 11, 8, 6, 5};
    for (int c = 0; c < 12; ++c) EXPECT_EQ(t.steps[c], steps_100[c]) << c;
    make_step_tables(2, 75, t);
    EXPECT_EQ(t.steps[0], 2);
    for (int c = 1; c < kStepTableSize; ++c) EXPECT_EQ(t.steps[c], 1) << c;
}

TEST_F(EncoderTest, gain_keeps_the_scaled_signal_within_512) {
    EXPECT_EQ(encode(synthetic::square(2048, 64), 32)[0] & 0x7F, 3);  // A = 128
    std::vector<uint8_t> quiet = synthetic::silence(2048);
    quiet[100] = 133;  // A = 5: (k + 1) * 5 >= 512 first at k = 102, limited to 63
    EXPECT_EQ(encode(quiet, 32)[0] & 0x7F, 63);
    quiet[100] = 128 + 40;  // A = 40: k = 12
    EXPECT_EQ(encode(quiet, 32)[0] & 0x7F, 12);
}

// Expected bytes of whole frames, worked out independently of this code.
TEST_F(EncoderTest, reference_frames_match_byte_for_byte) {
    EXPECT_EQ(encode(synthetic::triangle(2048, 100, 100), 3),
              from_hex("85ffcb0004200f4448d3a68c48388c6220d84c321071031106098c10d820c840c50c119820e103120674e8d9"
                       "36aca69348d13a726d36a6ad2689a4e9b46d369b7fff75fff57fffd7fff7fff55fff7fffd7fff6f800"));
    EXPECT_EQ(encode(synthetic::clicks(2048, 300), 5),
              from_hex("847c4b0000001086328ffdffaffbff5febfefff7ffff5ffffaffffdffffeffffebffff5fffff3048006812801"
                       "b048006812801b048006812801b054006612800cc25001984a0033094006612800cc2500198550062254018895"
                       "006225401889500c495018a540c52c0"));
    // Slow and smooth: the finest level takes the interpolating step (bit 10).
    EXPECT_EQ(encode(synthetic::triangle(2048, 512, 120), 6, 32),
              from_hex("84714b0004200f6db0008200007e00008200007e00008200007e00008200007e000080c020007f40300080c0"
                       "20007f40300080c020007f40300080c020007f400614220e1985088386614220e1985088386065f247f365f24"
                       "7f365f247f365f247f30d7ffd5fffdd7ffd5fffdd7ffd5fffdd7ffd5fffd8c7f801b3fe007c0000"));
}

TEST_F(EncoderTest, only_the_finest_level_can_interpolate_and_never_at_threshold_0) {
    std::vector<uint8_t> smooth = synthetic::triangle(2048, 512, 120);
    EXPECT_EQ(mode_word_of(encode(smooth, 32, 32)), 1 << 10);
    EXPECT_EQ(mode_word_of(encode(smooth, 32, 0)), 0);
    std::vector<uint8_t> music = synthetic::music_like(8 * 2048);
    for (int f = 0; f < 8; ++f) {
        std::vector<uint8_t> frame(music.begin() + f * 2048, music.begin() + (f + 1) * 2048);
        EXPECT_EQ(mode_word_of(encode(frame, 32, 0)), 0);
        EXPECT_EQ(mode_word_of(encode(frame, 32, 1000)) & ~(1 << 10), 0);
    }
}

TEST_F(EncoderTest, frames_land_near_the_budget) {
    std::vector<uint8_t> music = synthetic::music_like(8 * 2048);
    for (int rate : {12, 32, 60}) {
        int budget_bytes = (rate * 16384 / 100 & 0xFFF8) / 8;
        for (int f = 0; f < 8; ++f) {
            std::vector<uint8_t> samples(music.begin() + f * 2048, music.begin() + (f + 1) * 2048);
            int coefficient_bytes = int(encode(samples, rate).size()) - kFrameHeaderBytes;
            EXPECT_LE(coefficient_bytes, budget_bytes + 8) << rate << " " << f;
            EXPECT_GE(coefficient_bytes, budget_bytes * 9 / 10) << rate << " " << f;
        }
    }
}

// The header carries W in nine bits: a search that ends above 511 writes 511.
TEST_F(EncoderTest, bases_above_511_are_written_as_511) {
    std::vector<uint8_t> frame = encode(synthetic::noise(2048, 3), 3);  // climbs to 2048
    EXPECT_EQ(base_of(frame), 511);
    EXPECT_EQ(frame[1], 0xFF);
    EXPECT_EQ(frame[2], 75 | 0x80);
    std::vector<uint8_t> samples(2048);
    EXPECT_EQ(decode_frame(frame.data(), int(frame.size()), samples.data()), 1);
}

// Without a budget the search makes no count after switching to run-length
// coding; the frame must still be written with its own groups.
TEST_F(EncoderTest, unbudgeted_frames_decode_in_both_modes) {
    std::vector<std::vector<uint8_t>> inputs = {synthetic::silence(2048), synthetic::clicks(2048, 300),
                                                synthetic::square(2048, 40), synthetic::noise(2048, 4)};
    std::vector<uint8_t> music = synthetic::music_like(2048);
    inputs.push_back(music);
    int run_length_frames = 0;
    for (int rate : {100, 150}) {
        for (auto& input : inputs) {
            std::vector<uint8_t> frame = encode(input, rate);
            EXPECT_EQ(base_of(frame), 511);
            run_length_frames += frame[0] >> 7;
            std::vector<uint8_t> samples(2048);
            ASSERT_EQ(decode_frame(frame.data(), int(frame.size()), samples.data()), 1);
            EXPECT_GT(synthetic::snr_db(input, samples), input == inputs[0] ? 100.0 : 3.0);
        }
    }
    EXPECT_GT(run_length_frames, 0);
}

TEST_F(EncoderTest, pathological_square_at_1_percent_still_finishes_correctly) {
    std::vector<uint8_t> square = synthetic::square(2048, 2);
    std::vector<uint8_t> frame = encode(square, 1);
    std::vector<uint8_t> samples(2048);
    EXPECT_EQ(decode_frame(frame.data(), int(frame.size()), samples.data()), 1);
    EXPECT_EQ(encode(square, 1), frame);  // nothing carried over between frames
}

TEST_F(EncoderTest, encoding_leaves_the_input_and_the_rate_untouched) {
    std::vector<uint8_t> music = synthetic::music_like(2048);
    std::vector<uint8_t> copy = music;
    encode(music, 32);
    EXPECT_EQ(music, copy);
    EXPECT_EQ(codec.rate_percent, 32);
    EXPECT_EQ(codec.interp_threshold, 16);
}

}  // namespace
