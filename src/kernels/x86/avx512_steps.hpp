#pragma once
// The AVX-512 (F, BW, VL) register steps of the twin bodies, shared by the
// AVX-512 levels: each level's file derives its S from them, adding its level
// and what it does differently. Compiled with each including file's flags;
// internal linkage, as in twin.inl.
#include <immintrin.h>

#include "kernels/superblock_fit.hpp"
#include "kernels/twin_deps.hpp"
#include "kernels/unit_tables.hpp"
#include "kernels/x86/rows.hpp"
#include "kernels/x86/rows_lanes.hpp"
#include "kernels/x86/sse_steps.hpp"

namespace velmar::simd {
namespace {

struct Avx512Steps {
    static constexpr size_t W = 16;
    static constexpr bool kHasF16 = true;
    static constexpr bool kIntAbsMax = true;
    static constexpr size_t kUnit = 16;  // codes per packed unit: one register, two groups
    static constexpr size_t kSpan = 32;  // bytes a unit's load or store may touch
    using F = __m512;
    using I = __m512i;
    using M = __mmask16;

    static F load(const float* p) { return _mm512_loadu_ps(p); }
    static void store(float* p, F v) { _mm512_storeu_ps(p, v); }
    static F set1(float x) { return _mm512_set1_ps(x); }
    static F add(F a, F b) { return _mm512_add_ps(a, b); }
    static F sub(F a, F b) { return _mm512_sub_ps(a, b); }
    static F mul(F a, F b) { return _mm512_mul_ps(a, b); }
    static F max(F a, F b) { return _mm512_max_ps(a, b); }
    static F min(F a, F b) { return _mm512_min_ps(a, b); }
    static F abs(F a) { return _mm512_castsi512_ps(_mm512_and_si512(_mm512_castps_si512(a), _mm512_set1_epi32(0x7FFFFFFF))); }
    static F div(F a, F b) { return _mm512_div_ps(a, b); }
    static M isnan(F a) { return _mm512_cmp_ps_mask(a, a, _CMP_UNORD_Q); }
    static M gt(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_GT_OQ); }
    static M ge(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_GE_OQ); }
    static M le(F a, F b) { return _mm512_cmp_ps_mask(a, b, _CMP_LE_OQ); }
    static F select(M m, F a, F b) { return _mm512_mask_blend_ps(m, b, a); }
    template <size_t s>
    static F swap(F a) {
        if constexpr (s == 8) return _mm512_shuffle_f32x4(a, a, 0x4E);
        else if constexpr (s == 4) return _mm512_shuffle_f32x4(a, a, 0xB1);
        else return _mm512_permute_ps(a, s == 1 ? 0xB1 : 0x4E);
    }
    // Lane l of the result is lane idx[l] % W of v.
    static F permute(F v, I idx) { return _mm512_permutexvar_ps(idx, v); }
    // Step L of folding W registers into one (twin.inl's fold_tree): lane l
    // of x and of y come from the same register. Quarters first, then lanes
    // within them; the last step puts the registers in order.
    template <size_t L>
    static void unzip(F a, F b, F& x, F& y) {
        if constexpr (L == 0) {
            x = _mm512_shuffle_f32x4(a, b, 0x44);
            y = _mm512_shuffle_f32x4(a, b, 0xEE);
        } else if constexpr (L == 1) {
            x = _mm512_shuffle_f32x4(a, b, 0x88);
            y = _mm512_shuffle_f32x4(a, b, 0xDD);
        } else if constexpr (L == 2) {
            x = _mm512_shuffle_ps(a, b, 0x44);
            y = _mm512_shuffle_ps(a, b, 0xEE);
        } else {
            const __m512i first = _mm512_setr_epi32(0, 4, 8, 12, 2, 6, 10, 14, 16, 20, 24, 28, 18, 22, 26, 30);
            x = _mm512_permutex2var_ps(a, first, b);
            y = _mm512_permutex2var_ps(a, _mm512_add_epi32(first, _mm512_set1_epi32(1)), b);
        }
    }
    static __mmask16 first_lanes(size_t n) { return static_cast<__mmask16>((1u << n) - 1u); }
    static F load_n(const float* p, size_t n, float fill) {
        return _mm512_mask_loadu_ps(_mm512_set1_ps(fill), first_lanes(n), p);
    }
    static void store_n(float* p, F v, size_t n) { _mm512_mask_storeu_ps(p, first_lanes(n), v); }
    static M mor(M a, M b) { return static_cast<M>(a | b); }
    static M mnone() { return 0; }
    static bool any(M m) { return m != 0; }
    static float hmax(F v) { return _mm512_reduce_max_ps(v); }
    static float hmin(F v) { return _mm512_reduce_min_ps(v); }

    // See the AVX2 twin for why clamp-then-truncate rounds exactly. The sign
    // merge is one ternary-logic op and the NaN mask rides on the conversion.
    static I code(F u, F qmin, F qmax) {
        const F c = _mm512_max_ps(qmin, _mm512_min_ps(qmax, u));
        const I half = _mm512_ternarylogic_epi32(_mm512_castps_si512(c), _mm512_set1_epi32(static_cast<int>(0x80000000u)),
                                                 _mm512_castps_si512(_mm512_set1_ps(0.49999997f)), 0xEA);  // (a & b) | c
        return _mm512_maskz_cvttps_epi32(_mm512_cmp_ps_mask(u, u, _CMP_ORD_Q),
                                         _mm512_add_ps(c, _mm512_castsi512_ps(half)));
    }
    static void store_i32(int32_t* p, I v) { _mm512_storeu_si512(p, v); }
    static I abs_bits(F a) { return _mm512_and_si512(_mm512_castps_si512(a), _mm512_set1_epi32(0x7FFFFFFF)); }
    static I max_u32(I a, I b) { return _mm512_max_epu32(a, b); }
    // Widths 8, 4 and 16 in lanes: the unit's codes as bytes, nibble pairs or
    // 16-bit integers.
    static void pack8(const I* c, uint8_t* p) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm512_cvtsepi32_epi8(c[0]));
    }
    static void unpack8(const uint8_t* p, I* c) {
        c[0] = _mm512_cvtepi8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    }
    static void pack16(const I* c, uint8_t* p) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm512_cvtsepi32_epi16(c[0]));
    }
    static void unpack16(const uint8_t* p, I* c) {
        c[0] = _mm512_cvtepi16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
    }
    // Codes 2k and 2k+1 share a 64-bit lane: the odd code shifted down to bit
    // 4 and merged under a nibble mask leaves the packed byte at the bottom.
    static void pack4(const I* c, uint8_t* p) {
        const __m512i merged = _mm512_ternarylogic_epi64(c[0], _mm512_srli_epi64(c[0], 28), _mm512_set1_epi64(0x0F),
                                                         0xE4);  // c ? a : b
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm512_cvtepi64_epi8(merged));
    }
    static void unpack4(const uint8_t* p, I* c) {
        c[0] = _mm512_cvtepi8_epi32(nibbles_to_i8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
    }
    static F load_i8(const uint8_t* p) {
        return _mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
    }
    static I loadi(const int32_t* p) { return _mm512_loadu_si512(p); }
    static F as_float(I v) { return _mm512_castsi512_ps(v); }
    static I as_int(F v) { return _mm512_castps_si512(v); }
    static F to_float(I v) { return _mm512_cvtepi32_ps(v); }
    static I to_int(F v) { return _mm512_cvttps_epi32(v); }  // toward zero
    // Pairs and quads in each 128-bit lane, the four quads gathered into two
    // groups of w bytes, zeros after them up to 32.
    static void pack(const I* c, uint32_t w, uint8_t* p) {
        const __m512i m = _mm512_and_si512(c[0], _mm512_set1_epi32(static_cast<int>((1u << w) - 1u)));
        const __m512i pairs = _mm512_ternarylogic_epi64(m, _mm512_srl_epi64(m, shift_count(32 - w)),
                                                        _mm512_set1_epi64(0xFFFFFFFF), 0xEC);  // (a & c) | b
        const __m512i quads =
            _mm512_or_si512(pairs, _mm512_sll_epi64(_mm512_bsrli_epi128(pairs, 8), shift_count(2 * w)));
        const __m256i y =
            _mm512_castsi512_si256(_mm512_permutexvar_epi64(_mm512_setr_epi64(0, 2, 4, 6, 0, 2, 4, 6), quads));
        const __m256i up = _mm256_sll_epi64(y, shift_count(4 * w));
        const __m256i down = _mm256_srl_epi64(y, shift_count(64 - 4 * w));
        const __m256i groups = _mm256_or_si256(_mm256_blend_epi32(down, y, 0x33), _mm256_bsrli_epi128(up, 8));
        // The second group's store overwrites the zeros the first leaves after its w bytes.
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(groups));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + w), _mm256_extracti128_si256(groups, 1));
    }
    // An adaptive block of 32 codes of width 2..=8 in one step: the codes
    // narrowed to bytes, and each qword's eight w-bit fields gathered by a
    // scalar bit extract (BMI2, which every AVX-512 CPU has), leaving the
    // vector units to the quantizers' arithmetic. Every width alike, so
    // blocks of mixed widths too.
    static constexpr size_t kBlockUnit = 32;
    // Widths 9..=16 too, for fixed-width streams, as in the AVX2 twin: 32
    // codes narrowed to 16 bits, pairs merged in 32-bit lanes and quads in
    // 64-bit ones, and each 128-bit lane's two quads closed up into its group
    // of w bytes.
    static constexpr uint32_t kBlockPackerBits = 16;
    struct BlockPacker {
        __m512i low;  // wide: the 16-bit lanes' mask
        __m512i wide_pair, wide_quad;
        __m128i down, quad_down, group_down, group_up;
        uint64_t fields;  // narrow: the low w bits of each byte
        uint32_t w;
        bool wide;

        explicit BlockPacker(uint32_t bits)
            : low(_mm512_set1_epi16(static_cast<short>((1u << bits) - 1u))),
              wide_pair(_mm512_set1_epi32(static_cast<int>((1u << bits) - 1u))),
              wide_quad(_mm512_set1_epi64(static_cast<long long>((1ull << 2 * bits) - 1u))),
              down(shift_count(16 - bits)),
              quad_down(shift_count(32 - 2 * bits)),
              group_down(shift_count(64 - 4 * bits)),
              group_up(shift_count(4 * bits)),
              fields(0x0101010101010101ull * ((1u << bits) - 1u)),
              w(bits),
              wide(bits > 8) {}

        void pack_wide(const I* c, uint8_t* p) const {
            const __m512i h = _mm512_permutexvar_epi64(_mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7), _mm512_packs_epi32(c[0], c[1]));
            const __m512i m = _mm512_and_si512(h, low);
            const __m512i pairs = _mm512_ternarylogic_epi32(wide_pair, m, _mm512_srl_epi32(m, down), 0xCA);  // a ? b : c
            const __m512i quads = _mm512_ternarylogic_epi64(wide_quad, pairs, _mm512_srl_epi64(pairs, quad_down), 0xCA);
            const __m512i groups = _mm512_or_si512(_mm512_mask_blend_epi64(0xAA, quads, _mm512_srl_epi64(quads, group_down)),
                                                   _mm512_bsrli_epi128(_mm512_sll_epi64(quads, group_up), 8));
            // Each store overwrites the zeros the one before leaves after its w bytes.
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm512_castsi512_si128(groups));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p + w), _mm512_extracti32x4_epi32(groups, 1));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 2 * w), _mm512_extracti32x4_epi32(groups, 2));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 3 * w), _mm512_extracti32x4_epi32(groups, 3));
        }

        void pack(const I* c, uint8_t* p) const {
            if (wide) return pack_wide(c, p);
            pack_fields(c, fields, w, p);
        }
    };
    // 32 codes of w bits (2..=8) from two registers by bit extracts, `fields`
    // the low w bits of each byte: each group of eight's w bytes stored after
    // the one before, whose zeros past its own bytes they overwrite.
    __attribute__((always_inline)) static void pack_fields(const I* c, uint64_t fields, uint32_t w, uint8_t* p) {
        alignas(32) uint64_t q[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(q), _mm512_cvtepi32_epi8(c[0]));
        _mm_store_si128(reinterpret_cast<__m128i*>(q + 2), _mm512_cvtepi32_epi8(c[1]));
        for (size_t k = 0; k < 4; ++k) {
            const uint64_t v = _pext_u64(q[k], fields);
            __builtin_memcpy(p + k * w, &v, 8);
        }
    }
    // Each group's bytes in two 128-bit lanes; then as in the AVX2 twin.
    static void unpack(const uint8_t* p, uint32_t w, I* c) {
        const UnitTable& t = kUnitTables[w];
        const __m256i g0 = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        const __m256i g1 = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + w)));
        const __m512i g = _mm512_inserti64x4(_mm512_castsi256_si512(g0), g1, 1);
        const __m512i ctrl = _mm512_broadcast_i64x4(_mm256_load_si256(reinterpret_cast<const __m256i*>(t.ctrl)));
        const __m512i shl = _mm512_broadcast_i64x4(_mm256_load_si256(reinterpret_cast<const __m256i*>(t.shl)));
        c[0] = _mm512_sra_epi32(_mm512_sllv_epi32(_mm512_shuffle_epi8(g, ctrl), shl), shift_count(32 - w));
    }
    static F load_i32(const int32_t* p) { return _mm512_cvtepi32_ps(_mm512_loadu_si512(p)); }
    // In registers: element pairs, then 4x4 blocks within 128-bit lanes, then
    // the lanes themselves (a gather from memory costs several times more).
    static void transpose(F* r) {
        F t[W];
        for (size_t k = 0; k < W; k += 2) {
            t[k] = _mm512_unpacklo_ps(r[k], r[k + 1]);
            t[k + 1] = _mm512_unpackhi_ps(r[k], r[k + 1]);
        }
        // u[4m + p] holds, in lane l, column 4l + p of rows 4m..4m+3.
        F u[W];
        for (size_t m = 0; m < W; m += 4) {
            u[m] = _mm512_shuffle_ps(t[m], t[m + 2], 0x44);
            u[m + 1] = _mm512_shuffle_ps(t[m], t[m + 2], 0xEE);
            u[m + 2] = _mm512_shuffle_ps(t[m + 1], t[m + 3], 0x44);
            u[m + 3] = _mm512_shuffle_ps(t[m + 1], t[m + 3], 0xEE);
        }
        for (size_t p = 0; p < 4; ++p) {
            const F e0 = _mm512_shuffle_f32x4(u[p], u[4 + p], 0x44);
            const F e1 = _mm512_shuffle_f32x4(u[p], u[4 + p], 0xEE);
            const F e2 = _mm512_shuffle_f32x4(u[8 + p], u[12 + p], 0x44);
            const F e3 = _mm512_shuffle_f32x4(u[8 + p], u[12 + p], 0xEE);
            r[p] = _mm512_shuffle_f32x4(e0, e2, 0x88);
            r[4 + p] = _mm512_shuffle_f32x4(e0, e2, 0xDD);
            r[8 + p] = _mm512_shuffle_f32x4(e1, e3, 0x88);
            r[12 + p] = _mm512_shuffle_f32x4(e1, e3, 0xDD);
        }
    }
    static void widen_f16(const uint16_t* in, float* out) {
        _mm512_storeu_ps(out, _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in))));
    }
    static void narrow_f16(const float* in, uint16_t* out) {
        const __m256i h = _mm512_cvtps_ph(_mm512_loadu_ps(in), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), h);
    }
    // The row kernels' byte steps (kernels/rows.inl).
    static void transpose_bytes(const uint8_t* p, size_t stride, uint8_t* out) { transpose16<Zmm>(p, stride, out); }
    static void nibbles_to_bytes(const uint8_t* in, uint8_t* out) { nibbles_to_bytes_wide<Zmm>(in, out); }
    static constexpr bool kUnpackBits = true;
    static void unpack_bits(const uint8_t* in, uint32_t w, uint8_t* out) { unpack_bits16(in, w, out); }
    static bool rows_dot_i8_lanes(const RowRun& r, const float* x, float* out) { return simd::rows_dot_i8_lanes<lanes::Zmm16>(r, x, out); }
    static bool rows_dot_sym_lanes(const RowRun& r, const float* x, float* out) { return simd::rows_dot_sym_lanes<lanes::Zmm16>(r, x, out); }
    static bool rows_dot_asym_lanes(const RowRun& r, const float* x, float* out) { return simd::rows_dot_asym_lanes<lanes::Zmm16>(r, x, out); }
    template <class D>
    static bool rows_dot_adaptive_lanes(const RowRun& r, const float* x, float* out, D& rows) {
        return simd::rows_dot_adaptive_lanes<lanes::Zmm16>(r, x, out, rows);
    }
};

}  // namespace
}  // namespace velmar::simd
