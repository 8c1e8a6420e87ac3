#include "codec/picture_coder.h"

#include <climits>
#include <memory>
#include <new>

#include "base/messages.h"

namespace {

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
            for (int c = 0; c < 3; ++c) planes[c][line + x] = picture_value(row[x * 3 + c]);
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
            for (int c = 0; c < 3; ++c) row[x * 3 + c] = picture_byte(planes[c][line + x]);
    }
    report(progress, 95);
    return 1;
}

int encode_picture_tile(CodecState& codec, const uint8_t* tile, int quality, uint8_t* out,
                        Services* trace) {
    int16_t planes[3][PICTURE_TILE_VALUES];
    for (int i = 0; i < PICTURE_TILE_VALUES; ++i)
        for (int c = 0; c < 3; ++c) planes[c][i] = picture_value(tile[i * 3 + c]);

    codec.coding_mode = CODING_RUN_LENGTH;
    out[0] = static_cast<uint8_t>(quality);
    int length = 1;
    RunTable runs;
    for (int c = 0; c < 3; ++c) {
        count_bits(codec, planes[c], PICTURE_TILE_VALUES, runs);
        length += pack_coefficients(codec, planes[c], out + length, PICTURE_TILE_VALUES, runs) / 8;
        if (trace == nullptr) continue;
        if (c == 0)
            debug_trace(*trace, "(%d - ", length);
        else if (c == 1)
            debug_trace(*trace, "%d - ", length);
        else
            debug_trace(*trace, "%d) -> ", length);
    }
    return length;
}
