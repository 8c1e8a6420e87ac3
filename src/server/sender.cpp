#include "server/sender.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/messages.h"
#include "codec/codec_state.h"
#include "live/live_ring.h"
#include "media/picture_slots.h"
#include "media/program_sink.h"
#include "media/script_table.h"
#include "server/control_datagrams.h"
#include "server/fan_out.h"
#include "server/listener_table.h"
#include "wire/packet.h"
#include "server/script_source.h"
#include "server/sender_state.h"
#include "server/station_parts.h"
#include "server/station_socket.h"

namespace {

// What one pass of the tick (reception to fan-out) ended with.
enum TickOutcome {
    TICK_DONE,          // ran to its end, whether or not anything was sent
    TICK_GIVE_UP,       // the script cannot go on: a stop was posted
    TICK_QUIT,          // "QuitNow!": the pending count stays raised
    TICK_CLOSED,        // the station socket is closed: the program is ending,
                        // or a stop ran in a message loop inside the tick
    TICK_LIVE_STOPPED,  // a live stop has drained
};

// The pump keeps each frame's length in the host-order PacketHeader at the
// start of its ring buffer.
int take_live_frame(const uint8_t* buffer, uint8_t* out) {
    PacketHeader header;
    memcpy(&header, buffer, sizeof header);
    int length = std::min<int>(header.length, MAX_LIVE_FRAME);
    memcpy(out, buffer + PACKET_HEADER_SIZE, static_cast<size_t>(length));
    return length;
}

void report_start_button_ready(const StationParts& ctx) {
    if (ctx.sender.events.start_button_ready) ctx.sender.events.start_button_ready(ctx.services);
}

// The outputs' listeners hear what the UDP listeners hear: the song's
// source where it serves, else the frame itself. Live, the pump hands them
// the captured samples instead.
void feed_outputs(const StationParts& ctx, uint32_t seq) {
    SenderState& sender = ctx.sender;
    if (ctx.live_ring.feed_mode != FeedMode::script) return;
    if (sender.song_source.is_open()) {
        ProgramAudio audio;
        std::string why;
        if (sender.song_source.next(audio, why)) {
            if (audio.frames > 0) ctx.outputs.program_audio(audio);
            return;
        }
        post_message(ctx.services, Buttons::ok | Icon::warning,
                     "Cannot read %s (%s)\nThe outputs play the song's compressed frames "
                     "to its end.", sender.song_source.name().c_str(), why.c_str());
    }
    ctx.outputs.program_frame(seq, sender.audio_frame, sender.audio_length);
}

// The datagrams of the tick in wire form, then the counter moves on.
// `announcement`: the operator's song text for this tick, or null.
void build_tick_datagrams(const StationParts& ctx, const TickNews& news, const char* announcement) {
    SenderState& sender = ctx.sender;
    uint32_t seq = sender.packet_counter;
    sender.audio.size = build_audio(sender.audio.bytes, seq, 0, sender.audio_frame,
                                    sender.audio_length, false);
    if (announcement) {
        sender.song_text.size = build_song_text(sender.song_text.bytes, seq, 0, announcement);
        ctx.outputs.title(announcement);
    } else if (news.song_text) {
        char text[SCRIPT_TEXT_SIZE] = "";
        const ScriptTable& script = playing_script(sender, ctx.script);
        if (script_entries_in_use(script) > 0)
            snprintf(text, sizeof text, "%.*s", SCRIPT_TEXT_SIZE - 1,
                     script.entries[current_entry(ctx.sender, script)].text);
        sender.song_text.size = build_song_text(sender.song_text.bytes, seq, 0, text);
        ctx.outputs.title(text);
    }
    feed_outputs(ctx, seq);
    if (news.picture_notice) {
        const PictureSlot& picture = ctx.pictures.slots[PICTURE_MAIN];
        sender.picture_notice.size = build_picture_notice(sender.picture_notice.bytes, seq, 0,
                                                          picture.width / 32, picture.height / 32);
        ctx.outputs.picture(picture);
    }
    sender.companion.size = build_audio(sender.companion.bytes, seq, 0, sender.companion_frame,
                                        sender.companion_length, true);
    ++sender.packet_counter;
}

// One pass of the tick: reception, the next frames, sending.
TickOutcome run_tick(const StationParts& ctx) {
    SenderState& sender = ctx.sender;
    if (!ctx.station.socket.is_open()) return TICK_CLOSED;  // a catch-up pass after a stop
    switch (receive_control_datagrams(ctx)) {
        case CONTROL_DONE:
            break;
        case CONTROL_QUIT:
            return TICK_QUIT;
        case CONTROL_CLOSED:
            return TICK_CLOSED;
    }

    TickNews news;
    schedule_live_picture(ctx.services, sender, ctx.script, ctx.pictures, ctx.station,
                          ctx.live_ring.feed_mode, ctx.live_ring.fallback_sent, news);
    if (!ctx.station.socket.is_open()) return TICK_CLOSED;

    LiveRing& ring = ctx.live_ring;
    if (ring.feed_mode == FeedMode::live_primed) {
        // Live sending starts on a super-block boundary.
        if (sender.packet_counter % 8 != 0) return TICK_DONE;
        ring.feed_mode = FeedMode::live_sending;
        report_start_button_ready(ctx);
    }
    if (feed_stopping(ring.feed_mode) && sender.packet_counter % 8 == 0 && live_ring_empty(ring)) {
        ring.feed_mode = FeedMode::script;
        reset_live_ring(ring);
        report_start_button_ready(ctx);
        if (sender.broadcast_state == BroadcastState::stop_requested) return TICK_LIVE_STOPPED;
    }

    if (feed_takes_ring(ring.feed_mode)) {
        if (!ring.entries) return TICK_DONE;
        const LiveRingEntry& entry = ring.entries[ring.read_index];
        take_ring_cues(ctx.services, sender, ctx.pictures, ring, ring.read_index, news);
        sender.audio_length = take_live_frame(entry.main, sender.audio_frame);
        sender.companion_length = take_live_frame(entry.companion, sender.companion_frame);
        if (live_ring_empty(ring))
            debug_trace(ctx.services, "Sending queue empty!\n");  // the entry just taken goes out again
        else
            ring.read_index = (ring.read_index + 1) % LIVE_RING_SIZE;
    } else {
        if (ring.feed_mode == FeedMode::live_priming ||
            script_entries_in_use(playing_script(sender, ctx.script)) == 0)
            return TICK_DONE;
        switch (next_script_frame(ctx.services, sender, ctx.script, ctx.pictures, ctx.codec,
                                  ctx.station, news)) {
            case FRAME_READY: break;
            case FRAME_NONE:
            case FRAME_SKIPPED:  // next_script_frame goes on to the next song itself
            case FRAME_GIVE_UP_TO_FALLBACK:
                return TICK_DONE;
            case FRAME_GIVE_UP: return TICK_GIVE_UP;
            case FRAME_FATAL: return TICK_CLOSED;
        }
    }

    // What the operator asked for goes out with this tick; an entry's own
    // text replaces an announcement still waiting.
    OperatorRequests& asked = sender.requests;
    const bool announce = asked.text_due && !news.song_text;
    news.song_text = news.song_text || announce;
    news.picture_notice = news.picture_notice || asked.picture_due;
    asked.text_due = asked.picture_due = false;
    build_tick_datagrams(ctx, news, announce ? asked.text.c_str() : nullptr);
    // A notice goes out only for a picture that could be loaded.
    news.picture_notice = news.picture_notice && !ctx.pictures.slots[PICTURE_MAIN].block.empty();
    // The companion stream flows with the script and once live sending runs.
    news.companion_flowing = !feed_is_live(ring.feed_mode) || feed_takes_ring(ring.feed_mode);
    send_multicast(ctx.services, sender, ctx.station, ctx.queue, news);
    tend_listener_table(ctx.services, ctx.listeners);
    start_fan_out(ctx.services, sender, ctx.listeners, ctx.station, ctx.queue, news);
    return !ctx.station.socket.is_open() ? TICK_CLOSED : TICK_DONE;
}

}  // namespace

void forget_station_traffic(SenderState& sender) {
    sender.intake.head = sender.intake.count = 0;
    sender.intake.paused = false;
    sender.fan_out.active = sender.fan_out.waiting = false;
    sender.fan_out.count = sender.fan_out.sent = 0;
}

int broadcast_tick(const StationParts& ctx) {
    SenderState& sender = ctx.sender;
    if (ctx.services.host->time_now() - sender.load_report_time > LOAD_REPORT_EXPIRY_SECONDS) {
        sender.load_report[0] = 0;
        sender.load_report[1] = 0;
    }

    if (++sender.pending_ticks > 1) {
        debug_trace(ctx.services, "%d CPU not fast enough to catch up with packet sending!!\n",
                    sender.pending_ticks);
        if (sender.pending_ticks >= OVERLOAD_PENDING_TICKS) {
            end_program(ctx.services, EXIT_OVERLOAD);
        }
        return 0;
    }
    if (sender.picture_countdown >= 0) --sender.picture_countdown;

    // Ticks refused while this one ran (a message box inside it) are made up here.
    do {
        switch (run_tick(ctx)) {
            case TICK_DONE: break;
            case TICK_GIVE_UP: --sender.pending_ticks; return 0;
            case TICK_QUIT: return 0;  // every later call is refused; the tenth ends the program
            case TICK_CLOSED:
                // Nothing is pending once the station is closed: the next
                // broadcast must not find its first tick refused.
                sender.pending_ticks = 0;
                return 0;
            case TICK_LIVE_STOPPED:
                sender.pending_ticks = 0;
                if (sender.events.live_stop_drained) sender.events.live_stop_drained(ctx.services);
                return 1;
        }
    } while (--sender.pending_ticks > 0);
    return 1;
}
