#include "media/wave_conversion.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "codec/stream_rate.h"
#include "base/messages.h"
#include "codec/sample_file.h"
#include "codec/wav_reader.h"
#include "platform/safe_files.h"

PcmLayout pcm_layout(int channels, int bits_per_sample, bool floating) {
    PcmLayout layout;
    layout.channels = channels > 0 ? channels : 1;
    layout.sample_bytes = bits_per_sample >= 8 && bits_per_sample <= 32 ? bits_per_sample / 8 : 1;
    layout.floating = floating;
    layout.frame_bytes = layout.channels * layout.sample_bytes;
    return layout;
}

int pcm_sample16(const uint8_t* p, const PcmLayout& layout) {
    switch (layout.sample_bytes) {
    case 1: return (p[0] - 128) * 256;
    case 2: return int16_t(uint16_t(p[0] | p[1] << 8));
    case 3: return int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24) / 65536;
    default: break;
    }
    const uint32_t bits = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    if (!layout.floating) return int32_t(bits) / 65536;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    const float scaled = value * 32768.0f;
    if (!(scaled > -32768.0f)) return scaled <= -32768.0f ? -32768 : 0;  // NaN is silence
    return scaled >= 32767.0f ? 32767 : int(scaled);
}

uint8_t pcm_frame_to_sample(const uint8_t* frame, const PcmLayout& layout) {
    int mix = 0;
    for (int c = 0; c < layout.channels; ++c)
        mix += pcm_sample16(frame + c * layout.sample_bytes, layout) / layout.channels;
    return uint8_t(mix / 256 + 128);
}

int convert_pcm(const uint8_t* in, int in_bytes, const PcmLayout& layout, uint32_t source_rate,
                uint32_t station_rate, uint8_t* out, int wanted, bool short_read) {
    const int64_t f = layout.frame_bytes;
    const int64_t whole = in_bytes / f * f;  // a cut-off frame at the end is not used
    if (whole == 0 || source_rate == 0 || station_rate == 0) return 0;

    int64_t count = wanted;
    if (short_read) {
        // Output byte positions q = i * f run below whole * station / source
        // taken in integer arithmetic, as other stations take it; the exact
        // quotient would take one sample more at the end of some songs.
        const int64_t limit = whole * station_rate / source_rate;
        count = std::min(count, (limit + f - 1) / f);
    }
    for (int64_t i = 0; i < count; ++i) {
        int64_t at = i * f * source_rate / station_rate / f * f;
        if (at > whole - f) at = whole - f;
        out[i] = pcm_frame_to_sample(in + at, layout);
    }
    return int(count);
}

std::string wave_destination_name(const std::string& source) {
    const size_t mark = source.find_last_of(".:\\/");
    if (mark != std::string::npos && source[mark] == '.') return source.substr(0, mark) + ".VMA";
    return source + ".VMA";
}

std::string song_destination_name(const std::string& requested) {
    const size_t n = requested.size();
    if (n >= 4 && strcasecmp(requested.c_str() + n - 4, ".VMA") == 0) return requested;
    return requested + ".VMA";
}

std::string companion_name(const std::string& destination) {
    if (destination.size() < 4) return destination + ".V40";
    return destination.substr(0, destination.size() - 4) + ".V40";
}

int refuse_wav_that_is_not_riff(Services& services, const char* path) {
    const size_t length = std::strlen(path);
    if (length < 4 || strcasecmp(path + length - 4, ".wav") != 0) return 0;
    FILE* f = open_regular_file(path);
    if (f == nullptr) return 0;
    WavInfo info;
    const int result = read_wav_header(f, info);
    std::fclose(f);
    if (result != WAV_NOT_RIFF) return 0;
    show_message(
        services, true, Buttons::ok,
        "%s: unknown file format!\nIt is not a RIFF/WAVE file; only PCM wave files are supported.",
        path);
    return 1;
}

int accept_wave_source(Services& services, const StreamRate& rate, const char* path) {
    switch (check_sample_file(path, rate.SamplingRate)) {
    case SAMPLE_CANNOT_OPEN:
        show_message(services, true, Buttons::ok, "%s: File Not Found!\n", path);
        return 0;
    case SAMPLE_UNKNOWN_FORMAT:
        show_message(services, true, Buttons::ok,
                     "%s: unknown file format!\nOnly PCM wave files are supported.", path);
        return 0;
    case SAMPLE_RATE_MISMATCH:
        show_message(services, true, Buttons::ok,
                     "%s: sampling rate not matched.\nUse the original .wav file to recompress.",
                     path);
        return 0;
    default:
        return refuse_wav_that_is_not_riff(services, path) ? 0 : 1;
    }
}
