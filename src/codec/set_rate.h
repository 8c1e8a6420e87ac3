#pragma once
// The station's rates: the sampling rates it runs at, the sound card's rate
// for each, and the frame budget derived from them.

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

// The sampling rates a station runs at (Hz).
constexpr int STATION_RATES[] = {8000, 11025, 16000, 22050, 32000, 44100};
bool is_station_rate(int rate);

// The rate the sound card records and plays at for a sampling rate: the
// 11025 family (11025, 22050, 44100) as it is, 8000, 16000 and 32000 one
// step up into it (11025, 22050, 44100); 11025 for any other rate.
int device_rate_of(int sampling_rate);

// The connection a listener needs for this many bytes per second: "LAN",
// "ISDN", "28.8k" or "14.4".
const char* connection_class(int bytes_per_second);
