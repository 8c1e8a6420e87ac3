#include "listener/jitter_buffer.h"

#include <cstring>

#include "codec/decoder.h"
#include "codec/edge_smoothing.h"
#include "codec/super_block.h"
#include "wire/packet.h"

namespace {

uint32_t block_of(uint32_t seq) { return seq / kFramesPerSuperBlock * kFramesPerSuperBlock; }

// Appends a decoded super-block, its chunk edges smoothed together with the
// chunk held back from the block before; the block's last chunk is held.
int emit_block(JitterBuffer& jb, const uint8_t* block, const float frame_steps[kFramesPerSuperBlock],
               std::vector<uint8_t>& out) {
    if (!jb.smoothing) {
        out.insert(out.end(), block, block + kSuperBlockSamples);
        return kSuperBlockSamples;
    }
    std::vector<uint8_t> samples = jb.held;
    std::vector<float> steps;
    if (!jb.held.empty()) steps.push_back(jb.held_step);
    samples.insert(samples.end(), block, block + kSuperBlockSamples);
    for (int c = 0; c < kSuperBlockSamples / kChunkSamples; ++c)
        steps.push_back(frame_steps[c % kFramesPerSuperBlock]);
    smooth_chunk_edges(samples.data(), samples.size(), steps.data());
    const size_t ready = samples.size() - kChunkSamples;
    out.insert(out.end(), samples.begin(), samples.begin() + long(ready));
    jb.held.assign(samples.begin() + long(ready), samples.end());
    jb.held_step = steps.back();
    return static_cast<int>(ready);
}

bool complete(const JitterBuffer& jb, uint32_t base) {
    for (uint32_t n = 0; n < kFramesPerSuperBlock; ++n)
        if (!jb.frames.count(base + n)) return false;
    return true;
}

}  // namespace

JitterStore jitter_store(JitterBuffer& jb, uint32_t seq, const uint8_t* frame, int length,
                         uint32_t now_ms, std::vector<uint8_t>& out) {
    if (length <= 0 || length > MAX_FILE_FRAME) return kJitterStray;
    if (!jb.started) {
        jb.started = true;
        jb.first_base = jb.next_base = block_of(seq + kFramesPerSuperBlock - 1);
        jb.highest = seq;
        jb.have_stray = false;
    }
    const uint32_t lowest = jb.next_base > kJitterLongestGap ? jb.next_base - kJitterLongestGap : 0;
    if (seq > jb.highest + kJitterLongestJump || seq < lowest) {
        if (jb.have_stray && seq > jb.stray_seq && seq - jb.stray_seq <= 2 * kFramesPerSuperBlock) {
            jitter_restart(jb, out);
            ++jb.restarts;
            jitter_store(jb, seq, frame, length, now_ms, out);
            return kJitterRestarted;
        }
        jb.have_stray = true;
        jb.stray_seq = seq;
        return kJitterStray;
    }
    jb.have_stray = false;
    if (seq < jb.first_base) {  // the block we joined inside: never played
        if (seq > jb.highest) jb.highest = seq;
        return kJitterLate;
    }
    if (seq < jb.next_base) {
        ++jb.late;
        jb.asked.erase(seq);
        return kJitterLate;
    }
    if (jb.frames.count(seq)) return kJitterDuplicate;
    if (jb.asked.erase(seq)) ++jb.recovered;
    if (seq > jb.highest) {
        for (uint32_t s = jb.highest + 1; s < seq; ++s)
            if (seq - s <= kStationResendStore && s >= jb.next_base) jb.asked[s] = {now_ms, 0};
        jb.gaps += static_cast<int>(seq - jb.highest - 1);
        jb.highest = seq;
    }
    jb.frames[seq].assign(frame, frame + length);
    return kJitterStored;
}

std::vector<uint32_t> jitter_resends_due(JitterBuffer& jb, uint32_t now_ms, uint32_t again_ms,
                                         size_t most) {
    std::vector<uint32_t> due;
    for (auto it = jb.asked.begin(); it != jb.asked.end();) {
        const uint32_t seq = it->first;
        JitterBuffer::Ask& ask = it->second;
        if (seq < jb.next_base || jb.highest - seq >= kStationResendStore || jb.frames.count(seq)) {
            it = jb.asked.erase(it);
            continue;
        }
        if (due.size() < most &&
            (ask.sent == 0 || (ask.sent == 1 && now_ms - ask.first_ms >= again_ms))) {
            ++ask.sent;
            due.push_back(seq);
        }
        ++it;
    }
    return due;
}

int jitter_decode_next(JitterBuffer& jb, bool due, std::vector<uint8_t>& out) {
    if (!jb.started || jb.highest < jb.next_base) return 0;
    if (!complete(jb, jb.next_base)) {
        if (!due || jb.highest < jb.next_base + kFramesPerSuperBlock - 1) return 0;
        // Nothing at all came of this block and of many after it: the
        // stream jumped, skip to where it goes on.
        auto first = jb.frames.lower_bound(jb.next_base);
        if (first != jb.frames.end() &&
            block_of(first->first) - jb.next_base > kLongestSilentHole * kFramesPerSuperBlock) {
            jb.next_base = block_of(first->first);
            return jitter_decode_next(jb, due, out);
        }
    }
    uint8_t frames[kFramesPerSuperBlock][kFrameSamples];
    uint8_t block[kSuperBlockSamples];
    float steps[kFramesPerSuperBlock] = {};
    for (uint32_t n = 0; n < kFramesPerSuperBlock; ++n) {
        auto it = jb.frames.find(jb.next_base + n);
        if (it == jb.frames.end()) {
            ++jb.lost;
            memset(frames[n], 128, kFrameSamples);
            continue;
        }
        const int length = static_cast<int>(it->second.size());
        if (decode_frame(it->second.data(), length, frames[n]))
            steps[n] = frame_sample_step(it->second.data(), length);
        jb.frames.erase(it);
    }
    deinterleave_super_block(frames, block);
    jb.next_base += kFramesPerSuperBlock;
    jb.asked.erase(jb.asked.begin(), jb.asked.lower_bound(jb.next_base));
    return emit_block(jb, block, steps, out);
}

int jitter_pending_frames(const JitterBuffer& jb) {
    if (!jb.started || jb.highest < jb.next_base) return 0;
    return static_cast<int>(jb.highest + 1 - jb.next_base);
}

void jitter_finish(JitterBuffer& jb, std::vector<uint8_t>& out) {
    while (jitter_decode_next(jb, true, out) > 0) {
    }
    out.insert(out.end(), jb.held.begin(), jb.held.end());
    jb.held.clear();
}

void jitter_restart(JitterBuffer& jb, std::vector<uint8_t>& out) {
    jitter_finish(jb, out);
    jb.frames.clear();
    jb.asked.clear();
    jb.started = false;
    jb.have_stray = false;
}
