#pragma once
// The rates of the stream: the keys SamplingRate, TransferRate and
// AudioSample11025, and the sound card's rate that follows from the
// sampling rate. set_stream_rate is the one place that writes the two
// rates: it keeps the card's rate and the codec's rate percentage in step.

struct CodecState;

struct StreamRate {
    int SamplingRate = 16000;
    int device_rate = 22050;   // the sound card's rate for SamplingRate
    int TransferRate = 2000;   // bytes per second of the main stream
    int AudioSample11025 = 0;  // record at the card's rate and decimate
};

// Writes both rates and the card's rate, and puts their percentage in the
// codec (set_rate).
void set_stream_rate(StreamRate& rate, CodecState& codec, int sampling_rate, int transfer_rate);

// The rate percentage these rates give (set_rate): the one songs are
// compressed at and scripts made now are written with.
int stream_rate_percent(const StreamRate& rate);
