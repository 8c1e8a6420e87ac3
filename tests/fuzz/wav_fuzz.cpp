// Fuzz target: the RIFF WAVE reader (header, chunk walk, "fmt " fields) as
// the song check and the song job use it, and the PCM conversion the job
// runs on what the reader found.
//
// Input layout: the whole WAV file, "RIFF" size "WAVE" and then chunks
// (4-character id, 32-bit little-endian size, body), written to a file of
// this process's temporary directory.
//
// Checked beside the sanitizers: every result is a documented code; a found
// "data" chunk lies inside the file and the reader stands at its first
// byte; the conversion never makes more samples than asked for.

#include <sys/stat.h>

#include <cstdio>
#include <vector>

#include "codec/sample_file.h"
#include "codec/codec_frame.h"
#include "codec/wav_reader.h"
#include "fuzz/fuzz_support.h"
#include "media/sample_compression.h"
#include "media/wave_conversion.h"

namespace {

// The most data bytes converted per input: a few passes of the song job.
constexpr size_t kMaxDataBytes = 1 << 16;

void convert(const std::vector<uint8_t>& pcm, const WavInfo& info) {
    // The song job refuses what it cannot read before it converts.
    if (!info.has_format || !wav_format_problem(info).empty() || info.sample_rate < SOURCE_RATE_MIN ||
        info.sample_rate > SOURCE_RATE_MAX)
        return;
    const PcmLayout layout =
        pcm_layout(info.channels, info.bits_per_sample, info.sample_format == WAV_FORMAT_FLOAT);
    // One frame's worth of samples: a whole pass of the job (eight times as
    // many) goes through the same steps and took nearly all of the run.
    const int wanted = kFrameSamples;
    std::vector<uint8_t> out(static_cast<size_t>(wanted));
    for (uint32_t station_rate : {8000u, 44100u})
        for (bool short_read : {false, true}) {
            int made = convert_pcm(pcm.data(), static_cast<int>(pcm.size()), layout, info.sample_rate,
                                   station_rate, out.data(), wanted, short_read);
            FUZZ_CHECK(made >= 0 && made <= wanted);
        }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = write_fuzz_file("song.wav", data, size);

    int check = check_sample_file(path.c_str(), 22050);
    FUZZ_CHECK(check == SAMPLE_USABLE || check == SAMPLE_NEEDS_WORK || check == SAMPLE_UNKNOWN_FORMAT);

    FILE* file = fopen(path.c_str(), "rb");
    FUZZ_CHECK(file != nullptr);
    WavInfo info;
    int result = read_wav_header(file, info);
    FUZZ_CHECK(result >= WAV_OK && result <= WAV_NOT_RIFF && result != WAV_RATE_MISMATCH);
    if (result == WAV_OK) {
        FUZZ_CHECK(ftello(file) == info.data_offset);
        FUZZ_CHECK(info.data_offset >= 20 && info.data_offset <= static_cast<int64_t>(size));
        std::vector<uint8_t> pcm(std::min<size_t>(info.data_size, kMaxDataBytes));
        pcm.resize(fread(pcm.data(), 1, pcm.size(), file));
        convert(pcm, info);
    }
    fclose(file);
    return 0;
}
