#pragma once
// No dead air: the fallback script of a live feed. While the capture is
// lost (the device reports a fault) or carries nothing above -50 dBFS for
// FALLBACK_SECONDS, the pump takes its blocks from the fallback script's
// songs instead: their frames decoded back to samples at the sampling rate
// and encoded again like captured sound, so listeners keep their session,
// their seq and the stream's format. The capture is still converted and
// measured all the while; once it has carried signal for 3 seconds the
// pump takes it again.

#include <cstdint>
#include <string>

#include "codec/codec_frame.h"
#include "codec/super_block.h"
#include "media/program_audio.h"
#include "media/program_frames.h"
#include "media/script_table.h"
#include "platform/safe_files.h"

struct LiveRing;
struct Services;
struct StreamRate;

// The keys FALLBACK_SCRIPT and FALLBACK_SECONDS.
struct FallbackSettings {
    std::string FALLBACK_SCRIPT;  // empty: no fallback
    int FALLBACK_SECONDS = 10;    // of silence before the fallback plays
};

constexpr int FALLBACK_SECONDS_MAX = 3600;
// Signal this long brings the capture back.
constexpr int FALLBACK_RETURN_SECONDS = 3;
// Below this a block is silence: -50 dBFS of 16-bit full scale. An 8-bit
// block has no step that small, so there any sample off 128 is signal.
constexpr int FALLBACK_FLOOR_16 = 104;

struct LiveFallback {
    ScriptTable script;  // loaded for a live broadcast; nothing loaded: no fallback
    std::string path;    // the script's file, named in the messages
    int seconds = 10;
    bool on_air = false;        // the pump plays the fallback
    int64_t quiet_samples = 0;  // of capture in a row without signal
    int64_t signal_samples = 0; // of capture in a row with signal, while on the air

    // The song being read and what its frames decoded to.
    OwnedFile song;
    int entry = 0;
    int repeat = 0;
    bool told_unplayable = false;  // every song failed: said once
    uint32_t seq = 0;              // the frames' own count, for the decoder
    ProgramFrameDecoder decoder;
    uint8_t samples[kSuperBlockSamples] = {};
    int ready = 0;  // samples decoded
    int taken = 0;  // of which given to the pump
};

// Loads the fallback script at `path` into `script` and opens each of its
// songs. Returns what keeps it from playing at `sampling_rate` (it cannot be
// read, is no script, a song is missing, broken or at another rate), or ""
// when it can play. Relative names are taken from the script's folder, as
// for any script.
std::string load_fallback_script(Services& services, ScriptTable& script, const std::string& path,
                                 int sampling_rate);

// Loads FALLBACK_SCRIPT for a live broadcast. Without one, nothing is
// loaded; one that cannot play is told (a notice: the broadcast goes on
// without a fallback). Returns true when the fallback is ready.
bool load_fallback(Services& services, LiveFallback& fallback, const FallbackSettings& settings,
                   const StreamRate& stream);

// One block of the capture, converted to the sampling rate (`program`: the
// device's own recording of its time, when it hands one). Decides whether
// the capture or the fallback goes on the air, and puts the fallback's next
// block in `block` while it does: returns true then. `cue_entry` is the ring
// entry at which the super-block written now will start; a change of what
// plays is cued there for the sender (its text, its picture).
bool fallback_takes_block(Services& services, LiveFallback& fallback, uint8_t* block,
                          const ProgramAudio* program, int sampling_rate, LiveRing& ring,
                          int cue_entry);

// The broadcast ended: the next one starts on the capture, at the top of
// the fallback script.
void reset_fallback(LiveFallback& fallback);
