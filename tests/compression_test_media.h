#pragma once
// Songs made in the compression tests (PCM tones, silence) and readers of
// the sample files the song job writes.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "codec/decoder.h"
#include "codec/sample_file.h"
#include "codec/super_block.h"
#include "support/temp_dir.h"
#include "support/wav_bytes.h"

namespace compression_media {

// PCM data of a sine tone: `seconds` at `rate`, `channels` 1 or 2 (the right
// channel at half the left's amplitude), `bits` 8 or 16, peak `amplitude`
// of full scale (0..1).
inline std::string tone(uint32_t rate, int channels, int bits, double seconds, double hz = 440.0,
                        double amplitude = 0.6) {
    const double pi = 3.14159265358979323846;
    const long frames = std::lround(seconds * rate);
    std::string data;
    data.reserve(size_t(frames) * channels * bits / 8);
    for (long i = 0; i < frames; ++i) {
        const double v = amplitude * std::sin(2 * pi * hz * double(i) / rate);
        for (int c = 0; c < channels; ++c) {
            const double s = c == 0 ? v : v / 2;
            if (bits == 16)
                data += wav_bytes::le16(uint32_t(int16_t(std::lround(s * 32767))) & 0xFFFF);
            else
                data += char(uint8_t(std::lround(128 + s * 127)));
        }
    }
    return data;
}

// 16-bit PCM data stored as `bits`-bit integers (the added low bytes zero)
// or, with `floating`, as 32-bit floats of the same values: every reader
// that takes the top 16 bits must hear exactly the 16-bit song.
inline std::string widen16(const std::string& data, int bits, bool floating = false) {
    std::string out;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        const int16_t v = int16_t(uint16_t(uint8_t(data[i]) | uint8_t(data[i + 1]) << 8));
        if (floating) {
            const float f = float(v) / 32768.0f;
            char bytes[4];
            std::memcpy(bytes, &f, 4);
            out.append(bytes, 4);
        } else {
            out.append(size_t(bits / 8 - 2), '\0');
            out += data.substr(i, 2);
        }
    }
    return out;
}

inline std::string wav(uint32_t rate, int channels, int bits, const std::string& data) {
    return wav_bytes::pcm(rate, channels, bits, data);
}

struct SampleFile {
    bool read = false;
    SampleFileHeader header;
    std::vector<std::vector<uint8_t>> frames;
    bool clean_end = false;  // the frame lengths used up the file exactly
};

inline SampleFile read_sample_file(const std::string& path) {
    SampleFile file;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return file;
    file.read = read_sample_header(f, file.header) == 1;
    std::vector<uint8_t> frame(kMaxFrameBytes);
    int length;
    while ((length = read_sample_frame(f, frame.data(), kMaxFrameBytes)) >= 0)
        file.frames.emplace_back(frame.begin(), frame.begin() + length);
    file.clean_end = length == SAMPLE_FRAME_END;
    std::fclose(f);
    return file;
}

// Decodes every frame and restores time order. Empty when a frame does not
// decode or the frames are not whole super-blocks.
inline std::vector<uint8_t> decode_song(const SampleFile& file) {
    if (file.frames.size() % kFramesPerSuperBlock != 0) return {};
    std::vector<uint8_t> samples;
    uint8_t frames[kFramesPerSuperBlock][kFrameSamples];
    uint8_t block[kSuperBlockSamples];
    for (size_t i = 0; i < file.frames.size(); i += kFramesPerSuperBlock) {
        for (int n = 0; n < kFramesPerSuperBlock; ++n) {
            const auto& frame = file.frames[i + size_t(n)];
            if (!decode_frame(frame.data(), int(frame.size()), frames[n])) return {};
        }
        deinterleave_super_block(frames, block);
        samples.insert(samples.end(), block, block + kSuperBlockSamples);
    }
    return samples;
}

// Signal-to-noise ratio in dB of `decoded` against `expected` (around 128).
inline double snr_db(const std::vector<uint8_t>& expected, const std::vector<uint8_t>& decoded,
                     size_t count) {
    double signal = 0, error = 0;
    for (size_t i = 0; i < count; ++i) {
        const double s = double(expected[i]) - 128;
        const double e = double(decoded[i]) - double(expected[i]);
        signal += s * s;
        error += e * e;
    }
    return error == 0 ? 200.0 : 10.0 * std::log10(signal / error);
}

inline size_t bytes_of(const std::vector<std::vector<uint8_t>>& frames) {
    size_t total = 0;
    for (const auto& f : frames) total += f.size();
    return total;
}

}  // namespace compression_media
