#include <gtest/gtest.h>

#include "app/context.h"
#include "app/controller.h"
#include "app/status_text.h"
#include "codec/set_rate.h"
#include "support/fake_host.h"

namespace {

struct ControllerTest : ::testing::Test {
    FakeHost host;
    std::unique_ptr<Context> ctx = make_context(host);

    void pretend_broadcasting() {
        ctx->state.broadcast_state = BS_BROADCASTING;
        ctx->state.feed_mode = FEED_SCRIPT;
    }
};

TEST_F(ControllerTest, autostart_one_posts_start_at_the_first_tick_without_a_box) {
    ctx->state.AutoStart = 1;
    pace_tick(*ctx);
    EXPECT_EQ(ctx->state.AutoStart, 2);
    ASSERT_EQ(host.posted_commands.size(), 1u);
    EXPECT_EQ(host.posted_commands[0], CMD_START_STOP);
    pace_tick(*ctx);
    EXPECT_EQ(host.posted_commands.size(), 1u);
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(ControllerTest, autostart_two_starts_nothing) {
    ctx->state.AutoStart = 2;
    pace_tick(*ctx);
    EXPECT_TRUE(host.posted_commands.empty());
}

TEST_F(ControllerTest, ctrl_s_while_broadcasting_posts_the_stop_command) {
    pretend_broadcasting();
    on_command(*ctx, CMD_START);
    ASSERT_EQ(host.posted_commands.size(), 1u);
    EXPECT_EQ(host.posted_commands[0], CMD_START_STOP);
}

TEST_F(ControllerTest, settings_commands_are_refused_while_broadcasting) {
    pretend_broadcasting();
    on_command(*ctx, CMD_SETTINGS);
    on_command(*ctx, CMD_EXIT);
    EXPECT_TRUE(host.posted_commands.empty());
    EXPECT_EQ(ctx->state.broadcast_state, BS_BROADCASTING);
}

TEST_F(ControllerTest, sampling_rate_keys_work_only_when_idle) {
    on_key_released(*ctx, '3');
    EXPECT_EQ(ctx->state.SamplingRate, 32000);
    EXPECT_EQ(ctx->state.device_rate, 44100);
    pretend_broadcasting();
    on_key_released(*ctx, '8');
    EXPECT_EQ(ctx->state.SamplingRate, 32000);
}

TEST_F(ControllerTest, keypad_plus_while_broadcasting_raises_the_rate_at_once) {
    pretend_broadcasting();
    ctx->state.SamplingRate = 16000;
    ctx->state.TransferRate = 2000;
    on_key_released(*ctx, KEY_KEYPAD_PLUS);
    EXPECT_EQ(ctx->state.TransferRate, 2125);
    EXPECT_EQ(ctx->codec.rate_percent, 2125 * 100 / 16000);
    ctx->state.TransferRate = 700;
    on_key_released(*ctx, KEY_KEYPAD_MINUS);
    EXPECT_EQ(ctx->state.TransferRate, 575);
    on_key_released(*ctx, KEY_KEYPAD_MINUS);  // not above 640 any more
    EXPECT_EQ(ctx->state.TransferRate, 575);
}

TEST_F(ControllerTest, closing_while_broadcasting_is_refused_with_a_message) {
    pretend_broadcasting();
    EXPECT_EQ(on_close_request(*ctx), 0);
    EXPECT_EQ(host.last_message(), "Please shut down the current broadcast first.");
    ctx->state.broadcast_state = BS_IDLE;
    EXPECT_EQ(on_close_request(*ctx), 1);
}

TEST_F(ControllerTest, start_menu_follows_feed_and_script) {
    ctx->state.feed_mode = FEED_SCRIPT;
    ctx->state.StationScript.clear();
    update_start_menu(*ctx);
    EXPECT_FALSE(ctx->state.view.start_enabled);
    EXPECT_TRUE(ctx->state.view.build_script_enabled);
    ctx->state.feed_mode = FEED_LIVE_PRIMING;
    update_start_menu(*ctx);
    EXPECT_TRUE(ctx->state.view.start_enabled);
    EXPECT_FALSE(ctx->state.view.build_script_enabled);
}

TEST_F(ControllerTest, the_button_in_script_feed_with_nothing_loaded_goes_through_the_menu_form) {
    ctx->state.feed_mode = FEED_SCRIPT;
    ctx->state.script_entries = 0;
    on_command(*ctx, CMD_START_STOP);
    ASSERT_EQ(host.posted_commands.size(), 1u);
    EXPECT_EQ(host.posted_commands[0], CMD_START);
    EXPECT_EQ(ctx->state.broadcast_state, BS_IDLE);
}

TEST_F(ControllerTest, pace_clock_runs_only_while_sending) {
    host.clock_ms = 5000;
    pace_tick(*ctx);
    EXPECT_EQ(ctx->state.pace_clock, 0u);
    ctx->state.broadcast_state = BS_BROADCASTING;
    ctx->state.feed_mode = FEED_LIVE_SENDING;  // live: the clock only advances
    ctx->state.SamplingRate = 44100;
    pace_tick(*ctx);
    EXPECT_EQ(ctx->state.send_interval_ms, 46);
    EXPECT_EQ(ctx->state.pace_clock, 5000u);
    host.clock_ms = 5000 + 128;
    pace_tick(*ctx);
    EXPECT_EQ(ctx->state.pace_clock, 5000u + 3 * 46);  // three intervals made up
}

TEST_F(ControllerTest, panel_blinks_with_phases_of_five_and_three_ticks) {
    std::vector<int> phases;
    for (int i = 0; i < 16; ++i) {
        pace_tick(*ctx);
        phases.push_back(ctx->state.blink_phase);
    }
    EXPECT_EQ(phases, (std::vector<int>{0, 0, 1, 1, 1, 1, 1, 0, 0, 0, 1, 1, 1, 1, 1, 0}));
}

TEST(StatusTextTest, elapsed_time_forms) {
    EXPECT_EQ(elapsed_text(59), "0m 59s");
    EXPECT_EQ(elapsed_text(3600), "1h 0m 0s");
    EXPECT_EQ(elapsed_text(86400 + 3600 + 61), "1d 1h 1m 1s");
}

TEST(StatusTextTest, rate_line_classes) {
    EXPECT_EQ(rate_line(2000), "16.0kbps (28.8k)");
    EXPECT_EQ(rate_line(1600), "12.8kbps (14.4)");
    EXPECT_EQ(rate_line(7000), "56.0kbps (LAN)");
    EXPECT_EQ(rate_line(4000), "32.0kbps (ISDN)");
}

TEST_F(ControllerTest, listeners_line_counts_load_against_bandwidth) {
    ctx->state.broadcast_state = BS_BROADCASTING;
    ctx->state.TransferRate = 2000;
    ctx->state.BANDWIDTH = 28800;
    for (int i = 0; i < 3; ++i) ctx->listeners.entries[i].age = 0;
    EXPECT_EQ(listeners_line(*ctx), "3 - 166%");
    ctx->listeners.entries[0].mode = 2;  // a repeater that reported 10 listeners
    ctx->listeners.entries[2].age = AGE_FREE;
    ctx->sender.load_report[0] = 10;
    EXPECT_EQ(listeners_line(*ctx).substr(0, 5), "11(R)");
}

}  // namespace
