#include "app/status_text.h"

#include <cstdio>

#include "app/context.h"
#include "server/script_source.h"
#include "codec/set_rate.h"
#include "server/listener_table.h"

std::string rate_line(int transfer_rate) {
    char text[64];
    snprintf(text, sizeof text, "%d.%dkbps (%s)", transfer_rate * 8 / 1000,
             (transfer_rate * 8 / 100) % 10, connection_class(transfer_rate));
    return text;
}

std::string elapsed_text(int64_t d) {
    char text[64];
    long days = static_cast<long>(d / 86400), hours = static_cast<long>(d / 3600 % 24);
    long minutes = static_cast<long>(d / 60 % 60), seconds = static_cast<long>(d % 60);
    if (d >= 86400)
        snprintf(text, sizeof text, "%ldd %ldh %ldm %lds", days, hours, minutes, seconds);
    else if (d >= 3600)
        snprintf(text, sizeof text, "%ldh %ldm %lds", hours, minutes, seconds);
    else
        snprintf(text, sizeof text, "%ldm %lds", minutes, seconds);
    return text;
}

const char* broadcast_state_word(const Context& ctx) {
    switch (ctx.sender.broadcast_state) {
        case BroadcastState::broadcasting: return "BROADCASTING";
        case BroadcastState::stop_requested: return "STOPPING";
        case BroadcastState::transition: return "STARTING";
        default: return "IDLE";
    }
}

std::string listeners_line(Context& ctx) {
    int load = 0;  // bits per second
    const bool on_air = ctx.sender.broadcast_state != BroadcastState::idle;
    int active = listener_load(ctx, ctx.listeners, on_air, &load);
    int bandwidth = ctx.state.BANDWIDTH > 0 ? ctx.state.BANDWIDTH : 1;
    int percent = static_cast<int>(static_cast<int64_t>(load) * 100 / bandwidth);
    char text[64];
    if (ctx.listeners.repeater_present)  // the repeater's count comes off the network: any int
        snprintf(text, sizeof text, "%lld(R) - %d%%",
                 static_cast<long long>(ctx.sender.load_report[0]) + active - 1, percent);
    else
        snprintf(text, sizeof text, "%d - %d%%", active, percent);
    return text;
}

const char* feed_word(const Context& ctx) {
    if (ctx.live_ring.feed_mode == FeedMode::script)
        return ctx.sender.playing_fallback ? "fallback" : "script";
    return ctx.fallback.on_air ? "fallback" : "live";
}

std::string now_playing(const Context& ctx) {
    if (ctx.sender.broadcast_state == BroadcastState::idle) return "Stopped";
    // A live feed's fallback script names its song as a script does.
    const bool fallback = ctx.fallback.on_air && ctx.live_ring.feed_mode != FeedMode::script;
    const auto& entries = fallback ? ctx.fallback.script.entries
                                   : playing_script(ctx.sender, ctx.script).entries;
    int index = fallback ? ctx.fallback.entry : ctx.sender.entry_index;
    bool have_entry = index >= 0 && index < static_cast<int>(entries.size());
    std::string text = ctx.live_ring.feed_mode != FeedMode::script ? "Live" : "";
    if (fallback) text = "Fallback";
    if (have_entry) {
        const ScriptEntry& e = entries[index];
        if (ctx.live_ring.feed_mode == FeedMode::script) text = e.song;
        if (fallback) text += std::string(" ") + e.song;
        if (e.picture[0]) text += std::string(" [") + e.picture + "]";
        if (e.text[0]) text += std::string(" \"") + e.text + "\"";
    }
    return text;
}

std::string audio_type(const Context& ctx, int capture_rate) {
    std::string text = ctx.state.SamplingRate == 8000 ? "Voice" : "Music";
    // The mark is about the sound card: a script broadcast records nothing.
    bool recording = ctx.sender.broadcast_state != BroadcastState::idle && ctx.live_ring.feed_mode != FeedMode::script;
    text += recording && capture_rate != ctx.state.SamplingRate ? '*' : ' ';
    return text;
}

std::string outputs_line(const Context& ctx) {
    std::string line;
    for (const auto& sink : ctx.outputs.outputs) {
        std::string one = output_status_line(ctx, *sink);
        if (!one.empty()) line += (line.empty() ? "" : " | ") + one;
    }
    return line;
}
