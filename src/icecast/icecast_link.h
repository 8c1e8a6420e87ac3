#pragma once
// The Icecast output's worker: a thread of its own that decodes the
// program, encodes it (Ogg Opus or MP3) and sends it to the server, fed by
// a bounded queue. The station's thread only puts items into the queue and
// never waits for the worker: a server that stalls costs the oldest audio
// (counted), a host name that takes long to look up or a connection that
// hangs costs nothing else. Reconnects with a back-off of 1 s doubling up to
// 30 s (also while another source holds the mount); a refused password is
// tried again every 30 s. A server that takes the stream but no longer
// answers its status page (stopped, frozen) counts as lost.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "icecast/icecast_settings.h"
#include "media/program_audio.h"

// Room for a codec frame (at most 5 + 6145 bytes, read at most 5000), for
// a song text (768 characters) and for 4096 samples of 16-bit stereo; longer
// audio takes several items.
constexpr int PROGRAM_ITEM_BYTES = 16384;
// About 6 s of 44100 Hz stereo, more of mono or codec frames: the worker's
// slack while the server is slow; past it the oldest audio goes.
constexpr int PROGRAM_QUEUE_ITEMS = 64;

constexpr int ICECAST_FIRST_RETRY_MS = 1000;
constexpr int ICECAST_LONGEST_RETRY_MS = 30000;
constexpr int ICECAST_REFUSED_RETRY_MS = 30000;

enum ProgramItemKind {
    ITEM_FRAME,    // one codec frame of the script (decoded by the worker)
    ITEM_AUDIO,    // 16-bit samples at their source's rate and channels
    ITEM_TITLE,    // the song text from here on
};

struct ProgramItem {
    int kind = ITEM_FRAME;
    uint32_t seq = 0;  // of a frame: where it belongs in its super-block
    int length = 0;    // bytes
    int channels = 1, rate = 0;  // of audio
    uint8_t bytes[PROGRAM_ITEM_BYTES];
};

struct IcecastConfig {
    IcecastTarget target;
    std::string user, password;
    int format = ICECAST_OPUS;
    int bitrate = ICECAST_OPUS_BITRATE_DEFAULT;  // kbit/s
    int sampling_rate = 16000;  // of the codec frames
    int channels = 1;           // of the stream (at PROGRAM_OUTPUT_RATE)
    // The stream information the server lists.
    std::string name, description, url, genre;
};

// What the worker tells the station, in order.
enum IcecastEventKind {
    ICECAST_EVENT_ON_AIR,   // connected, the stream headers are out
    ICECAST_EVENT_LOST,     // a connection on the air broke (or a connect failed)
    ICECAST_EVENT_REFUSED,  // the server refused the user or password (HTTP 401)
    ICECAST_EVENT_IN_USE,   // another source feeds the mount (HTTP 403)
};
struct IcecastEvent {
    int kind;
    std::string reason;  // the server's or the system's words
};

// Shared by the station's thread and the worker; outlives whichever of the
// two lets go of it last.
struct IcecastShared {
    std::mutex mutex;
    std::condition_variable wake;
    std::vector<ProgramItem> items = std::vector<ProgramItem>(PROGRAM_QUEUE_ITEMS);
    int head = 0;
    int count = 0;
    bool stopping = false;
    bool finished = false;  // the worker has let go of everything it held
    // A title that was pushed out of a full queue still counts.
    std::string dropped_title;
    bool dropped_title_waiting = false;
    int64_t dropped_items = 0;  // audio items the full queue let go

    std::vector<IcecastEvent> events;
    // Wakes the station's thread after an event; cleared when it lets go.
    std::function<void()> notify;
};

// Stopping a worker: it lets go within a few hundredths of a second
// wherever it is (every socket it uses is non-blocking and every wait ends
// on the stop), so the owner joins it. The one call no stop can cut short
// is the system's look-up of a host name: a worker still inside one when
// this bound has passed is let go of, holding its own share, and ends when
// the look-up returns.
constexpr int ICECAST_STOP_WAIT_MS = 2000;

// A worker's thread and what it shares with the station.
struct IcecastWorker {
    std::shared_ptr<IcecastShared> shared;
    std::thread thread;
};

// Owns the running worker and those stopped and not yet joined; its end
// stops and joins them all (waiting at most ICECAST_STOP_WAIT_MS).
struct IcecastLink {
    IcecastLink() = default;
    IcecastLink(const IcecastLink&) = delete;
    IcecastLink& operator=(const IcecastLink&) = delete;
    ~IcecastLink();

    std::shared_ptr<IcecastShared> shared;  // the running worker's; none when stopped
    std::thread worker;
    std::vector<IcecastWorker> retired;  // asked to stop, not yet joined
};

// Starts the worker on `config`. `notify` is called from the worker's
// thread after each event (it must only post to the station's thread).
void start_icecast_link(IcecastLink& link, const IcecastConfig& config, std::function<void()> notify);
// Asks the worker to close its connection and end, and lets go of it
// without waiting (it is joined once it has ended, at the latest when the
// link ends). Nothing is reported after this.
void stop_icecast_link(IcecastLink& link);
bool icecast_link_running(const IcecastLink& link);

// Queues one item; when the queue is full the oldest audio goes. Never blocks
// on the worker (only on the queue's lock, held for a copy).
void queue_program_item(IcecastLink& link, int kind, uint32_t seq, const uint8_t* bytes, int length);
// Queues audio in items of whole sample frames, as queue_program_item does.
void queue_program_audio(IcecastLink& link, const ProgramAudio& audio);
// Audio items the full queue has let go so far.
int64_t dropped_program_items(const IcecastLink& link);
// The events since the last call, and how many audio items were dropped.
std::vector<IcecastEvent> take_icecast_events(IcecastLink& link, int64_t* dropped_items);
