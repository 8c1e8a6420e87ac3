#include "web/text_routines.h"

#include <cstring>

namespace {

// A fixed permutation of the bit positions 0..30: the only key material of
// the password scrambling. Changing it makes stored passwords unreadable.
constexpr int kKeyTable[31] = {17, 4, 29, 11, 0, 23, 8, 26, 14, 2, 19, 30, 6, 21, 12, 27,
                               1, 16, 9, 24, 5, 28, 13, 3, 20, 10, 25, 7, 15, 22, 18};

uint32_t permute_bits(uint32_t word, int rotation) {
    uint32_t result = 0;
    for (int j = 0; j < 31; ++j)
        if (word >> kKeyTable[(j + rotation) % 31] & 1u) result |= 1u << j;
    return result;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 0;
}

}  // namespace

int next_line(char* text, int position, char* line) {
    char* start = text + position;
    if (*start == '\0') return 0;
    int end_length = 2;
    char* end = strstr(start, "\r\n");
    if (!end) {
        end_length = 1;
        end = strchr(start, '\n');
        if (!end) end = strchr(start, '\r');
    }
    if (!end) {
        strcpy(line, start);
        return 0;
    }
    *end = '\0';
    strcpy(line, start);
    return static_cast<int>(end - text) + end_length;
}

void base64_encode(const char* in, char* out) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const auto* bytes = reinterpret_cast<const uint8_t*>(in);
    size_t length = strlen(in), i = 0;
    for (; i + 3 <= length; i += 3) {
        uint32_t group = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
        for (int k = 3; k >= 0; --k) *out++ = kAlphabet[group >> (6 * k) & 63];
    }
    if (length - i == 1) {
        uint32_t group = bytes[i] << 16;
        *out++ = kAlphabet[group >> 18 & 63];
        *out++ = kAlphabet[group >> 12 & 63];
        *out++ = '=';
        *out++ = '=';
    } else if (length - i == 2) {
        uint32_t group = bytes[i] << 16 | bytes[i + 1] << 8;
        *out++ = kAlphabet[group >> 18 & 63];
        *out++ = kAlphabet[group >> 12 & 63];
        *out++ = kAlphabet[group >> 6 & 63];
        *out++ = '=';
    }
    *out = '\0';
}

void hex_encode(const uint8_t* bytes, char* out, int count) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (int i = 0; i < count; ++i) {
        *out++ = kDigits[bytes[i] >> 4];
        *out++ = kDigits[bytes[i] & 15];
    }
    *out = '\0';
}

int hex_decode(const char* hex, uint8_t* out) {
    int count = static_cast<int>(strlen(hex) / 2);
    for (int i = 0; i < count; ++i)
        out[i] = static_cast<uint8_t>(hex_digit(hex[2 * i]) << 4 | hex_digit(hex[2 * i + 1]));
    return count;
}

uint32_t password_key(const char* user_id) {
    uint8_t buffer[64] = {};
    size_t length = strlen(user_id);
    for (size_t i = 0; length > 0 && i < 64; ++i) buffer[i] = static_cast<uint8_t>(user_id[i % length]);
    uint32_t mixed = 0;
    for (int k = 0; k < 16; ++k) {
        const uint8_t* w = buffer + 4 * k;
        uint32_t word = w[0] | w[1] << 8 | w[2] << 16 | static_cast<uint32_t>(w[3]) << 24;
        mixed ^= permute_bits(word, k);
    }
    return permute_bits(mixed, 11);
}

void xor_keystream(uint8_t* bytes, int count, uint32_t key) {
    uint32_t x = key;
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        x += x >> 7;
        for (int b = 0; b < 4; ++b) bytes[i + b] ^= static_cast<uint8_t>(x >> (8 * b));
    }
    for (; i < count; ++i) {
        x += x >> 7;
        bytes[i] ^= static_cast<uint8_t>(x);
    }
}
