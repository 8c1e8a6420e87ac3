#pragma once
// LiveRing: the encoded live packets between the live pump and the sender.
// 128 entries, each a pair (main, companion) of 2124-byte buffers holding a
// PacketHeader followed by up to 2112 bytes of frame. Allocated once at
// start-up and kept until the program ends.

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

constexpr int LIVE_RING_SIZE = 128;
constexpr int LIVE_BUFFER_SIZE = 2124;

// What the sender plays: the script, or the live ring as it goes through
// priming (the pump fills the first entries), primed (the sender may start
// taking them), sending, and stopping (the ring drains, then the script).
// The controller chooses the feed and stops it; the pump and the sender move
// a live feed on.
enum class FeedMode { script, live_priming, live_primed, live_sending, live_stopping };

inline bool feed_is_live(FeedMode mode) { return mode != FeedMode::script; }
// The live ring is what goes out: sending, or draining after a stop.
inline bool feed_takes_ring(FeedMode mode) {
    return mode == FeedMode::live_sending || mode == FeedMode::live_stopping;
}
inline bool feed_stopping(FeedMode mode) { return mode == FeedMode::live_stopping; }
// The feed a start begins with for the key Mode: 0 the script, 1 live.
inline FeedMode feed_of_mode(int mode) { return mode ? FeedMode::live_priming : FeedMode::script; }

struct LiveRingEntry {
    uint8_t main[LIVE_BUFFER_SIZE];
    uint8_t companion[LIVE_BUFFER_SIZE];
};

// A change of what the ring carries, due when the sender takes `entry`:
// a song of the fallback script begins (its text and picture go out), or
// the capture is back (the live list's texts and pictures resume).
// A cue may name an entry up to this far past the pump's write index: the
// super-block being written goes into the ring after the one being encoded.
constexpr int LIVE_BANK_PACKETS_AHEAD = 8;

struct RingCue {
    int entry = 0;
    bool fallback = false;
    std::string text;
    std::string picture;
};

struct LiveRing {
    std::unique_ptr<LiveRingEntry[]> entries;  // null until allocated
    int write_index = 0;                       // the pump's
    int read_index = 0;                        // the sender's
    FeedMode feed_mode = FeedMode::live_priming;
    std::deque<RingCue> cues;   // oldest first
    bool fallback_sent = false;  // the fallback goes out: the live list waits
};

// Allocates the 128 buffer pairs, zeroed, with both indexes at 0. Returns 1,
// or 0 when the memory cannot be had (start-up then fails).
int allocate_live_ring(LiveRing& ring);
// Nothing waits for the sender: the read index has caught up with the pump.
bool live_ring_empty(const LiveRing& ring);
// Both indexes back to 0, as when a live broadcast ends.
void reset_live_ring(LiveRing& ring);
