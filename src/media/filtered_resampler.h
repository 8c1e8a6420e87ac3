#pragma once
// Resampling a song through a low-pass filter (libsoxr) instead of picking
// source frames. Picking lets everything above half the station's rate fold
// back into the band: a 12 kHz tone in a 44100 Hz source plays at 975 Hz on
// an 11025 Hz station and at 4 kHz on a 16000 Hz one. The filter removes it
// first. Files prepared so differ from those every other station makes of
// the same song, so filtering is the operator's choice, never the default.
//
// The filter takes the 8-bit samples the picking path would take (one place
// knows how to read each source format) and rounds its output back to 8 bits.

#include <cstdint>
#include <vector>

#include "media/wave_conversion.h"

struct soxr;

class FilteredResampler {
public:
    FilteredResampler() = default;
    FilteredResampler(const FilteredResampler&) = delete;
    FilteredResampler& operator=(const FilteredResampler&) = delete;
    ~FilteredResampler() { close(); }

    // Starts a song. Returns nullptr, or the filter library's reason.
    const char* open(uint32_t source_rate, uint32_t station_rate);
    void close();
    bool is_open() const { return filter_ != nullptr; }

    // Feeds the whole sample frames of `bytes` bytes of PCM (a cut-off frame
    // at the end is not used). `last` ends the song: the filter's tail comes
    // out and nothing more may be fed. Returns nullptr, or the reason.
    const char* feed(const uint8_t* pcm, int bytes, const PcmLayout& layout, bool last);

    // Moves up to `room` finished samples to `out`; returns how many.
    int take(uint8_t* out, int room);

    // The song has ended and every sample was taken.
    bool drained() const { return ended_ && ready_at_ == ready_.size(); }

private:
    const char* run(const float* in, size_t count, bool last);

    soxr* filter_ = nullptr;
    bool ended_ = false;
    std::vector<float> levels_;  // one feed, as levels around 0
    std::vector<uint8_t> ready_;  // finished samples not yet taken
    size_t ready_at_ = 0;
};
