#include "listener/playout.h"

#include <soxr.h>

#include <algorithm>
#include <cstdlib>

void SoxrFree::operator()(soxr* resampler) const {
    soxr_delete(resampler);
}

namespace {
void playout_trim(Playout& p);
}

int playout_open(Playout& p, int in_rate, int out_rate, int mark_ms) {
    playout_close(p);
    p.in_rate = in_rate;
    p.out_rate = out_rate;
    p.mark_ms = mark_ms;
    if (in_rate <= 0 || out_rate <= 0) return 0;
    if (in_rate == out_rate) return 1;
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_MQ, 0);
    p.resampler.reset(soxr_create(in_rate, out_rate, 1, &error, &io, &quality, nullptr));
    if (!p.resampler || error) {
        p.resampler.reset();
        return 0;
    }
    return 1;
}

void playout_close(Playout& p) {
    p.resampler.reset();
    p.samples.clear();
    p.read_at = 0;
    p.playing = false;
}

void playout_add(Playout& p, const uint8_t* samples, size_t count) {
    if (count == 0) return;
    // Drop what was read before growing, so the buffer stays the size of the mark.
    if (p.read_at > 0 && p.read_at >= p.samples.size() / 2) {
        p.samples.erase(p.samples.begin(), p.samples.begin() + long(p.read_at));
        p.read_at = 0;
    }
    std::vector<int16_t> wide(count);
    for (size_t i = 0; i < count; ++i) wide[i] = static_cast<int16_t>((samples[i] - 128) * 256);
    if (!p.resampler) {
        p.samples.insert(p.samples.end(), wide.begin(), wide.end());
        playout_trim(p);
        return;
    }
    std::vector<int16_t> resampled(count * size_t(p.out_rate) / size_t(p.in_rate) + 64);
    size_t done = 0;
    soxr_process(p.resampler.get(), wide.data(), count, nullptr, resampled.data(), resampled.size(),
                 &done);
    p.samples.insert(p.samples.end(), resampled.begin(), resampled.begin() + long(done));
    playout_trim(p);
}

namespace {
void playout_trim(Playout& p) {
    // A station that sends faster than it plays must not make the delay grow
    // without end: past four marks, the oldest audio goes.
    const size_t mark = size_t(p.mark_ms) * size_t(p.out_rate) / 1000;
    if (p.samples.size() - p.read_at > 4 * mark) p.read_at = p.samples.size() - mark;
}
}  // namespace

int playout_buffered_ms(const Playout& p) {
    if (p.out_rate <= 0) return 0;
    return static_cast<int>((p.samples.size() - p.read_at) * 1000 / size_t(p.out_rate));
}

void playout_read(Playout& p, int16_t* out, size_t count, int pending_ms) {
    if (!p.playing && playout_buffered_ms(p) + pending_ms >= p.mark_ms && p.samples.size() > p.read_at)
        p.playing = p.ever_played = true;
    size_t given = 0;
    if (p.playing) {
        given = std::min(count, p.samples.size() - p.read_at);
        std::copy_n(p.samples.begin() + long(p.read_at), given, out);
        p.read_at += given;
        if (given < count) {
            p.playing = false;
            ++p.underruns;
        }
    }
    std::fill(out + given, out + count, int16_t(0));
    int peak = 0;
    for (size_t i = 0; i < given; ++i) peak = std::max(peak, std::abs(int(out[i])));
    p.peak = std::min(peak, 32767);
}
