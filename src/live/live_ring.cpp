#include "live/live_ring.h"

#include <new>

int allocate_live_ring(LiveRing& ring) {
    ring.entries.reset(new (std::nothrow) LiveRingEntry[LIVE_RING_SIZE]());
    reset_live_ring(ring);
    return ring.entries ? 1 : 0;
}

bool live_ring_empty(const LiveRing& ring) {
    return ring.read_index == ring.write_index;
}

void reset_live_ring(LiveRing& ring) {
    ring.write_index = 0;
    ring.read_index = 0;
    ring.cues.clear();
    ring.fallback_sent = false;
}
