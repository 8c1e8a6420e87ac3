#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "codec/coefficient_coder.h"

namespace {

// Reads `bits` bits at bit position `pos` (most significant first).
int field(const std::vector<uint8_t>& bytes, int pos, int bits) {
    int v = 0;
    for (int i = 0; i < bits; ++i, ++pos) v = (v << 1) | ((bytes[pos >> 3] >> (7 - (pos & 7))) & 1);
    return v;
}

struct CoefficientCoderTest : ::testing::Test {
    CodecState codec;
    std::unique_ptr<RunTable> runs = std::make_unique<RunTable>();
    std::vector<uint8_t> out = std::vector<uint8_t>(max_coefficient_bytes(2048), 0xAA);

    // Counts and packs in `mode`; returns the written bytes.
    std::vector<uint8_t> pack(const std::vector<int16_t>& values, int mode, int* counted = nullptr) {
        codec.coding_mode = mode;
        int n = count_bits(codec, values.data(), int(values.size()), *runs);
        if (counted) *counted = n;
        int bits = pack_coefficients(codec, values.data(), out.data(), int(values.size()), *runs);
        EXPECT_EQ(bits % 8, 0);
        return std::vector<uint8_t>(out.begin(), out.begin() + bits / 8);
    }

    void expect_round_trip(const std::vector<int16_t>& values, int mode) {
        std::vector<uint8_t> bytes = pack(values, mode);
        std::vector<int16_t> back(values.size(), 99);
        int used = unpack_coefficients(bytes.data(), int(bytes.size()), back.data(),
                                       int(values.size()), mode);
        EXPECT_EQ(used, int(bytes.size()));
        EXPECT_EQ(back, values);
    }
};

TEST_F(CoefficientCoderTest, all_zero_run_length_frame_is_35_bits_in_5_bytes) {
    std::vector<int16_t> zeros(2048, 0);
    int counted = 0;
    std::vector<uint8_t> bytes = pack(zeros, CODING_RUN_LENGTH, &counted);
    EXPECT_EQ(counted, 35);
    ASSERT_EQ(runs->count, 2);
    EXPECT_EQ(runs->groups[0].word, 1);  // n = 0, e = 1
    EXPECT_EQ(runs->groups[0].zero_run, 2047);
    EXPECT_EQ(runs->groups[1].word, 2);  // n = 1, e = 0, no zero run
    // 000000000001 11111111111 | 0000000001 0 | 1 | padding
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x00, 0x1F, 0xFE, 0x00, 0xA0}));
    expect_round_trip(zeros, CODING_RUN_LENGTH);
}

TEST_F(CoefficientCoderTest, plain_codes_are_unary_with_sign_or_escape) {
    // 0 -> 1; 3 -> 000 1 0; -1 -> 0 1 1; 12 -> 12 zeros + 2060; -2048 -> 12 zeros + 0
    std::vector<int16_t> values = {0, 3, -1, 12, -2048};
    std::vector<uint8_t> bytes = pack(values, CODING_PLAIN);
    int counted = count_bits(codec, values.data(), 5, *runs);
    EXPECT_EQ(counted, 1 + 5 + 3 + 24 + 24);
    EXPECT_EQ(field(bytes, 0, 1), 1);
    EXPECT_EQ(field(bytes, 1, 5), 0b00010);
    EXPECT_EQ(field(bytes, 6, 3), 0b011);
    EXPECT_EQ(field(bytes, 9, 12), 0);
    EXPECT_EQ(field(bytes, 21, 12), 2060);
    EXPECT_EQ(field(bytes, 33, 12), 0);
    EXPECT_EQ(field(bytes, 45, 12), 0);
    EXPECT_EQ(bytes.size(), 57u / 8 + 1);
}

TEST_F(CoefficientCoderTest, whole_bytes_of_bits_still_get_a_closing_zero_byte) {
    std::vector<int16_t> zeros(8, 0);
    EXPECT_EQ(pack(zeros, CODING_PLAIN), (std::vector<uint8_t>{0xFF, 0x00}));
    std::vector<int16_t> ones(2048, 1);  // 3 bits each: 6144 bits
    EXPECT_EQ(pack(ones, CODING_PLAIN).size(), 769u);
}

TEST_F(CoefficientCoderTest, value_11_in_a_zero_free_group_is_escaped) {
    std::vector<int16_t> values(2048, 0);
    for (int i = 0; i < 30; ++i) values[i] = 11;
    int counted = 0;
    std::vector<uint8_t> bytes = pack(values, CODING_RUN_LENGTH, &counted);
    ASSERT_GE(runs->count, 1);
    EXPECT_EQ(runs->groups[0].word, 2 * 23 + 1);  // 23 literals without zeros
    EXPECT_EQ(field(bytes, 0, 12), 47);
    EXPECT_EQ(field(bytes, 12, 11), 0);     // eleven zero bits...
    EXPECT_EQ(field(bytes, 23, 12), 2059);  // ...and 11 + 2048
    // The estimate charges 12 bits for each of those literals, the writer 23.
    EXPECT_LT(counted, int(bytes.size()) * 8);
    expect_round_trip(values, CODING_RUN_LENGTH);
}

TEST_F(CoefficientCoderTest, open_group_of_all_values_is_closed_so_its_count_fits) {
    // No group closes before the end, the last value is zero and one zero sits
    // inside: the final group spans all 2048 values.
    std::vector<int16_t> values(2048, 1);
    values[5] = 0;
    values[2047] = 0;
    pack(values, CODING_RUN_LENGTH);
    ASSERT_EQ(runs->count, 1);
    EXPECT_EQ(runs->groups[0].word, 2 * 2047);  // n = 2047, e = 0
    EXPECT_EQ(runs->groups[0].zero_run, 1);
    expect_round_trip(values, CODING_RUN_LENGTH);
}

TEST_F(CoefficientCoderTest, random_values_survive_both_modes) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 40; ++trial) {
        int count = trial % 2 ? 2048 : 1024;
        int zero_percent = trial % 5 * 24;  // 0, 24, 48, 72, 96
        int spread = trial % 3 == 0 ? 2047 : trial % 3 == 1 ? 13 : 2;
        std::vector<int16_t> values(count);
        for (auto& v : values) {
            if (int(rng() % 100) < zero_percent) v = 0;
            else v = int16_t(int(rng() % (2 * spread + 1)) - spread);
            if (v == 2048) v = 2047;
        }
        // Long zero stretches exercise the narrowing field width.
        if (trial % 4 == 3)
            for (int i = count / 3; i < count - 7; ++i) values[i] = 0;
        expect_round_trip(values, CODING_PLAIN);
        expect_round_trip(values, CODING_RUN_LENGTH);
    }
}

TEST_F(CoefficientCoderTest, truncated_or_overlong_streams_are_refused) {
    std::vector<int16_t> values(2048, 0);
    values[100] = -300;
    values[2000] = 4;
    std::vector<uint8_t> bytes = pack(values, CODING_RUN_LENGTH);
    std::vector<int16_t> back(2048);
    for (int cut = 0; cut < int(bytes.size()); ++cut)
        EXPECT_EQ(unpack_coefficients(bytes.data(), cut, back.data(), 2048, CODING_RUN_LENGTH), -1)
            << cut;
    // A first group claiming 2047 literals and a zero run beyond the end.
    std::vector<uint8_t> bad = {0xFF, 0xE0, 0x00, 0x00};
    EXPECT_EQ(unpack_coefficients(bad.data(), 4, back.data(), 1024, CODING_RUN_LENGTH), -1);
}

}  // namespace
