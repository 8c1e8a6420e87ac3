#pragma once
// Derives the frame budget from the station's rates.

#include "codec/codec_state.h"

// rate_percent = transfer_rate (bytes per second) * 100 / sampling_rate,
// integer division; above 100 it becomes 90. Returns the unclamped
// quotient. A sampling rate of 0 or below leaves rate_percent as it is and
// returns 0.
int set_rate(CodecState& codec, int sampling_rate, int transfer_rate);
