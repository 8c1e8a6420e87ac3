#include "media/program_frames.h"

#include <cstring>

#include "codec/decoder.h"
#include "codec/edge_smoothing.h"

void ProgramFrameDecoder::add(uint32_t seq, const uint8_t* frame, int length, const Output& out) {
    const uint32_t base = seq / kFramesPerSuperBlock * kFramesPerSuperBlock;
    if (present_ && base != base_) finish(out);
    base_ = base;
    const int n = static_cast<int>(seq - base);
    if (decode_frame(frame, length, frames_[n])) {
        steps_[n] = frame_sample_step(frame, length);
    } else {
        memset(frames_[n], 128, kFrameSamples);
        steps_[n] = 0;
    }
    present_ |= 1 << n;
    if (present_ == 0xFF) finish(out);
}

void ProgramFrameDecoder::finish(const Output& out) {
    for (int n = 0; n < kFramesPerSuperBlock; ++n)
        if (!(present_ & 1 << n)) {
            memset(frames_[n], 128, kFrameSamples);
            steps_[n] = 0;
        }
    deinterleave_super_block(frames_, block_);
    float chunk_steps[kSuperBlockSamples / kChunkSamples];
    for (int c = 0; c < kSuperBlockSamples / kChunkSamples; ++c)
        chunk_steps[c] = steps_[c % kFramesPerSuperBlock];
    smooth_chunk_edges(block_, kSuperBlockSamples, chunk_steps);
    present_ = 0;
    out(block_, kSuperBlockSamples);
}
