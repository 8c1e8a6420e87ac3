#include "media/filtered_resampler.h"

#include <soxr.h>

#include <cmath>

namespace {

// Output is 8-bit: the library's 16-bit recipe already keeps aliases and
// ripple far below what 8-bit samples can carry.
constexpr unsigned long kQuality = SOXR_MQ;
constexpr size_t kOutputChunk = 2048;

uint8_t to_sample(float level) {
    const long v = std::lround(level) + 128;
    return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
}

}  // namespace

const char* FilteredResampler::open(uint32_t source_rate, uint32_t station_rate) {
    close();
    const soxr_quality_spec_t quality = soxr_quality_spec(kQuality, 0);
    soxr_error_t error = nullptr;
    filter_ = soxr_create(double(source_rate), double(station_rate), 1, &error, nullptr, &quality,
                          nullptr);
    if (error != nullptr) {
        close();
        return error;
    }
    return filter_ == nullptr ? "the filter could not be made" : nullptr;
}

void FilteredResampler::close() {
    if (filter_ != nullptr) soxr_delete(filter_);
    filter_ = nullptr;
    ended_ = false;
    ready_.clear();
    ready_at_ = 0;
}

const char* FilteredResampler::feed(const uint8_t* pcm, int bytes, const PcmLayout& layout,
                                    bool last) {
    if (filter_ == nullptr || ended_) return "the filter is not open";
    const int f = layout.frame_bytes;
    levels_.clear();
    for (int at = 0; at + f <= bytes; at += f)
        levels_.push_back(float(pcm_frame_to_sample(pcm + at, layout)) - 128.0f);
    ended_ = last;
    return run(levels_.data(), levels_.size(), last);
}

// Pushes `count` levels through the filter and keeps what comes out; at the
// end of the song, calls with no input drain the filter's tail.
const char* FilteredResampler::run(const float* in, size_t count, bool last) {
    float out[kOutputChunk];
    size_t offset = 0;
    for (;;) {
        const bool draining = last && offset == count;
        size_t used = 0, made = 0;
        const soxr_error_t error = soxr_process(filter_, draining ? nullptr : in + offset,
                                                count - offset, &used, out, kOutputChunk, &made);
        if (error != nullptr) return error;
        offset += used;
        for (size_t i = 0; i < made; ++i) ready_.push_back(to_sample(out[i]));
        if (offset == count && (last ? draining && made == 0 : made < kOutputChunk)) return nullptr;
        if (!draining && used == 0 && made == 0) return "the filter takes no more input";
    }
}

int FilteredResampler::take(uint8_t* out, int room) {
    int n = 0;
    while (n < room && ready_at_ < ready_.size()) out[n++] = ready_[ready_at_++];
    if (ready_at_ == ready_.size()) {
        ready_.clear();
        ready_at_ = 0;
    }
    return n;
}
