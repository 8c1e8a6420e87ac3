// prepare_picture on whole pictures: the processed region, the bytes it must
// not touch, progress, refusals and the write-back clip.

#include <gtest/gtest.h>

#include <vector>

#include "codec/picture_coder.h"
#include "support/synthetic_picture.h"

namespace {

int prepare(SyntheticPicture& picture, int quality, const PictureProgress& progress = nullptr) {
    return prepare_picture(picture.pixels.data(), picture.pixels.size(), picture.width,
                           picture.height, picture.row_stride, quality, progress);
}

}  // namespace

TEST(PreparePicture, picture_100_by_50_processes_32_rows_by_96_columns_and_keeps_the_rest) {
    SyntheticPicture picture = make_photo_picture(100, 50, 5);
    const SyntheticPicture original = picture;
    ASSERT_EQ(prepare(picture, 2), 1);

    int changed_inside = 0;
    for (int y = 0; y < 50; ++y)
        for (int i = 0; i < 300; ++i) {
            const size_t at = static_cast<size_t>(y) * 300 + i;
            if (y < 32 && i < 96 * 3)
                changed_inside += picture.pixels[at] != original.pixels[at];
            else
                ASSERT_EQ(picture.pixels[at], original.pixels[at]) << "row " << y << " byte " << i;
        }
    EXPECT_GT(changed_inside, 32 * 96 * 3 / 2);

    // Each tile's corner holds the tile average of each colour, taken by ten
    // halvings that each round down by at most half a unit.
    for (int column = 0; column < 3; ++column)
        for (int c = 0; c < 3; ++c) {
            const std::vector<uint8_t> tile = copy_tile(original, column, 0);
            double sum = 0;
            for (int i = c; i < 3072; i += 3) sum += tile[i];
            const int corner = picture.pixel(column * 32, 0)[c];
            EXPECT_LE(corner, sum / 1024) << "tile " << column << " colour " << c;
            EXPECT_GE(corner, sum / 1024 - 5) << "tile " << column << " colour " << c;
        }
}

TEST(PreparePicture, reports_progress_in_its_eight_steps) {
    SyntheticPicture picture = make_gradient_picture(64, 64);
    std::vector<int> steps;
    ASSERT_EQ(prepare(picture, 2, [&steps](int percent) { steps.push_back(percent); }), 1);
    EXPECT_EQ(steps, (std::vector<int>{10, 25, 40, 55, 65, 75, 85, 95}));
}

TEST(PreparePicture, row_padding_beyond_the_pixels_is_never_touched) {
    SyntheticPicture picture = make_gradient_picture(64, 40, 64 * 3 + 7);
    for (int y = 0; y < 40; ++y)
        for (int i = 64 * 3; i < picture.row_stride; ++i) picture.pixels[y * picture.row_stride + i] = 0xA5;
    ASSERT_EQ(prepare(picture, 4), 1);
    for (int y = 0; y < 40; ++y)
        for (int i = 64 * 3; i < picture.row_stride; ++i)
            ASSERT_EQ(picture.pixels[y * picture.row_stride + i], 0xA5) << y << "," << i;
}

TEST(PreparePicture, refuses_what_does_not_describe_its_block_and_leaves_it_alone) {
    SyntheticPicture picture = make_photo_picture(64, 64, 9);
    const std::vector<uint8_t> original = picture.pixels;
    uint8_t* p = picture.pixels.data();
    const size_t size = picture.pixels.size();
    EXPECT_EQ(prepare_picture(p, size, 64, 64, 192, 5, nullptr), 0) << "no schedule for quality 5";
    EXPECT_EQ(prepare_picture(p, size, 64, 64, 192, -1, nullptr), 0);
    EXPECT_EQ(prepare_picture(p, size, 64, 64, 191, 2, nullptr), 0) << "rows overlap";
    EXPECT_EQ(prepare_picture(p, size - 1, 64, 64, 192, 2, nullptr), 0) << "block one byte short";
    EXPECT_EQ(prepare_picture(p, size, 64, 65, 192, 2, nullptr), 0) << "one row more than the block";
    EXPECT_EQ(prepare_picture(p, size, -64, 64, 192, 2, nullptr), 0);
    EXPECT_EQ(prepare_picture(nullptr, 0, 64, 64, 192, 2, nullptr), 0);
    EXPECT_EQ(picture.pixels, original);
}

TEST(PreparePicture, pictures_smaller_than_a_tile_stay_as_they_are) {
    SyntheticPicture picture = make_photo_picture(31, 200, 2);
    const std::vector<uint8_t> original = picture.pixels;
    EXPECT_EQ(prepare(picture, 2), 1);
    EXPECT_EQ(picture.pixels, original);
}

TEST(PreparePicture, coarse_details_beyond_a_byte_saturate_instead_of_wrapping) {
    // Blue columns in runs: 0..7 dark, 8..11 bright, 12..15 dark, 16..23
    // bright. At span 8 the pair (8, 12) differs by 255 and its neighbours'
    // slope adds 64: 319, halved by the step 2 of quality 4 = 159.
    SyntheticPicture picture = make_gradient_picture(32, 32);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x)
            picture.pixel(x, y)[0] = (x >= 8 && x < 12) || (x >= 16 && x < 24) ? 255 : 0;
    ASSERT_EQ(prepare(picture, 4), 1);
    EXPECT_EQ(picture.pixel(12, 0)[0], 255);
}
