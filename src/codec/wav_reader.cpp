#include "codec/wav_reader.h"

#include <cctype>

namespace {

constexpr int kRiffHeaderBytes = 12;
constexpr int kChunkHeaderBytes = 8;
constexpr int kFormatBytes = 16;  // tag, channels, rate, byte rate, block align, bits

uint32_t le16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t le32(const uint8_t* p) { return le16(p) | le16(p + 2) << 16; }

bool same_id(const uint8_t* id, const char* name) {
    for (int i = 0; i < 4; ++i)
        if (std::tolower(id[i]) != name[i]) return false;
    return true;
}

}  // namespace

int read_wav_header(FILE* f, WavInfo& info, uint32_t required_rate) {
    info = WavInfo{};
    uint8_t riff[kRiffHeaderBytes];
    if (fseeko(f, 0, SEEK_SET) != 0 || fread(riff, 1, sizeof riff, f) != sizeof riff ||
        !same_id(riff, "riff") || !same_id(riff + 8, "wave"))
        return WAV_NOT_RIFF;

    for (;;) {
        uint8_t head[kChunkHeaderBytes];
        if (fread(head, 1, sizeof head, f) != sizeof head) return WAV_NO_DATA;
        uint32_t size = le32(head + 4);
        int64_t body = ftello(f);
        if (body < 0) return WAV_NO_DATA;

        if (same_id(head, "data")) {
            info.data_offset = body;
            info.data_size = size;
            return WAV_OK;
        }
        if (same_id(head, "fmt ")) {
            // Sixteen bytes are read whatever the chunk's size says; the walk
            // then goes on from where the size ends the chunk.
            uint8_t fmt[kFormatBytes];
            if (fread(fmt, 1, sizeof fmt, f) != sizeof fmt) return WAV_TRUNCATED;
            info.has_format = true;
            info.format_tag = int(le16(fmt));
            info.channels = int(le16(fmt + 2));
            info.sample_rate = le32(fmt + 4);
            info.bits_per_sample = int(le16(fmt + 14));
            if (info.format_tag != 1) return WAV_NOT_PCM;
            if (required_rate != 0 && info.sample_rate != required_rate) return WAV_RATE_MISMATCH;
        }
        if (fseeko(f, off_t(body + size), SEEK_SET) != 0) return WAV_NO_DATA;
    }
}
