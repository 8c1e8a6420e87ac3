#include "live/live_capture.h"

#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/messages.h"
#include "codec/stream_rate.h"
#include "codec/codec_state.h"
#include "codec/encoder.h"
#include "codec/set_rate.h"
#include "codec/super_block.h"
#include "media/program_sink.h"
#include "live/live_fallback.h"
#include "live/live_ring.h"
#include "wire/packet.h"

namespace {

constexpr int kRetrySeconds = 2;
// A front end that answers message boxes at once would otherwise spin
// through hundreds of attempts (and messages) in the 2 seconds.
constexpr long kRetryPauseNs = 100L * 1000 * 1000;
constexpr int kLevelStride = 32;
constexpr int kSilence = 128;

int recorded_length(const StreamRate& s, int rate, int buffer) {
    if (rate == s.SamplingRate) return kFrameSamples;
    return buffer < CAPTURE_FIRST_LONG_BUFFER ? CAPTURE_DEVICE_SHORT : CAPTURE_DEVICE_LONG;
}

// Steps 2 to 7: one attempt. Returns 1 when recording runs.
int try_open_capture(Services& services, LiveCapture& cap) {
    const StreamRate& s = *cap.stream;
    Host& host = *services.host;
    int rate = s.AudioSample11025 ? s.device_rate : s.SamplingRate;
    CaptureAnswer answer = host.capture_query(rate);
    if (answer == CaptureAnswer::bad_format && rate == s.SamplingRate && s.device_rate != rate) {
        rate = s.device_rate;  // the card records at its own rate; the pump decimates
        answer = host.capture_query(rate);
    }
    cap.rate = rate;
    if (answer != CaptureAnswer::ok) {
        show_message(services, false, Icon::warning, "%s", load_text(services, 3002));
        return 0;
    }
    char error[256];
    answer = host.capture_open(rate, error, sizeof error);
    if (answer != CaptureAnswer::ok) {
        show_captioned_message(services, load_text(services, 3003), false, Icon::warning,
                               "%s", error);
        return 0;
    }
    cap.program_channels = std::clamp(host.capture_program_channels(), 0, 2);
    cap.buffers.reset(new (std::nothrow) uint8_t[CAPTURE_BUFFERS * CAPTURE_BUFFER_BYTES]);
    if (!cap.buffers) {
        host.capture_close();
        return 0;
    }
    memset(cap.buffers.get(), kSilence, CAPTURE_BUFFERS * CAPTURE_BUFFER_BYTES);
    for (int i = 0; i < CAPTURE_BUFFERS; ++i) {
        cap.lengths[i] = recorded_length(s, rate, i);
        host.capture_add_buffer(i, cap.buffers.get() + i * CAPTURE_BUFFER_BYTES, cap.lengths[i]);
    }
    cap.stopping = false;
    host.capture_start();
    cap.open = true;
    return 1;
}

// Step 3: the buffer as a block of 2048 samples at the sampling rate.
void convert_buffer(const StreamRate& s, LiveCapture& cap, const uint8_t* data, int recorded,
                    int capture_rate) {
    if (capture_rate == s.SamplingRate) {
        memcpy(cap.block, data, static_cast<size_t>(std::min(recorded, kFrameSamples)));
    } else if (capture_rate == s.device_rate) {
        // Dropping decimation, no filter: keep 8 of every 11 samples and drop
        // one more every 580, so 2822.4 samples make 2048 (and one over).
        int kept = 0;
        for (int i = 0; i < recorded && kept < kFrameSamples; ++i) {
            if (((i % 11) & 3) == 2 || i % 580 == 579) continue;
            cap.block[kept++] = data[i];
        }
    }
    // Any other rate leaves the block as it was.
}

int block_peak(const uint8_t* block) {
    int peak = 0;
    for (int j = 0; j < kFrameSamples; j += kLevelStride) peak = std::max(peak, std::abs(block[j] - kSilence));
    return peak;
}

// Puts one encoded frame after the host-order header of a ring buffer;
// only the header's length is the pump's to fill.
void put_frame(uint8_t* buffer, const uint8_t* frame, int length) {
    length = std::min(length, MAX_LIVE_FRAME);
    PacketHeader header;
    memcpy(&header, buffer, sizeof header);
    header.length = static_cast<uint16_t>(length);
    memcpy(buffer, &header, sizeof header);
    memcpy(buffer + PACKET_HEADER_SIZE, frame, static_cast<size_t>(length));
}

// Steps 6.1 to 6.5: packet `slot` of the bank being encoded into the ring.
void encode_packet(Services& services, LiveCapture& cap, LiveRing& ring, CodecState& codec,
                   int slot) {
    const StreamRate& s = *cap.stream;
    LiveRingEntry& entry = ring.entries[ring.write_index];
    const uint8_t* samples = cap.banks[cap.encode_bank][slot];

    set_rate(codec, s.SamplingRate, s.TransferRate);
    put_frame(entry.main, cap.frame, encode_frame(codec, samples, cap.frame));
    if (s.TransferRate < COMPANION_RATE_LIMIT) {
        set_rate(codec, s.SamplingRate, std::min(2 * s.TransferRate, COMPANION_RATE_LIMIT));
        put_frame(entry.companion, cap.frame, encode_frame(codec, samples, cap.frame));
        set_rate(codec, s.SamplingRate, s.TransferRate);
    } else {
        memcpy(entry.companion, entry.main, LIVE_BUFFER_SIZE);
    }
    services.host->invalidate(false);  // the level and queue strip of the panel

    ring.write_index = (ring.write_index + 1) % LIVE_RING_SIZE;
    if (ring.feed_mode == FeedMode::live_priming && ring.write_index >= LIVE_PRIMED_ENTRIES) {
        // Entries 0 to 7 came from the bank no block of this broadcast has
        // filled yet: the sender starts 16 entries behind the pump, at 8.
        ring.read_index = LIVE_FIRST_SENT_ENTRY;
        ring.feed_mode = FeedMode::live_primed;
    }
}

void next_slot(LiveCapture& cap) {
    if (++cap.slot < LIVE_BANK_PACKETS) return;
    std::swap(cap.write_bank, cap.encode_bank);
    cap.slot = 0;
}


}  // namespace

int open_capture(Services& services, LiveCapture& capture) {
    int64_t entry_time = services.host->time_now();
    if (capture.open) return 1;
    for (;;) {
        if (try_open_capture(services, capture)) return 1;
        if (services.host->time_now() - entry_time >= kRetrySeconds) return 0;
        timespec pause{0, kRetryPauseNs};
        nanosleep(&pause, nullptr);
    }
}

void close_capture(Services& services, LiveCapture& cap) {
    if (!cap.open) return;
    cap.stopping = true;
    services.host->capture_reset();
    services.host->capture_close();
    cap.buffers.reset();
    cap.open = false;
    cap.peak_level = 0;
}

void pump_block(Services& services, LiveCapture& cap, LiveRing& ring, CodecState& codec,
                ProgramSinks& outputs, uint32_t packets_sent, const uint8_t* data,
                uint16_t recorded, int channels, int capture_rate, int byte_rate,
                int bytes_per_sample, const ProgramAudio* program) {
    (void)channels, (void)byte_rate, (void)bytes_per_sample;  // always 8-bit mono
    const StreamRate& s = *cap.stream;
    const bool timed = packets_sent < LIVE_BANK_PACKETS;
    if (timed) cap.cpu_check_start = services.host->time_ms();
    if (ring.feed_mode == FeedMode::script || !ring.entries) return;

    convert_buffer(s, cap, data, recorded, capture_rate);
    cap.peak_level = block_peak(cap.block);
    // The super-block being written starts at this entry of the ring.
    const int cue_entry = (ring.write_index + LIVE_BANK_PACKETS - cap.slot) % LIVE_RING_SIZE;
    const bool fallback = cap.fallback && fallback_takes_block(services, *cap.fallback, cap.block,
                                                               program, s.SamplingRate, ring,
                                                               cue_entry);
    if (!fallback && program && program->frames > 0) {
        outputs.program_audio(*program);
    } else if (fallback || cap.program_channels == 0) {
        for (int i = 0; i < kFrameSamples; ++i)
            cap.wide[i] = static_cast<int16_t>((cap.block[i] - 128) * 256);
        outputs.program_audio({cap.wide, kFrameSamples, 1, s.SamplingRate});
    }
    for (int k = 0; k < LIVE_BANK_PACKETS; ++k)
        memcpy(cap.banks[cap.write_bank][k] + kChunkSamples * cap.slot, cap.block + kChunkSamples * k, kChunkSamples);

    if (!(feed_stopping(ring.feed_mode) && cap.slot == 0)) {
        encode_packet(services, cap, ring, codec, cap.slot);
        next_slot(cap);
    }
    if (feed_stopping(ring.feed_mode) && cap.slot == 0) {
        // The stop's cycle is complete: recording ends, and the cycle goes
        // into the ring at once for the sender to drain.
        close_capture(services, cap);
        for (int k = 0; k < LIVE_BANK_PACKETS; ++k) encode_packet(services, cap, ring, codec, k);
        cap.slot = 0;
    }

    if (timed) {
        uint32_t elapsed = services.host->time_ms() - cap.cpu_check_start;
        uint32_t block_ms = static_cast<uint32_t>(2048000 / std::max(s.SamplingRate, 1));
        if (cap.cpu_check_armed && elapsed > block_ms) {
            if (cap.stop_broadcast) cap.stop_broadcast(services);
            cap.cpu_check_armed = false;
            show_captioned_message(services, "CPU overload", true, Buttons::ok,
                                   "Your CPU is not fast enough!  Broadcasting is stopped.");
            cap.cpu_check_armed = true;
        }
    }
    int lead = (ring.write_index - ring.read_index + LIVE_RING_SIZE) % LIVE_RING_SIZE;
    if (lead != 16)
        debug_trace(services, "Queue %d - %d ( %d )\n", ring.write_index, ring.read_index, lead);
}

void on_capture_buffer(Services& services, LiveCapture& cap, LiveRing& ring, CodecState& codec,
                       ProgramSinks& outputs, uint32_t packets_sent, int buffer_id, int recorded,
                       const ProgramAudio* program) {
    if (cap.open && !cap.stopping && buffer_id >= 0 && buffer_id < CAPTURE_BUFFERS) {
        uint8_t* data = cap.buffers.get() + buffer_id * CAPTURE_BUFFER_BYTES;
        recorded = std::clamp(recorded, 0, cap.lengths[buffer_id]);
        pump_block(services, cap, ring, codec, outputs, packets_sent, data,
                   static_cast<uint16_t>(recorded), 1, cap.rate, cap.rate, 1, program);
        // The pump may have closed capture at the end of a stop.
        if (cap.open) services.host->capture_add_buffer(buffer_id, data, cap.lengths[buffer_id]);
    }
    // Returning buffers post their tick too: after a stop they drain the ring.
    services.host->post_live_tick();
}
