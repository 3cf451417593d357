// Records broken field by field, as only a hand-made pickle state could make
// them, and the guards of the checked kernel entries: every reader throws
// InternalError instead of touching memory outside a buffer.
#include <gtest/gtest.h>

#include <functional>

#include "kernels/block.hpp"
#include "kernels/i4.hpp"
#include "kernels/i8.hpp"
#include "kernels/ranges.hpp"
#include "methods/adaptive.hpp"
#include "methods/asymmetric.hpp"
#include "methods/learned.hpp"
#include "methods/symmetric.hpp"
#include "shared/decode.hpp"

// Hand-made records name only the fields they set.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace velmar {
namespace {

const std::vector<float> kValues{0.1f, -2.0f, 3.5f, 0.7f, -0.2f, 9.0f, 1.0f, 1.5f, -4.0f, 2.25f};

// bits 0 is the adaptive method; block 4 gives three blocks, the last one short.
template <class T>
Quantized<T> make(uint32_t bits, bool asymmetric = false, size_t block = 4) {
    if (bits == 0) return adaptive::quantize_with<T>(kValues, block, 0.05f).value();
    return asymmetric ? asymmetric::quantize_with<T>(kValues, bits, block).value()
                      : symmetric::quantize_with<T>(kValues, bits, block).value();
}

// Every storage type, since each has its own scale decoding.
template <class T>
void expect_broken_records_refused() {
    using Q = Quantized<T>;
    // One case per condition of the check and direction; a width case resizes
    // its bytes, so that only the width is wrong. The widths vary so that the
    // valid record's dot product takes the 8-bit and the generic path.
    const struct { const char* name; uint32_t bits; bool asym; std::function<void(Q&)> brk; } cases[] = {
        {"block 0", 8, false, [](Q& q) { q.block = 0; }},
        {"scales short", 4, false, [](Q& q) { q.scales.pop_back(); }},
        {"scales long", 8, false, [](Q& q) { q.scales.push_back(q.scales[0]); }},
        {"symmetric with zero points", 8, false, [](Q& q) { q.zero_points = q.scales; }},
        {"count short", 5, false, [](Q& q) { q.packed.count = 9; }},
        {"count long", 3, false, [](Q& q) { q.packed.count = 11; }},
        {"bytes short", 16, false, [](Q& q) { q.packed.bytes.pop_back(); }},
        {"bytes long", 8, false, [](Q& q) { q.packed.bytes.push_back(0); }},
        {"width 1", 8, false, [](Q& q) { q.packed.bits = 1; q.packed.bytes.resize(2); }},
        {"width 17", 16, false, [](Q& q) { q.packed.bits = 17; q.packed.bytes.resize(22); }},
        {"unknown kind", 8, false, [](Q& q) { q.kind = static_cast<Kind>(7); }},
        {"asymmetric zero points short", 6, true, [](Q& q) { q.zero_points.pop_back(); }},
        {"asymmetric zero points long", 6, true, [](Q& q) { q.zero_points.push_back(q.zero_points[0]); }},
        // The last block holds two codes, of width 6.
        {"adaptive width 1", 0, true, [](Q& q) { q.block_bits[2] = 1; q.data.pop_back(); }},
        {"adaptive width 9", 0, true, [](Q& q) { q.block_bits[2] = 9; q.data.push_back(0); }},
        {"adaptive widths short", 0, true, [](Q& q) { q.block_bits.pop_back(); }},
        {"adaptive widths long", 0, true, [](Q& q) { q.block_bits.push_back(2); }},
        {"adaptive data short", 0, true, [](Q& q) { q.data.pop_back(); }},
        {"adaptive data long", 0, true, [](Q& q) { q.data.push_back(0); }},
        {"adaptive zero points short", 0, true, [](Q& q) { q.zero_points.pop_back(); }}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Q q = make<T>(c.bits, c.asym);
        ASSERT_TRUE(q.keeps_invariants());
        ASSERT_NO_THROW((void)dot(q, kValues).value());
        c.brk(q);
        const Q before = q;
        EXPECT_FALSE(q.keeps_invariants());
        EXPECT_THROW(q.dequantize(), InternalError);
        EXPECT_THROW(q.unpacked_codes(), InternalError);
        std::vector<float> out(q.len, 5.0f);
        EXPECT_THROW((void)q.dequantize_into(out), InternalError);
        EXPECT_THROW((void)dot(q, kValues), InternalError);
        EXPECT_THROW(refine(q, kValues), InternalError);
        const auto raw = [](const auto& v) { return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof v[0]); };
        EXPECT_TRUE(q.kind == before.kind && raw(q.scales) == raw(before.scales) &&
                    raw(q.zero_points) == raw(before.zero_points) && q.packed == before.packed && q.data == before.data);
    }
}

TEST(BrokenRecord, FailsTheCheckAndEveryReaderThrowsLeavingItAlone) {
    expect_broken_records_refused<f32>();
    expect_broken_records_refused<f16>();
    expect_broken_records_refused<bf16>();
}

using Q = Quantized<f32>;

// Lengths and blocks near 2^64: the checks come before any allocation sized
// from len, and the walks over blocks do not wrap (packed_len's own overflow
// guard is in test_packed).
TEST(BrokenRecord, HugeFieldsNeitherWrapNorAllocate) {
    constexpr size_t kBig = size_t{1} << 61, kMax = SIZE_MAX;
    const Q huge[] = {
        {.scales = {1.0f}, .packed = {std::vector<uint8_t>(16), kBig, 8}, .block = kBig, .len = kBig},
        // a block walk that steps by `block` instead of the block's length wraps to 0
        {.kind = Kind::Adaptive, .scales = {1.0f, 1.0f}, .zero_points = {0.0f, 0.0f}, .data = std::vector<uint8_t>(8),
         .block_bits = {8, 8}, .block = kMax / 2 + 1, .len = kMax}};
    for (const Q& q : huge) {
        SCOPED_TRACE("len " + std::to_string(q.len) + " block " + std::to_string(q.block));
        EXPECT_FALSE(q.keeps_invariants());
        EXPECT_THROW(q.dequantize(), InternalError);
        EXPECT_THROW(q.unpacked_codes(), InternalError);
    }
    // The length is compared before the record is checked.
    Q q = huge[0];
    std::vector<float> out(4);
    EXPECT_EQ(q.dequantize_into(out).error(), CoreError::length_mismatch(kBig, 4));
    EXPECT_EQ(dot(q, out).error(), CoreError::length_mismatch(kBig, 4));
    EXPECT_NO_THROW(refine(q, out));
    // (len + block - 1) / block would wrap to 0.
    EXPECT_EQ(block_count(kMax, kMax - 1), 2u);
    EXPECT_EQ(block_count(10, kMax), 1u);
    EXPECT_TRUE(make<f32>(8, false, kMax).keeps_invariants());
}

TEST(BrokenRecord, EmptyRecordsSkipWork) {
    // With len 0 there is nothing to read, so the readers succeed on any block.
    const Q q{.kind = Kind::Adaptive, .block = 0};
    EXPECT_FALSE(q.keeps_invariants());
    EXPECT_TRUE(q.dequantize().empty());
    EXPECT_EQ(dot(q, {}).value(), 0.0f);
    EXPECT_TRUE(q.unpacked_codes().empty());
}

// The kernels guard their own inputs too, for callers that skip the record check.
TEST(KernelGuards, Throw) {
    const auto buf = [](size_t n) { return std::vector<float>(n, 0.0f); };
    const Packed p8 = Packed::from_i32s(std::vector<int32_t>(6, 1), 8), p5 = Packed::from_i32s(std::vector<int32_t>(6, 1), 5);
    const std::vector<uint32_t> w8{8}, w9{9};
    std::vector<float> o6 = buf(6), o5 = buf(5);
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"i8 block 0", [&] { dequant_i8_blocks(buf(6), p8.bytes, 0, o6); }},
        {"i8 scales short", [&] { dequant_i8_blocks(buf(2), p8.bytes, 2, o6); }},
        {"i8 bytes short", [&] { auto o = buf(7); dequant_i8_blocks(buf(7), p8.bytes, 1, o); }},
        {"i8 dot scales short", [&] { (void)dot_i8_blocks(buf(1), p8.bytes, 3, buf(6)); }},
        {"i4 bytes short", [&] { auto o = buf(13); dequant_i4_blocks(buf(13), p8.bytes, 1, o); }},
        {"i4 block 0", [&] { auto o = buf(4); dequant_i4_blocks(buf(4), p8.bytes, 0, o); }},
        {"symmetric out short", [&] { dequant_sym_into(buf(6), p5, 1, o5); }},
        {"symmetric scales short", [&] { dequant_sym_into(buf(5), p5, 1, o6); }},
        {"asymmetric zero points short", [&] { dequant_asym_into(buf(2), buf(1), p5, 3, o6); }},
        {"dot symmetric x short", [&] { (void)dot_sym(buf(6), p5, 1, buf(5)); }},
        {"dot asymmetric x long", [&] { (void)dot_asym(buf(6), buf(6), p5, 1, buf(7)); }},
        {"dot asymmetric block 0", [&] { (void)dot_asym(buf(6), buf(6), p5, 0, buf(6)); }},
        {"dot asymmetric width 17", [&] { (void)dot_asym(buf(6), buf(6), Packed{std::vector<uint8_t>(64), 6, 17}, 1, buf(6)); }},
        {"decoder out short", [&] { dequant_sym<f32>(buf(6), p8, 1, o5); }},
        {"decoder adaptive width 9", [&] { dequant_adaptive<f32>(buf(1), buf(1), std::vector<uint8_t>(64), w9, 6, 6, o6); }},
        {"decoder adaptive data short", [&] { dequant_adaptive<f32>(buf(1), buf(1), std::vector<uint8_t>(5), w8, 6, 6, o6); }},
        {"decoder adaptive out short", [&] { dequant_adaptive<f32>(buf(1), buf(1), std::vector<uint8_t>(6), w8, 6, 6, o5); }},
        {"adaptive width 9", [&] { (void)quantize_adaptive(buf(6), 3, std::vector<uint32_t>{8, 9}); }},
        {"adaptive widths short", [&] { (void)quantize_adaptive(buf(6), 3, w8); }},
        {"dot adaptive data short", [&] { (void)dot_adaptive(buf(1), buf(1), std::vector<uint8_t>(5), w8, 6, buf(6)); }},
        {"fit codes short", [&] { (void)fit_blocks(buf(6), std::vector<int32_t>(5), 2); }},
        {"widen out short", [&] { auto o = buf(2); widen_f16(std::vector<uint16_t>(3), o); }},
        {"narrow out short", [&] { std::vector<uint16_t> o(2); narrow_f16(buf(3), o); }},
        {"symmetric quantizer block 0", [&] { (void)quantize_sym_packed(buf(6), 8, 0); }},
        {"asymmetric quantizer block 0", [&] { (void)quantize_asym_packed(buf(6), 8, 0); }}};
    for (const auto& [name, call] : cases) EXPECT_THROW(call(), InternalError) << name;
}

// The range entries over borrowed buffers refuse every length they index by, one field wrong at a time
// (row 0 is valid). `bad` marks the entry groups that must refuse: symmetric, asymmetric, widths, adaptive.
TEST(KernelGuards, RangeEntriesThrow) {
    namespace r = ranges;
    const std::vector<float> v(6, 1.0f);
    const struct { size_t block; uint32_t bits; std::vector<uint32_t> widths; size_t scales, zps, bytes; const char* bad; }
        cases[] = {{3, 8, {8, 8}, 2, 2, 6, "...."}, {0, 8, {8, 8}, 2, 2, 6, "sawa"}, {3, 17, {8, 8}, 2, 2, 13, "sa.."},
                   {3, 1, {8, 1}, 2, 2, 6, "sa.a"}, {3, 8, {8, 9}, 2, 2, 7, "...a"}, {3, 8, {8}, 1, 2, 6, "sawa"},
                   {3, 8, {8, 8}, 2, 1, 6, ".a.a"}, {3, 8, {8, 8}, 2, 2, 5, "sa.a"}};
    for (const auto& c : cases) {
        std::vector<float> s(c.scales), z(c.zps), out(6);
        std::vector<uint8_t> b(c.bytes);
        std::vector<uint32_t> w(c.widths.size());
        const std::pair<int, std::function<void()>> calls[] = {
            {0, [&] { r::quantize_sym(v, c.block, c.bits, s, b); }},
            {0, [&] { r::dequant_sym(s, b, c.bits, c.block, out); }},
            {0, [&] { (void)r::dot_sym(s, b, c.bits, c.block, v); }},
            {1, [&] { r::quantize_asym(v, c.block, c.bits, s, z, b); }},
            {1, [&] { r::dequant_asym(s, z, b, c.bits, c.block, out); }},
            {1, [&] { (void)r::dot_asym(s, z, b, c.bits, c.block, v); }},
            {2, [&] { r::adaptive_widths(v, c.block, 0.1f, w); }},
            {3, [&] { r::quantize_adaptive(v, c.block, c.widths, s, z, b); }},
            {3, [&] { r::dequant_adaptive(s, z, b, c.widths, c.block, out); }},
            {3, [&] { (void)r::dot_adaptive(s, z, b, c.widths, c.block, v); }}};
        for (size_t k = 0; k < std::size(calls); ++k) {
            SCOPED_TRACE(std::string(c.bad) + " entry " + std::to_string(k));
            if (c.bad[calls[k].first] != '.') EXPECT_THROW(calls[k].second(), InternalError);
            else EXPECT_NO_THROW(calls[k].second());
        }
    }
}

}  // namespace
}  // namespace velmar
