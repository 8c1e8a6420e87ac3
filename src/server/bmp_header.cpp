#include "server/bmp_header.h"

#include <cstring>

namespace {

void put_u32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

int bmp24_row_bytes(int width) { return (width * 3 + 3) / 4 * 4; }

void make_bmp24_header(uint8_t out[BMP_HEADER_SIZE], int width, int height) {
    //   0 "BM"  2 file size  10 pixel offset  14 info size 40  18 width
    //   22 height  26 planes 1  28 bits 24  30 compression 0  34 image size
    uint32_t image = static_cast<uint32_t>(bmp24_row_bytes(width)) * static_cast<uint32_t>(height);
    memset(out, 0, BMP_HEADER_SIZE);
    out[0] = 'B';
    out[1] = 'M';
    put_u32(out + 2, BMP_HEADER_SIZE + image);
    put_u32(out + 10, BMP_HEADER_SIZE);
    put_u32(out + 14, 40);
    put_u32(out + 18, static_cast<uint32_t>(width));
    put_u32(out + 22, static_cast<uint32_t>(height));
    out[26] = 1;
    out[28] = 24;
    put_u32(out + 34, image);
}
