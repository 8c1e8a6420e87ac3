#include "listener/listener.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "codec/picture_coder.h"
#include "codec/picture_decoder.h"
#include "codec/super_block.h"
#include "listener/playout.h"
#include "platform/udp_socket.h"
#include "wire/packet.h"

namespace {

// The audio stopped this long: the station lost us (or restarted).
constexpr uint32_t kRejoinAfterMs = 3000;
// A join or its reply got lost: join again after this long.
constexpr uint32_t kJoinRetryMs = 1000;
// Keep-alives well inside the station's 125 packets (5.7 s at 44100 Hz).
constexpr uint32_t kKeepAliveMs = 2000;
constexpr int kKeepAlivePackets = 40;
constexpr uint32_t kTileRetryMs = 500;
constexpr int kTileAsks = 4;
constexpr int kMostTileRequestsPerPoll = 64;
// The player is about to need the next super-block when less than this is
// decoded: a few of its 10-ms feeds, and the time a decode may take.
constexpr int kDueMs = 120;
// Datagrams read by one poll: a picture's tiles come in a burst, and
// decoding 16 of them keeps one poll to a few milliseconds; the rest wait
// for the next.
constexpr int kMostPerPoll = 16;
// Larger grids are not fetched: 64 x 64 tiles is a 2048-pixel square.
constexpr int kMostTiles = 64;
// Resend requests sent by one poll: a burst of losses is asked for over a
// few polls instead of in one flood.
constexpr size_t kMostResendsPerPoll = 8;

// The station's sampling rate from the rate code of its join reply.
int rate_from_code(uint16_t flags) {
    int family = (flags & PF_RATE_44100) ? 44100 : (flags & PF_RATE_22050) ? 22050 : 11025;
    return (flags & PF_RATE_EXACT) ? family : family * 8000 / 11025;
}

void note(Listener& l, ListenerNoteKind kind, std::string text = {}, int column = 0, int row = 0) {
    l.notes.push_back({kind, std::move(text), {}, column, row});
}

void send(Listener& l, uint32_t seq, uint32_t session, uint16_t flags, const void* payload, int length) {
    uint8_t bytes[MAX_DATAGRAM];
    put_packet_header(PacketHeader{seq, session, flags, static_cast<uint16_t>(length)}, bytes);
    if (length > 0) memcpy(bytes + PACKET_HEADER_SIZE, payload, static_cast<size_t>(length));
    udp_send_to(l.socket.fd(), bytes, PACKET_HEADER_SIZE + length, 0, &l.config.station,
                sizeof l.config.station);
}

void join(Listener& l, uint32_t now_ms) {
    std::string text = l.config.user.empty() ? "velmora-listen" : "USERID " + l.config.user;
    send(l, 0, 0, PF_TEXT | (l.config.companion ? PF_COMPANION : 0), text.c_str(),
         static_cast<int>(text.size()) + 1);
    l.last_join_ms = now_ms;
}

void keep_alive(Listener& l, uint32_t now_ms) {
    uint8_t stats[16] = {};
    stats[0] = static_cast<uint8_t>(l.audio_packets);
    stats[2] = static_cast<uint8_t>(l.audio.gaps);
    send(l, 0, l.session, PF_KEEPALIVE, stats, sizeof stats);
    l.last_keepalive_ms = now_ms;
    l.packets_since_keepalive = 0;
}

void send_picture_request(Listener& l, const char* text) {
    send(l, 0, l.session, PF_TEXT | PF_PICTURE, text, static_cast<int>(strlen(text)) + 1);
}

// Hands the current picture to the owner when any tile of it came; it
// stays current (for drawing the tiles just noted) until the next one starts.
void finish_picture(Listener& l) {
    if (l.picture.active && l.picture.tiles > 0) {
        l.finished_pictures.push_back(l.picture);
        note(l, kNotePictureDone);
    }
    l.picture.active = false;
}

// Asks for the tiles still missing, each at most four times; tiles too big
// for one datagram never come and stay grey. A round over the grid sends at
// most kMostTileRequestsPerPoll requests a poll (a forged 64 x 64 grid must
// not make us send 4096 datagrams at once); the next round begins
// kTileRetryMs after one ends.
void request_tiles(Listener& l, uint32_t now_ms) {
    ListenerPicture& p = l.picture;
    const int count = p.columns * p.rows;
    if (p.next_tile >= count) {
        if (now_ms - p.last_request_ms < kTileRetryMs) return;
        p.next_tile = 0;
    }
    for (int sent = 0; p.next_tile < count && sent < kMostTileRequestsPerPoll; ++p.next_tile) {
        const auto index = static_cast<size_t>(p.next_tile);
        if (p.have[index] || p.asked[index] >= kTileAsks) continue;
        ++p.asked[index];
        ++sent;
        char request[32];
        snprintf(request, sizeof request, "GETBMPXY%03d%03d", p.next_tile % p.columns,
                 p.next_tile / p.columns);
        send_picture_request(l, request);
    }
    if (p.next_tile >= count) p.last_request_ms = now_ms;
}

void start_picture(Listener& l, int columns, int rows, uint32_t now_ms) {
    l.picture = ListenerPicture{};
    ListenerPicture& p = l.picture;
    p.columns = columns;
    p.rows = rows;
    p.pixels.assign(static_cast<size_t>(columns) * 32 * 3 * static_cast<size_t>(rows) * 32, 128);
    p.have.assign(static_cast<size_t>(columns * rows), 0);
    p.asked.assign(static_cast<size_t>(columns * rows), 0);
    p.active = true;
    request_tiles(l, now_ms);
}

void on_tile(Listener& l, const char* text, const uint8_t* payload, int length) {
    ListenerPicture& p = l.picture;
    int column = -1, row = -1;
    uint8_t tile[PICTURE_TILE_BYTES];
    // A damaged position ("-01") must not land outside the grid.
    if (sscanf(text + 5, "%3d%3d", &column, &row) != 2 || column < 0 || row < 0 ||
        column >= p.columns || row >= p.rows || !decode_picture_tile(payload + 11, length - 11, tile))
        return;
    const size_t index = static_cast<size_t>(row * p.columns + column);
    const size_t stride = static_cast<size_t>(p.columns) * 32 * 3;
    for (int y = 0; y < 32; ++y)
        memcpy(&p.pixels[(static_cast<size_t>(row) * 32 + static_cast<size_t>(y)) * stride +
                         static_cast<size_t>(column) * 96],
               &tile[y * 96], 96);
    if (!p.have[index]) ++p.tiles;
    p.have[index] = 1;
    note(l, kNotePictureTile, {}, column, row);
    if (p.tiles == p.columns * p.rows) finish_picture(l);
}

void on_text(Listener& l, const ReceivedDatagram& d, uint32_t now_ms) {
    const char* text = reinterpret_cast<const char*>(d.payload);
    const int length = d.header.length;
    auto after = [&](int at) -> const char* { return at < length ? text + at : ""; };
    if (strcmp(text, "STARTSEQ") == 0) {
        const char* name = after(9);
        const char* song = after(9 + static_cast<int>(strlen(name)) + 1);
        // The station's counter is 4 ahead of the reply's seq. Far ahead of
        // ours, the station started afresh. In a new session (joined again
        // after a silence) a counter behind ours is a restarted station
        // counting from 0 again: waiting for it to pass the old one would
        // drop everything as late; one past what the station can resend
        // follows a pause: nothing of it comes back, and starting afresh
        // adds no silence to the delay.
        const uint32_t counter = d.header.seq + 4;
        JitterBuffer& jb = l.audio;
        // Audio at another rate is another stream, even when the counters are near.
        const bool new_rate =
            l.sampling_rate != 0 && rate_from_code(d.header.flags) != l.sampling_rate;
        const bool new_stream =
            d.header.session != l.session && (counter + kFramesPerSuperBlock < jb.next_base ||
                                              counter > jb.highest + kStationResendStore);
        if (jb.started && (new_rate || new_stream || counter > jb.highest + kJitterLongestGap)) {
            jitter_restart(jb, l.flushed);
            ++jb.restarts;
            note(l, kNoteRestarted);
        }
        l.session = d.header.session;
        l.sampling_rate = rate_from_code(d.header.flags);
        l.station_name = name;
        l.admitted = true;
        l.last_audio_ms = now_ms;
        keep_alive(l, now_ms);  // the station keeps only listeners it hears from
        l.song = song;
        note(l, kNoteJoined, name);
        l.notes.back().song = song;
        // The picture being shown was announced before we came: ask for it.
        if (l.config.fetch_pictures) send_picture_request(l, "GETPAL");
    } else if (strcmp(text, "SONGTEXT") == 0) {
        l.song = after(9);
        note(l, kNoteSongText, l.song);
    } else if (strncmp(text, "BMPPAL", 6) == 0 && length >= 12) {
        int columns = 0, rows = 0;
        sscanf(text + 6, "%3d%3d", &columns, &rows);
        const bool notice = length > 12;  // the sender's notice ends with a NUL, the reply does not
        if (notice) {
            note(l, kNotePictureAnnounced, {}, columns, rows);
            if (l.config.fetch_pictures) {
                finish_picture(l);
                send_picture_request(l, "GETPAL");
            }
        } else if (l.config.fetch_pictures && columns > 0 && rows > 0 && columns <= kMostTiles &&
                   rows <= kMostTiles && !l.picture.active) {
            start_picture(l, columns, rows, now_ms);
        }
    } else if (strncmp(text, "BMPXY", 5) == 0 && length >= 11 && l.picture.active) {
        on_tile(l, text, d.payload, length);
    } else if (!l.admitted && (strcmp(text, "Busy") == 0 || strcmp(text, "BUSY") == 0 ||
                               strcmp(text, "IntranetOnly") == 0)) {
        l.refused = true;
        note(l, kNoteRefused, strcmp(text, "BUSY") == 0 ? std::string("BUSY ") + after(5) : text);
    }
}

void on_audio(Listener& l, const ReceivedDatagram& d, uint32_t now_ms) {
    const bool is_companion = d.header.flags & PF_COMPANION;
    if (is_companion != l.config.companion || !l.admitted) return;
    ++l.audio_packets;
    l.last_audio_ms = now_ms;
    if (++l.packets_since_keepalive >= kKeepAlivePackets) keep_alive(l, now_ms);
    if (jitter_store(l.audio, d.header.seq, d.payload, d.header.length, now_ms, l.flushed) ==
        kJitterRestarted)
        note(l, kNoteRestarted);
}

}  // namespace

int listener_open(Listener& l, const ListenerConfig& config, uint32_t now_ms, std::string* error) {
    l = Listener{};
    l.config = config;
    l.audio.smoothing = config.smoothing;
    l.socket = udp_open();
    if (!l.socket.is_open() ||
        udp_bind(l.socket.fd(), config.local.sin_addr.s_addr, ntohs(config.local.sin_port)) != 0 ||
        udp_set_nonblocking(l.socket.fd()) != 0) {
        char address[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &config.local.sin_addr, address, sizeof address);
        *error = std::string("cannot open a socket on ") + address + ": " + strerror(errno);
        l.socket.close();
        return 0;
    }
    l.opened_ms = now_ms;
    join(l, now_ms);
    return 1;
}

void listener_receive(Listener& l, const uint8_t* bytes, int size, const sockaddr_in& from,
                      uint32_t now_ms) {
    if (from.sin_addr.s_addr != l.config.station.sin_addr.s_addr ||
        from.sin_port != l.config.station.sin_port)
        return;
    ReceivedDatagram d;
    if (!parse_datagram(bytes, size, d)) return;
    if (d.header.flags & PF_AUDIO) on_audio(l, d, now_ms);
    else if (d.header.flags & PF_UPGRADE) ++l.probes;
    else if (d.header.flags & PF_TEXT) on_text(l, d, now_ms);
}

void listener_poll(Listener& l, uint32_t now_ms) {
    if (!l.socket.is_open()) return;
    uint8_t bytes[MAX_DATAGRAM];
    for (int i = 0; i < kMostPerPoll && udp_readable(l.socket.fd()) > 0; ++i) {
        sockaddr_in from{};
        int from_len = sizeof from;
        const int n = udp_receive_from(l.socket.fd(), bytes, sizeof bytes, &from, &from_len);
        if (n < 0) break;
        const size_t notes_before = l.notes.size();
        listener_receive(l, bytes, n, from, now_ms);
        // A join may bring another rate or stream: the caller takes it (and
        // what the old stream left) before the audio that follows it.
        if (l.notes.size() > notes_before && l.notes.back().kind == kNoteJoined) break;
    }
    if (l.refused) return;
    if (!l.admitted && now_ms - l.last_join_ms > kJoinRetryMs) join(l, now_ms);
    if (l.admitted && now_ms - l.last_audio_ms > kRejoinAfterMs && now_ms - l.last_join_ms > kRejoinAfterMs) {
        note(l, kNoteRejoining);
        join(l, now_ms);
    }
    if (!l.admitted) return;
    if (now_ms - l.last_keepalive_ms > kKeepAliveMs) keep_alive(l, now_ms);
    // The resend store holds the station's audio stream only.
    if (!l.config.companion)
        for (uint32_t seq :
             jitter_resends_due(l.audio, now_ms, static_cast<uint32_t>(l.config.buffer_ms / 2),
                                kMostResendsPerPoll)) {
            send(l, seq, l.session, PF_KEEPALIVE, nullptr, 0);
            ++l.resend_requests;
        }
    if (l.picture.active) request_tiles(l, now_ms);
}

int listener_decode(Listener& l, bool due, std::vector<uint8_t>& out) {
    if (!l.flushed.empty()) {
        const int n = static_cast<int>(l.flushed.size());
        out.insert(out.end(), l.flushed.begin(), l.flushed.end());
        l.flushed.clear();
        return n;
    }
    return jitter_decode_next(l.audio, due, out);
}

int listener_pending_ms(const Listener& l) {
    if (l.sampling_rate <= 0) return 0;
    return static_cast<int>(int64_t(jitter_pending_frames(l.audio)) * kFrameSamples * 1000 / l.sampling_rate);
}

void listener_close(Listener& l) {
    if (!l.socket.is_open()) return;
    if (l.admitted) send(l, 0, l.session, PF_LEAVE, nullptr, 0);
    finish_picture(l);
    l.socket.close();
}

void listener_feed(Listener& l, Playout& playout, std::vector<uint8_t>* keep) {
    std::vector<uint8_t> decoded;
    for (;;) {
        while (listener_decode(l, false, decoded) > 0) {
        }
        const int buffered = playout_buffered_ms(playout) +
                             static_cast<int>(int64_t(decoded.size()) * 1000 / std::max(l.sampling_rate, 1));
        const bool due = buffered < kDueMs &&
                         (playout.playing || buffered + listener_pending_ms(l) >= playout.mark_ms);
        if (!due || listener_decode(l, true, decoded) == 0) break;
    }
    playout_add(playout, decoded.data(), decoded.size());
    if (keep) keep->insert(keep->end(), decoded.begin(), decoded.end());
}
