// Packing internals the Python suite cannot reach: every width's round trip
// through from_i32s and the dispatched unpacker, the overflow guard of
// packed_len, the unpacker's refusals, and the half-precision widening of
// every bit pattern.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <numeric>
#include <random>

#include "kernels/dispatch.hpp"
#include "shared/packed.hpp"
#include "shared/scale.hpp"

namespace velmar {
namespace {

using Bytes = std::vector<uint8_t>;
using Codes = std::vector<int32_t>;

class EveryWidth : public ::testing::TestWithParam<uint32_t> {};

TEST_P(EveryWidth, RoundTripsWholeRangeAndOddCounts) {
    const uint32_t bits = GetParam();
    const int32_t lo = -(1 << (bits - 1));
    const int32_t hi = (1 << (bits - 1)) - 1;
    std::mt19937 gen(bits);
    std::uniform_int_distribution<int32_t> dist(lo, hi);
    Codes whole(static_cast<size_t>(hi - lo + 1));
    std::iota(whole.begin(), whole.end(), lo);
    for (Codes codes : {whole, Codes(1), Codes(7), Codes(33), Codes(101)}) {
        if (codes.size() != whole.size())
            for (auto& c : codes) c = dist(gen);
        const size_t n = codes.size();
        // Bits above the width are dropped on packing.
        Codes noisy = codes;
        for (auto& c : noisy) c = static_cast<int32_t>((static_cast<uint32_t>(c) & ((1u << bits) - 1u)) | (1u << 20));
        const Packed p = Packed::from_i32s(noisy, bits);
        ASSERT_EQ(p.bytes.size(), (n * bits + 7) / 8);
        EXPECT_EQ(p.count, n);
        EXPECT_EQ(p.bits, bits);
        if (n * bits % 8 != 0) {
            EXPECT_EQ(p.bytes.back() >> (n * bits % 8), 0);  // unused high bits stay 0
        }
        Codes out(n + 1, 42);  // one spare entry must stay untouched
        Packed::unpack_slice(p.bytes, bits, out, n);
        EXPECT_EQ(Codes(out.begin(), out.begin() + n), codes);
        EXPECT_EQ(out[n], 42);
        Codes ref(n);
        simd::scalar_kernels().unpack(p.bytes.data(), bits, n, ref.data());
        EXPECT_EQ(ref, codes);
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
    // from_i32s holds widths 1..=16 only.
    if (c.bits == 0 || c.bits > 16) {
        EXPECT_THROW(Packed::from_i32s(Codes{1}, c.bits), InternalError);
    }
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

TEST(F16, WideningIsExactForEveryPattern) {
    for (uint32_t h = 0; h <= 0xFFFF; ++h) {
        const float f = f32_from_f16_bits(static_cast<uint16_t>(h));
        if (std::isnan(f)) {
            EXPECT_TRUE((h & 0x7C00u) == 0x7C00u && (h & 0x3FFu) != 0) << h;
            EXPECT_NE(std::bit_cast<uint32_t>(f) & 0x00400000u, 0u) << h;
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
