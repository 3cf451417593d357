// Records and row views broken field by field, as only a hand-made pickle
// state or parts could make them, and the guards of the checked entries: every
// reader throws InternalError instead of touching memory outside a buffer.
#include <gtest/gtest.h>

#include <functional>

#include "kernels/block.hpp"
#include "kernels/i4.hpp"
#include "kernels/i8.hpp"
#include "methods/adaptive.hpp"
#include "methods/asymmetric.hpp"
#include "methods/learned.hpp"
#include "methods/rows.hpp"
#include "methods/superblock.hpp"
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
    // The view's check is tested field by field below; here the record's own
    // condition (the code count), and one case of each part as every reader
    // meets it. A width case resizes its bytes, so that only the width is
    // wrong; the widths vary so that the valid record's dot product takes the
    // 8-bit and the generic path.
    const struct { const char* name; uint32_t bits; bool asym; std::function<void(Q&)> brk; } cases[] = {
        {"block 0", 8, false, [](Q& q) { q.block = 0; }},
        {"count short", 5, false, [](Q& q) { q.packed.count = 9; }},
        {"count long", 3, false, [](Q& q) { q.packed.count = 11; }},
        {"bytes short", 16, false, [](Q& q) { q.packed.bytes.pop_back(); }},
        {"width 17", 16, false, [](Q& q) { q.packed.bits = 17; q.packed.bytes.resize(22); }},
        {"unknown kind", 8, false, [](Q& q) { q.kind = static_cast<Kind>(7); }},
        {"asymmetric zero points short", 6, true, [](Q& q) { q.zero_points.pop_back(); }},
        // The last block holds two codes, of width 6.
        {"adaptive width 9", 0, true, [](Q& q) { q.block_bits[2] = 9; q.data.push_back(0); }},
        {"adaptive data long", 0, true, [](Q& q) { q.data.push_back(0); }}};
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
        {.scales = {1.0f}, .packed = {Bytes(16), kBig, 8}, .block = kBig, .len = kBig},
        // a block walk that steps by `block` instead of the block's length wraps to 0
        {.kind = Kind::Adaptive, .scales = {1.0f, 1.0f}, .zero_points = {0.0f, 0.0f}, .data = Bytes(8),
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

// The entries that take no view build one from their buffers, so the view's
// check guards them too; and the buffers beside a view are checked against it.
TEST(KernelGuards, Throw) {
    const auto buf = [](size_t n) { return std::vector<float>(n, 0.0f); };
    const Packed p8 = Packed::from_i32s(std::vector<int32_t>(6, 1), 8);
    const std::vector<uint32_t> w9{9};
    std::vector<float> o6 = buf(6), o5 = buf(5), s2 = buf(2), z1 = buf(1);
    std::vector<uint8_t> b6(6), b5(5);
    std::vector<uint32_t> w1(1);
    const Parts<f32> three = rows::quantize<f32>(buf(6), 2, 3, {Kind::Symmetric, 8, 3}).value();
    const Rows<f32> view = three.view({Kind::Symmetric, 8, 3}, 2, 3);
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"i8 bytes short", [&] { auto o = buf(7); dequant_i8_blocks(buf(7), p8.bytes, 1, o); }},
        {"i8 dot scales short", [&] { (void)dot_i8_blocks(buf(1), p8.bytes, 3, buf(6)); }},
        {"i4 block 0", [&] { auto o = buf(4); dequant_i4_blocks(buf(4), p8.bytes, 0, o); }},
        {"decoder out short", [&] { dequant_sym<f32>(buf(6), p8, 1, o5); }},
        {"decoder adaptive width 9", [&] { dequant_adaptive<f32>(buf(1), buf(1), std::vector<uint8_t>(64), w9, 6, 6, o6); }},
        {"symmetric quantizer bytes short", [&] { quantize_sym_packed(buf(6), 8, 3, s2, b5); }},
        {"asymmetric quantizer zero points short", [&] { quantize_asym_packed(buf(6), 8, 3, s2, z1, b6); }},
        {"adaptive quantizer not one width per block", [&] { Bytes b; quantize_adaptive(buf(6), 3, 0.1f, w1, s2, s2, b); }},
        {"adaptive parameters zero points short", [&] { std::vector<uint32_t> w(2); adaptive_params(buf(6), 3, 0.1f, w, s2, z1); }},
        {"decode out short", [&] { decode_rows(view, o5); }},
        {"unpack out short", [&] { std::vector<int32_t> o(5); unpack_rows(view, o); }},
        {"dot x short", [&] { dot_rows(view, buf(5), 2, o6); }},
        {"dot out short", [&] { std::vector<float> o(3); dot_rows(view, buf(6), 2, o); }},
        {"dot more rows than left", [&] { RowReader<f32> r(view); r.dot(1, buf(3), 1, o6, 1); r.dot(2, buf(3), 1, o6, 2); }},
        {"matrix quantizer values not rows * cols", [&] { (void)rows::quantize<f32>(buf(6), 2, 4, {Kind::Symmetric, 8, 4}); }},
        {"fit codes short", [&] { (void)fit_blocks(buf(6), std::vector<int32_t>(5), 2); }},
        {"widen out short", [&] { auto o = buf(2); widen_f16(std::vector<uint16_t>(3), o); }},
        {"narrow out short", [&] { std::vector<uint16_t> o(2); narrow_f16(buf(3), o); }},
        {"weighted weights short", [&] { quantize_sym_weighted(buf(6), buf(5), 8, 3, s2, b6); }},
        {"weighted scales short", [&] { quantize_asym_weighted(buf(6), buf(6), 8, 3, z1, s2, b6); }},
        {"weighted adaptive width 9", [&] { std::vector<uint8_t> b(7); quantize_adaptive_weighted(buf(6), buf(6), 3, std::vector<uint32_t>{8, 9}, s2, s2, b); }},
        {"super-block type 5", [&] { (void)super_block_bytes(static_cast<SuperType>(5)); }},
        {"super-blocks not whole", [&] { std::vector<uint8_t> b(144); (void)quantize_super(SuperType::Q4K, buf(255), {}, b); }},
        {"super-block bytes short", [&] { auto o = buf(256); decode_super(SuperType::Q6K, std::vector<uint8_t>(209), o); }},
        {"super-block weights short", [&] { std::vector<uint8_t> b(84); (void)quantize_super(SuperType::Q2K, buf(256), buf(255), b); }},
        {"super-block dot x not whole", [&] { (void)dot_super(SuperType::Q3K, std::vector<uint8_t>(220), buf(300)); }},
        {"lane dot lengths differ", [&] { (void)dot_lanes(buf(3), buf(4)); }},
        {"super rows bytes short", [&] { auto o = buf(512); super_rows::dequantize(SuperType::Q4K, std::vector<uint8_t>(287), 2, 256, o); }},
        {"super rows x short", [&] { auto o = buf(1); super_rows::matvec(SuperType::Q5K, std::vector<uint8_t>(176), 1, 256, buf(255), 1, o); }}};
    for (const auto& [name, call] : cases) EXPECT_THROW(call(), InternalError) << name;
}

// The one check of a view names the first thing wrong, one field at a time,
// and every reader refuses such a view. Row 0 of each kind is whole: three
// rows of ten values in blocks of four, the last block of each row short.
TEST(RowView, TheCheckNamesWhatIsWrongAndEveryReaderRefuses) {
    using V = Rows<f32>;
    const std::vector<float> v = kValues;
    std::vector<float> values;
    for (int r = 0; r < 3; ++r) values.insert(values.end(), v.begin(), v.end());
    const Scheme schemes[] = {{Kind::Symmetric, 5, 4}, {Kind::Asymmetric, 8, 4}, {Kind::Adaptive, 0, 4, 0.05f}};
    const std::vector<uint32_t> w9(9, 9), w1{2, 8, 2, 1, 2, 2, 2, 2, 2};
    const std::vector<float> nine(9), eight(8);
    const std::vector<uint8_t> huge_rows(1);
    const struct { int kind; const char* want; std::function<void(V&)> brk; } cases[] = {
        {0, "", [](V&) {}},
        {1, "", [](V&) {}},
        {2, "", [](V&) {}},
        {0, "bits 1", [](V& x) { x.scheme.bits = 1; }},
        {1, "bits 17", [](V& x) { x.scheme.bits = 17; }},
        {2, "block 0", [](V& x) { x.scheme.block = 0; }},
        {0, "kind: unknown", [](V& x) { x.scheme.kind = static_cast<Kind>(3); }},
        {0, "scales: expected 9, got 8", [&](V& x) { x.scales = eight; }},
        {0, "zero_points: expected 0, got 9", [&](V& x) { x.zero_points = nine; }},
        {1, "zero_points: expected 9, got 8", [&](V& x) { x.zero_points = eight; }},
        {0, "widths: expected 0, got 9", [&](V& x) { x.widths = w9; }},
        {2, "widths: expected 2 to 8, got 9", [&](V& x) { x.widths = w9; }},
        {2, "widths: expected 2 to 8, got 1", [&](V& x) { x.widths = w1; }},
        {0, "codes: expected 21, got 20", [](V& x) { x.codes = x.codes.first(20); }},
        {1, "codes: expected 30, got 29", [](V& x) { x.codes = x.codes.first(29); }},
        {2, "codes: expected", [](V& x) { x.codes = x.codes.first(x.codes.size() - 1); }},
        {2, "scales: expected 6, got 9", [](V& x) { x.rows = 2; }},
        {0, "shape: the block count overflows", [](V& x) { x.rows = SIZE_MAX / 2; }},
        {0, "shape: the code byte count overflows", [](V& x) { x.rows = 9; x.cols = SIZE_MAX / 4; x.scheme.block = SIZE_MAX; }}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.want);
        const Scheme& s = schemes[c.kind];
        const Parts<f32> p = rows::quantize<f32>(values, 3, 10, s).value();
        V view = p.view(s, 3, 10);
        c.brk(view);
        const std::optional<Fault> f = fault_of(view);
        if (!*c.want) {
            ASSERT_FALSE(f.has_value());
            continue;
        }
        ASSERT_TRUE(f.has_value());
        const std::string what = f->scheme ? std::string(f->scheme->kind == CoreError::Kind::InvalidBits
                                                             ? "bits " + std::to_string(f->scheme->bits)
                                                             : "block " + std::to_string(f->scheme->block))
                                           : f->what;
        EXPECT_EQ(what.substr(0, std::string(c.want).size()), c.want);
        std::vector<float> out(30), x(10);
        std::vector<int32_t> codes(30);
        EXPECT_THROW(decode_rows(view, out), InternalError);
        EXPECT_THROW(unpack_rows(view, codes), InternalError);
        EXPECT_THROW(RowReader<f32>{view}, InternalError);
    }
}
}  // namespace
}  // namespace velmar
