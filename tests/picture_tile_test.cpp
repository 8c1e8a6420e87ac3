// Tiles through the coder and back: payload layout, quality of the round
// trip, the worst-case payload, and malformed payloads.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/program.h"
#include "codec/picture_coder.h"
#include "codec/picture_decoder.h"
#include "support/fake_host.h"
#include "support/synthetic_picture.h"

namespace {

std::vector<uint8_t> encode(const std::vector<uint8_t>& tile, int quality, CodecState& codec,
                            Services* trace = nullptr) {
    std::vector<uint8_t> out(PICTURE_PAYLOAD_MAX_BYTES);
    const int length = encode_picture_tile(codec, tile.data(), quality, out.data(), trace);
    out.resize(length);
    return out;
}

std::vector<uint8_t> encode(const std::vector<uint8_t>& tile, int quality) {
    CodecState codec;
    return encode(tile, quality, codec);
}

std::vector<uint8_t> decode(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> tile(PICTURE_TILE_BYTES);
    if (decode_picture_tile(payload.data(), static_cast<int>(payload.size()), tile.data()) != 1)
        return {};
    return tile;
}

// Prepares the picture at `quality`, sends every tile through the coder and
// returns the mean absolute error of the decoded tiles against the original.
double round_trip_error(const SyntheticPicture& original, int quality) {
    SyntheticPicture prepared = original;
    EXPECT_EQ(prepare_picture(prepared.pixels.data(), prepared.pixels.size(), prepared.width,
                              prepared.height, prepared.row_stride, quality, nullptr),
              1);
    double sum = 0;
    int tiles = 0;
    for (int row = 0; row < original.height / 32; ++row)
        for (int column = 0; column < original.width / 32; ++column) {
            const std::vector<uint8_t> decoded = decode(encode(copy_tile(prepared, column, row), quality));
            sum += mean_absolute_error(decoded, copy_tile(original, column, row));
            ++tiles;
        }
    return sum / tiles;
}

}  // namespace

TEST(PictureTile, grey_tile_codes_to_ten_bytes_and_decodes_to_grey) {
    const std::vector<uint8_t> grey(PICTURE_TILE_BYTES, 128);
    // Each plane: one group of no literals, e = 1 (12 bits), then a zero run
    // of 1024 in 11 bits, padded to three bytes.
    const std::vector<uint8_t> expected = {3, 0x00, 0x18, 0x00, 0x00, 0x18, 0x00, 0x00, 0x18, 0x00};
    const std::vector<uint8_t> payload = encode(grey, 3);
    EXPECT_EQ(payload, expected);
    EXPECT_EQ(decode(payload), grey);
}

TEST(PictureTile, coding_leaves_the_codec_in_run_length_mode_and_traces_the_lengths) {
    FakeHost host;
    auto ctx = make_context(host);
    ctx->messages.trace_file.reset(std::tmpfile());
    ASSERT_NE(ctx->messages.trace_file, nullptr);
    ctx->codec.coding_mode = CODING_PLAIN;
    encode(std::vector<uint8_t>(PICTURE_TILE_BYTES, 128), 2, ctx->codec, ctx.get());
    EXPECT_EQ(ctx->codec.coding_mode, CODING_RUN_LENGTH);

    char text[64] = {};
    std::rewind(ctx->messages.trace_file.get());
    const size_t n = std::fread(text, 1, sizeof text - 1, ctx->messages.trace_file.get());
    EXPECT_EQ(std::string(text, n), "(4 - 7 - 10) -> ");
}

TEST(PictureTile, round_trip_error_is_small_at_quality_4_and_grows_toward_quality_0) {
    // Mean absolute error in byte units over all tiles and colours.
    const SyntheticPicture photo = make_photo_picture(96, 64, 21);
    double previous = 0;
    for (int quality = 4; quality >= 0; --quality) {
        const double error = round_trip_error(photo, quality);
        EXPECT_GT(error, previous) << "quality " << quality;
        previous = error;
    }
    EXPECT_LT(round_trip_error(photo, 4), 2.5);
    EXPECT_LT(round_trip_error(photo, 0), 9.0);
    EXPECT_GT(round_trip_error(photo, 0), 5.0);

    const SyntheticPicture gradient = make_gradient_picture(64, 64);
    EXPECT_LT(round_trip_error(gradient, 4), 1.0);
    EXPECT_LT(round_trip_error(gradient, 0), 7.0);
}

TEST(PictureTile, every_escape_tile_reaches_the_largest_payload_and_still_decodes) {
    // All bytes 0: every value is -128, an escape. Zero-free groups of 23
    // literals cost 24 bits a value, so each plane takes 3072 bytes plus its
    // closing byte: more than a tile, more than one datagram can carry.
    const std::vector<uint8_t> black(PICTURE_TILE_BYTES, 0);
    const std::vector<uint8_t> payload = encode(black, 4);
    EXPECT_EQ(payload.size(), 1u + 3 * 3073);
    EXPECT_GT(payload.size(), 5120u);
    EXPECT_LE(payload.size(), static_cast<size_t>(PICTURE_PAYLOAD_MAX_BYTES));
    EXPECT_FALSE(decode(payload).empty());

    // Noise straight from a picture (a tile beyond the prepared region).
    const SyntheticPicture noise = make_noise_picture(32, 32, 77);
    EXPECT_GT(encode(noise.pixels, 4).size(), 5120u);
}

TEST(PictureTile, malformed_payloads_are_refused_and_leave_the_tile_alone) {
    const SyntheticPicture photo = make_photo_picture(32, 32, 4);
    SyntheticPicture prepared = photo;
    ASSERT_EQ(prepare_picture(prepared.pixels.data(), prepared.pixels.size(), 32, 32, 96, 2, nullptr), 1);
    const std::vector<uint8_t> payload = encode(prepared.pixels, 2);
    ASSERT_FALSE(decode(payload).empty());

    std::vector<uint8_t> tile(PICTURE_TILE_BYTES, 0x5A);
    const std::vector<uint8_t> untouched = tile;
    auto refused = [&tile](std::vector<uint8_t> bytes) {
        return decode_picture_tile(bytes.data(), static_cast<int>(bytes.size()), tile.data()) == 0;
    };
    EXPECT_TRUE(refused({})) << "empty";
    std::vector<uint8_t> bad_quality = payload;
    bad_quality[0] = 5;
    EXPECT_TRUE(refused(bad_quality)) << "quality 5";
    for (size_t cut = 1; cut < payload.size(); ++cut)
        ASSERT_TRUE(refused(std::vector<uint8_t>(payload.begin(), payload.begin() + cut)))
            << "cut to " << cut;
    std::vector<uint8_t> longer = payload;
    longer.push_back(0);
    EXPECT_TRUE(refused(longer)) << "a byte after the third plane";
    EXPECT_EQ(tile, untouched);
}

// Fuzz: the input is any byte string taken as a tile payload (quality byte,
// then three run-length planes). Random strings, and valid payloads with
// flipped bits, must give 0 or 1 and never read or write out of bounds.
TEST(PictureTile, random_and_damaged_payloads_never_crash_the_decoder) {
    unsigned state = 12345;
    auto next = [&state]() {
        state = state * 1103515245u + 12345u;
        return state >> 16;
    };
    std::vector<uint8_t> tile(PICTURE_TILE_BYTES);
    int decoded = 0;
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> bytes(next() % 64 + (round % 3 == 0 ? next() % 9000 : 0));
        for (uint8_t& b : bytes) b = static_cast<uint8_t>(next());
        // Mostly zero bytes after a valid quality: long zero runs and groups.
        if (!bytes.empty()) bytes[0] = static_cast<uint8_t>(next() % 6);
        if (round % 2 == 0)
            for (uint8_t& b : bytes) b &= static_cast<uint8_t>(next());
        const int result = decode_picture_tile(bytes.data(), static_cast<int>(bytes.size()), tile.data());
        ASSERT_TRUE(result == 0 || result == 1);
        decoded += result;
    }

    const SyntheticPicture photo = make_photo_picture(32, 32, 8);
    const std::vector<uint8_t> valid = encode(photo.pixels, 1);
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> damaged = valid;
        for (int flips = next() % 4 + 1; flips > 0; --flips)
            damaged[next() % damaged.size()] ^= static_cast<uint8_t>(1u << (next() % 8));
        const int result =
            decode_picture_tile(damaged.data(), static_cast<int>(damaged.size()), tile.data());
        ASSERT_TRUE(result == 0 || result == 1);
        decoded += result;
    }
    EXPECT_GT(decoded, 0) << "some damaged payloads still parse: the decoder was exercised";
}
