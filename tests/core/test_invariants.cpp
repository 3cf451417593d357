// Records broken field by field, as only a hand-made pickle state could make
// them, and the guards of the checked kernel entries: every reader throws
// InternalError instead of touching memory outside a buffer.
#include <gtest/gtest.h>

#include <functional>

#include "kernels/block.hpp"
#include "kernels/i4.hpp"
#include "kernels/i8.hpp"
#include "methods/adaptive.hpp"
#include "methods/asymmetric.hpp"
#include "methods/learned.hpp"
#include "methods/symmetric.hpp"
#include "shared/decode.hpp"

namespace velmar {
namespace {

const std::vector<float> kValues{0.1f, -2.0f, 3.5f, 0.7f, -0.2f, 9.0f, 1.0f, 1.5f, -4.0f, 2.25f};

Quantized<f32> base(Kind kind, uint32_t bits) {
    switch (kind) {
        case Kind::Symmetric: return symmetric::quantize_with<f32>(kValues, bits, 4).value();
        case Kind::Asymmetric: return asymmetric::quantize_with<f32>(kValues, bits, 4).value();
        case Kind::Adaptive: break;
    }
    return adaptive::quantize_with<f32>(kValues, 4, 0.05f).value();
}

struct Broken {
    const char* name;
    Kind kind;
    uint32_t bits;
    std::function<void(Quantized<f32>&)> mutate;
};

class BrokenTensor : public ::testing::TestWithParam<Broken> {
protected:
    Quantized<f32> make() const {
        Quantized<f32> q = base(GetParam().kind, GetParam().bits);
        EXPECT_TRUE(q.keeps_invariants());
        GetParam().mutate(q);
        return q;
    }
};

TEST_P(BrokenTensor, InvariantCheckFails) {
    const auto q = make();
    EXPECT_FALSE(q.keeps_invariants());
    EXPECT_THROW(q.require_invariants(), InternalError);
}

TEST_P(BrokenTensor, EveryReaderThrowsInsteadOfTouchingMemory) {
    const auto q = make();
    EXPECT_THROW(q.dequantize(), InternalError);
    EXPECT_THROW(q.unpacked_codes(), InternalError);
    std::vector<float> out(q.len, 5.0f);
    EXPECT_THROW((void)q.dequantize_into(out), InternalError);
    EXPECT_THROW((void)dot(q, kValues), InternalError);
    EXPECT_THROW((void)dot_of(q, kValues), InternalError);
}

TEST_P(BrokenTensor, RefineThrowsAndLeavesTheRecordAlone) {
    auto q = make();
    const auto before = q;
    EXPECT_THROW(refine(q, kValues), InternalError);
    EXPECT_EQ(q.kind, before.kind);
    EXPECT_EQ(q.scales, before.scales);
    EXPECT_EQ(q.zero_points, before.zero_points);
    EXPECT_EQ(q.packed, before.packed);
    EXPECT_EQ(q.data, before.data);
}

using Q = Quantized<f32>;
constexpr Kind S = Kind::Symmetric;
constexpr Kind A = Kind::Asymmetric;
constexpr Kind D = Kind::Adaptive;

INSTANTIATE_TEST_SUITE_P(
    Records, BrokenTensor,
    ::testing::Values(
        Broken{"sym_block0", S, 8, [](Q& q) { q.block = 0; }},
        Broken{"sym4_block0", S, 4, [](Q& q) { q.block = 0; }},
        Broken{"sym_block_too_big_for_scales", S, 8, [](Q& q) { q.block = 5; }},
        Broken{"sym_scales_short", S, 8, [](Q& q) { q.scales.pop_back(); }},
        Broken{"sym4_scales_short", S, 4, [](Q& q) { q.scales.pop_back(); }},
        Broken{"sym_scales_long", S, 8, [](Q& q) { q.scales.push_back(1.0f); }},
        Broken{"sym_has_zero_points", S, 8, [](Q& q) { q.zero_points.assign(3, 0.0f); }},
        Broken{"sym_count_short", S, 8, [](Q& q) { q.packed.count = 9; }},
        Broken{"sym_count_long", S, 8, [](Q& q) { q.packed.count = 11; }},
        Broken{"sym_bytes_short", S, 8, [](Q& q) { q.packed.bytes.pop_back(); }},
        Broken{"sym4_bytes_short", S, 4, [](Q& q) { q.packed.bytes.pop_back(); }},
        Broken{"sym5_bytes_short", S, 5, [](Q& q) { q.packed.bytes.pop_back(); }},
        Broken{"sym_bytes_long", S, 8, [](Q& q) { q.packed.bytes.push_back(0); }},
        Broken{"sym_bytes_empty", S, 3, [](Q& q) { q.packed.bytes.clear(); }},
        Broken{"sym_bits0", S, 8, [](Q& q) { q.packed.bits = 0; }},
        Broken{"sym_bits1", S, 8, [](Q& q) { q.packed.bits = 1; }},
        Broken{"sym_bits17", S, 16, [](Q& q) { q.packed.bits = 17; }},
        Broken{"sym_bits40", S, 16, [](Q& q) { q.packed.bits = 40; q.packed.bytes.resize(50); }},
        Broken{"sym_bits_wider_than_bytes", S, 4, [](Q& q) { q.packed.bits = 8; }},
        Broken{"unknown_kind", S, 8, [](Q& q) { q.kind = static_cast<Kind>(7); }},
        Broken{"asym_zero_points_short", A, 6, [](Q& q) { q.zero_points.pop_back(); }},
        Broken{"asym_zero_points_long", A, 6, [](Q& q) { q.zero_points.push_back(0.0f); }},
        Broken{"asym_scales_short", A, 6, [](Q& q) { q.scales.pop_back(); }},
        Broken{"asym_bytes_short", A, 6, [](Q& q) { q.packed.bytes.pop_back(); }},
        Broken{"asym_bits17", A, 16, [](Q& q) { q.packed.bits = 17; }},
        Broken{"adaptive_block0", D, 0, [](Q& q) { q.block = 0; }},
        Broken{"adaptive_width0", D, 0, [](Q& q) { q.block_bits[0] = 0; }},
        Broken{"adaptive_width1", D, 0, [](Q& q) { q.block_bits[0] = 1; }},
        Broken{"adaptive_width9", D, 0, [](Q& q) { q.block_bits[1] = 9; q.data.resize(q.data.size() + 4); }},
        Broken{"adaptive_width17", D, 0, [](Q& q) { q.block_bits[2] = 17; }},
        Broken{"adaptive_width40", D, 0, [](Q& q) { q.block_bits[2] = 40; q.data.resize(200); }},
        Broken{"adaptive_widths_short", D, 0, [](Q& q) { q.block_bits.pop_back(); }},
        Broken{"adaptive_widths_long", D, 0, [](Q& q) { q.block_bits.push_back(2); }},
        Broken{"adaptive_widths_empty", D, 0, [](Q& q) { q.block_bits.clear(); }},
        Broken{"adaptive_data_short", D, 0, [](Q& q) { q.data.pop_back(); }},
        Broken{"adaptive_data_long", D, 0, [](Q& q) { q.data.push_back(0); }},
        Broken{"adaptive_scales_short", D, 0, [](Q& q) { q.scales.pop_back(); }},
        Broken{"adaptive_zero_points_short", D, 0, [](Q& q) { q.zero_points.pop_back(); }},
        Broken{"adaptive_wider_width", D, 0, [](Q& q) { q.block_bits[0] = 8; }}),
    [](const auto& info) { return info.param.name; });

TEST(HugeLength, SymmetricNearTwoToThe61DoesNotWrapOrAllocate) {
    Quantized<f32> q;
    q.kind = Kind::Symmetric;
    q.len = size_t{1} << 61;
    q.block = size_t{1} << 61;
    q.scales = {1.0f};
    q.packed = {std::vector<uint8_t>(16), q.len, 8};
    EXPECT_FALSE(q.keeps_invariants());
    EXPECT_THROW(q.dequantize(), InternalError);
    EXPECT_THROW(q.unpacked_codes(), InternalError);
    std::vector<float> out(4);
    EXPECT_EQ(q.dequantize_into(out).error(), CoreError::length_mismatch(q.len, 4));
    EXPECT_EQ(dot(q, out).error(), CoreError::length_mismatch(q.len, 4));
    EXPECT_THROW((void)dot_of(q, out), InternalError);
    refine(q, out);  // length differs: nothing happens
    EXPECT_EQ(q.kind, Kind::Symmetric);
}

TEST(HugeLength, ByteCountsThatWouldWrapAreRejected) {
    Quantized<f32> q;
    q.kind = Kind::Asymmetric;
    q.len = SIZE_MAX;
    q.block = SIZE_MAX;
    q.scales = {1.0f};
    q.zero_points = {0.0f};
    // SIZE_MAX * 16 bits wraps to a small number if computed naively.
    q.packed = {std::vector<uint8_t>(14), SIZE_MAX, 16};
    EXPECT_FALSE(q.keeps_invariants());
    q.packed.bits = 2;
    EXPECT_FALSE(q.keeps_invariants());
    EXPECT_THROW(q.dequantize(), InternalError);
}

TEST(HugeLength, BlockNearTwoToThe64CountsOneBlock) {
    Quantized<f32> q;
    q.kind = Kind::Symmetric;
    q.len = SIZE_MAX;
    q.block = SIZE_MAX - 1;  // (len + block - 1) / block would wrap to 0
    q.scales = {1.0f};
    q.packed = {{}, SIZE_MAX, 8};
    EXPECT_FALSE(q.keeps_invariants());
    EXPECT_EQ(block_count(SIZE_MAX, SIZE_MAX - 1), 2u);
    EXPECT_EQ(block_count(10, SIZE_MAX), 1u);
    const auto ok = symmetric::quantize_with<f32>(kValues, 8, SIZE_MAX).value();
    EXPECT_TRUE(ok.keeps_invariants());
    EXPECT_EQ(ok.scales.size(), 1u);
}

TEST(HugeLength, AdaptiveDataSumDoesNotOverflow) {
    Quantized<f32> q;
    q.kind = Kind::Adaptive;
    q.len = SIZE_MAX;
    q.block = SIZE_MAX / 2 + 1;  // two blocks whose byte counts together exceed SIZE_MAX
    q.scales = {1.0f, 1.0f};
    q.zero_points = {0.0f, 0.0f};
    q.block_bits = {8, 8};
    q.data = std::vector<uint8_t>(8);
    EXPECT_FALSE(q.keeps_invariants());
    EXPECT_THROW(q.dequantize(), InternalError);
    EXPECT_THROW(q.unpacked_codes(), InternalError);
}

TEST(Invariants, EmptyRecordsSkipWork) {
    // With len 0 there is nothing to read, so the readers succeed on any block.
    Quantized<f32> q;
    q.kind = Kind::Adaptive;
    q.block = 0;
    EXPECT_FALSE(q.keeps_invariants());
    EXPECT_TRUE(q.dequantize().empty());
    EXPECT_EQ(dot(q, {}).value(), 0.0f);
    EXPECT_TRUE(q.unpacked_codes().empty());
}

template <class T>
class BrokenPerStorage : public ::testing::Test {};
using StorageTypes = ::testing::Types<f32, f16, bf16>;
TYPED_TEST_SUITE(BrokenPerStorage, StorageTypes);

TYPED_TEST(BrokenPerStorage, ShortScalesThrowForEveryKind) {
    std::vector<Quantized<TypeParam>> records{symmetric::quantize_with<TypeParam>(kValues, 8, 3).value(),
                                              symmetric::quantize_with<TypeParam>(kValues, 4, 3).value(),
                                              symmetric::quantize_with<TypeParam>(kValues, 7, 3).value(),
                                              asymmetric::quantize_with<TypeParam>(kValues, 5, 3).value(),
                                              adaptive::quantize_with<TypeParam>(kValues, 3, 0.1f).value()};
    for (auto& q : records) {
        ASSERT_TRUE(q.keeps_invariants());
        q.scales.resize(1);
        EXPECT_THROW(q.dequantize(), InternalError);
        EXPECT_THROW((void)dot(q, kValues), InternalError);
        EXPECT_THROW(refine(q, kValues), InternalError);
    }
}

// The kernels guard their own inputs too, for callers that skip the record check.
class KernelGuards : public ::testing::TestWithParam<std::pair<const char*, std::function<void()>>> {};

TEST_P(KernelGuards, Throw) { EXPECT_THROW(GetParam().second(), InternalError); }

std::vector<float> buf(size_t n) { return std::vector<float>(n, 0.0f); }
const Packed kP8 = Packed::from_i32s(std::vector<int32_t>(6, 1), 8);
const Packed kP5 = Packed::from_i32s(std::vector<int32_t>(6, 1), 5);

INSTANTIATE_TEST_SUITE_P(
    Cases, KernelGuards,
    ::testing::Values(
        std::make_pair("i8_block0", [] { auto o = buf(6); dequant_i8_blocks(buf(6), kP8.bytes, 0, o); }),
        std::make_pair("i8_scales_short", [] { auto o = buf(6); dequant_i8_blocks(buf(2), kP8.bytes, 2, o); }),
        std::make_pair("i8_bytes_short", [] { auto o = buf(7); dequant_i8_blocks(buf(7), kP8.bytes, 1, o); }),
        std::make_pair("i8_dot_bytes_short", [] { (void)dot_i8_blocks(buf(7), kP8.bytes, 1, buf(7)); }),
        std::make_pair("i8_dot_scales_short", [] { (void)dot_i8_blocks(buf(1), kP8.bytes, 3, buf(6)); }),
        std::make_pair("i4_bytes_short", [] { auto o = buf(13); dequant_i4_blocks(buf(13), kP8.bytes, 1, o); }),
        std::make_pair("i4_block0", [] { auto o = buf(4); dequant_i4_blocks(buf(4), kP8.bytes, 0, o); }),
        std::make_pair("sym_into_out_short", [] { auto o = buf(5); dequant_sym_into(buf(6), kP5, 1, o); }),
        std::make_pair("sym_into_scales_short", [] { auto o = buf(6); dequant_sym_into(buf(5), kP5, 1, o); }),
        std::make_pair("asym_into_zero_points_short",
                       [] { auto o = buf(6); dequant_asym_into(buf(2), buf(1), kP5, 3, o); }),
        std::make_pair("dot_sym_x_short", [] { (void)dot_sym(buf(6), kP5, 1, buf(5)); }),
        std::make_pair("dot_asym_x_long", [] { (void)dot_asym(buf(6), buf(6), kP5, 1, buf(7)); }),
        std::make_pair("dot_asym_block0", [] { (void)dot_asym(buf(6), buf(6), kP5, 0, buf(6)); }),
        std::make_pair("dot_asym_width17", [] { (void)dot_asym(buf(6), buf(6), Packed{std::vector<uint8_t>(64), 6, 17}, 1, buf(6)); }),
        std::make_pair("decoder_sym_out_short",
                       [] { auto o = buf(5); dequant_sym<f32>(std::vector<float>(6), kP8, 1, o); }),
        std::make_pair("decoder_adaptive_width40",
                       [] {
                           auto o = buf(6);
                           const std::vector<uint32_t> w{40};
                           dequant_adaptive<f32>(buf(1), buf(1), std::vector<uint8_t>(64), w, 6, 6, o);
                       }),
        std::make_pair("decoder_adaptive_data_short",
                       [] {
                           auto o = buf(6);
                           const std::vector<uint32_t> w{8};
                           dequant_adaptive<f32>(buf(1), buf(1), std::vector<uint8_t>(5), w, 6, 6, o);
                       }),
        std::make_pair("decoder_adaptive_out_short",
                       [] {
                           auto o = buf(5);
                           const std::vector<uint32_t> w{8};
                           dequant_adaptive<f32>(buf(1), buf(1), std::vector<uint8_t>(6), w, 6, 6, o);
                       }),
        std::make_pair("adaptive_width9",
                       [] { (void)quantize_adaptive(buf(6), 3, std::vector<uint32_t>{8, 9}); }),
        std::make_pair("adaptive_widths_short", [] { (void)quantize_adaptive(buf(6), 3, std::vector<uint32_t>{8}); }),
        std::make_pair("dot_adaptive_data_short",
                       [] {
                           const std::vector<uint32_t> w{8};
                           (void)dot_adaptive(buf(1), buf(1), std::vector<uint8_t>(5), w, 6, buf(6));
                       }),
        std::make_pair("fit_codes_short", [] { (void)fit_blocks(buf(6), std::vector<int32_t>(5), 2); }),
        std::make_pair("widen_out_short", [] { auto o = buf(2); widen_f16(std::vector<uint16_t>(3), o); })),
    [](const auto& info) { return std::string(info.param.first); });

}  // namespace
}  // namespace velmar
