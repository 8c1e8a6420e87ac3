#include "codec/wavelet_transform.h"

#include <cstdlib>

namespace {

// Lifting stops at 256-sample chunk boundaries. The remainder keeps the sign
// of q, so -g counts as a boundary only when g is a multiple of 256.
inline bool edge(int q) { return q % 256 == 0; }

// Correction of the averaging detail from the neighbouring averages; the
// missing left neighbour at position 0 is the midpoint 512.
template <typename T>
inline int correction(const T* X, int p, int g) {
    if (edge(p - g) || edge(p + g)) return 0;
    int right = X[p + g];
    int left = p > 0 ? int(X[p - g]) : kSignalMidpoint;
    int t = right > left ? 2 : -2;
    return (right - left + t) / 4;
}

// Prediction of the odd value of the pair at p from the even inputs E (one per
// pair, E[i] for position i*g), one-sided near a chunk boundary or the end.
template <typename T>
inline int prediction(const T* E, int p, int g) {
    int i = p / g;
    if (p > 0 && p < kFrameSamples - g && !edge(p + g) && !edge(p + 2 * g))
        return (9 * (E[i] + E[i + 1]) - E[i + 2] - E[i - 1]) >> 4;
    if (edge(p + g)) return E[i];
    if (!edge(p + 2 * g)) return (3 * E[i] + 6 * E[i + 1] - E[i + 2]) >> 3;
    if (p > 0) return (6 * E[i] + 3 * E[i + 1] - E[i - 1]) >> 3;
    return (E[i] + E[i + 1]) >> 1;
}

constexpr int32_t kInverseLimit = 1 << 24;

inline int32_t limited(int64_t v) {
    return int32_t(v > kInverseLimit ? kInverseLimit : v < -kInverseLimit ? -kInverseLimit : v);
}

}  // namespace

int forward_transform(int16_t X[kFrameSamples], int interp_threshold) {
    int16_t even[kFrameSamples / 2];
    int16_t odd[kFrameSamples / 2];
    int16_t averaging[kFrameSamples / 2];
    int16_t interpolating[kFrameSamples / 2];
    int mode_word = 0;

    for (int g = 2; g <= kFrameSamples; g *= 2) {
        int half = g / 2;
        int pairs = kFrameSamples / g;
        for (int i = 0, p = 0; i < pairs; ++i, p += g) {
            even[i] = X[p];
            odd[i] = X[p + half];
            X[p] = int16_t((even[i] + odd[i] + 1) / 2);
        }

        // Only the finest level may take the interpolating step, so the
        // prediction is made there alone.
        bool finest = g == 2;
        int sum_averaging = 0;
        int sum_interpolating = 0;
        for (int i = 0, p = 0; i < pairs; ++i, p += g) {
            averaging[i] = int16_t(even[i] - odd[i] + correction(X, p, g));
            sum_averaging += std::abs(averaging[i]);
            if (finest) {
                interpolating[i] = int16_t(prediction(even, p, g) - odd[i]);
                sum_interpolating += std::abs(interpolating[i]);
            }
        }

        bool interpolate =
            finest && sum_interpolating < int64_t(interp_threshold) * sum_averaging / 32;
        for (int i = 0, p = 0; i < pairs; ++i, p += g) {
            if (interpolate) {
                X[p] = even[i];
                X[p + half] = interpolating[i];
            } else {
                X[p + half] = averaging[i];
            }
        }
        mode_word = mode_word * 2 + (interpolate ? 1 : 0);
    }
    return mode_word;
}

void inverse_transform(int32_t X[kFrameSamples], int mode_word) {
    int32_t even[kFrameSamples / 2];
    int32_t odd[kFrameSamples / 2];

    for (int level = 0, g = kFrameSamples; g >= 2; ++level, g /= 2) {
        int half = g / 2;
        int pairs = kFrameSamples / g;
        bool interpolating = (mode_word >> level) & 1;
        if (interpolating) {
            // X[p] already holds the even inputs.
            for (int i = 0, p = 0; i < pairs; ++i, p += g) even[i] = X[p];
            for (int i = 0, p = 0; i < pairs; ++i, p += g)
                odd[i] = limited(int64_t(prediction(even, p, g)) - X[p + half]);
        } else {
            // Averages at X[p] and the correction they give come first; the
            // average (e + o + 1) / 2 fixes e + o up to its parity, which
            // e - o shares.
            for (int i = 0, p = 0; i < pairs; ++i, p += g) {
                int64_t difference = int64_t(X[p + half]) - correction(X, p, g);
                int64_t sum = 2 * int64_t(X[p]) - (difference & 1);
                even[i] = limited((sum + difference) / 2);
                odd[i] = limited((sum - difference) / 2);
            }
        }
        for (int i = 0, p = 0; i < pairs; ++i, p += g) {
            X[p] = even[i];
            X[p + half] = odd[i];
        }
    }
}
