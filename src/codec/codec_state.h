#pragma once
// The codec-wide values, one instance per process (held by the Context).

enum CodingMode { CODING_PLAIN = 0, CODING_RUN_LENGTH = 1 };

struct CodecState {
    int rate_percent = 32;      // frame budget as a percentage of the raw 2048-byte frame
    int interp_threshold = 16;  // in 32nds; how much better the interpolating step must be
    int coding_mode = CODING_PLAIN;
};
