#include "wire/packet.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "base/host.h"

// Datagrams the station sends (flags in hex; "\0" marks a NUL):
//
//   kind              seq          session     flags          payload
//   audio             counter      listener's  8000 / 8001    codec frame
//   song text         counter      listener's  0004           "SONGTEXT\0" text "\0"
//   picture notice    counter      listener's  0004           "BMPPAL" ccc rrr "\0" (13)
//   join accepted     counter - 4  joined      0004 + rate    "STARTSEQ\0" name "\0" song "\0"
//   bandwidth probe   0            joined      0800           C / 16 random bytes
//   busy              counter + 8  -           0004           "Busy\0"
//   closed site       counter + 8  -           0004           "BUSY\0ClosedSite\0" (16)
//   intranet only     counter + 8  -           0004           "IntranetOnly\0"
//   keeper status     counter + 8  -           0004           "Broadcaster running\n%d %d/%d\0"
//   multicast reply   counter + 8  -           0004 + rate    group "\0" name "\0" song "\0"
//   picture reply     counter      echoed      0004           text (no NUL) + tile bytes
//   master announce   0            -           0080           "%d " name "\0"
//   master close      0            -           0090           none
//
// Replies that concern no stream are numbered 8 ahead of the counter so that
// listeners never mistake them for a packet they already have.

namespace {

constexpr uint32_t kReplyAhead = 8;
constexpr uint32_t kJoinBehind = 4;

void put_u32(uint8_t* out, uint32_t value) {
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
}

void put_u16(uint8_t* out, uint16_t value) {
    out[0] = static_cast<uint8_t>(value >> 8);
    out[1] = static_cast<uint8_t>(value);
}

uint32_t get_u32(const uint8_t* in) {
    return (uint32_t{in[0]} << 24) | (uint32_t{in[1]} << 16) | (uint32_t{in[2]} << 8) | in[3];
}

uint16_t get_u16(const uint8_t* in) {
    return static_cast<uint16_t>((in[0] << 8) | in[1]);
}

int finish(uint8_t* out, uint32_t seq, uint32_t session, uint16_t flags, int length) {
    put_packet_header(PacketHeader{seq, session, flags, static_cast<uint16_t>(length)}, out);
    return PACKET_HEADER_SIZE + length;
}

// Appends `text` and its NUL at `at`, cut to the room left; returns the new end.
int append_text(uint8_t* payload, int at, const char* text) {
    int room = MAX_PAYLOAD - at - 1;
    if (room < 0) return at;
    int n = static_cast<int>(strnlen(text ? text : "", static_cast<size_t>(room)));
    memcpy(payload + at, text ? text : "", static_cast<size_t>(n));
    payload[at + n] = 0;
    return at + n + 1;
}

int text_datagram(uint8_t* out, uint32_t seq, uint32_t session, uint16_t flags,
                  std::initializer_list<const char*> texts) {
    uint8_t* payload = out + PACKET_HEADER_SIZE;
    int length = 0;
    for (const char* text : texts) length = append_text(payload, length, text);
    return finish(out, seq, session, flags, length);
}

int clamp(int value, int low, int high) {
    return value < low ? low : value > high ? high : value;
}

// The first words of every text datagram a station sends; no listener
// request starts with one. Picture replies for the logo carry "LOGO" first.
constexpr const char* kStationReplyWords[] = {
    "STARTSEQ", "SONGTEXT",  "Busy",    "BUSY",       "IntranetOnly", "Broadcaster running",
    "BMPPAL",   "BMPXY",     "N/A",     "LOGOBMPPAL", "LOGOBMPXY",    "LOGON/A"};

bool starts_with(const uint8_t* payload, int length, const char* word) {
    size_t n = strlen(word);
    return static_cast<size_t>(length) >= n && memcmp(payload, word, n) == 0;
}

// A multicast reply starts with the group as a dotted IPv4 address and its
// NUL ("0.0.0.0" without multicast); at 8000 Hz it carries no rate code.
bool starts_with_dotted_address(const uint8_t* payload, int length) {
    int at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at >= length || payload[at] != '.') return false;
            ++at;
        }
        int digits = 0, value = 0;
        while (at < length && digits < 3 && payload[at] >= '0' && payload[at] <= '9') {
            value = value * 10 + (payload[at++] - '0');
            ++digits;
        }
        if (digits == 0 || value > 255) return false;
    }
    return at < length && payload[at] == 0;
}

}  // namespace

uint16_t rate_code(int sampling_rate) {
    if (sampling_rate <= 0) return 0;
    long family = sampling_rate % 11025 == 0 ? sampling_rate : sampling_rate * 11025L / 8000;
    uint16_t code = 0;
    if (family == 22050) code = PF_RATE_22050;
    if (family == 44100) code = PF_RATE_44100;
    if (family == sampling_rate) code |= PF_RATE_EXACT;
    return code;
}

void put_packet_header(const PacketHeader& header, uint8_t* out) {
    put_u32(out, header.seq);
    put_u32(out + 4, header.session);
    put_u16(out + 8, header.flags);
    put_u16(out + 10, header.length);
}

PacketHeader get_packet_header(const uint8_t* in) {
    return PacketHeader{get_u32(in), get_u32(in + 4), get_u16(in + 8), get_u16(in + 10)};
}

void put_wire_session(uint8_t* datagram, uint32_t session) {
    put_u32(datagram + 4, session);
}

int parse_datagram(const uint8_t* bytes, int received, ReceivedDatagram& out) {
    out.header = PacketHeader{};
    out.payload[0] = 0;
    if (!bytes || received < PACKET_HEADER_SIZE) return 0;
    out.header = get_packet_header(bytes);
    int arrived = clamp(received - PACKET_HEADER_SIZE, 0, MAX_PAYLOAD);
    if (out.header.length > arrived) out.header.length = static_cast<uint16_t>(arrived);
    memcpy(out.payload, bytes + PACKET_HEADER_SIZE, out.header.length);
    out.payload[out.header.length] = 0;
    return 1;
}

int build_audio(uint8_t* out, uint32_t seq, uint32_t session, const uint8_t* frame, int length,
                bool companion) {
    length = clamp(length, 0, MAX_PAYLOAD);
    if (length > 0) memcpy(out + PACKET_HEADER_SIZE, frame, static_cast<size_t>(length));
    return finish(out, seq, session, companion ? PF_AUDIO | PF_COMPANION : PF_AUDIO, length);
}

int build_song_text(uint8_t* out, uint32_t seq, uint32_t session, const char* text) {
    return text_datagram(out, seq, session, PF_TEXT, {"SONGTEXT", text});
}

int build_picture_notice(uint8_t* out, uint32_t seq, uint32_t session, int columns, int rows) {
    char notice[16];
    snprintf(notice, sizeof notice, "BMPPAL%03d%03d", clamp(columns, 0, 999), clamp(rows, 0, 999));
    return text_datagram(out, seq, session, PF_TEXT, {notice});
}

int build_join_accepted(uint8_t* out, uint32_t counter, uint32_t joined, int sampling_rate,
                        const char* station_name, const char* song_text) {
    return text_datagram(out, counter - kJoinBehind, joined, PF_TEXT | rate_code(sampling_rate),
                         {"STARTSEQ", station_name, song_text});
}

int build_bandwidth_probe(uint8_t* out, uint32_t joined, int transfer_rate, Host& host) {
    int length = clamp(companion_rate(transfer_rate) / 16, 0, MAX_PAYLOAD);
    for (int i = 0; i < length; ++i)
        out[PACKET_HEADER_SIZE + i] = static_cast<uint8_t>(host.rand());
    return finish(out, 0, joined, PF_UPGRADE, length);
}

int build_busy(uint8_t* out, uint32_t counter) {
    return text_datagram(out, counter + kReplyAhead, 0, PF_TEXT, {"Busy"});
}

int build_closed_site(uint8_t* out, uint32_t counter) {
    return text_datagram(out, counter + kReplyAhead, 0, PF_TEXT, {"BUSY", "ClosedSite"});
}

int build_intranet_only(uint8_t* out, uint32_t counter) {
    return text_datagram(out, counter + kReplyAhead, 0, PF_TEXT, {"IntranetOnly"});
}

int build_keeper_status(uint8_t* out, uint32_t counter, int transfer_rate, int active,
                        int bandwidth) {
    char status[96];
    snprintf(status, sizeof status, "Broadcaster running\n%d %d/%d", transfer_rate, active,
             bandwidth);
    return text_datagram(out, counter + kReplyAhead, 0, PF_TEXT, {status});
}

int build_multicast_reply(uint8_t* out, uint32_t counter, int sampling_rate, const char* group,
                          const char* station_name, const char* song_text) {
    return text_datagram(out, counter + kReplyAhead, 0, PF_TEXT | rate_code(sampling_rate),
                         {group, station_name, song_text});
}

int build_picture_reply(uint8_t* out, uint32_t seq, uint32_t session, const char* text,
                        const uint8_t* tile, int tile_length) {
    uint8_t* payload = out + PACKET_HEADER_SIZE;
    int length = static_cast<int>(strnlen(text ? text : "", MAX_PAYLOAD));
    memcpy(payload, text ? text : "", static_cast<size_t>(length));
    tile_length = clamp(tile_length, 0, MAX_PAYLOAD - length);
    if (tile_length > 0) memcpy(payload + length, tile, static_cast<size_t>(tile_length));
    return finish(out, seq, session, PF_TEXT, length + tile_length);
}

int build_master_announce(uint8_t* out, long account, const char* station_name) {
    char announce[MAX_PAYLOAD];
    snprintf(announce, sizeof announce, "%ld %s", account, station_name ? station_name : "");
    return text_datagram(out, 0, 0, PF_PICTURE, {announce});
}

int build_master_close(uint8_t* out) {
    return finish(out, 0, 0, PF_PICTURE | PF_LEAVE, 0);
}

bool is_station_reply(uint16_t flags, const uint8_t* payload, int length) {
    if (flags & (PF_AUDIO | PF_RATE_22050 | PF_RATE_44100 | PF_RATE_EXACT)) return true;
    if (!(flags & PF_TEXT) || !payload || length <= 0) return false;
    for (const char* word : kStationReplyWords)
        if (starts_with(payload, length, word)) return true;
    return starts_with_dotted_address(payload, length);
}
