#pragma once
// The coefficient coder shared by the audio codec and the picture coder: it
// counts, writes and reads a stream of signed values in -2048..2047.
//
// Plain mode codes every value alone:
//   0            -> "1"
//   0 < |v| < 12 -> |v| zero bits, "1", sign bit (0 positive, 1 negative)
//   |v| >= 12    -> twelve zero bits, then v + 2048 in 12 bits (the escape)
// Run-length mode codes groups with a field width F that starts at 11:
//   n (F bits) | e (1 bit) | n literals | z (F bits, omitted once all values are coded)
// A literal in a group with e = 1 (no zeros among its literals) has |v| - 1
// leading zero bits and escapes from |v| >= 11. After each group that ends
// with a zero run, F drops by one while 2048 minus the values coded so far is
// below 2^F / 2 - 1 and F > 2 (2048 even for 1024-value picture planes).
// Bits go most significant first; the stream ends with the partial byte
// padded with zeros, or a whole zero byte when it ends on a byte boundary.

#include <cstdint>

#include "codec/codec_state.h"

// The escape threshold and field of the value code.
constexpr int kEscapeThreshold = 12;
constexpr int kEscapeBits = 12;
constexpr int kEscapeOffset = 2048;
constexpr int kInitialFieldWidth = 11;

// Most bytes pack_coefficients can write for `count` values in either mode:
// 24 bits a value at worst, plus at most one bit a value of group overhead in
// run-length mode, plus the closing byte.
constexpr int max_coefficient_bytes(int count) { return (25 * count + 7) / 8 + 8; }

// One closed or final group of the run-length mode: word = 2n + e (n literal
// values, e = 1 when none of them is zero), followed by zero_run zeros.
struct RunGroup {
    int32_t word;
    int32_t zero_run;
};

// Every group holds at least one value, so count + 1 entries always suffice.
constexpr int kMaxRunGroups = 2049;

// The groups that count_bits found, for pack_coefficients to write.
struct RunTable {
    int count = 0;
    RunGroup groups[kMaxRunGroups];
};

// Bit estimate of coding `values` (count of them) in codec.coding_mode. In
// run-length mode it also fills `runs` with the groups pack_coefficients
// will write. The estimate charges the zero-run field of a final closed group
// that the writer omits, and a magnitude-11 literal of a zero-free group as
// 12 bits although the writer escapes it.
int count_bits(CodecState& codec, const int16_t* values, int count, RunTable& runs);

// Writes the stream for `values` in codec.coding_mode to `out` (room for
// max_coefficient_bytes(count)). In run-length mode `runs` must be the table
// of the last count_bits call on these same values. Returns 8 x bytes written.
int pack_coefficients(CodecState& codec, const int16_t* values, uint8_t* out, int count,
                      const RunTable& runs);

// Reads `count` values coded in `mode` (CODING_PLAIN or CODING_RUN_LENGTH)
// from the `length` bytes at `in`. Returns the coefficient bytes the stream
// occupies (bits read / 8 + 1, the closing byte included), or -1 when the
// stream is malformed: it runs past `length`, or a group would code more
// than `count` values. Never reads outside in[0..length).
int unpack_coefficients(const uint8_t* in, int length, int16_t* values, int count, int mode);
