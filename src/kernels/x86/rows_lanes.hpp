#pragma once
// Row dots for one vector that keep whole registers of L rows or blocks as
// independent chains, fed by dword transposes instead of byte ones; L is 16
// on AVX-512 and 8 on AVX2, each level a register policy below.
// Symmetric 8-bit: each block's sum is its own chain, so L blocks of a row
// share a register and the rows are read in order, one stream; a row tile of
// lanes is needed only for the sums of the block products, which run in block
// order per row; a group spans rows when they are whole blocks. Symmetric
// and asymmetric rows of 2 to 8 bits as each policy chooses: a row is one
// chain, so L rows share a register (a tile of L streams), the scales and
// zero points across the lanes beside them; each code shifted out of its
// dword (on AVX-512 a nibble is the index of its float), an 8-bit one taken
// as its dword's top byte where that is exact.
// Compiled with each including file's flags; internal linkage, as in twin.inl.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <utility>

#include "kernels/dispatch.hpp"
#include "shared/rules.hpp"
#include "shared/scale.hpp"

namespace velmar::simd {
namespace {
namespace lanes {

#define VELMAR_LANES_INLINE inline __attribute__((always_inline))

// A group is L blocks of B bytes, B / 4 registers, seen as an L x B/4 matrix
// of dwords. Rounds of two-source shuffles halve the dwords each register
// holds of its blocks and double its blocks, until register m holds dword m
// of every block. Which lane gets which block falls out of the rounds:
// order[lane], the same for every register.

#if defined(__AVX512BW__)
// AVX-512: any two-source dword permute, from tables.
struct Transpose {
    // pick[round][hi]: round r (a register holding B/4 >> r dwords of each of
    // its blocks) keeps the low or high half of them, from both sources.
    alignas(64) uint32_t pick[4][2][16];
    alignas(64) uint32_t order[16];    // the block in each lane
    alignas(64) uint32_t inverse[16];  // the lane of each block
    size_t rounds;

    constexpr explicit Transpose(size_t block) : pick{}, order{}, inverse{}, rounds(0) {
        const size_t regs = block / 4;
        uint32_t blocks[16][16]{};  // per register, its blocks in order
        size_t count = 64 / block;  // blocks per register
        for (size_t i = 0; i < regs; ++i)
            for (size_t b = 0; b < count; ++b) blocks[i][b] = static_cast<uint32_t>(i * count + b);
        for (size_t d = regs / 2; d >= 1; d /= 2, ++rounds) {
            const size_t have = 16 / count, keep = have / 2;  // dwords of each block
            for (size_t hi = 0; hi < 2; ++hi)
                for (size_t pos = 0; pos < 16; ++pos) {
                    const size_t b = pos / keep, m = pos % keep + hi * keep;
                    pick[rounds][hi][pos] = static_cast<uint32_t>(b < count ? b * have + m : 16 + (b - count) * have + m);
                }
            for (size_t i = 0; i < regs; ++i) {
                if (i & d) continue;
                for (size_t b = 0; b < count; ++b) blocks[i][count + b] = blocks[i + d][b];
                for (size_t b = 0; b < 2 * count; ++b) blocks[i + d][b] = blocks[i][b];
            }
            count *= 2;
        }
        for (size_t l = 0; l < 16; ++l) {
            order[l] = blocks[0][l];
            inverse[blocks[0][l]] = static_cast<uint32_t>(l);
        }
    }
};

constexpr Transpose kT16(16), kT32(32), kT64(64);

struct Zmm16 {
    static constexpr size_t L = 16;
    // Tiles of 16 rows side by side, one chain each: a column's additions
    // wait on the last one (4 cycles on Intel), two tiles hide that.
    // (Measured slower on a Zen 4 while the next tiles' prefetches came in
    // one burst.)
    static constexpr size_t tiles(bool) { return 2; }
    static constexpr size_t kChains = 2;  // groups side by side: more spill (4 and 8 measured slower)
    static constexpr size_t kLineRegs = 1;  // registers a cache line fills
    using I = __m512i;
    using F = __m512;
    using Transpose = lanes::Transpose;
    static bool asym_in_lanes(const RowRun& r) { return asym_rows_in_lanes(r); }
    // 4-bit symmetric and 4- and 8-bit asymmetric rows only: other widths'
    // codes take two shifts each, on the one port that shifts 512-bit
    // registers on Intel, where a nibble takes one and a permute.
    static constexpr bool kEveryWidth = false;
    static constexpr bool kHalfLoads = false;
    // Adaptive rows: on an Intel Xeon with AMX, 4096 x 4096 at tolerance
    // 0.002, 0.86 of the tiles' time; short rows pay for each tile's set-up
    // (1.13 at 128 columns, 0.95 at 256). Decoded to a stage (see Ymm8).
    static bool adaptive_in_lanes(const RowRun& r) { return r.cols >= 256; }
    static constexpr bool kBlockRuns = false;
    static constexpr const Transpose& kSquare = kT64;  // a register a row
    template <size_t B>
    static constexpr const Transpose& layout() {
        return B == 16 ? kT16 : B == 32 ? kT32 : kT64;
    }
    // Where a group's register i is loaded from.
    template <size_t B>
    static constexpr size_t offset(size_t i) {
        return 64 * i;
    }

    template <size_t regs>
    static VELMAR_LANES_INLINE void rounds(const Transpose& tr, I* t) {
        size_t round = 0;
#pragma GCC unroll 4
        for (size_t d = regs / 2; d >= 1; d /= 2, ++round) {
            const __m512i lo = _mm512_load_si512(tr.pick[round][0]), hi = _mm512_load_si512(tr.pick[round][1]);
#pragma GCC unroll 16
            for (size_t i = 0; i < regs; ++i) {
                if (i & d) continue;
                const __m512i a = _mm512_permutex2var_epi32(t[i], lo, t[i + d]);
                t[i + d] = _mm512_permutex2var_epi32(t[i], hi, t[i + d]);
                t[i] = a;
            }
        }
    }

    static __mmask16 first(size_t n) { return n >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << n) - 1); }
    static VELMAR_LANES_INLINE I loadi(const uint8_t* p) { return _mm512_loadu_si512(p); }
    // The first n dwords or bytes at p, zeros past them.
    static VELMAR_LANES_INLINE I load_dwords(const uint8_t* p, size_t n) { return _mm512_maskz_loadu_epi32(first(n), p); }
    static VELMAR_LANES_INLINE I load_bytes(const uint8_t* p, size_t n) {
        return _mm512_maskz_loadu_epi8((__mmask64{1} << n) - 1, p);
    }
    static VELMAR_LANES_INLINE F load_floats(const float* p, size_t n) { return _mm512_maskz_loadu_ps(first(n), p); }
    // Stored elements [first, first + n) of the run's scales or zero points
    // as floats, zeros past n.
    static VELMAR_LANES_INLINE F stored(const RowRun& r, const void* p, size_t at, size_t n) {
        const __mmask16 m = first(n);
        if (r.stored == Stored::F32) return _mm512_maskz_loadu_ps(m, static_cast<const float*>(p) + at);
        const __m256i h = _mm256_maskz_loadu_epi16(m, static_cast<const uint16_t*>(p) + at);
        if (r.stored == Stored::F16) return _mm512_cvtph_ps(h);
        return _mm512_castsi512_ps(_mm512_slli_epi32(_mm512_cvtepu16_epi32(h), 16));
    }
    static VELMAR_LANES_INLINE I izero() { return _mm512_setzero_si512(); }
    static VELMAR_LANES_INLINE F fzero() { return _mm512_setzero_ps(); }
    static VELMAR_LANES_INLINE F loadf(const float* p) { return _mm512_load_ps(p); }
    static VELMAR_LANES_INLINE void storef(float* p, F v) { _mm512_store_ps(p, v); }
    static VELMAR_LANES_INLINE void storeu(float* p, F v) { _mm512_storeu_ps(p, v); }
    static VELMAR_LANES_INLINE F set1(float x) { return _mm512_set1_ps(x); }
    static VELMAR_LANES_INLINE F add(F a, F b) { return _mm512_add_ps(a, b); }
    static VELMAR_LANES_INLINE F sub(F a, F b) { return _mm512_sub_ps(a, b); }
    static VELMAR_LANES_INLINE F mul(F a, F b) { return _mm512_mul_ps(a, b); }
    static VELMAR_LANES_INLINE F cvt(I a) { return _mm512_cvtepi32_ps(a); }
    static VELMAR_LANES_INLINE F as_float(I a) { return _mm512_castsi512_ps(a); }
    static VELMAR_LANES_INLINE I as_int(F a) { return _mm512_castps_si512(a); }
    template <int n>
    static VELMAR_LANES_INLINE I slli(I a) { return _mm512_slli_epi32(a, n); }
    template <int n>
    static VELMAR_LANES_INLINE I srai(I a) { return _mm512_srai_epi32(a, n); }
    static VELMAR_LANES_INLINE I or_(I a, I b) { return _mm512_or_si512(a, b); }
    static VELMAR_LANES_INLINE I srl(I a, __m128i n) { return _mm512_srl_epi32(a, n); }
    static VELMAR_LANES_INLINE I sll(I a, __m128i n) { return _mm512_sll_epi32(a, n); }
    // Lane l of the result is lane idx[l] of v.
    static VELMAR_LANES_INLINE F permute(F v, const uint32_t* idx) {
        return _mm512_permutexvar_ps(_mm512_load_si512(idx), v);
    }
    // Byte k of each dword moved to its top byte, the rest zeros: code * 2^24.
    template <int k>
    static VELMAR_LANES_INLINE F top_byte(I q) {
        if constexpr (k == 0) return _mm512_cvtepi32_ps(_mm512_slli_epi32(q, 24));
        if constexpr (k == 3) return _mm512_cvtepi32_ps(_mm512_and_si512(q, _mm512_set1_epi32(-16777216)));
        const char z = -128;  // a byte shuffled to zero
        const __m128i pick = _mm_setr_epi8(z, z, z, k, z, z, z, 4 + k, z, z, z, 8 + k, z, z, z, 12 + k);
        return _mm512_cvtepi32_ps(_mm512_shuffle_epi8(q, _mm512_broadcast_i32x4(pick)));
    }
    // Nibble k of each dword as a float: shifted to the bottom, the index of
    // its float in a register of the 16 (one permute for the shifts and the
    // conversion).
    template <int k>
    static VELMAR_LANES_INLINE F nibble(I q) {
        const __m512 code_floats = _mm512_setr_ps(0, 1, 2, 3, 4, 5, 6, 7, -8, -7, -6, -5, -4, -3, -2, -1);
        if constexpr (k != 0) q = _mm512_srli_epi32(q, 4 * k);
        return _mm512_permutexvar_ps(q, code_floats);
    }
};
#endif

#if defined(__AVX2__)
// AVX2 has no two-source dword permute: the round pairing registers d apart
// is fixed by d, within each set of 8 registers: the 128-bit halves (d = 4),
// qwords within them (2), then dwords (1). Blocks of 64 take two sets, one
// for each half of every block. The tables here only follow where each dword
// goes, to find the lanes' order and check that the rounds end with register
// m holding dword m.
struct Transpose8 {
    alignas(32) uint32_t order[8];
    alignas(32) uint32_t inverse[8];
    bool holds;

    static constexpr size_t offset(size_t block, size_t i) { return block == 64 ? i % 8 * 64 + i / 8 * 32 : 32 * i; }

    constexpr explicit Transpose8(size_t block) : order{}, inverse{}, holds(true) {
        constexpr uint8_t pick[3][2][8] = {{{0, 2, 8, 10, 4, 6, 12, 14}, {1, 3, 9, 11, 5, 7, 13, 15}},
                                           {{0, 1, 8, 9, 4, 5, 12, 13}, {2, 3, 10, 11, 6, 7, 14, 15}},
                                           {{0, 1, 2, 3, 8, 9, 10, 11}, {4, 5, 6, 7, 12, 13, 14, 15}}};
        const size_t regs = block / 4;
        size_t blk[16][8]{}, dw[16][8]{};
        for (size_t i = 0; i < regs; ++i)
            for (size_t s = 0; s < 8; ++s) {
                const size_t at = offset(block, i) + 4 * s;
                blk[i][s] = at / block;
                dw[i][s] = at % block / 4;
            }
        for (size_t d = (regs < 8 ? regs : 8) / 2; d >= 1; d /= 2) {
            const size_t kind = d == 1 ? 0 : d == 2 ? 1 : 2;
            for (size_t i = 0; i < regs; ++i) {
                if (i & d) continue;
                size_t b2[16]{}, d2[16]{};
                for (size_t s = 0; s < 8; ++s) {
                    b2[s] = blk[i][s], b2[8 + s] = blk[i + d][s];
                    d2[s] = dw[i][s], d2[8 + s] = dw[i + d][s];
                }
                for (size_t s = 0; s < 8; ++s) {
                    blk[i][s] = b2[pick[kind][0][s]], dw[i][s] = d2[pick[kind][0][s]];
                    blk[i + d][s] = b2[pick[kind][1][s]], dw[i + d][s] = d2[pick[kind][1][s]];
                }
            }
        }
        for (size_t l = 0; l < 8; ++l) {
            order[l] = static_cast<uint32_t>(blk[0][l]);
            inverse[blk[0][l] % 8] = static_cast<uint32_t>(l);
        }
        for (size_t m = 0; m < regs; ++m)
            for (size_t l = 0; l < 8; ++l) holds = holds && dw[m][l] == m && blk[m][l] == blk[0][l] && blk[0][l] < 8;
        for (size_t l = 0; l < 8; ++l) holds = holds && order[inverse[l]] == l;
    }
};

constexpr Transpose8 kY16(16), kY32(32), kY64(64);
static_assert(kY16.holds && kY32.holds && kY64.holds);

struct Ymm8 {
    static constexpr size_t L = 8;
    // Half the lanes, so twice the groups side by side for as many chains:
    // on a Zen 3 no slower than two, the 8-bit rows a little faster. Four
    // tiles, but three for fixed-width asymmetric rows, whose zero points
    // crowd the registers: Zen 3, over four, 8 bits 0.78-0.86 (4096 x 4096,
    // 1024 x 11008), 2 to 7 bits 0.89-0.96; symmetric rows of 5 and 6 bits
    // and adaptive rows were no faster.
    static constexpr size_t tiles(bool fixed_asym) { return fixed_asym ? 3 : 4; }
    static constexpr size_t kChains = 4;
    static constexpr size_t kLineRegs = 2;  // registers a cache line fills
    using I = __m256i;
    using F = __m256;
    using Transpose = Transpose8;
    // Every width to 8 at every column count. Zen 3, over the tiles' time
    // (both in one program, calls alternated), 4096 x 4096: 2, 3, 5, 6 and
    // 7 bits 0.61-0.68, 8 bits 0.92; 8 bits from 2048 to 11008 columns
    // 0.73-0.91, 100 x 4096 0.98. Before the whole-tile loads and runs the
    // widths other than 4 were no faster past 1024 columns.
    static bool asym_in_lanes(const RowRun&) { return true; }
    // Every width from 2 to 8. Symmetric rows, Zen 3, 4096 x 4096, over
    // W @ x's time, tiles / lanes: 2 bits 1.12-1.69 / 0.76-0.86, 3 bits
    // 1.10-2.03 / 0.85-0.93, 5 bits 1.24-2.35 / 1.05-1.11, 6 bits 1.25-2.30 /
    // 1.07-1.30, 7 bits 1.36-2.36 / 1.36-1.45 (a machine of wide swings).
    static constexpr bool kEveryWidth = true;
    // The first round of a transpose (128-bit halves) done by the loads:
    // an insert from memory each instead of a permute, which Zen 3 issues
    // once a cycle. 8-bit rows 0.91-0.94 of the time there.
    static constexpr bool kHalfLoads = true;
    // Adaptive rows of blocks of 32, a block (w dwords) a step, each row's
    // decoded in registers straight from its run, not to a stage and back.
    // Zen 3, over the tiles' time: 4096 x 4096 0.76-0.85 (F32, F16, BF16
    // scales), 1000 x 4100 0.85, 37 x 300 0.80, 5 x 33 0.64. Blocks of 64
    // and 128 the same way took 1.12-1.15: they stay with the tiles.
    static constexpr bool kBlockRuns = true;
    static bool adaptive_in_lanes(const RowRun& r) { return r.block == 32; }
    // The 32 codes of width w (2 to 8) at p as sign-extended bytes in order:
    // codes 0-15 in the low half, 16-31 (from byte 2w on) in the high one,
    // each half's first and last eight widened to words by one table each.
    static VELMAR_LANES_INLINE I block_codes(const uint8_t* p, uint32_t w, const uint8_t* end) {
        __m256i v;
        if (static_cast<size_t>(end - p) >= 2 * w + 16) {
            v = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(p + 2 * w), reinterpret_cast<const __m128i*>(p));
        } else {  // the last run: no byte read past the codes
            alignas(32) uint8_t b[48]{};
            std::memcpy(b, p, min_size(static_cast<size_t>(end - p), 4 * w));
            v = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(b + 2 * w), reinterpret_cast<const __m128i*>(b));
        }
        const auto half = [](const void* t) __attribute__((always_inline)) {
            return _mm256_broadcastsi128_si256(_mm_load_si128(static_cast<const __m128i*>(t)));
        };
        const __m128i down = _mm_cvtsi32_si128(static_cast<int>(16 - w));
        const __m256i lo = _mm256_sra_epi16(
            _mm256_mullo_epi16(_mm256_shuffle_epi8(v, half(kBitTables.index[w])), half(kBitTables.mul[w])), down);
        const __m256i hi = _mm256_sra_epi16(
            _mm256_mullo_epi16(_mm256_shuffle_epi8(v, half(kBitTables.index[w] + 16)), half(kBitTables.mul[w] + 8)), down);
        return _mm256_packs_epi16(lo, hi);
    }
    static constexpr const Transpose& kSquare = kY32;
    template <size_t B>
    static constexpr const Transpose& layout() {
        return B == 16 ? kY16 : B == 32 ? kY32 : kY64;
    }
    template <size_t B>
    static constexpr size_t offset(size_t i) {
        return Transpose8::offset(B, i);
    }

    // Registers i and i + 4 of a set of 8, whose 32 bytes are at a and b, as
    // the round d = 4 leaves them.
    static VELMAR_LANES_INLINE void load_halves(const uint8_t* a, const uint8_t* b, I& lo, I& hi) {
        lo = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(b), reinterpret_cast<const __m128i*>(a));
        hi = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(b + 16), reinterpret_cast<const __m128i*>(a + 16));
    }

    // The rounds from d = top down.
    template <size_t regs, size_t top = (regs < 8 ? regs : 8) / 2>
    static VELMAR_LANES_INLINE void rounds(const Transpose&, I* t) {
#pragma GCC unroll 4
        for (size_t d = top; d >= 1; d /= 2) {
#pragma GCC unroll 16
            for (size_t i = 0; i < regs; ++i) {
                if (i & d) continue;
                const __m256i a = t[i], b = t[i + d];
                if (d == 4) {
                    t[i] = _mm256_permute2x128_si256(a, b, 0x20);
                    t[i + d] = _mm256_permute2x128_si256(a, b, 0x31);
                } else if (d == 2) {
                    t[i] = _mm256_unpacklo_epi64(a, b);
                    t[i + d] = _mm256_unpackhi_epi64(a, b);
                } else {
                    const __m256 fa = _mm256_castsi256_ps(a), fb = _mm256_castsi256_ps(b);
                    t[i] = _mm256_castps_si256(_mm256_shuffle_ps(fa, fb, 0x88));
                    t[i + d] = _mm256_castps_si256(_mm256_shuffle_ps(fa, fb, 0xDD));
                }
            }
        }
    }

    static VELMAR_LANES_INLINE __m256i first(size_t n) {
        return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n < 8 ? n : 8)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    }
    static VELMAR_LANES_INLINE I loadi(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static VELMAR_LANES_INLINE I load_dwords(const uint8_t* p, size_t n) {
        return _mm256_maskload_epi32(reinterpret_cast<const int*>(p), first(n));
    }
    // Masked loads go by dwords: the bytes past n come from a zeroed copy.
    static VELMAR_LANES_INLINE I load_bytes(const uint8_t* p, size_t n) {
        alignas(32) uint8_t b[32]{};
        std::memcpy(b, p, n);
        return _mm256_load_si256(reinterpret_cast<const __m256i*>(b));
    }
    // A masked load only where it must be: Zen 3 pays for them dearly. F32
    // scales and zero points across the lanes and the 8-bit block products
    // read whole: asymmetric 4-bit rows 0.82-0.97 of the time, 8-bit 0.94.
    static VELMAR_LANES_INLINE F load_floats(const float* p, size_t n) {
        return n >= 8 ? _mm256_loadu_ps(p) : _mm256_maskload_ps(p, first(n));
    }
    static VELMAR_LANES_INLINE F stored(const RowRun& r, const void* p, size_t at, size_t n) {
        if (r.stored == Stored::F32) return load_floats(static_cast<const float*>(p) + at, n);
        const uint16_t* h16 = static_cast<const uint16_t*>(p) + at;
        __m128i h;
        if (n >= 8) {
            h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h16));
        } else {
            alignas(16) uint16_t b[8]{};
            std::memcpy(b, h16, 2 * n);
            h = _mm_load_si128(reinterpret_cast<const __m128i*>(b));
        }
        if (r.stored == Stored::F16) return _mm256_cvtph_ps(h);
        return _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_cvtepu16_epi32(h), 16));
    }
    static VELMAR_LANES_INLINE I izero() { return _mm256_setzero_si256(); }
    static VELMAR_LANES_INLINE F fzero() { return _mm256_setzero_ps(); }
    static VELMAR_LANES_INLINE F loadf(const float* p) { return _mm256_load_ps(p); }
    static VELMAR_LANES_INLINE void storef(float* p, F v) { _mm256_store_ps(p, v); }
    static VELMAR_LANES_INLINE void storeu(float* p, F v) { _mm256_storeu_ps(p, v); }
    static VELMAR_LANES_INLINE F set1(float x) { return _mm256_set1_ps(x); }
    static VELMAR_LANES_INLINE F add(F a, F b) { return _mm256_add_ps(a, b); }
    static VELMAR_LANES_INLINE F sub(F a, F b) { return _mm256_sub_ps(a, b); }
    static VELMAR_LANES_INLINE F mul(F a, F b) { return _mm256_mul_ps(a, b); }
    static VELMAR_LANES_INLINE F cvt(I a) { return _mm256_cvtepi32_ps(a); }
    static VELMAR_LANES_INLINE F as_float(I a) { return _mm256_castsi256_ps(a); }
    static VELMAR_LANES_INLINE I as_int(F a) { return _mm256_castps_si256(a); }
    template <int n>
    static VELMAR_LANES_INLINE I slli(I a) { return _mm256_slli_epi32(a, n); }
    template <int n>
    static VELMAR_LANES_INLINE I srai(I a) { return _mm256_srai_epi32(a, n); }
    static VELMAR_LANES_INLINE I or_(I a, I b) { return _mm256_or_si256(a, b); }
    static VELMAR_LANES_INLINE I srl(I a, __m128i n) { return _mm256_srl_epi32(a, n); }
    static VELMAR_LANES_INLINE I sll(I a, __m128i n) { return _mm256_sll_epi32(a, n); }
    static VELMAR_LANES_INLINE F permute(F v, const uint32_t* idx) {
        return _mm256_permutevar8x32_ps(v, _mm256_load_si256(reinterpret_cast<const __m256i*>(idx)));
    }
    // Byte k of each dword moved to its top byte, the rest zeros: code * 2^24.
    template <int k>
    static VELMAR_LANES_INLINE F top_byte(I q) {
        if constexpr (k == 0) return _mm256_cvtepi32_ps(_mm256_slli_epi32(q, 24));
        if constexpr (k == 3) return _mm256_cvtepi32_ps(_mm256_and_si256(q, _mm256_set1_epi32(-16777216)));
        const char z = -128;  // a byte shuffled to zero
        return _mm256_cvtepi32_ps(_mm256_shuffle_epi8(
            q, _mm256_setr_epi8(z, z, z, k, z, z, z, 4 + k, z, z, z, 8 + k, z, z, z, 12 + k, z, z, z, k, z, z, z, 4 + k,
                                z, z, z, 8 + k, z, z, z, 12 + k)));
    }
    // No 16-entry float permute: the nibble shifted to the top, then down.
    template <int k>
    static VELMAR_LANES_INLINE F nibble(I q) {
        if constexpr (k != 7) q = _mm256_slli_epi32(q, 28 - 4 * k);
        return _mm256_cvtepi32_ps(_mm256_srai_epi32(q, 28));
    }
};
#endif

constexpr size_t kWindow = 8192;     // columns of x arranged at a time
constexpr size_t kMaxRegs = 16;      // registers of a group (blocks of 64)
constexpr size_t kAhead = 8192;      // bytes of codes prefetched ahead of a group

// Byte k of each lane's dword, sign-extended: shifted to the top, then down.
template <class P, int k>
VELMAR_LANES_INLINE typename P::F byte_code(typename P::I q) {
    if constexpr (k != 3) q = P::template slli<24 - 8 * k>(q);
    return P::cvt(P::template srai<24>(q));
}

// Whether every x * 2^-24 is exact (no x below 2^-102 but zero), so that
// top bytes may stand for the codes.
inline bool scales_down_exactly(const float* x, size_t n) {
    bool exact = true;
    for (size_t i = 0; i < n; ++i) exact &= x[i] == 0.0f || !(__builtin_fabsf(x[i]) < 0x1p-102f);
    return exact;
}

// GCC's pressure-aware scheduling keeps the kChains sums in registers
// across the 8-bit loop; without it one of them waited on the stack.
#if defined(__GNUC__) && !defined(__clang__)
#define VELMAR_LANES_PRESSURE __attribute__((optimize("schedule-insns", "sched-pressure")))
#else
#define VELMAR_LANES_PRESSURE
#endif

// The dwords of a group, L blocks of B bytes at p of which `valid` are
// wanted (the rest read as zeros), transposed into t.
template <class P, size_t B>
VELMAR_LANES_INLINE void transpose_group(const typename P::Transpose& tr, const uint8_t* p, size_t valid,
                                         typename P::I* t) {
    constexpr size_t regs = B / 4;
    if constexpr (P::kHalfLoads && regs >= 8) {
        if (valid == P::L) {
            for (size_t i = 0; i < regs; ++i)
                if ((i & 4) == 0) P::load_halves(p + P::template offset<B>(i), p + P::template offset<B>(i + 4), t[i], t[i + 4]);
            return P::template rounds<regs, 2>(tr, t);
        }
    }
    if (valid == P::L) {
        for (size_t i = 0; i < regs; ++i) t[i] = P::loadi(p + P::template offset<B>(i));
    } else {
        const size_t bytes = valid * B;
        for (size_t i = 0; i < regs; ++i) {
            const size_t at = P::template offset<B>(i), have = bytes > at ? (bytes - at) / 4 : 0;
            t[i] = P::load_dwords(p + at, have);
        }
    }
    P::template rounds<regs>(tr, t);
}

VELMAR_LANES_INLINE float scale_at(const RowRun& r, size_t b) {
    if (r.stored == Stored::F32) return static_cast<const float*>(r.scales)[b];
    const uint16_t h = static_cast<const uint16_t*>(r.scales)[b];
    return r.stored == Stored::F16 ? f32_from_f16_bits(h) : widen_bf16(h);
}

// One group of L blocks: its codes, of which `valid` blocks exist, x as its
// lanes read it, its first scale and where its L products go, block order.
struct Group {
    const uint8_t* codes;
    const float* xg;
    size_t valid, scale;
    float* prods;
};

// kChains whole groups in a row: their codes, scales and products follow one
// another, x as each group's phase has it. Against Group by Group, 0.81-0.85
// of the time on a Zen 3 (768 to 4096 columns): the batch's addresses and
// checks had cost as much as the transposes.
template <size_t kChains, size_t kGroupBytes, size_t L>
struct Run {
    const uint8_t* codes;
    const float* const* xg;
    size_t scale;
    float* prods;
    static constexpr size_t live = kChains;
    Group operator[](size_t k) const { return {codes + k * kGroupBytes, xg[k], L, scale + k * L, prods + k * L}; }
};

// Any kChains groups, of which `live` are real (the spare chains repeat the
// first and store nothing).
template <size_t kChains>
struct Groups {
    const Group* gs;
    size_t live;
    const Group& operator[](size_t k) const { return gs[k < live ? k : 0]; }
};

// The products of a batch of groups (Run or Groups); with kTop, top bytes
// and x scaled.
template <class P, size_t B, bool kTop, class Batch>
VELMAR_LANES_INLINE void group_products(const RowRun& r, const typename P::Transpose& tr, const Batch& gs,
                                        const uint8_t* end) {
    using F = typename P::F;
    constexpr size_t regs = B / 4, L = P::L;
    const size_t live = gs.live;
    alignas(64) typename P::I t[P::kChains][kMaxRegs];
    for (size_t k = 0; k < P::kChains; ++k) {
        const auto& g = gs[k];
        // The hardware alone falls behind the stream at this pace. Into the
        // caches: on Intel a non-temporal hint halved the stream's speed.
        if (k < live)
            for (size_t b = 0; b < L * B; b += 64)
                if (g.codes + kAhead + b < end) __builtin_prefetch(g.codes + kAhead + b, 0, 2);
        transpose_group<P, B>(tr, g.codes, g.valid, t[k]);
    }
    F acc[P::kChains];
    const float* xg[P::kChains];
    for (size_t k = 0; k < P::kChains; ++k) {
        acc[k] = P::fzero();
        xg[k] = gs[k].xg;
    }
    for (size_t m = 0; m < regs; ++m) {
        const auto step = [&]<int s>() __attribute__((always_inline)) {
#pragma GCC unroll 8
            for (size_t k = 0; k < P::kChains; ++k) {
                const F xv = P::loadf(xg[k] + (4 * m + s) * L);
                F q;
                if constexpr (kTop)
                    q = P::template top_byte<s>(t[k][m]);
                else
                    q = byte_code<P, s>(t[k][m]);
                acc[k] = P::add(acc[k], P::mul(xv, q));
            }
        };
        step.template operator()<0>();
        step.template operator()<1>();
        step.template operator()<2>();
        step.template operator()<3>();
    }
    for (size_t k = 0; k < live; ++k) {
        const auto& g = gs[k];
        const F sc = P::permute(P::stored(r, r.scales, g.scale, g.valid), tr.order);
        P::storeu(g.prods, P::permute(P::mul(acc[k], sc), tr.inverse));
    }
}

// total plus, for each of n rows whose products lie `stride` apart, its
// first `count` products in block order; row kSquare.order[l] in lane l.
// Blocks of L rows x L products are transposed to one block of all rows a
// register.
template <class P>
VELMAR_LANES_INLINE typename P::F add_products(typename P::F total, const float* prods, size_t stride, size_t n,
                                               size_t count) {
    constexpr size_t L = P::L;
    for (size_t b0 = 0; b0 < count; b0 += L) {
        const size_t m = min_size(L, count - b0);
        typename P::I v[L];
        for (size_t i = 0; i < L; ++i)
            v[i] = i < n ? P::as_int(P::load_floats(prods + i * stride + b0, m)) : P::izero();
        P::template rounds<L>(P::kSquare, v);
        for (size_t d = 0; d < m; ++d) total = P::add(total, P::as_float(v[d]));
    }
    return total;
}

// The first n lanes' rows of total, in kSquare's lane order, to out.
template <class P>
VELMAR_LANES_INLINE void store_rows(typename P::F total, size_t n, float* out) {
    alignas(64) float lanes[P::L];
    P::storef(lanes, total);
    for (size_t l = 0; l < P::L; ++l)
        if (P::kSquare.order[l] < n) out[P::kSquare.order[l]] = lanes[l];
}

// Rows of whole blocks that fit one window, read as one stream of blocks: a
// group spans rows, and the lanes' blocks of x repeat every `phases` groups
// (lcm(L, blocks per row) blocks), each phase arranged once. A tile of L
// rows is a whole number of phases, so its products land row after row.
template <class P, size_t B, bool kTop>
__attribute__((noinline)) VELMAR_LANES_PRESSURE void rows_dot_stream(const RowRun& r, const typename P::Transpose& tr,
                                                                     size_t phases, const float* x, float* out) {
    const float xscale = kTop ? 0x1p-24f : 1.0f;
    constexpr size_t L = P::L;
    const size_t nb = r.cols / B;
    alignas(64) float xs[kWindow];
    alignas(64) float prods[L * (kWindow / B) + L];
    for (size_t p = 0; p < phases; ++p)
        for (size_t l = 0; l < L; ++l)
            for (size_t s = 0; s < B; ++s) xs[(p * B + s) * L + l] = x[(p * L + tr.order[l]) % nb * B + s] * xscale;
    const uint8_t* const end = r.codes + r.rows * r.cols;
    for (size_t t0 = 0; t0 < r.rows; t0 += L) {
        const size_t n = min_size(L, r.rows - t0), blocks = n * nb, groups = (blocks + L - 1) / L;
        const uint8_t* const codes = r.codes + t0 * r.cols;
        size_t phase = 0;  // of group c + k, counted: a division cost 4 % of the time
        // Whole groups side by side in runs; the last ones (a short group
        // where the tile ends) one by one.
        size_t c = 0;
        for (const size_t whole = blocks / L; c + P::kChains <= whole; c += P::kChains) {
            const float* xg[P::kChains];
            for (size_t k = 0; k < P::kChains; ++k) {
                xg[k] = xs + phase * B * L;
                if (++phase == phases) phase = 0;
            }
            const Run<P::kChains, L * B, L> run{codes + c * L * B, xg, t0 * nb + c * L, prods + c * L};
            group_products<P, B, kTop>(r, tr, run, end);
        }
        for (; c < groups; c += P::kChains) {
            Group gs[P::kChains];
            const size_t live = min_size(P::kChains, groups - c);
            for (size_t k = 0; k < live; ++k) {
                const size_t g = c + k;
                gs[k] = {codes + g * L * B, xs + phase * B * L, min_size(L, blocks - g * L), t0 * nb + g * L,
                         prods + g * L};
                if (++phase == phases) phase = 0;
            }
            group_products<P, B, kTop>(r, tr, Groups<P::kChains>{gs, live}, end);
        }
        store_rows<P>(add_products<P>(P::fzero(), prods, nb, n, nb), n, out + t0);
    }
}

// Rows in windows of columns, each row's groups its own, the short last
// block apart.
template <class P, size_t B, bool kTop>
__attribute__((noinline)) VELMAR_LANES_PRESSURE void rows_dot_windows(const RowRun& r, const typename P::Transpose& tr,
                                                                      const float* x, float* out) {
    const float xscale = kTop ? 0x1p-24f : 1.0f;
    constexpr size_t L = P::L, kWinBlocks = kWindow / B;
    const size_t nb = block_count(r.cols, r.block), full = r.cols / B, tail = r.cols % B;
    // x of a window as the lanes read it: group g, step s, lane l at
    // xs[(g * B + s) * L + l].
    alignas(64) float xs[kWindow];
    // The block products of a tile's rows over a window (and the row's last
    // short block), row after row.
    alignas(64) float prods[L * (kWinBlocks + L)];
    const size_t windows = full == 0 ? 1 : (full + kWinBlocks - 1) / kWinBlocks;
    const uint8_t* const end = r.codes + r.rows * r.cols;
    for (size_t t0 = 0; t0 < r.rows; t0 += L) {
        const size_t n = min_size(L, r.rows - t0);
        typename P::F total = P::fzero();
        for (size_t w = 0; w < windows; ++w) {
            const size_t wb = w * kWinBlocks, wn = min_size(kWinBlocks, full - min_size(full, wb));
            const size_t groups = (wn + L - 1) / L;
            // Arranged once per call when one window holds every block.
            if (windows > 1 || t0 == 0)
                for (size_t g = 0; g < groups; ++g)
                    for (size_t l = 0; l < L; ++l) {
                        const size_t b = g * L + tr.order[l];
                        for (size_t s = 0; s < B; ++s)
                            xs[(g * B + s) * L + l] = b < wn ? x[(wb + b) * B + s] * xscale : 0.0f;
                    }
            const size_t stride = groups * L + 1;  // one row's products
            // Runs of whole groups within a row; the rest batched across rows.
            const size_t whole = wn / L;
            Group gs[P::kChains];
            size_t pending = 0;
            for (size_t row = 0; row < n; ++row) {
                const uint8_t* const codes = r.codes + (t0 + row) * r.cols + wb * B;
                const size_t scale = (t0 + row) * nb + wb;
                float* const rp = prods + row * stride;
                size_t g = 0;
                for (; g + P::kChains <= whole; g += P::kChains) {
                    const float* xg[P::kChains];
                    for (size_t k = 0; k < P::kChains; ++k) xg[k] = xs + (g + k) * B * L;
                    const Run<P::kChains, L * B, L> run{codes + g * L * B, xg, scale + g * L, rp + g * L};
                    group_products<P, B, kTop>(r, tr, run, end);
                }
                for (; g < groups; ++g) {
                    gs[pending++] = {codes + g * L * B, xs + g * B * L, min_size(L, wn - g * L), scale + g * L,
                                     rp + g * L};
                    if (pending == P::kChains) {
                        group_products<P, B, kTop>(r, tr, Groups<P::kChains>{gs, pending}, end);
                        pending = 0;
                    }
                }
            }
            if (pending != 0) group_products<P, B, kTop>(r, tr, Groups<P::kChains>{gs, pending}, end);
            // The short block closes the last window.
            const bool last = w + 1 == windows;
            if (last && tail != 0)
                for (size_t i = 0; i < n; ++i)
                    prods[i * stride + wn] =
                        i8_block_sum(x + full * B, r.codes + (t0 + i) * r.cols + full * B, tail) *
                        scale_at(r, (t0 + i) * nb + full);
            total = add_products<P>(total, prods, stride, n, wn + (last && tail != 0 ? 1 : 0));
        }
        store_rows<P>(total, n, out + t0);
    }
}

// The stream when rows are whole blocks and their phases fit one window (the
// two kernels' arrays are never on the stack together).
template <class P, size_t B, bool kTop>
void rows_dot_as(const RowRun& r, const float* x, float* out) {
    const typename P::Transpose& tr = P::template layout<B>();
    const size_t nb = r.cols / B, phases = nb / std::gcd(nb, P::L);
    if (r.cols % B == 0 && phases * P::L <= kWindow / B) return rows_dot_stream<P, B, kTop>(r, tr, phases, x, out);
    rows_dot_windows<P, B, kTop>(r, tr, x, out);
}

// 8-bit codes taken as the top byte of their dword (code * 2^24), one
// instruction each, against x * 2^-24 where every x scales exactly: the same
// real products, so the same roundings. Over codes shifted up and back down,
// Zen 3 (AVX2), 768 and 4096 columns, 0.88-0.92 of the time; Zen 4 (VBMI),
// 4096 x 4096, 1.24 ms against 1.49.
template <class P, size_t B>
void rows_dot(const RowRun& r, const float* x, float* out) {
    if (scales_down_exactly(x, r.cols)) return rows_dot_as<P, B, true>(r, x, out);
    rows_dot_as<P, B, false>(r, x, out);
}


// ---- one running sum a row: symmetric and asymmetric 2- to 8-bit, and adaptive ----

constexpr size_t kScaleBlocks = 160;  // blocks of scales across the lanes at hand per tile

// Codes of `bits` (2 to 8) in lanes, every row one running sum: rows of tile
// j are tile[j]'s rows; lane l holds row kSquare.order[l], as do the scales
// and, for the asymmetric kind, the zero points. A step reads S registers of
// each row, a whole number of groups (kGroupCodes codes filling kGroupDwords
// dwords), and takes them a unit of kUnitCodes codes at a time: a dword of
// codes where they fill one, else the unit's bits shifted to the bottom of
// one from the two dwords they lie in (one unit body for every offset keeps
// the code small enough for the caches). Adaptive rows (8 bits, asym) are
// decoded to bytes kStageCols columns at a time by the caller's D, each row
// into its own line of `stage`, or where the policy has kBlockRuns a block a
// step straight from each row's run.
template <class P, uint32_t bits, bool asym, size_t S, bool adaptive = false>
struct RowLanes {
    static constexpr size_t L = P::L, kTiles = P::tiles(asym && !adaptive);
    static constexpr size_t kGroupDwords = bits / std::gcd(bits, 32u);
    static constexpr size_t kGroupCodes = 32 / std::gcd(bits, 32u);
    static constexpr size_t kStepBytes = 4 * L * S;
    static constexpr size_t kStepCols = kStepBytes * 8 / bits;
    static constexpr bool kWhole = kGroupDwords == 1;
    static constexpr size_t kUnitCodes = kWhole ? kGroupCodes : bits == 3 ? 8 : 4;
    static_assert(bits >= 2 && bits <= 8 && L * S % kGroupDwords == 0 && kGroupCodes % kUnitCodes == 0,
                  "a step of whole groups of whole units");

    const RowRun& r;
    size_t row_bytes, nb;
    size_t t0 = 0;          // the first row of the tiles
    size_t wb = 0, wn = 0;  // the window of blocks whose scales are across the lanes
    alignas(64) float sl[kTiles][kScaleBlocks * L];
    alignas(64) float zl[kTiles][asym ? kScaleBlocks * L : 1];
    // Adaptive rows decoded kStageCols columns at a time: a call per step
    // cost more than the decoding.
    // The caller's: one layout for both kinds, so that GCC's merging of
    // identical member functions cannot mix up two object sizes.
    static constexpr size_t kStageCols = 8 * kStepCols, kStageBytes = kTiles * L * kStageCols;
    uint8_t* stage = nullptr;

    explicit RowLanes(const RowRun& run) : r(run), row_bytes(packed_len(run.cols, bits)), nb(block_count(run.cols, run.block)) {}

    // Rows of tile j, from 0 to L (zero lanes past the last row).
    size_t rows_of(size_t j) const {
        const size_t first = t0 + L * j;
        return first >= r.rows ? 0 : min_size(L, r.rows - first);
    }

    // Blocks [wb, wb + wn) of p across the lanes, L blocks of L rows
    // transposed at a time.
    void window_of(const void* p, size_t j, float* out) const {
        const size_t n = rows_of(j);
        for (size_t g = 0; g < wn; g += L) {
            typename P::I v[L];
            for (size_t i = 0; i < L; ++i)
                v[i] = i < n ? P::as_int(P::stored(r, p, (t0 + L * j + i) * nb + wb + g, min_size(L, wn - g)))
                             : P::izero();
            P::template rounds<L>(P::kSquare, v);
            for (size_t d = 0; d < L && g + d < wn; ++d) P::storef(out + (g + d) * L, P::as_float(v[d]));
        }
    }

    template <bool kTop>
    void load_window(size_t b) {
        wb = b;
        wn = min_size(kScaleBlocks, nb - b);
        for (size_t j = 0; j < kTiles; ++j) {
            window_of(r.scales, j, sl[j]);
            if constexpr (asym) window_of(r.zero_points, j, zl[j]);
            if constexpr (kTop)
                for (size_t i = 0; i < wn * L; i += L) {
                    P::storef(sl[j] + i, P::mul(P::loadf(sl[j] + i), P::set1(0x1p-24f)));
                    P::storef(zl[j] + i, P::mul(P::loadf(zl[j] + i), P::set1(0x1p24f)));
                }
        }
    }

    // Whether the tile's 8-bit codes may be taken as top bytes (code * 2^24)
    // against scales * 2^-24 and zero points * 2^24: both exact, a code minus
    // its zero point then rounds to 2^24 times itself and each value is the
    // same real as before. No scale below 2^-102 but zero, no finite zero
    // point of 2^104 or more; half precision never has them.
    bool tops_exact() const {
        if (r.stored == Stored::F16) return true;
        const size_t first = t0 * nb, n = min_size(L * kTiles, r.rows - t0) * nb;
        const auto out_of_range = [&]<class E>(int shift) {
            const E* sc = static_cast<const E*>(r.scales) + first;
            const E* zp = static_cast<const E*>(r.zero_points) + first;
            uint32_t bad = 0;
            for (size_t i = 0; i < n; ++i) {
                const uint32_t a = (uint32_t{sc[i]} << shift) & 0x7FFFFFFFu, b = (uint32_t{zp[i]} << shift) & 0x7FFFFFFFu;
                bad |= uint32_t(a - 1u < 0x0C7FFFFFu) | uint32_t(b - 0x73800000u < 0x0C000000u);
            }
            return bad != 0;
        };
        return r.stored == Stored::F32 ? !out_of_range.template operator()<uint32_t>(0)
                                       : !out_of_range.template operator()<uint16_t>(16);
    }

    // A whole register of L rows from q on, transposed (by halves where kHalfLoads).
    VELMAR_LANES_INLINE void load_whole(const uint8_t* q, typename P::I* v) const {
        if constexpr (P::kHalfLoads) {
            for (size_t i = 0; i < L / 2; ++i)
                P::load_halves(q + i * row_bytes, q + (i + L / 2) * row_bytes, v[i], v[i + L / 2]);
            P::template rounds<L, 2>(P::kSquare, v);
        } else {
            for (size_t i = 0; i < L; ++i) v[i] = P::loadi(q + i * row_bytes);
            P::template rounds<L>(P::kSquare, v);
        }
    }

    // The step's dwords of every tile, transposed: t[j][d] holds dword d of
    // the step in each lane's row (and t[j][L * S] zeros, for the last unit).
    void load_step(size_t c0, typename P::I (*t)[L * S + 1]) const {
        constexpr size_t kRegBytes = 4 * L;
        const size_t at = c0 / 8 * bits, bytes = min_size(kStepBytes, row_bytes - at);
        if constexpr (!adaptive) {
            // Every tile whole and the step too, the common case, without a
            // check a register: 4-bit rows 0.89-0.96 of the time on a Zen 3,
            // 4-bit and asymmetric 8-bit rows at AVX-512 0.95-0.97 on an Intel Xeon.
            if (t0 + L * kTiles <= r.rows && bytes == kStepBytes) {
                const uint8_t* const p = r.codes + t0 * row_bytes + at;
                for (size_t j = 0; j < kTiles; ++j)
                    for (size_t h = 0; h < S; ++h) load_whole(p + L * j * row_bytes + kRegBytes * h, t[j] + L * h);
                return;
            }
        }
        for (size_t j = 0; j < kTiles; ++j) {
            const size_t n = rows_of(j);
            for (size_t h = 0; h < S; ++h) {
                const size_t have = bytes > kRegBytes * h ? min_size(kRegBytes, bytes - kRegBytes * h) : 0;
                typename P::I* v = t[j] + L * h;
                if constexpr (P::kHalfLoads && !adaptive) {
                    if (n == L && have == kRegBytes) {
                        load_whole(r.codes + (t0 + L * j) * row_bytes + at + kRegBytes * h, v);
                        continue;
                    }
                }
                for (size_t i = 0; i < L; ++i) {
                    if constexpr (adaptive) {  // a whole line, past the step's columns never read
                        v[i] = i >= n ? P::izero()
                                      : P::loadi(stage + (L * j + i) * kStageCols + c0 % kStageCols + kRegBytes * h);
                    } else {
                        const uint8_t* p = r.codes + (t0 + L * j + i) * row_bytes + at + kRegBytes * h;
                        v[i] = i >= n || have == 0 ? P::izero()
                               : have == kRegBytes ? P::loadi(p)
                                                   : P::load_bytes(p, have);
                    }
                }
                P::template rounds<L>(P::kSquare, v);
            }
        }
    }

    // Adaptive rows, kBlockRuns: block b of every row of the tiles from
    // runs[row] on (each then moved past it), transposed as load_step leaves
    // a step.
    void load_block(size_t b, const uint8_t** runs, typename P::I (*t)[L * S + 1]) const {
        static_assert(S == 1 && kStepCols == 32);
        const uint8_t* const end = r.codes + r.bytes;
        for (size_t j = 0; j < kTiles; ++j) {
            const size_t n = rows_of(j);
            typename P::I* v = t[j];
            for (size_t i = 0; i < L; ++i) {
                if (i >= n) {
                    v[i] = P::izero();
                    continue;
                }
                const uint8_t*& run = runs[L * j + i];
                const uint32_t w = r.widths[(t0 + L * j + i) * nb + b];
                v[i] = P::block_codes(run, w, end);
                run += 4 * w;
            }
            P::template rounds<L>(P::kSquare, v);
        }
    }

    // Unit u of the step in t: its codes from bit 0 of a dword.
    static VELMAR_LANES_INLINE typename P::I unit(const typename P::I* t, size_t u) {
        if constexpr (kWhole) {
            return t[u];
        } else {
            const size_t at = u * kUnitCodes * bits, shift = at % 32;
            const typename P::I* d = t + at / 32;
            // A count of 32 clears: the next dword adds nothing when shift is 0.
            return P::or_(P::srl(d[0], _mm_cvtsi32_si128(int(shift))), P::sll(d[1], _mm_cvtsi32_si128(int(32 - shift))));
        }
    }
    // Code k of a unit, sign-extended (with kTop, times 2^24).
    template <int k, bool kTop = false>
    static VELMAR_LANES_INLINE typename P::F code(typename P::I q) {
        constexpr int w = int(bits), top = 32 - (k + 1) * w;
        if constexpr (bits == 4) {
            return P::template nibble<k>(q);
        } else if constexpr (kTop) {
            return P::template top_byte<k>(q);
        } else if constexpr (bits == 8) {
            return byte_code<P, k>(q);
        } else {
            if constexpr (top != 0) q = P::template slli<top>(q);
            return P::cvt(P::template srai<32 - w>(q));
        }
    }
};

// Bytes [p, end) prefetched a share at a time, over `steps` calls of next().
struct Spread {
    const uint8_t* p;
    const uint8_t* end;
    size_t share;
    Spread(const void* from, size_t bytes, size_t steps)
        : p(static_cast<const uint8_t*>(from)), end(p + bytes), share((bytes / steps + 63) / 64 * 64) {}
    void next() {
        for (const uint8_t* to = static_cast<size_t>(end - p) > share ? p + share : end; p < to; p += 64)
            __builtin_prefetch(p, 0, 2);
    }
};

// Fixed-width rows: where rows start, for the prefetch of the next tiles.
struct EvenRows {
    const uint8_t* codes;
    size_t row_bytes;
    const uint8_t* start(size_t row) const { return codes + row * row_bytes; }
};

// D: start(row), where a row's codes start (any row up to r.rows), and for
// adaptive rows tile(t0, n), the rows of the next tiles, and decode(i, c0,
// m, dst), columns [c0, c0 + m) of the tiles' row i as bytes.
template <class P, uint32_t bits, bool asym, size_t S, bool adaptive = false, class D>
VELMAR_LANES_INLINE void rows_dot_sums(const RowRun& r, const float* x, float* out, D& rows) {
    using Lanes = RowLanes<P, bits, asym, S, adaptive>;
    using F = typename P::F;
    constexpr size_t L = P::L, kTiles = Lanes::kTiles, kStepCols = Lanes::kStepCols;
    constexpr size_t kUnitCodes = Lanes::kUnitCodes;
    Lanes lanes(r);
    constexpr bool kStaged = adaptive && !P::kBlockRuns;
    alignas(64) uint8_t stage[kStaged ? Lanes::kStageBytes : 1];
    lanes.stage = stage;
    const uint8_t* runs[adaptive ? L * kTiles : 1];
    alignas(64) typename P::I t[kTiles][L * S + 1];
    for (size_t j = 0; j < kTiles; ++j) t[j][L * S] = P::izero();
    // A tile, its 8-bit codes as top bytes or not (see tops_exact).
    const auto tile = [&]<bool kTop>() {
        F acc[kTiles], s[kTiles], z[kTiles];
        for (size_t j = 0; j < kTiles; ++j) {
            acc[j] = adaptive ? P::set1(-0.0f) : P::fzero();
            s[j] = z[j] = P::fzero();
        }
        lanes.wb = lanes.wn = 0;
        size_t next = 0;  // the column where the next block starts
        const size_t tile_rows = min_size(L * kTiles, r.rows - lanes.t0);
        if constexpr (adaptive) {
            rows.tile(lanes.t0, tile_rows);
            if constexpr (!kStaged)
                for (size_t i = 0; i < tile_rows; ++i) runs[i] = rows.codes(i);
        }
        // The rows are as many streams, more than the hardware follows; the
        // next tiles, read in order a step's share at a time, are one it does.
        const uint8_t* ahead = rows.start(lanes.t0 + tile_rows);
        const uint8_t* const end = rows.start(min_size(lanes.t0 + tile_rows + L * kTiles, r.rows));
        const size_t share = (static_cast<size_t>(end - ahead) / ((r.cols + kStepCols - 1) / kStepCols) + 63) / 64 * 64;
        // So are their scales, zero points and widths, each row's a stream of
        // its own: a tile's read at once from the memory had cost 13-20 % of
        // the time (Zen 4, 4096 x 4096, 4-bit and asymmetric 8-bit rows).
        const size_t steps = (r.cols + kStepCols - 1) / kStepCols, first = (lanes.t0 + tile_rows) * lanes.nb;
        const size_t blocks = min_size(L * kTiles, r.rows - lanes.t0 - tile_rows) * lanes.nb;
        const size_t size = r.stored == Stored::F32 ? 4 : 2;
        const auto part = [&](const void* p, size_t bytes) {
            return p ? Spread(static_cast<const uint8_t*>(p) + first * bytes, blocks * bytes, steps) : Spread(p, 0, 1);
        };
        Spread parts[] = {part(r.scales, size), part(r.zero_points, size), part(r.widths, 4)};
        // Blocks of whole units start only at a unit's first column.
        const bool whole_units = r.block % kUnitCodes == 0;
        for (size_t c0 = 0; c0 < r.cols; c0 += kStepCols) {
            for (Spread& sp : parts) sp.next();
            // Spread over the step's dwords: in one burst they stall the loads.
            const uint8_t* const due = ahead;
            const auto fetch = [&](size_t upto) __attribute__((always_inline)) {
                for (const uint8_t* to = due + upto < end ? due + upto : end; ahead < to; ahead += 64)
                    __builtin_prefetch(ahead, 0, 2);
            };
            const size_t m = min_size(kStepCols, r.cols - c0);
            if constexpr (kStaged) {
                static_assert(bits == 8 && Lanes::kStageCols % kStepCols == 0);
                if (c0 % Lanes::kStageCols == 0)
                    for (size_t i = 0; i < tile_rows; ++i)
                        rows.decode(i, c0, min_size(Lanes::kStageCols, r.cols - c0), lanes.stage + i * Lanes::kStageCols);
            }
            if constexpr (adaptive && !kStaged)
                lanes.load_block(c0 / r.block, runs, t);
            else
                lanes.load_step(c0, t);
            typename P::I units[kTiles];
            const auto column = [&]<int k>(size_t u) __attribute__((always_inline)) {
                const size_t c = c0 + kUnitCodes * u + k;
                if ((k == 0 || !whole_units) && c == next) {
                    const size_t b = c / r.block;
                    if (b >= lanes.wb + lanes.wn) lanes.template load_window<kTop>(b);
                    for (size_t j = 0; j < kTiles; ++j) {
                        s[j] = P::loadf(lanes.sl[j] + (b - lanes.wb) * L);
                        if constexpr (asym) z[j] = P::loadf(lanes.zl[j] + (b - lanes.wb) * L);
                    }
                    next = (b + 1) * r.block;
                }
                const F xb = P::set1(x[c]);
#pragma GCC unroll 4
                for (size_t j = 0; j < kTiles; ++j) {
                    const F q = Lanes::template code<k, kTop>(units[j]);
                    const F d = asym ? P::mul(s[j], P::sub(q, z[j])) : P::mul(q, s[j]);
                    // The operands in the 1-D dot's order: it picks which NaN survives.
                    const F v = asym && !adaptive ? P::mul(xb, d) : P::mul(d, xb);
                    acc[j] = P::add(acc[j], v);
                }
            };
            // Every column of a unit, or its first `left`.
            const auto unit = [&]<int... k>(size_t u, size_t left, std::integer_sequence<int, k...>)
                                  __attribute__((always_inline)) {
                for (size_t j = 0; j < kTiles; ++j) units[j] = Lanes::unit(t[j], u);
                ((k < int(left) ? column.template operator()<k>(u) : void()), ...);
            };
            const auto all = std::make_integer_sequence<int, int(kUnitCodes)>{};
            size_t u = 0;
            for (; kUnitCodes * u + kUnitCodes <= m; ++u) {
                fetch((u + 1) * kUnitCodes * bits * share / (32 * L));
                unit(u, kUnitCodes, all);
            }
            if (const size_t left = m - kUnitCodes * u; left > 0) unit(u, left, all);
            fetch(share);
        }
        for (size_t j = 0; j < kTiles; ++j) {
            alignas(64) float lanes_out[L];
            P::storef(lanes_out, acc[j]);
            const size_t n = lanes.rows_of(j);
            for (size_t l = 0; l < L; ++l)
                if (P::kSquare.order[l] < n) out[lanes.t0 + L * j + P::kSquare.order[l]] = lanes_out[l];
        }
    };
    for (lanes.t0 = 0; lanes.t0 < r.rows; lanes.t0 += L * kTiles) {
        if constexpr (bits == 8 && asym) {
            if (lanes.tops_exact()) {
                tile.template operator()<true>();
                continue;
            }
        }
        tile.template operator()<false>();
    }
}

// A register of each row a step; a whole line instead where a register is
// half of one and the rows lie a multiple of 2 KiB apart. Such rows share
// two sets of the L1 (4 KiB apart, one), so the tiles' 32 rows evicted each
// line before its second half was read. Zen 3, 4-bit rows, codes in cache:
// half lines took 1.09x the time of whole ones at 4096 columns and 1.26x at
// 8192; at 768, 3072 and 4160 columns whole lines took 1.02-1.03x.
// (Each step width its own function: both inlined in one ran 2-4 % slower.)
template <class P, uint32_t bits, bool asym, size_t S>
__attribute__((noinline)) void rows_dot_sums_by(const RowRun& r, const float* x, float* out) {
    EvenRows rows{r.codes, packed_len(r.cols, bits)};
    rows_dot_sums<P, bits, asym, S>(r, x, out, rows);
}

template <class P, uint32_t bits, bool asym>
void rows_dot_sums_of(const RowRun& r, const float* x, float* out) {
    if constexpr (constexpr size_t group = bits / std::gcd(bits, 32u); group > 1) {
        rows_dot_sums_by<P, bits, asym, group>(r, x, out);  // a step of several registers anyway
    } else if constexpr (P::kLineRegs > 1) {
        if (packed_len(r.cols, bits) % 2048 == 0) return rows_dot_sums_by<P, bits, asym, P::kLineRegs>(r, x, out);
        rows_dot_sums_by<P, bits, asym, 1>(r, x, out);
    } else {
        rows_dot_sums_by<P, bits, asym, 1>(r, x, out);
    }
}

#undef VELMAR_LANES_INLINE
#undef VELMAR_LANES_PRESSURE

}  // namespace lanes

// Rows of width bits in lanes, for the widths of the policy's set (each
// its own instantiation); false for the rest.
template <class P, bool asym, uint32_t... w>
bool rows_dot_sums_at(const RowRun& r, const float* x, float* out, std::integer_sequence<uint32_t, w...>) {
    return ((r.bits == w && (lanes::rows_dot_sums_of<P, w, asym>(r, x, out), true)) || ...);
}

// Symmetric rows of 4 bits, or 2 to 7 where the policy takes every width;
// false for the rest.
template <class P>
bool rows_dot_sym_lanes(const RowRun& r, const float* x, float* out) {
    if constexpr (P::kEveryWidth)
        return rows_dot_sums_at<P, false>(r, x, out, std::integer_sequence<uint32_t, 2, 3, 4, 5, 6, 7>{});
    else
        return rows_dot_sums_at<P, false>(r, x, out, std::integer_sequence<uint32_t, 4>{});
}

// Asymmetric rows as the level's asym_in_lanes says, of 4 and 8 bits or of
// every width to 8; false for the rest.
template <class P>
bool rows_dot_asym_lanes(const RowRun& r, const float* x, float* out) {
    if (!P::asym_in_lanes(r)) return false;
    if constexpr (P::kEveryWidth)
        return rows_dot_sums_at<P, true>(r, x, out, std::integer_sequence<uint32_t, 2, 3, 4, 5, 6, 7, 8>{});
    else
        return rows_dot_sums_at<P, true>(r, x, out, std::integer_sequence<uint32_t, 4, 8>{});
}

// Adaptive rows, decoded by D (see rows_dot_sums), where the level runs them
// in lanes; false for the rest.
template <class P, class D>
bool rows_dot_adaptive_lanes(const RowRun& r, const float* x, float* out, D& rows) {
    if (!P::adaptive_in_lanes(r)) return false;
    lanes::rows_dot_sums<P, 8, true, 1, true>(r, x, out, rows);
    return true;
}

// Blocks of 16, 32 or 64 codes; false for any other block, left to the tiles.
template <class P>
bool rows_dot_i8_lanes(const RowRun& r, const float* x, float* out) {
    switch (r.block) {
        case 16: lanes::rows_dot<P, 16>(r, x, out); return true;
        case 32: lanes::rows_dot<P, 32>(r, x, out); return true;
        case 64: lanes::rows_dot<P, 64>(r, x, out); return true;
        default: return false;
    }
}

}  // namespace
}  // namespace velmar::simd
