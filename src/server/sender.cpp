#include "server/sender.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/messages.h"
#include "codec/codec_state.h"
#include "icecast/icecast_output.h"
#include "live/datagram_queue.h"
#include "live/live_ring.h"
#include "media/picture_slots.h"
#include "media/script_table.h"
#include "server/listener_table.h"
#include "server/sender_state.h"
#include "server/station_parts.h"
#include "server/station_socket.h"
#include "codec/sample_file.h"
#include "platform/udp_socket.h"
#include "server/picture_service.h"

namespace {

constexpr int kSampleHeaderBytes = 16;  // "VMA ", rate, rate code, zeros
constexpr char kQuitText[] = "QuitNow!";
// A tick reads at most this many control datagrams; the rest wait for the
// next tick. Without a bound a flood (or a buggy listener) faster than the
// handlers would hold the tick, and every listener's audio, for as long as
// it lasts. One request per listener and tick stays well inside it.
constexpr int kMaxControlDatagramsPerTick = LISTENER_TABLE_SIZE;

// What one pass of the tick (reception to fan-out) ended with.
enum TickOutcome {
    TICK_DONE,          // ran to its end, whether or not anything was sent
    TICK_GIVE_UP,       // the script cannot go on: a stop was posted
    TICK_QUIT,          // "QuitNow!": the pending count stays raised
    TICK_CLOSED,        // the station socket is closed: the program is ending,
                        // or a stop ran in a message loop inside the tick
    TICK_LIVE_STOPPED,  // a live stop has drained
};

enum FrameResult {
    FRAME_READY,
    FRAME_NONE,
    FRAME_GIVE_UP,
    FRAME_FATAL,
    FRAME_SKIPPED,  // the song could not be played: the next entry is due
};

// News of a tick: what goes out beside the audio.
struct TickNews {
    bool song_text = false;
    bool picture_notice = false;
};

bool repeater_set(const StationState& state) {
    return !state.RepeaterIP.empty() && state.RepeaterIP[0] != ' ';
}

int table_entries(const StationParts& ctx) {
    if (!ctx.script.loaded) return 0;
    return std::min(ctx.services.state.script_entries, static_cast<int>(ctx.script.entries.size()));
}

// Keeps the entry index inside the table (a new, shorter table may have been loaded).
int current_entry(const StationParts& ctx) {
    if (ctx.sender.entry_index < 0 || ctx.sender.entry_index >= table_entries(ctx))
        ctx.sender.entry_index = 0;
    return ctx.sender.entry_index;
}

bool main_picture_loaded(const StationParts& ctx) {
    return !ctx.pictures.slots[PICTURE_MAIN].block.empty();
}

bool station_closed(const StationParts& ctx) { return ctx.station.socket < 0; }

const uint8_t* address_bytes(const sockaddr_in& addr) {
    return reinterpret_cast<const uint8_t*>(&addr.sin_addr.s_addr);
}

// ---- reception ---------------------------------------------------------

// Answers to the address and port of the listener's entry, never to the
// request's port: a forged request cannot aim the audio elsewhere.
void resend_from_store(const StationParts& ctx, const ListenerEntry& listener, uint32_t seq,
                       uint32_t session) {
    for (ResendSlot& slot : ctx.sender.resend) {
        PacketHeader stored = get_packet_header(slot.bytes);
        if (!(stored.flags & PF_AUDIO) || stored.seq != seq) continue;
        put_wire_session(slot.bytes, session);
        // Straight out, not through the queue: a resend is worth nothing late.
        udp_send_to(ctx.station.socket, slot.bytes, stored.length + PACKET_HEADER_SIZE, 0,
                    &listener.addr, listener.addr_len);
        ++ctx.sender.counters.resends_sent;
        return;
    }
}

// PF_KEEPALIVE: a keep-alive (length > 0) or a resend request (length 0).
// A listener with an active entry is refreshed and served; an entry that
// has aged out is revived only as a join would be admitted (and only when
// its listener had been heard before): a stranger could otherwise have
// audio sent to any address it names as its own.
void handle_keepalive(const StationParts& ctx, const sockaddr_in& from, const ReceivedDatagram& datagram) {
    int index = hear_listener(ctx, from);
    if (index < 0) index = revive_listener(ctx, from);
    if (index >= 0) ctx.listeners.entries[index].age = 0;

    const uint8_t* a = address_bytes(from);
    if (datagram.header.length != 0) {
        char line[128];
        int used = snprintf(line, sizeof line, "%d.%d.%d.%d ", a[0], a[1], a[2], a[3]);
        for (int pair = 0; pair < 8 && 2 * pair < datagram.header.length; ++pair)
            used += snprintf(line + used, sizeof line - used, "%d", datagram.payload[2 * pair]);
        debug_trace(ctx.services, "%s\n", line);
        return;
    }
    debug_trace(ctx.services, "%d.%d.%d.%d Recover %d", a[0], a[1], a[2], a[3],
                static_cast<int>(datagram.header.seq));
    if (index < 0) {
        debug_trace(ctx.services, "Recover refused: %d.%d.%d.%d is not listening\n", a[0], a[1], a[2], a[3]);
        return;
    }
    ++ctx.sender.counters.resend_requests;
    resend_from_store(ctx, ctx.listeners.entries[index], datagram.header.seq,
                      datagram.header.session);
}

void read_load_report(const StationParts& ctx, const ReceivedDatagram& datagram) {
    SenderState& sender = ctx.sender;
    int listeners = sender.load_report[0];
    int second = sender.load_report[1];
    sscanf(reinterpret_cast<const char*>(datagram.payload), "%d/%d", &listeners, &second);
    sender.load_report[0] = listeners;
    sender.load_report[1] = second;
    sender.load_report_time = ctx.services.host->time_now();
}

// Runs the handlers of one datagram in their fixed order; several may run.
// Returns TICK_DONE, TICK_QUIT or TICK_CLOSED.
TickOutcome dispatch(const StationParts& ctx, const sockaddr_in& from, int from_len,
                     const ReceivedDatagram& datagram) {
    uint16_t flags = datagram.header.flags;
    const char* text = reinterpret_cast<const char*>(datagram.payload);
    debug_trace(ctx.services, "[%04X]", flags);
    const uint8_t* a = address_bytes(from);
    // Only a forger sends from the station's own address and port, to have
    // it answer itself for ever; a listener on the station's machine has a
    // port of its own.
    if (from.sin_addr.s_addr == ctx.station.local_addr_net &&
        ntohs(from.sin_port) == ctx.services.state.STATION_PORT) {
        debug_trace(ctx.services, "from the station's own port, ignored\n");
        return TICK_DONE;
    }
    if (is_station_reply(flags, datagram.payload, datagram.header.length)) {
        debug_trace(ctx.services, "a station's datagram from %d.%d.%d.%d ignored\n", a[0], a[1], a[2], a[3]);
        return TICK_DONE;
    }
    // Joins and queries are answered to whatever address they carry: the
    // admission limits decide before anything is sent.
    bool join = (flags & PF_TEXT) && !(flags & PF_PICTURE);
    bool answered = !(join || (flags & PF_MULTICAST_QUERY)) ||
                    admit_request(ctx.services, ctx.listeners.admission, from,
                                  join && is_heard_listener(ctx.listeners, from));

    if (flags & PF_LOAD_REPORT) read_load_report(ctx, datagram);
    if ((flags & PF_LEAVE) && !(flags & PF_PICTURE)) handle_leave(ctx, from);
    if (flags & PF_TEXT) {
        if (join) {
            if (answered) handle_join(ctx, from, from_len, flags & PF_COMPANION, text);
        } else if (hear_listener(ctx, from) >= 0) {
            // A tile reply is some 5 kB for a 14-byte request: only a
            // listener in the table gets one, or a forger could aim them
            // at anybody.
            handle_picture_request(ctx, from, from_len, text, datagram.header.session);
        } else {
            debug_trace(ctx.services, "picture request from %d.%d.%d.%d ignored: not listening\n", a[0],
                        a[1], a[2], a[3]);
        }
        if (station_closed(ctx)) return TICK_CLOSED;
    }
    if ((flags & PF_MULTICAST_QUERY) && answered) handle_multicast_query(ctx, from, from_len);
    if (flags & PF_UPGRADE) {
        hear_listener(ctx, from);
        if (ctx.services.state.Stream2X) handle_upgrade(ctx, from, text);
    }
    if (flags & PF_KEEPALIVE) handle_keepalive(ctx, from, datagram);
    if (station_closed(ctx)) return TICK_CLOSED;

    if (strcmp(text, kQuitText) == 0) {
        if (quit_allowed_from(ctx.station, from)) return TICK_QUIT;
        debug_trace(ctx.services, "QuitNow! from %d.%d.%d.%d ignored\n", a[0], a[1], a[2], a[3]);
    }
    return TICK_DONE;
}

// Step 4: the waiting control datagrams, in the order they arrived.
TickOutcome receive_control_datagrams(const StationParts& ctx) {
    if (!read_station_socket(ctx)) return TICK_CLOSED;
    ReceiveIntake& intake = ctx.sender.intake;
    for (int handled = 0; intake.count > 0; ++handled) {
        if (handled == kMaxControlDatagramsPerTick) {
            debug_trace(ctx.services, "%d control datagrams read, the rest wait\n", handled);
            break;
        }
        // The slot is free once taken: the datagram is parsed before any
        // handler can run a message loop that reads the socket again.
        const UdpReceived& slot = intake.slots[intake.head];
        sockaddr_in from = slot.from;
        intake.head = (intake.head + 1) % INTAKE_SLOTS;
        --intake.count;
        switch (handle_control_datagram(ctx, from, slot.from_len, slot.bytes, slot.size)) {
            case CONTROL_DONE: break;
            case CONTROL_QUIT: return TICK_QUIT;
            case CONTROL_CLOSED: return TICK_CLOSED;
        }
    }
    if (intake.paused) {
        intake.paused = false;
        ctx.services.host->set_read_notification(ctx.station.socket, true);
    }
    return TICK_DONE;
}

// ---- pictures ------------------------------------------------------------

// Loads the entry's picture into the main slot when it is not the one shown.
// Returns true when it changed (a notice is due).
bool change_picture(const StationParts& ctx, const ScriptEntry& entry) {
    if (strcasecmp(entry.picture, ctx.pictures.shown_name.c_str()) == 0) return false;
    load_picture(ctx.services, ctx.pictures, entry.picture, PICTURE_MAIN);
    ctx.pictures.shown_name = entry.picture;
    return true;
}

// Step 5, live feed: the live list's pictures change on their own clock.
void schedule_live_picture(const StationParts& ctx, TickNews& news) {
    SenderState& sender = ctx.sender;
    int entries = table_entries(ctx);
    if (ctx.services.state.feed_mode == FEED_SCRIPT || entries == 0 || sender.picture_countdown >= 0) return;
    int index = current_entry(ctx);
    const ScriptEntry& entry = ctx.script.entries[index];
    news.song_text = true;
    if (change_picture(ctx, entry)) {
        if (station_closed(ctx)) return;
        debug_trace(ctx.services, "Starting BMP %3d: %02ds %s %ld\n", index, entry.count, entry.picture,
                    static_cast<long>(ctx.services.host->time_now()));
        news.picture_notice = true;
    }
    sender.picture_countdown = entry.count;
    sender.entry_index = (index + 1) % entries;
}

// ---- the script's sample files -----------------------------------------

int read_length(FILE* file, int* length) {
    uint8_t bytes[2];
    if (fread(bytes, 1, 2, file) != 2) return 0;
    *length = bytes[0] << 8 | bytes[1];  // big-endian, like every wire field
    return 1;
}

void close_song(SenderState& sender) {
    if (sender.song_file) fclose(sender.song_file);
    if (sender.companion_file) fclose(sender.companion_file);
    sender.song_file = nullptr;
    sender.companion_file = nullptr;
}

// The companion of a sample file: its last three characters replaced by
// "V40" ("song.VMA" -> "song.V40").
void companion_file_name(const char* song, char* out, int size) {
    snprintf(out, static_cast<size_t>(size), "%s", song);
    int length = static_cast<int>(strlen(out));
    if (length >= 3) memcpy(out + length - 3, "V40", 3);
}

void post_stop(const StationParts& ctx) { ctx.services.host->post_command(Command::start_stop); }

void advance_entry(const StationParts& ctx);

// A song that cannot be played is skipped: the operator hears of it once
// per broadcast (from the event loop: the ticks never wait for the box),
// and the script goes on with its next entry. Only when no
// entry can be played does the broadcast stop, as a failure of the station.
FrameResult skip_song(const StationParts& ctx, int index, const char* song, const char* reason) {
    SenderState& sender = ctx.sender;
    const int entries = table_entries(ctx);
    if (static_cast<int>(sender.unplayable.size()) != entries) sender.unplayable.assign(entries, false);
    debug_trace(ctx.services, "File reading error %s\n", song);
    if (!sender.unplayable[index]) {
        sender.unplayable[index] = true;
        post_message(ctx.services, Buttons::ok | Icon::warning,
                     "Cannot open file %s (%s)\nThe song is skipped; please check the script.",
                     song, reason);
    }
    if (std::count(sender.unplayable.begin(), sender.unplayable.end(), true) >= entries) {
        // Ticks may come before the stop is handled: ask for it once.
        if (!sender.stop_asked) {
            sender.stop_asked = true;
            post_message(ctx.services, Buttons::ok | Icon::error,
                         "No song of the script can be played: the broadcast stops.");
            ctx.services.state.failure_status = 1;
            post_stop(ctx);
        }
        return FRAME_GIVE_UP;
    }
    advance_entry(ctx);
    sender.repeat_count = 0;
    return FRAME_SKIPPED;
}

// Step 8.1: opens the song of the current entry (a shuffle group picks one
// of its entries) with its companion file.
FrameResult open_song(const StationParts& ctx, TickNews& news) {
    SenderState& sender = ctx.sender;
    // A song starts a super-block: listeners count on seq mod 8 being the
    // frame's place in it.
    sender.packet_counter = (sender.packet_counter + 7) & ~7u;

    int entries = table_entries(ctx);
    int index = current_entry(ctx);
    if (ctx.script.entries[index].count == 0) {
        int group = 0;
        while (index + group < entries && ctx.script.entries[index + group].count == 0) ++group;
        index += ctx.services.host->rand() % group;
        if (station_closed(ctx)) return FRAME_FATAL;
        sender.entry_index = index;
    }
    const ScriptEntry& entry = ctx.script.entries[index];
    char song[SCRIPT_NAME_SIZE];
    snprintf(song, sizeof song, "%.*s", SCRIPT_NAME_SIZE - 1, entry.song);

    sender.song_file = fopen(song, "rb");
    if (!sender.song_file) return skip_song(ctx, index, song, strerror(errno));
    SampleFileHeader song_header;
    if (!read_sample_header(sender.song_file, song_header) || !song_header.magic_ok) {
        close_song(sender);
        return skip_song(ctx, index, song, "not a compressed sample file");
    }
    if (index < static_cast<int>(sender.unplayable.size())) sender.unplayable[index] = false;
    ctx.codec.rate_percent = song_header.rate_code;
    uint8_t header[kSampleHeaderBytes];

    char companion[SCRIPT_NAME_SIZE];
    companion_file_name(song, companion, sizeof companion);
    sender.companion_file = fopen(companion, "rb");
    if (!sender.companion_file) {
        sender.companion_file = fopen(song, "rb");
        if (!sender.companion_file) {
            debug_trace(ctx.services, "File reading error %s\n", companion);
            close_song(sender);
            post_stop(ctx);
            return FRAME_GIVE_UP;
        }
        debug_trace(ctx.services, "Cannot find %s, using %s\n", companion, song);
    }
    if (fread(header, 1, sizeof header, sender.companion_file) != sizeof header)
        debug_trace(ctx.services, "Short header in %s\n", companion);

    news.song_text = true;
    if (change_picture(ctx, entry)) {
        if (station_closed(ctx)) return FRAME_FATAL;
        debug_trace(ctx.services, "Starting %3d: %02d x %s %ld\n", index, entry.count, song,
                    static_cast<long>(ctx.services.host->time_now()));
        news.picture_notice = true;
    }
    return FRAME_READY;
}

// After the last repeat: a counted entry goes on to the next entry, a
// shuffle group to the first counted entry after it, past the end to 0.
void advance_entry(const StationParts& ctx) {
    int entries = table_entries(ctx);
    int index = current_entry(ctx);
    bool shuffled = ctx.script.entries[index].count == 0;
    ++index;
    if (shuffled)
        while (index < entries && ctx.script.entries[index].count == 0) ++index;
    ctx.sender.entry_index = index < entries ? index : 0;
}

// Reads up to 5000 bytes of a frame of `length`. A short read, or a frame
// longer than the payload a file may carry, ends the pass through the song:
// the files move to their end and the next tick finds it over.
int read_frame(FILE* file, int length, uint8_t* out) {
    int wanted = std::min(length, MAX_FILE_FRAME);
    return static_cast<int>(fread(out, 1, static_cast<size_t>(wanted), file));
}

// Steps 8.2 to 8.4: the next frame pair.
void read_frame_pair(const StationParts& ctx, int length) {
    SenderState& sender = ctx.sender;
    int wanted = std::min(length, MAX_FILE_FRAME);
    int got = read_frame(sender.song_file, length, sender.audio_frame);
    if (got < wanted) {
        debug_trace(ctx.services, "File reading error : %d != %d\n", got, wanted);
        fseek(sender.song_file, 0, SEEK_END);
    } else if (length > MAX_FILE_FRAME) {
        debug_trace(ctx.services, "Frame of %d bytes cut to %d\n", length, MAX_FILE_FRAME);
        fseek(sender.song_file, 0, SEEK_END);
    }
    // Only what was read goes out; the rest of the buffer is an older frame.
    sender.audio_length = got;

    int companion_length;
    if (!read_length(sender.companion_file, &companion_length)) return;  // the last one goes again
    wanted = std::min(companion_length, MAX_FILE_FRAME);
    got = read_frame(sender.companion_file, companion_length, sender.companion_frame);
    if (got < wanted || companion_length > MAX_FILE_FRAME) {
        debug_trace(ctx.services, "File reading error (at %d): %d != %d\n",
                    static_cast<int>(ftell(sender.companion_file)), got, wanted);
        fseek(sender.song_file, 0, SEEK_END);
        fseek(sender.companion_file, 0, SEEK_END);
    }
    sender.companion_length = got;
}

// Step 8: the next frame pair of the script, opening, looping and moving on
// from songs as they end.
FrameResult next_script_frame(const StationParts& ctx, TickNews& news) {
    SenderState& sender = ctx.sender;
    // Every entry may be a song without frames: trying more songs than the
    // table holds in one tick would only go round in circles.
    int songs_left = table_entries(ctx) + 1;
    for (;;) {
        if (!sender.song_file) {
            if (songs_left-- == 0) {
                debug_trace(ctx.services, "No frames in %d songs\n", table_entries(ctx) + 1);
                return FRAME_NONE;
            }
            FrameResult opened = open_song(ctx, news);
            if (opened == FRAME_SKIPPED) continue;
            if (opened != FRAME_READY) return opened;
        }
        int length;
        if (read_length(sender.song_file, &length)) {
            read_frame_pair(ctx, length);
            return FRAME_READY;
        }
        const ScriptEntry& entry = ctx.script.entries[current_entry(ctx)];
        ++sender.repeat_count;
        // A song without frames is not looped: each repeat would find its end at once.
        bool has_frames = ftell(sender.song_file) > kSampleHeaderBytes;
        if (sender.repeat_count < entry.count && has_frames) {
            debug_trace(ctx.services, "Looping     :      %s\n", entry.song);
            fseek(sender.song_file, kSampleHeaderBytes, SEEK_SET);
            fseek(sender.companion_file, kSampleHeaderBytes, SEEK_SET);
            continue;
        }
        advance_entry(ctx);
        sender.repeat_count = 0;
        close_song(sender);
    }
}

// ---- live feed ---------------------------------------------------------

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

// ---- sending -----------------------------------------------------------

// Step 9: the datagrams of the tick in wire form, then the counter moves on.
void build_tick_datagrams(const StationParts& ctx, const TickNews& news) {
    SenderState& sender = ctx.sender;
    uint32_t seq = sender.packet_counter;
    sender.audio.size = build_audio(sender.audio.bytes, seq, 0, sender.audio_frame,
                                    sender.audio_length, false);
    if (news.song_text) {
        char text[SCRIPT_TEXT_SIZE] = "";
        if (table_entries(ctx) > 0)
            snprintf(text, sizeof text, "%.*s", SCRIPT_TEXT_SIZE - 1,
                     ctx.script.entries[current_entry(ctx)].text);
        sender.song_text.size = build_song_text(sender.song_text.bytes, seq, 0, text);
        icecast_program_title(ctx.services, ctx.icecast, text);
    }
    // The Icecast listeners hear what the UDP listeners hear; live, the
    // pump hands it the captured samples instead.
    if (ctx.services.state.feed_mode == FEED_SCRIPT)
        icecast_program_frame(ctx.services, ctx.icecast, seq, sender.audio_frame,
                              sender.audio_length);
    if (news.picture_notice) {
        const PictureSlot& picture = ctx.pictures.slots[PICTURE_MAIN];
        sender.picture_notice.size = build_picture_notice(sender.picture_notice.bytes, seq, 0,
                                                          picture.width / 32, picture.height / 32);
    }
    sender.companion.size = build_audio(sender.companion.bytes, seq, 0, sender.companion_frame,
                                        sender.companion_length, true);
    ++sender.packet_counter;
}

// A stop taken in the message loop of a send error box closes the station
// in the middle of the fan-out: what is left of the tick is not sent.
void send_datagram(const StationParts& ctx, const WireDatagram& datagram, const sockaddr_in& to, int to_len) {
    if (station_closed(ctx)) return;
    bsendto(ctx.services, ctx.queue, ctx.station.socket, datagram.bytes, datagram.size, 0, &to, to_len);
}

// Step 10: one copy of everything to the multicast group.
void send_multicast(const StationParts& ctx, const TickNews& news) {
    if (!ctx.services.state.MBONE || !ctx.station.multicast) return;
    const sockaddr_in& group = ctx.station.multicast_dest;
    SenderState& sender = ctx.sender;
    if (news.song_text) send_datagram(ctx, sender.song_text, group, sizeof group);
    if (news.picture_notice && main_picture_loaded(ctx))
        send_datagram(ctx, sender.picture_notice, group, sizeof group);
    send_datagram(ctx, sender.audio, group, sizeof group);
}

// Step 11: every active listener, stamped with its admission time; then
// everybody ages by one tick. The tick's datagrams are batched, a listener's
// in the order song text, picture notice, companion audio, audio.
void add_to_batch(FanOut& fan_out, const WireDatagram& datagram, const ListenerEntry& listener) {
    int k = fan_out.count++;
    memcpy(fan_out.heads[k], datagram.bytes, PACKET_HEADER_SIZE);
    put_wire_session(fan_out.heads[k], listener.joined);
    fan_out.addrs[k] = listener.addr;
    int addr_len = listener.addr_len;
    if (addr_len <= 0 || addr_len > static_cast<int>(sizeof listener.addr)) addr_len = sizeof listener.addr;
    fan_out.messages[k] = UdpMessage{&fan_out.addrs[k], addr_len, fan_out.heads[k],
                                     PACKET_HEADER_SIZE, datagram.bytes + PACKET_HEADER_SIZE,
                                     datagram.size - PACKET_HEADER_SIZE};
    // What any IPv4 path carries whole: 576 bytes with the IP and UDP headers.
    constexpr int kUnfragmentedMost = 576 - 28;
    if (datagram.size > kUnfragmentedMost) fan_out.batch_small = false;
}

// Fills the next batch from the table, ageing each listener taken.
void fill_batch(const StationParts& ctx) {
    SenderState& sender = ctx.sender;
    FanOut& f = sender.fan_out;
    f.count = f.sent = 0;
    f.batch_small = true;
    constexpr int kMostPerListener = 4;
    while (f.next_listener < LISTENER_TABLE_SIZE && f.count + kMostPerListener <= FAN_OUT_BATCH) {
        int i = f.next_listener++;
        ListenerEntry& listener = ctx.listeners.entries[i];
        if (listener.age >= AGE_FREE) continue;
        if (f.song_text) add_to_batch(f, sender.song_text, listener);
        if (f.picture_notice) add_to_batch(f, sender.picture_notice, listener);
        if ((listener.mode & 1) && f.companion_flowing) add_to_batch(f, sender.companion, listener);
        if ((listener.mode & 2) || listener.mode == 0) {
            add_to_batch(f, sender.audio, listener);
            if (!f.stored) {
                memcpy(sender.resend[sender.resend_write].bytes, sender.audio.bytes,
                       static_cast<size_t>(sender.audio.size));
                sender.resend_write = (sender.resend_write + 1) % RESEND_SLOTS;
                f.stored = true;
            }
        }
        if (!(i == 0 && f.slot0_kept)) ++listener.age;
    }
}

void send_to_listeners(const StationParts& ctx, const TickNews& news) {
    FanOut& f = ctx.sender.fan_out;
    if (f.active) {
        // The socket could not take the last tick in time: what it still
        // holds back is late now and goes no more.
        continue_fan_out(ctx);
        if (f.active) {
            ++f.cut_short;
            debug_trace(ctx.services, "Fan-out cut short at listener %d (%d)\n", f.next_listener, f.cut_short);
        }
    }
    f.active = true;
    f.waiting = false;
    f.count = f.sent = 0;
    f.next_listener = 0;
    f.song_text = news.song_text;
    f.picture_notice = news.picture_notice && main_picture_loaded(ctx);
    f.companion_flowing = ctx.services.state.feed_mode == FEED_SCRIPT ||
                          ctx.services.state.feed_mode >= FEED_LIVE_SENDING;
    // The repeater of RepeaterIP holds slot 0 for good.
    f.slot0_kept = repeater_set(ctx.services.state);
    f.stored = false;
    continue_fan_out(ctx);
}

// Steps 4 to 11: one pass of the tick.
TickOutcome run_tick(const StationParts& ctx) {
    if (station_closed(ctx)) return TICK_CLOSED;  // a catch-up pass after a stop
    TickOutcome received = receive_control_datagrams(ctx);
    if (received != TICK_DONE) return received;

    TickNews news;
    schedule_live_picture(ctx, news);
    if (station_closed(ctx)) return TICK_CLOSED;

    StationState& state = ctx.services.state;
    SenderState& sender = ctx.sender;
    LiveRing& ring = ctx.live_ring;
    if (state.feed_mode == FEED_LIVE_PRIMED) {
        // Live sending starts on a super-block boundary.
        if (sender.packet_counter % 8 != 0) return TICK_DONE;
        state.feed_mode = FEED_LIVE_SENDING;
        report_start_button_ready(ctx);
    }
    if (state.feed_mode >= 4 && sender.packet_counter % 8 == 0 && live_ring_empty(ring)) {
        state.feed_mode = FEED_SCRIPT;
        reset_live_ring(ring);
        report_start_button_ready(ctx);
        if (state.broadcast_state == BS_STOP_REQUESTED) return TICK_LIVE_STOPPED;
    }

    if (state.feed_mode >= FEED_LIVE_SENDING) {
        if (!ring.entries) return TICK_DONE;
        const LiveRingEntry& entry = ring.entries[ring.read_index];
        sender.audio_length = take_live_frame(entry.main, sender.audio_frame);
        sender.companion_length = take_live_frame(entry.companion, sender.companion_frame);
        if (live_ring_empty(ring))
            debug_trace(ctx.services, "Sending queue empty!\n");  // the entry just taken goes out again
        else
            ring.read_index = (ring.read_index + 1) % LIVE_RING_SIZE;
    } else {
        if (state.feed_mode == FEED_LIVE_PRIMING || table_entries(ctx) == 0) return TICK_DONE;
        switch (next_script_frame(ctx, news)) {
            case FRAME_READY: break;
            case FRAME_NONE:
            case FRAME_SKIPPED:  // next_script_frame goes on to the next song itself
                return TICK_DONE;
            case FRAME_GIVE_UP: return TICK_GIVE_UP;
            case FRAME_FATAL: return TICK_CLOSED;
        }
    }

    build_tick_datagrams(ctx, news);
    send_multicast(ctx, news);
    tend_listener_table(ctx);
    send_to_listeners(ctx, news);
    return station_closed(ctx) ? TICK_CLOSED : TICK_DONE;
}

}  // namespace

int read_station_socket(const StationParts& ctx) {
    ReceiveIntake& intake = ctx.sender.intake;
    for (;;) {
        if (station_closed(ctx)) return 0;
        int socket = ctx.station.socket;
        if (intake.count == INTAKE_SLOTS) {
            // Full: the rest stays in the kernel until a tick has made room.
            if (!intake.paused) ctx.services.host->set_read_notification(socket, false);
            intake.paused = true;
            return 1;
        }
        int tail = (intake.head + intake.count) % INTAKE_SLOTS;
        int room = std::min(INTAKE_SLOTS - intake.count, INTAKE_SLOTS - tail);
        for (int i = tail; i < tail + room; ++i) {
            intake.slots[i].bytes = intake.storage[i];
            intake.slots[i].capacity = INTAKE_DATAGRAM_BYTES;
        }
        int got = udp_receive_many(socket, &intake.slots[tail], room);
        if (got == 0) return 1;
        if (got > 0) {
            intake.count += got;
            continue;
        }
        int error = errno;
        // An ICMP message about a listener that went away comes back as a
        // refused or reset "connection"; it says nothing about us.
        if (error == ECONNREFUSED || error == ECONNRESET) {
            debug_trace(ctx.services, "recvfrom: a listener has gone (%d)\n", winsock_error_code(error));
            continue;
        }
        if (error == EINTR) continue;
        if (socket_would_block(error)) return 1;
        station_fatal(ctx.services, "recvfrom", error, EXIT_SOCKET_FAILED);
        return 0;
    }
}

namespace {

// Sends batches until the tick's fan-out is done or the socket is full
// (0), or a datagram fails (its error code; that datagram is passed over).
int send_batches(const StationParts& ctx) {
    FanOut& f = ctx.sender.fan_out;
    const int socket = ctx.station.socket;
    // A batch of datagrams small enough for any path goes out with "don't
    // fragment": the system then skips choosing a fragment id for each, a
    // fifth of its cost per datagram. Larger ones (and the replies sent
    // between two fan-outs) go as before.
    bool dont_fragment = false;
    int error = 0;
    while (f.active && !error) {
        if (station_closed(ctx)) {
            f.active = false;
            return 0;  // the socket is gone
        }
        if (f.sent == f.count) {
            fill_batch(ctx);
            if (f.count == 0) {
                f.active = false;
                break;
            }
        }
        if (f.batch_small != dont_fragment && udp_set_dont_fragment(socket, f.batch_small) == 0)
            dont_fragment = f.batch_small;
        errno = 0;
        int gone = f.send(socket, f.messages + f.sent, f.count - f.sent);
        f.sent += std::max(gone, 0);
        ctx.sender.counters.fan_out_sent += std::max(gone, 0);
        if (f.sent == f.count) continue;
        int code = errno;
        if (socket_would_block(code)) {
            f.waiting = true;
            ctx.services.host->request_write_notification(socket);
            break;
        }
        if (code == EINTR) continue;
        ++f.sent;
        error = code;
    }
    if (dont_fragment) udp_set_dont_fragment(socket, false);
    return error;
}

}  // namespace

void continue_fan_out(const StationParts& ctx) {
    FanOut& f = ctx.sender.fan_out;
    f.waiting = false;
    while (f.active && !f.waiting) {
        int error = send_batches(ctx);
        // Any failure but a full socket concerns one datagram (its
        // destination, mostly): it is lost, the other listeners' go on. The
        // operator hears of each kind of failure once.
        if (error) report_send_error(ctx.services, ctx.queue, error);
    }
}

void forget_station_traffic(const StationParts& ctx) {
    SenderState& sender = ctx.sender;
    sender.intake.head = sender.intake.count = 0;
    sender.intake.paused = false;
    sender.fan_out.active = sender.fan_out.waiting = false;
    sender.fan_out.count = sender.fan_out.sent = 0;
}

int handle_control_datagram(const StationParts& ctx, const sockaddr_in& from, int from_len,
                            const uint8_t* bytes, int size) {
    ReceivedDatagram& datagram = ctx.sender.received;
    if (!parse_datagram(bytes, size, datagram)) {
        debug_trace(ctx.services, "Datagram of %d bytes ignored\n", size);
        return CONTROL_DONE;
    }
    switch (dispatch(ctx, from, from_len, datagram)) {
        case TICK_QUIT: return CONTROL_QUIT;
        case TICK_CLOSED: return CONTROL_CLOSED;
        default: return CONTROL_DONE;
    }
}

bool quit_allowed_from(const StationSocket& station, const sockaddr_in& from) {
    uint32_t addr = from.sin_addr.s_addr;
    if (addr == station.local_addr_net) return true;
    return station.master_known && addr == station.master.sin_addr.s_addr;
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
