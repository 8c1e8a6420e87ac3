#include "codec/encoder.h"

#include <cstdlib>
#include <cstring>

#include "codec/coefficient_coder.h"
#include "codec/wavelet_transform.h"

namespace {

constexpr int kRawFrameBits = 8 * kFrameSamples;
constexpr int kInitialBase = 1024;
constexpr int kHighestBase = 2048;
// The header carries W in nine bits.
constexpr int kLargestWritableBase = 511;
constexpr int kMaxGain = 63;

// Smallest gain k from 1 with (k + 1) * A >= 512 (at most 63), A being the
// peak distance from silence: the scaled signal stays within +-512.
int gain_for(const uint8_t* samples) {
    int low = 255, high = 0;
    for (int i = 0; i < kFrameSamples; ++i) {
        if (samples[i] < low) low = samples[i];
        if (samples[i] > high) high = samples[i];
    }
    int peak = high - 128;
    if (128 - low > peak) peak = 128 - low;
    if (peak < 1) peak = 1;
    int k = 1;
    for (int v = 2 * peak; v < kSignalMidpoint && k < kMaxGain; v += peak) ++k;
    return k;
}

// The transform output in stream order, before quantisation.
void order_coefficients(const int16_t X[kFrameSamples], int16_t raw[kFrameSamples]) {
    raw[0] = int16_t(X[0] - kSignalMidpoint);
    for (int span = 2; span <= kFrameSamples; span *= 2)
        for (int j = 0; j < kFrameSamples / span; ++j)
            raw[coefficient_position(span, j)] = X[span / 2 + j * span];
}

// Dead-zone quantiser: (x + U) / Q for x > 0, (x - U) / Q otherwise,
// truncating. Both are sign(x) * floor((|x| + U) / Q); the division is a
// multiplication by 2^32 / Q rounded up, exact for |x| + U < 2^16 and
// Q <= 2048 (|x| fits 16 bits and U < Q).
void quantise_range(const int16_t* raw, int16_t* Y, int from, int to, int step, int offset) {
    uint64_t reciprocal = (uint64_t(1) << 32) / uint64_t(step) + 1;
    for (int i = from; i < to; ++i) {
        int x = raw[i];
        uint64_t magnitude = uint64_t(std::abs(x) + offset);
        int q = int((magnitude * reciprocal) >> 32);
        Y[i] = int16_t(x > 0 ? q : -q);
    }
}

void quantise(const int16_t raw[kFrameSamples], int base, int16_t Y[kFrameSamples]) {
    StepTables t;
    make_step_tables(base, kStepRatio, t);
    quantise_range(raw, Y, 0, 1, t.steps[kDcStepIndex], t.offsets[kDcStepIndex]);
    // The level of span 2^(c+1) fills positions 1024 >> c .. (2048 >> c) - 1.
    for (int c = 0; c < kTransformLevels; ++c)
        quantise_range(raw, Y, 1024 >> c, 2048 >> c, t.steps[c], t.offsets[c]);
}

}  // namespace

int encode_frame(CodecState& codec, const uint8_t samples[kFrameSamples], uint8_t* out) {
    // Budget in bits, a multiple of 8 within 16 bits, and the floor the
    // search may settle above.
    int budget = int((int64_t(codec.rate_percent) * kRawFrameBits / 100) & 0xFFF8);
    int floor = budget - budget / 1024;
    bool budgeted = codec.rate_percent < 100;

    int k = gain_for(samples);
    int16_t X[kFrameSamples];
    for (int i = 0; i < kFrameSamples; ++i)
        X[i] = int16_t((samples[i] - 128) * k + kSignalMidpoint);
    int mode_word = forward_transform(X, codec.interp_threshold);

    int16_t raw[kFrameSamples];
    int16_t Y[kFrameSamples];
    RunTable runs;
    order_coefficients(X, raw);

    // Search the quantiser base W: halve the step B on every move, then walk
    // by one; stop inside [floor, budget], on a turn after an upward unit
    // step, at W <= 2, or at W = 2048 still over budget. Run-length coding is
    // tried once when it beats plain coding, with a fresh search from 512.
    int base = kInitialBase, step = kInitialBase, previous = kInitialBase;
    codec.coding_mode = CODING_PLAIN;
    bool runs_match_Y = false;
    for (;;) {
        quantise(raw, base, Y);
        runs_match_Y = false;
        int bits = 0;
        if (budgeted) {
            bits = count_bits(codec, Y, kFrameSamples, runs);
            runs_match_Y = codec.coding_mode == CODING_RUN_LENGTH;
            if (bits > budget && base < kHighestBase) {
                previous = base;
                if (step > 1) step /= 2;
                base += step;
                continue;
            }
            if (bits < floor && base > 2 && (previous > base || step > 1)) {
                previous = base;
                if (step > 1) step /= 2;
                base -= step;
                continue;
            }
        }
        if (codec.coding_mode == CODING_PLAIN) {
            if (!budgeted) bits = count_bits(codec, Y, kFrameSamples, runs);
            codec.coding_mode = CODING_RUN_LENGTH;
            int run_length_bits = count_bits(codec, Y, kFrameSamples, runs);
            if (bits > run_length_bits && base > 2) {
                previous = base;
                step = 512;
                base = 512;
                continue;
            }
            codec.coding_mode = CODING_PLAIN;
        }
        break;
    }

    // A base the 9-bit header field cannot carry is replaced by the largest
    // it can, in the mode the search ended in.
    if (base > kLargestWritableBase) {
        base = kLargestWritableBase;
        quantise(raw, base, Y);
        runs_match_Y = false;
    }
    // The writer follows the run table, which must describe these very
    // coefficients (without a budget the search never counted them).
    if (codec.coding_mode == CODING_RUN_LENGTH && !runs_match_Y)
        count_bits(codec, Y, kFrameSamples, runs);

    uint8_t packed[max_coefficient_bytes(kFrameSamples)];
    int bytes = pack_coefficients(codec, Y, packed, kFrameSamples, runs) / 8;
    if (bytes > kMaxCoefficientBytes) {
        // The run-length writer can exceed its estimate (escaped magnitude-11
        // literals); plain coding always fits.
        codec.coding_mode = CODING_PLAIN;
        bytes = pack_coefficients(codec, Y, packed, kFrameSamples, runs) / 8;
    }

    out[0] = uint8_t(k | (codec.coding_mode == CODING_RUN_LENGTH ? 0x80 : 0));
    out[1] = uint8_t(base & 0xFF);
    out[2] = uint8_t(kStepRatio | (base >= 256 ? 0x80 : 0));
    out[3] = uint8_t(mode_word & 0xFF);
    out[4] = uint8_t(mode_word >> 8);
    std::memcpy(out + kFrameHeaderBytes, packed, size_t(bytes));
    return kFrameHeaderBytes + bytes;
}
