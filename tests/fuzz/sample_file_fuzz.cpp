// Fuzz target: compressed sample files (".VMA") as the station meets them:
// the song check (check_sample_file), the frame walk of the tools with the
// decoder on every frame, and the sender's own reading while it broadcasts
// the file as a script's only song.
//
// Input layout: the whole sample file, a 16-byte header ("VMA ", sampling
// rate, rate code, zeros) and then frames, each a 2-byte big-endian length
// and that many codec bytes. The companion file (".V40") beside it holds the
// same bytes without their last third, so it runs out first.
//
// Checked beside the sanitizers: every check result is documented; the
// check and the frame walk agree on whether the frames use up the file; a
// refused frame decodes to silence; the sender broadcasts without asking
// anything of the operator or ending the program, and never sends more than
// a file frame.

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "app/context.h"
#include "app/station.h"
#include "base/commands.h"
#include "codec/decoder.h"
#include "codec/sample_file.h"
#include "fuzz/fuzz_support.h"
#include "server/sender.h"
#include "support/fake_host.h"

namespace {

constexpr int kMaxFrames = 256;  // frames decoded per input
// Ticks broadcast per input at most: each passes over the whole listener table.
constexpr int kMaxTicks = 64;

bool documented(int code) {
    return code == SAMPLE_USABLE || code == SAMPLE_NEEDS_WORK || code == SAMPLE_UNKNOWN_FORMAT ||
           code == SAMPLE_RATE_MISMATCH;
}

// Walks the frames as the tools read them, decoding each. Returns the
// frames read and whether the walk ended cleanly at the end of the file.
int walk_frames(const std::string& path, bool* clean_end) {
    FILE* file = fopen(path.c_str(), "rb");
    FUZZ_CHECK(file != nullptr);
    SampleFileHeader header;
    *clean_end = false;
    int frames = 0;
    if (read_sample_header(file, header)) {
        static uint8_t frame[0xFFFF];
        uint8_t samples[kFrameSamples];
        int length;
        while ((length = read_sample_frame(file, frame, sizeof frame)) >= 0) {
            if (frames++ < kMaxFrames) {
                // An exact-size copy, so that AddressSanitizer sees any read past it.
                std::vector<uint8_t> bytes(frame, frame + length);
                if (!decode_frame(bytes.data(), length, samples))
                    FUZZ_CHECK(std::all_of(samples, samples + kFrameSamples, [](uint8_t s) { return s == 128; }));
            }
        }
        *clean_end = length == SAMPLE_FRAME_END;
    }
    fclose(file);
    return frames;
}

// The file as a script's only song, played twice, for as many ticks as it
// has frames and a few more.
void broadcast(const std::string& path, int frames) {
    FakeHost host;
    static std::unique_ptr<Context> fresh;
    Context& ctx = renew_context(fresh, host);
    open_loopback_station(ctx);
    ctx.sender.broadcast_state = BroadcastState::broadcasting;
    ctx.live_ring.feed_mode = FeedMode::script;
    ctx.script.entries.assign(1, ScriptEntry{});
    ctx.script.entries[0].count = 2;
    snprintf(ctx.script.entries[0].song, SCRIPT_NAME_SIZE, "%s", path.c_str());
    ctx.script.loaded = true;
    ctx.script.script_entries = 1;

    const int ticks = std::min(2 * frames + 4, kMaxTicks);
    for (int tick = 0; tick < ticks; ++tick) {
        broadcast_tick(station_parts(ctx));
        // A song the station cannot play is skipped with one message from the
        // event loop; with no other song the broadcast asks once to stop.
        FUZZ_CHECK(host.messages.empty() && host.exit_statuses.empty());
        const auto posted = [&](Command command) {
            return std::count(host.posted_commands.begin(), host.posted_commands.end(), command);
        };
        FUZZ_CHECK(posted(Command::show_messages) + posted(Command::start_stop) ==
                   static_cast<long>(host.posted_commands.size()));
        FUZZ_CHECK(posted(Command::show_messages) <= 1 && posted(Command::start_stop) <= 1);
        FUZZ_CHECK(ctx.messages.posted.size() <= 2);
        if (posted(Command::start_stop)) {
            FUZZ_CHECK(ctx.sender.failure_status == 1);
            FUZZ_CHECK(ctx.messages.posted[0].second.find(path) != std::string::npos);
        }
        FUZZ_CHECK(ctx.sender.audio_length >= 0 && ctx.sender.audio_length <= MAX_FILE_FRAME);
        FUZZ_CHECK(ctx.sender.companion_length >= 0 && ctx.sender.companion_length <= MAX_FILE_FRAME);
    }
    close_station(ctx);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = write_fuzz_file("song.VMA", data, size);
    write_fuzz_file("song.V40", data, size - size / 3);

    SampleFileHeader header;
    FILE* file = fopen(path.c_str(), "rb");
    FUZZ_CHECK(file != nullptr);
    bool has_header = read_sample_header(file, header);
    fclose(file);

    FUZZ_CHECK(documented(check_sample_file(path.c_str(), 16000)));
    bool clean_end = false;
    int frames = walk_frames(path, &clean_end);
    if (has_header && header.magic_ok) {
        int code = check_sample_file(path.c_str(), static_cast<int>(header.sampling_rate));
        FUZZ_CHECK(code == SAMPLE_USABLE || code == SAMPLE_NEEDS_WORK);
        FUZZ_CHECK((code == SAMPLE_USABLE) == clean_end);
    }
    broadcast(path, frames);
    return 0;
}
