#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "codec/decoder.h"
#include "codec/encoder.h"
#include "codec/super_block.h"
#include "codec/wavelet_transform.h"
#include "support/synthetic_audio.h"

namespace {

// Encodes and decodes a whole super-block the way files and packets carry it.
std::vector<uint8_t> round_trip(const std::vector<uint8_t>& block, int rate_percent, int threshold = 16) {
    CodecState codec;
    codec.rate_percent = rate_percent;
    codec.interp_threshold = threshold;
    static uint8_t frames[kFramesPerSuperBlock][kFrameSamples];
    interleave_super_block(block.data(), frames);
    for (auto& frame : frames) {
        uint8_t coded[kMaxFrameBytes];
        int length = encode_frame(codec, frame, coded);
        EXPECT_EQ(decode_frame(coded, length, frame), 1);
    }
    std::vector<uint8_t> out(kSuperBlockSamples);
    deinterleave_super_block(frames, out.data());
    return out;
}

TEST(WaveletTransform, inverse_restores_the_input_exactly) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 24; ++trial) {
        int16_t X[kFrameSamples];
        int32_t Y[kFrameSamples];
        for (int i = 0; i < kFrameSamples; ++i) {
            // Rough, smooth and constant stretches: every branch of the prediction.
            int v = trial % 3 == 0 ? int(rng() % 1025)
                  : trial % 3 == 1 ? 512 + int(400 * std::sin(i * 0.01 * (trial + 1)))
                                   : (i / 300 % 2 ? 900 : 3);
            X[i] = int16_t(v);
        }
        int16_t original[kFrameSamples];
        std::copy(X, X + kFrameSamples, original);
        int threshold = trial % 4 == 0 ? 0 : trial % 4 == 1 ? 16 : trial % 4 == 2 ? 32 : 100000;
        int mode_word = forward_transform(X, threshold);
        std::copy(X, X + kFrameSamples, Y);
        inverse_transform(Y, mode_word);
        for (int i = 0; i < kFrameSamples; ++i) ASSERT_EQ(Y[i], original[i]) << "trial " << trial << " at " << i;
    }
}

TEST(SuperBlock, frame_n_carries_every_eighth_chunk_and_back) {
    std::vector<uint8_t> block(kSuperBlockSamples);
    for (int i = 0; i < kSuperBlockSamples; ++i) block[size_t(i)] = uint8_t(i / kChunkSamples);  // chunk number
    static uint8_t frames[kFramesPerSuperBlock][kFrameSamples];
    interleave_super_block(block.data(), frames);
    EXPECT_EQ(frames[0][0], 0);
    EXPECT_EQ(frames[0][256], 8);
    EXPECT_EQ(frames[3][256 * 7 + 255], 8 * 7 + 3);
    EXPECT_EQ(frames[7][0], 7);
    std::vector<uint8_t> back(kSuperBlockSamples);
    deinterleave_super_block(frames, back.data());
    EXPECT_EQ(back, block);
}

TEST(Decoder, silence_decodes_to_silence) {
    for (int rate : {12, 32, 100})
        EXPECT_EQ(round_trip(synthetic::silence(kSuperBlockSamples), rate), synthetic::silence(kSuperBlockSamples))
            << rate;
}

TEST(Decoder, quality_rises_with_the_rate) {
    std::vector<uint8_t> music = synthetic::music_like(kSuperBlockSamples);
    double previous = -100;
    for (int rate : {6, 12, 20, 32, 60, 90}) {
        double snr = synthetic::snr_db(music, round_trip(music, rate));
        EXPECT_GT(snr, previous + 1.0) << rate;
        previous = snr;
    }
    EXPECT_GT(previous, 25.0);  // at 90 percent
    // The interpolating step must decode as well as the averaging one.
    EXPECT_GT(synthetic::snr_db(music, round_trip(music, 32, 1000)), 10.0);
}

TEST(Decoder, malformed_frames_are_refused_with_silence) {
    CodecState codec;
    std::vector<uint8_t> music = synthetic::music_like(kFrameSamples);
    uint8_t frame[kMaxFrameBytes + 1];
    int length = encode_frame(codec, music.data(), frame);
    uint8_t samples[kFrameSamples];

    EXPECT_EQ(decode_frame(frame, length, samples), 1);
    EXPECT_EQ(decode_frame(nullptr, length, samples), 0);
    EXPECT_EQ(decode_frame(frame, 4, samples), 0);       // shorter than the header
    EXPECT_EQ(decode_frame(frame, length - 1, samples), 0);  // cut short
    frame[length] = 0;
    EXPECT_EQ(decode_frame(frame, length + 1, samples), 0);  // a stray byte after the stream
    for (int i = 0; i < kFrameSamples; ++i) ASSERT_EQ(samples[i], 128);

    frame[4] |= 0x08;  // mode word bit 11
    EXPECT_EQ(decode_frame(frame, length, samples), 0);
    frame[4] &= 0x07;
    frame[0] &= 0x80;  // gain 0 reads as 1
    EXPECT_EQ(decode_frame(frame, length, samples), 1);
}

}  // namespace
