#pragma once
// LiveRing: the encoded live packets between the live pump and the sender.
// 128 entries, each a pair (main, companion) of 2124-byte buffers holding a
// PacketHeader followed by up to 2112 bytes of frame. Allocated once at
// start-up and kept until the program ends.

#include <cstdint>
#include <memory>

constexpr int LIVE_RING_SIZE = 128;
constexpr int LIVE_BUFFER_SIZE = 2124;

struct LiveRingEntry {
    uint8_t main[LIVE_BUFFER_SIZE];
    uint8_t companion[LIVE_BUFFER_SIZE];
};

struct LiveRing {
    std::unique_ptr<LiveRingEntry[]> entries;  // null until allocated
    int write_index = 0;                       // the pump's
    int read_index = 0;                        // the sender's
};

// Allocates the 128 buffer pairs, zeroed, with both indexes at 0. Returns 1,
// or 0 when the memory cannot be had (start-up then fails).
int allocate_live_ring(LiveRing& ring);
// Nothing waits for the sender: the read index has caught up with the pump.
bool live_ring_empty(const LiveRing& ring);
// Both indexes back to 0, as when a live broadcast ends.
void reset_live_ring(LiveRing& ring);
