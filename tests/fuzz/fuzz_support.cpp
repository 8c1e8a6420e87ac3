#include "fuzz/fuzz_support.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "app/context.h"
#include "app/program.h"
#include "codec/encoder.h"
#include "codec/sample_file.h"
#include "platform/udp_socket.h"
#include "server/bmp_header.h"
#include "support/synthetic_audio.h"
#include "support/synthetic_picture.h"
#include "support/temp_dir.h"

namespace {

TempDir* process_dir = nullptr;

void remove_process_dir() {
    delete process_dir;
    process_dir = nullptr;
}

}  // namespace

void fuzz_setup() {
    if (process_dir) return;
    unsetenv("VELMORA_TRACE");
    // Every input rewrites its files: on a disk file system truncating a
    // file costs milliseconds, in memory microseconds.
    if (!getenv("TMPDIR") && access("/dev/shm", W_OK) == 0) setenv("TMPDIR", "/dev/shm", 1);
    process_dir = new TempDir;
    atexit(remove_process_dir);
}

const std::string& fuzz_dir() {
    if (!process_dir) fuzz_failure(__FILE__, __LINE__, "fuzz_setup() was not called");
    return process_dir->path();
}

std::string fuzz_path(const std::string& name) { return fuzz_dir() + "/" + name; }

std::string write_fuzz_file(const std::string& name, const uint8_t* data, size_t size) {
    std::string path = fuzz_path(name);
    FILE* file = fopen(path.c_str(), "wb");
    bool written = file && (size == 0 || fwrite(data, 1, size, file) == size);
    if (!file || fclose(file) != 0 || !written) fuzz_failure(__FILE__, __LINE__, "writing the input file");
    return path;
}

std::string write_fuzz_file(const std::string& name, const std::string& bytes) {
    return write_fuzz_file(name, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

void empty_fuzz_subdir(const std::string& name) {
    std::string dir = fuzz_path(name);
    DIR* listing = opendir(dir.c_str());
    if (!listing) return;
    while (dirent* entry = readdir(listing))
        if (entry->d_name[0] != '.') unlink((dir + "/" + entry->d_name).c_str());
    closedir(listing);
}

void fuzz_failure(const char* file, int line, const char* condition) {
    fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    abort();
}

Context& renew_context(std::unique_ptr<Context>& ctx, Host& host) {
    if (!ctx) {
        ctx = make_context(host);
        return *ctx;
    }
    // Everything make_context sets beside the record's own defaults (the
    // trace sink stays off: fuzz_setup cleared VELMORA_TRACE).
    const SenderEvents events = ctx->sender.events;
    const auto stop_broadcast = ctx->capture.stop_broadcast;
    ctx->~Context();
    new (ctx.get()) Context();
    ctx->host = &host;
    ctx->sender.events = events;
    ctx->capture.stop_broadcast = stop_broadcast;
    return *ctx;
}

void open_loopback_station(Context& ctx) {
    StationSocket& station = ctx.station;
    station.socket = udp_open();
    sockaddr_in self{};
    if (station.socket.fd() < 0 || !ipv4_from_dotted("127.0.0.1", 0, &self) ||
        udp_bind(station.socket.fd(), self.sin_addr.s_addr, 0) != 0)
        fuzz_failure(__FILE__, __LINE__, "a UDP socket bound to 127.0.0.1");
    if (udp_local_address(station.socket.fd(), &self) != 0)
        fuzz_failure(__FILE__, __LINE__, "the station socket's address");
    ctx.state.STATION_PORT = ntohs(self.sin_port);
    station.local_addr_net = self.sin_addr.s_addr;
    station.local_addr_host = ntohl(self.sin_addr.s_addr);
    station.net_mask = network_mask_of(station.local_addr_host);
}

sockaddr_in station_socket_address(const Context& ctx) {
    sockaddr_in addr{};
    if (udp_local_address(ctx.station.socket.fd(), &addr) != 0)
        fuzz_failure(__FILE__, __LINE__, "the station socket's address");
    return addr;
}

std::string music_sample_file(int sampling_rate, int rate_percent, int frames) {
    uint8_t header[kSampleHeaderBytes];
    make_sample_header(header, static_cast<uint32_t>(sampling_rate), rate_percent);
    std::string bytes(reinterpret_cast<const char*>(header), sizeof header);
    std::vector<uint8_t> music = synthetic::music_like(frames * kFrameSamples, sampling_rate);
    CodecState codec;
    codec.rate_percent = rate_percent;
    for (int f = 0; f < frames; ++f) {
        uint8_t frame[kMaxFrameBytes];
        int length = encode_frame(codec, &music[static_cast<size_t>(f) * kFrameSamples], frame);
        bytes.push_back(static_cast<char>(length >> 8));
        bytes.push_back(static_cast<char>(length & 0xFF));
        bytes.append(reinterpret_cast<const char*>(frame), static_cast<size_t>(length));
    }
    return bytes;
}
