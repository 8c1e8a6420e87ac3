#include "server/script_source.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/messages.h"
#include "codec/codec_state.h"
#include "codec/sample_file.h"
#include "codec/stream_rate.h"
#include "live/live_ring.h"
#include "media/picture_slots.h"
#include "media/script_table.h"
#include "platform/safe_files.h"
#include "wire/packet.h"
#include "server/sender_state.h"
#include "server/station_socket.h"

namespace {

// Loads the entry's picture into the main slot when it is not the one shown.
// Returns true when it changed (a notice is due).
bool change_picture(Services& services, PictureSlots& pictures, const ScriptEntry& entry) {
    if (strcasecmp(entry.picture, pictures.shown_name.c_str()) == 0) return false;
    load_picture(services, pictures, entry.picture, PICTURE_MAIN);
    pictures.shown_name = entry.picture;
    return true;
}

}  // namespace

const ScriptTable& playing_script(const SenderState& sender, const ScriptTable& script) {
    return sender.playing_fallback && sender.fallback_script ? *sender.fallback_script : script;
}

int script_entries_in_use(const ScriptTable& script) {
    if (!script.loaded) return 0;
    return std::min(script.script_entries, static_cast<int>(script.entries.size()));
}

int current_entry(SenderState& sender, const ScriptTable& script) {
    if (sender.entry_index < 0 || sender.entry_index >= script_entries_in_use(script))
        sender.entry_index = 0;
    return sender.entry_index;
}

void close_song(SenderState& sender) {
    sender.song_file.reset();
    sender.companion_file.reset();
    sender.song_source.close();
}

namespace {

// An entry's seconds in ticks of 2048 samples, less the tick that shows it
// (the countdown runs down to -1).
int live_entry_countdown(int seconds, int sampling_rate) {
    const int64_t rate = sampling_rate > 0 ? sampling_rate : 11025;
    const int64_t ticks = (int64_t(std::max(seconds, 0)) * rate + 1024) / 2048;
    return static_cast<int>(std::clamp<int64_t>(ticks, 1, INT32_MAX)) - 1;
}

}  // namespace

void schedule_live_picture(Services& services, SenderState& sender, const ScriptTable& script,
                           PictureSlots& pictures, const StationSocket& station, FeedMode feed,
                           bool fallback_sent, TickNews& news) {
    int entries = script_entries_in_use(script);
    // Nothing shows before the live audio goes out: the notice would be lost
    // with the tick. The fallback script shows its own.
    if (!feed_takes_ring(feed) || entries == 0 || fallback_sent ||
        sender.picture_countdown >= 0)
        return;
    // The entry on show has had its time. entry_index stays on the entry
    // shown, so that its text goes with its picture (in the song-text
    // datagrams, the join replies and the panel).
    if (sender.live_entry_shown) sender.entry_index = (sender.entry_index + 1) % entries;
    int index = current_entry(sender, script);
    const ScriptEntry& entry = script.entries[index];
    news.song_text = true;
    if (change_picture(services, pictures, entry)) {
        if (!station.socket.is_open()) return;
        debug_trace(services, "Starting BMP %3d: %02ds %s %ld\n", index, entry.count, entry.picture,
                    static_cast<long>(services.host->time_now()));
        news.picture_notice = true;
    }
    // The list counts seconds; the countdown falls once a tick.
    sender.picture_countdown = live_entry_countdown(entry.count, sender.rate->SamplingRate);
    sender.live_entry_shown = true;
}

void take_ring_cues(Services& services, SenderState& sender, PictureSlots& pictures,
                    LiveRing& ring, int entry, TickNews& news) {
    // A cue the sender can no longer reach (its entry was skipped while the
    // ring primed) is taken at once: it is never left to hold the others back.
    auto due = [&ring, entry](const RingCue& cue) {
        const int ahead = (cue.entry - entry + LIVE_RING_SIZE) % LIVE_RING_SIZE;
        const int written = (ring.write_index - entry + LIVE_RING_SIZE) % LIVE_RING_SIZE;
        return ahead == 0 || ahead > written + LIVE_BANK_PACKETS_AHEAD;
    };
    while (!ring.cues.empty() && due(ring.cues.front())) {
        RingCue cue = std::move(ring.cues.front());
        ring.cues.pop_front();
        ring.fallback_sent = cue.fallback;
        if (!cue.fallback) {
            // The live list's entry on show goes out again.
            sender.live_entry_shown = false;
            sender.picture_countdown = -1;
            continue;
        }
        sender.requests.text = cue.text;
        sender.requests.text_due = true;
        if (!cue.picture.empty() && strcasecmp(cue.picture.c_str(), pictures.shown_name.c_str())) {
            load_picture(services, pictures, cue.picture.c_str(), PICTURE_MAIN);
            pictures.shown_name = cue.picture;
            news.picture_notice = true;
        }
    }
}

namespace {

int read_length(FILE* file, int* length) {
    uint8_t bytes[2];
    if (fread(bytes, 1, 2, file) != 2) return 0;
    *length = bytes[0] << 8 | bytes[1];  // big-endian, like every wire field
    return 1;
}

// The companion of a sample file: its last three characters replaced by
// "V40" ("song.VMA" -> "song.V40").
void companion_file_name(const char* song, char* out, int size) {
    snprintf(out, static_cast<size_t>(size), "%s", song);
    int length = static_cast<int>(strlen(out));
    if (length >= 3) memcpy(out + length - 3, "V40", 3);
}

void post_stop(Services& services) { services.host->post_command(Command::start_stop); }

void advance_entry(SenderState& sender, const ScriptTable& script);

// A song that cannot be played is skipped: the operator hears of it once
// per broadcast (from the event loop: the ticks never wait for the box),
// and the script goes on with its next entry. Only when no
// entry can be played does the broadcast stop, as a failure of the station.
FrameResult skip_song(Services& services, SenderState& sender, const ScriptTable& script, int index,
                      const char* song, const char* reason) {
    const int entries = script_entries_in_use(script);
    if (static_cast<int>(sender.unplayable.size()) != entries)
        sender.unplayable.assign(entries, false);
    debug_trace(services, "File reading error %s\n", song);
    if (!sender.unplayable[index]) {
        sender.unplayable[index] = true;
        post_message(services, Buttons::ok | Icon::warning,
                     "Cannot open file %s (%s)\nThe song is skipped; please check the script.",
                     song, reason);
    }
    if (std::count(sender.unplayable.begin(), sender.unplayable.end(), true) >= entries &&
        sender.fallback_script && !sender.playing_fallback) {
        // The fallback script takes over from the next tick on.
        sender.playing_fallback = true;
        sender.unplayable.clear();
        sender.entry_index = sender.repeat_count = 0;
        post_message(services, Buttons::ok | Icon::warning,
                     "No song of the script can be played: the station plays its fallback "
                     "script.");
        return FRAME_GIVE_UP_TO_FALLBACK;
    }
    if (std::count(sender.unplayable.begin(), sender.unplayable.end(), true) >= entries) {
        // Ticks may come before the stop is handled: ask for it once.
        if (!sender.stop_asked) {
            sender.stop_asked = true;
            post_message(services, Buttons::ok | Icon::error,
                         "No song of the script can be played: the broadcast stops.");
            sender.failure_status = 1;
            post_stop(services);
        }
        return FRAME_GIVE_UP;
    }
    advance_entry(sender, script);
    sender.repeat_count = 0;
    return FRAME_SKIPPED;
}

// Opens the song of the current entry (a shuffle group picks one
// of its entries) with its companion file.
FrameResult open_song(Services& services, SenderState& sender, const ScriptTable& script,
                      PictureSlots& pictures, CodecState& codec, const StationSocket& station,
                      TickNews& news) {
    // A song starts a super-block: listeners count on seq mod 8 being the
    // frame's place in it.
    sender.packet_counter = (sender.packet_counter + 7) & ~7u;

    int entries = script_entries_in_use(script);
    int index = current_entry(sender, script);
    if (script.entries[index].count == 0) {
        int group = 0;
        while (index + group < entries && script.entries[index + group].count == 0) ++group;
        index += services.host->rand() % group;
        if (!station.socket.is_open()) return FRAME_FATAL;
        sender.entry_index = index;
    }
    const ScriptEntry& entry = script.entries[index];
    char song[SCRIPT_NAME_SIZE];
    snprintf(song, sizeof song, "%.*s", SCRIPT_NAME_SIZE - 1, entry.song);

    // A regular file only: a pipe named by mistake would hold the station in open().
    std::string why;
    sender.song_file.reset(open_regular_file(song, &why));
    if (!sender.song_file) return skip_song(services, sender, script, index, song, why.c_str());
    SampleFileHeader song_header;
    if (!read_sample_header(sender.song_file.get(), song_header) || !song_header.magic_ok) {
        close_song(sender);
        return skip_song(services, sender, script, index, song, "not a compressed sample file");
    }
    if (index < static_cast<int>(sender.unplayable.size())) sender.unplayable[index] = false;
    codec.rate_percent = song_header.rate_code;
    uint8_t header[kSampleHeaderBytes];

    char companion[SCRIPT_NAME_SIZE];
    companion_file_name(song, companion, sizeof companion);
    sender.companion_file.reset(open_regular_file(companion));
    if (!sender.companion_file) {
        sender.companion_file.reset(open_regular_file(song));
        if (!sender.companion_file) {
            debug_trace(services, "File reading error %s\n", companion);
            close_song(sender);
            post_stop(services);
            return FRAME_GIVE_UP;
        }
        debug_trace(services, "Cannot find %s, using %s\n", companion, song);
    }
    if (fread(header, 1, sizeof header, sender.companion_file.get()) != sizeof header)
        debug_trace(services, "Short header in %s\n", companion);

    if (sender.song_source.open(song, int(song_header.sampling_rate)))
        debug_trace(services, "The outputs play %s\n", sender.song_source.name().c_str());

    news.song_text = true;
    if (change_picture(services, pictures, entry)) {
        if (!station.socket.is_open()) return FRAME_FATAL;
        debug_trace(services, "Starting %3d: %02d x %s %ld\n", index, entry.count, song,
                    static_cast<long>(services.host->time_now()));
        news.picture_notice = true;
    }
    return FRAME_READY;
}

// After the last repeat: a counted entry goes on to the next entry, a
// shuffle group to the first counted entry after it, past the end to 0.
void advance_entry(SenderState& sender, const ScriptTable& script) {
    int entries = script_entries_in_use(script);
    int index = current_entry(sender, script);
    bool shuffled = script.entries[index].count == 0;
    ++index;
    if (shuffled)
        while (index < entries && script.entries[index].count == 0) ++index;
    sender.entry_index = index < entries ? index : 0;
}

// Reads up to 5000 bytes of a frame of `length`. A short read, or a frame
// longer than the payload a file may carry, ends the pass through the song:
// the files move to their end and the next tick finds it over.
int read_frame(FILE* file, int length, uint8_t* out) {
    int wanted = std::min(length, MAX_FILE_FRAME);
    return static_cast<int>(fread(out, 1, static_cast<size_t>(wanted), file));
}

// The next frame pair of the open song and its companion.
void read_frame_pair(Services& services, SenderState& sender, int length) {
    int wanted = std::min(length, MAX_FILE_FRAME);
    int got = read_frame(sender.song_file.get(), length, sender.audio_frame);
    if (got < wanted) {
        debug_trace(services, "File reading error : %d != %d\n", got, wanted);
        fseek(sender.song_file.get(), 0, SEEK_END);
    } else if (length > MAX_FILE_FRAME) {
        debug_trace(services, "Frame of %d bytes cut to %d\n", length, MAX_FILE_FRAME);
        fseek(sender.song_file.get(), 0, SEEK_END);
    }
    // Only what was read goes out; the rest of the buffer is an older frame.
    sender.audio_length = got;

    int companion_length;
    if (!read_length(sender.companion_file.get(), &companion_length)) return;  // the last one goes again
    wanted = std::min(companion_length, MAX_FILE_FRAME);
    got = read_frame(sender.companion_file.get(), companion_length, sender.companion_frame);
    if (got < wanted || companion_length > MAX_FILE_FRAME) {
        debug_trace(services, "File reading error (at %d): %d != %d\n",
                    static_cast<int>(ftell(sender.companion_file.get())), got, wanted);
        fseek(sender.song_file.get(), 0, SEEK_END);
        fseek(sender.companion_file.get(), 0, SEEK_END);
    }
    sender.companion_length = got;
}

}  // namespace

FrameResult next_script_frame(Services& services, SenderState& sender,
                              const ScriptTable& station_script, PictureSlots& pictures,
                              CodecState& codec, const StationSocket& station, TickNews& news) {
    const ScriptTable& script = playing_script(sender, station_script);
    // Every entry may be a song without frames: trying more songs than the
    // table holds in one tick would only go round in circles.
    int songs_left = script_entries_in_use(script) + 1;
    if (sender.requests.next_song && sender.song_file && sender.packet_counter % 8 == 0) {
        sender.requests.next_song = false;
        debug_trace(services, "Next song asked for\n");
        advance_entry(sender, script);
        sender.repeat_count = 0;
        close_song(sender);
    }
    for (;;) {
        if (!sender.song_file) {
            if (songs_left-- == 0) {
                debug_trace(services, "No frames in %d songs\n",
                            script_entries_in_use(script) + 1);
                return FRAME_NONE;
            }
            FrameResult opened =
                open_song(services, sender, script, pictures, codec, station, news);
            if (opened == FRAME_SKIPPED) continue;
            if (opened == FRAME_GIVE_UP_TO_FALLBACK) return FRAME_NONE;
            if (opened != FRAME_READY) return opened;
        }
        int length;
        if (read_length(sender.song_file.get(), &length)) {
            read_frame_pair(services, sender, length);
            return FRAME_READY;
        }
        const ScriptEntry& entry = script.entries[current_entry(sender, script)];
        ++sender.repeat_count;
        // A song without frames is not looped: each repeat would find its end at once.
        bool has_frames = ftell(sender.song_file.get()) > kSampleHeaderBytes;
        if (sender.repeat_count < entry.count && has_frames) {
            debug_trace(services, "Looping     :      %s\n", entry.song);
            fseek(sender.song_file.get(), kSampleHeaderBytes, SEEK_SET);
            fseek(sender.companion_file.get(), kSampleHeaderBytes, SEEK_SET);
            sender.song_source.rewind();
            continue;
        }
        advance_entry(sender, script);
        sender.repeat_count = 0;
        close_song(sender);
    }
}
