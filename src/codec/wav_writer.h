#pragma once
// Writes unsigned 8-bit mono samples as a RIFF WAVE file (PCM).

#include <cstdint>
#include <string>
#include <vector>

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

// Audio kept as a series of WAV files, NAME.wav, then NAME-2.wav, NAME-3.wav,
// ...: a new file begins when the sampling rate changes and when a file is
// full. A file that holds no samples yet is begun again at the new rate
// rather than left empty, and a run begins at most `most_files` files (a
// station changing its rate without end must not fill the folder). The
// finished files are listed in `written` for the caller to report.
struct WavSeries {
    std::string path;  // the first file's name
    uint32_t most_samples = kWavMostSamples;  // what one file may hold
    int most_files = 100;
    int files = 0;     // begun so far
    WavStream stream;  // the file being written (stream.out.file set)
    struct Written {
        std::string path;
        uint32_t samples;
        int sample_rate;
    };
    std::vector<Written> written;
};

// The name of the series' file `number` (1 is `path` itself).
std::string wav_series_name(const std::string& path, int number);
// Finishes the file being written (when there is one) and begins the next
// at `sample_rate`. Returns 1, or 0 with the cause in `s.stream.out.why`
// and the failed file's name in `s.stream.out.path`.
int wav_series_begin(WavSeries& s, int sample_rate);
// Appends samples, going on in the next file whenever one is full. Returns
// 1, or 0 as wav_series_begin.
int wav_series_add(WavSeries& s, const uint8_t* samples, size_t count);
// Finishes the file being written (none: 1). Returns 1, or 0 as wav_series_begin.
int wav_series_finish(WavSeries& s);
