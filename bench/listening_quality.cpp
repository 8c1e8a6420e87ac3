// The listening-quality report: what song preparation and listeners make of
// sound, beyond speed.
//
//   Aliasing: a 12 kHz tone in a 44100 Hz source, prepared by velmora's song
//   job for an 11025 Hz and a 16000 Hz station at 2000 bytes/s, by picking
//   samples and through the low-pass filter; the level at the frequency the
//   tone folds to, against a 1 kHz tone of the same level prepared the same way.
//
//   Chunk edges: speech (espeak-ng when it is installed, else a formant
//   synthesis) and music-like material through the codec at the station's
//   default rates (16000 Hz, 2000 bytes/s), decoded with and without edge
//   smoothing: SNR, how much the jumps at 256-sample chunk edges exceed the
//   input's at the same places (mean, and the share of edges above 8 LSB).
//
// Run build/release/bench/listening_quality; it takes a few seconds.

#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "../tests/support/audio_measures.h"
#include "../tests/support/synthetic_audio.h"
#include "app/context.h"
#include "app/program.h"
#include "bench_host.h"
#include "codec/edge_smoothing.h"
#include "codec/sample_file.h"
#include "codec/wav_reader.h"
#include "media/filtered_resampler.h"
#include "media/sample_compression.h"

namespace {

constexpr int kDefaultRate = 16000;
constexpr int kDefaultTransfer = 2000;

struct TempFolder {
    std::string path;
    TempFolder() {
        char pattern[] = "/tmp/velmora-quality-XXXXXX";
        path = mkdtemp(pattern) ? pattern : "";
    }
    ~TempFolder() {
        for (const char* name : {"/song.wav", "/song.VMA", "/song.V40", "/speech.wav"})
            std::remove((path + name).c_str());
        rmdir(path.c_str());
    }
};

void put(std::string& out, uint32_t v, int bytes) {
    for (int b = 0; b < bytes; ++b) out += char(v >> (8 * b) & 0xFF);
}

// Two seconds of a tone at 60 % of full scale, 44100 Hz 16-bit stereo.
std::string tone_wav(double hz) {
    const double pi = 3.14159265358979323846;
    std::string data;
    for (int i = 0; i < 2 * 44100; ++i) {
        const int v = int(std::lround(0.6 * 32767 * std::sin(2 * pi * hz * i / 44100)));
        put(data, uint32_t(v) & 0xFFFF, 2);
        put(data, uint32_t(v) & 0xFFFF, 2);
    }
    std::string chunks = "fmt ";
    put(chunks, 16, 4);
    for (auto [v, n] : {std::pair{1u, 2}, {2u, 2}, {44100u, 4}, {44100u * 4, 4}, {4u, 2}, {16u, 2}})
        put(chunks, v, n);
    chunks += "data";
    put(chunks, uint32_t(data.size()), 4);
    std::string riff = "RIFF";
    put(riff, uint32_t(chunks.size() + data.size() + 4), 4);
    return riff + "WAVE" + chunks + data;
}

// Prepares `wav` for a station through the song job and decodes the song
// (without the silence that fills its last super-block).
std::vector<uint8_t> prepare(const TempFolder& dir, const std::string& wav, int station, bool filter) {
    const std::string source = dir.path + "/song.wav", destination = dir.path + "/song.VMA";
    FILE* f = std::fopen(source.c_str(), "wb");
    if (f == nullptr) return {};
    std::fwrite(wav.data(), 1, wav.size(), f);
    std::fclose(f);

    BenchHost host;
    auto ctx = make_context(host);
    ctx->state.SamplingRate = station;
    ctx->state.TransferRate = kDefaultTransfer;
    SongJob job;
    job.force = true;
    job.filter = filter;
    open_conversion_job(*ctx, ctx->codec, job, source, destination);
    start_song_job(*ctx, ctx->codec, ctx->state, job);
    while (song_job_step(*ctx, ctx->codec, job) == SONG_JOB_RUNNING) {
    }
    end_song_job(*ctx, ctx->codec, job);

    std::vector<uint8_t> samples;
    f = std::fopen(destination.c_str(), "rb");
    SampleFileHeader header;
    if (f == nullptr || !read_sample_header(f, header)) return {};
    std::vector<uint8_t> frame(kMaxFrameBytes);
    uint8_t frames[kFramesPerSuperBlock][kFrameSamples], block[kSuperBlockSamples];
    int n = 0, length;
    while ((length = read_sample_frame(f, frame.data(), kMaxFrameBytes)) >= 0) {
        decode_frame(frame.data(), length, frames[n]);
        if (++n == kFramesPerSuperBlock) {
            deinterleave_super_block(frames, block);
            samples.insert(samples.end(), block, block + kSuperBlockSamples);
            n = 0;
        }
    }
    std::fclose(f);
    samples.resize(std::min(samples.size(), size_t(2 * station)));
    return samples;
}

// Where a tone lands after sampling at `rate` without a filter.
double folded(double hz, int rate) {
    double f = std::fmod(hz, rate);
    return f > rate / 2.0 ? rate - f : f;
}

void report_aliasing(const TempFolder& dir) {
    std::printf("Aliasing of a 12 kHz tone (44100 Hz source, 2000 bytes/s), relative to a 1 kHz tone:\n");
    const std::string high = tone_wav(12000), low = tone_wav(1000);
    for (int station : {11025, 16000}) {
        const double alias = folded(12000, station);
        std::printf("  %5d Hz station, alias at %4.0f Hz:", station, alias);
        for (bool filter : {false, true}) {
            const std::vector<uint8_t> reference = prepare(dir, low, station, filter);
            const std::vector<uint8_t> tone = prepare(dir, high, station, filter);
            const double ref = audio_measures::tone_level_db(reference, 1000, station);
            const double level = audio_measures::tone_level_db(tone, alias, station) - ref;
            // 8-bit samples cannot carry a tone below half an LSB.
            const double floor = 20 * std::log10(0.5) - ref;
            if (level < floor)
                std::printf("  %s < %.0f dB (nothing left)", filter ? "filter" : "picking", floor);
            else
                std::printf("  %s %6.1f dB", filter ? "filter" : "picking", level);
        }
        std::printf("\n");
    }
}

// Spoken sentences from espeak-ng at the default rate, or nothing when
// espeak-ng is not installed.
std::vector<uint8_t> espeak_speech(const TempFolder& dir) {
    const std::string wav = dir.path + "/speech.wav";
    const std::string command =
        "espeak-ng -w '" + wav +
        "' 'Good morning, this is the valley station. The weather first: rain in the hills "
        "until noon, then sun. After the news we play an hour of music chosen by the people "
        "who called us this week. Thank you for listening, and stay with us.' 2>/dev/null";
    if (std::system(command.c_str()) != 0) return {};
    FILE* f = std::fopen(wav.c_str(), "rb");
    if (f == nullptr) return {};
    WavInfo info;
    std::vector<uint8_t> pcm;
    if (read_wav_header(f, info) == WAV_OK) {
        uint8_t buffer[65536];
        size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) pcm.insert(pcm.end(), buffer, buffer + got);
    }
    std::fclose(f);
    FilteredResampler resampler;
    if (pcm.empty() || resampler.open(info.sample_rate, kDefaultRate) != nullptr ||
        resampler.feed(pcm.data(), int(pcm.size()), pcm_layout(info.channels, info.bits_per_sample), true) !=
            nullptr)
        return {};
    std::vector<uint8_t> speech(pcm.size());
    speech.resize(size_t(resampler.take(speech.data(), int(speech.size()))));
    return speech;
}

void report_edges(const char* name, const std::vector<uint8_t>& input) {
    const audio_measures::RoundTrip decoded =
        audio_measures::codec_round_trip(input, kDefaultRate, kDefaultTransfer);
    std::vector<uint8_t> smoothed = decoded.samples;
    smooth_chunk_edges(smoothed.data(), smoothed.size(), decoded.chunk_steps.data());
    const double edges_per_second = double(kDefaultRate) / kChunkSamples;
    std::printf("  %-28s %5.1f s\n", name, double(input.size()) / kDefaultRate);
    const std::vector<uint8_t>* outputs[] = {&decoded.samples, &smoothed};
    for (const std::vector<uint8_t>* output : outputs) {
        const audio_measures::EdgeJumps e = audio_measures::edge_jumps(input, *output);
        std::printf("    %-16s SNR %5.2f dB, edge-jump excess %4.2f LSB, %5.2f %% of edges above 8 LSB"
                    " (%.2f a second)\n",
                    output == &smoothed ? "with smoothing" : "without", synthetic::snr_db(input, *output),
                    e.mean_excess, 100 * e.share_above_8, e.share_above_8 * edges_per_second);
    }
}

}  // namespace

int main() {
    TempFolder dir;
    if (dir.path.empty()) {
        std::perror("listening_quality: cannot make a folder in /tmp");
        return 1;
    }
    report_aliasing(dir);

    std::printf("\nChunk edges at %d Hz, %d bytes/s:\n", kDefaultRate, kDefaultTransfer);
    const std::vector<uint8_t> spoken = espeak_speech(dir);
    if (!spoken.empty())
        report_edges("speech (espeak-ng)", spoken);
    else
        report_edges("speech (formant synthesis)", synthetic::speech_like(30 * kDefaultRate, kDefaultRate));
    report_edges("music-like", synthetic::music_like(30 * kDefaultRate, kDefaultRate));
    return 0;
}
