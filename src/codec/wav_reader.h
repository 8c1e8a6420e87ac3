#pragma once
// The RIFF WAVE reader for songs to be compressed. It checks the 12-byte
// RIFF header and walks chunks (4-character id compared without regard to
// case, 32-bit little-endian size, a pad byte after a chunk of odd size) up
// to the first "data" chunk.
//
// The "fmt " chunk as it is read (little-endian):
//
// | Offset | Size | Field                                                   |
// |--------|------|---------------------------------------------------------|
// | 0      | 2    | format tag: 1 PCM, 3 IEEE float, 0xFFFE extensible      |
// | 2      | 2    | channels                                                |
// | 4      | 4    | sampling rate in Hz                                     |
// | 14     | 2    | bits per sample (of the container, for extensible)     |
// | 24     | 2    | extensible only: the sample format (1 or 3) ...        |
// | 26     | 14   | ... followed by the rest of its GUID                    |

#include <cstdint>
#include <cstdio>
#include <string>

enum WavResult {
    WAV_OK = 0,             // a "data" chunk was found; the file stands at its first byte
    WAV_NO_DATA = 1,        // the walk reached the end of the file
    WAV_NOT_PCM = 2,        // an "fmt " chunk of samples other than integer PCM or float
    WAV_RATE_MISMATCH = 3,  // an "fmt " chunk with a rate other than the one required
    WAV_TRUNCATED = 4,      // the file ends inside an "fmt " chunk, or the chunk is too short
    WAV_NOT_RIFF = 5,       // the file does not start with "RIFF" and "WAVE"
};

// Sample formats, as the format tag (or an extensible chunk's GUID) says.
constexpr int WAV_FORMAT_PCM = 1;
constexpr int WAV_FORMAT_FLOAT = 3;
constexpr int WAV_FORMAT_EXTENSIBLE = 0xFFFE;

// More channels are refused rather than mixed: a frame must stay small
// beside a pass of source bytes.
constexpr int WAV_MAX_CHANNELS = 256;

struct WavInfo {
    bool has_format = false;  // an "fmt " chunk came before the data
    int format_tag = 0;       // as the chunk says
    int sample_format = 0;    // WAV_FORMAT_PCM, WAV_FORMAT_FLOAT, or the tag of anything else
    int channels = 0;
    uint32_t sample_rate = 0;
    int bits_per_sample = 0;
    int64_t data_offset = 0;  // file offset of the first sample byte
    uint32_t data_size = 0;   // as the chunk states it; the file may hold less
};

// Walks `f` from its start. With required_rate non-zero an "fmt " chunk of
// another sample rate ends the walk at once (WAV_RATE_MISMATCH).
int read_wav_header(FILE* f, WavInfo& info, uint32_t required_rate = 0);

// Why the samples of a read "fmt " chunk cannot be converted ("12-bit PCM:
// ..."), or "" when they are 8, 16, 24 or 32-bit integer PCM or 32-bit
// float in 1 to WAV_MAX_CHANNELS channels.
std::string wav_format_problem(const WavInfo& info);
