#include "codec/sample_file.h"

#include <strings.h>
#include <sys/stat.h>

#include <cstring>

#include "codec/wav_reader.h"

namespace {

constexpr char kMagic[4] = {'V', 'M', 'A', ' '};

bool named_compressed(const char* path) {
    size_t n = std::strlen(path);
    return n >= 4 && strcasecmp(path + n - 4, ".VMA") == 0;
}

int check_compressed(FILE* f, int sampling_rate) {
    if (fseeko(f, 0, SEEK_END) != 0) return SAMPLE_NEEDS_WORK;
    int64_t size = ftello(f);
    if (size < 0 || fseeko(f, 0, SEEK_SET) != 0) return SAMPLE_NEEDS_WORK;

    SampleFileHeader header;
    if (!read_sample_header(f, header)) return SAMPLE_NEEDS_WORK;
    if (!header.magic_ok) return SAMPLE_UNKNOWN_FORMAT;
    if (header.sampling_rate != uint32_t(sampling_rate)) return SAMPLE_RATE_MISMATCH;

    // Walk the lengths; the file is good when they use up its bytes exactly.
    int64_t left = size - kSampleHeaderBytes;
    while (left > 0) {
        uint8_t length[2];
        if (fread(length, 1, 2, f) != 2) break;
        int frame = length[0] << 8 | length[1];
        left -= 2 + frame;
        if (fseeko(f, frame, SEEK_CUR) != 0) break;
    }
    return left == 0 ? SAMPLE_USABLE : SAMPLE_NEEDS_WORK;
}

int check_wav(FILE* f, int sampling_rate) {
    WavInfo info;
    const int result = read_wav_header(f, info, uint32_t(sampling_rate));
    if (result == WAV_NOT_PCM || (info.has_format && !wav_format_problem(info).empty()))
        return SAMPLE_UNKNOWN_FORMAT;
    // No data, another rate, a cut-off "fmt ": the song job says what it makes of it.
    return result == WAV_OK ? SAMPLE_USABLE : SAMPLE_NEEDS_WORK;
}

}  // namespace

void make_sample_header(uint8_t out[kSampleHeaderBytes], uint32_t sampling_rate, int rate_code) {
    std::memset(out, 0, kSampleHeaderBytes);
    std::memcpy(out, kMagic, 4);
    for (int i = 0; i < 4; ++i) out[4 + i] = uint8_t(sampling_rate >> (8 * i));
    out[8] = uint8_t(rate_code & 0xFF);
    out[9] = uint8_t((rate_code >> 8) & 0xFF);
}

int write_sample_header(FILE* f, uint32_t sampling_rate, int rate_code) {
    uint8_t header[kSampleHeaderBytes];
    make_sample_header(header, sampling_rate, rate_code);
    return fwrite(header, 1, sizeof header, f) == sizeof header ? 1 : 0;
}

int write_sample_frame(FILE* f, const uint8_t* frame, int length) {
    if (length < 0 || length > 0xFFFF) return 0;
    uint8_t prefix[2] = {uint8_t(length >> 8), uint8_t(length & 0xFF)};
    if (fwrite(prefix, 1, 2, f) != 2) return 0;
    return fwrite(frame, 1, size_t(length), f) == size_t(length) ? 1 : 0;
}

int read_sample_header(FILE* f, SampleFileHeader& header) {
    header = SampleFileHeader{};
    uint8_t bytes[kSampleHeaderBytes];
    if (fread(bytes, 1, sizeof bytes, f) != sizeof bytes) return 0;
    header.magic_ok = std::memcmp(bytes, kMagic, 4) == 0;
    header.sampling_rate = uint32_t(bytes[4]) | uint32_t(bytes[5]) << 8 |
                           uint32_t(bytes[6]) << 16 | uint32_t(bytes[7]) << 24;
    header.rate_code = bytes[8] | bytes[9] << 8;
    return 1;
}

int read_sample_frame(FILE* f, uint8_t* frame, int capacity) {
    uint8_t prefix[2];
    size_t got = fread(prefix, 1, 2, f);
    if (got == 0) return SAMPLE_FRAME_END;
    if (got != 2) return SAMPLE_FRAME_BAD;
    int length = prefix[0] << 8 | prefix[1];
    if (length > capacity) return SAMPLE_FRAME_BAD;
    if (fread(frame, 1, size_t(length), f) != size_t(length)) return SAMPLE_FRAME_BAD;
    return length;
}

int check_sample_file(const char* path, int sampling_rate) {
    struct stat st;
    if (path == nullptr || stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return SAMPLE_CANNOT_OPEN;
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return SAMPLE_CANNOT_OPEN;
    int code = named_compressed(path) ? check_compressed(f, sampling_rate) : check_wav(f, sampling_rate);
    std::fclose(f);
    return code;
}
