#pragma once
// Builds RIFF WAVE files byte by byte for tests of the WAV reader.

#include <cstdint>
#include <string>

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

}  // namespace wav_bytes
