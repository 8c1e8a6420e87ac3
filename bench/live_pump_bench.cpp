// The live pump per block against the block's playing time (2048 samples:
// 46.4 ms at 44100 Hz, 128 ms at 16000 Hz). The pump has to stay well under
// a tenth of it. Counters: block_ms (playing time) and share_percent (the
// measured time per block as a percentage of it).
//
// Blocks are music-like noise, so the encoder works as hard as on real sound;
// the companion is encoded too (TransferRate below 7000). At 16000 Hz the
// buffers come at the card's rate (22050) and are decimated.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "app/context.h"
#include "app/program.h"
#include "bench_host.h"
#include "live/live_capture.h"

namespace {

// rate, device rate, transfer rate
void pump_blocks(benchmark::State& state) {
    const int rate = static_cast<int>(state.range(0));
    const int device_rate = static_cast<int>(state.range(1));
    BenchHost host;
    auto ctx = make_context(host);
    allocate_live_ring(ctx->live_ring);
    StationState& s = ctx->state;
    s.SamplingRate = rate;
    s.device_rate = device_rate;
    s.TransferRate = rate / 8;  // 12.5 %: below 7000 at both rates, so two encodes a block
    ctx->live_ring.feed_mode = FeedMode::live_sending;
    ctx->sender.packet_counter = 100;
    const int length = device_rate == rate ? 2048 : CAPTURE_DEVICE_LONG;

    // A second of sound with a wandering pitch and noise.
    std::minstd_rand random(7);
    std::vector<uint8_t> sound(static_cast<size_t>(device_rate) + length);
    double phase = 0;
    for (size_t i = 0; i < sound.size(); ++i) {
        phase += 0.02 + 0.01 * std::sin(i / 3000.0);
        sound[i] = static_cast<uint8_t>(128 + 60 * std::sin(phase) + static_cast<int>(random() % 31) - 15);
    }
    size_t at = 0;
    for (auto _ : state) {
        pump_block(*ctx, ctx->capture, ctx->live_ring, ctx->codec, ctx->outputs,
                   ctx->sender.packet_counter, sound.data() + at, static_cast<uint16_t>(length), 1,
                   device_rate, device_rate, 1);
        at = (at + static_cast<size_t>(length)) % (sound.size() - static_cast<size_t>(length));
        // The sender keeps pace, so the ring never fills.
        ctx->live_ring.read_index = (ctx->live_ring.write_index + LIVE_RING_SIZE - 16) % LIVE_RING_SIZE;
    }
    const double block_ms = 2048.0 * 1000.0 / rate;
    state.counters["block_ms"] = block_ms;
    state.counters["share_percent"] = benchmark::Counter(
        block_ms / 1000.0 / 100.0, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK(pump_blocks)->ArgNames({"rate", "device"})->Args({44100, 44100})->Args({16000, 22050})->Unit(benchmark::kMillisecond);
