// Every vector twin this CPU can run against the scalar reference, bit for bit.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kernels/dispatch.hpp"
#include "shared/rules.hpp"

namespace velmar {
namespace {

using simd::Kernels;
using simd::Level;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

const size_t kBlocks[] = {1, 3, 5, 7, 15, 16, 17, 31, 32, 33, 64, 100};
const size_t kLens[] = {1, 2, 7, 16, 31, 33, 100, 257, 1000, 4099};
const size_t kOffsets[] = {0, 1, 3};  // odd start indices misalign every load

std::vector<Level> twin_levels() {
    std::vector<Level> out;
    for (const Level l : simd::supported_levels())
        if (l != Level::Scalar) out.push_back(l);
    return out;
}

// A float that is not quite random: NaNs with payloads and either sign,
// infinities, signed zeros, subnormals, exact ties and blocks whose magnitude
// ranges from subnormal to huge.
float special(std::mt19937& g) {
    std::uniform_int_distribution<int> pick(0, 11);
    std::uniform_int_distribution<uint32_t> any;
    switch (pick(g)) {
        case 0: return std::bit_cast<float>(0x7F800001u | (any(g) & 0x807FFFFFu));  // NaN, any payload
        case 1: return kNaN;
        case 2: return any(g) % 2 ? kInf : -kInf;
        case 3: return any(g) % 2 ? 0.0f : -0.0f;
        case 4: return std::bit_cast<float>(any(g) & 0x807FFFFFu);  // subnormal
        case 5: return static_cast<float>(static_cast<int>(any(g) % 64) - 32) + 0.5f;  // tie
        case 6: return any(g) % 2 ? 0.49999997f : -0.49999997f;
        case 7: return std::bit_cast<float>(any(g));  // any pattern
        default: return std::uniform_real_distribution<float>(-4.0f, 4.0f)(g);
    }
}

std::vector<float> values(size_t n, uint32_t seed, size_t block = 16) {
    std::mt19937 g(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::uniform_int_distribution<int> exp(-140, 100);
    std::vector<float> v(n);
    float mag = 1.0f;
    for (size_t i = 0; i < n; ++i) {
        if (i % block == 0) mag = std::ldexp(1.0f, exp(g) / 4);
        v[i] = (g() % 16 == 0) ? special(g) : u(g) * mag;
    }
    // NaN at the head and tail positions of some blocks: first element, last
    // element, first element after the 8- and 16-element heads.
    for (size_t b = 0; b * block < n; ++b) {
        const size_t start = b * block;
        const size_t len = std::min(block, n - start);
        switch (b % 7) {
            case 1: v[start] = kNaN; break;
            case 2: v[start + len - 1] = kNaN; break;
            case 3: v[start + std::min(len - 1, len / 16 * 16)] = kNaN; break;
            case 4: v[start + std::min(len - 1, len / 8 * 8)] = -kNaN; break;
            case 5:
                for (size_t j = len / 8 * 8; j < len; ++j) v[start + j] = kNaN;
                break;
            default: break;
        }
    }
    return v;
}

std::vector<float> uniform(size_t n, uint32_t seed) {
    std::mt19937 g(seed);
    std::uniform_real_distribution<float> u(-4.0f, 4.0f);
    std::vector<float> v(n);
    for (auto& x : v) x = u(g);
    return v;
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
    std::mt19937 g(seed);
    std::vector<uint8_t> b(n);
    for (auto& x : b) x = static_cast<uint8_t>(g());
    return b;
}

std::vector<float> random_scales(size_t n, uint32_t seed) {
    std::mt19937 g(seed);
    std::vector<float> s(n);
    for (auto& x : s) x = g() % 8 == 0 ? special(g) : std::uniform_real_distribution<float>(-2.0f, 2.0f)(g);
    return s;
}

// Float results compare by bit pattern; the message names the first mismatch.
::testing::AssertionResult same_bits(const std::vector<float>& want, const std::vector<float>& got) {
    if (want.size() != got.size()) return ::testing::AssertionFailure() << "sizes differ";
    for (size_t i = 0; i < want.size(); ++i)
        if (std::bit_cast<uint32_t>(want[i]) != std::bit_cast<uint32_t>(got[i]))
            return ::testing::AssertionFailure() << "element " << i << ": " << want[i] << " vs " << got[i];
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult same_bits(float want, float got) { return same_bits(std::vector{want}, std::vector{got}); }

// For sums in which two NaNs can meet: IEEE leaves open which payload an
// addition keeps (and the compiler may swap commutative operands even in the
// scalar code), so only NaN-ness is compared there; every other value by bits.
::testing::AssertionResult same_sum(float want, float got) {
    if (std::isnan(want) && std::isnan(got)) return ::testing::AssertionSuccess();
    return same_bits(want, got);
}

::testing::AssertionResult same_sums(const std::vector<float>& want, const std::vector<float>& got) {
    if (want.size() != got.size()) return ::testing::AssertionFailure() << "sizes differ";
    for (size_t i = 0; i < want.size(); ++i)
        if (auto r = same_sum(want[i], got[i]); !r) return r << " at element " << i;
    return ::testing::AssertionSuccess();
}

class Twin : public ::testing::TestWithParam<Level> {
protected:
    const Kernels& ref = simd::scalar_kernels();
    const Kernels& twin = simd::kernels_at(GetParam());
};

TEST(Dispatch, ActiveLevelIsTheWidestSupported) {
    const std::vector<Level> levels = simd::supported_levels();
    ASSERT_FALSE(levels.empty());
    EXPECT_EQ(levels.front(), Level::Scalar);
    EXPECT_EQ(simd::active().level, levels.back());
    for (const Level l : levels) EXPECT_EQ(simd::kernels_at(l).level, l) << simd::level_name(l);
}

TEST_P(Twin, Reductions) {
    for (uint32_t seed = 0; seed < 40; ++seed) {
        for (size_t n = 0; n <= 70; ++n) {
            const std::vector<float> v = values(n + 3, seed * 97 + n, 1 + seed % 20);
            for (const size_t off : kOffsets) {
                const float* p = v.data() + off;
                SCOPED_TRACE("seed " + std::to_string(seed) + " n " + std::to_string(n));
                EXPECT_TRUE(same_bits(ref.absmax(p, n), twin.absmax(p, n)));
                float lo1, hi1, lo2, hi2;
                ref.min_max(p, n, &lo1, &hi1);
                twin.min_max(p, n, &lo2, &hi2);
                // Which zero a lane keeps is not fixed; every caller feeds the
                // pair to comparisons and differences that cannot see it.
                const auto zero_blind = [](float a, float b) { return a == 0.0f && b == 0.0f ? a : b; };
                EXPECT_TRUE(same_bits(lo1, zero_blind(lo1, lo2)));
                EXPECT_TRUE(same_bits(hi1, zero_blind(hi1, hi2)));
            }
        }
    }
}

TEST_P(Twin, SymmetricQuantization) {
    uint32_t seed = 1;
    for (uint32_t bits = 2; bits <= 16; ++bits) {
        for (const size_t block : kBlocks) {
            for (const size_t len : kLens) {
                const size_t off = kOffsets[seed % 3];
                const std::vector<float> v = values(len + off, ++seed, block);
                const size_t nb = block_count(len, block);
                std::vector<float> s1(nb), s2(nb);
                std::vector<uint8_t> b1(packed_len(len, bits)), b2(b1.size());
                ref.quantize_sym(v.data() + off, len, block, bits, s1.data(), b1.data());
                twin.quantize_sym(v.data() + off, len, block, bits, s2.data(), b2.data());
                SCOPED_TRACE("bits " + std::to_string(bits) + " block " + std::to_string(block) + " len " +
                             std::to_string(len));
                EXPECT_TRUE(same_bits(s1, s2));
                EXPECT_EQ(b1, b2);
            }
        }
    }
}

TEST_P(Twin, AsymmetricAndAdaptiveQuantization) {
    uint32_t seed = 7;
    for (const size_t block : kBlocks) {
        for (const size_t len : kLens) {
            const size_t off = kOffsets[seed % 3];
            const std::vector<float> v = values(len + off, ++seed, block);
            const float* p = v.data() + off;
            const size_t nb = block_count(len, block);
            SCOPED_TRACE("block " + std::to_string(block) + " len " + std::to_string(len));
            for (uint32_t bits = 2; bits <= 16; ++bits) {
                std::vector<float> s1(nb), s2(nb), z1(nb), z2(nb);
                std::vector<uint8_t> b1(packed_len(len, bits)), b2(b1.size());
                ref.quantize_asym(p, len, block, bits, nullptr, s1.data(), z1.data(), b1.data());
                twin.quantize_asym(p, len, block, bits, nullptr, s2.data(), z2.data(), b2.data());
                EXPECT_TRUE(same_bits(s1, s2)) << "bits " << bits;
                EXPECT_TRUE(same_bits(z1, z2)) << "bits " << bits;
                EXPECT_EQ(b1, b2) << "bits " << bits;
            }
            for (const float tol : {1e-3f, 0.05f, 0.5f, 1e38f}) {
                std::vector<uint32_t> w1(nb), w2(nb);
                ref.adaptive_widths(p, len, block, tol, w1.data());
                twin.adaptive_widths(p, len, block, tol, w2.data());
                ASSERT_EQ(w1, w2) << "tolerance " << tol;
                size_t total = 0;
                for (size_t b = 0; b < nb; ++b) total += packed_len(std::min(block, len - b * block), w1[b]);
                std::vector<float> s1(nb), s2(nb), z1(nb), z2(nb);
                std::vector<uint8_t> d1(total), d2(total);
                ref.quantize_asym(p, len, block, 0, w1.data(), s1.data(), z1.data(), d1.data());
                twin.quantize_asym(p, len, block, 0, w1.data(), s2.data(), z2.data(), d2.data());
                EXPECT_TRUE(same_bits(s1, s2)) << "tolerance " << tol;
                EXPECT_TRUE(same_bits(z1, z2)) << "tolerance " << tol;
                EXPECT_EQ(d1, d2) << "tolerance " << tol;
            }
        }
    }
}

// The rounding trick of the vector code paths near every tie and at the ends
// of the 16-bit range, where codes are the rounded values themselves.
TEST_P(Twin, CodesRoundHalfAwayFromZero) {
    std::vector<float> v;
    for (int k = -32770; k <= 32770; ++k) {
        const float c = static_cast<float>(k) + 0.5f;
        v.insert(v.end(), {c, std::nextafter(c, 0.0f), std::nextafter(c, 1e9f), -c, static_cast<float>(k)});
    }
    for (uint32_t u = 0; u < 0x47810000u; u += 997) v.push_back(std::bit_cast<float>(u));  // up to 66048
    v.insert(v.end(), {0.49999997f, 0.5f, -0.49999997f, -0.5f, 8388607.5f, 4194303.5f, kInf, -kInf, kNaN});
    for (const float zp : {0.0f, -0.75f, 0.25f}) {
        for (const uint32_t bits : {2u, 4u, 8u, 16u}) {
            std::vector<int32_t> c1(v.size()), c2(v.size());
            ref.asym_codes(v.data(), v.size(), 1.0f, zp, bits, c1.data());
            twin.asym_codes(v.data(), v.size(), 1.0f, zp, bits, c2.data());
            ASSERT_EQ(c1, c2) << "bits " << bits << " zero point " << zp;
        }
    }
}

TEST_P(Twin, Unpacking) {
    for (uint32_t bits = 2; bits <= 16; ++bits) {
        for (const size_t count : {0, 1, 2, 7, 8, 9, 15, 17, 63, 64, 65, 200, 5001}) {
            const std::vector<uint8_t> b = random_bytes(packed_len(count, bits), bits * 131 + count);
            std::vector<int32_t> c1(count), c2(count);
            ref.unpack(b.data(), bits, count, c1.data());
            twin.unpack(b.data(), bits, count, c2.data());
            EXPECT_EQ(c1, c2) << "bits " << bits << " count " << count;
        }
    }
}

// Random packed bytes, and adaptive widths with their exact byte runs.
struct Stream {
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> widths;
};

Stream adaptive_stream(size_t len, size_t block, uint32_t seed) {
    std::mt19937 g(seed);
    Stream s;
    size_t total = 0;
    for (size_t off = 0; off < len; off += block) {
        s.widths.push_back(2 + g() % 7);
        total += packed_len(std::min(block, len - off), s.widths.back());
    }
    s.bytes = random_bytes(total, seed + 1);
    return s;
}

TEST_P(Twin, Decoding) {
    uint32_t seed = 11;
    for (const size_t block : kBlocks) {
        for (const size_t len : kLens) {
            const size_t nb = block_count(len, block);
            const std::vector<float> s = random_scales(nb, ++seed);
            const std::vector<float> z = random_scales(nb, ++seed);
            SCOPED_TRACE("block " + std::to_string(block) + " len " + std::to_string(len));
            for (uint32_t bits = 2; bits <= 16; ++bits) {
                const std::vector<uint8_t> b = random_bytes(packed_len(len, bits), ++seed);
                std::vector<float> o1(len), o2(len);
                ref.dequant_sym(s.data(), b.data(), bits, block, len, o1.data());
                twin.dequant_sym(s.data(), b.data(), bits, block, len, o2.data());
                EXPECT_TRUE(same_bits(o1, o2)) << "symmetric bits " << bits;
                ref.dequant_asym(s.data(), z.data(), b.data(), bits, nullptr, block, len, o1.data());
                twin.dequant_asym(s.data(), z.data(), b.data(), bits, nullptr, block, len, o2.data());
                // s * (q - z) meets two NaNs where both s and z are NaN.
                EXPECT_TRUE(same_sums(o1, o2)) << "asymmetric bits " << bits;
            }
            const Stream a = adaptive_stream(len, block, ++seed);
            std::vector<float> o1(len), o2(len);
            ref.dequant_asym(s.data(), z.data(), a.bytes.data(), 0, a.widths.data(), block, len, o1.data());
            twin.dequant_asym(s.data(), z.data(), a.bytes.data(), 0, a.widths.data(), block, len, o2.data());
            EXPECT_TRUE(same_sums(o1, o2)) << "adaptive";
        }
    }
}

TEST_P(Twin, DotProducts) {
    uint32_t seed = 23;
    for (const size_t block : kBlocks) {
        for (const size_t len : kLens) {
            const size_t nb = block_count(len, block);
            const std::vector<float> s = random_scales(nb, ++seed);
            const std::vector<float> z = random_scales(nb, ++seed);
            // Mostly finite x, so that the sums keep meaningful bits; one
            // case in four carries the specials.
            std::vector<float> x = uniform(len + 1, ++seed);
            if (seed % 4 == 0) x = values(len + 1, seed, block);
            const float* xp = x.data() + 1;
            SCOPED_TRACE("block " + std::to_string(block) + " len " + std::to_string(len));
            const std::vector<uint8_t> b8 = random_bytes(len, ++seed);
            EXPECT_TRUE(same_sum(ref.dot_i8(s.data(), b8.data(), block, xp, len),
                                  twin.dot_i8(s.data(), b8.data(), block, xp, len)));
            for (uint32_t bits = 2; bits <= 16; ++bits) {
                const std::vector<uint8_t> b = random_bytes(packed_len(len, bits), ++seed);
                EXPECT_TRUE(same_sum(ref.dot_sym(s.data(), b.data(), bits, block, xp, len),
                                      twin.dot_sym(s.data(), b.data(), bits, block, xp, len)))
                    << "symmetric bits " << bits;
                EXPECT_TRUE(same_sum(ref.dot_asym(s.data(), z.data(), b.data(), bits, block, xp, len),
                                      twin.dot_asym(s.data(), z.data(), b.data(), bits, block, xp, len)))
                    << "asymmetric bits " << bits;
            }
            const Stream a = adaptive_stream(len, block, ++seed);
            EXPECT_TRUE(
                same_sum(ref.dot_adaptive(s.data(), z.data(), a.bytes.data(), a.widths.data(), block, xp, len),
                          twin.dot_adaptive(s.data(), z.data(), a.bytes.data(), a.widths.data(), block, xp, len)))
                << "adaptive";
        }
    }
}

TEST_P(Twin, LeastSquaresFit) {
    uint32_t seed = 31;
    for (const size_t block : kBlocks) {
        for (const size_t len : kLens) {
            const std::vector<float> v = seed % 3 == 0 ? values(len, ++seed, block)
                                                       : uniform(len, ++seed);
            std::mt19937 g(++seed);
            std::vector<int32_t> codes(len);
            // Some blocks hold one repeated code (zero variance).
            for (size_t i = 0; i < len; ++i) codes[i] = (i / block) % 5 == 0 ? 3 : static_cast<int32_t>(g() % 256) - 128;
            const size_t nb = block_count(len, block);
            std::vector<float> s1(nb), s2(nb), z1(nb), z2(nb);
            ref.fit_blocks(v.data(), codes.data(), len, block, s1.data(), z1.data());
            twin.fit_blocks(v.data(), codes.data(), len, block, s2.data(), z2.data());
            SCOPED_TRACE("block " + std::to_string(block) + " len " + std::to_string(len));
            EXPECT_TRUE(same_sums(s1, s2));
            EXPECT_TRUE(same_sums(z1, z2));
        }
    }
}

TEST_P(Twin, HalfPrecisionConversions) {
    std::vector<uint16_t> all(65536);
    for (uint32_t h = 0; h < 65536; ++h) all[h] = static_cast<uint16_t>(h);
    // Distinct fills: an element either side leaves unwritten shows.
    std::vector<float> w1(all.size(), 1.0f), w2(all.size(), 2.0f);
    ref.widen_f16(all.data(), all.size(), w1.data());
    twin.widen_f16(all.data(), all.size(), w2.data());
    EXPECT_TRUE(same_bits(w1, w2));

    // Every pattern near the half-precision boundaries, plus a sweep of all.
    std::vector<float> f;
    for (uint32_t u = 0; u < 0xFFFFFFFFu - 40009; u += 40009) f.push_back(std::bit_cast<float>(u));
    for (const uint32_t edge : {0x33000000u, 0x387FC000u, 0x38800000u, 0x477FE000u, 0x477FF000u, 0x7F800000u})
        for (uint32_t d = 0; d < 4096; ++d)
            for (const uint32_t sign : {0u, 0x80000000u}) f.push_back(std::bit_cast<float>((edge - 2048 + d) | sign));
    std::vector<uint16_t> n1(f.size(), 1), n2(f.size(), 2);
    ref.narrow_f16(f.data(), f.size(), n1.data());
    twin.narrow_f16(f.data(), f.size(), n2.data());
    EXPECT_EQ(n1, n2);
}

std::string level_label(const ::testing::TestParamInfo<Level>& info) { return simd::level_name(info.param); }

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Twin);
INSTANTIATE_TEST_SUITE_P(Levels, Twin, ::testing::ValuesIn(twin_levels()), level_label);

}  // namespace
}  // namespace velmar
