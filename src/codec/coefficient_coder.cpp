#include "codec/coefficient_coder.h"

#include <cstdlib>

namespace {

// The field width drops near the end of the values; the test uses 2048 for
// pictures too, so their 1024-value planes keep 11-bit fields throughout.
constexpr int kWidthReference = 2048;

// Bits of a value coded alone in plain mode.
inline int plain_bits(int v) {
    if (v == 0) return 1;
    int a = std::abs(v);
    return a < kEscapeThreshold ? a + 2 : 2 * kEscapeBits;
}

// Gathers run-length groups while count_bits walks the values.
struct GroupCounter {
    RunTable& runs;
    int bits = 0;
    int length = 0;         // values in the open group
    int trailing_zeros = 0;
    int zeros = 0;          // zeros anywhere in the open group
    int width = kInitialFieldWidth;
    int limit = 1 << kInitialFieldWidth;

    // Records the open group with its trailing zeros as the zero run and
    // swaps the plain charges of those zeros for the group's fields.
    void close() {
        int e = trailing_zeros == zeros ? 1 : 0;
        int literals = length - trailing_zeros;
        runs.groups[runs.count++] = {2 * literals + e, trailing_zeros};
        bits += -trailing_zeros - (e ? literals : 0) + 2 * width + 1;
        length = trailing_zeros = zeros = 0;
    }

    // After a group that ends with a zero run, narrow the fields once few
    // values are left.
    void narrow(int coded) {
        if (kWidthReference - coded < limit / 2 - 1 && width > 2) {
            --width;
            limit /= 2;
        }
    }
};

// Most significant bit first into a byte buffer.
struct BitWriter {
    uint8_t* out;
    int bytes = 0;
    uint32_t pending = 0;  // bits not yet flushed, right-aligned
    int pending_bits = 0;

    void put(uint32_t value, int bits) {
        pending = (pending << bits) | (value & ((1u << bits) - 1));
        pending_bits += bits;
        while (pending_bits >= 8) {
            pending_bits -= 8;
            out[bytes++] = uint8_t(pending >> pending_bits);
        }
        pending &= (1u << pending_bits) - 1;
    }

    // The partial byte padded with zeros, or a whole zero byte.
    void finish() {
        out[bytes++] = uint8_t(pending << (8 - pending_bits));
        pending = 0;
        pending_bits = 0;
    }
};

// One value's code; `zero_free` (e) shortens the leading zeros by one.
inline void put_value(BitWriter& w, int v, int zero_free) {
    if (v == 0) {
        w.put(1, 1);
        return;
    }
    int a = std::abs(v);
    if (a >= kEscapeThreshold - zero_free) {
        w.put(0, kEscapeThreshold - zero_free);
        w.put(uint32_t(v + kEscapeOffset), kEscapeBits);
        return;
    }
    // a - e zero bits, the one bit, the sign bit: at most 13 bits.
    w.put(0, a - zero_free);
    w.put(v < 0 ? 3 : 2, 2);
}

struct BitReader {
    const uint8_t* in;
    int length_bits;
    int position = 0;

    bool get(int bits, int& value) {
        if (position + bits > length_bits) return false;
        int v = 0;
        for (int i = 0; i < bits; ++i, ++position)
            v = (v << 1) | ((in[position >> 3] >> (7 - (position & 7))) & 1);
        value = v;
        return true;
    }
};

inline bool get_value(BitReader& r, int zero_free, int16_t& value) {
    int zeros = 0;
    int bit = 0;
    int escape_zeros = kEscapeThreshold - zero_free;
    while (zeros < escape_zeros) {
        if (!r.get(1, bit)) return false;
        if (bit) break;
        ++zeros;
    }
    if (zeros == escape_zeros) {
        int field = 0;
        if (!r.get(kEscapeBits, field)) return false;
        value = int16_t(field - kEscapeOffset);
        return true;
    }
    int magnitude = zeros + zero_free;
    if (magnitude == 0) {
        value = 0;
        return true;
    }
    int sign = 0;
    if (!r.get(1, sign)) return false;
    value = int16_t(sign ? -magnitude : magnitude);
    return true;
}

}  // namespace

int count_bits(CodecState& codec, const int16_t* values, int count, RunTable& runs) {
    if (codec.coding_mode != CODING_RUN_LENGTH) {
        int bits = 0;
        for (int j = 0; j < count; ++j) bits += plain_bits(values[j]);
        return bits;
    }

    runs.count = 0;
    GroupCounter g{runs};
    for (int j = 0; j < count; ++j) {
        int v = values[j];
        if (v != 0) {
            if (g.trailing_zeros > 2 * g.width ||
                (g.length > 2 * g.width && g.trailing_zeros == g.zeros) ||
                g.length > g.limit - 2) {
                g.close();
                g.narrow(j);
            }
            g.trailing_zeros = 0;
        } else {
            if (g.trailing_zeros > g.limit - 2) {
                g.close();
                g.narrow(j);
            }
            ++g.trailing_zeros;
            ++g.zeros;
        }
        g.bits += plain_bits(v);
        ++g.length;
    }

    if (g.length > 0) {
        // A last group of more literals than its field can hold (all 2048
        // values with a few trailing zeros) is closed like the others too.
        if (g.trailing_zeros > g.width ||
            (g.length > g.width && g.trailing_zeros == g.zeros) ||
            g.length > g.limit - 1) {
            g.close();
        } else {
            runs.groups[runs.count++] = {2 * g.length, 0};
            g.bits += g.width + 1;
        }
    }
    return g.bits;
}

int pack_coefficients(CodecState& codec, const int16_t* values, uint8_t* out, int count,
                      const RunTable& runs) {
    BitWriter w{out};
    if (codec.coding_mode != CODING_RUN_LENGTH) {
        for (int j = 0; j < count; ++j) put_value(w, values[j], 0);
        w.finish();
        return 8 * w.bytes;
    }

    int width = kInitialFieldWidth;
    int coded = 0;
    for (int i = 0; i < runs.count && coded < count; ++i) {
        int literals = runs.groups[i].word >> 1;
        int e = runs.groups[i].word & 1;
        // A table that does not belong to these values must not walk past them.
        if (literals > count - coded) literals = count - coded;
        w.put(uint32_t(2 * literals + e), width + 1);
        for (int k = 0; k < literals; ++k) put_value(w, values[coded + k], e);
        coded += literals;
        if (coded < count) {
            int zero_run = runs.groups[i].zero_run;
            if (zero_run > count - coded) zero_run = count - coded;
            w.put(uint32_t(zero_run), width);
            coded += zero_run;
            if (kWidthReference - coded < (1 << width) / 2 - 1 && width > 2) --width;
        }
    }
    w.finish();
    return 8 * w.bytes;
}

int unpack_coefficients(const uint8_t* in, int length, int16_t* values, int count, int mode) {
    if (length < 0) return -1;
    BitReader r{in, 8 * length};
    if (mode != CODING_RUN_LENGTH) {
        for (int j = 0; j < count; ++j)
            if (!get_value(r, 0, values[j])) return -1;
    } else {
        int width = kInitialFieldWidth;
        int coded = 0;
        while (coded < count) {
            int word = 0;
            if (!r.get(width + 1, word)) return -1;
            int literals = word >> 1;
            int e = word & 1;
            if (literals > count - coded) return -1;
            for (int k = 0; k < literals; ++k)
                if (!get_value(r, e, values[coded + k])) return -1;
            coded += literals;
            if (coded == count) break;
            int zero_run = 0;
            if (!r.get(width, zero_run)) return -1;
            if (zero_run > count - coded) return -1;
            for (int k = 0; k < zero_run; ++k) values[coded + k] = 0;
            coded += zero_run;
            if (kWidthReference - coded < (1 << width) / 2 - 1 && width > 2) --width;
        }
    }
    int bytes = r.position / 8 + 1;
    return bytes <= length ? bytes : -1;
}
