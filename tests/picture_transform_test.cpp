// The picture wavelet: quantiser schedules, the transform's corrections and
// tile edges, and exact inversion.

#include <gtest/gtest.h>

#include <vector>

#include "codec/picture_transform.h"
#include "support/synthetic_picture.h"

namespace {

// Plane c of a synthetic picture as byte - 128 values.
std::vector<int16_t> plane_of(const SyntheticPicture& picture, int c) {
    std::vector<int16_t> plane(static_cast<size_t>(picture.width) * picture.height);
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x)
            plane[y * picture.width + x] =
                static_cast<int16_t>(picture.pixels[y * picture.row_stride + x * 3 + c] - 128);
    return plane;
}

std::vector<int16_t> transformed(std::vector<int16_t> plane, int rows, int columns) {
    std::vector<int16_t> scratch(plane.size());
    transform_picture_plane(plane.data(), scratch.data(), rows, columns);
    return plane;
}

std::vector<int32_t> widened(const std::vector<int16_t>& tile) {
    return std::vector<int32_t>(tile.begin(), tile.end());
}

}  // namespace

TEST(PictureSchedule, each_quality_has_its_steps_for_spans_2_to_32) {
    const int expected[5][5] = {{24, 21, 18, 15, 12},
                                {16, 14, 12, 10, 8},
                                {12, 10, 8, 6, 4},
                                {8, 6, 4, 2, 2},  // the floor of 2 from span 16 on
                                {4, 3, 2, 2, 2}};
    for (int quality = 0; quality <= 4; ++quality)
        for (int level = 0; level < 5; ++level)
            EXPECT_EQ(picture_step(quality, level), expected[quality][level])
                << "quality " << quality << " level " << level;
}

TEST(PictureSchedule, qualities_outside_0_to_4_have_no_steps) {
    EXPECT_EQ(picture_step(-1, 0), 0);
    EXPECT_EQ(picture_step(5, 0), 0);
}

TEST(PictureTransform, single_bright_corner_gives_the_hand_computed_details) {
    std::vector<int16_t> tile(1024, 0);
    tile[0] = 100;
    const std::vector<int16_t> t = transformed(tile, 32, 32);
    EXPECT_EQ(t[1], 100);           // horizontal detail of the edge pair: no correction
    EXPECT_EQ(t[3], -13);           // next pair: 0 - (50 - 0 + 2) / 4
    EXPECT_EQ(t[1 * 32 + 0], 50);   // vertical detail of the averages 50 and 0
    EXPECT_EQ(t[3 * 32 + 0], -6);   // 0 - (25 - 0 + 2) / 4
}

TEST(PictureTransform, linear_ramp_leaves_no_interior_details_at_the_finest_level) {
    std::vector<int16_t> tile(1024);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x) tile[y * 32 + x] = static_cast<int16_t>(x * 4 - 64);
    const std::vector<int16_t> t = transformed(tile, 32, 32);
    for (int y = 0; y < 32; ++y) {
        EXPECT_EQ(t[y * 32 + 1], -4) << "the left edge pair keeps its raw difference";
        EXPECT_EQ(t[y * 32 + 31], -4) << "the right edge pair keeps its raw difference";
        for (int x = 2; x < 30; x += 2) EXPECT_EQ(t[y * 32 + x + 1], 0) << y << "," << x;
    }
}

TEST(PictureTransform, uniform_tile_is_its_average_and_zero_details) {
    const std::vector<int16_t> t = transformed(std::vector<int16_t>(1024, -37), 32, 32);
    EXPECT_EQ(t[0], -37);
    for (int i = 1; i < 1024; ++i) ASSERT_EQ(t[i], 0) << i;
}

TEST(PictureTransform, a_plane_of_tiles_transforms_each_tile_on_its_own) {
    const SyntheticPicture picture = make_photo_picture(96, 64, 7);
    const std::vector<int16_t> whole = transformed(plane_of(picture, 1), 64, 96);
    for (int row = 0; row < 2; ++row)
        for (int column = 0; column < 3; ++column) {
            std::vector<int16_t> tile(1024);
            for (int y = 0; y < 32; ++y)
                for (int x = 0; x < 32; ++x)
                    tile[y * 32 + x] = static_cast<int16_t>(
                        picture.pixels[(row * 32 + y) * picture.row_stride + (column * 32 + x) * 3 + 1] -
                        128);
            const std::vector<int16_t> alone = transformed(tile, 32, 32);
            for (int y = 0; y < 32; ++y)
                for (int x = 0; x < 32; ++x)
                    ASSERT_EQ(alone[y * 32 + x], whole[(row * 32 + y) * 96 + column * 32 + x])
                        << "tile " << column << "," << row << " at " << x << "," << y;
        }
}

TEST(PictureTransform, inverse_restores_every_tile_exactly) {
    const SyntheticPicture pictures[] = {make_photo_picture(32, 32, 3), make_noise_picture(32, 32, 11),
                                         make_gradient_picture(32, 32)};
    for (const SyntheticPicture& picture : pictures)
        for (int c = 0; c < 3; ++c) {
            const std::vector<int16_t> original = plane_of(picture, c);
            std::vector<int32_t> tile = widened(transformed(original, 32, 32));
            inverse_transform_picture_tile(tile.data());
            ASSERT_EQ(tile, widened(original)) << "plane " << c;
        }
    // The extremes: a checkerboard of -128 and 127.
    std::vector<int16_t> board(1024);
    for (int i = 0; i < 1024; ++i) board[i] = ((i / 32 + i) & 1) ? 127 : -128;
    std::vector<int32_t> tile = widened(transformed(board, 32, 32));
    inverse_transform_picture_tile(tile.data());
    EXPECT_EQ(tile, widened(board));
}

TEST(PictureQuantiser, details_truncate_toward_zero_and_tile_averages_stay) {
    std::vector<int16_t> plane(1024, 0);
    plane[0] = 127;          // the tile average
    plane[1] = 100;          // span 2: step 24 at quality 0
    plane[3] = -50;          // span 2
    plane[16] = 100;         // span 32: step 12
    plane[8 * 32 + 8] = -15; // span 16: step 15
    quantise_picture_plane(plane.data(), 32, 32, 0);
    EXPECT_EQ(plane[0], 127);
    EXPECT_EQ(plane[1], 4);
    EXPECT_EQ(plane[3], -2) << "truncation, not floor";
    EXPECT_EQ(plane[16], 8);
    EXPECT_EQ(plane[8 * 32 + 8], -1) << "step 15 at span 16";
}

TEST(PictureQuantiser, dequantising_lands_inside_each_step_interval) {
    std::vector<int16_t> plane(1024, 0);
    plane[1] = 100;
    plane[3] = -100;
    quantise_picture_plane(plane.data(), 32, 32, 1);  // step 16 at span 2
    std::vector<int32_t> tile = widened(plane);
    dequantise_picture_tile(tile.data(), 1);
    EXPECT_GE(tile[1], 96);
    EXPECT_LT(tile[1], 112);
    EXPECT_LE(tile[3], -96);
    EXPECT_GT(tile[3], -112);
    EXPECT_EQ(tile[5], 0) << "zero stays zero";
}
