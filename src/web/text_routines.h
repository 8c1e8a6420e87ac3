#pragma once
// The small text routines of the web client: line splitting of replies,
// Base64 for the proxy's Basic authorization, hex for stored bytes, and the
// scrambling of the stored proxy password.

#include <cstdint>

// Copies the line that starts at `position` of `text` into `line` and
// returns where the next line starts, or 0 when this was the last one (the
// text at `position` empty: 0, `line` untouched). The whole rest of the text
// is searched for "\r\n" first, then "\n", then "\r"; the line end found is
// overwritten with a NUL in `text`. `line` must hold the longest line.
int next_line(char* text, int position, char* line);

// Standard Base64 (RFC 4648 alphabet, "=" fill) of a NUL-terminated text;
// `out` needs 4 * ceil(strlen(in) / 3) + 1 bytes.
void base64_encode(const char* in, char* out);

// Each byte as two uppercase hex digits, NUL-terminated (2 * count + 1 bytes).
void hex_encode(const uint8_t* bytes, char* out, int count);
// Each pair of characters to one byte, high digit first; a character that is
// no hex digit counts as 0; an odd last character is ignored. Returns the
// number of bytes written (strlen(hex) / 2).
int hex_decode(const char* hex, uint8_t* out);

// The 31-bit scrambling key of a user id: the id repeated to 64 characters
// (64 zero bytes when empty), its 16 little-endian words mixed by the key table.
uint32_t password_key(const char* user_id);
// XORs `count` bytes with the key stream of `key`; its own inverse.
void xor_keystream(uint8_t* bytes, int count, uint32_t key);
