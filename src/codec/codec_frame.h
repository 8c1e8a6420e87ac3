#pragma once
// The codec frame: 2048 unsigned 8-bit mono samples (128 = silence) coded as
// a 5-byte header and a coefficient stream. Listener programs decode these
// bytes, so every field and every integer step here is fixed.
//
// | Byte | Bits | Field                                                        |
// |------|------|--------------------------------------------------------------|
// | 0    | 0-6  | gain k, 1..63 (0 is read as 1)                               |
// | 0    | 7    | coefficient coding: 0 plain, 1 run-length                    |
// | 1    | 0-7  | low eight bits of the quantiser base W                       |
// | 2    | 0-6  | step ratio R in percent (always 75 when we write)            |
// | 2    | 7    | W is 256 or more: W = byte 1 + 256                           |
// | 3-4  | 16   | transform mode word, little-endian: bit 0 the coarsest level |
// |      |      | (span 2048) .. bit 10 the finest (span 2); a set bit means   |
// |      |      | the interpolating step; bits 11-15 zero                      |
// | 5..  |      | coefficient stream (coefficient_coder.h)                     |
//
// Coefficient order: position 0 holds the DC value; the detail values follow
// level by level from the coarsest (span 2048) to the finest (span 2). The
// level of span s holds 2048/s values at positions 2048/s .. 4096/s - 1, its
// value for transform position s/2 + j*s sitting at 4096/s - 1 - j (reversed).

#include <cstdint>

constexpr int kFrameSamples = 2048;
constexpr int kFrameHeaderBytes = 5;
constexpr int kMaxCoefficientBytes = 6145;  // 2048 escapes of 24 bits and the closing byte
constexpr int kMaxFrameBytes = kFrameHeaderBytes + kMaxCoefficientBytes;
constexpr int kTransformLevels = 11;
constexpr int kStepRatio = 75;         // percent from one level's step to the next coarser
constexpr int kDcStepIndex = 11;       // the DC uses the step after the coarsest level's
constexpr int kStepTableSize = 16;
constexpr int kSignalMidpoint = 512;   // the scaled signal is centred here

// The quantiser step of each level and its rounding offset: steps[c] serves
// the level of span 2^(c+1), steps[kDcStepIndex] the DC.
struct StepTables {
    int steps[kStepTableSize];
    int offsets[kStepTableSize];
};

// Each step is `ratio` percent of the one before (rounded), never below 1,
// and 1 once it stops shrinking; the offset is 4/9 of the step (rounded).
void make_step_tables(int base, int ratio, StepTables& tables);

// Stream position of the detail value at transform position s/2 + j*s of
// the level with span s.
inline int coefficient_position(int span, int j) { return 2 * kFrameSamples / span - 1 - j; }
