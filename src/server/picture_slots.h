#pragma once
// The two picture slots: slot 0 the main picture, slot 1 the logo.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

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
struct PictureSlots {
    PictureSlot slots[PICTURE_SLOT_COUNT];
    std::string shown_name;  // file name of the picture in the main slot
};
#pragma pop_macro("slots")
