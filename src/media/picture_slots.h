#pragma once
// The two picture slots (slot 0 the main picture, slot 1 the logo) and
// picture loading with its prepared ".dbp" copy.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "codec/picture_coder.h"

struct Services;

constexpr int PICTURE_MAIN = 0;
constexpr int PICTURE_LOGO = 1;
constexpr int PICTURE_SLOT_COUNT = 2;

// A picture's whole BMP file image. Allocated without throwing, so that a
// picture too large for memory is a failure the loader can report.
struct PictureBlock {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;

    bool empty() const { return size == 0; }
    // Replaces the bytes with `count` copies of `value`; false, and the
    // block empty, when memory runs short.
    bool assign(size_t count, uint8_t value);
    uint8_t* data() { return bytes.get(); }
    const uint8_t* data() const { return bytes.get(); }
};

// A loaded slot keeps this promise: `height` rows of `width` x 3 bytes start
// at `pixels_offset` and end inside the block, so tile reads need no checks
// beyond the grid.
struct PictureSlot {
    PictureBlock block;          // empty when the slot is free
    size_t pixels_offset = 0;    // where the pixel rows start inside the block
    int width = 0;               // pixels per row, a multiple of 4 once loaded
    int height = 0;
    int quality = 0;             // ImageQuality the pixels were prepared at
};

// Qt's front ends define `slots` as a keyword macro; the field keeps its
// name in every file that includes this one after Qt.
#pragma push_macro("slots")
#undef slots
// The pictures' key: how finely they are quantised (0..PICTURE_QUALITY_MAX).
struct PictureSettings {
    int ImageQuality = 2;
};

struct PictureSlots {
    PictureSlot slots[PICTURE_SLOT_COUNT];
    std::string shown_name;  // file name of the picture in the main slot
    const PictureSettings* settings = nullptr;  // pointed at by the program
};
#pragma pop_macro("slots")

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
// outside 0..4 is taken as the nearest of them. `unsaved`, when given, gets
// why a prepared copy was due but not written (a full disk, a folder in its
// place), "" otherwise: the slot then holds the picture all the same.
// Returns 1 when the slot holds the picture, 0 when it stays empty (missing
// or unusable file). A picture that cannot be held in memory is fatal: a
// message, the program ends with status 9, and 0 is returned.
int load_picture(Services& services, PictureSlots& pictures, const char* path, int slot,
                 const PictureProgress* progress = nullptr, std::string* unsaved = nullptr);

// Frees the slot; freeing the logo slot also forgets the shown picture name.
void free_picture(PictureSlots& pictures, int slot);

// The tile grid of a slot: columns = width / 32, rows = height / 32. Returns
// 1 when the slot holds a picture, else 0 with both counts 0.
int picture_grid(const PictureSlots& pictures, int slot, int* columns, int* rows);

// Copies tile (column, row) of a loaded slot into `tile` (PICTURE_TILE_BYTES:
// 32 rows of 96 bytes, rows in stored order). Pixels beyond the right or
// bottom edge read as zero. Returns 1, or 0 when the slot is empty or the
// tile does not start inside the picture.
int copy_picture_tile(const PictureSlot& slot, int column, int row, uint8_t* tile);
