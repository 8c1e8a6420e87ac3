#include "server/picture_service.h"

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "base/messages.h"
#include "codec/codec_state.h"
#include "wire/datagram_queue.h"
#include "media/picture_check.h"
#include "media/picture_slots.h"
#include "platform/safe_files.h"
#include "wire/packet.h"
#include "server/station_socket.h"

namespace {

constexpr int kLogoGridMax = 4;  // the logo is announced as at most 4 x 4 tiles
constexpr int kMaxAnnouncedGrid = 999;

// ---- replies --------------------------------------------------------------

// Where the replies to one request go, and what they carry besides.
struct PictureReplies {
    Services& services;
    const StationSocket& station;
    DatagramQueue& queue;
    uint32_t seq;
    const sockaddr_in& to;
    int addr_len;
    uint32_t session;
};

void send_picture_reply(const PictureReplies& replies, const char* text, const uint8_t* tile,
                        int tile_length) {
    if (!replies.station.socket.is_open()) return;
    uint8_t datagram[MAX_DATAGRAM];
    int size = build_picture_reply(datagram, replies.seq, replies.session, text, tile, tile_length);
    bsendto(replies.services, replies.queue, replies.station.socket.fd(), datagram, size, 0,
            &replies.to, replies.addr_len);
}

// Reads the six digits of a tile position: column, then row, three each.
bool read_tile_position(const char* digits, int* column, int* row) {
    int values[2] = {0, 0};
    for (int i = 0; i < 6; ++i) {
        if (!isdigit(static_cast<unsigned char>(digits[i]))) return false;
        values[i / 3] = values[i / 3] * 10 + (digits[i] - '0');
    }
    *column = values[0];
    *row = values[1];
    return true;
}

void answer_tile(const PictureReplies& replies, CodecState& codec, const PictureSlot& slot,
                 const char* prefix, const char* position) {
    Services& services = replies.services;
    int column = 0, row = 0;
    if (!read_tile_position(position, &column, &row)) {
        debug_trace(services, "picture request without a tile position\n");
        return;
    }
    uint8_t tile[PICTURE_TILE_BYTES];
    if (!copy_picture_tile(slot, column, row, tile)) return;  // outside the grid: no answer

    uint8_t payload[PICTURE_PAYLOAD_MAX_BYTES];
    int length = encode_picture_tile(codec, tile, slot.quality, payload, &services);
    char text[32];
    int text_length = snprintf(text, sizeof text, "%sBMPXY%03d%03d", prefix, column, row);
    if (text_length + length > MAX_PAYLOAD) {
        // Cut, the tile would not decode; the listener asks again or goes without.
        debug_trace(services, "tile %d,%d: %d bytes do not fit one datagram, not sent\n", column,
                    row, text_length + length);
        return;
    }
    send_picture_reply(replies, text, payload, length);
}

}  // namespace

void handle_picture_request(Services& services, const PictureSlots& pictures, CodecState& codec,
                            const StationSocket& station, DatagramQueue& queue, uint32_t seq,
                            const sockaddr_in& from, int addr_len, const char* text,
                            uint32_t session) {
    if (text == nullptr) text = "";
    debug_trace(services, "<%s>\n", text);
    const PictureReplies replies{services, station, queue, seq, from, addr_len, session};

    int slot_index = PICTURE_MAIN;
    const char* prefix = "";
    if (strncmp(text, "LOGO", 4) == 0) {
        slot_index = PICTURE_LOGO;
        prefix = "LOGO";
        text += 4;
    }
    const PictureSlot& slot = pictures.slots[slot_index];
    char reply[48];  // room for any number the format could take
    if (slot.block.empty()) {
        snprintf(reply, sizeof reply, "%sN/A", prefix);
        send_picture_reply(replies, reply, nullptr, 0);
        return;
    }

    if (strncmp(text, "GETBMPXY", 8) == 0) {
        answer_tile(replies, codec, slot, prefix, text + 8);
    } else if (strncmp(text, "GETPAL", 6) == 0) {
        int columns = 0, rows = 0;
        picture_grid(pictures, slot_index, &columns, &rows);
        // Requests name tiles with three digits, so a grid is announced as at
        // most 999 x 999 (as in the notice); the logo as at most 4 x 4.
        const int most = slot_index == PICTURE_LOGO ? kLogoGridMax : kMaxAnnouncedGrid;
        columns = std::min(columns, most);
        rows = std::min(rows, most);
        snprintf(reply, sizeof reply, "%sBMPPAL%03d%03d", prefix, columns, rows);
        send_picture_reply(replies, reply, nullptr, 0);
    } else {
        debug_trace(services, "picture request not understood\n");
    }
}
