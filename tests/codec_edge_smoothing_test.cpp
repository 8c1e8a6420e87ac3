#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "codec/edge_smoothing.h"
#include "support/audio_measures.h"
#include "support/synthetic_audio.h"

namespace {

using namespace audio_measures;

constexpr int kRate = 16000;     // the station's default sampling rate
constexpr int kTransfer = 2000;  // and transfer rate

// Speech and music through the codec at the default rates: the steps at
// chunk edges shrink, the signal as a whole gets no worse, and nothing but
// the two samples at each edge moves.
TEST(EdgeSmoothing, speech_and_music_lose_most_edge_steps_without_losing_snr) {
    const std::vector<std::vector<uint8_t>> materials = {synthetic::speech_like(20 * kRate, kRate),
                                                         synthetic::music_like(20 * kRate, kRate)};
    for (const auto& input : materials) {
        const RoundTrip decoded = codec_round_trip(input, kRate, kTransfer);
        std::vector<uint8_t> smoothed = decoded.samples;
        smooth_chunk_edges(smoothed.data(), smoothed.size(), decoded.chunk_steps.data());

        const EdgeJumps before = edge_jumps(input, decoded.samples);
        const EdgeJumps after = edge_jumps(input, smoothed);
        ASSERT_GT(before.share_above_8, 0.01);  // the material has the clicks to remove
        EXPECT_LT(after.mean_excess, 0.5 * before.mean_excess);
        EXPECT_LT(after.share_above_8, 0.25 * before.share_above_8);
        EXPECT_GE(synthetic::snr_db(input, smoothed), synthetic::snr_db(input, decoded.samples));
        for (size_t i = 0; i < smoothed.size(); ++i) {
            const size_t at = i % kChunkSamples;
            if (at != 0 && at != kChunkSamples - 1) {
                ASSERT_EQ(smoothed[i], decoded.samples[i]) << i;
            }
        }
    }
}

// Flat chunks 100 | 140 | 140 | 180: the first step moves by at most a
// quarter of the frames' step; smooth joins and edges by a lost chunk stay.
TEST(EdgeSmoothing, steps_are_limited_by_the_quantiser_and_lost_chunks_are_left_alone) {
    std::vector<uint8_t> samples(4 * kChunkSamples);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = uint8_t(i < 256 ? 100 : i < 768 ? 140 : 180);
    std::vector<uint8_t> smoothed = samples;
    const float steps[] = {8, 8, 8, 0};  // the last chunk was lost
    smooth_chunk_edges(smoothed.data(), smoothed.size(), steps);
    EXPECT_EQ(smoothed[255], 102);  // a third of 40 would be 13; the limit is 8 / 4
    EXPECT_EQ(smoothed[256], 138);
    smoothed[255] = 100;
    smoothed[256] = 140;
    EXPECT_EQ(smoothed, samples);

    // A ramp straight through an edge has no excess step to remove.
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = uint8_t(20 + i / 8);
    smoothed = samples;
    const float coarse[] = {64, 64, 64, 64};
    smooth_chunk_edges(smoothed.data(), smoothed.size(), coarse);
    EXPECT_EQ(smoothed, samples);

    // Too short to reach past an edge: nothing moves, nothing is read outside.
    smooth_chunk_edges(smoothed.data(), kChunkSamples + 7, coarse);
    EXPECT_EQ(smoothed, samples);
}

}  // namespace
