#include "codec/super_block.h"

#include <cstring>

void interleave_super_block(const uint8_t block[kSuperBlockSamples],
                            uint8_t frames[kFramesPerSuperBlock][kFrameSamples]) {
    for (int chunk = 0; chunk < kSuperBlockSamples / kChunkSamples; ++chunk)
        std::memcpy(&frames[chunk % kFramesPerSuperBlock][chunk / kFramesPerSuperBlock * kChunkSamples],
                    &block[chunk * kChunkSamples], kChunkSamples);
}

void deinterleave_super_block(const uint8_t frames[kFramesPerSuperBlock][kFrameSamples],
                              uint8_t block[kSuperBlockSamples]) {
    for (int chunk = 0; chunk < kSuperBlockSamples / kChunkSamples; ++chunk)
        std::memcpy(&block[chunk * kChunkSamples],
                    &frames[chunk % kFramesPerSuperBlock][chunk / kFramesPerSuperBlock * kChunkSamples],
                    kChunkSamples);
}
