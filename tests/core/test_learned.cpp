#include <gtest/gtest.h>

#include "helpers.hpp"
#include "methods/adaptive.hpp"
#include "methods/asymmetric.hpp"
#include "methods/learned.hpp"
#include "methods/symmetric.hpp"

namespace velmar {
namespace {

using namespace velmar::testing;
using Codes = std::vector<int32_t>;

struct FitRow {
    const char* name;
    std::vector<float> values;
    Codes codes;
    float scale;
    float zero_point;
};

class FitTable : public ::testing::TestWithParam<FitRow> {};

TEST_P(FitTable, LeastSquaresLine) {
    const FitRow& r = GetParam();
    const auto [s, z] = fit_scale_and_zero_point(r.values, r.codes);
    EXPECT_EQ(bits_of(s), bits_of(r.scale));
    EXPECT_EQ(bits_of(z), bits_of(r.zero_point));
}

INSTANTIATE_TEST_SUITE_P(
    Worked, FitTable,
    ::testing::Values(FitRow{"empty", {}, {}, 1.0f, 0.0f}, FitRow{"offset", {1.0f, 3.0f}, {0, 1}, 2.0f, -0.5f},
                      FitRow{"through_origin_negative_zero", {2.0f, 4.0f, 6.0f}, {1, 2, 3}, 2.0f, -0.0f},
                      FitRow{"equal_codes", {1.0f, 9.0f, -4.0f}, {5, 5, 5}, 1.0f, 0.0f},
                      FitRow{"flat_values", {7.0f, 7.0f}, {0, 1}, 1.0f, 0.0f},
                      FitRow{"falling", {3.0f, 1.0f}, {0, 1}, -2.0f, 1.5f},
                      // The slope threshold is the float nearest 1e-12, compared with <.
                      FitRow{"slope_at_threshold", {0.0f, std::bit_cast<float>(0x2B8CBCCCu)}, {0, 1},
                             std::bit_cast<float>(0x2B8CBCCCu), -0.0f},
                      FitRow{"slope_below_threshold", {0.0f, std::bit_cast<float>(0x2B8CBCCBu)}, {0, 1}, 1.0f,
                             0.0f}),
    [](const auto& info) { return info.param.name; });

TEST(Fit, ThresholdIsTheFloatNearestOneTrillionth) { EXPECT_EQ(bits_of(1e-12f), 0x2B8CBCCCu); }

TEST(Fit, NaNValuesPropagate) {
    const auto [s, z] = fit_scale_and_zero_point(std::vector<float>{kNaN, 1.0f}, Codes{0, 1});
    EXPECT_TRUE(std::isnan(s));
    EXPECT_TRUE(std::isnan(z));
}

TEST(Refine, SymmetricBecomesAsymmetricWithTheSameCodes) {
    const std::vector<float> v = random_values(40, 2);
    auto q = symmetric::quantize_with<f32>(v, 4, 16).value();
    const Packed before = q.packed;
    const Codes codes = q.unpacked_codes();
    refine(q, v);
    EXPECT_EQ(q.kind, Kind::Asymmetric);
    EXPECT_EQ(q.packed, before);
    EXPECT_EQ(q.block, 16u);
    EXPECT_EQ(q.len, 40u);
    ASSERT_EQ(q.scales.size(), 3u);
    ASSERT_EQ(q.zero_points.size(), 3u);
    EXPECT_TRUE(q.keeps_invariants());
    for (size_t b = 0; b < 3; ++b) {
        const size_t n = std::min<size_t>(16, 40 - b * 16);
        const auto [s, z] = fit_scale_and_zero_point(std::span(v).subspan(b * 16, n),
                                                     std::span<const int32_t>(codes).subspan(b * 16, n));
        EXPECT_EQ(q.scales[b], s);
        EXPECT_EQ(q.zero_points[b], z);
    }
}

TEST(Refine, FitNeverIncreasesTheSquaredError) {
    const std::vector<float> v = random_values(64, 6, -1.0f, 3.0f);
    auto q = asymmetric::quantize_with<f32>(v, 3, 32).value();
    auto sq_err = [&](const Quantized<f32>& t) {
        double e = 0;
        const auto d = t.dequantize();
        for (size_t i = 0; i < v.size(); ++i) e += (double(d[i]) - v[i]) * (double(d[i]) - v[i]);
        return e;
    };
    const double before = sq_err(q);
    refine(q, v);
    EXPECT_LE(sq_err(q), before * 1.0001);
}

TEST(Refine, AdaptiveKeepsDataAndWidths) {
    const std::vector<float> v = random_values(50, 12);
    auto q = adaptive::quantize_with<bf16>(v, 16, 0.05f).value();
    const auto data = q.data;
    const auto widths = q.block_bits;
    refine(q, v);
    EXPECT_EQ(q.kind, Kind::Adaptive);
    EXPECT_EQ(q.data, data);
    EXPECT_EQ(q.block_bits, widths);
    EXPECT_EQ(q.scales.size(), 4u);
    EXPECT_TRUE(q.keeps_invariants());
}

TEST(Refine, RoundsFittedNumbersWithTheStorageType) {
    const std::vector<float> v = random_values(24, 13);
    auto a = symmetric::quantize_with<f32>(v, 5, 8).value();
    auto h = symmetric::quantize_with<f16>(v, 5, 8).value();
    refine(a, v);
    refine(h, v);
    for (size_t b = 0; b < a.scales.size(); ++b) {
        EXPECT_EQ(h.scales[b].bits, f16_bits_from_f32(a.scales[b]));
        EXPECT_EQ(h.zero_points[b].bits, f16_bits_from_f32(a.zero_points[b]));
    }
}

TEST(Refine, SecondRefinementGivesTheSameNumbers) {
    const std::vector<float> v = random_values(30, 14);
    auto q = asymmetric::quantize_with<f32>(v, 6, 10).value();
    refine(q, v);
    const auto once = q;
    refine(q, v);
    EXPECT_EQ(q.scales, once.scales);
    EXPECT_EQ(q.zero_points, once.zero_points);
}

TEST(Refine, WrongLengthOrEmptyIsANoOp) {
    const std::vector<float> v{1.0f, 2.0f, 3.0f};
    auto q = symmetric::quantize_with<f32>(v, 8, 2).value();
    const auto before = q;
    refine(q, std::vector<float>{1.0f, 2.0f});
    EXPECT_EQ(q.kind, Kind::Symmetric);
    EXPECT_EQ(q.scales, before.scales);
    auto e = symmetric::quantize_with<f32>({}, 8, 2).value();
    refine(e, {});
    EXPECT_EQ(e.kind, Kind::Symmetric);
}

TEST(Refine, BrokenTensorThrowsAndStaysAsItWas) {
    const std::vector<float> v{1.0f, 2.0f, 3.0f};
    auto q = symmetric::quantize_with<f32>(v, 8, 2).value();
    q.packed.bytes.pop_back();
    const auto before = q;
    EXPECT_THROW(refine(q, v), InternalError);
    EXPECT_EQ(q.kind, Kind::Symmetric);
    EXPECT_EQ(q.scales, before.scales);
    EXPECT_EQ(q.packed, before.packed);
}

}  // namespace
}  // namespace velmar
