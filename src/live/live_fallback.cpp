#include "live/live_fallback.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/messages.h"
#include "codec/sample_file.h"
#include "codec/stream_rate.h"
#include "live/live_ring.h"
#include "media/script_file.h"

namespace {

constexpr uint8_t kSilence = 128;

bool has_signal(const uint8_t* block, const ProgramAudio* program) {
    if (program && program->frames > 0 && program->samples) {
        const int n = program->frames * std::max(program->channels, 1);
        for (int i = 0; i < n; ++i)
            if (std::abs(program->samples[i]) >= FALLBACK_FLOOR_16) return true;
        return false;
    }
    for (int i = 0; i < kFrameSamples; ++i)
        if (block[i] != kSilence) return true;
    return false;
}

// The song of the current entry, after its header; null when it cannot be
// played (it was there at the start: a song that went since is skipped).
FILE* open_entry_song(const LiveFallback& fb, int sampling_rate) {
    const ScriptEntry& entry = fb.script.entries[static_cast<size_t>(fb.entry)];
    std::string why;
    OwnedFile file(open_regular_file(entry.song, &why));
    SampleFileHeader header;
    if (!file) return nullptr;
    if (!read_sample_header(file.get(), header) || !header.magic_ok ||
        static_cast<int>(header.sampling_rate) != sampling_rate)
        return nullptr;
    return file.release();
}

void next_entry(LiveFallback& fb) {
    fb.repeat = 0;
    fb.entry = (fb.entry + 1) % static_cast<int>(fb.script.entries.size());
}

void cue_song(LiveFallback& fb, LiveRing& ring, int cue_entry) {
    const ScriptEntry& entry = fb.script.entries[static_cast<size_t>(fb.entry)];
    ring.cues.push_back({cue_entry, true, entry.text, entry.picture});
    if (ring.cues.size() > LIVE_RING_SIZE) ring.cues.pop_front();
}

// Decodes the next super-block of the fallback into fb.samples. False when
// no song of the script gives frames (the block is then silence).
bool decode_next(Services& services, LiveFallback& fb, int sampling_rate, LiveRing& ring,
                 int cue_entry) {
    const int entries = static_cast<int>(fb.script.entries.size());
    int opens_left = entries + 1;
    auto out = [&fb](const uint8_t* samples, int count) {
        memcpy(fb.samples, samples, static_cast<size_t>(std::min(count, kSuperBlockSamples)));
        fb.ready = std::min(count, kSuperBlockSamples);
        fb.taken = 0;
    };
    fb.ready = fb.taken = 0;
    uint8_t frame[kMaxFrameBytes];
    while (fb.ready == 0) {
        if (!fb.song) {
            if (opens_left-- == 0) {
                if (!fb.told_unplayable) {
                    fb.told_unplayable = true;
                    post_message(services, Buttons::ok | Icon::warning,
                                 "No song of the fallback script %s can be played: the "
                                 "fallback is silence.", fb.path.c_str());
                }
                return false;
            }
            fb.song.reset(open_entry_song(fb, sampling_rate));
            if (!fb.song) {
                next_entry(fb);
                continue;
            }
            fb.decoder.reset();
            fb.seq = 0;
            cue_song(fb, ring, cue_entry);
        }
        int length = read_sample_frame(fb.song.get(), frame, sizeof frame);
        if (length >= 0) {
            fb.decoder.add(fb.seq++, frame, length, out);
            continue;
        }
        // The song's end: played again as often as its entry says, then the next.
        fb.decoder.reset();
        const int count = std::max(fb.script.entries[static_cast<size_t>(fb.entry)].count, 1);
        const bool had_frames = fb.seq > 0;
        if (++fb.repeat < count && had_frames) {
            fseek(fb.song.get(), kSampleHeaderBytes, SEEK_SET);
            fb.seq = 0;
            continue;
        }
        fb.song.reset();
        next_entry(fb);
        if (had_frames) opens_left = entries + 1;
    }
    return true;
}

void tell(Services& services, const char* format, const char* a, const char* b) {
    char text[1024];
    snprintf(text, sizeof text, format, a, b);
    services.host->notice(text);
}

}  // namespace

std::string load_fallback_script(Services& services, ScriptTable& script, const std::string& path,
                                 int sampling_rate) {
    std::string why;
    if (!script_readable(path, &why)) return "cannot be opened: " + why;
    int script_rate = 0, percent = 0;
    read_script_header(path.c_str(), &script_rate, &percent);
    if (script_rate != sampling_rate)
        return "is made for " + std::to_string(script_rate) + " Hz, the station runs at " +
               std::to_string(sampling_rate) + " Hz";
    // Its songs are decoded and encoded again: their own bit rate is theirs.
    StreamRate rates;
    rates.SamplingRate = script_rate;
    rates.TransferRate = script_rate * percent / 100;
    ScriptRates taken;
    if (load_script(services, script, rates, path.c_str(), &taken) <= 0)
        return "is not a script the station can read";
    for (const ScriptEntry& entry : script.entries) {
        OwnedFile file(open_regular_file(entry.song, &why));
        if (!file) return "its song " + std::string(entry.song) + " cannot be opened: " + why;
        SampleFileHeader header;
        if (!read_sample_header(file.get(), header) || !header.magic_ok)
            return "its song " + std::string(entry.song) + " is not a compressed sample file";
        if (static_cast<int>(header.sampling_rate) != sampling_rate)
            return "its song " + std::string(entry.song) + " is at " +
                   std::to_string(header.sampling_rate) + " Hz, the station at " +
                   std::to_string(sampling_rate) + " Hz";
    }
    return "";
}

bool load_fallback(Services& services, LiveFallback& fb, const FallbackSettings& settings,
                   const StreamRate& stream) {
    free_script_table(services, fb.script);
    reset_fallback(fb);
    fb.path = settings.FALLBACK_SCRIPT;
    fb.seconds = std::clamp(settings.FALLBACK_SECONDS, 1, FALLBACK_SECONDS_MAX);
    if (fb.path.empty()) return false;
    std::string problem = load_fallback_script(services, fb.script, fb.path, stream.SamplingRate);
    if (problem.empty()) return true;
    free_script_table(services, fb.script);
    tell(services, "The fallback script %s (FALLBACK_SCRIPT) %s: the station goes on without a "
                   "fallback.", fb.path.c_str(), problem.c_str());
    return false;
}

void reset_fallback(LiveFallback& fb) {
    fb.on_air = false;
    fb.quiet_samples = fb.signal_samples = 0;
    fb.song.reset();
    fb.entry = fb.repeat = 0;
    fb.told_unplayable = false;
    fb.decoder.reset();
    fb.ready = fb.taken = 0;
}

bool fallback_takes_block(Services& services, LiveFallback& fb, uint8_t* block,
                          const ProgramAudio* program, int sampling_rate, LiveRing& ring,
                          int cue_entry) {
    if (!fb.script.loaded || fb.script.entries.empty()) return false;
    const char* fault = services.host->capture_fault();
    const bool signal = !fault && has_signal(block, program);
    const int64_t rate = std::max(sampling_rate, 1);
    if (!fb.on_air) {
        fb.quiet_samples = signal ? 0 : fb.quiet_samples + kFrameSamples;
        if (!fault && fb.quiet_samples < fb.seconds * rate) return false;
        fb.on_air = true;
        fb.signal_samples = 0;
        char cause[256];
        if (fault) snprintf(cause, sizeof cause, "live capture lost (%s)", fault);
        else snprintf(cause, sizeof cause, "no live signal above -50 dBFS for %d s", fb.seconds);
        tell(services, "%s: the station plays the fallback script %s", cause, fb.path.c_str());
        if (fb.song) cue_song(fb, ring, cue_entry);  // goes on where it left off
    } else {
        fb.signal_samples = signal ? fb.signal_samples + kFrameSamples : 0;
        if (fb.signal_samples >= FALLBACK_RETURN_SECONDS * rate) {
            fb.on_air = false;
            fb.quiet_samples = 0;
            ring.cues.push_back({cue_entry, false, "", ""});
            char seconds[16];
            snprintf(seconds, sizeof seconds, "%d", FALLBACK_RETURN_SECONDS);
            tell(services, "live signal again for %s s: the station leaves the fallback script %s "
                           "and goes back to live", seconds, fb.path.c_str());
            return false;
        }
    }
    if (fb.taken >= fb.ready && !decode_next(services, fb, sampling_rate, ring, cue_entry)) {
        memset(block, kSilence, kFrameSamples);
        return true;
    }
    memcpy(block, fb.samples + fb.taken, kFrameSamples);
    fb.taken += kFrameSamples;
    return true;
}
