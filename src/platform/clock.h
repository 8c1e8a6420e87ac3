#pragma once
// The millisecond clock the pacing code counts with. Like the multimedia
// clock it stands in for, it wraps at 2^32 (about 49.7 days); callers
// compare times by unsigned difference.

#include <cstdint>

uint32_t monotonic_ms();
