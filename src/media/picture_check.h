#pragma once
// The BMP test run on a picture before it is taken into a script, a live
// list or the settings, and before the picture service reads it.

#include <cstdint>
#include <string>

// The compression field (offset 30) of a prepared file: this mark plus
// 65536 x ImageQuality says the pixels are prepared at that quality.
constexpr uint32_t PREPARED_PICTURE_MARK = 30866;
constexpr uint32_t prepared_picture_mark(int quality) {
    return PREPARED_PICTURE_MARK + 65536u * static_cast<uint32_t>(quality);
}

// What the test found out about a picture.
struct PictureFacts {
    int width = 0;
    int height = 0;         // rows, whatever their order
    int bits = 0;           // 8 or 24 when usable
    bool top_down = false;  // rows stored top row first (a negative height)
    std::string problem;    // why the picture cannot be shown; "" when usable
};

// 0 when the file is a usable BMP, 1 when it is not, 2 when it cannot be
// opened (or is no regular file). `facts`, when given, gets the picture's
// size and, for 1 and 2, the cause in plain words.
int check_picture_file(const char* path, PictureFacts* facts = nullptr);
