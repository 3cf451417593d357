#include <gtest/gtest.h>

#include "helpers.hpp"
#include "kernels/block.hpp"
#include "kernels/i4.hpp"
#include "kernels/i8.hpp"
#include "methods/adaptive.hpp"
#include "methods/asymmetric.hpp"
#include "methods/symmetric.hpp"
#include "shared/decode.hpp"

namespace velmar {
namespace {

using namespace velmar::testing;
using Codes = std::vector<int32_t>;

// A correctly rounded float product, computed exactly in double first.
float mul(float a, float b) { return static_cast<float>(static_cast<double>(a) * static_cast<double>(b)); }

TEST(Dequantize, EmptyTensor) {
    const auto q = symmetric::quantize_with<f32>({}, 8, 32).value();
    EXPECT_TRUE(q.dequantize().empty());
    EXPECT_TRUE(q.dequantize_into({}).has_value());
    std::vector<float> out(3, 9.0f);
    EXPECT_EQ(q.dequantize_into(out).error(), CoreError::length_mismatch(0, 3));
    EXPECT_EQ(out, std::vector<float>(3, 9.0f));
}

TEST(Dequantize, WrongOutputLengthLeavesItUntouched) {
    const auto q = symmetric::quantize_with<f32>(std::vector<float>{1, 2, 3}, 8, 2).value();
    std::vector<float> out(4, 9.0f);
    EXPECT_EQ(q.dequantize_into(out).error(), CoreError::length_mismatch(3, 4));
    EXPECT_EQ(out, std::vector<float>(4, 9.0f));
}

// Widths 4 and 8 have their own kernels; all widths must decode code * scale.
class SymmetricDecodeWidth : public ::testing::TestWithParam<uint32_t> {};

TEST_P(SymmetricDecodeWidth, CodeTimesItsBlockScale) {
    const Codes codes{1, -2, 3, -4, 2};
    const auto q = make_sym(codes, GetParam(), {0.5f, 2.0f, -1.5f}, 2);
    ASSERT_TRUE(q.keeps_invariants());
    const std::vector<float> want{0.5f, -1.0f, 6.0f, -8.0f, -3.0f};
    EXPECT_EQ(q.dequantize(), want);
    std::vector<float> out(5, 0.0f);
    ASSERT_TRUE(q.dequantize_into(out).has_value());
    EXPECT_EQ(out, want);
}

INSTANTIATE_TEST_SUITE_P(Widths, SymmetricDecodeWidth, ::testing::Values(3u, 4u, 8u, 16u));

TEST(Dequantize, SymmetricSpecialValuesStayInTheirBlock) {
    const auto q = make_sym({-8, 0, 0, 5}, 4, {0.5f, kNaN}, 2);
    const auto d = q.dequantize();
    EXPECT_EQ(d[0], -4.0f);
    EXPECT_EQ(d[1], 0.0f);
    EXPECT_TRUE(std::isnan(d[2]) && std::isnan(d[3]));
}

TEST(Dequantize, AsymmetricIsRoundedProductOfRoundedDifference) {
    EXPECT_EQ(make_asym({3}, 8, {2.0f}, {0.5f}, 1).dequantize(), std::vector<float>{5.0f});
    EXPECT_EQ(make_asym({-128}, 8, {0.1f}, {-128.0f}, 1).dequantize(), std::vector<float>{0.0f});
    // s*(q - z) where the fused or expanded forms differ in the last bit.
    const float s = 0.1f;
    const float z = 0.3f;
    const Codes codes{1, 2, 3, 7, -5, 11};
    const auto q = make_asym(codes, 5, {s}, {z}, 6);
    const auto d = q.dequantize();
    int differs_from_expanded = 0;
    for (size_t i = 0; i < codes.size(); ++i) {
        const float diff = static_cast<float>(codes[i]) - z;  // rounded once, as the decoder rounds it
        EXPECT_EQ(d[i], mul(s, diff)) << i;
        differs_from_expanded += d[i] != mul(s, static_cast<float>(codes[i])) - mul(s, z);
    }
    EXPECT_GT(differs_from_expanded, 0);  // the case is sensitive to the evaluation order
}

TEST(Dequantize, AdaptiveBlocksOfMixedWidthsReadTheirOwnRuns) {
    // block 6, len 17: blocks of 6, 6 and 5 elements at widths 2, 8 and 3.
    const Codes c0{-2, 1, 0, -1, 1, -2};
    const Codes c1{-128, 127, 5, -6, 0, 100};
    const Codes c2{-4, 3, 2, -1, 0};
    Quantized<f32> q;
    q.kind = Kind::Adaptive;
    q.block = 6;
    q.len = 17;
    q.block_bits = {2, 8, 3};
    q.scales = {0.5f, 0.25f, 2.0f};
    q.zero_points = {1.0f, -0.5f, 0.0f};
    for (const Codes* c : {&c0, &c1, &c2}) {
        const Packed p = Packed::from_i32s(*c, q.block_bits[c == &c0 ? 0 : c == &c1 ? 1 : 2]);
        q.data.insert(q.data.end(), p.bytes.begin(), p.bytes.end());
    }
    ASSERT_EQ(q.data.size(), 2u + 6u + 2u);
    ASSERT_TRUE(q.keeps_invariants());
    Codes all = c0;
    all.insert(all.end(), c1.begin(), c1.end());
    all.insert(all.end(), c2.begin(), c2.end());
    EXPECT_EQ(q.unpacked_codes(), all);
    const auto d = q.dequantize();
    for (size_t i = 0; i < all.size(); ++i) {
        const size_t b = i / 6;
        EXPECT_EQ(d[i], mul(q.scales[b], static_cast<float>(all[i]) - q.zero_points[b])) << i;
    }
}

TEST(Dequantize, RoundedStorageScalesAreTheOnesUsed) {
    const std::vector<float> v = random_values(64, 21);
    const auto h = asymmetric::quantize_with<f16>(v, 6, 16).value();
    const auto b = symmetric::quantize_with<bf16>(v, 8, 16).value();
    const Codes ch = h.unpacked_codes();
    const Codes cb = b.unpacked_codes();
    const auto dh = h.dequantize();
    const auto db = b.dequantize();
    for (size_t i = 0; i < v.size(); ++i) {
        const float s = to_f32(h.scales[i / 16]);
        const float z = to_f32(h.zero_points[i / 16]);
        EXPECT_EQ(dh[i], mul(s, static_cast<float>(ch[i]) - z)) << i;
        EXPECT_EQ(db[i], mul(static_cast<float>(cb[i]), to_f32(b.scales[i / 16]))) << i;
    }
}

TEST(Dot, LengthCheckAndEmptyTensor) {
    const auto e = symmetric::quantize_with<f32>({}, 8, 32).value();
    const auto r = dot(e, {});
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(bits_of(*r), 0u);  // +0.0
    const auto q = symmetric::quantize_with<f32>(std::vector<float>{1, 2, 3, 4}, 8, 32).value();
    EXPECT_EQ(dot(q, std::vector<float>{1, 2, 3}).error(), CoreError::length_mismatch(4, 3));
}

TEST(Dot, SymmetricEightAndFourBitExamples) {
    const std::vector<float> x{2.0f, 3.0f};
    EXPECT_EQ(dot(make_sym({1, 2}, 8, {0.5f}, 2), x).value(), 4.0f);
    EXPECT_EQ(dot(make_sym({1, 2}, 4, {0.5f}, 2), x).value(), 4.0f);
    EXPECT_EQ(dot(make_asym({3}, 8, {2.0f}, {0.5f}, 1), std::vector<float>{1.5f}).value(), 7.5f);
}

TEST(Dot, EightBitScalesBlockSumsOtherWidthsScaleEachElement) {
    // The block sum 1 times s is s, while the per-element sum rounds three times.
    const float s = std::bit_cast<float>(1057244845u);
    const std::vector<float> x{2.0f, 8.0f, 9.0f};
    const float by_block = dot(make_sym({4, 7, -7}, 8, {s}, 3), x).value();
    const float by_element = dot(make_sym({4, 7, -7}, 4, {s}, 3), x).value();
    EXPECT_EQ(by_block, s);
    float acc = 0.0f;
    for (float t : {mul(mul(s, 4.0f), 2.0f), mul(mul(s, 7.0f), 8.0f), mul(mul(s, -7.0f), 9.0f)}) acc += t;
    EXPECT_EQ(by_element, acc);
    EXPECT_NE(by_block, by_element);
}

TEST(Dot, EightBitSumsPerBlockInOrder) {
    // Two blocks; each partial is exact, scaled once, then added to the total.
    const auto q = make_sym({10, -3, 7, 1}, 8, {0.25f, 3.0f}, 2);
    EXPECT_EQ(dot(q, std::vector<float>{1.0f, 2.0f, 0.5f, -1.0f}).value(), (10.0f - 6.0f) * 0.25f + (3.5f - 1.0f) * 3.0f);
}

TEST(Dot, NaNAndInfinityPropagate) {
    const auto q = make_sym({1, 2}, 8, {0.5f}, 2);
    EXPECT_TRUE(std::isnan(dot(q, std::vector<float>{kNaN, 1.0f}).value()));
    const auto inf = make_sym({0, 0, 1, 1}, 8, {kInf, 1.0f}, 2);
    EXPECT_TRUE(std::isnan(dot(inf, std::vector<float>{1, 1, 1, 1}).value()));
}

TEST(Dot, AsymmetricAddsEachDequantizedTermInOrder) {
    const std::vector<float> v = random_values(50, 4);
    const auto q = asymmetric::quantize_with<f32>(v, 7, 8).value();
    const auto d = q.dequantize();
    const std::vector<float> x = random_values(50, 8);
    float acc = 0.0f;
    for (size_t i = 0; i < d.size(); ++i) acc += mul(x[i], d[i]);
    EXPECT_EQ(dot(q, x).value(), acc);
}

TEST(Dot, AdaptiveIsTheSequentialSumOfDecodedTimesX) {
    // All decoded values are 1.0; only strict left-to-right addition gives 1.
    const auto q = adaptive::quantize_with<f32>(std::vector<float>{1, 1, 1, 1}, 4, 0.1f).value();
    ASSERT_EQ(q.dequantize(), std::vector<float>(4, 1.0f));
    EXPECT_EQ(dot(q, std::vector<float>{1e8f, 1.0f, -1e8f, 1.0f}).value(), 1.0f);
}

TEST(Dot, AdaptiveSumOfNegativeZerosIsNegativeZero) {
    const auto q = adaptive::quantize_with<f32>(std::vector<float>{0, 0, 0}, 2, 0.1f).value();
    const float r = dot(q, std::vector<float>{-1.0f, -2.0f, -3.0f}).value();
    EXPECT_EQ(r, 0.0f);
    EXPECT_TRUE(std::signbit(r));
}

class KernelAgreement : public ::testing::TestWithParam<size_t> {};

TEST_P(KernelAgreement, ByteKernelsEqualTheGeneralPath) {
    const size_t block = GetParam();
    const std::vector<float> v = random_values(77, static_cast<uint32_t>(block));
    for (uint32_t bits : {4u, 8u}) {
        const auto q = symmetric::quantize_with<f32>(v, bits, block).value();
        std::vector<float> direct(v.size()), general(v.size());
        if (bits == 4) {
            dequant_i4_blocks(q.scales, q.packed.bytes, block, direct);
        } else {
            dequant_i8_blocks(q.scales, q.packed.bytes, block, direct);
        }
        dequant_sym_into(q.scales, q.packed, block, general);
        EXPECT_EQ(direct, general) << bits;
    }
}

INSTANTIATE_TEST_SUITE_P(Blocks, KernelAgreement, ::testing::Values(1u, 2u, 3u, 16u, 31u, 32u, 77u, SIZE_MAX));

}  // namespace
}  // namespace velmar
