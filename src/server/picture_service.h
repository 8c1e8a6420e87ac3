#pragma once
// The picture service: the answers to listeners' picture requests from
// the two picture slots.

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "media/picture_slots.h"

struct CodecState;
struct DatagramQueue;
struct Services;
struct StationSocket;

// Answers one picture request (PF_TEXT + PF_PICTURE) from `from`:
//   "GETPAL"                  -> "BMPPAL%03d%03d" (columns, rows)
//   "GETBMPXY" + ccc + rrr    -> "BMPXY%03d%03d" followed by the coded tile
// Either may be prefixed with "LOGO" for the logo slot, whose replies carry
// the same prefix and whose grid is announced as at most 4 x 4. An empty
// slot answers "N/A" (after the prefix). Tiles outside the grid, unknown
// requests and replies too long for one datagram get no answer. Replies
// carry `seq` and go through the datagram queue and the station socket.
void handle_picture_request(Services& services, const PictureSlots& pictures, CodecState& codec,
                            const StationSocket& station, DatagramQueue& queue, uint32_t seq,
                            const sockaddr_in& from, int addr_len, const char* text,
                            uint32_t session);
