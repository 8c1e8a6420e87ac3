#pragma once
// Derives the frame budget from the station's rates.

#include "codec/codec_state.h"

// rate_percent = transfer_rate (bytes per second) * 100 / sampling_rate,
// integer division; above 100 it becomes 90. Returns the unclamped
// quotient. A sampling rate of 0 or below leaves rate_percent as it is and
// returns 0.
int set_rate(CodecState& codec, int sampling_rate, int transfer_rate);

// The transfer rate a percentage stands for: the smallest rate that
// set_rate turns back into `percent` (sampling_rate x percent / 100
// rounded up). Truncating instead would lose a percent on the way back at
// rates that are no whole multiple (11 % of 22050 Hz is 2425.5: 2425 comes
// back as 10 %, 2426 as 11 %).
int transfer_rate_for_percent(int sampling_rate, int percent);
