// The live pump with synthetic capture buffers, and the opening and closing
// of capture through a recording device the test plays.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>
#include <vector>

#include "app/context.h"
#include "app/program.h"
#include "app/controller.h"
#include "codec/encoder.h"
#include "codec/set_rate.h"
#include "codec/super_block.h"
#include "live/live_capture.h"
#include "wire/packet.h"
#include "support/fake_host.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A recording device that refuses the rates it is told to, and a
// millisecond clock that moves on by `ms_per_read` at each reading.
class DeviceHost : public FakeHost {
public:
    std::set<int> refused_rates;
    CaptureAnswer open_answer = CaptureAnswer::ok;
    std::vector<int> opened_rates;
    std::vector<std::pair<int, int>> queued;  // (buffer, length) in order
    int starts = 0, resets = 0, closes = 0;
    uint32_t ms_per_read = 0;
    std::function<void()> inside_box;

    CaptureAnswer capture_query(int rate) override {
        return refused_rates.count(rate) ? CaptureAnswer::bad_format : CaptureAnswer::ok;
    }
    CaptureAnswer capture_open(int rate, char* error_text, int size) override {
        opened_rates.push_back(rate);
        snprintf(error_text, static_cast<size_t>(size), "device busy");
        return open_answer;
    }
    void capture_add_buffer(int id, uint8_t*, int length) override { queued.push_back({id, length}); }
    void capture_start() override { ++starts; }
    void capture_reset() override { ++resets; }
    void capture_close() override { ++closes; }
    uint32_t time_ms() override { return clock_ms += ms_per_read; }
    Answer message_box(const char* text, const char* caption, BoxStyle style, bool owned) override {
        ++now;  // a second for the operator to read it
        if (inside_box) inside_box();
        return FakeHost::message_box(text, caption, style, owned);
    }
};

struct LiveCaptureTest : ::testing::Test {
    DeviceHost host;
    std::unique_ptr<Context> ctx = make_context(host);

    void SetUp() override {
        ASSERT_EQ(allocate_live_ring(ctx->live_ring), 1);
        StationState& s = ctx->state;
        s.SamplingRate = 16000;
        s.device_rate = 22050;
        s.TransferRate = 2000;
        ctx->live_ring.feed_mode = FeedMode::live_priming;
        ctx->sender.packet_counter = 100;  // past the CPU check unless a test wants it
    }

    // Block `b` of a test: a sawtooth whose slope tells the blocks apart.
    static Bytes block(int b) {
        Bytes samples(kFrameSamples);
        for (int i = 0; i < kFrameSamples; ++i) samples[i] = static_cast<uint8_t>(i * (b + 1) + b);
        return samples;
    }

    void pump(const Bytes& samples, int rate = 16000) {
        pump_block(*ctx, ctx->capture, ctx->live_ring, ctx->codec, ctx->outputs,
                   ctx->sender.packet_counter, samples.data(),
                   static_cast<uint16_t>(samples.size()), 1, rate, rate, 1);
    }

    // What encode_frame makes of these samples at this transfer rate.
    Bytes encoded(const uint8_t* samples, int transfer_rate) {
        CodecState codec = ctx->codec;
        set_rate(codec, ctx->state.SamplingRate, transfer_rate);
        Bytes out(kMaxFrameBytes);
        out.resize(static_cast<size_t>(encode_frame(codec, samples, out.data())));
        return out;
    }

    Bytes ring_frame(int entry, bool companion = false) {
        const LiveRingEntry& e = ctx->live_ring.entries[entry];
        const uint8_t* buffer = companion ? e.companion : e.main;
        PacketHeader header;
        memcpy(&header, buffer, sizeof header);
        return Bytes(buffer + PACKET_HEADER_SIZE, buffer + PACKET_HEADER_SIZE + header.length);
    }

    // The eight frames of the super-block of blocks first .. first+7.
    static std::vector<Bytes> frames_of_cycle(int first) {
        static uint8_t super_block[kSuperBlockSamples];
        for (int b = 0; b < 8; ++b) memcpy(super_block + b * kFrameSamples, block(first + b).data(), kFrameSamples);
        static uint8_t frames[kFramesPerSuperBlock][kFrameSamples];
        interleave_super_block(super_block, frames);
        std::vector<Bytes> result;
        for (auto& f : frames) result.emplace_back(f, f + kFrameSamples);
        return result;
    }
};

TEST_F(LiveCaptureTest, device_rate_buffers_keep_8_of_11_samples_and_drop_the_2049th) {
    for (int length : {CAPTURE_DEVICE_SHORT, CAPTURE_DEVICE_LONG}) {
        Bytes buffer(static_cast<size_t>(length));
        for (int i = 0; i < length; ++i) buffer[i] = static_cast<uint8_t>(i * 7);
        buffer[2821] = 0xEE;  // the 2049th kept sample
        pump(buffer, 22050);
        const uint8_t* b = ctx->capture.block;
        // 2, 6 and 10 of every 11 go, and 579 of every 580.
        const int first_kept[] = {0, 1, 3, 4, 5, 7, 8, 9, 11, 12};
        for (int j = 0; j < 10; ++j) EXPECT_EQ(b[j], buffer[first_kept[j]]) << j;
        std::vector<int> kept;
        for (int i = 0; i < length; ++i)
            if (((i % 11) & 3) != 2 && i % 580 != 579) kept.push_back(i);
        ASSERT_EQ(kept.size(), 2049u) << length;
        for (int j = 0; j < kFrameSamples; ++j) ASSERT_EQ(b[j], buffer[kept[j]]) << j;
        EXPECT_EQ(kept[420] + 3, kept[421]);  // 578 (8 of 11) and 579 (8 of 11 would keep it) is gone
        EXPECT_EQ(b[kFrameSamples - 1], buffer[2820]);
    }
    // Same rate: the bytes are the block; any other rate leaves it alone.
    Bytes same = block(3);
    pump(same);
    EXPECT_EQ(Bytes(ctx->capture.block, ctx->capture.block + kFrameSamples), same);
    pump(block(5), 44100);
    EXPECT_EQ(Bytes(ctx->capture.block, ctx->capture.block + kFrameSamples), same);
}

TEST_F(LiveCaptureTest, a_cycle_of_eight_blocks_is_encoded_as_the_frames_of_its_super_block) {
    for (int b = 0; b < 16; ++b) pump(block(b));
    // Block k of a cycle went to slice k of every packet, in super-block layout.
    std::vector<Bytes> frames = frames_of_cycle(8);
    LiveCapture& cap = ctx->capture;
    for (int k = 0; k < 8; ++k)
        EXPECT_EQ(Bytes(cap.banks[cap.encode_bank][k], cap.banks[cap.encode_bank][k] + kFrameSamples),
                  frames[k]) << k;
    // The first cycle was encoded during the second, one packet per block.
    frames = frames_of_cycle(0);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(ring_frame(8 + k), encoded(frames[k].data(), 2000)) << k;
    // The level: the largest distance from 128 among every 32nd sample of the last block.
    int peak = 0;
    for (int j = 0; j < kFrameSamples; j += 32) peak = std::max(peak, std::abs(block(15)[j] - 128));
    EXPECT_EQ(cap.peak_level, peak);
}

TEST_F(LiveCaptureTest, the_sender_is_set_to_entry_8_when_the_write_index_reaches_24) {
    for (int b = 0; b < 23; ++b) pump(block(b));
    EXPECT_EQ(ctx->live_ring.feed_mode, FeedMode::live_priming);
    EXPECT_EQ(ctx->live_ring.write_index, 23);
    EXPECT_EQ(ctx->live_ring.read_index, 0);
    pump(block(23));
    EXPECT_EQ(ctx->live_ring.feed_mode, FeedMode::live_primed);
    EXPECT_EQ(ctx->live_ring.read_index, 8);
    EXPECT_EQ(ctx->live_ring.write_index, 24);
    // Entry 8 is the first block's cycle.
    EXPECT_EQ(ring_frame(8), encoded(frames_of_cycle(0)[0].data(), 2000));
    // A script feed pumps nothing.
    ctx->live_ring.feed_mode = FeedMode::script;
    pump(block(24));
    EXPECT_EQ(ctx->live_ring.write_index, 24);
}

TEST_F(LiveCaptureTest, a_stop_mid_cycle_records_to_the_end_of_the_cycle_and_encodes_it_whole) {
    ASSERT_EQ(open_capture(*ctx, ctx->capture), 1);
    ASSERT_EQ(host.queued.size(), 60u);
    // Full buffers come back through the front end, in the order queued.
    auto deliver = [&](int b) {
        int id = host.queued.front().first;
        host.queued.erase(host.queued.begin());
        if (ctx->capture.buffers)  // freed once capture has closed
            memcpy(ctx->capture.buffers.get() + id * CAPTURE_BUFFER_BYTES, block(b).data(), kFrameSamples);
        on_capture_buffer(*ctx, id, kFrameSamples);
    };
    for (int b = 0; b < 27; ++b) deliver(b);  // three blocks into the fourth cycle
    EXPECT_EQ(host.live_ticks_posted, 27);
    EXPECT_EQ(host.queued.size(), 60u);  // each buffer went back to the device
    ctx->live_ring.feed_mode = FeedMode::live_stopping;
    for (int b = 27; b < 31; ++b) deliver(b);
    EXPECT_TRUE(ctx->capture.open);
    EXPECT_EQ(ctx->live_ring.write_index, 31);
    deliver(31);  // the cycle's eighth block
    EXPECT_FALSE(ctx->capture.open);
    EXPECT_EQ(host.resets, 1);
    EXPECT_EQ(host.closes, 1);
    EXPECT_EQ(ctx->capture.peak_level, 0);
    // The last packet of the previous cycle, then the whole stop cycle.
    ASSERT_EQ(ctx->live_ring.write_index, 40);
    std::vector<Bytes> frames = frames_of_cycle(24);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(ring_frame(32 + k), encoded(frames[k].data(), 2000)) << k;
    // Buffers the reset returns are not pumped, but each brings a tick to drain the ring.
    deliver(32);
    EXPECT_EQ(ctx->live_ring.write_index, 40);
    EXPECT_EQ(host.live_ticks_posted, 33);
    EXPECT_EQ(host.queued.size(), 58u);
}

TEST_F(LiveCaptureTest, the_companion_is_encoded_at_7000_below_it_and_copied_from_7000_on) {
    ctx->state.TransferRate = 4000;
    for (int b = 0; b < 9; ++b) pump(block(b));
    std::vector<Bytes> frames = frames_of_cycle(0);
    EXPECT_EQ(ring_frame(8, true), encoded(frames[0].data(), 7000));
    EXPECT_EQ(ring_frame(8), encoded(frames[0].data(), 4000));
    EXPECT_NE(ring_frame(8, true), ring_frame(8));
    CodecState expected;
    set_rate(expected, 16000, 4000);
    EXPECT_EQ(ctx->codec.rate_percent, expected.rate_percent);  // back at the station's rate

    ctx->state.TransferRate = 7000;
    pump(block(9));
    const LiveRingEntry& e = ctx->live_ring.entries[9];
    EXPECT_EQ(memcmp(e.main, e.companion, LIVE_BUFFER_SIZE), 0);
    EXPECT_EQ(ring_frame(9), encoded(frames[1].data(), 7000));
}

TEST_F(LiveCaptureTest, a_slow_block_in_the_first_packets_stops_the_broadcast_once_per_box) {
    ctx->sender.packet_counter = 3;
    host.ms_per_read = 129;  // 16000 Hz: a block plays 128 ms
    int nested_posts = -1;
    host.inside_box = [&] {
        // Blocks pumped while the box is open (a nested message loop) do not fire again.
        pump(block(1));
        nested_posts = static_cast<int>(host.posted_commands.size());
    };
    pump(block(0));
    ASSERT_EQ(host.posted_commands, std::vector<Command>{Command::start_stop});
    EXPECT_EQ(nested_posts, 1);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, "Your CPU is not fast enough!  Broadcasting is stopped.");
    EXPECT_EQ(host.messages[0].caption, "CPU overload");
    EXPECT_TRUE(host.messages[0].owned);
    EXPECT_TRUE(ctx->capture.cpu_check_armed);  // re-armed when the box closed

    host.inside_box = nullptr;
    host.ms_per_read = 128;  // exactly the playing time is not too slow
    pump(block(2));
    EXPECT_EQ(host.posted_commands.size(), 1u);
    ctx->sender.packet_counter = 8;  // only the first 8 packets are timed
    host.ms_per_read = 1000;
    pump(block(3));
    EXPECT_EQ(host.posted_commands.size(), 1u);
    ctx->sender.packet_counter = 7;
    pump(block(4));
    EXPECT_EQ(host.posted_commands.size(), 2u);
}

TEST_F(LiveCaptureTest, a_card_refusing_the_sampling_rate_is_opened_at_the_device_rate) {
    host.refused_rates = {16000};
    ASSERT_EQ(open_capture(*ctx, ctx->capture), 1);
    EXPECT_EQ(host.opened_rates, std::vector<int>{22050});
    EXPECT_EQ(ctx->capture.rate, 22050);
    ASSERT_EQ(host.queued.size(), 60u);
    for (int i = 0; i < 60; ++i) {
        EXPECT_EQ(host.queued[i].first, i);
        EXPECT_EQ(host.queued[i].second, i < 36 ? 2822 : 2823) << i;
    }
    EXPECT_EQ(host.starts, 1);
    EXPECT_TRUE(host.messages.empty());
    // A second open while capture runs touches nothing.
    EXPECT_EQ(open_capture(*ctx, ctx->capture), 1);
    EXPECT_EQ(host.opened_rates.size(), 1u);
    close_capture(*ctx, ctx->capture);
    close_capture(*ctx, ctx->capture);  // nothing to close
    EXPECT_EQ(host.closes, 1);

    // At the sampling rate every buffer records 2048 bytes.
    host.refused_rates.clear();
    host.queued.clear();
    ASSERT_EQ(open_capture(*ctx, ctx->capture), 1);
    EXPECT_EQ(host.opened_rates.back(), 16000);
    for (auto& [id, length] : host.queued) EXPECT_EQ(length, 2048) << id;
    close_capture(*ctx, ctx->capture);

    // AudioSample11025 goes to the device rate at once.
    ctx->state.AudioSample11025 = 1;
    ASSERT_EQ(open_capture(*ctx, ctx->capture), 1);
    EXPECT_EQ(host.opened_rates.back(), 22050);
}

TEST_F(LiveCaptureTest, a_device_that_cannot_open_is_named_in_one_box_per_attempt) {
    host.open_answer = CaptureAnswer::error;
    EXPECT_EQ(open_capture(*ctx, ctx->capture), 0);
    ASSERT_EQ(host.messages.size(), 2u);  // each box takes a second; 2 seconds end the tries
    EXPECT_EQ(host.messages[0].text, "device busy");
    EXPECT_EQ(host.messages[0].caption, "Error Opening Wave Audio Input");
    EXPECT_EQ(host.messages[0].style, Icon::warning);
    EXPECT_FALSE(ctx->capture.open);
    EXPECT_TRUE(host.queued.empty());

    // Both rates refused: the format message.
    host.refused_rates = {16000, 22050};
    host.messages.clear();
    EXPECT_EQ(open_capture(*ctx, ctx->capture), 0);
    ASSERT_EQ(host.messages.size(), 2u);
    EXPECT_EQ(host.messages[0].text, "The audio waveform device can't record in the required format.");
}

}  // namespace
