#pragma once
// The listener's reorder and jitter buffer: coded audio frames kept by
// `seq` until their super-block is decoded, the resend bookkeeping for the
// gaps, and decoding in time order to unsigned 8-bit samples at the
// station's rate, chunk edges softened.
//
// A super-block (eight frames from a seq that is a multiple of 8) is
// decoded as soon as its eight frames are in. One with frames still missing
// waits until its owner says it is due (the player is about to need it);
// the missing frames are then silence, and a frame that comes later has
// missed its moment and is dropped.

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

struct JitterBuffer {
    bool smoothing = true;  // soften the steps the codec leaves at chunk edges

    std::map<uint32_t, std::vector<uint8_t>> frames;  // by seq, not yet decoded
    struct Ask {
        uint32_t first_ms = 0;  // when the gap was seen
        int sent = 0;           // requests sent for it
    };
    std::map<uint32_t, Ask> asked;  // missing seqs

    bool started = false;    // a first frame set next_base
    uint32_t first_base = 0; // the stream starts here: the block it was joined inside is left out
    uint32_t next_base = 0;  // seq of the next super-block to decode
    uint32_t highest = 0;    // highest seq stored
    // A seq far from the stream: taken as the station's new counter only when
    // the next far seq follows it, so that one stray cannot derail the stream.
    bool have_stray = false;
    uint32_t stray_seq = 0;

    // The last decoded chunk, held back so that its edge with the next
    // super-block can be smoothed as well.
    std::vector<uint8_t> held;
    float held_step = 0;

    int gaps = 0;       // missing seqs noticed
    int recovered = 0;  // asked-for seqs that arrived in time
    int late = 0;       // frames dropped because their moment had passed
    int lost = 0;       // frames decoded as silence
    int restarts = 0;   // new counters followed
};

// Seqs further than this from the stream are strays or a new counter.
constexpr uint32_t kJitterLongestGap = 1000;
// The station keeps the last 80 audio datagrams for resends; older gaps are not asked for.
constexpr uint32_t kStationResendStore = 80;
// A seq further ahead than the station's resend store is a jump no resend
// can fill: like a new counter, it is followed (once the next seq follows
// it) instead of being played as a long silence.
constexpr uint32_t kJitterLongestJump = kStationResendStore;
// A hole of at most this many super-blocks becomes silence; a longer one is skipped.
constexpr uint32_t kLongestSilentHole = 16;

enum JitterStore { kJitterStored, kJitterDuplicate, kJitterLate, kJitterStray, kJitterRestarted };

// Stores one coded frame (at most 5000 bytes are kept). A restart flushes
// what the old counter left into `out` first.
JitterStore jitter_store(JitterBuffer& jb, uint32_t seq, const uint8_t* frame, int length,
                         uint32_t now_ms, std::vector<uint8_t>& out);

// The seqs to ask the station for now, at most `most`, oldest first: a gap
// at once, and once more when it is still missing `again_ms` later. Gaps
// the station no longer holds, or whose moment has passed, are forgotten.
std::vector<uint32_t> jitter_resends_due(JitterBuffer& jb, uint32_t now_ms, uint32_t again_ms,
                                         size_t most);

// Decodes the next super-block into `out` when its frames are all in, or
// when `due` (lost frames then silence; a block not one frame of which
// came is silence too, and a hole longer than kLongestSilentHole blocks is
// skipped). Returns the number of samples appended (0: nothing to decode).
int jitter_decode_next(JitterBuffer& jb, bool due, std::vector<uint8_t>& out);

// Frames from next_base up to the highest seq: audio received or expected
// but not yet decoded.
int jitter_pending_frames(const JitterBuffer& jb);

// The station's counter starts afresh (a new session whose counter lies far
// from ours): what is decodable of the old one goes to `out`, then the
// buffer waits for the new counter's first frame.
void jitter_restart(JitterBuffer& jb, std::vector<uint8_t>& out);

// At the end: every super-block whose last frame's time has come is decoded
// into `out`, an unfinished last one is left out, the held chunk follows.
void jitter_finish(JitterBuffer& jb, std::vector<uint8_t>& out);
