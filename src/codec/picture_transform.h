#pragma once
// The picture wavelet: a five-level transform of 32 x 32 tiles, its inverse,
// and the quantiser schedules selected by ImageQuality.
//
// Every pair and every correction stays inside one 32 x 32 tile, so a plane
// of many tiles is transformed in one pass and each tile is inverted alone.
// After the fifth level position (0, 0) of each tile holds the tile average.

#include <cstdint>

constexpr int PICTURE_TILE_SIZE = 32;                                    // pixels per tile side
constexpr int PICTURE_TILE_VALUES = PICTURE_TILE_SIZE * PICTURE_TILE_SIZE;  // 1024 per plane
constexpr int PICTURE_LEVELS = 5;                                         // spans 2, 4, 8, 16, 32
constexpr int PICTURE_QUALITY_MAX = 4;                                    // ImageQuality 0..4

// A plane value is the colour byte less 128; turning values back into bytes
// limits them to 0..255, so details that grew past a byte saturate.
inline int16_t picture_value(uint8_t byte) { return static_cast<int16_t>(byte - 128); }
inline uint8_t picture_byte(int value) {
    const int byte = value + 128;
    return static_cast<uint8_t>(byte < 0 ? 0 : byte > 255 ? 255 : byte);
}

// The quantiser step of `quality` (0..4) for the level of span 2 << level
// (level 0..4): the quality's first step, lowered by its decrement per level
// but never below 2. Returns 0 for a quality outside 0..4.
int picture_step(int quality, int level);

// Transforms a plane of `rows` x `columns` values (both multiples of 32, row
// stride `columns`) in place; `scratch` holds as many values.
void transform_picture_plane(int16_t* plane, int16_t* scratch, int rows, int columns);

// Divides every detail of the transformed plane by its level's step,
// truncating toward zero; the tile averages are left as they are.
void quantise_picture_plane(int16_t* plane, int rows, int columns, int quality);

// The decoder side, on one tile of 1024 values in row order. Values are
// 32-bit because multiplied steps and garbage payloads reach past 16 bits.
void dequantise_picture_tile(int32_t tile[PICTURE_TILE_VALUES], int quality);
void inverse_transform_picture_tile(int32_t tile[PICTURE_TILE_VALUES]);
