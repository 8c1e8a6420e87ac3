#pragma once
// The picture service: the two picture slots, picture loading with its
// prepared ".dbp" copy, and the answers to listeners' picture requests.

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "codec/picture_coder.h"
#include "server/picture_slots.h"

struct Context;

// The compression field (offset 30) of a prepared file: this mark plus
// 65536 x ImageQuality says the pixels are prepared at that quality.
constexpr uint32_t PREPARED_PICTURE_MARK = 30866;
constexpr uint32_t prepared_picture_mark(int quality) {
    return PREPARED_PICTURE_MARK + 65536u * static_cast<uint32_t>(quality);
}

// The name of a picture's prepared copy: "x.bmp" -> "x.dbp"; empty for a
// name that does not end in ".bmp" (any case).
std::string prepared_picture_name(const char* path);

// Loads the picture file at `path` into `slot` (PICTURE_MAIN or PICTURE_LOGO),
// from its prepared copy ("x.dbp" next to "x.bmp") when that is marked with
// the current ImageQuality and not older than the picture; otherwise the
// picture is read, widened to 24 bits with its rows bottom first, prepared
// for the tile coder and its prepared copy written (under a temporary name
// renamed into place: a link at the copy's name is replaced, never
// followed). `progress` follows the preparation. An ImageQuality
// outside 0..4 is taken as the nearest of them.
// Returns 1 when the slot holds the picture, 0 when it stays empty (missing
// or unusable file). A picture that cannot be held in memory is fatal: a
// message, the program ends with status 9, and 0 is returned.
int load_picture(Context& ctx, const char* path, int slot, const PictureProgress* progress = nullptr);

// Frees the slot; freeing the logo slot also forgets the shown picture name.
void free_picture(Context& ctx, int slot);

// The tile grid of a slot: columns = width / 32, rows = height / 32. Returns
// 1 when the slot holds a picture, else 0 with both counts 0.
int picture_grid(const Context& ctx, int slot, int* columns, int* rows);

// Copies tile (column, row) of a loaded slot into `tile` (PICTURE_TILE_BYTES:
// 32 rows of 96 bytes, rows in stored order). Pixels beyond the right or
// bottom edge read as zero. Returns 1, or 0 when the slot is empty or the
// tile does not start inside the picture.
int copy_picture_tile(const PictureSlot& slot, int column, int row, uint8_t* tile);

// Answers one picture request (PF_TEXT + PF_PICTURE) from `from`:
//   "GETPAL"                  -> "BMPPAL%03d%03d" (columns, rows)
//   "GETBMPXY" + ccc + rrr    -> "BMPXY%03d%03d" followed by the coded tile
// Either may be prefixed with "LOGO" for the logo slot, whose replies carry
// the same prefix and whose grid is announced as at most 4 x 4. An empty
// slot answers "N/A" (after the prefix). Tiles outside the grid, unknown
// requests and replies too long for one datagram get no answer.
void handle_picture_request(Context& ctx, const sockaddr_in& from, int addr_len, const char* text,
                            uint32_t session);
