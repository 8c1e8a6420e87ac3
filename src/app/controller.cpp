#include "app/controller.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/context.h"
#include "app/control_commands.h"
#include "app/settings.h"
#include "app/settings_check.h"
#include "app/station.h"
#include "base/messages.h"
#include "codec/set_rate.h"
#include "codec/stream_rate.h"
#include "wire/datagram_queue.h"
#include "live/live_capture.h"
#include "live/live_fallback.h"
#include "live/live_ring.h"
#include "media/live_list.h"
#include "media/script_file.h"
#include "media/song_source.h"
#include "server/control_datagrams.h"
#include "server/fan_out.h"
#include "server/listener_table.h"
#include "server/sender.h"
#include "server/station_socket.h"
#include "web/directory.h"

namespace {

const char* const kLogNames[7] = {"vmb_sun.log", "vmb_mon.log", "vmb_tue.log", "vmb_wed.log",
                                  "vmb_thur.log", "vmb_fri.log", "vmb_sat.log"};

bool is_idle(const Context& ctx) { return ctx.sender.broadcast_state == BroadcastState::idle; }

bool is_sending(const Context& ctx) {
    return ctx.sender.broadcast_state == BroadcastState::broadcasting ||
           ctx.sender.broadcast_state == BroadcastState::stop_requested;
}

bool live_feed(const Context& ctx) { return ctx.live_ring.feed_mode != FeedMode::script; }

// The outputs' channels: a capture that records stereo for them, or a
// script with a stereo source, is stereo.
int program_channels(const Context& ctx) {
    return live_feed(ctx) ? std::max(ctx.capture.program_channels, 1)
                          : script_source_channels(ctx.script);
}

// Once the first tick has gone out, the directory add is posted: it runs
// from the event loop, whose nested loop then keeps the ticks and the
// answers to listeners going while the directory takes its time.
void list_once_on_air(Context& ctx) {
    if (!ctx.controller.listing_due || !is_sending(ctx) ||
        ctx.sender.packet_counter == ctx.sender.first_seq)
        return;
    ctx.controller.listing_due = false;
    ctx.host->post_command(Command::list_station);
}

void set_interp_threshold(Context& ctx) {
    // At 8000 Hz the interpolating step is never chosen.
    ctx.codec.interp_threshold = ctx.state.SamplingRate == 8000 ? 0 : 32;
}

// Host name and the station's address for the confirmation box and the
// caption. Returns 1 when an address was found.
int look_up_station_address(Context& ctx) {
    char name[65] = {};
    if (gethostname(name, sizeof name - 1) != 0) name[0] = '\0';
    ctx.controller.host_name = name;
    uint32_t addr_net = 0;
    if (!station_address_for_host(ctx.state, name, &addr_net)) return 0;
    const auto* b = reinterpret_cast<const uint8_t*>(&addr_net);
    char text[32];
    snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    ctx.controller.station_address = text;
    return 1;
}

void confirm_address(Context& ctx) {
    if (ctx.state.AutoStart != 2)
        show_message(ctx, false, Buttons::ok, "About to start broadcasting on IP address %s",
                     ctx.controller.station_address.c_str());
}

// An address or port the station cannot use is refused before anything is
// opened: the system would read a mistyped address as the broadcast address.
bool refuse_unusable_settings(Context& ctx) {
    SettingsReport report;
    check_network_settings(ctx, report);
    if (report.errors() == 0) return false;
    for (const SettingsProblem& problem : report.problems)
        if (problem.error)
            show_message(ctx, true, Buttons::ok | Icon::error, "Cannot start broadcasting: %s",
                         problem_text(problem).c_str());
    update_broadcast_menu(ctx);
    return true;
}

// A script none of whose songs can be played: the fallback script, when
// one is set and can play, goes on the air in its place.
void play_fallback_instead(Context& ctx) {
    const std::string& fallback = ctx.state.FALLBACK_SCRIPT;
    if (fallback.empty()) return;
    std::string problem = load_fallback_script(ctx, ctx.script, fallback, ctx.state.SamplingRate);
    if (problem.empty() && open_station_script(ctx, fallback.c_str()) > 0) {
        ctx.host->notice(("The script " + ctx.state.StationScript +
                          " cannot be played: the station plays the fallback script " + fallback)
                             .c_str());
        return;
    }
    if (problem.empty()) problem = "cannot be opened";
    ctx.host->notice(("The fallback script " + fallback + " (FALLBACK_SCRIPT) " + problem +
                      ": the station cannot play in place of its script.")
                         .c_str());
    ctx.script.script_entries = 0;
}

// Steps shared by both forms of start: from the state change to the end.
void go_on_air(Context& ctx, bool menu_form) {
    StationState& s = ctx.state;
    ctx.sender.broadcast_state = BroadcastState::transition;
    ctx.sender.failure_status = 0;
    ctx.listeners.keeper_watchdog = 0;
    ctx.window.menus.button_enabled = false;
    update_broadcast_menu(ctx);

    reset_send_errors(ctx.queue);
    const char* group = s.MBONE ? s.MBONEIP.c_str() : nullptr;
    if (!open_station(ctx, ctx.controller.host_name.c_str(), group, "", s.StationName.c_str())) {
        // Refused (the operator was told) or fatal (the program ends): idle
        // either way, ready for another Start.
        ctx.sender.broadcast_state = BroadcastState::idle;
        ctx.controller.station_address.clear();
        ctx.window.menus.button_text = "Start Broadcast";
        update_start_menu(ctx);
        update_broadcast_menu(ctx);
        ctx.host->invalidate(true);
        return;
    }
    // A new broadcast counts on from the last one, from a super-block's
    // start: listeners still tuned in take it for a pause, where a counter
    // back at 0 would have them drop the new packets as late.
    ctx.sender.packet_counter = (ctx.sender.packet_counter + 7) & ~7u;
    ctx.sender.first_seq = ctx.sender.packet_counter;
    add_receiver(ctx, ctx.listeners, ctx.station, ctx.queue, on_air(ctx.sender, ctx.script));
    // Live, the outputs start once capture is open: its channels are theirs.
    auto start_outputs = [&ctx] {
        ctx.outputs.started(ctx, ProgramInfo{ctx.state, ctx.state.SamplingRate,
                                             ctx.state.settings_file, program_channels(ctx)});
    };

    if (ctx.live_ring.feed_mode == FeedMode::live_priming) {
        load_fallback(ctx, ctx.fallback, ctx.state, ctx.state);
        if (open_capture(ctx, ctx.capture)) {
            start_outputs();  // its first buffer comes back posted, after this
            // The sender enables the button when live sending begins.
            ctx.sender.broadcast_state = BroadcastState::broadcasting;
        } else {
            finish_stop(ctx);
        }
    } else {
        // A script none of whose songs plays any more gives way to the fallback.
        ctx.sender.playing_fallback = false;
        const bool fallback = ctx.state.FALLBACK_SCRIPT != ctx.state.StationScript &&
                              load_fallback(ctx, ctx.fallback, ctx.state, ctx.state);
        ctx.sender.fallback_script = fallback ? &ctx.fallback.script : nullptr;
        start_outputs();
        ctx.window.menus.button_enabled = true;
        ctx.sender.broadcast_state = BroadcastState::broadcasting;
    }
    update_broadcast_menu(ctx);
    if (!menu_form) ctx.host->invalidate(true);
}

}  // namespace

int send_interval_for_rate(int sampling_rate) {
    switch (sampling_rate) {
        case 8000: return 256;
        case 11025: return 185;
        case 16000: return 128;
        case 22050: return 93;
        case 32000: return 64;
        case 44100: return 46;
        default: return 2048 * 1000 / (sampling_rate > 0 ? sampling_rate : 11025);
    }
}

int controller_startup(Context& ctx, const char* settings_file, bool no_sound_card,
                       bool* needs_station_info, SettingsReport* report) {
    setup_paths(ctx, settings_file && *settings_file ? settings_file : DEFAULT_SETTINGS_FILE);
    if (!allocate_live_ring(ctx.live_ring)) return 0;
    if (no_sound_card) {
        // One notice that waits for nobody: a station set to start by itself
        // goes on the air while it is still open.
        bool live_wanted = read_number_setting(SETTINGS_SECTION, "Mode", 1,
                                               ctx.state.settings_file.c_str()) != 0;
        ctx.host->notice(live_wanted
                             ? "No recording device found: live broadcasting is off, and the "
                               "station plays its script (Mode=1 asks for live)."
                             : "No recording device found: live broadcasting is off. A script "
                               "station needs none.");
    }
    if (report) check_settings_file(ctx.state.settings_file, *report);
    load_settings(ctx, no_sound_card, report);
    if (report) check_network_settings(ctx, *report);
    ctx.live_ring.feed_mode = feed_of_mode(ctx.state.MODE);
    update_start_menu(ctx);
    if (needs_station_info) *needs_station_info = ctx.state.StationLocation.empty();
    return 1;
}

void update_start_menu(Context& ctx) {
    StationState& s = ctx.state;
    ctx.window.menus.start_item_id = Command::start;
    ctx.window.menus.start_enabled = live_feed(ctx) || !s.StationScript.empty();
    ctx.window.menus.button_enabled = ctx.window.menus.start_enabled;
    // Build Script opens the Script Builder in script feed and the live
    // list editor in live feed: usable while idle in both.
    ctx.window.menus.build_script_enabled = true;
}

void update_broadcast_menu(Context& ctx) {
    bool idle = is_idle(ctx);
    ctx.window.menus.start_item_id = idle ? Command::start : Command::stop;
    ctx.window.menus.settings_enabled = idle;
}

void refresh_rate(Context& ctx) {
    StationState& s = ctx.state;
    if (!live_feed(ctx)) {
        int rate = 0, percent = 0;
        read_script_header(s.StationScript.c_str(), &rate, &percent);
        ctx.codec.rate_percent = percent;
    } else {
        set_rate(ctx.codec, s.SamplingRate, s.TransferRate);
    }
}

int open_station_script(Context& ctx, const char* path) {
    ScriptRates rates;
    ctx.script.script_entries = open_script(ctx, ctx.script, ctx.state, path, &rates);
    if (ctx.script.script_entries > 0) take_script_rates(ctx, rates);
    return ctx.script.script_entries;
}

void take_script_rates(Context& ctx, const ScriptRates& rates) {
    set_stream_rate(ctx.state, ctx.codec, rates.sampling_rate, rates.transfer_rate);
    // A percentage above 100 is the script's own; set_rate would make it 90.
    ctx.codec.rate_percent = rates.percent;
}

void start_broadcast(Context& ctx, bool menu_form) {
    StationState& s = ctx.state;
    if (refuse_unusable_settings(ctx)) return;
    set_interp_threshold(ctx);

    if (menu_form) {
        std::string why;
        if (!live_feed(ctx) && !s.StationScript.empty() &&
            !script_readable(s.StationScript, &why)) {
            // As for a script the operator declined: the builder opens to mend it.
            show_message(ctx, true, Buttons::ok | Icon::error,
                         "Cannot open the script %s: %s.\nPlease check StationScript, or make the "
                         "script in the Script Builder.",
                         s.StationScript.c_str(), why.c_str());
            ctx.script.script_entries = 0;
            ctx.sender.failure_status = 1;  // a station without a window ends here
            ctx.host->post_command(Command::build_script);
            update_broadcast_menu(ctx);
            return;
        }
        if (!live_feed(ctx)) {
            if (!s.StationScript.empty()) {
                if (open_station_script(ctx, s.StationScript.c_str()) == 0)
                    play_fallback_instead(ctx);
            } else {
                ctx.host->run_dialog(Dialog::load_script);
            }
            if (ctx.script.script_entries == -1) {
                ctx.script.script_entries = 0;
                ctx.host->post_command(Command::build_script);
            }
        } else {
            ctx.script.script_entries = open_live_list(ctx, ctx.script, s.LiveScript.c_str());
        }
        if (!live_feed(ctx) && ctx.script.script_entries <= 0) {
            // Nothing to play (a song missing, the script declined): the
            // window waits for the operator, a station without one ends.
            ctx.script.script_entries = 0;
            ctx.sender.failure_status = 1;
            update_broadcast_menu(ctx);
            return;
        }
        close_station(ctx);
        ctx.window.menus.button_text = "Stop Broadcast";
        if (look_up_station_address(ctx)) {
            confirm_address(ctx);
            ctx.host->invalidate(true);
        }
        if (s.StationName.empty()) s.StationName = ctx.controller.host_name;
    } else {
        if (!live_feed(ctx) && ctx.script.script_entries <= 0) {
            ctx.host->post_command(Command::start);
            return;
        }
        ctx.window.menus.button_text = "Stop Broadcast";
        if (s.StationName.empty()) {
            char name[65] = {};
            if (gethostname(name, sizeof name - 1) == 0) s.StationName = name;
        }
        if (look_up_station_address(ctx)) confirm_address(ctx);
        if (live_feed(ctx)) ctx.script.script_entries = open_live_list(ctx, ctx.script, s.LiveScript.c_str());
    }
    go_on_air(ctx, menu_form);
}

void stop_broadcast(Context& ctx) {
    if (live_feed(ctx)) {
        ctx.window.hourglass = true;
        ctx.live_ring.feed_mode = FeedMode::live_stopping;
        ctx.sender.broadcast_state = BroadcastState::stop_requested;
        ctx.window.menus.button_enabled = false;
        ctx.controller.stop_requested_ms = ctx.host->time_ms();
        // Capture goes on: the pump closes the sound card after its last
        // cycle, and the sender calls finish_stop once the ring has drained.
        // Closing it here would end the live ticks that drain the ring.
    } else {
        ctx.window.menus.button_enabled = false;
        ctx.window.menus.button_text = "Start Broadcast";
        // No tick runs while the directory is told of the stop.
        ctx.sender.broadcast_state = BroadcastState::transition;
        close_station(ctx);
        ctx.controller.station_address.clear();  // the caption no longer names an address the station left
        ctx.host->invalidate(true);
        ctx.window.menus.button_enabled = true;
        ctx.sender.broadcast_state = BroadcastState::idle;
    }
    update_broadcast_menu(ctx);
}

void on_start_button_ready(Context& ctx) {
    ctx.window.menus.button_enabled = true;
    ctx.host->invalidate(false);
}

void finish_stop(Context& ctx) {
    close_capture(ctx, ctx.capture);  // already closed by the pump, unless the program is ending
    reset_fallback(ctx.fallback);
    ctx.live_ring.feed_mode = FeedMode::live_priming;
    ctx.sender.broadcast_state = BroadcastState::transition;
    ctx.window.hourglass = true;
    ctx.window.menus.button_text = "Start Broadcast";
    ctx.window.menus.button_enabled = false;
    close_station(ctx);
    ctx.controller.station_address.clear();
    ctx.sender.broadcast_state = BroadcastState::idle;
    update_broadcast_menu(ctx);
    ctx.window.menus.button_enabled = true;
    ctx.host->invalidate(true);
    ctx.window.hourglass = false;
}

namespace {

// A stall longer than this (a suspended machine, a debugger) is skipped
// rather than made up: the ticks missed would be late anyway.
constexpr int kLongestCatchUpMs = 2000;
// A late clock is caught up at most this many ticks per interval, so that
// listeners never get a whole second of audio in one burst.
constexpr int kMostTicksPerCall = 2;

bool before(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }

// A live stop that drains this long will not finish by itself: the sound
// card has stopped delivering, so no live tick comes to empty the ring.
constexpr uint32_t kLongestStopMs = 10000;

void end_stuck_stop(Context& ctx) {
    if (ctx.sender.broadcast_state != BroadcastState::stop_requested) return;
    if (ctx.host->time_ms() - ctx.controller.stop_requested_ms < kLongestStopMs) return;
    finish_stop(ctx);  // closes capture too
    show_message(ctx, true, Buttons::ok | Icon::warning,
                 "The sound card delivered nothing for %u seconds after the stop: recording "
                 "was closed and the broadcast ended without its last seconds.",
                 kLongestStopMs / 1000);
}

// Moves the pace clock on by `ticks` of 2048 samples exactly: the whole
// milliseconds of send_interval_ms alone would run 1 % fast at 44100 Hz
// (46 for 46.44 ms), and listeners would fill up with audio they cannot
// play in time. The fraction is kept in 1/SamplingRate milliseconds.
void advance_pace_clock(Context& ctx, uint32_t ticks) {
    const int sampling_rate = ctx.state.SamplingRate;
    const uint32_t rate = sampling_rate > 0 ? static_cast<uint32_t>(sampling_rate) : 11025;
    const uint64_t per_tick = 2048u * 1000u;  // in 1/rate milliseconds
    uint64_t total = ctx.controller.pace_fraction + per_tick * ticks;
    ctx.controller.pace_clock += static_cast<uint32_t>(total / rate);
    ctx.controller.pace_fraction = static_cast<uint32_t>(total % rate);
}

// Steps of the 128 ms timer; `send` runs the due ticks as well.
void timer_step(Context& ctx, bool send) {
    StationState& s = ctx.state;
    if (ctx.controller.pace_clock == 0 && s.AutoStart == 1) {
        s.AutoStart = 2;
        ctx.host->post_command(Command::start_stop);
    }
    if (ctx.web.directory_listed && ctx.listeners.keeper_watchdog < 1500) ++ctx.listeners.keeper_watchdog;
    if (ctx.controller.timer_running) return;
    ctx.controller.timer_running = true;

    end_stuck_stop(ctx);
    if (send) send_due_ticks(ctx);

    if (!s.WEB_LISTEN.empty()) {
        const bool on_air = ctx.sender.broadcast_state != BroadcastState::idle;
        ctx.web_stream.set_udp_listeners(listener_load(ctx, ctx.listeners, on_air, nullptr));
    }
    ++ctx.window.paint_ticks;
    ctx.host->invalidate(false);
    if (ctx.window.paint_ticks == 3 || ctx.window.paint_ticks == 8) {
        ctx.host->invalidate(true);
        ctx.window.blink_phase ^= 1;
        if (ctx.window.paint_ticks == 8) ctx.window.paint_ticks = 0;
    }
    ctx.controller.timer_running = false;
}

}  // namespace

int send_due_ticks(Context& ctx) {
    StationState& s = ctx.state;
    if (!is_sending(ctx)) {
        ctx.controller.pace_clock = 0;
        return PACE_TIMER_MS;
    }
    // A tick is running below us (a message box inside it): try again soon.
    if (ctx.controller.ticks_running) return 1;

    uint32_t now = ctx.host->time_ms();
    if (ctx.controller.pace_clock == 0) {
        ctx.controller.send_interval_ms = send_interval_for_rate(s.SamplingRate);
        ctx.controller.pace_clock = now - static_cast<uint32_t>(ctx.controller.send_interval_ms);
        ctx.controller.pace_fraction = 0;
    }
    const uint32_t interval = static_cast<uint32_t>(ctx.controller.send_interval_ms);
    int32_t behind = static_cast<int32_t>(now - ctx.controller.pace_clock);
    if (behind > kLongestCatchUpMs) {
        const uint64_t rate = s.SamplingRate > 0 ? static_cast<uint64_t>(s.SamplingRate) : 11025;
        uint32_t missed = static_cast<uint32_t>(static_cast<uint64_t>(behind) * rate / (2048 * 1000));
        advance_pace_clock(ctx, missed);
        // Listeners read a frame's place in its super-block from seq mod 8.
        if (ctx.live_ring.feed_mode == FeedMode::script) ctx.sender.packet_counter += missed / 8 * 8;
        debug_trace(ctx, "Clock %d ms behind: %u ticks skipped\n", behind, missed);
    }

    ctx.controller.ticks_running = true;
    uint32_t at_entry = ctx.controller.pace_clock;
    int sent = 0;
    // In live feed the ticks come from the capture messages; the clock only advances.
    bool script = ctx.live_ring.feed_mode == FeedMode::script;
    while (before(ctx.controller.pace_clock, now) && (!script || sent < kMostTicksPerCall)) {
        if (script) {
            broadcast_tick(station_parts(ctx));
            ++sent;
        }
        if (!is_sending(ctx)) break;  // the tick stopped the broadcast
        advance_pace_clock(ctx, 1);
        if (ctx.controller.pace_clock < at_entry) break;  // the clock wrapped around
    }
    ctx.controller.ticks_running = false;
    list_once_on_air(ctx);
    if (!is_sending(ctx)) {
        ctx.controller.pace_clock = 0;
        return PACE_TIMER_MS;
    }
    // Still late: the next two go one interval from now.
    if (before(ctx.controller.pace_clock, now)) return static_cast<int>(interval);
    // Counted from the moment the ticks are done: a fan-out to a full table
    // takes tens of milliseconds, and counting from the entry would make
    // every tick that much late.
    const uint32_t done = ctx.host->time_ms();
    if (!before(done, ctx.controller.pace_clock)) return 1;
    return static_cast<int>(ctx.controller.pace_clock - done) + 1;
}

void pace_tick(Context& ctx) { timer_step(ctx, true); }

void panel_tick(Context& ctx) { timer_step(ctx, false); }

void on_live_tick(Context& ctx) {
    if (is_sending(ctx)) {
        broadcast_tick(station_parts(ctx));
        list_once_on_air(ctx);
    }
}

void on_output_event(Context& ctx) { ctx.outputs.take_news(ctx); }

void on_capture_buffer(Context& ctx, int buffer_id, int recorded, const ProgramAudio* program) {
    on_capture_buffer(ctx, ctx.capture, ctx.live_ring, ctx.codec, ctx.outputs,
                      ctx.sender.packet_counter, buffer_id, recorded, program);
}

void on_socket_writable(Context& ctx) {
    continue_fan_out(ctx, ctx.sender, ctx.listeners, ctx.station, ctx.queue);
    send_next_datagram(ctx, ctx.queue);
}

void on_socket_readable(Context& ctx) {
    if (ctx.station.socket.is_open()) read_station_socket(ctx, ctx.station, ctx.sender.intake);
}

void on_key_released(Context& ctx, HiddenKey key) {
    StationState& s = ctx.state;
    auto set_rates = [&](int rate) {
        if (!is_idle(ctx)) return;
        set_stream_rate(s, ctx.codec, rate, s.TransferRate);
    };
    switch (key) {
        case HiddenKey::rate_11025: set_rates(11025); break;
        case HiddenKey::rate_22050: set_rates(22050); break;
        case HiddenKey::rate_32000: set_rates(32000); break;
        case HiddenKey::rate_44100: set_rates(44100); break;
        case HiddenKey::rate_16000: set_rates(16000); break;
        case HiddenKey::rate_8000: set_rates(8000); break;
        case HiddenKey::transfer_up:
            if (s.TransferRate < s.SamplingRate)
                set_stream_rate(s, ctx.codec, s.SamplingRate, s.TransferRate + 125);
            break;
        case HiddenKey::transfer_down:
            if (s.TransferRate > 640) set_stream_rate(s, ctx.codec, s.SamplingRate, s.TransferRate - 125);
            break;
    }
}

int on_close_request(Context& ctx) {
    if (!is_idle(ctx)) {
        show_message(ctx, true, Buttons::ok, "Please shut down the current broadcast first.");
        return 0;
    }
    if (!ctx.controller.close_done) {
        ctx.controller.close_done = true;
        close_station(ctx);
    }
    return 1;
}

void on_command(Context& ctx, Command command_id) {
    bool idle = is_idle(ctx);
    switch (command_id) {
        case Command::start:
            if (idle) start_broadcast(ctx, true);
            else ctx.host->post_command(Command::start_stop);
            break;
        case Command::stop:
            if (!idle) ctx.host->post_command(Command::start_stop);
            break;
        case Command::exit:
            if (idle) ctx.host->post_close();
            break;
        case Command::online_help:
            open_for_operator(ctx, ONLINE_HELP_URL, nullptr);
            break;
        case Command::build_script:
            if (!idle) break;
            ctx.host->run_dialog(live_feed(ctx) ? Dialog::live_list_editor
                                                : Dialog::script_builder);
            update_start_menu(ctx);
            refresh_rate(ctx);
            break;
        case Command::settings:
            if (!idle) break;
            if (ctx.host->run_dialog(Dialog::options) == 1)
                ctx.host->run_dialog(Dialog::picture_preparation);
            ctx.live_ring.feed_mode = feed_of_mode(ctx.state.MODE);
            update_start_menu(ctx);
            refresh_rate(ctx);
            break;
        case Command::station_info:
            if (idle) ctx.host->run_dialog(Dialog::station_info);
            break;
        case Command::expert_settings:
            if (idle) ctx.host->run_dialog(Dialog::expert_settings);
            break;
        case Command::check_connection:
            open_for_operator(ctx, "chkconn.bat", ctx.program_dir.c_str());
            break;
        case Command::start_stop:
            if (idle) start_broadcast(ctx, false);
            else stop_broadcast(ctx);
            break;
        case Command::about:
            ctx.host->run_dialog(Dialog::about);
            break;
        case Command::next_song:
        case Command::reload_script: {
            const std::string why =
                menu_command(ctx, command_id == Command::next_song ? "next" : "reload");
            if (!why.empty())
                show_message(ctx, true, Buttons::ok | Icon::warning, "%s: %s.",
                             command_id == Command::next_song ? "Next Song" : "Reload Script",
                             why.c_str());
            break;
        }
        case Command::show_messages: {
            auto posted = std::move(ctx.messages.posted);
            ctx.messages.posted.clear();
            for (const auto& [style, text] : posted)
                show_message(ctx, true, style, "%s", text.c_str());
            break;
        }
        case Command::list_station:
            if (is_sending(ctx) && ctx.station.socket.is_open())
                directory_add(ctx, ctx.web, ctx.station.socket.fd(), ctx.station.local_addr_host);
            break;
        default:
            if (command_id >= Command::view_sunday_log && command_id <= Command::view_saturday_log)
                view_log(ctx, kLogNames[static_cast<int>(command_id) -
                                        static_cast<int>(Command::view_sunday_log)]);
            break;
    }
}
