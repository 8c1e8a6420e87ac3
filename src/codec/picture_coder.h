#pragma once
// The picture coder: prepare_picture transforms and quantises a whole 24-bit
// picture once when it is loaded; encode_picture_tile then codes one 32 x 32
// tile of the prepared picture into the payload of a picture reply.

#include <cstddef>
#include <cstdint>
#include <functional>

#include "codec/coefficient_coder.h"
#include "codec/picture_transform.h"

struct Services;

constexpr int PICTURE_TILE_BYTES = PICTURE_TILE_VALUES * 3;  // 32 rows of 96 bytes, BGR
// Raw tiles (those reaching past the prepared region) and noisy tiles at
// fine quality code many values as 24-bit escapes, so a payload can exceed
// both the 3072-byte tile and one datagram: the coder writes into a buffer
// of this size and the picture service checks the length it gets.
constexpr int PICTURE_PAYLOAD_MAX_BYTES = 1 + 3 * max_coefficient_bytes(PICTURE_TILE_VALUES);

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

// Codes one 32 x 32 tile copied from a prepared picture (PICTURE_TILE_BYTES,
// 32 rows of 96 bytes) into `out` (room for PICTURE_PAYLOAD_MAX_BYTES):
//
//   byte 0   picture quality (low byte of ImageQuality)
//   1 ...    plane 0 (blue), then plane 1 (green), then plane 2 (red): each
//            1024 values (byte - 128, rows in order) in the run-length
//            coefficient code, ending on its own byte boundary
//
// No length fields: a reader finds each plane's end by reading its values.
// Leaves codec.coding_mode at run-length. When `trace` is given the
// payload length after each plane goes to its trace sink. Returns the
// payload length in bytes.
int encode_picture_tile(CodecState& codec, const uint8_t* tile, int quality, uint8_t* out,
                        Services* trace = nullptr);
