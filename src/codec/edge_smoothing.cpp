#include "codec/edge_smoothing.h"

#include <algorithm>
#include <cmath>

#include "codec/codec_frame.h"
#include "codec/super_block.h"

namespace {

// Samples an edge's measures reach on either side of it.
constexpr size_t kReach = 8;

// How much the jump into sample m exceeds the slopes beside it.
float step_excess(const uint8_t* y, size_t m) {
    const float jump = float(y[m]) - float(y[m - 1]);
    const float slopes = (float(y[m - 1]) - float(y[m - 2])) + (float(y[m + 1]) - float(y[m]));
    return jump - slopes / 2;
}

uint8_t moved(uint8_t sample, float by) {
    const long v = std::lround(float(sample) + by);
    return uint8_t(std::clamp(v, 0L, 255L));
}

}  // namespace

float frame_sample_step(const uint8_t* frame, int length) {
    if (frame == nullptr || length < kFrameHeaderBytes) return 0;
    const int gain = std::max(frame[0] & 0x7F, 1);
    const int base = frame[1] + (frame[2] & 0x80 ? 256 : 0);
    return float(base) / float(gain);
}

void smooth_chunk_edges(uint8_t* samples, size_t count, const float* chunk_steps) {
    for (size_t n = kChunkSamples; n + kReach <= count; n += kChunkSamples) {
        const size_t chunk = n / kChunkSamples;
        const float limit = std::min(chunk_steps[chunk - 1], chunk_steps[chunk]) / 4;
        if (limit <= 0) continue;

        const float excess = step_excess(samples, n);
        // The same measure inside both chunks: how rough the signal is there.
        float roughness = 0;
        for (size_t i = 2; i < 6; ++i) {
            const float left = step_excess(samples, n - i), right = step_excess(samples, n + i);
            roughness += left * left + right * right;
        }
        roughness /= 8;
        const float square = excess * excess;
        if (square <= roughness) continue;
        const float shift = std::clamp(excess / 3 * (1 - roughness / square), -limit, limit);
        samples[n - 1] = moved(samples[n - 1], shift);
        samples[n] = moved(samples[n], -shift);
    }
}
