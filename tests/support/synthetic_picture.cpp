#include "support/synthetic_picture.h"

#include "server/bmp_header.h"

#include <cmath>
#include <cstdlib>

namespace {

SyntheticPicture blank_picture(int width, int height, int row_stride) {
    SyntheticPicture picture;
    picture.width = width;
    picture.height = height;
    picture.row_stride = row_stride > 0 ? row_stride : width * 3;
    picture.pixels.assign(static_cast<size_t>(picture.row_stride) * height, 0);
    return picture;
}

unsigned next_random(unsigned& state) {
    state = state * 1103515245u + 12345u;
    return state >> 16;
}

uint8_t clamp_byte(double v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : std::lround(v)); }

}  // namespace

SyntheticPicture make_gradient_picture(int width, int height, int row_stride) {
    SyntheticPicture picture = blank_picture(width, height, row_stride);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = picture.pixel(x, y);
            p[0] = static_cast<uint8_t>(x * 255 / (width > 1 ? width - 1 : 1));
            p[1] = static_cast<uint8_t>(y * 255 / (height > 1 ? height - 1 : 1));
            p[2] = static_cast<uint8_t>((x + y) * 255 / (width + height > 2 ? width + height - 2 : 1));
        }
    return picture;
}

SyntheticPicture make_photo_picture(int width, int height, unsigned seed) {
    SyntheticPicture picture = blank_picture(width, height, 0);
    unsigned state = seed;
    const double cx = width * 0.4, cy = height * 0.6, radius = (width < height ? width : height) * 0.3;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double sky = 60 + 120.0 * y / height;
            const double wave = 25 * std::sin(x * 0.11) * std::cos(y * 0.07);
            const double inside = std::hypot(x - cx, y - cy) < radius ? 70 : 0;  // a hard edge
            const double grain = static_cast<int>(next_random(state) % 9) - 4;
            uint8_t* p = picture.pixel(x, y);
            p[0] = clamp_byte(sky + wave + grain);
            p[1] = clamp_byte(sky * 0.8 + inside + grain);
            p[2] = clamp_byte(200 - sky * 0.5 + wave + inside * 0.5 + grain);
        }
    return picture;
}

SyntheticPicture make_noise_picture(int width, int height, unsigned seed) {
    SyntheticPicture picture = blank_picture(width, height, 0);
    unsigned state = seed;
    for (uint8_t& byte : picture.pixels) byte = static_cast<uint8_t>(next_random(state));
    return picture;
}

std::vector<uint8_t> copy_tile(const SyntheticPicture& picture, int column, int row) {
    std::vector<uint8_t> tile(32 * 96);
    for (int y = 0; y < 32; ++y)
        for (int i = 0; i < 96; ++i)
            tile[y * 96 + i] =
                picture.pixels[static_cast<size_t>(row * 32 + y) * picture.row_stride + column * 96 + i];
    return tile;
}

double mean_absolute_error(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.empty() || a.size() != b.size()) return 1e9;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) sum += std::abs(a[i] - b[i]);
    return sum / a.size();
}

std::string gradient_bmp(int width, int height) {
    const int row_bytes = bmp24_row_bytes(width);
    SyntheticPicture picture = make_gradient_picture(width, height, row_bytes);
    uint8_t header[BMP_HEADER_SIZE];
    make_bmp24_header(header, width, height);
    return std::string(reinterpret_cast<const char*>(header), sizeof header) +
           std::string(picture.pixels.begin(), picture.pixels.end());
}
