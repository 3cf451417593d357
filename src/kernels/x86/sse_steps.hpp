#pragma once
// The SSE2 register steps the x86 twins share: 4-bit nibbles, and the
// shift-and-merge ladder between 32-bit code lanes and a w-bit stream, where
// eight codes fill exactly w bytes. Shift counts live in registers, so one
// body serves every width. Included by each twin and compiled with its flags;
// internal linkage, as in twin.inl.
#include <emmintrin.h>

#include <cstdint>

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

inline __m128i shift_count(uint32_t n) { return _mm_cvtsi32_si128(static_cast<int>(n)); }

// Four codes of w bits (already masked to w bits) in 32-bit lanes: the low 64
// bits of the result hold them packed (4w bits), first code lowest.
inline __m128i quad_of(__m128i m, uint32_t w) {
    const __m128i pairs =
        _mm_or_si128(_mm_and_si128(m, _mm_set_epi32(0, -1, 0, -1)), _mm_srl_epi64(m, shift_count(32 - w)));
    return _mm_or_si128(pairs, _mm_sll_epi64(_mm_srli_si128(pairs, 8), shift_count(2 * w)));
}

// Two packed quads in the 64-bit lanes of y: the group of eight codes, 8w
// bits from bit 0, zero above.
// bits = 4w and 64 - 4w as shift counts.
inline __m128i merge_quads(__m128i y, __m128i bits, __m128i rest) {
    const __m128i up = _mm_sll_epi64(y, bits);     // 4w = 64 shifts everything out
    const __m128i down = _mm_srl_epi64(y, rest);   // quad 0 has nothing left here
    const __m128d keep_low = _mm_move_sd(_mm_castsi128_pd(down), _mm_castsi128_pd(y));
    return _mm_or_si128(_mm_castpd_si128(keep_low), _mm_srli_si128(up, 8));
}
inline __m128i merge_quads(__m128i y, uint32_t w) { return merge_quads(y, shift_count(4 * w), shift_count(64 - 4 * w)); }

// The reverse: a group's 8w bits split into its two quads, one per 64-bit
// lane, each with later bits above its own 4w.
inline __m128i split_group(__m128i g, uint32_t w) {
    const __m128i high = _mm_or_si128(_mm_srl_epi64(g, shift_count(4 * w)),
                                      _mm_sll_epi64(_mm_srli_si128(g, 8), shift_count(64 - 4 * w)));
    return _mm_unpacklo_epi64(g, high);
}

// Two pairs of codes, one per 64-bit lane at its bottom (2w bits, anything
// above): the four codes sign-extended in 32-bit lanes.
inline __m128i codes_of_pairs(__m128i r, uint32_t w) {
    const __m128i spread = _mm_or_si128(_mm_and_si128(r, _mm_set_epi32(0, -1, 0, -1)),
                                        _mm_sll_epi64(r, shift_count(32 - w)));
    const __m128i top = shift_count(32 - w);
    return _mm_sra_epi32(_mm_sll_epi32(spread, top), top);
}

}  // namespace
}  // namespace velmar::simd
