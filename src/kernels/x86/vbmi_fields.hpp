#pragma once
// Codes of 2 to 8 bits to sign-extended bytes by byte permute and multishift,
// 32 at a time: the row kernels' unpacking of adaptive blocks, whose width
// changes from one block to the next. Compiled with the VBMI twin's flags;
// internal linkage, as in shared/rules.hpp.
//
// Eight codes of width w are w whole bytes, so qword k of the result can take
// stream bytes w * k.. (a byte permute), and byte j of it the 8 bits from bit
// j * w on (a multishift); the code's w bits are then sign-extended.
#include <immintrin.h>

#include <cstdint>

namespace velmar::simd {
namespace {

struct FieldTable {
    alignas(32) uint8_t gather[32];
    alignas(32) uint8_t shift[32];
    alignas(32) uint8_t low[32];   // the code's bits
    alignas(32) uint8_t sign[32];  // its sign bit
};

struct FieldTables {
    FieldTable at[9];
    constexpr FieldTables() : at{} {
        for (uint32_t w = 2; w <= 8; ++w)
            for (uint32_t i = 0; i < 32; ++i) {
                at[w].gather[i] = static_cast<uint8_t>(w * (i / 8) + i % 8);
                at[w].shift[i] = static_cast<uint8_t>(w * (i % 8));
                at[w].low[i] = static_cast<uint8_t>((1u << w) - 1u);
                at[w].sign[i] = static_cast<uint8_t>(1u << (w - 1));
            }
    }
};

constexpr FieldTables kFieldTables;

// 32 codes of width w (2..8) at in, whose 32 bytes are readable, to bytes.
inline void unpack_fields32(const uint8_t* in, uint32_t w, uint8_t* out) {
    const FieldTable& t = kFieldTables.at[w];
    const auto row = [](const uint8_t* p) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(p)); };
    const __m256i q = _mm256_permutexvar_epi8(row(t.gather), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in)));
    const __m256i f = _mm256_multishift_epi64_epi8(row(t.shift), q);
    const __m256i sign = row(t.sign);
    // (f & low) ^ sign, less sign: the code, sign-extended.
    const __m256i x = _mm256_ternarylogic_epi32(f, row(t.low), sign, 0x6A);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_sub_epi8(x, sign));
}

// Two runs of 32 codes, of widths w and v (2..8), the second right after the
// first (4w bytes on), to 64 bytes: one pass of the same steps, each half
// with its width's fields, from one table for the pair (put together from two
// halves, the tables had cost four cross-lane inserts a pair).
struct PairTable {
    alignas(64) uint8_t gather[64];
    alignas(64) uint8_t shift[64];
    alignas(64) uint8_t low[64];
    alignas(64) uint8_t sign[64];
};

struct PairTables {
    PairTable at[7][7];  // [w - 2][v - 2]
    constexpr PairTables() : at{} {
        for (uint32_t w = 2; w <= 8; ++w)
            for (uint32_t v = 2; v <= 8; ++v)
                for (uint32_t i = 0; i < 64; ++i) {
                    const FieldTable& f = kFieldTables.at[i < 32 ? w : v];
                    PairTable& t = at[w - 2][v - 2];
                    t.gather[i] = static_cast<uint8_t>(f.gather[i % 32] + (i < 32 ? 0 : 4 * w));
                    t.shift[i] = f.shift[i % 32];
                    t.low[i] = f.low[i % 32];
                    t.sign[i] = f.sign[i % 32];
                }
    }
};

constexpr PairTables kPairTables;

// The 64 bytes at in are readable.
inline void unpack_fields32x2(const uint8_t* in, uint32_t w, uint32_t v, uint8_t* out) {
    const PairTable& t = kPairTables.at[w - 2][v - 2];
    const __m512i q = _mm512_permutexvar_epi8(_mm512_load_si512(t.gather), _mm512_loadu_si512(in));
    const __m512i f = _mm512_multishift_epi64_epi8(_mm512_load_si512(t.shift), q);
    const __m512i sign = _mm512_load_si512(t.sign);
    const __m512i x = _mm512_ternarylogic_epi32(f, _mm512_load_si512(t.low), sign, 0x6A);  // (f & low) ^ sign
    _mm512_storeu_si512(out, _mm512_sub_epi8(x, sign));
}

}  // namespace
}  // namespace velmar::simd
