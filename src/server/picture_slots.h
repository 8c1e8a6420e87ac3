#pragma once
// The two picture slots: slot 0 the main picture, slot 1 the logo.

#include <cstdint>
#include <string>
#include <vector>

constexpr int PICTURE_MAIN = 0;
constexpr int PICTURE_LOGO = 1;

struct PictureSlot {
    std::vector<uint8_t> block;  // the whole picture as a BMP file image; empty when free
    int pixels_offset = 0;       // where the pixel rows start inside the block
    int width = 0;               // pixels per row, a multiple of 4 once loaded
    int height = 0;
};

struct PictureSlots {
    PictureSlot slots[2];
    std::string shown_name;  // file name of the picture in the main slot
};
