// Built with -mavx2 -mf16c; reached only when the CPU has both.
#if defined(__x86_64__)
#include <immintrin.h>

#include "kernels/twin_deps.hpp"
#include "kernels/x86/rows.hpp"

namespace velmar::simd {
namespace {

struct S {
    static constexpr size_t W = 8;
    static constexpr Level kLevel = Level::Avx2;
    static constexpr bool kHasF16 = true;
    static constexpr bool kIntAbsMax = true;
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
    static M isnan(F a) { return _mm256_cmp_ps(a, a, _CMP_UNORD_Q); }
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
    static void store_i8(uint8_t* p, I v) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), bytes_of(v)); }
    static void store_i8x4(uint8_t* p, I a, I b, I c, I d) {
        // In-lane packs interleave 128-bit halves; the permute restores order.
        const __m256i ab = _mm256_packs_epi32(a, b);
        const __m256i cd = _mm256_packs_epi32(c, d);
        const __m256i abcd = _mm256_packs_epi16(ab, cd);
        const __m256i ordered = _mm256_permutevar8x32_epi32(abcd, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), ordered);
    }
    static I abs_bits(F a) { return _mm256_and_si256(_mm256_castps_si256(a), _mm256_set1_epi32(0x7FFFFFFF)); }
    static I max_u32(I a, I b) { return _mm256_max_epu32(a, b); }
    static uint32_t hmax_u32(I v) {
        __m128i m = _mm_max_epu32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
        m = _mm_max_epu32(m, _mm_shuffle_epi32(m, 0x4E));
        m = _mm_max_epu32(m, _mm_shuffle_epi32(m, 0xB1));
        return static_cast<uint32_t>(_mm_cvtsi128_si32(m));
    }
    static void store_i4(uint8_t* p, I v) {
        const int32_t word = _mm_cvtsi128_si32(i8_to_nibbles(bytes_of(v)));
        __builtin_memcpy(p, &word, 4);
    }
    static F load_i8(const uint8_t* p) {
        return _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
    }
    static F load_i4(const uint8_t* p) {
        int32_t word;
        __builtin_memcpy(&word, p, 4);
        return _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(nibbles_to_i8(_mm_cvtsi32_si128(word))));
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
};

#include "kernels/twin.inl"

}  // namespace

const Kernels& avx2_kernels() { return kTable; }

}  // namespace velmar::simd
#endif
