#include <gtest/gtest.h>

#include "helpers.hpp"
#include "kernels/block.hpp"
#include "kernels/reduce.hpp"
#include "methods/adaptive.hpp"
#include "methods/asymmetric.hpp"
#include "shared/params.hpp"

namespace velmar {
namespace {

using namespace velmar::testing;
using Codes = std::vector<int32_t>;
using Bytes = std::vector<uint8_t>;

struct AsymRow {
    const char* name;
    uint32_t bits;
    std::vector<float> values;
    float scale;
    float zero_point;
    Codes codes;
};

void expect_same_float(float got, float want) {
    if (std::isnan(want)) {
        EXPECT_TRUE(std::isnan(got)) << got;
    } else {
        EXPECT_EQ(bits_of(got), bits_of(want)) << got << " vs " << want;
    }
}

class AsymmetricTable : public ::testing::TestWithParam<AsymRow> {};

TEST_P(AsymmetricTable, ScaleZeroPointAndCodesMatch) {
    const AsymRow& r = GetParam();
    const auto q = asymmetric::quantize_with<f32>(r.values, r.bits, r.values.size()).value();
    ASSERT_EQ(q.scales.size(), 1u);
    ASSERT_EQ(q.zero_points.size(), 1u);
    expect_same_float(q.scales[0], r.scale);
    expect_same_float(q.zero_points[0], r.zero_point);
    EXPECT_EQ(q.unpacked_codes(), r.codes);
    EXPECT_TRUE(q.keeps_invariants());
}

INSTANTIATE_TEST_SUITE_P(
    Worked, AsymmetricTable,
    ::testing::Values(
        AsymRow{"eight_bits", 8, {0.0f, 1.0f, 2.0f, 3.0f}, 0.011764706f, -128.0f, {-128, -43, 42, 127}},
        AsymRow{"four_bits_tie", 4, {-1.0f, 0.5f, 2.0f}, 0.2f, -3.0f, {-8, -1, 7}},
        AsymRow{"two_bits", 2, {-1.0f, 1.0f}, 0.6666667f, -0.5f, {-2, 1}},
        AsymRow{"constant", 8, {5.0f, 5.0f}, 1.0f, 0.0f, {5, 5}},
        AsymRow{"constant_clamped", 8, {300.0f, 300.0f}, 1.0f, 0.0f, {127, 127}},
        AsymRow{"nan_in_full_head", 8, {kNaN, 1, 2, 3, 4, 5, 6, 7}, kNaN, kNaN, {0, 0, 0, 0, 0, 0, 0, 0}},
        AsymRow{"short_block_skips_nan", 4, {-1.0f, kNaN, 0.5f, 2.0f, 0.5f}, 0.2f, -3.0f, {-8, 0, -1, 7, -1}},
        AsymRow{"nan_head_tail_range", 4, {kNaN, -100.0f, 100.0f, 0, 0, 0, 0, 0, -1.0f, 2.0f}, 0.2f, -3.0f,
                {0, -8, 7, -3, -3, -3, -3, -3, -8, 7}},
        AsymRow{"infinite_max", 8, {0.0f, 1.0f, kInf}, kInf, -128.0f, {-128, -128, 0}},
        AsymRow{"infinite_both", 8, {-kInf, 1.0f, kInf}, kInf, kNaN, {0, 0, 0}},
        AsymRow{"short_all_nan", 8, {kNaN, kNaN, kNaN}, 1.0f, 0.0f, {0, 0, 0}}),
    [](const auto& info) { return info.param.name; });

TEST(MinMax, HeadOfEightPropagatesNaNTailIgnoresIt) {
    EXPECT_EQ(min_max_neon({}), std::make_pair(kInf, -kInf));
    std::vector<float> v{kNaN, 1, 2, 3, 4, 5, 6, 7};
    auto [lo, hi] = min_max_neon(v);
    EXPECT_TRUE(std::isnan(lo) && std::isnan(hi));
    v.push_back(-9.0f);
    std::tie(lo, hi) = min_max_neon(v);
    EXPECT_EQ(lo, -9.0f);
    EXPECT_EQ(hi, -9.0f);
    std::tie(lo, hi) = min_max_neon(std::vector<float>{3, kNaN, -2, 8, kNaN});
    EXPECT_EQ(lo, -2.0f);
    EXPECT_EQ(hi, 8.0f);
}

TEST(Asymmetric, ValidationAndEmptyInput) {
    EXPECT_EQ(asymmetric::quantize_with<f32>({}, 17, 32).error(), CoreError::invalid_bits(17));
    EXPECT_EQ(asymmetric::quantize_with<f32>({}, 1, 0).error(), CoreError::invalid_bits(1));
    EXPECT_EQ(asymmetric::quantize_with<f16>({}, 8, 0).error(), CoreError::invalid_block(0));
    const auto q = asymmetric::quantize_with<bf16>({}, 6, 32).value();
    EXPECT_EQ(q.kind, Kind::Asymmetric);
    EXPECT_EQ(q.packed.bits, 6u);
    EXPECT_EQ(q.packed.count, 0u);
    EXPECT_TRUE(q.scales.empty() && q.zero_points.empty() && q.packed.bytes.empty());
    EXPECT_TRUE(q.keeps_invariants());
}

TEST(Asymmetric, BlockEndsUseBothEndsOfTheCodeRange) {
    const std::vector<float> v = random_values(96, 5);
    const auto q = asymmetric::quantize_with<f32>(v, 5, 32).value();
    const Codes c = q.unpacked_codes();
    for (size_t b = 0; b < 3; ++b) {
        const Codes blk(c.begin() + b * 32, c.begin() + (b + 1) * 32);
        EXPECT_EQ(*std::min_element(blk.begin(), blk.end()), -16);
        EXPECT_EQ(*std::max_element(blk.begin(), blk.end()), 15);
    }
}

TEST(Asymmetric, Bf16StoresRoundedZeroPointButCodesFromTheExactOne) {
    const std::vector<float> v = random_values(40, 9);
    const auto a = asymmetric::quantize_with<f32>(v, 4, 8).value();
    const auto b = asymmetric::quantize_with<bf16>(v, 4, 8).value();
    EXPECT_EQ(a.packed, b.packed);
    for (size_t i = 0; i < a.zero_points.size(); ++i) {
        EXPECT_EQ(b.zero_points[i].bits, bf16_bits_from_f32(a.zero_points[i]));
        EXPECT_EQ(b.scales[i].bits, bf16_bits_from_f32(a.scales[i]));
    }
}

class AsymmetricRandom : public ::testing::TestWithParam<uint32_t> {};

TEST_P(AsymmetricRandom, DecodesWithinHalfAStep) {
    const uint32_t bits = GetParam();
    const std::vector<float> v = random_values(150, bits, -3.0f, 5.0f);
    const size_t block = 7 + bits;
    const auto q = asymmetric::quantize_with<f16>(v, bits, block).value();
    ASSERT_TRUE(q.keeps_invariants());
    const auto a = asymmetric::quantize_with<f32>(v, bits, block).value();
    EXPECT_EQ(a.packed, q.packed);
    const std::vector<float> d = a.dequantize();
    for (size_t i = 0; i < v.size(); ++i) EXPECT_LE(std::fabs(d[i] - v[i]), 0.51f * a.scales[i / block]) << i;
}

INSTANTIATE_TEST_SUITE_P(Widths, AsymmetricRandom, ::testing::Range(2u, 17u));

struct BitsRow {
    float range;
    float tolerance;
    uint32_t bits;
};

class ChooseBits : public ::testing::TestWithParam<BitsRow> {};
TEST_P(ChooseBits, SmallestWidthWithinTolerance) {
    EXPECT_EQ(choose_bits(GetParam().range, GetParam().tolerance), GetParam().bits);
}
INSTANTIATE_TEST_SUITE_P(Cases, ChooseBits,
                         ::testing::Values(BitsRow{0.0f, 0.001f, 2}, BitsRow{-kInf, 0.001f, 2},
                                           BitsRow{kNaN, 1e38f, 8}, BitsRow{kInf, 1e38f, 8},
                                           BitsRow{3.0f, 0.5f, 2}, BitsRow{3.0f, 0.49999997f, 3},
                                           BitsRow{1.0f, 0.1f, 3}, BitsRow{2.0f, 0.05f, 5},
                                           BitsRow{1.0f, 0.001f, 8}, BitsRow{1.0f, 1e-45f, 8},
                                           BitsRow{127.0f, 0.5f, 7}, BitsRow{1e30f, 1e38f, 2},
                                           BitsRow{1.0f, kNaN, 8}));

struct AdaptiveRow {
    const char* name;
    std::vector<float> values;
    float tolerance;
    uint32_t bits;
    float scale;
    float zero_point;
    Codes codes;
    Bytes bytes;
};

class AdaptiveTable : public ::testing::TestWithParam<AdaptiveRow> {};

TEST_P(AdaptiveTable, WidthScaleCodesAndBytes) {
    const AdaptiveRow& r = GetParam();
    const auto q = adaptive::quantize_with<f32>(r.values, r.values.size(), r.tolerance).value();
    EXPECT_EQ(q.kind, Kind::Adaptive);
    EXPECT_EQ(q.block_bits, std::vector<uint32_t>{r.bits});
    ASSERT_EQ(q.scales.size(), 1u);
    expect_same_float(q.scales[0], r.scale);
    expect_same_float(q.zero_points[0], r.zero_point);
    EXPECT_EQ(q.unpacked_codes(), r.codes);
    EXPECT_EQ(q.data, r.bytes);
    EXPECT_TRUE(q.keeps_invariants());
}

INSTANTIATE_TEST_SUITE_P(
    Worked, AdaptiveTable,
    ::testing::Values(
        AdaptiveRow{"three_bits", {0.0f, 0.5f, 1.0f}, 0.1f, 3, 0.14285715f, -4.0f, {-4, -1, 3}, {0xFC, 0x00}},
        AdaptiveRow{"eight_bits", {0.0f, 1.0f}, 0.001f, 8, 0.003921569f, -128.0f, {-128, 127}, {0x80, 0x7F}},
        AdaptiveRow{"equality_two_bits", {0.0f, 3.0f}, 0.5f, 2, 1.0f, -2.0f, {-2, 1}, {0x06}},
        AdaptiveRow{"five_bits", {-1.0f, 1.0f, 0.25f, 0.5f}, 0.05f, 5, 0.06451613f, -0.5f, {-16, 15, 3, 7},
                    {0xF0, 0x8D, 0x03}},
        AdaptiveRow{"constant", {5.0f, 5.0f, 5.0f}, 0.001f, 2, 1.0f, 0.0f, {1, 1, 1}, {0x15}},
        AdaptiveRow{"nan_in_head", {1, 2, kNaN, 4, 5, 6, 7, 8}, 0.5f, 8, kNaN, kNaN, {0, 0, 0, 0, 0, 0, 0, 0},
                    Bytes(8, 0)},
        AdaptiveRow{"short_block_skips_nan", {0.0f, kNaN, 3.0f, 3.0f, 0.0f}, 0.5f, 2, 1.0f, -2.0f,
                    {-2, 0, 1, 1, -2}, {0x52, 0x02}},
        AdaptiveRow{"short_all_nan", {kNaN, kNaN, kNaN, kNaN, kNaN}, 0.5f, 2, 1.0f, 0.0f, {0, 0, 0, 0, 0},
                    {0x00, 0x00}},
        AdaptiveRow{"huge_tolerance", {-1e30f, 1e30f}, 1e38f, 2, 6.6666666e29f, -0.5f, {-2, 1}, {0x06}},
        AdaptiveRow{"range_overflows", {-3e38f, 3e38f}, 1e38f, 8, kInf, -128.0f, {-128, -128}, {0x80, 0x80}}),
    [](const auto& info) { return info.param.name; });

TEST(Adaptive, BlocksStartOnByteBoundaries) {
    const std::vector<float> v{0.0f, 0.5f, 1.0f, 0.0f, 2.0f};
    const auto q = adaptive::quantize_with<f32>(v, 3, 0.1f).value();
    EXPECT_EQ(q.block_bits, (std::vector<uint32_t>{3, 4}));
    EXPECT_EQ(q.data, (Bytes{0xFC, 0x00, 0x78}));
    EXPECT_EQ(q.scales[1], 0.13333334f);
    EXPECT_EQ(q.zero_points[1], -8.0f);
    EXPECT_EQ(q.unpacked_codes(), (Codes{-4, -1, 3, -8, 7}));
    EXPECT_TRUE(q.keeps_invariants());
}

TEST(Adaptive, DataLengthIsTheSumOfPerBlockByteCounts) {
    // Five blocks of 3 elements at 3 bits: 5 * 2 bytes, not ceil(45 / 8) = 6.
    std::vector<float> v;
    for (int b = 0; b < 5; ++b) v.insert(v.end(), {0.0f, 0.5f, 1.0f});
    const auto q = adaptive::quantize_with<f32>(v, 3, 0.1f).value();
    EXPECT_EQ(q.block_bits, std::vector<uint32_t>(5, 3));
    EXPECT_EQ(q.data.size(), 10u);
}

TEST(Adaptive, ValidationOrderAndEmptyInput) {
    EXPECT_EQ(adaptive::quantize_with<f32>({}, 0, kNaN).error(), CoreError::invalid_block(0));
    const std::vector<float> v{1.0f};
    for (float t : {0.0f, -0.0f, -0.001f, kInf, kNaN}) {
        EXPECT_EQ(adaptive::quantize_with<f32>(v, 32, t).error(), CoreError::invalid_tolerance()) << t;
        EXPECT_EQ(adaptive::quantize_with<f16>({}, 32, t).error(), CoreError::invalid_tolerance()) << t;
    }
    const auto q = adaptive::quantize_with<bf16>({}, 32, 0.1f).value();
    EXPECT_EQ(q.kind, Kind::Adaptive);
    EXPECT_EQ(q.block, 32u);
    EXPECT_TRUE(q.scales.empty() && q.zero_points.empty() && q.block_bits.empty() && q.data.empty());
    const auto tiny = adaptive::quantize_with<f32>(std::vector<float>{0.0f, 1.0f}, 32, 1e-45f).value();
    EXPECT_EQ(tiny.block_bits, std::vector<uint32_t>{8});
}

TEST(Adaptive, ShortLastBlockChoosesItsOwnWidth) {
    std::vector<float> v = random_values(64, 3, -1.0f, 1.0f);
    v.insert(v.end(), {0.25f, 0.25f});
    const auto q = adaptive::quantize_with<f32>(v, 32, 0.01f).value();
    ASSERT_EQ(q.block_bits.size(), 3u);
    EXPECT_EQ(q.block_bits[2], 2u);
    EXPECT_GT(q.block_bits[0], 2u);
}

class AdaptiveRandom : public ::testing::TestWithParam<float> {};

TEST_P(AdaptiveRandom, ErrorStaysWithinToleranceBelowEightBits) {
    const float tol = GetParam();
    std::vector<float> v = random_values(300, 17, -1.0f, 1.0f);
    for (size_t i = 100; i < 130; ++i) v[i] *= 0.001f;  // a narrow-range stretch
    const auto q = adaptive::quantize_with<f32>(v, 10, tol).value();
    const auto h = adaptive::quantize_with<f16>(v, 10, tol).value();
    ASSERT_TRUE(q.keeps_invariants() && h.keeps_invariants());
    EXPECT_EQ(q.data, h.data);
    EXPECT_EQ(q.block_bits, h.block_bits);
    const std::vector<float> d = q.dequantize();
    for (size_t i = 0; i < v.size(); ++i) {
        const size_t b = i / 10;
        const float err = std::fabs(d[i] - v[i]);
        EXPECT_LE(err, 0.51f * q.scales[b]) << i;
        if (q.block_bits[b] < 8) {
            EXPECT_LE(err, tol * 1.02f) << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Tolerances, AdaptiveRandom, ::testing::Values(0.3f, 0.05f, 0.01f, 0.001f, 1e-5f));

}  // namespace
}  // namespace velmar
