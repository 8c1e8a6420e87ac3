#pragma once
// Listening-quality measures on unsigned 8-bit mono audio (128 = silence),
// shared by the tests and the quality report in bench/: a round trip through
// the codec, tone levels and the steps at 256-sample chunk edges.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "codec/codec_state.h"
#include "codec/decoder.h"
#include "codec/edge_smoothing.h"
#include "codec/encoder.h"
#include "codec/set_rate.h"
#include "codec/super_block.h"

namespace audio_measures {

// Encodes `samples` as song preparation does (whole super-blocks, the rest
// silence) at the given rates and decodes them again in time order, with
// the quantiser step of the frame that carried each chunk, as a listener
// has them for smooth_chunk_edges. The samples have the length of the input.
struct RoundTrip {
    std::vector<uint8_t> samples;
    std::vector<float> chunk_steps;
};

inline RoundTrip codec_round_trip(const std::vector<uint8_t>& samples, int sampling_rate,
                                  int transfer_rate) {
    CodecState codec;
    set_rate(codec, sampling_rate, transfer_rate);
    RoundTrip out;
    uint8_t block[kSuperBlockSamples];
    uint8_t frames[kFramesPerSuperBlock][kFrameSamples];
    uint8_t frame[kMaxFrameBytes];
    float steps[kFramesPerSuperBlock];
    for (size_t at = 0; at < samples.size(); at += kSuperBlockSamples) {
        for (size_t i = 0; i < size_t(kSuperBlockSamples); ++i)
            block[i] = at + i < samples.size() ? samples[at + i] : 128;
        interleave_super_block(block, frames);
        for (int n = 0; n < kFramesPerSuperBlock; ++n) {
            const int length = encode_frame(codec, frames[n], frame);
            steps[n] = frame_sample_step(frame, length);
            decode_frame(frame, length, frames[n]);
        }
        deinterleave_super_block(frames, block);
        out.samples.insert(out.samples.end(), block, block + kSuperBlockSamples);
        for (int c = 0; c < kSuperBlockSamples / kChunkSamples; ++c)
            out.chunk_steps.push_back(steps[c % kFramesPerSuperBlock]);
    }
    out.samples.resize(samples.size());
    return out;
}

// Amplitude of the `hz` component of `samples` in dB (Hann-windowed
// single-bin transform, so other tones and broadband noise barely count).
inline double tone_level_db(const std::vector<uint8_t>& samples, double hz, int sampling_rate) {
    const double pi = 3.14159265358979323846;
    const size_t n = samples.size();
    double re = 0, im = 0;
    for (size_t i = 0; i < n; ++i) {
        const double w = 0.5 - 0.5 * std::cos(2 * pi * double(i) / double(n));
        const double x = (double(samples[i]) - 128) * w;
        re += x * std::cos(2 * pi * hz * double(i) / sampling_rate);
        im -= x * std::sin(2 * pi * hz * double(i) / sampling_rate);
    }
    const double amplitude = 2 * std::sqrt(re * re + im * im) / (0.5 * double(n));  // Hann gain 0.5
    return 20 * std::log10(std::max(amplitude, 1e-9));
}

// Steps at the 256-sample chunk edges that the input does not have: at each
// edge the output's jump |y[n] - y[n-1]| less the input's |x[n] - x[n-1]|.
struct EdgeJumps {
    double mean_excess = 0;  // over all edges, in LSB; negative excesses count as 0
    double share_above_8 = 0;  // fraction of edges whose excess exceeds 8 LSB
    int edges = 0;
};

inline EdgeJumps edge_jumps(const std::vector<uint8_t>& input, const std::vector<uint8_t>& output) {
    EdgeJumps e;
    int above = 0;
    double total = 0;
    for (size_t n = kChunkSamples; n < input.size() && n < output.size(); n += kChunkSamples) {
        const int in = std::abs(int(input[n]) - int(input[n - 1]));
        const int out = std::abs(int(output[n]) - int(output[n - 1]));
        const int excess = out > in ? out - in : 0;
        total += excess;
        above += excess > 8;
        ++e.edges;
    }
    if (e.edges > 0) {
        e.mean_excess = total / e.edges;
        e.share_above_8 = double(above) / e.edges;
    }
    return e;
}

}  // namespace audio_measures
