#pragma once
// Synthetic unsigned 8-bit mono test audio (128 = silence), made in the test
// instead of shipped. Header-only so the benchmarks can use it too. Everything
// but music_like is pure integer arithmetic, so byte-exact reference vectors
// may be built on it.

#include <cmath>
#include <cstdint>
#include <vector>

namespace synthetic {

inline std::vector<uint8_t> silence(int n) { return std::vector<uint8_t>(static_cast<size_t>(n), 128); }

// Uniform bytes from a fixed linear congruential generator.
inline std::vector<uint8_t> noise(int n, uint32_t seed = 1) {
    std::vector<uint8_t> out(static_cast<size_t>(n));
    for (auto& s : out) {
        seed = seed * 1664525u + 1013904223u;
        s = uint8_t(seed >> 24);
    }
    return out;
}

// Full-scale square wave between 0 and 255.
inline std::vector<uint8_t> square(int n, int period) {
    std::vector<uint8_t> out(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) out[size_t(i)] = i % period < period / 2 ? 0 : 255;
    return out;
}

// Triangle wave of the given period and peak distance from 128.
inline std::vector<uint8_t> triangle(int n, int period, int peak) {
    std::vector<uint8_t> out(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        int phase = i % period;
        int up = phase < period / 2 ? phase : period - phase;  // 0 .. period/2
        out[size_t(i)] = uint8_t(128 - peak + 4 * peak * up / period);
    }
    return out;
}

// Silence with single full-scale clicks every `spacing` samples.
inline std::vector<uint8_t> clicks(int n, int spacing) {
    std::vector<uint8_t> out(static_cast<size_t>(n), 128);
    for (int i = spacing / 2; i < n; i += spacing) out[size_t(i)] = 250;
    return out;
}

// Something like music: a melody of notes with a few harmonics and a decay,
// a bass line and a little noise, at the given sampling rate.
inline std::vector<uint8_t> music_like(int n, int sampling_rate = 22050, uint32_t seed = 5) {
    static const double kNotes[] = {220.0, 246.9, 261.6, 293.7, 329.6, 349.2, 392.0, 440.0};
    const double pi = 3.14159265358979323846;
    std::vector<uint8_t> out(static_cast<size_t>(n));
    int note_length = sampling_rate / 4;
    for (int i = 0; i < n; ++i) {
        int note = i / note_length;
        double t = double(i % note_length) / sampling_rate;
        double f = kNotes[(note * 5 + 3) % 8];
        double bass = kNotes[(note / 4) % 4] / 4;
        double envelope = std::exp(-3.0 * t);
        double v = envelope * (40 * std::sin(2 * pi * f * t) + 16 * std::sin(4 * pi * f * t) +
                               8 * std::sin(6 * pi * f * t)) +
                   22 * std::sin(2 * pi * bass * i / sampling_rate);
        seed = seed * 1664525u + 1013904223u;
        v += double(int(seed >> 28) - 8) * 0.5;
        int s = 128 + int(std::lround(v));
        out[size_t(i)] = uint8_t(s < 0 ? 0 : s > 255 ? 255 : s);
    }
    return out;
}

// Signal-to-noise ratio of `decoded` against `original`, in dB around 128.
inline double snr_db(const std::vector<uint8_t>& original, const std::vector<uint8_t>& decoded) {
    double signal = 0, error = 0;
    for (size_t i = 0; i < original.size(); ++i) {
        double s = double(original[i]) - 128;
        double e = double(decoded[i]) - double(original[i]);
        signal += s * s;
        error += e * e;
    }
    if (error == 0) return 200.0;
    return 10.0 * std::log10(signal / error);
}

}  // namespace synthetic
