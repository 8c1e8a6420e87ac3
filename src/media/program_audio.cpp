#include "media/program_audio.h"

#include <soxr.h>

#include <cmath>

void widen_samples(const uint8_t* samples, int count, std::vector<int16_t>& out) {
    out.resize(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) out[static_cast<size_t>(i)] = static_cast<int16_t>((samples[i] - 128) * 256);
}

ProgramResampler::~ProgramResampler() {
    if (filter_) soxr_delete(filter_);
}

void ProgramResampler::convert(const ProgramAudio& in, std::vector<int16_t>& out) {
    if (in.frames <= 0 || in.rate <= 0 || in.channels < 1 || in.channels > 2) return;
    const size_t frames = static_cast<size_t>(in.frames);
    const size_t oc = static_cast<size_t>(out_channels_);
    in_.resize(frames * oc);
    for (size_t f = 0; f < frames; ++f) {
        const int16_t* s = in.samples + f * static_cast<size_t>(in.channels);
        if (in.channels == 1) {
            for (size_t c = 0; c < oc; ++c) in_[f * oc + c] = s[0];
        } else if (oc == 1) {
            in_[f] = (float(s[0]) + float(s[1])) * 0.5f;
        } else {
            in_[f * 2] = s[0];
            in_[f * 2 + 1] = s[1];
        }
    }
    auto put = [&out](const float* levels, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            const long v = std::lround(levels[i]);
            out.push_back(static_cast<int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v));
        }
    };
    if (in.rate == out_rate_) {
        put(in_.data(), in_.size());
        return;
    }
    if (in.rate != in_rate_ || !filter_) {
        if (filter_) soxr_delete(filter_);
        filter_ = nullptr;
        in_rate_ = in.rate;
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        soxr_error_t error = nullptr;
        filter_ = soxr_create(double(in.rate), double(out_rate_), static_cast<unsigned>(oc), &error,
                              nullptr, &quality, nullptr);
        if (error || !filter_) {
            // Without a filter the stretch is lost, never the station.
            if (filter_) soxr_delete(filter_);
            filter_ = nullptr;
            return;
        }
    }
    out_.resize((frames * static_cast<size_t>(out_rate_) / static_cast<size_t>(in.rate) + 64) * oc);
    for (size_t taken = 0; taken < frames;) {
        size_t used = 0, made = 0;
        if (soxr_process(filter_, in_.data() + taken * oc, frames - taken, &used, out_.data(),
                         out_.size() / oc, &made))
            return;
        put(out_.data(), made * oc);
        taken += used;
        if (used == 0 && made == 0) return;
    }
}
