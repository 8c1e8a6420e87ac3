#include "codec/decoder.h"

#include <cstring>

#include "codec/coefficient_coder.h"
#include "codec/codec_state.h"
#include "codec/wavelet_transform.h"

namespace {

// Back from stream order to transform positions, each value times its step.
void dequantise(const int16_t Y[kFrameSamples], const StepTables& t, int32_t X[kFrameSamples]) {
    X[0] = Y[0] * t.steps[kDcStepIndex] + kSignalMidpoint;
    for (int c = 0, span = 2; c < kTransformLevels; ++c, span *= 2)
        for (int j = 0; j < kFrameSamples / span; ++j)
            X[span / 2 + j * span] = Y[coefficient_position(span, j)] * t.steps[c];
}

// Undoes the gain: 128 + (X - 512) / k, rounded to nearest, within 0..255.
uint8_t to_sample(int32_t x, int gain) {
    int v = x - kSignalMidpoint;
    int q = v >= 0 ? (v + gain / 2) / gain : -((-v + gain / 2) / gain);
    q += 128;
    return uint8_t(q < 0 ? 0 : q > 255 ? 255 : q);
}

}  // namespace

int decode_frame(const uint8_t* frame, int length, uint8_t samples[kFrameSamples]) {
    std::memset(samples, 128, kFrameSamples);
    if (frame == nullptr || length < kFrameHeaderBytes) return 0;

    int gain = frame[0] & 0x7F;
    if (gain == 0) gain = 1;
    int mode = frame[0] & 0x80 ? CODING_RUN_LENGTH : CODING_PLAIN;
    int base = frame[1] + (frame[2] & 0x80 ? 256 : 0);
    int ratio = frame[2] & 0x7F;
    int mode_word = frame[3] | (frame[4] << 8);
    if (mode_word >> kTransformLevels) return 0;

    int16_t Y[kFrameSamples];
    int stream_bytes = length - kFrameHeaderBytes;
    int used = unpack_coefficients(frame + kFrameHeaderBytes, stream_bytes, Y, kFrameSamples, mode);
    if (used != stream_bytes) return 0;

    StepTables t;
    make_step_tables(base, ratio, t);
    int32_t X[kFrameSamples];
    dequantise(Y, t, X);
    inverse_transform(X, mode_word);
    for (int i = 0; i < kFrameSamples; ++i) samples[i] = to_sample(X[i], gain);
    return 1;
}
