// The x86-64 baseline: SSE2 only, so it runs on every x86-64 CPU.
#if defined(__x86_64__)
#include <emmintrin.h>

#include "kernels/twin_deps.hpp"
#include "kernels/x86/rows.hpp"

namespace velmar::simd {
namespace {

struct S {
    static constexpr size_t W = 4;
    static constexpr Level kLevel = Level::Sse2;
    static constexpr bool kHasF16 = false;
    static constexpr bool kIntAbsMax = false;  // no unsigned 32-bit maximum before SSE4.1
    using F = __m128;
    using I = __m128i;
    using M = __m128;

    static F load(const float* p) { return _mm_loadu_ps(p); }
    static void store(float* p, F v) { _mm_storeu_ps(p, v); }
    static F set1(float x) { return _mm_set1_ps(x); }
    static F add(F a, F b) { return _mm_add_ps(a, b); }
    static F sub(F a, F b) { return _mm_sub_ps(a, b); }
    static F mul(F a, F b) { return _mm_mul_ps(a, b); }
    static F max(F a, F b) { return _mm_max_ps(a, b); }
    static F min(F a, F b) { return _mm_min_ps(a, b); }
    static F abs(F a) { return _mm_and_ps(a, _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF))); }
    static M isnan(F a) { return _mm_cmpunord_ps(a, a); }
    static M mor(M a, M b) { return _mm_or_ps(a, b); }
    static M mnone() { return _mm_setzero_ps(); }
    static bool any(M m) { return _mm_movemask_ps(m) != 0; }

    static float hmax(F m) {
        m = _mm_max_ps(m, _mm_movehl_ps(m, m));
        m = _mm_max_ss(m, _mm_shuffle_ps(m, m, 1));
        return _mm_cvtss_f32(m);
    }
    static float hmin(F m) {
        m = _mm_min_ps(m, _mm_movehl_ps(m, m));
        m = _mm_min_ss(m, _mm_shuffle_ps(m, m, 1));
        return _mm_cvtss_f32(m);
    }

    // See the AVX2 twin for why clamp-then-truncate rounds exactly.
    static I code(F u, F qmin, F qmax) {
        const F c = _mm_max_ps(qmin, _mm_min_ps(qmax, u));
        const F sign = _mm_and_ps(c, _mm_castsi128_ps(_mm_set1_epi32(static_cast<int>(0x80000000u))));
        const I r = _mm_cvttps_epi32(_mm_add_ps(c, _mm_or_ps(sign, _mm_set1_ps(0.49999997f))));
        return _mm_and_si128(r, _mm_castps_si128(_mm_cmpord_ps(u, u)));
    }
    static __m128i bytes_of(I v) {
        const __m128i w = _mm_packs_epi32(v, v);
        return _mm_packs_epi16(w, w);
    }
    static void store_i32(int32_t* p, I v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
    static void store_i8(uint8_t* p, I v) {
        const int32_t word = _mm_cvtsi128_si32(bytes_of(v));
        __builtin_memcpy(p, &word, 4);
    }
    static void store_i8x4(uint8_t* p, I a, I b, I c, I d) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_packs_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d)));
    }
    static I abs_bits(F) { return _mm_setzero_si128(); }
    static I max_u32(I a, I) { return a; }
    static uint32_t hmax_u32(I) { return 0; }
    static void store_i4(uint8_t* p, I v) {
        const int32_t word = _mm_cvtsi128_si32(i8_to_nibbles(bytes_of(v)));
        __builtin_memcpy(p, &word, 2);
    }
    static I widen_bytes(__m128i b) {
        const __m128i t = _mm_unpacklo_epi8(b, b);
        return _mm_srai_epi32(_mm_unpacklo_epi16(t, t), 24);
    }
    static F load_i8(const uint8_t* p) {
        int32_t word;
        __builtin_memcpy(&word, p, 4);
        return _mm_cvtepi32_ps(widen_bytes(_mm_cvtsi32_si128(word)));
    }
    static F load_i4(const uint8_t* p) {
        uint16_t half;
        __builtin_memcpy(&half, p, 2);
        return _mm_cvtepi32_ps(widen_bytes(nibbles_to_i8(_mm_cvtsi32_si128(half))));
    }
    static F load_i32(const int32_t* p) {
        return _mm_cvtepi32_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    }
    static void transpose(F* r) { _MM_TRANSPOSE4_PS(r[0], r[1], r[2], r[3]); }
    static void widen_f16(const uint16_t*, float*) {}
    static void narrow_f16(const float*, uint16_t*) {}
    // The row kernels' byte steps (kernels/rows.inl); no byte shuffle before
    // SSSE3, so codes of other widths are unpacked one by one.
    static void transpose_bytes(const uint8_t* p, size_t stride, uint8_t* out) { transpose16<Xmm>(p, stride, out); }
    static void nibbles_to_bytes(const uint8_t* in, uint8_t* out) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), nibbles_to_i8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in))));
    }
    static constexpr bool kUnpackBits = false;
    static void unpack_bits(const uint8_t*, uint32_t, uint8_t*) {}
};

#include "kernels/twin.inl"

}  // namespace

const Kernels& sse2_kernels() { return kTable; }

}  // namespace velmar::simd
#endif
