#pragma once
// Script, live-list and BMP files made in the tests.

#include <cstdint>
#include <initializer_list>
#include <string>

// Lines joined as the station stores them: each ended by a zero byte.
inline std::string zero_lines(std::initializer_list<std::string> lines) {
    std::string bytes;
    for (const std::string& line : lines) {
        bytes += line;
        bytes += '\0';
    }
    return bytes;
}

inline void put_u16(std::string& b, size_t at, uint32_t v) {
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}
inline void put_u32(std::string& b, size_t at, uint32_t v) {
    put_u16(b, at, v & 0xFFFF);
    put_u16(b, at + 2, v >> 16);
}

// A bottom-up BMP with a grey gradient: 24 bits, or 8 bits with a grey
// colour table of 256 entries.
inline std::string bmp_bytes(int width, int height, int bits = 24) {
    size_t palette = bits == 8 ? 1024 : 0;
    size_t row = (static_cast<size_t>(width) * bits + 31) / 32 * 4;
    size_t offset = 54 + palette;
    std::string b(offset + row * static_cast<size_t>(height), '\0');
    b[0] = 'B';
    b[1] = 'M';
    put_u32(b, 2, static_cast<uint32_t>(b.size()));
    put_u32(b, 10, static_cast<uint32_t>(offset));
    put_u32(b, 14, 40);
    put_u32(b, 18, static_cast<uint32_t>(width));
    put_u32(b, 22, static_cast<uint32_t>(height));
    put_u16(b, 26, 1);
    put_u16(b, 28, static_cast<uint32_t>(bits));
    put_u32(b, 34, static_cast<uint32_t>(row * static_cast<size_t>(height)));
    for (size_t i = 0; i < palette / 4; ++i)
        for (size_t c = 0; c < 3; ++c) b[54 + i * 4 + c] = static_cast<char>(i);
    for (size_t i = offset; i < b.size(); ++i) b[i] = static_cast<char>(i * 7);
    return b;
}
