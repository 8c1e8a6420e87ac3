#pragma once
// The wavelet encoder: one frame of 2048 samples into one codec frame whose
// coefficient part lands just under the bit budget set by rate_percent.

#include <cstdint>

#include "codec/codec_frame.h"
#include "codec/codec_state.h"

// Encodes 2048 unsigned 8-bit samples into `out` (room for kMaxFrameBytes).
// Uses codec.rate_percent and codec.interp_threshold; leaves
// codec.coding_mode at the mode of the frame written. Returns the frame
// length in bytes. Allocates nothing; keeps nothing from frame to frame.
int encode_frame(CodecState& codec, const uint8_t samples[kFrameSamples], uint8_t* out);
