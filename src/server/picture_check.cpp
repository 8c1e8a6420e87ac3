#include "server/picture_check.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>

namespace {

// The BMP file header and information header, as far as the station reads them:
//
// | Offset | Size | Field                                   |
// |--------|------|-----------------------------------------|
// | 0      | 2    | "BM"                                    |
// | 2      | 4    | file size                               |
// | 10     | 4    | offset of the pixel rows                |
// | 18     | 4    | width in pixels (signed)                |
// | 22     | 4    | height in rows (signed; negative = top-down) |
// | 28     | 2    | bits per pixel: 8 (colour table at 54) or 24 |
constexpr int kHeaderSize = 54;

// The picture loader reads width and height as 16-bit signed values and
// rows bottom-up, so only positive values below 32768 describe the file.
constexpr int32_t kMaxSide = 32767;

// An 8-bit picture is widened to 3 bytes a pixel in one block together with
// its header and 8192 bytes of slack; that block must stay addressable
// with int sizes.
constexpr uint64_t kMaxWidenedSize = INT32_MAX - kHeaderSize - 8192;

uint32_t read_u32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t read_u16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

}  // namespace

int check_picture_file(const char* path) {
    // Only a plain file can be opened as a picture: a directory would read as
    // an empty file, and opening a pipe would wait for a writer.
    struct stat info;
    if (path == nullptr || stat(path, &info) != 0 || !S_ISREG(info.st_mode)) return 2;
    FILE* file = fopen(path, "rb");
    if (!file) return 2;
    uint8_t header[kHeaderSize];
    size_t got = fread(header, 1, sizeof header, file);
    long long size = -1;
    if (fseek(file, 0, SEEK_END) == 0) size = ftell(file);
    fclose(file);

    if (got < sizeof header || size <= 53) return 1;
    if (header[0] != 'B' || header[1] != 'M') return 1;
    int bits = read_u16(header + 28);
    if (bits != 8 && bits != 24) return 1;
    if (size < static_cast<long long>(read_u32(header + 2))) return 1;

    // The header must describe pixel rows that lie inside the file: a lying
    // header would have the loader read and write past the picture's block.
    int32_t width = static_cast<int32_t>(read_u32(header + 18));
    int32_t height = static_cast<int32_t>(read_u32(header + 22));
    if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return 1;
    uint64_t pixel_offset = read_u32(header + 10);
    if (pixel_offset < kHeaderSize) return 1;
    uint64_t row_bytes = (static_cast<uint64_t>(width) * bits + 31) / 32 * 4;
    if (pixel_offset + row_bytes * static_cast<uint64_t>(height) > static_cast<uint64_t>(size))
        return 1;
    uint64_t rounded_width = (static_cast<uint64_t>(width) + 3) / 4 * 4;
    if (rounded_width * static_cast<uint64_t>(height) * 3 > kMaxWidenedSize) return 1;
    return 0;
}
