#pragma once
// What a listener played, as recorded from a sink's monitor with parec
// (signed 16-bit mono at 48000 Hz): 20-ms windows with and without the
// station's tone. Shared by the playback tests and the listening benchmark.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace played_tone {

constexpr int kRecordRate = 48000;
constexpr int kWindow = kRecordRate / 50;  // 20 ms
// The tone plays at about 8000 RMS; silence and the codec's noise stay far below.
constexpr double kToneLevel = 1000;

struct Heard {
    std::vector<double> window_levels;  // RMS of each 20-ms window
    int first = -1, last = -1;          // first and last window with the tone
    int holes = 0;                      // windows without it between them
    std::vector<uint8_t> tone;          // the played stretch as 8-bit samples
};

inline Heard analyse(const std::string& raw) {
    Heard h;
    const size_t n = raw.size() / 2;
    std::vector<int16_t> s(n);
    memcpy(s.data(), raw.data(), n * 2);
    for (size_t at = 0; at + kWindow <= n; at += kWindow) {
        double sum = 0;
        for (size_t i = at; i < at + kWindow; ++i) sum += double(s[i]) * s[i];
        h.window_levels.push_back(std::sqrt(sum / kWindow));
    }
    for (int w = 0; w < int(h.window_levels.size()); ++w)
        if (h.window_levels[size_t(w)] > kToneLevel) {
            if (h.first < 0) h.first = w;
            h.last = w;
        }
    for (int w = h.first; w >= 0 && w <= h.last; ++w) h.holes += h.window_levels[size_t(w)] <= kToneLevel;
    for (size_t i = size_t(std::max(h.first, 0)) * kWindow; i < size_t(h.last + 1) * kWindow; ++i)
        h.tone.push_back(uint8_t(128 + s[i] / 256));
    return h;
}

}  // namespace played_tone
