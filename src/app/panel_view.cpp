#include "app/panel_view.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "app/context.h"
#include "server/script_source.h"
#include "app/status_text.h"

namespace {

// asctime's own names: strftime would follow LC_TIME.
const char* const kDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool local_time(int64_t t, struct tm* out) {
    time_t value = static_cast<time_t>(t);
    return localtime_r(&value, out) != nullptr;
}

bool on_air(const Context& ctx) { return ctx.sender.broadcast_state != BroadcastState::idle; }

}  // namespace

std::string clock_text(int64_t t) {
    struct tm tm {};
    if (!local_time(t, &tm)) return "----";
    char text[64];
    snprintf(text, sizeof text, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", kDays[tm.tm_wday % 7],
             kMonths[tm.tm_mon % 12], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
             1900 + tm.tm_year);
    return text;
}

std::string start_time_text(const Context& ctx) {
    if (!on_air(ctx)) return "----";
    std::string text = clock_text(ctx.station.broadcast_start_time);
    // Without the weekday in front and the year behind.
    size_t year = text.rfind(' ');
    if (text.size() < 4 || year == std::string::npos || year < 4) return text;
    return text.substr(4, year - 4);
}

std::string elapsed_line(const Context& ctx) {
    if (!on_air(ctx)) return "----";
    int64_t d = ctx.host->time_now() - ctx.station.broadcast_start_time;
    return elapsed_text(d < 0 ? 0 : d);
}

bool broadcasting_visible(const Context& ctx) { return ctx.window.blink_phase == 1 && on_air(ctx); }

NowPlayingLines now_playing_lines(const Context& ctx) {
    NowPlayingLines lines;
    if (!on_air(ctx)) {
        lines.first = "Stopped";
        return lines;
    }
    bool live = ctx.live_ring.feed_mode != FeedMode::script;
    if (live) lines.first = "Live";
    // A live feed's fallback script shows its song as a script does.
    const bool fallback = live && ctx.fallback.on_air;
    const ScriptTable& script = fallback ? ctx.fallback.script
                                         : playing_script(ctx.sender, ctx.script);
    const auto& entries = script.entries;
    int index = fallback ? ctx.fallback.entry : ctx.sender.entry_index;
    if (script.script_entries <= 0 || index < 0 || index >= static_cast<int>(entries.size()))
        return lines;
    const ScriptEntry& e = entries[index];
    if (!live) lines.first = e.song;
    if (fallback) lines.first = std::string("Fallback: ") + e.song;
    lines.picture = e.picture;
    lines.text = e.text;
    return lines;
}

std::string caption_text(Context& ctx) {
    const std::string& address = ctx.controller.station_address;
    return std::string(PROGRAM_TITLE) + " " + (address.empty() ? "" : address + " ") + "[" +
           listeners_line(ctx) + "]";
}

int lamp_frame(bool directory_listed, int keeper_watchdog) {
    if (!directory_listed) return 0;
    if (keeper_watchdog <= 1400) return 1;
    return keeper_watchdog % 2 ? 0 : 2;
}

int meter_width(int peak_level, int meter_pixels) {
    if (peak_level <= 0 || meter_pixels <= 0) return 0;
    return std::min(meter_pixels, 3 * std::min(peak_level, meter_pixels));
}

int button_face(bool enabled, bool broadcasting, bool pressed) {
    if (!enabled) return 2;
    int face = broadcasting ? 4 : 1;
    return pressed ? face - 1 : face;
}
