// Every vector twin this CPU can run against the scalar kernels, bit for bit.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <numeric>

#include "kernels/dispatch.hpp"
#include "shared/tensor.hpp"
#include "sweep.hpp"

namespace velmar {
namespace {

using simd::Kernels;
using simd::Level;
using test::same;
using test::values;

const size_t kBlocks[] = {1, 2, 3, 4, 5, 6, 7, 8, 12, 15, 16, 17, 24, 31, 32, 33, 40, 48, 64, 100, 101, 1000, 1024};
const size_t kLens[] = {1, 2, 7, 9, 16, 31, 33, 65, 100, 257, 1000, 4099};

// What one kernel call wrote, and how much: the two tables start from
// different fills, so that an element one side leaves unwritten shows. Bytes
// start at zero on both sides where a packer ORs into them (the weighted and
// super-block ones), from different garbage where every byte must be written.
struct Out {
    std::vector<float> f, s, z;
    std::vector<uint8_t> b;
    std::vector<int32_t> c;
    std::vector<uint32_t> w;
    std::vector<uint16_t> h;
};
struct Sizes {
    size_t f = 0, s = 0, z = 0, b = 0, c = 0, w = 0, h = 0;
    bool unset = false;  // b starts as garbage
};

class Twin : public ::testing::TestWithParam<Level> {
protected:
    const Kernels& ref = simd::scalar_kernels();
    const Kernels& twin = simd::kernels_at(GetParam());

    // `sum`: results in which two NaNs can meet compare by NaN-ness only.
    template <class F>
    void expect_same(Sizes n, F run, bool sum = false) {
        Out o[2];
        for (int k = 0; k < 2; ++k) {
            const float fill = 1.0f + k;
            o[k] = {std::vector<float>(n.f, fill), std::vector<float>(n.s, fill), std::vector<float>(n.z, fill),
                    std::vector<uint8_t>(n.b, n.unset ? uint8_t(0x5A + k * 0x4B) : 0), std::vector<int32_t>(n.c, k), std::vector<uint32_t>(n.w, k),
                    std::vector<uint16_t>(n.h, k)};
            run(k ? twin : ref, o[k]);
        }
        for (const auto m : {&Out::f, &Out::s, &Out::z}) EXPECT_TRUE(same(o[0].*m, o[1].*m, sum));
        EXPECT_EQ(o[0].b, o[1].b);
        EXPECT_EQ(o[0].c, o[1].c);
        EXPECT_EQ(o[0].w, o[1].w);
        EXPECT_EQ(o[0].h, o[1].h);
    }
};

TEST(Dispatch, ActiveLevelIsTheWidestSupported) {
    const std::vector<Level> levels = simd::supported_levels();
    ASSERT_FALSE(levels.empty());
    EXPECT_EQ(levels.front(), Level::Scalar);
#if defined(__x86_64__)
    EXPECT_EQ(levels.at(1), Level::Sse2);  // part of x86-64 itself, so its twin is always tested
#endif
    EXPECT_EQ(simd::active().level, levels.back());
    for (const Level l : levels) {
        EXPECT_EQ(simd::kernels_at(l).level, l) << simd::level_name(l);
        simd::force_level(l);
        EXPECT_EQ(&simd::active(), &simd::kernels_at(l));
    }
    simd::unforce_level();
    EXPECT_EQ(simd::active().level, levels.back());
    EXPECT_THROW(simd::force_level(static_cast<Level>(9)), InternalError);

    // The forced level lives in whichever cell the core is pointed at: another
    // copy of the core in the process hands over its own.
    std::atomic<int>* const own = simd::forced_level_cell();
    std::atomic<int> other{0};
    simd::share_forced_level(&other);
    simd::force_level(Level::Scalar);
    simd::share_forced_level(own);
    EXPECT_EQ(simd::active().level, levels.back());
    simd::share_forced_level(&other);
    EXPECT_EQ(simd::active().level, Level::Scalar);
    simd::unforce_level();
    simd::share_forced_level(own);
}

// Every length across the vector heads and tails, at odd starts that misalign
// every load.
TEST_P(Twin, Reductions) {
    for (uint32_t seed = 0; seed < 40; ++seed) {
        for (size_t n = 0; n <= 70; ++n) {
            const std::vector<float> v = values(n + 3, seed * 97 + n, 1 + seed % 20);
            for (const size_t off : {0, 1, 3}) {
                SCOPED_TRACE("seed " + std::to_string(seed) + " n " + std::to_string(n));
                const float* p = v.data() + off;
                expect_same({.f = 2}, [&](const Kernels& k, Out& o) {
                    k.min_max(p, n, &o.f[0], &o.f[1]);
                    // Which zero a lane keeps is not fixed; every caller feeds
                    // the pair to comparisons and differences that cannot see it.
                    for (float& m : o.f) m = m == 0.0f ? 0.0f : m;
                    o.f.push_back(k.absmax(p, n));
                });
            }
        }
    }
}

// Quantizers, decoders, dot products and the fit over blocks x lengths x
// widths, decoding random bytes so that every code of a width occurs.
TEST_P(Twin, BlockKernels) {
    uint32_t seed = 0;
    for (const size_t block : kBlocks) {
        for (const size_t len : kLens) {
            seed += 8;
            SCOPED_TRACE("block " + std::to_string(block) + " len " + std::to_string(len));
            const size_t nb = block_count(len, block), off = seed % 3;
            const std::vector<float> in = values(len + off, seed, block), s = values(nb, seed + 1, 0, 8),
                                     z = values(nb, seed + 2, 0, 8);
            // With a special one block in eight, a dot over many blocks is NaN
            // whatever a kernel did: the dots also run over finite ones.
            const std::vector<float> sf = values(nb, seed + 6, 0, 0), zf = values(nb, seed + 7, 0, 0);
            // Mostly finite x, so that sums keep meaningful bits; one case in
            // four carries the specials.
            const std::vector<float> x = values(len + 1, seed + 3, seed % 32 ? 0 : block, seed % 32 ? 0 : 16);
            const float *v = in.data() + off, *xp = x.data() + 1;
            // Blocks without NaN but for one, whose ranges vector code finds
            // several blocks at a time.
            std::vector<float> clean(v, v + len);
            for (float& c : clean) c = c == c ? c : 1.5f;
            if (len > 0) clean[seed % len] = test::kNaN;
            for (uint32_t bits = 2; bits <= 16; ++bits) {
                SCOPED_TRACE("bits " + std::to_string(bits));
                const size_t pl = packed_len(len, bits);
                const std::vector<uint8_t> b = test::bytes(pl, seed + bits);
                // The exact results, in disjoint outputs: f holds the symmetric scales, then the decoded values.
                expect_same({.f = nb + len, .s = nb, .z = nb, .b = 2 * pl, .c = len, .unset = true}, [&](const Kernels& k, Out& o) {
                    k.quantize_sym(v, len, block, bits, o.f.data(), o.b.data());
                    k.quantize_asym(v, len, block, bits, o.s.data(), o.z.data(), o.b.data() + pl);
                    k.unpack(b.data(), bits, len, o.c.data());
                    k.dequant_sym(s.data(), b.data(), bits, block, len, o.f.data() + nb);
                });
                expect_same({.s = 2 * nb, .z = nb, .b = 2 * pl, .unset = true}, [&](const Kernels& k, Out& o) {
                    k.quantize_sym(clean.data(), len, block, bits, o.s.data() + nb, o.b.data());
                    k.quantize_asym(clean.data(), len, block, bits, o.s.data(), o.z.data(), o.b.data() + pl);
                });
                // s * (q - z) meets two NaNs where both s and z are NaN; so do the fit's sums.
                expect_same({.f = len, .s = nb, .z = nb}, [&](const Kernels& k, Out& o) {
                    k.fit_packed(xp, b.data(), bits, nullptr, len, block, o.s.data(), o.z.data());
                    k.dequant_asym(s.data(), z.data(), b.data(), bits, nullptr, block, len, o.f.data());
                    o.f.push_back(k.dot_sym(s.data(), b.data(), bits, block, xp, len));
                    o.f.push_back(k.dot_asym(s.data(), z.data(), b.data(), bits, block, xp, len));
                    if (bits == 8) o.f.push_back(k.dot_i8(s.data(), b.data(), block, xp, len));
                    o.f.push_back(k.dot_sym(sf.data(), b.data(), bits, block, xp, len));
                    o.f.push_back(k.dot_asym(sf.data(), zf.data(), b.data(), bits, block, xp, len));
                    if (bits == 8) o.f.push_back(k.dot_i8(sf.data(), b.data(), block, xp, len));
                }, true);
            }
            // Random widths with their exact byte runs, and widths chosen per tolerance.
            std::vector<uint32_t> w(nb);
            for (size_t i = 0; i < nb; ++i) w[i] = 2 + (seed * 7 + i * 5) % 7;
            const std::vector<uint8_t> d = test::bytes(adaptive_data_len(w.data(), block, len), seed + 5);
            expect_same({.f = len, .s = nb, .z = nb}, [&](const Kernels& k, Out& o) {
                k.fit_packed(v, d.data(), 0, w.data(), len, block, o.s.data(), o.z.data());
                k.dequant_asym(s.data(), z.data(), d.data(), 0, w.data(), block, len, o.f.data());
                o.f.push_back(k.dot_adaptive(s.data(), z.data(), d.data(), w.data(), block, xp, len));
                o.f.push_back(k.dot_adaptive(sf.data(), zf.data(), d.data(), w.data(), block, xp, len));
            }, true);
            for (const float tol : {-1.0f, 1e-3f, 0.05f, 0.5f, 1e38f}) {
                std::vector<float> ps(nb), pz(nb);
                ref.adaptive_params(v, len, block, tol, w.data(), ps.data(), pz.data());
                const size_t total = adaptive_data_len(w.data(), block, len);
                expect_same({.s = nb, .z = nb, .b = total, .w = nb, .unset = true}, [&](const Kernels& k, Out& o) {
                    k.adaptive_params(v, len, block, tol, o.w.data(), o.s.data(), o.z.data());
                    k.adaptive_codes(v, len, block, w.data(), ps.data(), pz.data(), o.b.data());
                });
                // Both in one pass, into room for the widest codes: the same bytes and their length.
                expect_same({.s = nb, .z = nb, .b = len, .c = 1, .w = nb, .unset = true}, [&](const Kernels& k, Out& o) {
                    o.c[0] = static_cast<int32_t>(
                        k.quantize_adaptive(v, len, block, tol, o.w.data(), o.s.data(), o.z.data(), o.b.data()));
                    o.b.resize(static_cast<size_t>(o.c[0]));
                });
            }
            // Some blocks hold one repeated code (zero variance).
            std::vector<int32_t> codes(len);
            for (size_t i = 0; i < len; ++i) codes[i] = (i / block) % 5 == 0 ? 3 : static_cast<int32_t>((i * 2654435761u + seed) % 256) - 128;
            expect_same({.s = nb, .z = nb}, [&](const Kernels& k, Out& o) {
                k.fit_blocks(seed % 3 ? xp : v, codes.data(), len, block, o.s.data(), o.z.data());
            }, true);
            // The bounded encoder's centres, codes and checks, block sums exact or not (1e30: codes
            // overflow). Sums meet two NaNs where a block holds them (no centre then).
            for (const float inv : {0.5f, 3e3f, 1e30f}) {
                expect_same({.f = nb, .b = 2 * nb + len}, [&](const Kernels& k, Out& o) {
                    k.centre_blocks(v, len, block, inv, inv < 1e3f, o.f.data(), o.b.data());
                    k.centred_codes(v, len, block, inv, z.data(), reinterpret_cast<int8_t*>(o.b.data() + nb));
                    k.blocks_within(xp, v, len, block, 1.0f / inv, o.b.data() + nb + len);
                }, true);
            }
        }
    }
}

// Blocks longer than the kernels' batches and stages go in pieces: the
// quantizers, the widths and the fit from packed codes, one bit stream and
// adaptive runs.
TEST_P(Twin, LongBlocks) {
    const size_t len = 12011, block = 5003, nb = block_count(len, block);
    // No specials but the NaNs at block heads and tails: the first block's sums stay numbers.
    const std::vector<float> v = values(len, 7, block, 0);
    std::vector<uint32_t> w(nb);
    std::vector<float> ps(nb), pz(nb);
    ref.adaptive_params(v.data(), len, block, 0.01f, w.data(), ps.data(), pz.data());
    const size_t total = adaptive_data_len(w.data(), block, len);
    for (const uint32_t bits : {3u, 8u, 13u}) {
        const size_t pl = packed_len(len, bits);
        expect_same({.s = 5 * nb, .z = 4 * nb, .b = 2 * pl + total, .w = nb, .unset = true}, [&](const Kernels& k, Out& o) {
            k.quantize_sym(v.data(), len, block, bits, o.s.data() + 3 * nb, o.b.data());
            k.quantize_asym(v.data(), len, block, bits, o.s.data(), o.z.data(), o.b.data() + pl);
            k.fit_packed(v.data(), o.b.data() + pl, bits, nullptr, len, block, o.s.data() + nb, o.z.data() + nb);
            k.adaptive_params(v.data(), len, block, 0.01f, o.w.data(), o.s.data() + 2 * nb, o.z.data() + 2 * nb);
            k.adaptive_codes(v.data(), len, block, w.data(), ps.data(), pz.data(), o.b.data() + 2 * pl);
            k.fit_packed(v.data(), o.b.data() + 2 * pl, 0, w.data(), len, block, o.s.data() + 4 * nb,
                         o.z.data() + 3 * nb);
        }, true);
    }
    expect_same({.s = nb, .z = nb, .b = len, .c = 1, .w = nb, .unset = true}, [&](const Kernels& k, Out& o) {
        o.c[0] = static_cast<int32_t>(
            k.quantize_adaptive(v.data(), len, block, 0.01f, o.w.data(), o.s.data(), o.z.data(), o.b.data()));
        o.b.resize(static_cast<size_t>(o.c[0]));
    });
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
    v.insert(v.end(), {0.49999997f, -0.49999997f, 8388607.5f, 4194303.5f, test::kInf, -test::kInf, test::kNaN});
    for (const float zp : {0.0f, -0.75f, 0.25f})
        for (const uint32_t bits : {2u, 4u, 8u, 16u})
            expect_same({.c = v.size()}, [&](const Kernels& k, Out& o) {
                k.asym_codes(v.data(), v.size(), 1.0f, zp, bits, o.c.data());
            });
}

// Every super-block type on values whose magnitude changes per block, so that
// some super-blocks overflow half-precision scales, and a few specials (those
// super-blocks have no encoding), with and without weights (some runs of them
// zero); every type decoding random bytes; the weighted block quantizers over
// blocks, lengths and widths.
TEST_P(Twin, SuperBlocksAndWeightedFits) {
    for (uint32_t type = 0; type < 5; ++type) {
        for (const size_t nsb : {1, 2, 9, 20}) {
            const uint32_t seed = type * 31 + static_cast<uint32_t>(nsb);
            SCOPED_TRACE("type " + std::to_string(type) + " super-blocks " + std::to_string(nsb));
            const size_t n = nsb * 256, bytes = std::vector<size_t>{84, 110, 144, 176, 210}[type] * nsb;
            std::vector<float> v = values(n, seed, 0, nsb == 20 ? 2500 : 0);
            for (size_t i = 0; i < n; ++i) v[i] = std::ldexp(v[i], static_cast<int>(i / 256 * 37 % 61) - 30);
            std::vector<float> w = values(n, seed + 1, 0, 0);
            for (size_t i = 0; i < n; ++i) w[i] = i % 96 < 16 ? 0.0f : std::fabs(w[i]);
            const std::vector<uint8_t> b = test::bytes(bytes, seed + 2);
            const std::vector<float> x = values(n, seed + 3, 0, 0);
            for (const float* wp : {static_cast<const float*>(nullptr), static_cast<const float*>(w.data())})
                expect_same({.b = bytes, .c = 1}, [&](const Kernels& k, Out& o) {
                    o.c[0] = static_cast<int32_t>(k.quantize_super(type, v.data(), wp, nsb, o.b.data()));
                });
            expect_same({.f = n}, [&](const Kernels& k, Out& o) {
                k.dequant_super(type, b.data(), nsb, o.f.data());
                o.f.push_back(k.dot_super(type, b.data(), x.data(), nsb));
                std::vector<float> rows(nsb + nsb / 2);  // rows of one super-block each, then of two
                k.rows_dot_super(type, b.data(), nsb, x.data(), 1, rows.data());
                k.rows_dot_super(type, b.data(), nsb / 2, x.data(), 2, rows.data() + nsb);
                o.f.insert(o.f.end(), rows.begin(), rows.end());
                // Tiles of rows and of vectors and their leftovers, groups of 16
                // vectors, chunks of 512 columns and lanes past the last whole 16.
                const size_t ry = nsb == 2 ? 9 : nsb == 20 ? 8 : 1 + type % 3;
                const size_t vectors = nsb == 2 ? 18 : 1 + type + nsb % 3, len = n / std::max(ry, vectors) - type;
                std::vector<float> dots(vectors * ry);
                k.dot_lanes(x.data(), ry, v.data(), vectors, len, dots.data(), ry);
                o.f.insert(o.f.end(), dots.begin(), dots.end());
            }, true);
        }
    }
    uint32_t seed = 7;
    for (const size_t block : {1, 5, 16, 33, 64}) {
        for (const size_t len : {7, 100, 257}) {
            seed += 8;
            const size_t nb = block_count(len, block);
            const std::vector<float> v = values(len, seed, block, 24);
            std::vector<float> w = values(len, seed + 1, 0, 0);
            for (size_t i = 0; i < len; ++i) w[i] = (i / block) % 4 == 3 ? 0.0f : std::fabs(w[i]);
            for (const uint32_t bits : {2u, 3u, 4u, 8u, 13u}) {
                SCOPED_TRACE("block " + std::to_string(block) + " len " + std::to_string(len) + " bits " + std::to_string(bits));
                const size_t pl = packed_len(len, bits);
                expect_same({.s = nb, .z = nb, .b = 2 * pl}, [&](const Kernels& k, Out& o) {
                    k.quantize_sym_weighted(v.data(), w.data(), len, block, bits, o.s.data(), o.b.data());
                    k.quantize_asym_weighted(v.data(), w.data(), len, block, bits, nullptr, o.s.data(), o.z.data(),
                                             o.b.data() + pl);
                });
            }
            std::vector<uint32_t> widths(nb);
            for (size_t i = 0; i < nb; ++i) widths[i] = 2 + (seed + i * 3) % 7;
            expect_same({.s = nb, .z = nb, .b = adaptive_data_len(widths.data(), block, len)}, [&](const Kernels& k, Out& o) {
                k.quantize_asym_weighted(v.data(), w.data(), len, block, 0, widths.data(), o.s.data(), o.z.data(), o.b.data());
            });
        }
    }
}

TEST_P(Twin, HalfPrecisionConversions) {
    std::vector<uint16_t> all(65536);
    std::iota(all.begin(), all.end(), 0);
    // Every pattern near the half-precision boundaries, plus a sweep of all.
    std::vector<float> f;
    for (uint32_t u = 0; u < 0xFFFFFFFFu - 40009; u += 40009) f.push_back(std::bit_cast<float>(u));
    for (const uint32_t edge : {0x33000000u, 0x387FC000u, 0x38800000u, 0x477FE000u, 0x477FF000u, 0x7F800000u})
        for (uint32_t d = 0; d < 8192; ++d) f.push_back(std::bit_cast<float>((edge - 2048 + d / 2) | (d % 2) << 31));
    expect_same({.f = all.size(), .h = f.size()}, [&](const Kernels& k, Out& o) {
        k.widen_f16(all.data(), all.size(), o.f.data());
        k.narrow_f16(f.data(), f.size(), o.h.data());
    });
}

// The parts of `rows` random rows of every kind, and their row runs: random
// code bytes (every code of a width occurs), scales and zero points of any bit
// pattern in each stored type, adaptive widths with their exact byte runs.
struct RowParts {
    size_t rows, cols, block, nb;
    std::vector<uint8_t> codes, data, scales, zero_points;
    std::vector<uint32_t> widths;

    RowParts(size_t rows_, size_t cols_, size_t block_, uint32_t bits, uint32_t seed)
        : rows(rows_), cols(cols_), block(block_), nb(block_count(cols_, block_)) {
        codes = test::bytes(rows * packed_len(cols, bits), seed);
        // Specials (NaN, infinities) are one scale in eight, as float bits.
        const std::vector<float> s = values(rows * nb, seed + 1, 0, 8), z = values(rows * nb, seed + 2, 0, 8);
        scales.assign(reinterpret_cast<const uint8_t*>(s.data()), reinterpret_cast<const uint8_t*>(s.data() + s.size()));
        zero_points.assign(reinterpret_cast<const uint8_t*>(z.data()), reinterpret_cast<const uint8_t*>(z.data() + z.size()));
        calm_odd_rows(scales, seed + 4);
        calm_odd_rows(zero_points, seed + 5);
        for (size_t i = 0; i < rows * nb; ++i) widths.push_back(2 + (seed + i * 5) % 7);
        size_t total = 0;
        for (size_t i = 0; i < rows; ++i) total += adaptive_data_len(widths.data() + i * nb, block, cols);
        data = test::bytes(total, seed + 3);
    }
    // A long row with one special anywhere sums to NaN or infinity whatever a
    // kernel did, so odd rows get moderate scales and zero points in every
    // stored type: each 16-bit half in 0x3C00-0x3FFF, either sign.
    void calm_odd_rows(std::vector<uint8_t>& bytes, uint32_t seed) const {
        std::mt19937 g(seed);
        uint16_t* h = reinterpret_cast<uint16_t*>(bytes.data());
        for (size_t i = 1; i < rows; i += 2)
            for (size_t e = i * nb; e < (i + 1) * nb; ++e)
                for (const size_t k : {e, 2 * e, 2 * e + 1})  // the element as f16 or bf16; its halves as f32
                    h[k] = static_cast<uint16_t>(0x3C00u | (g() & 0x83FFu));
    }
    // Stored as f16 or bf16, the same bytes read as half as many elements.
    simd::RowRun run(Kind kind, uint32_t bits, simd::Stored stored) const {
        const bool adaptive = kind == Kind::Adaptive;
        return {adaptive ? data.data() : codes.data(), scales.data(), kind == Kind::Symmetric ? nullptr : zero_points.data(),
                adaptive ? widths.data() : nullptr, rows, cols, block, bits, stored, adaptive ? data.size() : codes.size()};
    }
};

using RowEntry = void (*simd::Kernels::*)(const simd::RowRun&, const float*, size_t, float*, size_t);

RowEntry row_entry(Kind kind, uint32_t bits) {
    if (kind == Kind::Adaptive) return &Kernels::rows_dot_adaptive;
    if (kind == Kind::Asymmetric) return &Kernels::rows_dot_asym;
    return bits == 8 ? &Kernels::rows_dot_i8 : &Kernels::rows_dot_sym;
}

// Rows across the tile heights of every level (a partial tile last), vector
// counts across a group of vectors, blocks that split, fill or exceed a step,
// and more blocks than a tile keeps scales for at once; one vector over blocks
// of 16, 32 and 64 in lanes, with a row's last lanes empty, a short last
// block, more columns than one arrangement of x holds (whole blocks or not),
// rows whose blocks run across groups (24, 17 or 6 a row; a single row), and
// over an odd number of columns in blocks that change inside a word of codes
// or straddle a step of columns; rows a multiple of 2 KiB apart. One vector
// also as -0.0 everywhere: which zero a sum starts from shows; and tiny.
TEST_P(Twin, RowKernels) {
    const struct { size_t rows, cols, block, k; } shapes[] = {
        {2, 1, 1, 1}, {3, 7, 3, 2}, {17, 33, 32, 1}, {70, 64, 32, 3}, {5, 130, 7, 9}, {33, 100, 100, 2}, {9, 200, 64, 1},
        {65, 31, 1, 1}, {3, 600, 2, 3}, {19, 1100, 32, 1}, {18, 272, 16, 1}, {3, 8300, 64, 1}, {20, 391, 2, 1}, {66, 300, 48, 2},
        {37, 768, 32, 1}, {1, 768, 32, 1}, {21, 96, 16, 1}, {2, 8704, 32, 1}, {7, 500, 100, 1}, {11, 192, 64, 1},
        {37, 4096, 48, 1}};
    uint32_t seed = 0;
    for (const auto& sh : shapes) {
        ++seed;
        // Specials in x only where rows are short: a long row would sum to NaN.
        const std::vector<float> x = values(sh.k * sh.cols, seed * 17, 0, seed % 4 == 0 && sh.cols <= 256 ? 16 : 0);
        for (const Kind kind : {Kind::Symmetric, Kind::Asymmetric, Kind::Adaptive}) {
            for (uint32_t bits = kind == Kind::Adaptive ? 16 : 2; bits <= 16; ++bits) {
                const RowParts p(sh.rows, sh.cols, sh.block, bits, ++seed);
                for (const simd::Stored stored : {simd::Stored::F32, simd::Stored::F16, simd::Stored::Bf16}) {
                    SCOPED_TRACE(std::to_string(sh.rows) + " x " + std::to_string(sh.cols) + " block " +
                                 std::to_string(sh.block) + " k " + std::to_string(sh.k) + " kind " + kind_name(kind) +
                                 " bits " + std::to_string(bits) + " stored " + std::to_string(int(stored)));
                    expect_same({.f = sh.k * sh.rows}, [&](const Kernels& k, Out& o) {
                        (k.*row_entry(kind, bits))(p.run(kind, bits, stored), x.data(), sh.k, o.f.data(), sh.rows);
                    }, true);
                    if (sh.k != 1) continue;
                    // Also x so small that x * 2^-24 would round: 8-bit lanes may not scale it.
                    std::vector<float> zeros(sh.cols, -0.0f), tiny(sh.cols);
                    for (size_t i = 0; i < sh.cols; ++i)  // in [2^-103, 2^-102), the last bit set, either sign
                        tiny[i] = std::bit_cast<float>(0x0C000001u | (static_cast<uint32_t>(i * 2654435761u) & 0x807FFFFEu));
                    for (const auto* v : {&zeros, &tiny})
                        expect_same({.f = sh.rows}, [&](const Kernels& k, Out& o) {
                            (k.*row_entry(kind, bits))(p.run(kind, bits, stored), v->data(), 1, o.f.data(), sh.rows);
                        }, true);
                }
            }
        }
    }
}

// 8-bit rows may read each code as its dword's top byte (code * 2^24)
// against scales * 2^-24 and zero points * 2^24 only while both stay exact:
// scales from 2^-102, zero points below 2^104. Both edges, with moderate zero
// points too, and one step past either for every block or the last only.
TEST_P(Twin, TopByteEdges) {
    const size_t rows = 40, cols = 300, block = 32, nb = block_count(cols, block);
    const std::vector<float> x = values(cols, 7, 0, 0);
    std::mt19937 g(11);
    // Biased exponents of the scales and zero points, and of the last block's.
    const struct { uint32_t s, z, s_last, z_last; } cases[] = {
        {25, 127, 25, 127}, {25, 230, 25, 230}, {24, 127, 24, 127}, {25, 231, 25, 231}, {25, 127, 24, 127}, {25, 230, 25, 231}};
    for (const Kind kind : {Kind::Asymmetric, Kind::Adaptive}) {
        const uint32_t bits = kind == Kind::Adaptive ? 16 : 8;
        RowParts p(rows, cols, block, 8, 5);
        for (const auto& c : cases)
            for (const simd::Stored stored : {simd::Stored::F32, simd::Stored::Bf16}) {
                const auto fill = [&](std::vector<uint8_t>& bytes, uint32_t e, uint32_t last) {
                    for (size_t i = 0; i < rows * nb; ++i) {
                        const uint32_t f = (g() & 0x807FFFFFu) | (i + 1 == rows * nb ? last : e) << 23;
                        const uint16_t h = static_cast<uint16_t>(f >> 16);
                        if (stored == simd::Stored::F32) std::memcpy(bytes.data() + 4 * i, &f, 4);
                        else std::memcpy(bytes.data() + 2 * i, &h, 2);
                    }
                };
                fill(p.scales, c.s, c.s_last);
                fill(p.zero_points, c.z, c.z_last);
                SCOPED_TRACE(std::string(kind_name(kind)) + " exponents " + std::to_string(c.s) + " " + std::to_string(c.z) + " last " +
                             std::to_string(c.s_last) + " " + std::to_string(c.z_last) + " stored " + std::to_string(int(stored)));
                expect_same({.f = rows}, [&](const Kernels& k, Out& o) {
                    (k.*row_entry(kind, bits))(p.run(kind, bits, stored), x.data(), 1, o.f.data(), rows);
                }, true);
            }
    }
}

std::string level_label(const ::testing::TestParamInfo<Level>& info) { return simd::level_name(info.param); }

std::vector<Level> twin_levels() {
    std::vector<Level> out = simd::supported_levels();
    std::erase(out, Level::Scalar);
    return out;
}

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Twin);
INSTANTIATE_TEST_SUITE_P(Levels, Twin, ::testing::ValuesIn(twin_levels()), level_label);

}  // namespace
}  // namespace velmar
