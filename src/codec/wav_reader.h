#pragma once
// The RIFF WAVE reader for songs to be compressed. It skips the 12-byte RIFF
// header and walks chunks (4-character id compared without regard to case,
// 32-bit little-endian size used as it stands, no pad byte after odd sizes)
// up to the first "data" chunk.

#include <cstdint>
#include <cstdio>

enum WavResult {
    WAV_OK = 0,             // a "data" chunk was found; the file stands at its first byte
    WAV_NO_DATA = 1,        // the walk reached the end of the file
    WAV_NOT_PCM = 2,        // an "fmt " chunk with a format tag other than 1
    WAV_RATE_MISMATCH = 3,  // an "fmt " chunk with a rate other than the one required
    WAV_TRUNCATED = 4,      // the file ends inside the 16 bytes of an "fmt " chunk
    WAV_NOT_RIFF = 5,       // the file does not start with "RIFF" and "WAVE"
};

struct WavInfo {
    bool has_format = false;  // an "fmt " chunk came before the data
    int format_tag = 0;
    int channels = 0;
    uint32_t sample_rate = 0;
    int bits_per_sample = 0;
    int64_t data_offset = 0;  // file offset of the first sample byte
    uint32_t data_size = 0;   // as the chunk states it; the file may hold less
};

// Walks `f` from its start. With required_rate non-zero an "fmt " chunk of
// another sample rate ends the walk at once (WAV_RATE_MISMATCH).
int read_wav_header(FILE* f, WavInfo& info, uint32_t required_rate = 0);
