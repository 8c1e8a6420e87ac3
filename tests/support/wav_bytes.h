#pragma once
// Builds RIFF WAVE files byte by byte for tests of the WAV reader.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace wav_bytes {

inline std::string le16(uint32_t v) { return {char(v & 0xFF), char(v >> 8 & 0xFF)}; }
inline std::string le32(uint32_t v) { return le16(v & 0xFFFF) + le16(v >> 16); }

// One chunk: id, 32-bit size, body, and the pad byte after an odd size.
inline std::string chunk(const std::string& id, const std::string& body) {
    return id + le32(uint32_t(body.size())) + body + (body.size() % 2 ? std::string(1, '\0') : "");
}

// The 16 bytes of an "fmt " body.
inline std::string format(int tag, int channels, uint32_t rate, int bits) {
    int align = channels * bits / 8;
    return le16(uint32_t(tag)) + le16(uint32_t(channels)) + le32(rate) + le32(rate * uint32_t(align)) +
           le16(uint32_t(align)) + le16(uint32_t(bits));
}

// The 40 bytes of an extensible "fmt " body: `bits` per sample container,
// `valid` of them used, the sample format (1 PCM, 3 float) in the GUID.
inline std::string extensible_format(int channels, uint32_t rate, int bits, int valid, int sample_format) {
    const std::string guid_tail("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
    return format(0xFFFE, channels, rate, bits).replace(0, 2, le16(0xFFFE)) + le16(22) + le16(uint32_t(valid)) +
           le32(0) + le16(uint32_t(sample_format)) + guid_tail;
}

// "RIFF", size, "WAVE", then the chunks as given.
inline std::string riff(const std::string& chunks) {
    return "RIFF" + le32(uint32_t(chunks.size() + 4)) + "WAVE" + chunks;
}

// A plain PCM file.
inline std::string pcm(uint32_t rate, int channels, int bits, const std::string& data) {
    return riff(chunk("fmt ", format(1, channels, rate, bits)) + chunk("data", data));
}

// A 16-bit WAV as opusdec and lame write it, its first channel as 8-bit
// samples (128 = silence).
struct Decoded {
    std::vector<uint8_t> samples;
    int rate = 0;
};
inline Decoded read_wav16(const std::string& bytes) {
    Decoded d;
    size_t at = 12;
    int channels = 1;
    while (at + 8 <= bytes.size()) {
        std::string id = bytes.substr(at, 4);
        uint32_t size;
        memcpy(&size, bytes.data() + at + 4, 4);
        at += 8;
        if (id == "fmt " && at + 16 <= bytes.size()) {
            channels = static_cast<uint8_t>(bytes[at + 2]);
            memcpy(&d.rate, bytes.data() + at + 4, 4);
        } else if (id == "data") {
            size = static_cast<uint32_t>(std::min<size_t>(size, bytes.size() - at));
            for (size_t i = 0; i + 2 * channels <= size; i += 2 * channels) {
                int16_t v;
                memcpy(&v, bytes.data() + at + i, 2);
                d.samples.push_back(static_cast<uint8_t>((v >> 8) + 128));
            }
            break;
        }
        at += size + (size & 1);
    }
    return d;
}

}  // namespace wav_bytes
