#pragma once
// The script as a source of frames for the sender: its songs' sample files
// opened, looped and moved on from in script order, and the pictures of
// the script or live list that go with them.

#include "live/live_ring.h"

struct CodecState;
struct PictureSlots;
struct ScriptTable;
struct SenderState;
struct Services;
struct StationSocket;
struct TickNews;

enum FrameResult {
    FRAME_READY,    // the frame pair is in the sender's audio and companion frames
    FRAME_NONE,     // no song gave a frame this tick
    FRAME_GIVE_UP,  // the script cannot go on: a stop was posted
    FRAME_FATAL,    // the station closed while a picture or the shuffle ran
    FRAME_SKIPPED,  // the song could not be played: the next entry is due
    FRAME_GIVE_UP_TO_FALLBACK,  // no song can be played: the fallback script is due
};

// The script the sender plays: the station's, or its fallback script once
// no song of the station's could be played.
const ScriptTable& playing_script(const SenderState& sender, const ScriptTable& script);
// The entries a tick may use: those loaded and counted in script_entries.
int script_entries_in_use(const ScriptTable& script);
// The entry the sender is at, moved back to 0 when a new, shorter table
// has been loaded since.
int current_entry(SenderState& sender, const ScriptTable& script);

// The next frame pair of the script into the sender's frames, opening,
// looping and moving on from songs as they end. A new song sets the rate
// the codec reports and may change the main picture (news tells what).
FrameResult next_script_frame(Services& services, SenderState& sender,
                              const ScriptTable& station_script,
                              PictureSlots& pictures, CodecState& codec,
                              const StationSocket& station, TickNews& news);
// Live feed: the live list's pictures change on their own clock.
void schedule_live_picture(Services& services, SenderState& sender, const ScriptTable& script,
                           PictureSlots& pictures, const StationSocket& station, FeedMode feed,
                           bool fallback_sent, TickNews& news);
// Live feed: the cues of the ring entry the sender has just taken. A song
// of the fallback script has its text (an announcement of `sender`) and its
// picture go out and holds the live list back; the capture's return lets
// the live list show its entry again.
void take_ring_cues(Services& services, SenderState& sender, PictureSlots& pictures,
                    LiveRing& ring, int entry, TickNews& news);
// Closes the song and companion files, when open.
void close_song(SenderState& sender);
