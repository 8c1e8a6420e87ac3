// Fuzz-style tests of every parser of outside bytes in the codec: the WAV
// reader (through check_sample_file), the sample file walk and the frame
// decoder. Inputs are random bytes and random mutations of valid files and
// frames from a fixed seed, so a failure repeats. Run them under the asan
// preset: the point is that nothing reads out of bounds or crashes, and that
// every result is one of the documented codes.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "codec/decoder.h"
#include "codec/encoder.h"
#include "codec/sample_file.h"
#include "support/synthetic_audio.h"
#include "support/temp_dir.h"
#include "support/wav_bytes.h"

namespace {

bool documented(int code) {
    return code == SAMPLE_USABLE || code == SAMPLE_NEEDS_WORK || code == SAMPLE_UNKNOWN_FORMAT ||
           code == SAMPLE_RATE_MISMATCH;
}

// Overwrites, inserts, deletes or truncates a few bytes.
std::string mutate(std::string bytes, std::mt19937& rng) {
    int edits = 1 + int(rng() % 4);
    for (int e = 0; e < edits; ++e) {
        size_t at = bytes.empty() ? 0 : rng() % bytes.size();
        switch (rng() % 4) {
            case 0: if (!bytes.empty()) bytes[at] = char(rng()); break;
            case 1: bytes.insert(at, 1, char(rng())); break;
            case 2: if (!bytes.empty()) bytes.erase(at, 1); break;
            case 3: bytes.resize(at); break;
        }
    }
    return bytes;
}

std::string random_bytes(std::mt19937& rng, size_t max) {
    std::string s(rng() % max, '\0');
    for (auto& c : s) c = char(rng());
    return s;
}

TEST(CodecFuzz, random_and_mutated_files_get_a_documented_check_code) {
    TempDir dir;
    std::mt19937 rng(2024);
    using namespace wav_bytes;
    const std::string wav = riff(chunk("LIST", "abc") + chunk("fmt ", format(1, 2, 22050, 16)) + chunk("data", "0123"));
    std::string vma = std::string("VMA \x22\x56\0\0\x20\0\0\0\0\0\0\0", 16);
    for (int length : {10, 262, 3}) vma += std::string{char(length >> 8), char(length)} + std::string(size_t(length), 'z');

    for (int i = 0; i < 300; ++i) {
        std::string base = i % 3 == 0 ? random_bytes(rng, 200) : mutate(i % 3 == 1 ? wav : vma, rng);
        for (const char* name : {"f.wav", "f.VMA"}) {
            write_file(dir.file(name), base);
            int code = check_sample_file(dir.file(name).c_str(), 22050);
            ASSERT_TRUE(documented(code)) << name << " case " << i << " gave " << code;
        }
    }
}

TEST(CodecFuzz, random_and_mutated_frames_decode_or_are_refused) {
    std::mt19937 rng(77);
    CodecState codec;
    std::vector<std::string> valid;
    std::vector<uint8_t> music = synthetic::music_like(4 * kFrameSamples);
    for (int rate : {3, 12, 32, 90}) {
        codec.rate_percent = rate;
        for (int f = 0; f < 4; ++f) {
            uint8_t frame[kMaxFrameBytes];
            int length = encode_frame(codec, &music[size_t(f) * kFrameSamples], frame);
            valid.emplace_back(reinterpret_cast<char*>(frame), size_t(length));
        }
    }

    int decoded = 0, refused = 0;
    uint8_t samples[kFrameSamples];
    for (int i = 0; i < 3000; ++i) {
        std::string bytes = i % 4 == 0 ? random_bytes(rng, 400) : mutate(valid[rng() % valid.size()], rng);
        // An exact-size copy, so AddressSanitizer sees any read past the end.
        std::vector<uint8_t> frame(bytes.begin(), bytes.end());
        int ok = decode_frame(frame.data(), int(frame.size()), samples);
        ASSERT_TRUE(ok == 0 || ok == 1);
        if (ok) ++decoded;
        else {
            ++refused;
            for (uint8_t s : samples) ASSERT_EQ(s, 128);
        }
    }
    // Both outcomes occur, so both paths were exercised.
    EXPECT_GT(decoded, 0);
    EXPECT_GT(refused, 0);
}

}  // namespace
