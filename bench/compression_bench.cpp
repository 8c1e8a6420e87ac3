// Preparing a song: a 3-minute 44100 Hz 16-bit stereo WAV compressed for a
// 22050 Hz station into its sample file and companion, the way the song
// dialog and velmora-compress run it (one super-block per step). The goal is
// at least 50 times faster than the song plays, i.e. under 3.6 s.
// "x_realtime" is playing time divided by preparation time.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/program.h"
#include "bench_host.h"
#include "media/sample_compression.h"

namespace {

constexpr int kSourceRate = 44100;
constexpr int kSeconds = 180;

void put16(std::string& out, int v) {
    out += char(v & 0xFF);
    out += char((v >> 8) & 0xFF);
}

// Something like music in 16-bit stereo: a melody with harmonics and decay,
// a bass line, a little noise, the channels slightly apart.
std::string music_wav() {
    const double pi = 3.14159265358979323846;
    static const double kNotes[] = {220.0, 246.9, 261.6, 293.7, 329.6, 349.2, 392.0, 440.0};
    const int frames = kSourceRate * kSeconds;
    std::string data;
    data.reserve(size_t(frames) * 4);
    uint32_t seed = 5;
    for (int i = 0; i < frames; ++i) {
        const int note = i / (kSourceRate / 4);
        const double t = double(i % (kSourceRate / 4)) / kSourceRate;
        const double f = kNotes[(note * 5 + 3) % 8];
        const double bass = kNotes[(note / 4) % 4] / 4;
        const double melody = std::exp(-3.0 * t) * (0.30 * std::sin(2 * pi * f * t) + 0.12 * std::sin(4 * pi * f * t) +
                                                    0.06 * std::sin(6 * pi * f * t));
        const double low = 0.17 * std::sin(2 * pi * bass * i / kSourceRate);
        seed = seed * 1664525u + 1013904223u;
        const double hiss = (double(seed >> 20) / 4096.0 - 0.5) * 0.01;
        put16(data, int(std::lround((melody + low + hiss) * 32767)));
        put16(data, int(std::lround((0.8 * melody + low - hiss) * 32767)));
    }
    std::string fmt;
    put16(fmt, 1);
    put16(fmt, 2);
    for (uint32_t v : {uint32_t(kSourceRate), uint32_t(kSourceRate * 4)})
        for (int b = 0; b < 4; ++b) fmt += char((v >> (8 * b)) & 0xFF);
    put16(fmt, 4);
    put16(fmt, 16);
    auto le32 = [](uint32_t v) {
        std::string s;
        for (int b = 0; b < 4; ++b) s += char((v >> (8 * b)) & 0xFF);
        return s;
    };
    const std::string chunks = "fmt " + le32(16) + fmt + "data" + le32(uint32_t(data.size())) + data;
    return "RIFF" + le32(uint32_t(chunks.size() + 4)) + "WAVE" + chunks;
}

struct BenchFiles {
    std::string dir;
    std::string source;
    BenchFiles() {
        char pattern[] = "/tmp/velmora-bench-XXXXXX";
        dir = mkdtemp(pattern);
        source = dir + "/song.wav";
        const std::string bytes = music_wav();
        FILE* f = std::fopen(source.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    ~BenchFiles() {
        for (const char* name : {"/song.wav", "/song.VMA", "/song.V40"}) std::remove((dir + name).c_str());
        rmdir(dir.c_str());
    }
};

void prepare_three_minute_song(benchmark::State& state) {
    static BenchFiles files;
    BenchHost host;
    auto ctx = make_context(host);
    ctx->state.SamplingRate = 22050;
    ctx->state.TransferRate = int(state.range(0));
    const std::string destination = files.dir + "/song.VMA";
    for (auto _ : state) {
        SongJob job;
        job.force = true;
        job.filter = state.range(1) != 0;
        open_conversion_job(*ctx, ctx->codec, job, files.source, destination);
        start_song_job(*ctx, ctx->codec, ctx->state, job);
        while (song_job_step(*ctx, ctx->codec, job) == SONG_JOB_RUNNING) {
        }
        end_song_job(*ctx, ctx->codec, job);
        if (job.lines[0].status != SONG_DONE) state.SkipWithError("song refused");
    }
    state.counters["x_realtime"] =
        benchmark::Counter(double(kSeconds) * double(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

// Transfer rates in bytes per second: the default 2000, ISDN-like 3528, LAN
// 7000; then resampled by picking (0) or through the low-pass filter (1).
BENCHMARK(prepare_three_minute_song)
    ->Args({2000, 0})
    ->Args({3528, 0})
    ->Args({7000, 0})
    ->Args({2000, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
