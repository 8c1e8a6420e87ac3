#pragma once
// Live capture and the encoding pump. The sound card (or a stand-in source of
// the front end) records 8-bit mono into 60 buffers; each full buffer comes
// back as a posted event and becomes one block of 2048 samples at the
// station's sampling rate. Eight blocks make a super-block whose eight
// packets are encoded, one per later block, into the LiveRing for the sender.
// The outputs get the device's own 16-bit recording of the same stretch of
// time where it has one (the card's channels and rate), else the block.

#include <cstdint>
#include <memory>

#include "codec/codec_frame.h"
#include "media/program_audio.h"

struct CodecState;
struct LiveFallback;
struct LiveRing;
struct ProgramSinks;
struct Services;

constexpr int CAPTURE_BUFFERS = 60;
constexpr int CAPTURE_BUFFER_BYTES = 4096;
// At the device rate the 60 buffers average 2822.4 samples: 2048 x 11025 / 8000.
constexpr int CAPTURE_DEVICE_SHORT = 2822;      // buffers 0 to 35
constexpr int CAPTURE_DEVICE_LONG = 2823;       // buffers 36 to 59
constexpr int CAPTURE_FIRST_LONG_BUFFER = 36;
constexpr int LIVE_BANK_PACKETS = 8;
// Priming: the sender starts at this entry once the pump has written this many.
constexpr int LIVE_FIRST_SENT_ENTRY = 8;
constexpr int LIVE_PRIMED_ENTRIES = 24;
// The companion is encoded at twice the transfer rate up to this; from here
// on it is an exact copy of the main frame.
constexpr int COMPANION_RATE_LIMIT = 7000;

struct StreamRate;

struct LiveCapture {
    bool open = false;
    bool stopping = false;  // buffers coming back now are neither pumped nor re-queued
    int rate = 16000;       // the capture rate last used (16000 until opened once)
    // Of the 16-bit recording the device hands with each buffer for the
    // outputs: 1 or 2, or 0 when it hands none (the outputs take the block).
    int program_channels = 0;
    // 60 buffers of 4096 bytes while capture is open, with their recorded lengths.
    std::unique_ptr<uint8_t[]> buffers;
    int lengths[CAPTURE_BUFFERS] = {};

    uint8_t block[kFrameSamples] = {};  // the last block at the sampling rate
    int16_t wide[kFrameSamples] = {};   // the block as the outputs take it
    // Two banks of eight packets: one being written block by block (its slice
    // `slot` of every packet), the other being encoded one packet per block.
    uint8_t banks[2][LIVE_BANK_PACKETS][kFrameSamples] = {};
    int write_bank = 1;
    int encode_bank = 0;
    int slot = 0;

    int peak_level = 0;  // 0..128 of the last block; 0 while capture is closed
    bool cpu_check_armed = true;
    uint32_t cpu_check_start = 0;  // time_ms when the block's work began
    uint8_t frame[kMaxFrameBytes] = {};  // encode_frame's output before it goes to the ring

    // The pump cannot keep up: the program stops the broadcast (set by
    // make_context; a test may put its own function here).
    void (*stop_broadcast)(Services&) = nullptr;
    // The stream's rates, pointed at by the program.
    const StreamRate* stream = nullptr;
    // The fallback script that takes over from a lost or silent capture,
    // pointed at by the program (null: none).
    LiveFallback* fallback = nullptr;
};

// Opens capture at the sampling rate (or the device rate when
// AudioSample11025 is set, or when the device refuses the sampling rate) and
// queues the 60 buffers. A failed attempt shows its message and is tried
// again until 2 seconds of calendar time have passed. Returns 1 when
// recording runs (at once when it already ran), 0 on failure.
int open_capture(Services& services, LiveCapture& capture);
// Stops recording (every queued buffer comes back, still posted), frees the
// buffers and clears the level. Does nothing when capture is not open.
void close_capture(Services& services, LiveCapture& capture);

// One full buffer: `data` holds `recorded` bytes of 8-bit mono at
// `capture_rate`. Turns it into a block, slices it into the bank being
// written and encodes one packet of the other bank into the ring; at the
// end of the cycle after a stop request closes capture and encodes the
// whole last cycle. The outputs get `program`, the device's 16-bit recording
// of the buffer's time, when the device hands one; else the block widened.
// While the fallback plays, its block replaces the converted one (the
// capture is still measured) and the outputs get that block.
// `packets_sent` is the sender's count: the CPU check times the first bank
// only. Allocates nothing.
void pump_block(Services& services, LiveCapture& capture, LiveRing& ring, CodecState& codec,
                ProgramSinks& outputs, uint32_t packets_sent, const uint8_t* data,
                uint16_t recorded, int channels, int capture_rate, int byte_rate,
                int bytes_per_sample, const ProgramAudio* program = nullptr);

// A buffer came back from the device (the front end posts this): unless
// capture is stopping it is pumped and queued again; in every case one live
// tick is posted. `program` is the device's 16-bit recording of the same
// time, if it hands one.
void on_capture_buffer(Services& services, LiveCapture& capture, LiveRing& ring, CodecState& codec,
                       ProgramSinks& outputs, uint32_t packets_sent, int buffer_id, int recorded,
                       const ProgramAudio* program = nullptr);
