#pragma once
// One super-block of a steady tone, coded as the eight frames a station
// sends one after the other: what a test or benchmark plays to a listener
// without preparing a song. Header-only so the benchmarks can use it too.

#include <cmath>
#include <cstdint>
#include <vector>

#include "codec/codec_state.h"
#include "codec/encoder.h"
#include "codec/set_rate.h"
#include "codec/super_block.h"

// A sine of `hz` at `amplitude` (of 127) around 128, coded at the rates given.
inline std::vector<std::vector<uint8_t>> tone_frames(int sampling_rate, int transfer_rate, double hz,
                                                     int amplitude = 70) {
    CodecState codec;
    set_rate(codec, sampling_rate, transfer_rate);
    static uint8_t block[kSuperBlockSamples], split[kFramesPerSuperBlock][kFrameSamples];
    for (int i = 0; i < kSuperBlockSamples; ++i)
        block[i] = uint8_t(128 + std::lround(amplitude * std::sin(2 * M_PI * hz * i / sampling_rate)));
    interleave_super_block(block, split);
    std::vector<std::vector<uint8_t>> frames;
    for (auto& f : split) {
        uint8_t out[kMaxFrameBytes];
        frames.emplace_back(out, out + encode_frame(codec, f, out));
    }
    return frames;
}

// A song file of `super_blocks` super-blocks of that tone, as velmora-compress
// writes it, and a script playing it once with `text` as its song text.
#include <cstdio>
#include <string>

#include "codec/sample_file.h"

inline bool write_tone_song(const std::string& path, int sampling_rate, int transfer_rate, double hz,
                            int super_blocks) {
    CodecState codec;
    set_rate(codec, sampling_rate, transfer_rate);
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) return false;
    write_sample_header(file, sampling_rate, codec.rate_percent);
    const auto frames = tone_frames(sampling_rate, transfer_rate, hz);
    for (int b = 0; b < super_blocks; ++b)
        for (const auto& frame : frames) write_sample_frame(file, frame.data(), int(frame.size()));
    return fclose(file) == 0;
}

inline std::string tone_song_script(const std::string& song, int sampling_rate, int transfer_rate,
                                    const std::string& text) {
    CodecState codec;
    set_rate(codec, sampling_rate, transfer_rate);
    std::string script = "1 " + std::to_string(sampling_rate) + " 0" +
                         std::to_string(codec.rate_percent) + " SCRIPT";
    script.push_back('\0');
    script += "1 " + song + " \"\" " + text;
    script.push_back('\0');
    return script;
}
