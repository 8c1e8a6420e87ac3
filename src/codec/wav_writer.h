#pragma once
// Writes unsigned 8-bit mono samples as a RIFF WAVE file (PCM).

#include <cstdint>

// Returns 1, or 0 when the file cannot be written.
int write_wav_u8_mono(const char* path, int sample_rate, const uint8_t* samples, uint32_t count);
