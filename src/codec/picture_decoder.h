#pragma once
// Turns a picture tile payload (as written by encode_picture_tile) back into
// 32 x 32 pixels.

#include <cstdint>

// Decodes `length` bytes of tile payload into `tile` (PICTURE_TILE_BYTES:
// 32 rows of 96 bytes, blue, green, red). Returns 1 when decoded, 0 when the
// payload is malformed: empty, a quality outside 0..4, a plane that runs
// past the end or codes more than its 1024 values, or bytes left over after
// the third plane. Never reads outside the payload; `tile` is written only
// on success.
int decode_picture_tile(const uint8_t* payload, int length, uint8_t* tile);
