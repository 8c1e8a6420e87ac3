#pragma once
// The lifting wavelet transform of one frame: 11 levels of span 2, 4, ..,
// 2048 over 2048 values. Each level replaces the pair (X[p], X[p + g/2]) by
// an average and a detail (the averaging step), or keeps the even value and
// replaces the odd one by its difference from a prediction out of the even
// neighbours (the interpolating step; only ever chosen for span 2). Lifting
// never looks across a 256-sample chunk boundary except where noted, since
// the chunks of one frame come from different moments of the super-block.

#include <cstdint>

#include "codec/codec_frame.h"

// Transforms X in place. The finest level takes the interpolating step when
// its detail magnitudes sum below interp_threshold/32 of the averaging
// step's. Returns the mode word: bit 10 for the finest level, bit 0 for the
// coarsest, set where the interpolating step was taken. Afterwards X[0]
// holds the overall average and X[g/2 + j*g] the details of span g.
int forward_transform(int16_t X[kFrameSamples], int interp_threshold);

// Undoes forward_transform for the given mode word. Exact for transforms of
// non-negative input (the encoder's scaled signal always is). Values are
// kept within +-2^24 after every level, so garbage in cannot overflow.
void inverse_transform(int32_t X[kFrameSamples], int mode_word);
