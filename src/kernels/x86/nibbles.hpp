#pragma once
// The 4-bit steps the x86 twins share, on SSE2 registers. Included by each
// twin and compiled with its flags; internal linkage, as in twin.inl.
#include <emmintrin.h>

namespace velmar::simd {
namespace {

// Signed bytes from the nibbles of the low bytes of b, low nibble first: the
// 4-bit decode in lanes.
inline __m128i nibbles_to_i8(__m128i b) {
    const __m128i m = _mm_set1_epi8(0x0F);
    const __m128i lo = _mm_and_si128(b, m);
    const __m128i hi = _mm_and_si128(_mm_srli_epi16(b, 4), m);
    const __m128i eight = _mm_set1_epi8(8);
    return _mm_sub_epi8(_mm_xor_si128(_mm_unpacklo_epi8(lo, hi), eight), eight);
}

// Byte pairs of b packed into nibble bytes (the low nibble first), in the low
// half of the result: the 4-bit stream layout in lanes.
inline __m128i i8_to_nibbles(__m128i b) {
    const __m128i lo = _mm_and_si128(b, _mm_set1_epi16(0x000F));
    const __m128i hi = _mm_and_si128(_mm_srli_epi16(b, 4), _mm_set1_epi16(0x00F0));
    return _mm_packus_epi16(_mm_or_si128(lo, hi), _mm_setzero_si128());
}

}  // namespace
}  // namespace velmar::simd
