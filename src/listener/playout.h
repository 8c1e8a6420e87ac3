#pragma once
// What a listener plays: the decoded audio as signed 16-bit samples at the
// output's rate (resampled when the output runs at another rate than the
// station), a start mark, silence on an underrun, and the level played.
//
// Playing starts once `mark_ms` of audio is at hand (decoded here plus
// received but not yet decoded, as the owner tells); when the samples run
// out, the output gets silence and playing waits for the mark again, so a
// late stream costs one pause instead of many stutters.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct soxr;
// Frees a libsoxr resampler.
struct SoxrFree {
    void operator()(soxr* resampler) const;
};

// Owns its resampler: it moves, never copies.
struct Playout {
    int in_rate = 0;   // the station's sampling rate
    int out_rate = 0;  // the output's
    int mark_ms = 1500;
    std::unique_ptr<soxr, SoxrFree> resampler;  // none when the rates agree

    std::vector<int16_t> samples;  // at out_rate, from `read_at` on
    size_t read_at = 0;
    bool playing = false;
    bool ever_played = false;
    int underruns = 0;  // times the samples ran out while playing
    int peak = 0;       // largest |sample| of the last read, 0..32767
};

// Sets the rates and the mark. Returns 1, or 0 when the resampler cannot be made.
int playout_open(Playout& p, int in_rate, int out_rate, int mark_ms);
void playout_close(Playout& p);

// Adds decoded unsigned 8-bit samples at the station's rate. More than four
// marks at hand (a station sending faster than it plays) are cut back to
// one mark, the oldest audio going.
void playout_add(Playout& p, const uint8_t* samples, size_t count);

// Audio at hand, in milliseconds at the output rate.
int playout_buffered_ms(const Playout& p);

// Fills `out` with `count` samples: audio while playing, else silence.
// `pending_ms` is the audio received but not yet decoded, which counts
// toward the start mark.
void playout_read(Playout& p, int16_t* out, size_t count, int pending_ms);
