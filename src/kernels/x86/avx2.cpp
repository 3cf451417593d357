// Built with -mavx2 -mf16c; reached only when the CPU has both.
#if defined(__x86_64__)
#include <immintrin.h>

#include "kernels/superblock_fit.hpp"
#include "kernels/twin_deps.hpp"
#include "kernels/unit_tables.hpp"
#include "kernels/x86/rows.hpp"
#include "kernels/x86/rows_lanes.hpp"
#include "kernels/x86/sse_steps.hpp"

namespace velmar::simd {
namespace {

struct S {
    static constexpr size_t W = 8;
    static constexpr Level kLevel = Level::Avx2;
    static constexpr bool kHasF16 = true;
    static constexpr bool kIntAbsMax = true;
    static constexpr size_t kUnit = 8;   // codes per packed unit: one register
    static constexpr size_t kSpan = 16;  // bytes a unit's load or store may touch
    using F = __m256;
    using I = __m256i;
    using M = __m256;

    static F load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, F v) { _mm256_storeu_ps(p, v); }
    static F set1(float x) { return _mm256_set1_ps(x); }
    static F add(F a, F b) { return _mm256_add_ps(a, b); }
    static F sub(F a, F b) { return _mm256_sub_ps(a, b); }
    static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
    static F max(F a, F b) { return _mm256_max_ps(a, b); }
    static F min(F a, F b) { return _mm256_min_ps(a, b); }
    static F abs(F a) { return _mm256_and_ps(a, _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF))); }
    static F div(F a, F b) { return _mm256_div_ps(a, b); }
    static M isnan(F a) { return _mm256_cmp_ps(a, a, _CMP_UNORD_Q); }
    static M gt(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
    static M ge(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_GE_OQ); }
    static M le(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_LE_OQ); }
    static F select(M m, F a, F b) { return _mm256_blendv_ps(b, a, m); }
    template <size_t s>
    static F swap(F a) {
        if constexpr (s == 4) return _mm256_permute2f128_ps(a, a, 1);
        else return _mm256_permute_ps(a, s == 1 ? 0xB1 : 0x4E);
    }
    // Lane l of the result is lane idx[l] % W of v.
    static F permute(F v, I idx) { return _mm256_permutevar8x32_ps(v, idx); }
    // Step L of folding W registers into one (twin.inl's fold_tree): lane l
    // of x and of y come from the same register. Pairs within 128-bit
    // halves, then the halves, which leaves the registers in order.
    template <size_t L>
    static void unzip(F a, F b, F& x, F& y) {
        if constexpr (L < 2) {
            x = _mm256_shuffle_ps(a, b, 0x88);
            y = _mm256_shuffle_ps(a, b, 0xDD);
        } else {
            x = _mm256_permute2f128_ps(a, b, 0x20);
            y = _mm256_permute2f128_ps(a, b, 0x31);
        }
    }
    static __m256i first_lanes(size_t n) {
        return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    }
    static F load_n(const float* p, size_t n, float fill) {
        const __m256i m = first_lanes(n);
        return _mm256_blendv_ps(_mm256_set1_ps(fill), _mm256_maskload_ps(p, m), _mm256_castsi256_ps(m));
    }
    static void store_n(float* p, F v, size_t n) { _mm256_maskstore_ps(p, first_lanes(n), v); }
    static M mor(M a, M b) { return _mm256_or_ps(a, b); }
    static M mnone() { return _mm256_setzero_ps(); }
    static bool any(M m) { return _mm256_movemask_ps(m) != 0; }

    static float hmax(F v) {
        __m128 m = _mm_max_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
        m = _mm_max_ps(m, _mm_movehl_ps(m, m));
        m = _mm_max_ss(m, _mm_shuffle_ps(m, m, 1));
        return _mm_cvtss_f32(m);
    }
    static float hmin(F v) {
        __m128 m = _mm_min_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
        m = _mm_min_ps(m, _mm_movehl_ps(m, m));
        m = _mm_min_ss(m, _mm_shuffle_ps(m, m, 1));
        return _mm_cvtss_f32(m);
    }

    // Clamping first is exact (the bounds are integers and rounding is
    // monotonic) and keeps the sum below 2^23, where truncating
    // u + copysign(0.49999997, u) rounds half away from zero. min/max return
    // their second operand for NaN, so NaN passes to the final mask.
    static I code(F u, F qmin, F qmax) {
        const F c = _mm256_max_ps(qmin, _mm256_min_ps(qmax, u));
        const F sign = _mm256_and_ps(c, _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(0x80000000u))));
        const F half = _mm256_or_ps(sign, _mm256_set1_ps(0.49999997f));
        const I r = _mm256_cvttps_epi32(_mm256_add_ps(c, half));
        return _mm256_and_si256(r, _mm256_castps_si256(_mm256_cmp_ps(u, u, _CMP_ORD_Q)));
    }
    static __m128i bytes_of(I v) {
        const __m128i w = _mm_packs_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
        return _mm_packs_epi16(w, w);
    }
    static void store_i32(int32_t* p, I v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
    static I abs_bits(F a) { return _mm256_and_si256(_mm256_castps_si256(a), _mm256_set1_epi32(0x7FFFFFFF)); }
    static I max_u32(I a, I b) { return _mm256_max_epu32(a, b); }
    // Widths 8, 4 and 16 in lanes: the unit's codes as bytes, nibble pairs or
    // 16-bit integers.
    static void pack8(const I* c, uint8_t* p) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), bytes_of(c[0])); }
    static void unpack8(const uint8_t* p, I* c) {
        c[0] = _mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    }
    static void pack16(const I* c, uint8_t* p) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p),
                         _mm_packs_epi32(_mm256_castsi256_si128(c[0]), _mm256_extracti128_si256(c[0], 1)));
    }
    static void unpack16(const uint8_t* p, I* c) {
        c[0] = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    }
    static void pack4(const I* c, uint8_t* p) {
        const int32_t word = _mm_cvtsi128_si32(i8_to_nibbles(bytes_of(c[0])));
        __builtin_memcpy(p, &word, 4);
    }
    static void unpack4(const uint8_t* p, I* c) {
        int32_t word;
        __builtin_memcpy(&word, p, 4);
        c[0] = _mm256_cvtepi8_epi32(nibbles_to_i8(_mm_cvtsi32_si128(word)));
    }
    static F load_i8(const uint8_t* p) {
        return _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
    }
    static I loadi(const int32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static F as_float(I v) { return _mm256_castsi256_ps(v); }
    static I as_int(F v) { return _mm256_castps_si256(v); }
    static F to_float(I v) { return _mm256_cvtepi32_ps(v); }
    static I to_int(F v) { return _mm256_cvttps_epi32(v); }  // toward zero
    // Pairs and quads in each 128-bit half, then the two quads merged: w bytes,
    // zeros after them up to 16.
    static void pack(const I* c, uint32_t w, uint8_t* p) {
        const __m256i m = _mm256_and_si256(c[0], _mm256_set1_epi32(static_cast<int>((1u << w) - 1u)));
        const __m256i pairs = _mm256_or_si256(_mm256_and_si256(m, _mm256_set1_epi64x(0xFFFFFFFF)),
                                              _mm256_srl_epi64(m, shift_count(32 - w)));
        const __m256i quads =
            _mm256_or_si256(pairs, _mm256_sll_epi64(_mm256_bsrli_epi128(pairs, 8), shift_count(2 * w)));
        const __m128i y = _mm256_castsi256_si128(_mm256_permute4x64_epi64(quads, 0x08));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), merge_quads(y, w));
    }
    // An adaptive block of 32 codes of width 2..=8 in one pass: the codes
    // narrowed to bytes (they fit), then neighbours merged in lanes twice as
    // wide, the low code's w, 2w or 4w bits kept under a mask and the high
    // one's shifted down next to them; the groups of eight (w bytes each, two
    // to a 128-bit lane) closed up by a shuffle. Made once per width and call.
    static constexpr size_t kBlockUnit = 32;
    template <size_t kBits>
    static __m256i merge_next(__m256i x, __m256i low, __m128i k) {
        const __m256i high = kBits == 16 ? _mm256_srl_epi16(x, k) : kBits == 32 ? _mm256_srl_epi32(x, k) : _mm256_srl_epi64(x, k);
        return _mm256_or_si256(_mm256_and_si256(x, low), _mm256_andnot_si256(low, high));
    }
    // Widths 9..=16 too, for fixed-width streams: 16 codes at a time narrowed
    // to 16 bits, pairs merged in 32-bit lanes and quads in 64-bit ones, and
    // each 128-bit lane's two quads closed up into its group of w bytes.
    static constexpr uint32_t kBlockPackerBits = 16;
    struct BlockPacker {
        __m256i byte, pair, quad, group, close;  // byte: the 16-bit lanes' mask when wide
        __m128i pair_down, quad_down, group_down, group_up;
        __m256i pair_weights;  // 1 and 2^w: pairs of codes up to 14 bits merged by one multiply-add
        size_t half;  // bytes of the first 16 codes
        bool wide, by_madd;

        explicit BlockPacker(uint32_t w)
            : byte(w > 8 ? _mm256_set1_epi16(static_cast<short>((1u << w) - 1u))
                         : _mm256_set1_epi8(static_cast<char>((1u << w) - 1u))),
              pair(w > 8 ? _mm256_set1_epi32(static_cast<int>((1u << w) - 1u))
                         : _mm256_set1_epi16(static_cast<short>((1u << w) - 1u))),
              quad(w > 8 ? _mm256_set1_epi64x(static_cast<long long>((1ull << 2 * w) - 1u))
                         : _mm256_set1_epi32(static_cast<int>((1u << 2 * w) - 1u))),
              group(w > 8 ? _mm256_setzero_si256() : _mm256_set1_epi64x(static_cast<long long>((1ull << 4 * w) - 1u))),
              close(w > 8 ? _mm256_setzero_si256() : _mm256_load_si256(reinterpret_cast<const __m256i*>(kCloseUp.at[w]))),
              pair_down(shift_count(w > 8 ? 16 - w : 8 - w)),
              quad_down(shift_count(w > 8 ? 32 - 2 * w : 16 - 2 * w)),
              group_down(shift_count(w > 8 ? 64 - 4 * w : 32 - 4 * w)),
              group_up(shift_count(4 * w)),
              pair_weights(_mm256_set1_epi32(static_cast<int>(1u | (w <= 14 ? 1u << w : 0u) << 16))),
              half(2 * w),
              wide(w > 8),
              by_madd(w > 8 && w <= 14) {}

        // 16 codes of width 9..=16 at p: 2w bytes, zeros after them up to w + 16.
        void pack_wide(const I* c, uint8_t* p) const {
            const __m256i h = _mm256_permute4x64_epi64(_mm256_packs_epi32(c[0], c[1]), 0xD8);
            const __m256i m = _mm256_and_si256(h, byte);
            const __m256i pairs = by_madd ? _mm256_madd_epi16(m, pair_weights) : merge_next<32>(m, pair, pair_down);
            const __m256i quads = merge_next<64>(pairs, quad, quad_down);
            const __m256i groups = _mm256_or_si256(_mm256_blend_epi32(quads, _mm256_srl_epi64(quads, group_down), 0xCC),
                                                   _mm256_bsrli_epi128(_mm256_sll_epi64(quads, group_up), 8));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(groups));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p + half / 2), _mm256_extracti128_si256(groups, 1));
        }

        void pack(const I* c, uint8_t* p) const {
            if (wide) {
                pack_wide(c, p);
                return pack_wide(c + 2, p + half);
            }
            const __m256i b = _mm256_permutevar8x32_epi32(
                _mm256_packs_epi16(_mm256_packs_epi32(c[0], c[1]), _mm256_packs_epi32(c[2], c[3])),
                _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
            const __m256i pairs = merge_next<16>(_mm256_and_si256(b, byte), pair, pair_down);
            const __m256i groups = merge_next<64>(merge_next<32>(pairs, quad, quad_down), group, group_down);
            const __m256i out = _mm256_shuffle_epi8(groups, close);
            // The second half's store overwrites the zeros the first leaves after its 2w bytes.
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(out));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p + half), _mm256_extracti128_si256(out, 1));
        }
    };
    // The group's bytes in both halves; each lane takes the bytes of its code
    // and shifts it to the top, and an arithmetic shift brings it back down.
    static void unpack(const uint8_t* p, uint32_t w, I* c) {
        const UnitTable& t = kUnitTables[w];
        const __m256i g = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        const __m256i x = _mm256_sllv_epi32(_mm256_shuffle_epi8(g, _mm256_load_si256(reinterpret_cast<const __m256i*>(t.ctrl))),
                                            _mm256_load_si256(reinterpret_cast<const __m256i*>(t.shl)));
        c[0] = _mm256_sra_epi32(x, shift_count(32 - w));
    }
    static F load_i32(const int32_t* p) {
        return _mm256_cvtepi32_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
    }
    static void transpose(F* r) {
        const F t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
        const F t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
        const F t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
        const F t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
        const F u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
        const F u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
        const F u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
        const F u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
        r[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
        r[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
        r[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
        r[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
        r[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
        r[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
        r[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
        r[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
    }
    static void widen_f16(const uint16_t* in, float* out) {
        _mm256_storeu_ps(out, _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in))));
    }
    static void narrow_f16(const float* in, uint16_t* out) {
        const __m128i h = _mm256_cvtps_ph(_mm256_loadu_ps(in), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), h);
    }
    // The row kernels' byte steps (kernels/rows.inl).
    static void transpose_bytes(const uint8_t* p, size_t stride, uint8_t* out) { transpose16<Ymm>(p, stride, out); }
    static void nibbles_to_bytes(const uint8_t* in, uint8_t* out) { nibbles_to_bytes_wide<Ymm>(in, out); }
    static constexpr bool kUnpackBits = true;
    static void unpack_bits(const uint8_t* in, uint32_t w, uint8_t* out) { unpack_bits16(in, w, out); }
    static bool rows_dot_i8_lanes(const RowRun& r, const float* x, float* out) { return simd::rows_dot_i8_lanes<lanes::Ymm8>(r, x, out); }
    static bool rows_dot_sym_lanes(const RowRun& r, const float* x, float* out) { return simd::rows_dot_sym_lanes<lanes::Ymm8>(r, x, out); }
    static bool rows_dot_asym_lanes(const RowRun& r, const float* x, float* out) { return simd::rows_dot_asym_lanes<lanes::Ymm8>(r, x, out); }
    template <class D>
    static bool rows_dot_adaptive_lanes(const RowRun& r, const float* x, float* out, D& rows) {
        return simd::rows_dot_adaptive_lanes<lanes::Ymm8>(r, x, out, rows);
    }
};

#include "kernels/twin.inl"

}  // namespace

const Kernels& avx2_kernels() { return kTable; }

}  // namespace velmar::simd
#endif
