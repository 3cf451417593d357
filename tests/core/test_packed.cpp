#include <gtest/gtest.h>

#include <numeric>

#include "helpers.hpp"
#include "shared/packed.hpp"
#include "shared/scale.hpp"

namespace velmar {
namespace {

using namespace velmar::testing;
using Bytes = std::vector<uint8_t>;
using Codes = std::vector<int32_t>;

TEST(CheckBits, AcceptsTwoToSixteen) {
    for (uint32_t b = 2; b <= 16; ++b) EXPECT_TRUE(check_bits(b).has_value()) << b;
}

TEST(CheckBits, RejectsOthersCarryingTheWidth) {
    for (uint32_t b : {0u, 1u, 17u, 40u, 4294967295u}) {
        const Status st = check_bits(b);
        ASSERT_FALSE(st.has_value()) << b;
        EXPECT_EQ(st.error(), CoreError::invalid_bits(b));
    }
}

struct PackCase {
    Codes codes;
    uint32_t bits;
    Bytes bytes;
};

class PackExamples : public ::testing::TestWithParam<PackCase> {};

TEST_P(PackExamples, PacksAndUnpacksExactly) {
    const PackCase& c = GetParam();
    const Packed p = Packed::from_i32s(c.codes, c.bits);
    EXPECT_EQ(p.bytes, c.bytes);
    EXPECT_EQ(p.count, c.codes.size());
    EXPECT_EQ(p.bits, c.bits);
    Codes out(c.codes.size(), 99);
    p.unpack_into(out);
    EXPECT_EQ(out, c.codes);
}

INSTANTIATE_TEST_SUITE_P(
    Layout, PackExamples,
    ::testing::Values(PackCase{{}, 5, {}}, PackCase{{-8, 7}, 4, {0x78}}, PackCase{{-1, 0, -1}, 3, {0xC7, 0x01}},
                      PackCase{{-3}, 4, {0x0D}}, PackCase{{-2, 1, -128}, 8, {0xFE, 0x01, 0x80}},
                      PackCase{{-2, 0x1234}, 16, {0xFE, 0xFF, 0x34, 0x12}},
                      PackCase{{-4, -1, 3}, 3, {0xFC, 0x00}}, PackCase{{-16, 15, 3, 7}, 5, {0xF0, 0x8D, 0x03}}));

TEST(Pack, ByteCountsFollowTheBitTotal) {
    EXPECT_EQ(Packed::from_i32s(Codes{1}, 16).bytes.size(), 2u);
    EXPECT_EQ(Packed::from_i32s(Codes(5, 1), 3).bytes.size(), 2u);
    const Packed p = Packed::from_i32s(Codes{-1, -1, -1}, 5);
    ASSERT_EQ(p.bytes.size(), 2u);
    EXPECT_EQ(p.bytes[1] & 0x80, 0);
}

TEST(Pack, Width11ThirdCodeSpansThreeBytes) {
    // Code 2 starts at stream bit 22: bits 6-7 of byte 2, byte 3, bit 0 of byte 4.
    const Packed p = Packed::from_i32s(Codes{0, 0, -1, 0}, 11);
    EXPECT_EQ(p.bytes, (Bytes{0x00, 0x00, 0xC0, 0xFF, 0x01, 0x00}));
    Codes out(4);
    p.unpack_into(out);
    EXPECT_EQ(out, (Codes{0, 0, -1, 0}));
}

TEST(Pack, KeepsOnlyTheLowBits) {
    EXPECT_EQ(Packed::from_i32s(Codes{0x1F3, 0x7F}, 4).bytes, Bytes{0xF3});
    EXPECT_EQ(Packed::from_i32s(Codes{0x1FF}, 8).bytes, Bytes{0xFF});
}

class EveryWidth : public ::testing::TestWithParam<uint32_t> {};

TEST_P(EveryWidth, RoundTripsTheWholeSignedRange) {
    const uint32_t bits = GetParam();
    const int32_t lo = -(1 << (bits - 1));
    const int32_t hi = (1 << (bits - 1)) - 1;
    Codes codes(static_cast<size_t>(hi - lo + 1));
    std::iota(codes.begin(), codes.end(), lo);
    const Packed p = Packed::from_i32s(codes, bits);
    ASSERT_EQ(p.bytes.size(), (codes.size() * bits + 7) / 8);
    Codes out(codes.size());
    p.unpack_into(out);
    EXPECT_EQ(out, codes);
}

TEST_P(EveryWidth, RandomCodesRoundTripAtOddCounts) {
    const uint32_t bits = GetParam();
    std::mt19937 gen(bits);
    std::uniform_int_distribution<int32_t> dist(-(1 << (bits - 1)), (1 << (bits - 1)) - 1);
    for (size_t n : {1u, 7u, 33u, 101u}) {
        Codes codes(n);
        for (auto& c : codes) c = dist(gen);
        const Packed p = Packed::from_i32s(codes, bits);
        Codes out(n + 1, 42);  // one spare entry must stay untouched
        Packed::unpack_slice(p.bytes, bits, out, n);
        EXPECT_EQ(Codes(out.begin(), out.begin() + n), codes);
        EXPECT_EQ(out[n], 42);
        if (bits != 4 && bits != 8) {
            Codes general(n);
            unpack_general(p.bytes, general, n, bits);
            EXPECT_EQ(general, codes);
        }
        // The unused high bits of the last byte stay zero.
        const size_t used = n * bits % 8;
        if (used != 0) {
            EXPECT_EQ(p.bytes.back() >> used, 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, EveryWidth, ::testing::Range(2u, 17u));

TEST(PackedLen, ExactAndOverflowSafe) {
    EXPECT_EQ(packed_len(0, 16), 0u);
    EXPECT_EQ(packed_len(3, 3), 2u);
    EXPECT_EQ(packed_len(5, 3), 2u);
    EXPECT_EQ(packed_len(6, 3), 3u);
    EXPECT_EQ(packed_len(size_t{1} << 61, 8), size_t{1} << 61);
    EXPECT_EQ(packed_len(size_t{1} << 61, 16), size_t{1} << 62);  // the bit total alone would wrap
    EXPECT_EQ(packed_len(SIZE_MAX, 2), SIZE_MAX / 8 * 2 + 2);
    EXPECT_EQ(packed_len(SIZE_MAX, 16), SIZE_MAX);
    EXPECT_EQ(packed_len(SIZE_MAX, 4294967295u), SIZE_MAX);
}

struct BadUnpack {
    const char* name;
    Bytes bytes;
    uint32_t bits;
    size_t out_len;
    size_t count;
};

class UnpackRejects : public ::testing::TestWithParam<BadUnpack> {};

TEST_P(UnpackRejects, ThrowsBeforeTouchingMemory) {
    const BadUnpack& c = GetParam();
    Codes out(c.out_len, 7);
    EXPECT_THROW(Packed::unpack_slice(c.bytes, c.bits, out, c.count), InternalError);
    EXPECT_EQ(out, Codes(c.out_len, 7));
    Packed p{c.bytes, c.count, c.bits};
    EXPECT_THROW(p.unpack_into(out), InternalError);
}

INSTANTIATE_TEST_SUITE_P(Cases, UnpackRejects,
                         ::testing::Values(BadUnpack{"short4", {0x11}, 4, 3, 3}, BadUnpack{"short8", {1, 2}, 8, 3, 3},
                                           BadUnpack{"short3", {0xFF}, 3, 3, 3},
                                           BadUnpack{"short16", {1, 2, 3}, 16, 2, 2},
                                           BadUnpack{"short_out", {1, 2, 3}, 8, 2, 3},
                                           BadUnpack{"width0", {1, 2, 3}, 0, 3, 3},
                                           BadUnpack{"width1", {1, 2, 3}, 1, 3, 3},
                                           BadUnpack{"width17", Bytes(16), 17, 3, 3},
                                           BadUnpack{"width40", Bytes(64), 40, 3, 3},
                                           BadUnpack{"huge_count", {1}, 8, 1, SIZE_MAX}),
                         [](const auto& info) { return info.param.name; });

TEST(Pack, RejectsWidthsTheStreamCannotHold) {
    EXPECT_THROW(Packed::from_i32s(Codes{1}, 17), InternalError);
    EXPECT_THROW(Packed::from_i32s(Codes{1}, 0), InternalError);
}

struct ConvCase {
    const char* name;
    uint32_t in;
    uint16_t out;
};

class Bf16From : public ::testing::TestWithParam<ConvCase> {};
TEST_P(Bf16From, RoundsToNearestEven) {
    EXPECT_EQ(bf16_bits_from_f32(std::bit_cast<float>(GetParam().in)), GetParam().out);
}
INSTANTIATE_TEST_SUITE_P(Cases, Bf16From,
                         ::testing::Values(ConvCase{"one", 0x3F800000u, 0x3F80},
                                           ConvCase{"tie_down", bits_of(1.00390625f), 0x3F80},
                                           ConvCase{"tie_up", bits_of(1.01171875f), 0x3F82},
                                           ConvCase{"above_half", 0x3F808001u, 0x3F81},
                                           ConvCase{"nan_7f80_payload", 0x7F800001u, 0x7FC0},
                                           ConvCase{"neg_nan", 0xFF812345u, 0xFFC1},
                                           ConvCase{"max_finite", 0x7F7FFFFFu, 0x7F80},
                                           ConvCase{"neg_zero", 0x80000000u, 0x8000},
                                           ConvCase{"minus_3_1", bits_of(-3.1f), 0xC046}),
                         [](const auto& info) { return info.param.name; });

TEST(Bf16, WideningQuietsNaNAndShiftsOtherwise) {
    EXPECT_EQ(bits_of(f32_from_bf16_bits(0x3F80)), 0x3F800000u);
    EXPECT_EQ(bits_of(f32_from_bf16_bits(0x7F81)), 0x7FC10000u);
    EXPECT_EQ(bits_of(f32_from_bf16_bits(0xFF80)), 0xFF800000u);
    EXPECT_EQ(f32_from_bf16_bits(0xC046), -3.09375f);
}

class F16From : public ::testing::TestWithParam<ConvCase> {};
TEST_P(F16From, ConvertsLikeIeee) {
    EXPECT_EQ(f16_bits_from_f32(std::bit_cast<float>(GetParam().in)), GetParam().out);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, F16From,
    ::testing::Values(ConvCase{"one", bits_of(1.0f), 0x3C00}, ConvCase{"max", bits_of(65504.0f), 0x7BFF},
                      ConvCase{"overflow_tie", bits_of(65520.0f), 0x7C00},
                      ConvCase{"below_overflow_tie", bits_of(65519.99f), 0x7BFF},
                      ConvCase{"neg_big", bits_of(-1e7f), 0xFC00}, ConvCase{"inf", bits_of(kInf), 0x7C00},
                      ConvCase{"nan_quieted", 0x7F802000u, 0x7E01}, ConvCase{"tie_even_down", bits_of(1.00048828125f), 0x3C00},
                      ConvCase{"tie_even_up", bits_of(1.00146484375f), 0x3C02},
                      ConvCase{"min_subnormal", bits_of(5.9604645e-8f), 0x0001},
                      ConvCase{"half_min_subnormal_to_zero", bits_of(2.9802322e-8f), 0x0000},
                      ConvCase{"above_half_min_subnormal", 0x33000001u, 0x0001},
                      ConvCase{"neg_tiny_to_neg_zero", bits_of(-1e-10f), 0x8000},
                      ConvCase{"largest_subnormal_rounds_to_normal", bits_of(6.1033e-5f), 0x0400},
                      ConvCase{"f32_subnormal", 0x00000001u, 0x0000}),
    [](const auto& info) { return info.param.name; });

TEST(F16, WideningIsExactForEveryPattern) {
    for (uint32_t h = 0; h <= 0xFFFF; ++h) {
        const float f = f32_from_f16_bits(static_cast<uint16_t>(h));
        if (std::isnan(f)) {
            EXPECT_TRUE((h & 0x7C00u) == 0x7C00u && (h & 0x3FFu) != 0) << h;
            EXPECT_NE(bits_of(f) & 0x00400000u, 0u) << h;
            continue;
        }
        // Narrowing an exactly representable value gives the pattern back.
        EXPECT_EQ(f16_bits_from_f32(f), h) << h;
    }
    EXPECT_EQ(f32_from_f16_bits(0x0001), 5.9604645e-8f);
    EXPECT_EQ(f32_from_f16_bits(0x7BFF), 65504.0f);
}

}  // namespace
}  // namespace velmar
