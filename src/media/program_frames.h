#pragma once
// The script's program back as samples, for the outputs that re-encode it:
// collects the eight codec frames of a super-block (by seq) and gives back
// its 16384 samples in time order with the chunk edges smoothed, as a
// listener hears them. A frame that never came, or does not decode, is
// silence: an output keeps getting audio.

#include <cstdint>
#include <functional>

#include "codec/codec_frame.h"
#include "codec/super_block.h"

class ProgramFrameDecoder {
public:
    // 8-bit samples (128 = silence) at the sampling rate.
    using Output = std::function<void(const uint8_t* samples, int count)>;
    // One frame as sent with `seq`; a frame of the next super-block ends
    // one that lost frames.
    void add(uint32_t seq, const uint8_t* frame, int length, const Output& out);
    // Forgets the frames of an unfinished super-block.
    void reset() { present_ = 0; }

private:
    void finish(const Output& out);
    uint32_t base_ = 0;
    int present_ = 0;  // bit n: frame base_ + n decoded
    uint8_t frames_[kFramesPerSuperBlock][kFrameSamples];
    float steps_[kFramesPerSuperBlock] = {};
    uint8_t block_[kSuperBlockSamples];
};
