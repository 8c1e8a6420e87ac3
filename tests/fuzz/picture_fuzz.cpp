// Fuzz target: picture loading, from a BMP (8 or 24 bits, any row padding)
// or from its prepared ".dbp" copy, and the tiles the picture service then
// codes for listeners.
//
// Input layout:
//   byte 0   bit 0: the rest is the prepared copy "x.dbp" (no "x.bmp" beside
//            it); otherwise it is the picture "x.bmp". Bits 1-3: ImageQuality
//            0, 1, 2, 3, 4, -1, 7 or 2 (the last three out of range or repeated).
//   rest     the file: 54-byte BMP header (a prepared copy carries its mark
//            30866 + 65536 x quality at offset 30), colour table, pixel rows
//
// Checked beside the sanitizers: a loaded slot keeps its promise (height rows
// of width x 3 bytes inside the block, width a multiple of 4); its first and
// last tile code into payloads no longer than the coder promises; a picture
// prepared from a BMP loads again from the copy it wrote, with the same
// pixels; nothing ends the program. The listener's tile decoder also reads the input's bytes
// as a tile payload.

#include <unistd.h>

#include <cstring>
#include <memory>
#include <vector>

#include "app/context.h"
#include "codec/picture_coder.h"
#include "codec/picture_decoder.h"
#include "fuzz/fuzz_support.h"
#include "media/picture_check.h"
#include "server/picture_service.h"
#include "support/fake_host.h"

namespace {

constexpr int kQualities[8] = {0, 1, 2, 3, 4, -1, 7, 2};

// The pixel rows of a loaded slot, as the tile reads see them.
std::vector<uint8_t> slot_pixels(const PictureSlot& slot) {
    const uint8_t* first = slot.block.data() + slot.pixels_offset;
    return std::vector<uint8_t>(first, first + static_cast<size_t>(slot.width) * 3 * slot.height);
}

void check_slot(Context& ctx) {
    const PictureSlot& slot = ctx.pictures.slots[PICTURE_MAIN];
    FUZZ_CHECK(slot.width > 0 && slot.width % 4 == 0 && slot.height > 0);
    FUZZ_CHECK(slot.pixels_offset + static_cast<size_t>(slot.width) * 3 * slot.height <= slot.block.size);
    FUZZ_CHECK(slot.quality >= 0 && slot.quality <= PICTURE_QUALITY_MAX);

    // The first tile and the last, which may reach past the picture's edge,
    // coded as the picture service answers a request (coding every tile, or
    // decoding them again, would take nearly all of the run).
    const int columns = (slot.width + PICTURE_TILE_SIZE - 1) / PICTURE_TILE_SIZE;
    const int rows = (slot.height + PICTURE_TILE_SIZE - 1) / PICTURE_TILE_SIZE;
    for (int last = 0; last < 2; ++last) {
        uint8_t tile[PICTURE_TILE_BYTES];
        FUZZ_CHECK(copy_picture_tile(slot, last ? columns - 1 : 0, last ? rows - 1 : 0, tile) == 1);
        uint8_t payload[PICTURE_PAYLOAD_MAX_BYTES];
        int length = encode_picture_tile(ctx.codec, tile, slot.quality, payload);
        FUZZ_CHECK(length > 0 && length <= PICTURE_PAYLOAD_MAX_BYTES);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool prepared = data[0] & 1;
    const std::string picture = fuzz_path("x.bmp");
    const std::string copy = fuzz_path("x.dbp");
    unlink(picture.c_str());
    unlink(copy.c_str());
    write_fuzz_file(prepared ? "x.dbp" : "x.bmp", data + 1, size - 1);

    int check = check_picture_file(prepared ? copy.c_str() : picture.c_str());
    FUZZ_CHECK(check == 0 || check == 1);

    FakeHost host;
    static std::unique_ptr<Context> fresh;
    Context& ctx = renew_context(fresh, host);
    ctx.state.ImageQuality = kQualities[(data[0] >> 1) & 7];
    int loaded = load_picture(ctx, ctx.pictures, picture.c_str(), PICTURE_MAIN);
    FUZZ_CHECK(host.exit_statuses.empty());
    if (loaded) {
        FUZZ_CHECK(loaded == 1);
        check_slot(ctx);
        if (!prepared) {
            // The copy just written must bring back the very same pixels.
            const std::vector<uint8_t> pixels = slot_pixels(ctx.pictures.slots[PICTURE_MAIN]);
            FUZZ_CHECK(access(copy.c_str(), F_OK) == 0);
            FUZZ_CHECK(load_picture(ctx, ctx.pictures, picture.c_str(), PICTURE_MAIN) == 1);
            FUZZ_CHECK(slot_pixels(ctx.pictures.slots[PICTURE_MAIN]) == pixels);
        }
    } else {
        FUZZ_CHECK(loaded == 0 && ctx.pictures.slots[PICTURE_MAIN].block.empty());
    }

    std::vector<uint8_t> payload(data + 1, data + size);
    uint8_t tile[PICTURE_TILE_BYTES];
    int decoded = decode_picture_tile(payload.data(), static_cast<int>(payload.size()), tile);
    FUZZ_CHECK(decoded == 0 || decoded == 1);
    return 0;
}
