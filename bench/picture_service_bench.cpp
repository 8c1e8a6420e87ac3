// The picture service: loading a 640 x 480 picture with and without a
// current prepared copy, and answering one tile request end to end (copy,
// coding, datagram out through the queue to a loopback socket).

#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/context.h"
#include "app/program.h"
#include "bench_host.h"
#include "platform/udp_socket.h"
#include "server/picture_service.h"

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;

void put32(std::string& bytes, int at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

// A 24-bit BMP of soft colour fields with a hard-edged disc.
std::string make_bmp() {
    const int rows_size = kWidth * 3 * kHeight;
    std::string bmp(54, '\0');
    bmp[0] = 'B';
    bmp[1] = 'M';
    put32(bmp, 2, 54 + rows_size);
    put32(bmp, 10, 54);
    put32(bmp, 14, 40);
    put32(bmp, 18, kWidth);
    put32(bmp, 22, kHeight);
    bmp[26] = 1;
    bmp[28] = 24;
    put32(bmp, 34, rows_size);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const int edge = (x - 300) * (x - 300) + (y - 250) * (y - 250) < 120 * 120 ? 60 : 0;
            const double wave = 30 * std::sin(x * 0.05) * std::cos(y * 0.03);
            for (int c = 0; c < 3; ++c) {
                const int v = static_cast<int>(70 + c * 30 + y / 5 + wave) + edge;
                bmp += static_cast<char>(v < 0 ? 0 : v > 255 ? 255 : v);
            }
        }
    return bmp;
}

struct PictureFiles {
    std::string dir;
    std::string picture;
    std::string prepared;

    PictureFiles() {
        char pattern[] = "/tmp/velmora-bench-XXXXXX";
        dir = mkdtemp(pattern) ? pattern : "/tmp";
        picture = dir + "/picture.bmp";
        prepared = dir + "/picture.dbp";
        const std::string bmp = make_bmp();
        FILE* file = fopen(picture.c_str(), "wb");
        if (file) {
            fwrite(bmp.data(), 1, bmp.size(), file);
            fclose(file);
        }
    }
    ~PictureFiles() {
        remove(picture.c_str());
        remove(prepared.c_str());
        rmdir(dir.c_str());
    }
};

void load_picture_640_by_480(benchmark::State& state) {
    const bool prepared_copy = state.range(0) == 1;
    PictureFiles files;
    BenchHost host;
    std::unique_ptr<Context> ctx = make_context(host);
    load_picture(*ctx, ctx->pictures, files.picture.c_str(), PICTURE_MAIN);  // writes the prepared copy
    for (auto _ : state) {
        if (!prepared_copy) {
            state.PauseTiming();
            remove(files.prepared.c_str());
            state.ResumeTiming();
        }
        if (load_picture(*ctx, ctx->pictures, files.picture.c_str(), PICTURE_MAIN) != 1) state.SkipWithError("not loaded");
    }
}
BENCHMARK(load_picture_640_by_480)->Arg(0)->Arg(1)->ArgNames({"prepared_copy"})->Unit(benchmark::kMillisecond);

void answer_tile_request(benchmark::State& state) {
    PictureFiles files;
    BenchHost host;
    std::unique_ptr<Context> ctx = make_context(host);
    load_picture(*ctx, ctx->pictures, files.picture.c_str(), PICTURE_MAIN);
    // The station sends to itself on loopback; datagrams beyond its receive
    // buffer are dropped by the system, which costs the sender nothing extra.
    sockaddr_in to{};
    ctx->station.socket = udp_open();
    if (ctx->station.socket.fd() < 0 || !ipv4_from_dotted("127.0.0.1", 0, &to) ||
        udp_bind(ctx->station.socket.fd(), to.sin_addr.s_addr, 0) != 0 ||
        udp_local_address(ctx->station.socket.fd(), &to) != 0) {
        state.SkipWithError("no loopback socket");
        return;
    }
    for (auto _ : state)
        handle_picture_request(*ctx, ctx->pictures, ctx->codec, ctx->station, ctx->queue,
                               ctx->sender.packet_counter, to, sizeof to, "GETBMPXY009007", 1);
}
BENCHMARK(answer_tile_request);

}  // namespace
