#pragma once
// The 54-byte header of an uncompressed 24-bit BMP file (file header and
// information header), as our tools write pictures.

#include <cstdint>

constexpr int BMP_HEADER_SIZE = 54;

// Rows of `width` pixels padded to whole 4-byte groups.
int bmp24_row_bytes(int width);
// Fills `out` for a picture of width x height pixels, rows stored bottom
// first; the pixel rows follow right after the header.
void make_bmp24_header(uint8_t out[BMP_HEADER_SIZE], int width, int height);
