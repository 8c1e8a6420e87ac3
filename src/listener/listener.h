#pragma once
// A listener of one station: it joins, keeps its place with keep-alives
// (the first right after "STARTSEQ": a station drops a listener it has not
// heard from within 4 seconds of its join), joins again when the audio
// stops for 3 seconds, asks for the packets that got lost while the station
// still holds them, keeps the audio in a jitter buffer, follows the song
// texts and fetches the pictures tile by tile. velmora-listen, the tuner
// window and the tests all listen through it.
//
// The owner calls listener_poll whenever the socket is readable and at
// least every 50 ms, takes the notes it leaves (joined, song text, picture
// tiles, ...), and decodes audio with listener_decode.

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

#include "listener/jitter_buffer.h"
#include "platform/udp_socket.h"

struct ListenerConfig {
    sockaddr_in station{};
    sockaddr_in local{};     // the address to listen on (port 0: any)
    bool companion = false;  // receive the companion (double-rate) stream
    std::string user;        // joins as "USERID user" when set
    bool fetch_pictures = false;
    bool smoothing = true;
    int buffer_ms = 1500;  // the playing buffer: a gap is asked for again after half of it
};

// A station answers a join at once; this long without an answer means none
// is on the air at the address.
constexpr uint32_t kListenerNoAnswerMs = 5000;

enum ListenerNoteKind {
    kNoteJoined,            // text: station name; song: what was playing when we came
    kNoteSongText,          // text: the song
    kNotePictureAnnounced,  // column, row: the new picture's tile grid
    kNotePictureTile,       // column, row: a tile of the current picture arrived
    kNotePictureDone,       // a picture is finished or replaced: in finished_pictures
    kNoteRefused,           // text: "Busy", "BUSY ClosedSite" or "IntranetOnly"
    kNoteRejoining,         // no audio for 3 seconds
    kNoteRestarted,         // the station's counter began afresh
};

struct ListenerNote {
    ListenerNoteKind kind;
    std::string text;
    std::string song;
    int column = 0, row = 0;
};

// A picture's tile grid and the tiles that arrived, as 24-bit pixels in
// BMP row order (bottom row first); tiles still missing are grey.
struct ListenerPicture {
    int columns = 0, rows = 0;
    std::vector<uint8_t> pixels;  // columns * 32 * 3 bytes a row
    std::vector<uint8_t> have;    // by row * columns + column
    std::vector<uint8_t> asked;   // requests sent, by tile
    int tiles = 0;                // tiles that arrived
    uint32_t last_request_ms = 0;  // when the last round of requests ended
    int next_tile = 0;             // where the round of requests goes on
    bool active = false;          // its grid is known and tiles are coming
};

struct Listener {
    ListenerConfig config;
    UdpSocket socket;
    bool admitted = false;
    bool refused = false;
    uint32_t session = 0;
    int sampling_rate = 0;
    std::string station_name, song;

    JitterBuffer audio;
    std::vector<uint8_t> flushed;  // decoded when the station's counter began afresh, not yet taken
    ListenerPicture picture;
    std::vector<ListenerPicture> finished_pictures;  // for the owner to keep or drop
    std::vector<ListenerNote> notes;                  // for the owner to take

    int audio_packets = 0, probes = 0, resend_requests = 0;
    uint32_t opened_ms = 0, last_join_ms = 0, last_keepalive_ms = 0, last_audio_ms = 0;
    int packets_since_keepalive = 0;
};

// Opens the socket and sends the join. Returns 1, or 0 with the cause in `error`.
int listener_open(Listener& l, const ListenerConfig& config, uint32_t now_ms, std::string* error);
// Reads the waiting datagrams (at most 16: call again while the socket is
// readable), then sends what is due (joins, keep-alives,
// resend and tile requests).
void listener_poll(Listener& l, uint32_t now_ms);
// One datagram as received from `from` (only the station's are taken).
void listener_receive(Listener& l, const uint8_t* bytes, int size, const sockaddr_in& from,
                      uint32_t now_ms);
// Decodes what is ready into `out` (unsigned 8-bit at the station's rate):
// whole super-blocks, and with `due` the next one even with frames missing.
int listener_decode(Listener& l, bool due, std::vector<uint8_t>& out);
// Received audio not yet decoded, in milliseconds.
int listener_pending_ms(const Listener& l);
// Leaves the station (when admitted), finishes the current picture, closes the socket.
void listener_close(Listener& l);

struct Playout;
// Moves decoded audio into `playout`: whole super-blocks at once, and the
// next one even with frames missing when the player is about to need it
// (or when the start mark is reached with the first block still
// incomplete). What was decoded is also appended to `keep` when given.
void listener_feed(Listener& l, Playout& playout, std::vector<uint8_t>* keep);
