#pragma once
// Pictures made in the test: 24-bit rows (blue, green, red) as a BMP stores
// them, `row_stride` bytes apart.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct SyntheticPicture {
    int width = 0;
    int height = 0;
    int row_stride = 0;
    std::vector<uint8_t> pixels;

    uint8_t* pixel(int x, int y) { return pixels.data() + static_cast<size_t>(y) * row_stride + x * 3; }
};

// Smooth ramps: blue grows to the right, green downwards, red diagonally.
SyntheticPicture make_gradient_picture(int width, int height, int row_stride = 0);
// Soft shapes with an edge and mild grain, something like a photograph;
// the same seed gives the same picture.
SyntheticPicture make_photo_picture(int width, int height, unsigned seed);
// Every byte random.
SyntheticPicture make_noise_picture(int width, int height, unsigned seed);

// A 24-bit BMP file of make_gradient_picture, rows bottom first.
std::string gradient_bmp(int width, int height);

// The 3072 bytes of tile (column, row): 32 rows of 96 bytes.
std::vector<uint8_t> copy_tile(const SyntheticPicture& picture, int column, int row);

double mean_absolute_error(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);
