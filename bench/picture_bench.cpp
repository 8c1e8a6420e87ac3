// The picture coder: preparing a 640 x 480 picture once when it is loaded,
// and coding one tile per picture request.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "codec/picture_coder.h"
#include "codec/picture_decoder.h"

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;

// Soft colour fields with an edge and some grain, like a photograph.
std::vector<uint8_t> make_picture() {
    std::vector<uint8_t> pixels(kWidth * kHeight * 3);
    unsigned state = 1;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            state = state * 1103515245u + 12345u;
            const int grain = static_cast<int>((state >> 16) % 9) - 4;
            const int edge = (x - 300) * (x - 300) + (y - 250) * (y - 250) < 120 * 120 ? 60 : 0;
            const double wave = 30 * std::sin(x * 0.05) * std::cos(y * 0.03);
            uint8_t* p = &pixels[(y * kWidth + x) * 3];
            for (int c = 0; c < 3; ++c) {
                const int v = static_cast<int>(70 + c * 30 + y / 5 + wave) + edge + grain;
                p[c] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
            }
        }
    return pixels;
}

void prepare_640_by_480(benchmark::State& state) {
    const std::vector<uint8_t> original = make_picture();
    std::vector<uint8_t> pixels;
    for (auto _ : state) {
        state.PauseTiming();
        pixels = original;
        state.ResumeTiming();
        prepare_picture(pixels.data(), pixels.size(), kWidth, kHeight, kWidth * 3,
                        static_cast<int>(state.range(0)), nullptr);
        benchmark::DoNotOptimize(pixels.data());
    }
}
BENCHMARK(prepare_640_by_480)->Arg(0)->Arg(4)->Unit(benchmark::kMillisecond);

// Tile (11, 4), which the disc's edge crosses, of the picture prepared at
// ImageQuality 2 (the default); with `raw` the picture is left unprepared,
// as tiles past the prepared region are.
std::vector<uint8_t> sample_tile(bool raw) {
    std::vector<uint8_t> pixels = make_picture();
    if (!raw) prepare_picture(pixels.data(), pixels.size(), kWidth, kHeight, kWidth * 3, 2, nullptr);
    std::vector<uint8_t> tile(PICTURE_TILE_BYTES);
    for (int y = 0; y < 32; ++y)
        for (int i = 0; i < 96; ++i) tile[y * 96 + i] = pixels[(4 * 32 + y) * kWidth * 3 + 11 * 96 + i];
    return tile;
}

void encode_tile(benchmark::State& state) {
    const std::vector<uint8_t> tile = sample_tile(state.range(0) == 1);
    std::vector<uint8_t> out(PICTURE_PAYLOAD_MAX_BYTES);
    CodecState codec;
    int length = 0;
    for (auto _ : state) {
        length = encode_picture_tile(codec, tile.data(), 2, out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["payload_bytes"] = length;
}
BENCHMARK(encode_tile)->Arg(0)->Arg(1)->ArgNames({"raw"});

void decode_tile(benchmark::State& state) {
    const std::vector<uint8_t> tile = sample_tile(false);
    std::vector<uint8_t> payload(PICTURE_PAYLOAD_MAX_BYTES);
    CodecState codec;
    const int length = encode_picture_tile(codec, tile.data(), 2, payload.data());
    std::vector<uint8_t> decoded(PICTURE_TILE_BYTES);
    for (auto _ : state) {
        decode_picture_tile(payload.data(), length, decoded.data());
        benchmark::DoNotOptimize(decoded.data());
    }
}
BENCHMARK(decode_tile);

}  // namespace
