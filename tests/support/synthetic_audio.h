#pragma once
// Synthetic unsigned 8-bit mono test audio (128 = silence), made in the test
// instead of shipped. Header-only so the benchmarks can use it too. Everything
// but music_like and speech_like is pure integer arithmetic, so byte-exact
// reference vectors may be built on it.

#include <algorithm>
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

// Something like speech: syllables of a voiced source (a glottal pulse
// train whose pitch falls over each phrase) through three formant
// resonators gliding from vowel to vowel, with noise for the consonants and
// pauses between words and phrases, at the given sampling rate.
inline std::vector<uint8_t> speech_like(int n, int sampling_rate = 16000, uint32_t seed = 3) {
    struct Vowel { double f1, f2, f3; };
    static const Vowel kVowels[] = {{730, 1090, 2440}, {270, 2290, 3010}, {300, 870, 2240},
                                    {530, 1840, 2480}, {570, 840, 2410}, {660, 1720, 2410}};
    const double pi = 3.14159265358979323846;
    const double fs = sampling_rate;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return double(seed >> 8) / double(1u << 24);  // 0 .. 1
    };

    std::vector<double> v(static_cast<size_t>(n), 0.0);
    double y1[3] = {}, y2[3] = {};  // resonator states
    double formant[3] = {500, 1500, 2500};
    double phase = 0;
    double lips = 0;
    int i = 0;
    while (i < n) {
        // A phrase of 3 to 6 syllables, then a longer pause.
        const int syllables = 3 + int(next() * 4);
        for (int k = 0; k < syllables && i < n; ++k) {
            const Vowel& target = kVowels[int(next() * 6) % 6];
            const int consonant = int(next() * 0.10 * fs);   // up to 100 ms of noise
            const int vowel = int((0.12 + next() * 0.16) * fs);  // 120 .. 280 ms
            const double pitch_from = 150 - 40.0 * k / syllables, pitch_to = pitch_from - 12;
            for (int j = 0; j < consonant + vowel && i < n; ++j, ++i) {
                const bool voiced = j >= consonant;
                const double t = voiced ? double(j - consonant) / vowel : 0;
                const double pitch = pitch_from + (pitch_to - pitch_from) * t;
                const double target_f[3] = {target.f1, target.f2, target.f3};
                for (int f = 0; f < 3; ++f) formant[f] += (target_f[f] - formant[f]) * 0.004;
                double source;
                if (voiced) {
                    phase += pitch / fs;
                    if (phase >= 1) phase -= 1;
                    // Opening for 40 % of the period, a quick close, then rest.
                    source = phase < 0.4    ? 0.5 - 0.5 * std::cos(pi * phase / 0.4)
                             : phase < 0.56 ? std::cos(pi / 2 * (phase - 0.4) / 0.16)
                                            : 0;
                    // Voicing swells in over the first sixth and fades over the last fifth.
                    source = source * std::sin(pi / 2 * std::min(1.0, t * 6)) *
                             std::min(1.0, (1 - t) * 5);
                } else {
                    source = (next() - 0.5) * 0.3;
                }
                double x = source;
                for (int f = 0; f < 3; ++f) {
                    const double r = std::exp(-pi * (60 + 30 * f) / fs);
                    const double c = 2 * r * std::cos(2 * pi * formant[f] / fs);
                    const double y = (1 - c + r * r) * x + c * y1[f] - r * r * y2[f];  // unit gain at 0 Hz
                    y2[f] = y1[f];
                    y1[f] = y;
                    x = y;
                }
                // The lips radiate the difference of the air flow.
                v[size_t(i)] = x - lips;
                lips = x;
            }
            // A pause between words.
            for (int j = int((0.03 + next() * 0.08) * fs); j > 0 && i < n; --j) ++i;
        }
        for (int j = int((0.25 + next() * 0.3) * fs); j > 0 && i < n; --j) ++i;
    }

    double peak = 1e-9;
    for (double x : v) peak = std::max(peak, std::abs(x));
    std::vector<uint8_t> out(static_cast<size_t>(n));
    for (size_t k = 0; k < out.size(); ++k) {
        const long s = 128 + std::lround(v[k] / peak * 100);
        out[k] = uint8_t(s < 0 ? 0 : s > 255 ? 255 : s);
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
