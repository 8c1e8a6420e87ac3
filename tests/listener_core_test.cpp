// The listener core without sockets: the jitter buffer's order, deadlines
// and resend bookkeeping, the playout's start mark, underruns and
// resampling, and a Listener fed datagrams as a station sends them.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "codec/codec_state.h"
#include "codec/encoder.h"
#include "codec/set_rate.h"
#include "codec/super_block.h"
#include "listener/jitter_buffer.h"
#include "listener/listener.h"
#include "listener/playout.h"
#include "wire/packet.h"
#include "support/audio_measures.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Coded frames of a 1000 Hz tone at `rate`, by seq from 0.
std::vector<Bytes> tone_frames(int blocks, int rate = 16000) {
    CodecState codec;
    set_rate(codec, rate, 4000);
    std::vector<Bytes> frames;
    static uint8_t block[kSuperBlockSamples], split[kFramesPerSuperBlock][kFrameSamples];
    for (int b = 0; b < blocks; ++b) {
        for (int i = 0; i < kSuperBlockSamples; ++i)
            block[i] = uint8_t(128 + std::lround(60 * std::sin(2 * M_PI * 1000.0 * (b * kSuperBlockSamples + i) / rate)));
        interleave_super_block(block, split);
        for (auto& f : split) {
            uint8_t out[kMaxFrameBytes];
            frames.emplace_back(out, out + encode_frame(codec, f, out));
        }
    }
    return frames;
}

struct JitterTest : ::testing::Test {
    std::vector<Bytes> frames = tone_frames(30);
    JitterBuffer jb;
    Bytes out;
    JitterStore store(uint32_t seq, uint32_t now = 0) {
        const Bytes& f = frames[seq % frames.size()];
        return jitter_store(jb, seq, f.data(), int(f.size()), now, out);
    }
    int decode_all(bool due) {
        int blocks = 0;
        while (jitter_decode_next(jb, due, out) > 0) ++blocks;
        return blocks;
    }
};

TEST_F(JitterTest, whole_blocks_decode_at_once_and_a_block_with_a_gap_waits_until_due) {
    jb.smoothing = false;
    for (uint32_t seq = 0; seq < 24; ++seq)
        if (seq != 10) {
            EXPECT_EQ(store(seq), kJitterStored);
        }
    EXPECT_EQ(decode_all(false), 1);  // block 8 waits for seq 10
    EXPECT_EQ(out.size(), size_t(kSuperBlockSamples));
    EXPECT_EQ(jitter_pending_frames(jb), 16);
    EXPECT_EQ(decode_all(true), 2);  // due: 10 is silence
    EXPECT_EQ(jb.lost, 1);
    EXPECT_EQ(store(10), kJitterLate);  // its moment has passed
    EXPECT_EQ(jb.late, 1);
    EXPECT_EQ(store(23), kJitterLate);
    EXPECT_EQ(store(24), kJitterStored);
    EXPECT_EQ(store(24), kJitterDuplicate);
    // Due or not, a block whose last frame's time has not come is left.
    EXPECT_EQ(decode_all(true), 0);
}

TEST_F(JitterTest, the_block_joined_inside_is_left_out_and_the_next_begins_the_stream) {
    jb.smoothing = false;
    for (uint32_t seq = 5; seq < 16; ++seq) store(seq);
    EXPECT_EQ(decode_all(false), 1);
    EXPECT_EQ(jb.gaps, 0);
    EXPECT_EQ(jb.next_base, 16u);
    EXPECT_EQ(jb.late, 0);  // 5..7 were never meant to be played
}

TEST_F(JitterTest, a_gap_is_asked_for_at_once_once_more_after_the_wait_and_then_never) {
    for (uint32_t seq : {0u, 1u, 4u}) store(seq, 1000);
    EXPECT_EQ(jb.gaps, 2);
    EXPECT_EQ(jitter_resends_due(jb, 1000, 750, 100), (std::vector<uint32_t>{2, 3}));
    EXPECT_TRUE(jitter_resends_due(jb, 1700, 750, 100).empty());
    store(2, 1710);
    EXPECT_EQ(jb.recovered, 1);
    EXPECT_EQ(jitter_resends_due(jb, 1750, 750, 100), (std::vector<uint32_t>{3}));
    EXPECT_TRUE(jitter_resends_due(jb, 5000, 750, 100).empty());
    // A gap the station no longer holds is not asked for.
    store(84, 5000);
    for (uint32_t seq : jitter_resends_due(jb, 5000, 750, 100))
        EXPECT_GE(seq, 84u - kStationResendStore);
}

TEST_F(JitterTest, a_stray_seq_is_ignored_and_a_new_counter_is_followed_after_two_of_its_frames) {
    jb.smoothing = false;
    for (uint32_t seq = 5000; seq < 5012; ++seq) store(seq);
    EXPECT_EQ(store(3'000'000'000u), kJitterStray);
    EXPECT_EQ(store(5012), kJitterStored);
    EXPECT_EQ(jb.gaps, 0);
    // The station started again at 0: its old whole block is flushed, the
    // unfinished one left out, then the new counter is followed.
    EXPECT_EQ(store(0), kJitterStray);
    EXPECT_EQ(store(1), kJitterRestarted);
    EXPECT_EQ(out.size(), size_t(kSuperBlockSamples));
    EXPECT_EQ(jb.restarts, 1);
    for (uint32_t seq = 2; seq < 16; ++seq) store(seq);
    EXPECT_EQ(decode_all(false), 1);
    EXPECT_EQ(jb.next_base, 16u);
}

TEST_F(JitterTest, a_short_hole_is_silence_and_a_long_one_is_skipped) {
    jb.smoothing = false;
    for (uint32_t seq = 0; seq < 8; ++seq) store(seq);
    for (uint32_t seq = 24; seq < 32; ++seq) store(seq);  // blocks 8 and 16 never came
    decode_all(true);
    EXPECT_EQ(out.size(), size_t(4 * kSuperBlockSamples));
    EXPECT_EQ(jb.lost, 16);
    // Past the resend store: followed from its second frame on, as a new
    // counter, without silence for the hole.
    const uint32_t far = 32 + kJitterLongestJump + 16;
    for (uint32_t seq = far; seq < far + 16; ++seq) store(seq);
    out.clear();
    decode_all(true);
    EXPECT_EQ(out.size(), size_t(kSuperBlockSamples));
    EXPECT_EQ(jb.lost, 16);
}

TEST_F(JitterTest, smoothing_holds_back_one_chunk_until_the_next_block_or_the_end) {
    for (uint32_t seq = 0; seq < 16; ++seq) store(seq);
    EXPECT_EQ(decode_all(false), 2);
    EXPECT_EQ(out.size(), size_t(2 * kSuperBlockSamples - kChunkSamples));
    jitter_finish(jb, out);
    EXPECT_EQ(out.size(), size_t(2 * kSuperBlockSamples));
    // Smoothed or not, it is the tone.
    EXPECT_GT(audio_measures::tone_level_db(out, 1000, 16000), 30);
}

TEST(Playout, starts_at_the_mark_plays_silence_on_an_underrun_and_refills_to_the_mark) {
    Playout p;
    ASSERT_EQ(playout_open(p, 8000, 8000, 500), 1);
    const Bytes loud(3000, 200);
    std::vector<int16_t> got(1000);
    playout_add(p, loud.data(), loud.size());  // 375 ms
    playout_read(p, got.data(), got.size(), 0);
    EXPECT_FALSE(p.playing);
    EXPECT_EQ(got[0], 0);
    playout_read(p, got.data(), got.size(), 200);  // with 200 ms still undecoded: the mark is reached
    EXPECT_TRUE(p.playing);
    EXPECT_EQ(got[0], (200 - 128) * 256);
    EXPECT_EQ(p.peak, (200 - 128) * 256);
    playout_read(p, got.data(), got.size(), 0);
    got.resize(2000);
    playout_read(p, got.data(), got.size(), 0);  // 1000 left, 2000 wanted
    EXPECT_EQ(p.underruns, 1);
    EXPECT_FALSE(p.playing);
    EXPECT_EQ(got[999], (200 - 128) * 256);
    EXPECT_EQ(got[1000], 0);
    playout_add(p, loud.data(), 3000);
    playout_read(p, got.data(), got.size(), 0);
    EXPECT_FALSE(p.playing) << "375 ms is below the mark";
    // A station sending far faster than it plays: the delay stays bounded.
    for (int i = 0; i < 8; ++i) playout_add(p, loud.data(), loud.size());
    EXPECT_LE(playout_buffered_ms(p), 4 * 500);
    EXPECT_GE(playout_buffered_ms(p), 500);
    playout_close(p);
}

TEST(Playout, a_station_rate_the_device_does_not_take_is_resampled_keeping_the_tone) {
    struct Case { int in, out; };
    for (Case c : {Case{16000, 48000}, Case{44100, 48000}, Case{22050, 44100}}) {
        Playout p;
        ASSERT_EQ(playout_open(p, c.in, c.out, 1000), 1);
        Bytes tone(size_t(c.in));
        for (size_t i = 0; i < tone.size(); ++i)
            tone[i] = uint8_t(128 + std::lround(50 * std::sin(2 * M_PI * 1000.0 * double(i) / c.in)));
        playout_add(p, tone.data(), tone.size());
        EXPECT_NEAR(playout_buffered_ms(p), 1000, 30) << c.in << " to " << c.out;
        std::vector<int16_t> got(size_t(c.out) / 2);
        playout_read(p, got.data(), got.size(), 1000);  // the rest is on its way
        Bytes narrow;
        for (int16_t v : got) narrow.push_back(uint8_t(128 + v / 256));
        EXPECT_GT(audio_measures::tone_level_db(narrow, 1000, c.out), 30) << c.in << " to " << c.out;
        EXPECT_LT(audio_measures::tone_level_db(narrow, 1000.0 * c.in / c.out + 100, c.out), 10);
        playout_close(p);
    }
}

// A Listener given datagrams directly (its socket is never opened, so what
// it sends goes nowhere): notes, restarts and the playing decisions.
struct ListenerFed : ::testing::Test {
    Listener l;
    std::vector<Bytes> frames = tone_frames(8);
    sockaddr_in station{};
    void SetUp() override {
        station.sin_family = AF_INET;
        station.sin_addr.s_addr = htonl(0x7F000001);
        l.config.station = station;
        l.config.fetch_pictures = true;
    }
    void give(const uint8_t* bytes, int size, uint32_t now = 0) { listener_receive(l, bytes, size, station, now); }
    void join(uint32_t counter, uint32_t session) {
        uint8_t bytes[MAX_DATAGRAM];
        give(bytes, build_join_accepted(bytes, counter, session, 16000, "Station", "Song A"));
    }
    void audio(uint32_t seq, uint32_t session = 7) {
        uint8_t bytes[MAX_DATAGRAM];
        const Bytes& f = frames[seq % frames.size()];
        give(bytes, build_audio(bytes, seq, session, f.data(), int(f.size()), false));
    }
};

TEST_F(ListenerFed, join_texts_and_pictures_become_notes_and_foreign_datagrams_are_ignored) {
    join(4, 7);
    uint8_t bytes[MAX_DATAGRAM];
    give(bytes, build_song_text(bytes, 5, 7, "Song B"));
    give(bytes, build_picture_notice(bytes, 6, 7, 2, 1));
    give(bytes, build_picture_reply(bytes, 6, 7, "BMPPAL002001", nullptr, 0));
    sockaddr_in other = station;
    other.sin_addr.s_addr = htonl(0x7F000002);
    listener_receive(l, bytes, build_song_text(bytes, 5, 7, "Forged"), other, 0);
    std::vector<ListenerNoteKind> kinds;
    for (const ListenerNote& n : l.notes) kinds.push_back(n.kind);
    EXPECT_EQ(kinds, (std::vector<ListenerNoteKind>{kNoteJoined, kNoteSongText, kNotePictureAnnounced}));
    EXPECT_EQ(l.notes[0].text, "Station");
    EXPECT_EQ(l.notes[0].song, "Song A");
    EXPECT_EQ(l.song, "Song B");
    EXPECT_EQ(l.sampling_rate, 16000);
    EXPECT_TRUE(l.picture.active);
    EXPECT_EQ(l.picture.pixels.size(), size_t(64 * 32 * 3));
}

TEST_F(ListenerFed, playing_starts_at_the_mark_and_a_rejoin_far_from_the_old_counter_restarts_the_stream) {
    join(4, 7);
    Playout p;
    playout_open(p, 16000, 16000, 2000);
    for (uint32_t seq = 0; seq < 12; ++seq)
        if (seq != 3) audio(seq);
    listener_feed(l, p, nullptr);
    EXPECT_EQ(playout_buffered_ms(p), 0) << "block 0 waits for seq 3 until the mark is reached";
    for (uint32_t seq = 12; seq < 24; ++seq) audio(seq);  // 3 s in hand
    listener_feed(l, p, nullptr);
    EXPECT_GT(playout_buffered_ms(p), 900);
    EXPECT_EQ(l.audio.lost, 1);
    join(50'000, 8);  // the station started again with another counter
    EXPECT_EQ(l.notes[l.notes.size() - 2].kind, kNoteRestarted);
    EXPECT_EQ(l.audio.restarts, 1);
    Bytes rest;
    EXPECT_EQ(listener_decode(l, false, rest), kChunkSamples) << "the old stream's last chunk still plays";
    audio(50'004, 8);
    EXPECT_EQ(l.audio.next_base, 50'008u);
    playout_close(p);
}

}  // namespace
