#include <gtest/gtest.h>

#include <string>

#include "server/bmp_header.h"
#include "media/picture_check.h"
#include "support/temp_dir.h"

namespace {

// A picture written with our header is one the station accepts, padded rows included.
TEST(BmpHeaderTest, pictures_written_with_it_pass_the_station_check) {
    TempDir dir;
    for (int width : {32, 33, 35, 160}) {
        uint8_t header[BMP_HEADER_SIZE];
        make_bmp24_header(header, width, 7);
        std::string bytes(reinterpret_cast<char*>(header), BMP_HEADER_SIZE);
        bytes.append(static_cast<size_t>(bmp24_row_bytes(width)) * 7, '\x40');
        std::string name = "p";  // appended: GCC 12 warns on "p" + std::to_string(...)
        name += std::to_string(width);
        name += ".bmp";
        std::string path = dir.file(name);
        write_file(path, bytes);
        EXPECT_EQ(check_picture_file(path.c_str()), 0) << width;
        // One row short: the header promises more than the file holds.
        write_file(path, bytes.substr(0, bytes.size() - static_cast<size_t>(bmp24_row_bytes(width))));
        EXPECT_EQ(check_picture_file(path.c_str()), 1) << width;
    }
    EXPECT_EQ(bmp24_row_bytes(33), 100);
}

}  // namespace
