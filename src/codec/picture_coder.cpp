#include "codec/picture_coder.h"

#include <climits>
#include <memory>
#include <new>

namespace {

// A plane value is the colour byte less 128; the write-back limits it to a
// byte again, so coarse details of high-contrast pictures are clipped there.
int16_t plane_value(uint8_t byte) { return static_cast<int16_t>(byte - 128); }
uint8_t pixel_byte(int value) {
    const int byte = value + 128;
    return static_cast<uint8_t>(byte < 0 ? 0 : byte > 255 ? 255 : byte);
}

void report(const PictureProgress& progress, int percent) {
    if (progress) progress(percent);
}

}  // namespace

int prepare_picture(uint8_t* pixels, size_t pixel_bytes, int width, int height,
                    int row_stride, int quality, const PictureProgress& progress) {
    if (pixels == nullptr || width < 0 || width > INT_MAX / 3 || height < 0 || quality < 0 ||
        quality > PICTURE_QUALITY_MAX || row_stride < width * 3)
        return 0;
    if (height > 0 && (static_cast<size_t>(height - 1) * row_stride + static_cast<size_t>(width) * 3 >
                       pixel_bytes))
        return 0;

    const int rows = height / PICTURE_TILE_SIZE * PICTURE_TILE_SIZE;
    const int columns = width / PICTURE_TILE_SIZE * PICTURE_TILE_SIZE;
    if (rows == 0 || columns == 0) return 1;

    // Planes 0, 1, 2 (blue, green, red) and the scratch plane, one block.
    const size_t plane_size = static_cast<size_t>(rows) * columns;
    std::unique_ptr<int16_t[]> memory(new (std::nothrow) int16_t[plane_size * 4]);
    if (!memory) return 0;
    int16_t* planes[3] = {memory.get(), memory.get() + plane_size, memory.get() + 2 * plane_size};
    int16_t* scratch = memory.get() + 3 * plane_size;

    for (int y = 0; y < rows; ++y) {
        const uint8_t* row = pixels + static_cast<size_t>(y) * row_stride;
        const size_t line = static_cast<size_t>(y) * columns;
        for (int x = 0; x < columns; ++x)
            for (int c = 0; c < 3; ++c) planes[c][line + x] = plane_value(row[x * 3 + c]);
    }
    report(progress, 10);

    static constexpr int kTransformed[3] = {25, 40, 55};
    for (int c = 0; c < 3; ++c) {
        transform_picture_plane(planes[c], scratch, rows, columns);
        report(progress, kTransformed[c]);
    }
    static constexpr int kQuantised[3] = {65, 75, 85};
    for (int c = 0; c < 3; ++c) {
        quantise_picture_plane(planes[c], rows, columns, quality);
        report(progress, kQuantised[c]);
    }

    for (int y = 0; y < rows; ++y) {
        uint8_t* row = pixels + static_cast<size_t>(y) * row_stride;
        const size_t line = static_cast<size_t>(y) * columns;
        for (int x = 0; x < columns; ++x)
            for (int c = 0; c < 3; ++c) row[x * 3 + c] = pixel_byte(planes[c][line + x]);
    }
    report(progress, 95);
    return 1;
}
