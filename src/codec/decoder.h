#pragma once
// The decoder: one codec frame back to 2048 unsigned 8-bit samples.

#include <cstdint>

#include "codec/codec_frame.h"

// Decodes the `length` bytes of `frame` into `samples`. Returns 1, or 0 for a
// malformed frame (shorter than its header, mode bits 11-15 set, a
// coefficient stream that is cut short, codes too many values or is followed
// by extra bytes); then `samples` holds silence. Never reads outside
// frame[0..length).
int decode_frame(const uint8_t* frame, int length, uint8_t samples[kFrameSamples]);
