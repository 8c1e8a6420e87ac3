#include "media/picture_check.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/safe_files.h"
#include "codec/picture_transform.h"

namespace {

// The BMP file header and information header, as far as the station reads them:
//
// | Offset | Size | Field                                                  |
// |--------|------|--------------------------------------------------------|
// | 0      | 2    | "BM"                                                   |
// | 2      | 4    | file size                                              |
// | 10     | 4    | offset of the pixel rows                               |
// | 14     | 4    | size of the information header: 40, 108 or 124        |
// | 18     | 4    | width in pixels (signed)                               |
// | 22     | 4    | height in rows (signed; negative = rows top-down)      |
// | 28     | 2    | bits per pixel: 8 (colour table after the header) or 24 |
// | 30     | 4    | compression: 0 (or the mark of a prepared copy)        |
constexpr int kHeaderSize = 54;
constexpr int kFileHeaderSize = 14;
constexpr uint32_t kSmallestInfoSize = 40;  // the 12-byte header of old programs has 16-bit sides

// Width and height travel as 16-bit signed values.
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

bool is_prepared_mark(uint32_t compression) {
    for (int quality = 0; quality <= PICTURE_QUALITY_MAX; ++quality)
        if (compression == prepared_picture_mark(quality)) return true;
    return false;
}

int refuse(PictureFacts* facts, int result, const std::string& problem) {
    if (facts) facts->problem = problem;
    return result;
}

}  // namespace

int check_picture_file(const char* path, PictureFacts* facts) {
    if (facts) *facts = PictureFacts{};
    // Only a plain file can be opened as a picture: a directory would read as
    // an empty file, and opening a pipe would wait for a writer.
    std::string why = "no picture is named";
    FILE* file = path ? open_regular_file(path, &why) : nullptr;
    if (!file) return refuse(facts, 2, "cannot be opened: " + why);
    uint8_t header[kHeaderSize];
    size_t got = fread(header, 1, sizeof header, file);
    long long size = -1;
    if (fseek(file, 0, SEEK_END) == 0) size = ftell(file);
    fclose(file);

    if (got < sizeof header || size <= 53 || header[0] != 'B' || header[1] != 'M')
        return refuse(facts, 1, "not a BMP file");
    const uint32_t info_size = read_u32(header + 14);
    if (info_size < kSmallestInfoSize)
        return refuse(facts, 1, "a BMP header of an old kind (" + std::to_string(info_size) + " bytes)");
    const int bits = read_u16(header + 28);
    const int32_t width = static_cast<int32_t>(read_u32(header + 18));
    const int32_t height = static_cast<int32_t>(read_u32(header + 22));
    if (facts) {
        facts->bits = bits;
        facts->width = width;
        facts->height = height == INT32_MIN ? INT32_MAX : std::abs(height);
        facts->top_down = height < 0;
    }
    if (bits != 8 && bits != 24)
        return refuse(facts, 1, std::to_string(bits) + " bits per pixel: only 8 and 24-bit pictures are shown");
    const uint32_t compression = read_u32(header + 30);
    if (compression != 0 && !is_prepared_mark(compression))
        return refuse(facts, 1, "compressed pixels (compression " + std::to_string(compression) +
                                    "): only uncompressed pictures are shown");
    if (size < static_cast<long long>(read_u32(header + 2)))
        return refuse(facts, 1, "shorter than its header says: cut off");

    // The header must describe pixel rows that lie inside the file: a lying
    // header would have the loader read and write past the picture's block.
    if (width <= 0 || height == 0 || width > kMaxSide || height > kMaxSide || height < -kMaxSide)
        return refuse(facts, 1, std::to_string(width) + " x " + std::to_string(height) +
                                    ": sides must lie between 1 and " + std::to_string(kMaxSide));
    const uint64_t rows = static_cast<uint64_t>(std::abs(height));
    const uint64_t pixel_offset = read_u32(header + 10);
    if (pixel_offset < kFileHeaderSize + static_cast<uint64_t>(info_size))
        return refuse(facts, 1, "its pixels would start inside its header");
    const uint64_t row_bytes = (static_cast<uint64_t>(width) * bits + 31) / 32 * 4;
    if (pixel_offset + row_bytes * rows > static_cast<uint64_t>(size))
        return refuse(facts, 1, "its pixel rows run past the end of the file");
    const uint64_t rounded_width = (static_cast<uint64_t>(width) + 3) / 4 * 4;
    if (rounded_width * rows * 3 > kMaxWidenedSize) return refuse(facts, 1, "too large to be shown");
    return 0;
}
