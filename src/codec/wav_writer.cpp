#include "codec/wav_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

void put_u32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put_u16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void make_header(uint8_t header[44], int sample_rate, uint32_t count) {
    //   0 "RIFF" size "WAVE"   12 "fmt " 16: tag 1, channels 1, rate, byte rate,
    //   align 1, 8 bits        36 "data" size, then the samples
    const uint8_t start[20] = {'R', 'I', 'F', 'F', 0,   0,   0,  0, 'W', 'A',
                               'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0,   0};
    memcpy(header, start, sizeof start);
    put_u32(header + 4, 36 + count);
    put_u16(header + 20, 1);
    put_u16(header + 22, 1);
    put_u32(header + 24, static_cast<uint32_t>(sample_rate));
    put_u32(header + 28, static_cast<uint32_t>(sample_rate));
    put_u16(header + 32, 1);
    put_u16(header + 34, 8);
    header[36] = 'd'; header[37] = 'a'; header[38] = 't'; header[39] = 'a';
    put_u32(header + 40, count);
}

int failed(WavStream& w) {
    w.out.why = strerror(errno);
    abandon_output(w.out);
    return 0;
}

}  // namespace

int write_wav_u8_mono(const char* path, int sample_rate, const uint8_t* samples, uint32_t count) {
    uint8_t header[44];
    make_header(header, sample_rate, count);
    FILE* f = fopen(path, "wb");
    if (!f) return 0;
    bool ok = fwrite(header, 1, sizeof header, f) == sizeof header &&
              (count == 0 || fwrite(samples, 1, count, f) == count);
    ok = (fclose(f) == 0) && ok;
    return ok ? 1 : 0;
}

int wav_stream_begin(WavStream& w, const std::string& path, int sample_rate) {
    w.sample_rate = sample_rate;
    w.samples = 0;
    if (!begin_output(w.out, path)) return 0;
    uint8_t header[44];
    make_header(header, sample_rate, 0);
    return fwrite(header, 1, sizeof header, w.out.file) == sizeof header ? 1 : failed(w);
}

int wav_stream_add(WavStream& w, const uint8_t* samples, uint32_t count) {
    if (!w.out.file) return 0;
    if (count > 0 && fwrite(samples, 1, count, w.out.file) != count) return failed(w);
    w.samples += count;
    return 1;
}

int wav_stream_finish(WavStream& w) {
    if (!w.out.file) return 0;
    uint8_t header[44];
    make_header(header, w.sample_rate, w.samples);
    if (fseek(w.out.file, 0, SEEK_SET) != 0 ||
        fwrite(header, 1, sizeof header, w.out.file) != sizeof header)
        return failed(w);
    return commit_output(w.out);
}

std::string wav_series_name(const std::string& path, int number) {
    if (number <= 1) return path;
    const size_t dot = path.rfind('.');
    const size_t slash = path.rfind('/');
    const bool has_extension =
        dot != std::string::npos && (slash == std::string::npos || dot > slash);
    const size_t at = has_extension ? dot : path.size();
    return path.substr(0, at) + "-" + std::to_string(number) + path.substr(at);
}

int wav_series_finish(WavSeries& s) {
    if (!s.stream.out.file) return 1;
    const std::string path = s.stream.out.path;
    if (!wav_stream_finish(s.stream)) return 0;
    s.written.push_back({path, s.stream.samples, s.stream.sample_rate});
    return 1;
}

int wav_series_begin(WavSeries& s, int sample_rate) {
    if (s.stream.out.file && s.stream.samples == 0) {
        const std::string path = s.stream.out.path;  // begun again under its own name
        return wav_stream_begin(s.stream, path, sample_rate);
    }
    if (!wav_series_finish(s)) return 0;
    if (s.files >= s.most_files) {
        s.stream.out.path = wav_series_name(s.path, s.files + 1);
        s.stream.out.why = "this run already wrote " + std::to_string(s.files) +
                           " WAV files: the station changed its sampling rate that often";
        return 0;
    }
    return wav_stream_begin(s.stream, wav_series_name(s.path, ++s.files), sample_rate);
}

int wav_series_add(WavSeries& s, const uint8_t* samples, size_t count) {
    size_t at = 0;
    while (at < count) {
        if (!s.stream.out.file) return 0;
        if (s.stream.samples >= s.most_samples && !wav_series_begin(s, s.stream.sample_rate))
            return 0;
        const auto part = static_cast<uint32_t>(
            std::min<size_t>(count - at, s.most_samples - s.stream.samples));
        if (!wav_stream_add(s.stream, samples + at, part)) return 0;
        at += part;
    }
    return 1;
}
