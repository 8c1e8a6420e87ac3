#pragma once
// Writes unsigned 8-bit mono samples as a RIFF WAVE file (PCM).

#include <cstdint>
#include <string>

#include "platform/safe_files.h"

// Returns 1, or 0 when the file cannot be written.
int write_wav_u8_mono(const char* path, int sample_rate, const uint8_t* samples, uint32_t count);

// The most samples one WAV file holds: its size fields are 32 bits
// (about 27 hours at 44100 Hz).
constexpr uint32_t kWavMostSamples = 0xFFFFFFFFu - 36;

// A WAV file written as the samples come, so that a long recording is
// never held in memory: the samples go to a temporary file beside `path`,
// and wav_stream_finish writes the sizes into the header and renames it
// into place.
struct WavStream {
    OutputFile out;
    int sample_rate = 0;
    uint32_t samples = 0;
};

// Returns 1, or 0 with the cause in `w.out.why`.
int wav_stream_begin(WavStream& w, const std::string& path, int sample_rate);
// Appends `count` samples; the caller keeps the total within kWavMostSamples.
// Returns 1, or 0 with the cause in `w.out.why`.
int wav_stream_add(WavStream& w, const uint8_t* samples, uint32_t count);
// Completes the header and renames the file into place. Returns 1, or 0
// with the cause in `w.out.why` (the destination is then left as it was).
int wav_stream_finish(WavStream& w);
