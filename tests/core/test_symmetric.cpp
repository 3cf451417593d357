#include <gtest/gtest.h>

#include "helpers.hpp"
#include "kernels/block.hpp"
#include "kernels/reduce.hpp"
#include "methods/symmetric.hpp"

namespace velmar {
namespace {

using namespace velmar::testing;
using Codes = std::vector<int32_t>;

Quantized<f32> sym(const std::vector<float>& v, uint32_t bits, size_t block) {
    auto r = symmetric::quantize_with<f32>(v, bits, block);
    EXPECT_TRUE(r.has_value());
    return *r;
}

struct SymRow {
    const char* name;
    uint32_t bits;
    std::vector<float> values;
    float scale;
    Codes codes;
};

class SymmetricTable : public ::testing::TestWithParam<SymRow> {};

TEST_P(SymmetricTable, ScaleAndCodesMatch) {
    const SymRow& r = GetParam();
    const Quantized<f32> q = sym(r.values, r.bits, r.values.size());
    ASSERT_EQ(q.scales.size(), 1u);
    EXPECT_EQ(bits_of(q.scales[0]), bits_of(r.scale));
    EXPECT_EQ(q.unpacked_codes(), r.codes);
    EXPECT_TRUE(q.zero_points.empty());
    EXPECT_TRUE(q.keeps_invariants());
}

INSTANTIATE_TEST_SUITE_P(
    Worked, SymmetricTable,
    ::testing::Values(SymRow{"ties_away", 3, {3.0f, 2.5f, -2.5f, 0.5f}, 1.0f, {3, 3, -3, 1}},
                      SymRow{"two_bits", 2, {3.0f, 1.5f, -0.75f, 0.0f}, 3.0f, {1, 1, 0, 0}},
                      SymRow{"eight_bits", 8, {1.0f, -1.0f, 0.25f}, 0.007874016f, {127, -127, 32}},
                      SymRow{"zeros", 4, {0.0f, 0.0f, -0.0f}, 1.0f, {0, 0, 0}},
                      SymRow{"infinite", 8, {kInf, 1.0f}, kInf, {0, 0}},
                      SymRow{"nan_in_full_head", 8,
                             {kNaN, 300.0f, -300.0f, 2.5f, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 1.0f,
                             {0, 127, -128, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
                      SymRow{"nan_head_with_tail", 8,
                             {kNaN, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 1.0f,
                              2.0f, 3.0f, 4.0f},
                             0.031496063f,
                             {0, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 32, 64,
                              95, 127}},
                      SymRow{"short_block_ignores_nan", 8,
                             {kNaN, 1.5f, 2.0f, kNaN, -0.5f, 0, 0, 0, 0, 0, 0, 0, 0, 0, kNaN}, 0.015748031f,
                             {0, 95, 127, 0, -32, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
                      SymRow{"all_nan_short", 4, {kNaN, kNaN}, 1.0f, {0, 0}},
                      SymRow{"scale_underflows_to_zero", 8, {1e-45f, -1e-45f, 0.0f}, 0.0f, {127, -128, 0}},
                      SymRow{"sixteen_bits", 16, {-1.0f, 0.25f}, 3.051851e-05f, {-32767, 8192}}),
    [](const auto& info) { return info.param.name; });

TEST(SymmetricAbsmax, HeadNaNPropagatesTailFoldsIgnoreIt) {
    std::vector<float> v(32, 1.0f);
    v[31] = kNaN;
    EXPECT_TRUE(std::isnan(absmax_sym(v)));  // a multiple of 16: no tail to rescue it
    std::vector<float> w(17, 1.0f);
    w[16] = kNaN;
    EXPECT_EQ(absmax_sym(w), 1.0f);  // NaN in the tail is skipped
    w[0] = kNaN;
    w[16] = -5.0f;
    EXPECT_EQ(absmax_sym(w), 5.0f);  // the tail replaces a NaN head
    w[16] = kNaN;
    EXPECT_TRUE(std::isnan(absmax_sym(w)));
    EXPECT_EQ(absmax_sym({}), 0.0f);
    EXPECT_EQ(absmax_sym(std::vector<float>{-kInf, 3.0f}), kInf);
}

TEST(Symmetric, ValidatesWidthFirstThenBlock) {
    const std::vector<float> none;
    const std::vector<float> some{1.0f};
    for (uint32_t b : {0u, 1u, 17u}) {
        EXPECT_EQ(symmetric::quantize_with<f32>(none, b, 32).error(), CoreError::invalid_bits(b));
        EXPECT_EQ(symmetric::quantize_with<f16>(some, b, 0).error(), CoreError::invalid_bits(b));
    }
    EXPECT_EQ(symmetric::quantize_with<bf16>(none, 8, 0).error(), CoreError::invalid_block(0));
    EXPECT_TRUE(symmetric::quantize_with<f32>(some, 2, 1).has_value());
    EXPECT_TRUE(symmetric::quantize_with<f32>(some, 16, 1).has_value());
}

TEST(Symmetric, EmptyInputKeepsWidthAndBlock) {
    const auto q = symmetric::quantize_with<f16>({}, 5, 32).value();
    EXPECT_EQ(q.kind, Kind::Symmetric);
    EXPECT_EQ(q.len, 0u);
    EXPECT_EQ(q.block, 32u);
    EXPECT_EQ(q.packed.bits, 5u);
    EXPECT_EQ(q.packed.count, 0u);
    EXPECT_TRUE(q.packed.bytes.empty());
    EXPECT_TRUE(q.scales.empty());
    EXPECT_TRUE(q.keeps_invariants());
}

TEST(Symmetric, HalfPrecisionOverflowStoresInfinityButKeepsCodes) {
    const std::vector<float> v{1e7f, -5e6f, 1.0f};
    const auto a = symmetric::quantize_with<f32>(v, 8, 3).value();
    const auto h = symmetric::quantize_with<f16>(v, 8, 3).value();
    EXPECT_GT(a.scales[0], 65504.0f);
    EXPECT_EQ(to_f32(h.scales[0]), kInf);
    EXPECT_EQ(a.packed, h.packed);
}

TEST(Symmetric, OddBlockAtFourBitsStartsInHighNibble) {
    const std::vector<float> v{1, 2, 3, 4, 5, -1, -2, -3, -4, -5};
    const auto q = sym(v, 4, 5);
    const Codes codes = q.unpacked_codes();
    EXPECT_EQ(codes, (Codes{1, 3, 4, 6, 7, -1, -3, -4, -6, -7}));
    EXPECT_EQ(q.packed.bytes[2] >> 4, 0xF);  // element 5, code -1
    EXPECT_EQ(q.packed.bytes, Packed::from_i32s(codes, 4).bytes);
}

TEST(Symmetric, ShortLastBlockHasItsOwnScale) {
    std::vector<float> v(70, 100.0f);
    for (size_t i = 64; i < 70; ++i) v[i] = static_cast<float>(i - 63);  // 1..6
    const auto q = sym(v, 8, 32);
    ASSERT_EQ(q.scales.size(), 3u);
    EXPECT_EQ(q.scales[0], 100.0f / 127.0f);
    EXPECT_EQ(q.scales[2], 6.0f / 127.0f);
    EXPECT_EQ(q.unpacked_codes()[69], 127);
}

struct SymRandom {
    uint32_t bits;
    size_t block;
};

class SymmetricRandom : public ::testing::TestWithParam<SymRandom> {};

TEST_P(SymmetricRandom, DecodesWithinHalfAStepAndAllStorageTypesShareCodes) {
    const auto [bits, block] = GetParam();
    const std::vector<float> v = random_values(203, bits * 131 + static_cast<uint32_t>(block));
    const auto a = symmetric::quantize_with<f32>(v, bits, block).value();
    const auto h = symmetric::quantize_with<f16>(v, bits, block).value();
    const auto b = symmetric::quantize_with<bf16>(v, bits, block).value();
    ASSERT_TRUE(a.keeps_invariants() && h.keeps_invariants() && b.keeps_invariants());
    EXPECT_EQ(a.packed, h.packed);
    EXPECT_EQ(a.packed, b.packed);
    // The direct 4- and 8-bit writers must match the generic packer.
    const Codes codes = a.unpacked_codes();
    EXPECT_EQ(Packed::from_i32s(codes, bits), a.packed);
    const std::vector<float> d = a.dequantize();
    const int32_t qmax = (1 << (bits - 1)) - 1;
    for (size_t i = 0; i < v.size(); ++i) {
        const float s = a.scales[i / block];
        EXPECT_LE(std::abs(codes[i]), qmax);
        EXPECT_LE(std::fabs(d[i] - v[i]), 0.5f * s * 1.001f) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, SymmetricRandom,
                         ::testing::Values(SymRandom{2, 32}, SymRandom{3, 7}, SymRandom{4, 32}, SymRandom{4, 5},
                                           SymRandom{4, 17}, SymRandom{5, 16}, SymRandom{6, 1}, SymRandom{7, 64},
                                           SymRandom{8, 32}, SymRandom{8, 3}, SymRandom{9, 33}, SymRandom{10, 10},
                                           SymRandom{11, 32}, SymRandom{12, 203}, SymRandom{13, 8},
                                           SymRandom{14, 100}, SymRandom{15, 31}, SymRandom{16, 32}));

TEST(SymmetricKernel, RejectsWhatTheMethodRulesOut) {
    const std::vector<float> v{1.0f};
    EXPECT_THROW(quantize_sym_packed({}, 8, 32), InternalError);
    EXPECT_THROW(quantize_sym_packed(v, 8, 0), InternalError);
    EXPECT_THROW(quantize_sym_packed(v, 17, 1), InternalError);
}

}  // namespace
}  // namespace velmar
