#include "codec/picture_transform.h"

#include <cstddef>

namespace {

struct QualitySchedule {
    int first_step;
    int decrement;
};

// ImageQuality 0 (coarsest) to 4 (finest).
constexpr QualitySchedule kSchedules[PICTURE_QUALITY_MAX + 1] = {
    {24, 3}, {16, 2}, {12, 2}, {8, 2}, {4, 1}};

constexpr int kMinimumStep = 2;

// The neighbours' slope, subtracted from a detail so that smooth ramps code
// as zeros; truncating division, rounding half away from zero.
int correction(int g) { return (g + (g > 0 ? 2 : -2)) / 4; }

// Pairs at the ends of a tile take no correction: their outer neighbour
// would lie in the next tile.
bool corrected(int p, int span) {
    return p % PICTURE_TILE_SIZE != 0 && (p + span) % PICTURE_TILE_SIZE != 0;
}

// One forward lifting step along one line: the pair (p, p + span/2) for p =
// 0, span, 2 span ... becomes (floor average, corrected difference). `step`
// is the distance between neighbouring values of the line; `average` is the
// scratch plane at the same offset as `line`.
void split_line(int16_t* line, int16_t* average, ptrdiff_t step, int length, int span) {
    const int half = span / 2;
    for (int p = 0; p < length; p += span)
        average[p * step] = static_cast<int16_t>((line[p * step] + line[(p + half) * step]) >> 1);
    for (int p = 0; p < length; p += span) {
        int detail = line[p * step] - line[(p + half) * step];
        if (corrected(p, span))
            detail -= correction(average[(p - span) * step] - average[(p + span) * step]);
        line[(p + half) * step] = static_cast<int16_t>(detail);
        line[p * step] = average[p * step];
    }
}

// The inverse of split_line. Since average = floor((a + b) / 2) and the
// restored difference d = a - b has the parity of a + b, the pair comes back
// exactly: a + b = 2 average + (d & 1).
void merge_line(int32_t* line, int32_t* average, int step, int length, int span) {
    const int half = span / 2;
    for (int p = 0; p < length; p += span) average[p * step] = line[p * step];
    for (int p = 0; p < length; p += span) {
        int32_t detail = line[(p + half) * step];
        if (corrected(p, span))
            detail += correction(average[(p - span) * step] - average[(p + span) * step]);
        const int32_t sum = 2 * average[p * step] + (detail & 1);
        line[p * step] = (sum + detail) / 2;
        line[(p + half) * step] = (sum - detail) / 2;
    }
}

// Calls visit on the three details of every span x span square: the
// horizontal details of its two rows and the vertical detail of its column.
template <class T, class Visit>
void for_each_detail(T* plane, int rows, int columns, int span, Visit visit) {
    const int half = span / 2;
    for (int y = 0; y < rows; y += span) {
        T* top = plane + static_cast<ptrdiff_t>(y) * columns;
        T* middle = top + static_cast<ptrdiff_t>(half) * columns;
        for (int x = 0; x < columns; x += span) {
            visit(top[x + half]);
            visit(middle[x]);
            visit(middle[x + half]);
        }
    }
}

}  // namespace

int picture_step(int quality, int level) {
    if (quality < 0 || quality > PICTURE_QUALITY_MAX || level < 0 || level >= PICTURE_LEVELS)
        return 0;
    const QualitySchedule& schedule = kSchedules[quality];
    const int step = schedule.first_step - level * schedule.decrement;
    return step < kMinimumStep ? kMinimumStep : step;
}

void transform_picture_plane(int16_t* plane, int16_t* scratch, int rows, int columns) {
    for (int span = 2; span <= PICTURE_TILE_SIZE; span *= 2) {
        // Rows that hold the previous level's averages: every span/2-th.
        for (int y = 0; y < rows; y += span / 2) {
            const ptrdiff_t offset = static_cast<ptrdiff_t>(y) * columns;
            split_line(plane + offset, scratch + offset, 1, columns, span);
        }
        // Only the columns holding horizontal averages are split vertically.
        for (int x = 0; x < columns; x += span)
            split_line(plane + x, scratch + x, columns, rows, span);
    }
}

void quantise_picture_plane(int16_t* plane, int rows, int columns, int quality) {
    for (int level = 0; level < PICTURE_LEVELS; ++level) {
        const int step = picture_step(quality, level);
        if (step == 0) return;
        for_each_detail(plane, rows, columns, 2 << level,
                        [step](int16_t& v) { v = static_cast<int16_t>(v / step); });
    }
}

void dequantise_picture_tile(int32_t tile[PICTURE_TILE_VALUES], int quality) {
    for (int level = 0; level < PICTURE_LEVELS; ++level) {
        const int step = picture_step(quality, level);
        if (step == 0) return;
        // The quantiser truncates toward zero, so a non-zero value stands for
        // magnitudes from |q| step to |q| step + step - 1. Details cluster
        // near zero, so a third of the way in beats the middle.
        const int offset = step / 3;
        for_each_detail(tile, PICTURE_TILE_SIZE, PICTURE_TILE_SIZE, 2 << level,
                        [step, offset](int32_t& v) {
                            v = v > 0 ? v * step + offset : v < 0 ? v * step - offset : 0;
                        });
    }
}

void inverse_transform_picture_tile(int32_t tile[PICTURE_TILE_VALUES]) {
    int32_t scratch[PICTURE_TILE_VALUES];
    for (int span = PICTURE_TILE_SIZE; span >= 2; span /= 2) {
        for (int x = 0; x < PICTURE_TILE_SIZE; x += span)
            merge_line(tile + x, scratch + x, PICTURE_TILE_SIZE, PICTURE_TILE_SIZE, span);
        for (int y = 0; y < PICTURE_TILE_SIZE; y += span / 2) {
            const int offset = y * PICTURE_TILE_SIZE;
            merge_line(tile + offset, scratch + offset, 1, PICTURE_TILE_SIZE, span);
        }
    }
}
