#pragma once
// The picture coder: prepare_picture transforms and quantises a whole 24-bit
// picture once when it is loaded; encode_picture_tile then codes one 32 x 32
// tile of the prepared picture into the payload of a picture reply.

#include <cstddef>
#include <cstdint>
#include <functional>

#include "codec/picture_transform.h"

struct CodecState;
struct Context;

constexpr int PICTURE_TILE_BYTES = PICTURE_TILE_VALUES * 3;  // 32 rows of 96 bytes, BGR
// A plane codes in at most 24 bits a value plus the closing byte. Raw tiles
// (those reaching past the prepared region) and noisy tiles at fine quality
// code many values as escapes, so a payload can exceed both the 3072-byte
// tile and one datagram; the picture service checks the length it gets.
constexpr int PICTURE_PLANE_MAX_BYTES = PICTURE_TILE_VALUES * 24 / 8 + 1;  // 3073
constexpr int PICTURE_PAYLOAD_MAX_BYTES = 1 + 3 * PICTURE_PLANE_MAX_BYTES;  // 9220

// Progress of prepare_picture in percent (10, 25, 40, 55, 65, 75, 85, 95).
using PictureProgress = std::function<void(int percent)>;

// Transforms and quantises the processed region (height and width rounded
// down to multiples of 32) of a picture in place; pixels outside it keep
// their bytes. `pixels` holds `pixel_bytes` bytes of rows `row_stride` bytes
// apart, each row width x 3 bytes of blue, green, red. Returns 1 when done,
// 0 when the arguments do not describe a block of that size, the quality is
// outside 0..4 or memory runs short; the picture is then left as it was.
int prepare_picture(uint8_t* pixels, size_t pixel_bytes, int width, int height,
                    int row_stride, int quality, const PictureProgress& progress);
