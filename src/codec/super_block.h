#pragma once
// Eight frames carry one super-block of 16384 samples, spread in 256-sample
// chunks: frame n holds chunks n, n+8, .., n+56, chunk 8p+n at samples
// 256p..256p+255 of the frame. Losing one frame then costs every eighth
// short chunk instead of 2048 contiguous samples.

#include <cstdint>

#include "codec/codec_frame.h"

constexpr int kFramesPerSuperBlock = 8;
constexpr int kSuperBlockSamples = kFramesPerSuperBlock * kFrameSamples;
constexpr int kChunkSamples = 256;

void interleave_super_block(const uint8_t block[kSuperBlockSamples],
                            uint8_t frames[kFramesPerSuperBlock][kFrameSamples]);

void deinterleave_super_block(const uint8_t frames[kFramesPerSuperBlock][kFrameSamples],
                              uint8_t block[kSuperBlockSamples]);
