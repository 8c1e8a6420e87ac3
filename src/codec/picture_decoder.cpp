#include "codec/picture_decoder.h"

#include "codec/coefficient_coder.h"
#include "codec/picture_transform.h"

int decode_picture_tile(const uint8_t* payload, int length, uint8_t* tile) {
    if (payload == nullptr || length < 1) return 0;
    const int quality = payload[0];
    if (quality > PICTURE_QUALITY_MAX) return 0;

    int32_t planes[3][PICTURE_TILE_VALUES];
    int used = 1;
    for (int c = 0; c < 3; ++c) {
        int16_t values[PICTURE_TILE_VALUES];
        const int bytes = unpack_coefficients(payload + used, length - used, values,
                                              PICTURE_TILE_VALUES, CODING_RUN_LENGTH);
        if (bytes < 0) return 0;
        used += bytes;
        for (int i = 0; i < PICTURE_TILE_VALUES; ++i) planes[c][i] = values[i];
        dequantise_picture_tile(planes[c], quality);
        inverse_transform_picture_tile(planes[c]);
    }
    if (used != length) return 0;

    for (int i = 0; i < PICTURE_TILE_VALUES; ++i)
        for (int c = 0; c < 3; ++c) tile[i * 3 + c] = picture_byte(planes[c][i]);
    return 1;
}
