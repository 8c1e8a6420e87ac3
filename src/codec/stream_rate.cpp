#include "codec/stream_rate.h"

#include "codec/codec_state.h"
#include "codec/set_rate.h"

void set_stream_rate(StreamRate& rate, CodecState& codec, int sampling_rate, int transfer_rate) {
    rate.SamplingRate = sampling_rate;
    rate.device_rate = device_rate_of(sampling_rate);
    rate.TransferRate = transfer_rate;
    set_rate(codec, sampling_rate, transfer_rate);
}

int stream_rate_percent(const StreamRate& rate) {
    CodecState probe;
    set_rate(probe, rate.SamplingRate, rate.TransferRate);
    return probe.rate_percent;
}
