#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "script_test_media.h"
#include "media/picture_check.h"
#include "support/temp_dir.h"

namespace {

struct PictureCheckTest : ::testing::Test {
    TempDir dir;
    int check(const std::string& bytes) {
        write_file(dir.file("p.bmp"), bytes);
        return check_picture_file(dir.file("p.bmp").c_str());
    }
};

TEST_F(PictureCheckTest, well_formed_8_and_24_bit_pictures_are_usable) {
    EXPECT_EQ(check(bmp_bytes(100, 50)), 0);
    EXPECT_EQ(check(bmp_bytes(101, 3)), 0);  // rows padded to 4 bytes
    EXPECT_EQ(check(bmp_bytes(33, 17, 8)), 0);
    EXPECT_EQ(check(bmp_bytes(1, 1) + "trailing bytes"), 0);
}

TEST_F(PictureCheckTest, missing_file_cannot_be_opened) {
    EXPECT_EQ(check_picture_file(dir.file("none.bmp").c_str()), 2);
    EXPECT_EQ(check_picture_file(""), 2);
}

TEST_F(PictureCheckTest, wrong_kind_or_short_files_are_not_usable) {
    std::string good = bmp_bytes(8, 8);
    EXPECT_EQ(check(good.substr(0, 53)), 1);
    EXPECT_EQ(check(std::string(54, 'B')), 1);

    std::string not_bm = good;
    not_bm[1] = 'A';
    EXPECT_EQ(check(not_bm), 1);
    for (int bits : {1, 4, 16, 32}) EXPECT_EQ(check(bmp_bytes(8, 8, bits)), 1) << bits;

    std::string longer_claim = good;
    put_u32(longer_claim, 2, static_cast<uint32_t>(good.size() + 1));
    EXPECT_EQ(check(longer_claim), 1);
}

TEST_F(PictureCheckTest, headers_that_lie_about_the_pixels_are_not_usable) {
    std::string good = bmp_bytes(16, 16);
    auto with_u32 = [&](size_t at, uint32_t value) {
        std::string b = good;
        put_u32(b, at, value);
        return b;
    };
    EXPECT_EQ(check(with_u32(18, 0)), 1);  // no width
    EXPECT_EQ(check(with_u32(22, 0)), 1);  // no height
    EXPECT_EQ(check(with_u32(18, static_cast<uint32_t>(-16))), 1);
    EXPECT_EQ(check(with_u32(22, static_cast<uint32_t>(-16))), 0);  // top-down rows are read
    EXPECT_EQ(check(with_u32(22, static_cast<uint32_t>(-17))), 1);
    EXPECT_EQ(check(with_u32(18, 17)), 1);                          // rows beyond the file
    EXPECT_EQ(check(with_u32(22, 17)), 1);
    EXPECT_EQ(check(with_u32(10, 55)), 1);  // pixels start too late
    EXPECT_EQ(check(with_u32(10, 0xFFFFFFF0u)), 1);
    EXPECT_EQ(check(with_u32(10, 20)), 1);       // pixels inside the header
    EXPECT_EQ(check(with_u32(18, 0x10000)), 1);  // beyond 16-bit sides
    EXPECT_EQ(check(with_u32(18, 0x7FFFFFFF)), 1);
    EXPECT_EQ(check(with_u32(2, 0xFFFFFFFFu)), 1);  // file size claim
}

TEST_F(PictureCheckTest, pictures_too_large_to_widen_are_not_usable) {
    // An 8-bit picture is widened to 3 bytes a pixel in one block; at
    // 32767 x 32767 that block would not fit. The files are sparse.
    auto check_sparse = [&](int width, int height) {
        std::string header = bmp_bytes(1, 1, 8);
        put_u32(header, 18, static_cast<uint32_t>(width));
        put_u32(header, 22, static_cast<uint32_t>(height));
        std::string path = dir.file("big.bmp");
        write_file(path, header.substr(0, 54 + 1024));
        uintmax_t row = (static_cast<uintmax_t>(width) + 3) / 4 * 4;
        std::filesystem::resize_file(path, 54 + 1024 + row * static_cast<uintmax_t>(height));
        return check_picture_file(path.c_str());
    };
    EXPECT_EQ(check_sparse(32767, 20000), 0);
    EXPECT_EQ(check_sparse(32767, 32767), 1);
}

}  // namespace
