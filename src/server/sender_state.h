#pragma once
// State of the scheduled sender, one instance for the process.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "media/song_source.h"
#include "platform/safe_files.h"
#include "platform/udp_socket.h"
#include "wire/packet.h"

constexpr int RESEND_SLOTS = 80;
// A load report older than this is forgotten (its numbers read 0).
constexpr int LOAD_REPORT_EXPIRY_SECONDS = 15;
// The pending-tick count at which the sender gives up (overload).
constexpr int OVERLOAD_PENDING_TICKS = 11;

struct ResendSlot {
    uint8_t bytes[MAX_DATAGRAM];  // a whole audio datagram exactly as sent (network order)
};

// The outgoing datagrams of a tick are kept in wire form (network order),
// built once per tick; only `session` is restamped for each listener.
struct WireDatagram {
    uint8_t bytes[MAX_DATAGRAM];
    int size = 0;  // header + payload bytes
};

struct ScriptTable;
struct Services;

// Whether the station is on the air: the controller starts and stops a
// broadcast; the sender and the status read it.
enum class BroadcastState { idle, broadcasting, stop_requested, transition };

// News of a tick: what goes out beside the audio.
struct TickNews {
    bool song_text = false;
    bool picture_notice = false;
    bool companion_flowing = false;  // the companion stream goes out (not while live primes)
};

// Control datagrams wait here from the moment the socket has them until the
// next tick handles them in arrival order. Reading as soon as the socket is
// readable keeps the kernel's receive buffer from overflowing when a full
// table sends its keep-alives. A request is a short text: a datagram is
// kept up to 256 payload bytes, which every request fits with room to spare.
constexpr int INTAKE_SLOTS = 8192;
constexpr int INTAKE_DATAGRAM_BYTES = PACKET_HEADER_SIZE + 256;

struct ReceiveIntake {
    uint8_t storage[INTAKE_SLOTS][INTAKE_DATAGRAM_BYTES];
    UdpReceived slots[INTAKE_SLOTS];
    int head = 0;         // oldest waiting datagram
    int count = 0;
    bool paused = false;  // full: read notifications are off until a tick makes room
};

// The tick's datagrams to every listener go out in batches; a socket that is
// full keeps the rest of the tick waiting here until it can be written.
constexpr int FAN_OUT_BATCH = 256;

struct FanOut {
    UdpMessage messages[FAN_OUT_BATCH];
    uint8_t heads[FAN_OUT_BATCH][PACKET_HEADER_SIZE];  // restamped with each listener's session
    sockaddr_in addrs[FAN_OUT_BATCH];
    int count = 0;             // messages in the batch
    int sent = 0;              // of which gone
    int next_listener = 0;     // first table entry not yet in a batch
    bool active = false;       // a tick's fan-out is under way
    bool waiting = false;      // the socket was full: a write notification is due
    bool song_text = false;    // what the tick carries besides the audio
    bool picture_notice = false;
    bool companion_flowing = false;
    bool slot0_kept = false;
    bool stored = false;       // the tick's audio is in the resend store
    bool batch_small = false;  // every datagram of the batch fits any path unfragmented
    int cut_short = 0;         // fan-outs a new tick found still waiting
    // The send itself. Tests put a stand-in in front of udp_send_many to
    // make the socket full on demand.
    std::function<int(int socket, const UdpMessage* messages, int count)> send = udp_send_many;
};

// What the sender reports to whoever drives it (the controller). Set by
// make_context; a test may put its own functions here.
struct SenderEvents {
    void (*start_button_ready)(Services&) = nullptr;  // live sending began or ended: the button works
    void (*live_stop_drained)(Services&) = nullptr;  // a live stop may now finish
};

// What the status endpoint counts, from the start of the process.
struct SenderCounters {
    int64_t fan_out_sent = 0;     // datagrams of the ticks sent to listeners
    int64_t resend_requests = 0;  // resend requests of listeners in the table
    int64_t resends_sent = 0;     // of which the audio was still in the store
};

// What the operator asked for from outside the script (the control
// socket, the window's menu), carried out by the next ticks.
struct OperatorRequests {
    // End the song at the next super-block's start (its eight frames carry
    // interleaved slices of the same audio) and go on with the next entry.
    bool next_song = false;
    // A song text for the next tick; it stays until the next entry's own.
    bool text_due = false;
    std::string text;
    bool picture_due = false;  // the main picture was changed: a notice is due
};

struct StreamRate;

struct SenderState {
    // The stream's rates, pointed at by the program (the live list counts
    // seconds, the sender ticks).
    const StreamRate* rate = nullptr;
    BroadcastState broadcast_state = BroadcastState::idle;
    // Non-zero once the station failed for good (no song of the script can
    // be played): the exit status the program ends with.
    int failure_status = 0;
    SenderEvents events;
    SenderCounters counters;
    int pending_ticks = 0;       // re-entrance guard
    uint32_t packet_counter = 0; // the `seq` of the audio datagrams
    uint32_t first_seq = 0;      // the counter when this broadcast began

    // Frames of the tick in host order: the audio and companion payloads as
    // read from the sample files or taken from the live ring.
    uint8_t audio_frame[MAX_PAYLOAD];
    int audio_length = 0;
    uint8_t companion_frame[MAX_PAYLOAD];
    int companion_length = 0;  // kept when the companion file runs out first

    WireDatagram audio;
    WireDatagram companion;
    WireDatagram song_text;
    WireDatagram picture_notice;

    // Control datagrams are read into the intake, away from the audio frame,
    // so that a listener's request can never leak into what others are sent.
    ReceiveIntake intake;
    ReceivedDatagram received;  // the one being handled, in host order, NUL-terminated
    FanOut fan_out;

    // The audio of the last 80 ticks sent to listeners, one copy per tick.
    ResendSlot resend[RESEND_SLOTS];
    int resend_write = 0;

    int entry_index = 0;
    int repeat_count = 0;
    // Entries whose song could not be opened this broadcast (told once each).
    std::vector<bool> unplayable;
    bool stop_asked = false;  // none of them can be played: the stop is posted
    // The fallback script of a script broadcast, when it can play (null:
    // none), and whether it plays because no song of the script could.
    const ScriptTable* fallback_script = nullptr;
    bool playing_fallback = false;
    OwnedFile song_file;
    OwnedFile companion_file;
    // The song's source WAV, read for the outputs while it serves.
    SongSource song_source;
    // Live lists: ticks the entry on show (entry_index) has still to run,
    // and whether one is on show this broadcast.
    int picture_countdown = -1;
    bool live_entry_shown = false;
    OperatorRequests requests;
    int load_report[2] = {0, 0};
    int64_t load_report_time = 0;
};
