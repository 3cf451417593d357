#pragma once
// The row kernels' byte steps the x86 twins share: a 16-row byte transpose on
// registers of any width, and the unpacking of packed codes to bytes.
// Included by each twin and compiled with its flags; internal linkage, as in
// twin.inl.
#include <immintrin.h>

#include "kernels/x86/sse_steps.hpp"

namespace velmar::simd {
namespace {

// Register types for transpose16: load/store of kBytes, and the interleave of
// the low or high halves of each 128-bit lane at an element size.
struct Xmm {
    using T = __m128i;
    static constexpr size_t kBytes = 16;
    static T load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
    static void store(uint8_t* p, T v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
    template <size_t kSize, bool kHigh>
    static T unpack(T a, T b) {
        if constexpr (kSize == 1) return kHigh ? _mm_unpackhi_epi8(a, b) : _mm_unpacklo_epi8(a, b);
        if constexpr (kSize == 2) return kHigh ? _mm_unpackhi_epi16(a, b) : _mm_unpacklo_epi16(a, b);
        if constexpr (kSize == 4) return kHigh ? _mm_unpackhi_epi32(a, b) : _mm_unpacklo_epi32(a, b);
        return kHigh ? _mm_unpackhi_epi64(a, b) : _mm_unpacklo_epi64(a, b);
    }
};

#if defined(__AVX2__)
struct Ymm {
    using T = __m256i;
    static constexpr size_t kBytes = 32;
    static T load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static void store(uint8_t* p, T v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
    template <size_t kSize, bool kHigh>
    static T unpack(T a, T b) {
        if constexpr (kSize == 1) return kHigh ? _mm256_unpackhi_epi8(a, b) : _mm256_unpacklo_epi8(a, b);
        if constexpr (kSize == 2) return kHigh ? _mm256_unpackhi_epi16(a, b) : _mm256_unpacklo_epi16(a, b);
        if constexpr (kSize == 4) return kHigh ? _mm256_unpackhi_epi32(a, b) : _mm256_unpacklo_epi32(a, b);
        return kHigh ? _mm256_unpackhi_epi64(a, b) : _mm256_unpacklo_epi64(a, b);
    }
};
#endif

#if defined(__AVX512BW__)
struct Zmm {
    using T = __m512i;
    static constexpr size_t kBytes = 64;
    static T load(const uint8_t* p) { return _mm512_loadu_si512(p); }
    static void store(uint8_t* p, T v) { _mm512_storeu_si512(p, v); }
    template <size_t kSize, bool kHigh>
    static T unpack(T a, T b) {
        if constexpr (kSize == 1) return kHigh ? _mm512_unpackhi_epi8(a, b) : _mm512_unpacklo_epi8(a, b);
        if constexpr (kSize == 2) return kHigh ? _mm512_unpackhi_epi16(a, b) : _mm512_unpacklo_epi16(a, b);
        if constexpr (kSize == 4) return kHigh ? _mm512_unpackhi_epi32(a, b) : _mm512_unpacklo_epi32(a, b);
        return kHigh ? _mm512_unpackhi_epi64(a, b) : _mm512_unpacklo_epi64(a, b);
    }
};
#endif

// 16 rows of V::kBytes bytes (row r at p + r * stride) to columns: each
// 128-bit lane is a 16 x 16 transpose, four interleave stages pairing
// registers d apart in place (d = 1, 2, 4, 8, elements of 1, 2, 4, 8 bytes),
// which leaves column bitrev(k) in register k with its rows in order. The
// register of column c, stored at out + c * kBytes, holds column 16 * lane + c
// in each of its lanes.
template <class V>
inline __attribute__((always_inline)) void transpose16(const uint8_t* p, size_t stride, uint8_t* out) {
    constexpr uint8_t kBitrev[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    typename V::T r[16];
    for (size_t i = 0; i < 16; ++i) r[i] = V::load(p + i * stride);
    const auto stage = [&]<size_t kSize, size_t d>() {
        for (size_t i = 0; i < 16; ++i) {
            if (i / d % 2 != 0) continue;
            const typename V::T lo = V::template unpack<kSize, false>(r[i], r[i + d]);
            r[i + d] = V::template unpack<kSize, true>(r[i], r[i + d]);
            r[i] = lo;
        }
    };
    stage.template operator()<1, 1>();
    stage.template operator()<2, 2>();
    stage.template operator()<4, 4>();
    stage.template operator()<8, 8>();
    for (size_t k = 0; k < 16; ++k) V::store(out + kBitrev[k] * V::kBytes, r[k]);
}

#if defined(__AVX2__)
// Code j of 16 of width w (2..8) lies in the 16-bit window of bytes
// (j * w / 8, j * w / 8 + 1) at bit (j * w) % 8: gathering each window into a
// word, multiplying it up to the word's top and shifting it down again
// arithmetically sign-extends the code. Per width: the byte indices (both
// 128-bit lanes see the same 16 bytes: codes 0..7 in the low lane, 8..15 in
// the high one; 0x80 clears a byte no code needs) and the multipliers.
struct BitTables {
    alignas(32) uint8_t index[9][32];
    alignas(32) uint16_t mul[9][16];
};

constexpr BitTables make_bit_tables() {
    BitTables t{};
    for (uint32_t w = 2; w <= 8; ++w) {
        for (uint32_t j = 0; j < 16; ++j) {
            const uint32_t byte = j * w / 8, shift = j * w % 8;
            t.index[w][2 * j] = static_cast<uint8_t>(byte);
            t.index[w][2 * j + 1] = shift + w > 8 ? static_cast<uint8_t>(byte + 1) : 0x80;
            t.mul[w][j] = static_cast<uint16_t>(1u << (16 - shift - w));
        }
    }
    return t;
}

constexpr BitTables kBitTables = make_bit_tables();

// 16 codes of width w (2..8) at in, whose 16 bytes are readable, to bytes.
inline void unpack_bits16(const uint8_t* in, uint32_t w, uint8_t* out) {
    const __m256i b = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)));
    const __m256i words = _mm256_shuffle_epi8(b, _mm256_load_si256(reinterpret_cast<const __m256i*>(kBitTables.index[w])));
    const __m256i up = _mm256_mullo_epi16(words, _mm256_load_si256(reinterpret_cast<const __m256i*>(kBitTables.mul[w])));
    const __m256i v = _mm256_sra_epi16(up, _mm_cvtsi32_si128(static_cast<int>(16 - w)));
    // In-lane packing leaves codes 0..7 in qword 0 and 8..15 in qword 2.
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi16(v, v), 0x08);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
}

// 2 * kIn bytes of nibbles, low nibble first, to 4 * kIn sign-extended bytes:
// each byte widened to a word whose two bytes are then its two nibbles.
template <class V>
inline void nibbles_to_bytes_wide(const uint8_t* in, uint8_t* out) {
    typename V::T w;
    if constexpr (V::kBytes == 32)
        w = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)));
#if defined(__AVX512BW__)
    else
        w = _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in)));
#endif
    typename V::T lo, hi;
    if constexpr (V::kBytes == 32) {
        lo = _mm256_and_si256(w, _mm256_set1_epi16(0x000F));
        hi = _mm256_and_si256(_mm256_slli_epi16(w, 4), _mm256_set1_epi16(0x0F00));
        const __m256i eight = _mm256_set1_epi8(8);
        V::store(out, _mm256_sub_epi8(_mm256_xor_si256(_mm256_or_si256(lo, hi), eight), eight));
    }
#if defined(__AVX512BW__)
    else {
        lo = _mm512_and_si512(w, _mm512_set1_epi16(0x000F));
        hi = _mm512_and_si512(_mm512_slli_epi16(w, 4), _mm512_set1_epi16(0x0F00));
        const __m512i eight = _mm512_set1_epi8(8);
        V::store(out, _mm512_sub_epi8(_mm512_xor_si512(_mm512_or_si512(lo, hi), eight), eight));
    }
#endif
}
#endif

}  // namespace
}  // namespace velmar::simd
