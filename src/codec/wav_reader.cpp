#include "codec/wav_reader.h"

#include <cctype>
#include <cstring>

namespace {

constexpr int kRiffHeaderBytes = 12;
constexpr int kChunkHeaderBytes = 8;
constexpr int kFormatBytes = 16;            // tag, channels, rate, byte rate, block align, bits
constexpr int kExtensibleFormatBytes = 40;  // then size, valid bits, channel mask, GUID
constexpr int kSubFormatAt = 24;
// The GUID of an extensible chunk's sample format after its first two bytes.
constexpr uint8_t kSubFormatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                        0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

uint32_t le16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t le32(const uint8_t* p) { return le16(p) | le16(p + 2) << 16; }

bool same_id(const uint8_t* id, const char* name) {
    for (int i = 0; i < 4; ++i)
        if (std::tolower(id[i]) != name[i]) return false;
    return true;
}

const char* format_name(int tag) {
    switch (tag) {
    case 2: return " (ADPCM)";
    case 6: return " (A-law)";
    case 7: return " (mu-law)";
    case 17: return " (IMA ADPCM)";
    case 85: return " (MPEG layer 3)";
    default: return "";
    }
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
            uint8_t fmt[kExtensibleFormatBytes] = {};
            const size_t wanted = size < sizeof fmt ? size : sizeof fmt;
            if (size < kFormatBytes || fread(fmt, 1, wanted, f) != wanted) return WAV_TRUNCATED;
            info.has_format = true;
            info.format_tag = int(le16(fmt));
            info.channels = int(le16(fmt + 2));
            info.sample_rate = le32(fmt + 4);
            info.bits_per_sample = int(le16(fmt + 14));
            info.sample_format = info.format_tag;
            if (info.format_tag == WAV_FORMAT_EXTENSIBLE)
                info.sample_format = wanted == sizeof fmt && std::memcmp(fmt + kSubFormatAt + 2, kSubFormatTail,
                                                                         sizeof kSubFormatTail) == 0
                                         ? int(le16(fmt + kSubFormatAt))
                                         : WAV_FORMAT_EXTENSIBLE;
            if (info.sample_format != WAV_FORMAT_PCM && info.sample_format != WAV_FORMAT_FLOAT)
                return WAV_NOT_PCM;
            if (required_rate != 0 && info.sample_rate != required_rate) return WAV_RATE_MISMATCH;
        }
        // Chunks of odd size are followed by a pad byte.
        if (fseeko(f, off_t(body + size + (size & 1)), SEEK_SET) != 0) return WAV_NO_DATA;
    }
}

std::string wav_format_problem(const WavInfo& info) {
    const std::string bits = std::to_string(info.bits_per_sample) + "-bit ";
    if (info.sample_format == WAV_FORMAT_EXTENSIBLE)
        return "an extensible format chunk of an unknown sample format: only PCM and float samples are read";
    if (info.sample_format == WAV_FORMAT_FLOAT && info.bits_per_sample != 32)
        return bits + "float samples: only 32-bit float samples are read";
    if (info.sample_format == WAV_FORMAT_PCM && info.bits_per_sample != 8 && info.bits_per_sample != 16 &&
        info.bits_per_sample != 24 && info.bits_per_sample != 32)
        return bits + "PCM: only 8, 16, 24 and 32-bit PCM samples are read";
    if (info.sample_format != WAV_FORMAT_PCM && info.sample_format != WAV_FORMAT_FLOAT)
        return "format tag " + std::to_string(info.sample_format) + format_name(info.sample_format) +
               ": only PCM and float samples are read";
    if (info.channels < 1 || info.channels > WAV_MAX_CHANNELS)
        return std::to_string(info.channels) + " channels: 1 to " + std::to_string(WAV_MAX_CHANNELS) +
               " are read";
    return "";
}
