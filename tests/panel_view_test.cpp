// The decisions of the status panel: its texts, the lamp, the meter and the
// button face, from the station's state.

#include "app/panel_view.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <ctime>

#include "app/context.h"
#include "app/program.h"
#include "app/status_text.h"
#include "support/fake_host.h"
#include "support/scoped_env.h"

namespace {

struct PanelViewTest : ::testing::Test {
    ScopedEnv tz{"TZ", "UTC"};
    FakeHost host;
    std::unique_ptr<Context> ctx = make_context(host);

    void SetUp() override { tzset(); }
    void TearDown() override { tzset(); }

    void on_air(FeedMode feed_mode) {
        ctx->sender.broadcast_state = BroadcastState::broadcasting;
        ctx->live_ring.feed_mode = feed_mode;
    }
    void load_entry(const char* song, const char* picture, const char* text) {
        ScriptEntry e{};
        strncpy(e.song, song, sizeof e.song - 1);
        strncpy(e.picture, picture, sizeof e.picture - 1);
        strncpy(e.text, text, sizeof e.text - 1);
        ctx->script.entries.push_back(e);
        ctx->script.script_entries = static_cast<int>(ctx->script.entries.size());
    }
};

TEST_F(PanelViewTest, times_read_as_asctime_in_english_whatever_the_locale) {
    // A decimal-comma, non-English locale when the machine has one; the
    // texts must not change with it.
    const char* old = setlocale(LC_TIME, nullptr);
    std::string saved = old ? old : "C";
    setlocale(LC_TIME, "de_DE.UTF-8");
    EXPECT_EQ(clock_text(1'700'000'000), "Tue Nov 14 22:13:20 2023");
    EXPECT_EQ(clock_text(1'699'000'000), "Fri Nov  3 08:26:40 2023");
    setlocale(LC_TIME, saved.c_str());

    EXPECT_EQ(start_time_text(*ctx), "----");
    EXPECT_EQ(elapsed_line(*ctx), "----");
    on_air(FeedMode::script);
    ctx->station.broadcast_start_time = 1'699'000'000;
    host.now = 1'699'000'000 + 86400 + 3600 + 61;
    EXPECT_EQ(start_time_text(*ctx), "Nov  3 08:26:40");
    EXPECT_EQ(elapsed_line(*ctx), "1d 1h 1m 1s");
    host.now = 1'699'000'000 + 59;
    EXPECT_EQ(elapsed_line(*ctx), "0m 59s");
}

TEST_F(PanelViewTest, broadcasting_blinks_only_on_the_air) {
    ctx->window.blink_phase = 1;
    EXPECT_FALSE(broadcasting_visible(*ctx));
    ctx->sender.broadcast_state = BroadcastState::stop_requested;
    EXPECT_TRUE(broadcasting_visible(*ctx));
    ctx->window.blink_phase = 0;
    EXPECT_FALSE(broadcasting_visible(*ctx));
}

TEST_F(PanelViewTest, audio_type_marks_a_card_recording_at_another_rate) {
    ctx->state.SamplingRate = 16000;
    EXPECT_EQ(audio_type(*ctx, 22050), "Music ");  // idle: no mark
    on_air(FeedMode::live_sending);
    EXPECT_EQ(audio_type(*ctx, 22050), "Music*");
    EXPECT_EQ(audio_type(*ctx, 16000), "Music ");
    ctx->state.SamplingRate = 8000;
    EXPECT_EQ(audio_type(*ctx, 8000), "Voice ");
    // A script broadcast records nothing: no mark, whatever rate the card last had.
    ctx->state.SamplingRate = 16000;
    on_air(FeedMode::script);
    EXPECT_EQ(audio_type(*ctx, 22050), "Music ");
}

TEST_F(PanelViewTest, now_playing_lines_follow_the_feed) {
    NowPlayingLines idle = now_playing_lines(*ctx);
    EXPECT_EQ(idle.first, "Stopped");
    EXPECT_EQ(idle.picture, "");

    on_air(FeedMode::live_sending);
    EXPECT_EQ(now_playing_lines(*ctx).first, "Live");
    EXPECT_EQ(now_playing_lines(*ctx).text, "");

    load_entry("/songs/one.VMA", "/pics/one.bmp", "First song, a long text");
    load_entry("/songs/two.VMA", "", "Second");
    ctx->sender.entry_index = 1;
    NowPlayingLines live = now_playing_lines(*ctx);
    EXPECT_EQ(live.first, "Live");
    EXPECT_EQ(live.text, "Second");

    on_air(FeedMode::script);
    ctx->sender.entry_index = 0;
    NowPlayingLines script = now_playing_lines(*ctx);
    EXPECT_EQ(script.first, "/songs/one.VMA");
    EXPECT_EQ(script.picture, "/pics/one.bmp");
    EXPECT_EQ(script.text, "First song, a long text");

    ctx->sender.entry_index = 7;  // past the table: nothing of it
    EXPECT_EQ(now_playing_lines(*ctx).first, "");
}

TEST_F(PanelViewTest, caption_carries_address_and_listener_count) {
    ctx->controller.station_address = "127.0.0.9";
    EXPECT_EQ(caption_text(*ctx), "Radio Velmora Broadcaster (tm) 127.0.0.9 [0 - 0%]");
    ctx->controller.station_address.clear();  // after a stop
    EXPECT_EQ(caption_text(*ctx), "Radio Velmora Broadcaster (tm) [0 - 0%]");
}

TEST(PanelDecisionTest, lamp_meter_and_button_faces) {
    EXPECT_EQ(lamp_frame(false, 0), 0);
    EXPECT_EQ(lamp_frame(false, 1500), 0);
    EXPECT_EQ(lamp_frame(true, 1400), 1);
    EXPECT_EQ(lamp_frame(true, 1401), 0);
    EXPECT_EQ(lamp_frame(true, 1402), 2);

    EXPECT_EQ(meter_width(0, 452), 0);
    EXPECT_EQ(meter_width(-3, 452), 0);
    EXPECT_EQ(meter_width(100, 452), 300);
    EXPECT_EQ(meter_width(151, 452), 452);
    EXPECT_EQ(meter_width(1 << 30, 452), 452);  // no overflow on a wild level
    EXPECT_EQ(meter_width(10, 0), 0);  // no meter picture

    EXPECT_EQ(button_face(false, false, false), 2);
    EXPECT_EQ(button_face(false, true, true), 2);
    EXPECT_EQ(button_face(true, false, false), 1);
    EXPECT_EQ(button_face(true, false, true), 0);
    EXPECT_EQ(button_face(true, true, false), 4);
    EXPECT_EQ(button_face(true, true, true), 3);
}

}  // namespace
