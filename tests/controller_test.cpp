#include "app/controller.h"

#include <gtest/gtest.h>

#include <climits>

#include "app/context.h"
#include "app/program.h"
#include "app/station.h"
#include "app/controller.h"
#include "app/panel_view.h"
#include "app/status_text.h"
#include "codec/set_rate.h"
#include "media/script_file.h"
#include "platform/shell_open.h"
#include "station_test_support.h"
#include "support/fake_host.h"
#include "support/scoped_env.h"

namespace {

struct ControllerTest : ::testing::Test {
    FakeHost host;
    std::unique_ptr<Context> ctx = make_context(host);

    void pretend_broadcasting() {
        ctx->sender.broadcast_state = BroadcastState::broadcasting;
        ctx->live_ring.feed_mode = FeedMode::script;
    }
};

TEST_F(ControllerTest, autostart_one_posts_start_at_the_first_tick_without_a_box) {
    ctx->state.AutoStart = 1;
    pace_tick(*ctx);
    EXPECT_EQ(ctx->state.AutoStart, 2);
    ASSERT_EQ(host.posted_commands.size(), 1u);
    EXPECT_EQ(host.posted_commands[0], Command::start_stop);
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
    on_command(*ctx, Command::start);
    ASSERT_EQ(host.posted_commands.size(), 1u);
    EXPECT_EQ(host.posted_commands[0], Command::start_stop);
}

TEST_F(ControllerTest, settings_commands_are_refused_while_broadcasting) {
    pretend_broadcasting();
    on_command(*ctx, Command::settings);
    on_command(*ctx, Command::exit);
    EXPECT_TRUE(host.posted_commands.empty());
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::broadcasting);
}

TEST_F(ControllerTest, sampling_rate_keys_work_only_when_idle) {
    on_key_released(*ctx, HiddenKey::rate_32000);
    EXPECT_EQ(ctx->state.SamplingRate, 32000);
    EXPECT_EQ(ctx->state.device_rate, 44100);
    pretend_broadcasting();
    on_key_released(*ctx, HiddenKey::rate_8000);
    EXPECT_EQ(ctx->state.SamplingRate, 32000);
}

TEST_F(ControllerTest, keypad_plus_while_broadcasting_raises_the_rate_at_once) {
    pretend_broadcasting();
    ctx->state.SamplingRate = 16000;
    ctx->state.TransferRate = 2000;
    on_key_released(*ctx, HiddenKey::transfer_up);
    EXPECT_EQ(ctx->state.TransferRate, 2125);
    EXPECT_EQ(ctx->codec.rate_percent, 2125 * 100 / 16000);
    ctx->state.TransferRate = 700;
    on_key_released(*ctx, HiddenKey::transfer_down);
    EXPECT_EQ(ctx->state.TransferRate, 575);
    on_key_released(*ctx, HiddenKey::transfer_down);  // not above 640 any more
    EXPECT_EQ(ctx->state.TransferRate, 575);
}

TEST_F(ControllerTest, closing_while_broadcasting_is_refused_with_a_message) {
    pretend_broadcasting();
    EXPECT_EQ(on_close_request(*ctx), 0);
    EXPECT_EQ(host.last_message(), "Please shut down the current broadcast first.");
    ctx->sender.broadcast_state = BroadcastState::idle;
    EXPECT_EQ(on_close_request(*ctx), 1);
}

// On-line help and the connection check go to the desktop's opener; when
// it cannot open them the operator is told what and why, never nothing.
TEST_F(ControllerTest, help_and_connection_check_tell_why_they_cannot_open) {
    ctx->program_dir = "/opt/radio";
    struct Case {
        Command command;
        OpenResult opener_result;
        const char* opened;  // what the opener was given
        const char* told;    // "" when nothing is to be said
    } cases[] = {
        {Command::online_help, OpenResult::started, ONLINE_HELP_URL, ""},
        {Command::online_help, OpenResult::no_handler, ONLINE_HELP_URL, "the opener \"xdg-open\" could not be started"},
        {Command::check_connection, OpenResult::started, "chkconn.bat", ""},
        {Command::check_connection, OpenResult::file_not_found, "chkconn.bat",
         "Cannot open /opt/radio/chkconn.bat: there is no such file."},
        {Command::check_connection, OpenResult::path_not_found, "chkconn.bat",
         "Cannot open /opt/radio/chkconn.bat: there is no such folder."},
        {Command::check_connection, OpenResult::no_handler, "chkconn.bat",
         "Cannot open /opt/radio/chkconn.bat: the opener \"xdg-open\""},
    };
    ScopedEnv opener("VELMORA_OPENER", "");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.opened) + " " + std::to_string(static_cast<int>(c.opener_result)));
        host.messages.clear();
        host.shell_opened.clear();
        host.shell_open_result = c.opener_result;
        on_command(*ctx, c.command);
        EXPECT_EQ(host.shell_opened, std::vector<std::string>{std::string("open ") + c.opened + " "});
        if (!*c.told) {
            EXPECT_TRUE(host.messages.empty()) << host.last_message();
            continue;
        }
        ASSERT_EQ(host.messages.size(), 1u);
        EXPECT_NE(host.last_message().find(c.told), std::string::npos) << host.last_message();
    }
}

TEST_F(ControllerTest, start_menu_follows_feed_and_script) {
    ctx->live_ring.feed_mode = FeedMode::script;
    ctx->state.StationScript.clear();
    update_start_menu(*ctx);
    EXPECT_FALSE(ctx->window.menus.start_enabled);
    EXPECT_TRUE(ctx->window.menus.build_script_enabled);
    ctx->live_ring.feed_mode = FeedMode::live_priming;
    update_start_menu(*ctx);
    EXPECT_TRUE(ctx->window.menus.start_enabled);
    // Build Script opens the live list editor in live feed: never greyed while idle.
    EXPECT_TRUE(ctx->window.menus.build_script_enabled);
}

TEST_F(ControllerTest, build_script_opens_the_editor_of_the_feed) {
    for (FeedMode feed : {FeedMode::script, FeedMode::live_priming}) {
        FakeHost fresh;
        auto c = make_context(fresh);
        c->live_ring.feed_mode = feed;
        update_start_menu(*c);
        ASSERT_TRUE(c->window.menus.build_script_enabled) << static_cast<int>(feed);
        on_command(*c, Command::build_script);
        ASSERT_EQ(fresh.dialogs_run.size(), 1u) << static_cast<int>(feed);
        EXPECT_EQ(fresh.dialogs_run[0],
                  feed == FeedMode::script ? Dialog::script_builder : Dialog::live_list_editor);
    }
}

TEST_F(ControllerTest, a_stop_takes_the_address_out_of_the_caption) {
    pretend_broadcasting();
    ctx->controller.station_address = "127.0.0.9";
    on_command(*ctx, Command::start_stop);
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::idle);
    EXPECT_EQ(ctx->controller.station_address, "");
    EXPECT_EQ(caption_text(*ctx).find("127.0.0.9"), std::string::npos);
}

TEST_F(ControllerTest, a_script_that_cannot_be_opened_is_named_and_opens_the_builder) {
    ctx->live_ring.feed_mode = FeedMode::script;
    ctx->state.StationScript = "/some/nothere.VSK";
    for (Command command : {Command::start, Command::start_stop}) {
        host.messages.clear();
        host.posted_commands.clear();
        on_command(*ctx, command);
        if (command == Command::start_stop) {  // the button goes through the menu form
            ASSERT_EQ(host.posted_commands, std::vector<Command>{Command::start});
            host.posted_commands.clear();
            on_command(*ctx, Command::start);
        }
        EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::idle);
        EXPECT_EQ(host.posted_commands, std::vector<Command>{Command::build_script});
        ASSERT_EQ(host.messages.size(), 1u);
        EXPECT_EQ(
            host.last_message(),
            "Cannot open the script /some/nothere.VSK: No such file or directory.\nPlease check "
            "StationScript, or make the script in the Script Builder.");
    }
}

TEST_F(ControllerTest, the_button_in_script_feed_with_nothing_loaded_goes_through_the_menu_form) {
    ctx->live_ring.feed_mode = FeedMode::script;
    ctx->script.script_entries = 0;
    on_command(*ctx, Command::start_stop);
    ASSERT_EQ(host.posted_commands.size(), 1u);
    EXPECT_EQ(host.posted_commands[0], Command::start);
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::idle);
}

TEST_F(ControllerTest, pace_clock_runs_only_while_sending) {
    host.clock_ms = 5000;
    pace_tick(*ctx);
    EXPECT_EQ(ctx->controller.pace_clock, 0u);
    ctx->sender.broadcast_state = BroadcastState::broadcasting;
    ctx->live_ring.feed_mode = FeedMode::live_sending;  // live: the clock only advances
    ctx->state.SamplingRate = 44100;
    pace_tick(*ctx);
    EXPECT_EQ(ctx->controller.send_interval_ms, 46);
    EXPECT_EQ(ctx->controller.pace_clock, 5000u);
    host.clock_ms = 5000 + 128;
    pace_tick(*ctx);
    EXPECT_EQ(ctx->controller.pace_clock, 5139u);  // three intervals of 46.44 ms made up
}

TEST_F(ControllerTest, panel_blinks_with_phases_of_five_and_three_ticks) {
    std::vector<int> phases;
    for (int i = 0; i < 16; ++i) {
        pace_tick(*ctx);
        phases.push_back(ctx->window.blink_phase);
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
    ctx->sender.broadcast_state = BroadcastState::broadcasting;
    ctx->state.TransferRate = 2000;
    ctx->state.BANDWIDTH = 28800;
    for (int i = 0; i < 3; ++i) ctx->listeners.entries[i].age = 0;
    EXPECT_EQ(listeners_line(*ctx), "3 - 166%");
    ctx->listeners.entries[0].mode = 2;  // a repeater that reported 10 listeners
    ctx->listeners.entries[2].age = AGE_FREE;
    ctx->sender.load_report[0] = 10;
    EXPECT_EQ(listeners_line(*ctx).substr(0, 5), "11(R)");
    ctx->sender.load_report[0] = INT_MAX;  // whatever a repeater reports is shown, not overflowed
    ctx->listeners.entries[2].age = 0;
    EXPECT_EQ(listeners_line(*ctx).substr(0, 13), "2147483649(R)");
}

// A host whose sound card can be made to open, and which counts how often
// capture is opened and closed. Each box takes the operator a second.
class CaptureHost : public FakeHost {
public:
    CaptureAnswer capture_result = CaptureAnswer::no_device;  // no sound card by default
    int captures_opened = 0;
    int captures_closed = 0;
    CaptureAnswer capture_query(int) override { return capture_result; }
    CaptureAnswer capture_open(int, char* error_text, int) override {
        ++captures_opened;
        error_text[0] = '\0';
        return capture_result;
    }
    void capture_close() override { ++captures_closed; }
    Answer message_box(const char* text, const char* caption, BoxStyle style, bool owned) override {
        ++now;
        return FakeHost::message_box(text, caption, style, owned);
    }
};

// Starts and stops driven through the commands, with a real station socket
// on an address of this test process and a master that hears its notices.
struct StartStopTest : ::testing::Test {
    CaptureHost host;
    std::unique_ptr<Context> ctx = make_context(host);
    TempDir dir;
    std::string station_ip = test_ip(61);
    std::string master_ip = test_ip(62);
    std::string script = dir.file("show.VSK");

    void SetUp() override {
        StationState& s = ctx->state;
        set_test_station(*ctx, dir, station_ip, master_ip);
        // These count the boxes of a start; the notice that station lists
        // cannot name the test's port is checked by the station's own run.
        ctx->station.lists_without_port_told = true;
        s.SamplingRate = 44100;
        s.device_rate = 44100;
        s.TransferRate = 4410;
        ctx->live_ring.feed_mode = FeedMode::script;
        s.StationScript = script;
        write_script(44100, 10);
    }
    void TearDown() override { close_station(*ctx); }

    // A script of two songs of 16 frames each; every frame's first byte is its song.
    void write_script(int rate, int percent) {
        std::string bytes = "2 " + std::to_string(rate) + " 0" + std::to_string(percent) + " SCRIPT";
        bytes.push_back('\0');
        for (int song = 1; song <= 2; ++song) {
            std::string name = dir.file("song" + std::to_string(song) + ".VMA");
            write_file(name, sample_file(std::vector<std::string>(16, std::string(20, char(song))),
                                         rate, percent));
            bytes += "1 " + name + " \"\" Song " + std::to_string(song);
            bytes.push_back('\0');
        }
        write_file(script, bytes);
    }

    // Runs the commands the controller posted, as the message loop would.
    void run_posted_commands() {
        for (size_t i = 0; i < host.posted_commands.size() && i < 10; ++i)
            on_command(*ctx, host.posted_commands[i]);
        host.posted_commands.clear();
    }

    std::string bound_address() {
        sockaddr_in addr{};
        socklen_t length = sizeof addr;
        if (getsockname(ctx->station.socket.fd(), reinterpret_cast<sockaddr*>(&addr), &length) != 0)
            return "";
        return inet_ntoa(addr.sin_addr) + (":" + std::to_string(ntohs(addr.sin_port)));
    }

    std::string confirmation() const {
        return "About to start broadcasting on IP address " + station_ip;
    }
};

TEST_F(StartStopTest, menu_start_binds_the_script_broadcast_to_the_chosen_address_after_the_box) {
    on_command(*ctx, Command::start);
    ASSERT_EQ(ctx->sender.broadcast_state, BroadcastState::broadcasting) << host.last_message();
    EXPECT_EQ(bound_address(), station_ip + ":" + std::to_string(TEST_STATION_PORT));
    EXPECT_EQ(ctx->controller.station_address, station_ip);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, confirmation());
    EXPECT_EQ(host.messages[0].caption, PROGRAM_TITLE);
    EXPECT_FALSE(host.messages[0].owned);
    EXPECT_EQ(ctx->script.script_entries, 2);
    EXPECT_EQ(ctx->codec.interp_threshold, 32);
    EXPECT_TRUE(ctx->window.menus.button_enabled);
    EXPECT_STREQ(ctx->window.menus.button_text, "Stop Broadcast");
    EXPECT_EQ(ctx->window.menus.start_item_id, Command::stop);
    EXPECT_FALSE(ctx->window.menus.settings_enabled);
    EXPECT_TRUE(host.posted_commands.empty());
}

TEST_F(StartStopTest, the_box_is_left_out_with_autostart_two) {
    ctx->state.AutoStart = 2;
    on_command(*ctx, Command::start);
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::broadcasting);
    EXPECT_TRUE(host.messages.empty()) << host.last_message();
}

TEST_F(StartStopTest, autostart_one_starts_the_script_at_the_first_tick_without_the_box) {
    ctx->state.AutoStart = 1;
    pace_tick(*ctx);
    run_posted_commands();  // start_stop with nothing loaded goes on to start, which loads the script
    run_posted_commands();
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::broadcasting);
    EXPECT_EQ(ctx->script.script_entries, 2);
    EXPECT_TRUE(host.messages.empty()) << host.last_message();
    pace_tick(*ctx);
    run_posted_commands();
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::broadcasting);  // the first tick starts only once
}

TEST_F(StartStopTest, the_button_form_names_an_unnamed_station_after_the_host) {
    ctx->state.StationName.clear();
    ASSERT_GT(open_station_script(*ctx, script.c_str()), 0);
    on_command(*ctx, Command::start_stop);
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::broadcasting);
    char name[65] = {};
    gethostname(name, sizeof name - 1);
    EXPECT_EQ(ctx->state.StationName, name);
    EXPECT_EQ(host.last_message(), confirmation());
}

TEST_F(StartStopTest, a_declined_script_starts_nothing_and_opens_the_script_builder) {
    write_script(22050, 20);  // made for other settings: the operator is asked
    host.answers.push_back(Answer::no);
    on_command(*ctx, Command::start);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].style.buttons, Buttons::yes_no);
    EXPECT_EQ(host.posted_commands, std::vector<Command>{Command::build_script});
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::idle);
    EXPECT_EQ(ctx->script.script_entries, 0);
    EXPECT_EQ(ctx->station.socket.fd(), -1);
    EXPECT_STREQ(ctx->window.menus.button_text, "Start Broadcast");
    EXPECT_EQ(ctx->window.menus.start_item_id, Command::start);
}

TEST_F(StartStopTest, a_script_that_cannot_be_opened_starts_nothing) {
    ctx->state.StationScript = dir.file("missing.VSK");
    on_command(*ctx, Command::start);
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::idle);
    EXPECT_EQ(ctx->station.socket.fd(), -1);
    // Nothing but the Script Builder, opened to mend the script.
    EXPECT_EQ(host.posted_commands, std::vector<Command>{Command::build_script});
}

TEST_F(StartStopTest, a_late_timer_catches_up_two_ticks_a_call_and_skips_a_long_stall) {
    LoopbackSocket listener(test_ip(63).c_str());
    on_command(*ctx, Command::start);
    ASSERT_EQ(ctx->sender.broadcast_state, BroadcastState::broadcasting);
    send_control(listener.fd(), test_station_addr(station_ip), PF_TEXT, std::string("hello", 6));
    pace_tick(*ctx);  // the first interval: the join is answered and one packet sent
    EXPECT_EQ(ctx->controller.send_interval_ms, 46);
    auto audio = with_flags(listener.receive_all(), PF_AUDIO);
    ASSERT_EQ(audio.size(), 1u);
    uint32_t first_seq = get_packet_header(audio[0].data()).seq;

    host.clock_ms += 128;  // 46 ms a packet: three are due, two go now
    EXPECT_EQ(send_due_ticks(*ctx), 46);  // still late: the next call one interval on
    EXPECT_EQ(with_flags(listener.receive_all(), PF_AUDIO).size(), 2u);
    host.clock_ms += 46;
    EXPECT_GT(send_due_ticks(*ctx), 0);
    EXPECT_EQ(with_flags(listener.receive_all(), PF_AUDIO).size(), 2u);

    // A five-second stall is not made up: one tick goes, its seq a whole
    // number of super-blocks further on.
    send_control(listener.fd(), test_station_addr(station_ip), PF_KEEPALIVE, std::string("ka", 2));
    host.clock_ms += 5000;
    send_due_ticks(*ctx);
    audio = with_flags(listener.receive_all(), PF_AUDIO);
    ASSERT_EQ(audio.size(), 1u);
    uint32_t jump = get_packet_header(audio[0].data()).seq - (first_seq + 5);
    EXPECT_GT(jump, 100u);
    EXPECT_EQ(jump % 8, 0u);
}

TEST_F(StartStopTest, ticks_keep_the_exact_pace_of_the_sampling_rate) {
    on_command(*ctx, Command::start);
    ASSERT_EQ(ctx->sender.broadcast_state, BroadcastState::broadcasting);
    const uint32_t start = host.clock_ms;
    // 1000 ticks of 2048 samples at 44100 Hz take 46.44 s; ticks 46 ms
    // apart would make 1009 of them.
    while (host.clock_ms - start < 46440) {
        host.clock_ms += 5;
        send_due_ticks(*ctx);
    }
    EXPECT_NEAR(static_cast<double>(ctx->sender.packet_counter), 1001.0, 1.0);
}

TEST_F(StartStopTest, the_next_tick_is_due_counting_from_the_end_of_a_slow_one) {
    LoopbackSocket listener(test_ip(64).c_str());
    on_command(*ctx, Command::start);
    ASSERT_EQ(ctx->sender.broadcast_state, BroadcastState::broadcasting);
    send_control(listener.fd(), test_station_addr(station_ip), PF_TEXT, std::string("hello", 6));
    pace_tick(*ctx);
    // A fan-out to a full table takes tens of milliseconds.
    ctx->sender.fan_out.send = [&](int socket, const UdpMessage* messages, int count) {
        host.clock_ms += 30;
        return udp_send_many(socket, messages, count);
    };
    uint32_t due = ctx->controller.pace_clock;
    host.clock_ms = due + 1;
    int wait = send_due_ticks(*ctx);
    // Due one interval after the last, however long the tick took.
    EXPECT_EQ(host.clock_ms + static_cast<uint32_t>(wait), ctx->controller.pace_clock + 1);
    EXPECT_LT(wait, 46 - 30 + 2);
    host.clock_ms = ctx->controller.pace_clock + 20;  // later still than the slow tick itself
    EXPECT_EQ(send_due_ticks(*ctx), 1);
}

TEST_F(StartStopTest, stopping_a_script_returns_to_idle_at_once) {
    PortSocket master(master_ip, 3456);
    on_command(*ctx, Command::start);
    ASSERT_EQ(ctx->sender.broadcast_state, BroadcastState::broadcasting);
    EXPECT_EQ(with_flags(master.receive_all(), PF_PICTURE).size(), 1u);  // the announce

    on_command(*ctx, Command::start);  // Ctrl+S while broadcasting goes through the button
    run_posted_commands();
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::idle);
    EXPECT_EQ(ctx->station.socket.fd(), -1);
    EXPECT_EQ(with_flags(master.receive_all(), PF_PICTURE | PF_LEAVE).size(), 1u);
    EXPECT_EQ(ctx->script.script_entries, 0);
    EXPECT_TRUE(ctx->window.menus.button_enabled);
    EXPECT_STREQ(ctx->window.menus.button_text, "Start Broadcast");
    EXPECT_EQ(ctx->window.menus.start_item_id, Command::start);
    EXPECT_TRUE(ctx->window.menus.settings_enabled);
    EXPECT_FALSE(ctx->window.hourglass);

    on_command(*ctx, Command::start_stop);  // the button again: the script is loaded afresh
    run_posted_commands();
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::broadcasting);
}

TEST_F(StartStopTest, a_live_start_without_a_sound_card_returns_to_idle) {
    PortSocket master(master_ip, 3456);
    ctx->live_ring.feed_mode = FeedMode::live_priming;
    ctx->state.SamplingRate = 8000;
    on_command(*ctx, Command::start);
    // Tried again until two seconds have passed, one box per attempt.
    ASSERT_EQ(host.messages.size(), 3u);
    EXPECT_EQ(host.messages[1].text, "The audio waveform device can't record in the required format.");
    EXPECT_EQ(host.messages[2].text, host.messages[1].text);
    EXPECT_EQ(host.messages[1].style, Icon::warning);
    EXPECT_EQ(host.captures_opened, 0);
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::idle);
    EXPECT_EQ(ctx->live_ring.feed_mode, FeedMode::live_priming);
    EXPECT_EQ(ctx->codec.interp_threshold, 0);
    EXPECT_EQ(ctx->station.socket.fd(), -1);
    EXPECT_TRUE(ctx->window.menus.button_enabled);
    EXPECT_STREQ(ctx->window.menus.button_text, "Start Broadcast");
    EXPECT_EQ(ctx->window.menus.start_item_id, Command::start);
    EXPECT_FALSE(ctx->window.hourglass);
    // The station was opened and closed again: announce, then close notice.
    auto notices = master.receive_all();
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(header_of(notices[0]).flags, PF_PICTURE);
    EXPECT_EQ(header_of(notices[1]).flags, PF_PICTURE | PF_LEAVE);
}

TEST_F(StartStopTest, a_live_stop_keeps_capture_running_until_the_ring_has_drained) {
    host.capture_result = CaptureAnswer::ok;
    ctx->live_ring.feed_mode = FeedMode::live_priming;
    on_command(*ctx, Command::start);
    ASSERT_EQ(ctx->sender.broadcast_state, BroadcastState::broadcasting);
    EXPECT_FALSE(ctx->window.menus.button_enabled);  // until live sending begins

    on_command(*ctx, Command::start_stop);
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::stop_requested);
    EXPECT_EQ(ctx->live_ring.feed_mode, FeedMode::live_stopping);
    EXPECT_TRUE(ctx->window.hourglass);
    EXPECT_FALSE(ctx->window.menus.button_enabled);
    EXPECT_EQ(host.captures_closed, 0);  // the pump closes it after its last cycle
    EXPECT_GE(ctx->station.socket.fd(), 0);

    finish_stop(*ctx);  // what the sender does once the ring is empty
    EXPECT_EQ(host.captures_closed, 1);  // (the pump would have closed it already)
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::idle);
    EXPECT_EQ(ctx->live_ring.feed_mode, FeedMode::live_priming);
    EXPECT_FALSE(ctx->window.hourglass);
    EXPECT_TRUE(ctx->window.menus.button_enabled);
    EXPECT_EQ(ctx->station.socket.fd(), -1);
}

TEST_F(StartStopTest, a_live_stop_the_sound_card_never_drains_ends_after_ten_seconds) {
    host.capture_result = CaptureAnswer::ok;
    ctx->live_ring.feed_mode = FeedMode::live_priming;
    on_command(*ctx, Command::start);
    ASSERT_EQ(ctx->sender.broadcast_state, BroadcastState::broadcasting);
    on_command(*ctx, Command::start_stop);
    size_t boxes = host.messages.size();

    host.clock_ms += 9999;  // no capture buffer comes any more
    panel_tick(*ctx);
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::stop_requested);
    EXPECT_EQ(host.captures_closed, 0);

    host.clock_ms += 1;
    panel_tick(*ctx);
    EXPECT_EQ(ctx->sender.broadcast_state, BroadcastState::idle);
    EXPECT_EQ(host.captures_closed, 1);
    EXPECT_EQ(ctx->station.socket.fd(), -1);
    EXPECT_TRUE(ctx->window.menus.button_enabled);
    EXPECT_FALSE(ctx->window.hourglass);
    ASSERT_EQ(host.messages.size(), boxes + 1);
    EXPECT_NE(host.last_message().find("sound card"), std::string::npos);
    EXPECT_EQ(host.messages.back().style, Buttons::ok | Icon::warning);

    pace_tick(*ctx);  // the headless station's timer as well: one message only
    EXPECT_EQ(host.messages.size(), boxes + 1);
}

TEST(ControllerStartupTest, without_a_sound_card_the_operator_is_told_and_the_feed_is_the_script) {
    TempDir dir;
    ScopedEnv home{"VELMORA_HOME", dir.path()};
    write_file(dir.file("station.ini"), "[VelmoraStation]\nMode=1\nStationScript=/x/a.VSK\n");
    FakeHost host;
    auto ctx = make_context(host);
    bool needs_info = false;
    ASSERT_EQ(controller_startup(*ctx, dir.file("station.ini").c_str(), true, &needs_info), 1);
    // One notice, which holds nothing (a station set to start by itself starts).
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text,
              "No recording device found: live broadcasting is off, and the station plays its "
              "script (Mode=1 asks for live).");
    EXPECT_EQ(host.messages[0].style, Buttons::ok | Icon::warning);
    EXPECT_EQ(ctx->state.MODE, 0);
    EXPECT_EQ(ctx->live_ring.feed_mode, FeedMode::script);
    EXPECT_TRUE(ctx->window.menus.start_enabled);
    EXPECT_TRUE(needs_info);

    // A script station needs no recording device: one plain note.
    write_file(dir.file("script.ini"), "[VelmoraStation]\nMode=0\nStationScript=/x/a.VSK\n");
    FakeHost script_host;
    auto script_station = make_context(script_host);
    ASSERT_EQ(controller_startup(*script_station, dir.file("script.ini").c_str(), true, nullptr), 1);
    ASSERT_EQ(script_host.messages.size(), 1u);
    EXPECT_EQ(script_host.messages[0].text,
              "No recording device found: live broadcasting is off. A script station needs none.");
    EXPECT_EQ(script_host.messages[0].style, Buttons::ok | Icon::warning);
    EXPECT_EQ(script_station->live_ring.feed_mode, FeedMode::script);

    FakeHost quiet_host;
    auto with_card = make_context(quiet_host);
    ASSERT_EQ(controller_startup(*with_card, dir.file("station.ini").c_str(), false, nullptr), 1);
    EXPECT_TRUE(quiet_host.messages.empty());
    EXPECT_EQ(with_card->live_ring.feed_mode, FeedMode::live_priming);
}

}  // namespace
