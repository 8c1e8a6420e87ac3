#pragma once
// The datagram every station and listener exchanges: a 12-byte header and a
// payload of up to 5120 bytes. All header fields travel big-endian; the
// station converts them right after reception and right before sending and
// keeps them in host order in between.
//
//   offset  width  field
//   0       4      seq      packet counter (audio) or a value relative to it
//   4       4      session  the listener's admission time, seconds since 1970
//   8       2      flags    PF_ bits below
//   10      2      length   payload bytes that follow the header
//   12      length payload

#include <cstdint>

class Host;

constexpr int PACKET_HEADER_SIZE = 12;
constexpr int MAX_PAYLOAD = 5120;
constexpr int MAX_DATAGRAM = PACKET_HEADER_SIZE + MAX_PAYLOAD;  // 5132: also the receive buffer
constexpr int MAX_FILE_FRAME = 5000;  // audio payload read from a sample file
constexpr int MAX_LIVE_FRAME = 2112;  // audio payload of a live packet

constexpr uint16_t PF_COMPANION = 0x0001;
constexpr uint16_t PF_MULTICAST_QUERY = 0x0002;
constexpr uint16_t PF_TEXT = 0x0004;
constexpr uint16_t PF_KEEPALIVE = 0x0008;
constexpr uint16_t PF_LEAVE = 0x0010;
constexpr uint16_t PF_LOAD_REPORT = 0x0020;
constexpr uint16_t PF_PICTURE = 0x0080;
constexpr uint16_t PF_RATE_22050 = 0x0100;
constexpr uint16_t PF_RATE_44100 = 0x0200;
constexpr uint16_t PF_RATE_EXACT = 0x0400;
constexpr uint16_t PF_UPGRADE = 0x0800;
constexpr uint16_t PF_AUDIO = 0x8000;

struct PacketHeader {
    uint32_t seq = 0;
    uint32_t session = 0;
    uint16_t flags = 0;
    uint16_t length = 0;
};

// A received datagram in host order. `length` never exceeds the payload bytes
// that arrived, and a NUL always follows them, so a payload read as text
// ends inside what was received.
struct ReceivedDatagram {
    PacketHeader header;
    uint8_t payload[MAX_PAYLOAD + 1];
};

// C: the companion stream's bytes per second for a TransferRate R.
constexpr int companion_rate(int transfer_rate) {
    if (transfer_rate <= 0) return 0;
    return transfer_rate < 3500 ? 2 * transfer_rate : 7000;
}

// The rate code of join and multicast replies for the station's SamplingRate:
// the family bit (none for 11025, PF_RATE_22050, PF_RATE_44100) and
// PF_RATE_EXACT when the rate is the family rate itself.
uint16_t rate_code(int sampling_rate);

// Header to and from its 12 wire bytes (big-endian).
void put_packet_header(const PacketHeader& header, uint8_t* out);
PacketHeader get_packet_header(const uint8_t* in);
// Restamps the session of a datagram already in wire form.
void put_wire_session(uint8_t* datagram, uint32_t session);

// Reads `received` bytes from the socket into `out`. Returns 1, or 0 when
// fewer than 12 bytes arrived (nothing to read). A `length` claiming more
// than arrived is cut to what arrived.
int parse_datagram(const uint8_t* bytes, int received, ReceivedDatagram& out);

// Whether a datagram is one that stations send (audio, a text reply or
// announcement, a picture reply) rather than a listener's request: it
// carries PF_AUDIO or a rate code, or its text starts with a word of a
// station's reply, or it is a multicast reply (the group's dotted address
// first). A station never takes such a datagram as a request: answering
// it would answer a station, which answers again, for ever.
bool is_station_reply(uint16_t flags, const uint8_t* payload, int length);

// Builders: each writes one whole datagram in wire form into `out` (room for
// MAX_DATAGRAM bytes) and returns its size, `length` + 12. Texts that would
// not fit the payload are cut; every text part stays NUL-terminated.
int build_audio(uint8_t* out, uint32_t seq, uint32_t session, const uint8_t* frame, int length,
                bool companion);
int build_song_text(uint8_t* out, uint32_t seq, uint32_t session, const char* text);
int build_picture_notice(uint8_t* out, uint32_t seq, uint32_t session, int columns, int rows);
int build_join_accepted(uint8_t* out, uint32_t counter, uint32_t joined, int sampling_rate,
                        const char* station_name, const char* song_text);
int build_bandwidth_probe(uint8_t* out, uint32_t joined, int transfer_rate, Host& host);
int build_busy(uint8_t* out, uint32_t counter);
int build_closed_site(uint8_t* out, uint32_t counter);
int build_intranet_only(uint8_t* out, uint32_t counter);
int build_keeper_status(uint8_t* out, uint32_t counter, int transfer_rate, int active,
                        int bandwidth);
int build_multicast_reply(uint8_t* out, uint32_t counter, int sampling_rate, const char* group,
                          const char* station_name, const char* song_text);
int build_picture_reply(uint8_t* out, uint32_t seq, uint32_t session, const char* text,
                        const uint8_t* tile, int tile_length);
int build_master_announce(uint8_t* out, long account, const char* station_name);
int build_master_close(uint8_t* out);
