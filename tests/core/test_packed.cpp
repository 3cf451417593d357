// Packing internals the Python suite cannot reach: every width's layout
// against the naive packer, the round trip through the unpacker, the
// overflow guard of packed_len, the unpacker's refusals, the half-precision
// conversions and the adaptive width choice as comparisons.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include <sys/resource.h>

#include "shared/packed.hpp"
#include "shared/params.hpp"
#include "shared/scale.hpp"
#include "sweep.hpp"

namespace velmar {
namespace {

using Codes = std::vector<int32_t>;

TEST(Packing, EveryWidthMatchesTheNaivePackerAndRoundTrips) {
    for (uint32_t bits = 2; bits <= 16; ++bits) {
        for (const size_t n : {size_t{1} << bits, size_t{1}, size_t{7}, size_t{33}, size_t{101}}) {
            SCOPED_TRACE("bits " + std::to_string(bits) + " count " + std::to_string(n));
            const std::vector<uint8_t> r = test::bytes(2 * n, bits * 1000 + n);
            Codes codes(n), noisy(n);
            for (size_t i = 0; i < n; ++i) {
                const uint32_t u = n == size_t{1} << bits ? i : r[2 * i] | r[2 * i + 1] << 8;
                codes[i] = static_cast<int32_t>(u % (1u << bits)) - (1 << (bits - 1));
                // Bits above the width are dropped on packing.
                noisy[i] = static_cast<int32_t>((static_cast<uint32_t>(codes[i]) & ((1u << bits) - 1u)) | (1u << 20));
            }
            const Packed p = Packed::from_i32s(noisy, bits);
            EXPECT_EQ(std::vector<uint8_t>(p.bytes.begin(), p.bytes.end()), ref::pack(codes, bits));
            // The dispatched unpacker; the twin sweep holds the scalar one to it.
            Codes out(n + 1, 42);  // the spare entry must stay untouched
            Packed::unpack_slice(p.bytes, bits, out, n);
            EXPECT_EQ(out, [&] { Codes c = codes; c.push_back(42); return c; }());
        }
    }
}

// The vector kernels choose widths by comparing ranges to width_limits: the
// same choice as choose_bits at each limit, either side of it and anywhere.
TEST(WidthLimits, ChooseAsChooseBits) {
    const float inf = std::numeric_limits<float>::infinity(), big = std::numeric_limits<float>::max();
    const std::vector<uint8_t> r = test::bytes(4 * 512, 9);
    for (const float tol : {0.0f, -0.0f, -1.0f, test::kNaN, inf, 1e-45f, 1e-40f, 1e-3f, 0.05f, 0.3f, 1.7e38f, 3e38f, big}) {
        SCOPED_TRACE("tolerance " + std::to_string(tol));
        const WidthLimits l = width_limits(tol);
        std::vector<float> ranges = {1e-45f, 1e-30f, 1.0f, big, inf};
        for (const float limit : l.at)
            for (const float x : {limit, std::nextafter(limit, inf), std::nextafter(limit, 0.0f)}) ranges.push_back(x);
        for (size_t i = 0; i < 512; ++i) {  // positive patterns of every exponent
            uint32_t u = (r[4 * i] | r[4 * i + 1] << 8 | r[4 * i + 2] << 16 | r[4 * i + 3] << 24) % 0x7F800000u;
            float x;
            std::memcpy(&x, &u, sizeof x);
            ranges.push_back(x);
        }
        for (const float range : ranges) {
            if (!(range > 0.0f)) continue;
            uint32_t w = 2;
            while (w < 8 && !(range <= l.at[w - 2])) ++w;
            EXPECT_EQ(w, choose_bits(range, tol)) << "range " << range;
        }
    }
}

TEST(PackedLen, ExactAndOverflowSafe) {
    // The bit totals of the second row and of SIZE_MAX x 2 would wrap.
    const struct { size_t count; uint32_t bits; size_t want; } cases[] = {
        {0, 16, 0}, {5, 3, 2}, {6, 3, 3}, {size_t{1} << 61, 8, size_t{1} << 61}, {SIZE_MAX, 2, SIZE_MAX / 8 * 2 + 2},
        {size_t{1} << 61, 16, size_t{1} << 62}, {SIZE_MAX, 16, SIZE_MAX}, {SIZE_MAX, 4294967295u, SIZE_MAX}};
    for (const auto& c : cases) EXPECT_EQ(packed_len(c.count, c.bits), c.want) << c.count << " x " << c.bits;
}

TEST(Packing, UnpackersRefuseBeforeTouchingMemory) {
    // Bytes short (9 bits need 2), output short, then widths with bytes enough.
    const struct { std::vector<uint8_t> bytes; uint32_t bits; size_t out_len, count; } cases[] = {
        {{0xFF}, 3, 3, 3}, {{1, 2, 3}, 8, 2, 3}, {{1, 2, 3}, 0, 3, 3}, {{1, 2, 3}, 1, 3, 3},
        {std::vector<uint8_t>(16), 17, 3, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE("bits " + std::to_string(c.bits) + " count " + std::to_string(c.count));
        Codes out(c.out_len, 7);
        EXPECT_THROW(Packed::unpack_slice(c.bytes, c.bits, out, c.count), InternalError);
        EXPECT_THROW((Packed{{c.bytes.begin(), c.bytes.end()}, c.count, c.bits}.unpack_into(out)), InternalError);
        EXPECT_EQ(out, Codes(c.out_len, 7));
    }
    // from_i32s holds widths 1..=16 only.
    for (const uint32_t bits : {0u, 17u}) EXPECT_THROW(Packed::from_i32s(Codes{1}, bits), InternalError);
}

// A freed large buffer serves the next request it fits without taking more
// than twice what is asked; one that would is let go, and so is one too
// large to keep. A kept buffer's pages take writes without a fault, where a
// fresh one faults at least once per 2 MiB (a fresh one may also land at the
// address just freed, so addresses cannot tell).
TEST(Packing, LargeBuffersAreKeptForTheNextThatFits) {
    constexpr size_t kMiB = size_t{1} << 20;
    const auto faults = [] {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        return u.ru_minflt;
    };
    const struct { size_t freed, asked; bool reused; } cases[] = {
        {64 * kMiB, 64 * kMiB, true}, {64 * kMiB, 40 * kMiB, true}, {64 * kMiB, 65 * kMiB, false},
        {100 * kMiB, 40 * kMiB, false}, {300 * kMiB, 300 * kMiB, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE("freed " + std::to_string(c.freed / kMiB) + " asked " + std::to_string(c.asked / kMiB));
        {
            Bytes a(c.freed);
            std::memset(a.data(), 7, a.size());
        }
        Bytes b(c.asked);
        const long before = faults();
        std::memset(b.data(), 9, b.size());
        EXPECT_EQ(faults() - before < 8, c.reused);
        EXPECT_EQ(b[c.asked - 1], 9);
    }
}

TEST(F16, WideningIsExactForEveryPattern) {
    for (uint32_t h = 0; h <= 0xFFFF; ++h) {
        const float f = f32_from_f16_bits(static_cast<uint16_t>(h));
        if (std::isnan(f)) {
            EXPECT_TRUE((h & 0x7C00u) == 0x7C00u && (h & 0x3FFu) != 0) << h;
            EXPECT_NE(std::bit_cast<uint32_t>(f) & 0x00400000u, 0u) << h;  // quiet
        } else {
            EXPECT_EQ(f16_bits_from_f32(f), h) << h;  // narrowing gives the pattern back
        }
    }
    EXPECT_EQ(f32_from_f16_bits(0x0001), 5.9604645e-8f);
    EXPECT_EQ(f32_from_f16_bits(0x7BFF), 65504.0f);
}

// Ties to even, above the tie up, below it down, past the largest finite to infinity, into and out of the
// subnormals; a NaN keeps its sign and top payload bits and is made quiet.
TEST(Narrowing, RoundsToNearestEven) {
    const std::pair<uint32_t, uint16_t> to_bf16[] = {
        {0x3F808000u, 0x3F80}, {0x3F818000u, 0x3F82}, {0x3F808001u, 0x3F81}, {0x3F807FFFu, 0x3F80},
        {0xBF818000u, 0xBF82}, {0x7F7FFFFFu, 0x7F80}, {0x00018000u, 0x0002}, {0x00008000u, 0x0000},
        {0x7F800001u, 0x7FC0}, {0xFF812345u, 0xFFC1}, {0x7FFFFFFFu, 0x7FFF}};
    for (const auto& [f, h] : to_bf16) EXPECT_EQ(bf16_bits_from_f32(std::bit_cast<float>(f)), h) << std::hex << f;
    const std::pair<uint32_t, uint16_t> to_f16[] = {
        {0x477FF000u, 0x7C00}, {0x477FEFFFu, 0x7BFF}, {0x33000000u, 0x0000}, {0x33400000u, 0x0001},
        {0x34400000u, 0x0003}, {0x3F801000u, 0x3C00}, {0x3F803000u, 0x3C02}, {0xBF803000u, 0xBC02}};
    for (const auto& [f, h] : to_f16) EXPECT_EQ(f16_bits_from_f32(std::bit_cast<float>(f)), h) << std::hex << f;
}

}  // namespace
}  // namespace velmar
