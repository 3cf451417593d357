#include "methods/rows_tiles.hpp"

#include <algorithm>
#include <vector>

#include "kernels/ranges.hpp"
#include "shared/packed.hpp"
#include "shared/tensor.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#define VELMAR_AVX2 __attribute__((target("avx2")))
#endif

namespace velmar::rows::detail {

#if defined(__x86_64__)
namespace {

constexpr size_t R = 16;  // rows per tile: two vectors of eight lanes

// m[r] holds 16 bytes of row r; afterwards m[c] holds column c of the 16 rows.
VELMAR_AVX2 void transpose16(__m128i m[R]) {
    __m128i a[R], b[R];
    for (size_t p = 0; p < 8; ++p) {
        a[p] = _mm_unpacklo_epi8(m[2 * p], m[2 * p + 1]);      // rows 2p, 2p+1; columns 0..7
        a[8 + p] = _mm_unpackhi_epi8(m[2 * p], m[2 * p + 1]);  // columns 8..15
    }
    for (size_t h = 0; h < 2; ++h)
        for (size_t q = 0; q < 4; ++q) {
            b[8 * h + q] = _mm_unpacklo_epi16(a[8 * h + 2 * q], a[8 * h + 2 * q + 1]);  // rows 4q.., columns 8h..8h+3
            b[8 * h + 4 + q] = _mm_unpackhi_epi16(a[8 * h + 2 * q], a[8 * h + 2 * q + 1]);
        }
    for (size_t c4 = 0; c4 < 4; ++c4)
        for (size_t o = 0; o < 2; ++o) {
            a[4 * c4 + o] = _mm_unpacklo_epi32(b[4 * c4 + 2 * o], b[4 * c4 + 2 * o + 1]);  // rows 8o.., columns 4c4, +1
            a[4 * c4 + 2 + o] = _mm_unpackhi_epi32(b[4 * c4 + 2 * o], b[4 * c4 + 2 * o + 1]);  // columns 4c4+2, +3
        }
    for (size_t cp = 0; cp < 8; ++cp) {
        m[2 * cp] = _mm_unpacklo_epi64(a[2 * cp], a[2 * cp + 1]);
        m[2 * cp + 1] = _mm_unpackhi_epi64(a[2 * cp], a[2 * cp + 1]);
    }
}

int8_t code_at(const uint8_t* row, uint32_t bits, size_t c) {
    if (bits == 8) return static_cast<int8_t>(row[c]);
    const int v = (row[c / 2] >> ((c % 2) * 4)) & 0xF;
    return static_cast<int8_t>(v >= 8 ? v - 16 : v);
}

// tile[c * 16 + r] = code of row r, column c, sign-extended to a byte.
VELMAR_AVX2 void fill_tile(const uint8_t* codes, size_t row_bytes, uint32_t bits, size_t cols, int8_t* tile) {
    size_t c0 = 0;
    __m128i m[R];
    const __m128i low = _mm_set1_epi8(0x0F);
    const __m128i eight = _mm_set1_epi8(8);
    for (; c0 + 16 <= cols; c0 += 16) {
        for (size_t r = 0; r < R; ++r) {
            const uint8_t* row = codes + r * row_bytes;
            if (bits == 8) {
                m[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + c0));
            } else {
                // Sixteen nibbles, the low one first, to bytes in element order.
                const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + c0 / 2));
                const __m128i e = _mm_unpacklo_epi8(_mm_and_si128(v, low), _mm_and_si128(_mm_srli_epi16(v, 4), low));
                m[r] = _mm_sub_epi8(_mm_xor_si128(e, eight), eight);
            }
        }
        transpose16(m);
        for (size_t c = 0; c < 16; ++c) _mm_storeu_si128(reinterpret_cast<__m128i*>(tile + (c0 + c) * R), m[c]);
    }
    for (; c0 < cols; ++c0)
        for (size_t r = 0; r < R; ++r) tile[c0 * R + r] = code_at(codes + r * row_bytes, bits, c0);
}

VELMAR_AVX2 inline __m256 lanes(__m128i q) { return _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(q)); }

// The 8-bit dot of sixteen rows: each block's products summed in element
// order from +0.0, scaled once, added to the running total.
VELMAR_AVX2 void tile_dot_i8(const int8_t* tile, const float* s, size_t nb, size_t block, size_t cols,
                             const float* x, float* dst) {
    __m256 total0 = _mm256_setzero_ps(), total1 = _mm256_setzero_ps();
    alignas(32) float sc[R];
    for (size_t b = 0, start = 0; start < cols; ++b) {
        const size_t end = start + std::min(block, cols - start);
        __m256 p0 = _mm256_setzero_ps(), p1 = _mm256_setzero_ps();
        for (size_t c = start; c < end; ++c) {
            const __m128i q = _mm_loadu_si128(reinterpret_cast<const __m128i*>(tile + c * R));
            const __m256 xb = _mm256_set1_ps(x[c]);
            p0 = _mm256_add_ps(p0, _mm256_mul_ps(xb, lanes(q)));
            p1 = _mm256_add_ps(p1, _mm256_mul_ps(xb, lanes(_mm_srli_si128(q, 8))));
        }
        for (size_t r = 0; r < R; ++r) sc[r] = s[r * nb + b];
        total0 = _mm256_add_ps(total0, _mm256_mul_ps(p0, _mm256_load_ps(sc)));
        total1 = _mm256_add_ps(total1, _mm256_mul_ps(p1, _mm256_load_ps(sc + 8)));
        start = end;
    }
    _mm256_storeu_ps(dst, total0);
    _mm256_storeu_ps(dst + 8, total1);
}

// The dot of other widths: one running sum of (scale * code) * x in element
// order from +0.0.
VELMAR_AVX2 void tile_dot_sym(const int8_t* tile, const float* s, size_t nb, size_t block, size_t cols,
                              const float* x, float* dst) {
    __m256 acc0 = _mm256_setzero_ps(), acc1 = _mm256_setzero_ps();
    alignas(32) float sc[R];
    for (size_t b = 0, start = 0; start < cols; ++b) {
        const size_t end = start + std::min(block, cols - start);
        for (size_t r = 0; r < R; ++r) sc[r] = s[r * nb + b];
        const __m256 s0 = _mm256_load_ps(sc), s1 = _mm256_load_ps(sc + 8);
        for (size_t c = start; c < end; ++c) {
            const __m128i q = _mm_loadu_si128(reinterpret_cast<const __m128i*>(tile + c * R));
            const __m256 xb = _mm256_set1_ps(x[c]);
            acc0 = _mm256_add_ps(acc0, _mm256_mul_ps(_mm256_mul_ps(s0, lanes(q)), xb));
            acc1 = _mm256_add_ps(acc1, _mm256_mul_ps(_mm256_mul_ps(s1, lanes(_mm_srli_si128(q, 8))), xb));
        }
        start = end;
    }
    _mm256_storeu_ps(dst, acc0);
    _mm256_storeu_ps(dst + 8, acc1);
}

}  // namespace

size_t sym_tiles(const float* scales, const uint8_t* codes, uint32_t bits, size_t block, size_t rows, size_t cols,
                 const float* x, size_t k, float* out) {
    if (bits != 4 && bits != 8) return 0;
    if (!ranges::has_wide_vectors()) return 0;
    const size_t done = rows / R * R;
    if (done == 0 || cols == 0) return 0;
    const size_t nb = block_count(cols, block);
    const size_t row_bytes = packed_len(cols, bits);
    std::vector<int8_t> tile(cols * R);
    alignas(32) float dst[R];
    for (size_t i = 0; i < done; i += R) {
        fill_tile(codes + i * row_bytes, row_bytes, bits, cols, tile.data());
        for (size_t j = 0; j < k; ++j) {
            if (bits == 8)
                tile_dot_i8(tile.data(), scales + i * nb, nb, block, cols, x + j * cols, dst);
            else
                tile_dot_sym(tile.data(), scales + i * nb, nb, block, cols, x + j * cols, dst);
            std::copy(dst, dst + R, out + j * rows + i);
        }
    }
    return done;
}

#else

size_t sym_tiles(const float*, const uint8_t*, uint32_t, size_t, size_t, size_t, const float*, size_t, float*) {
    return 0;
}

#endif

}  // namespace velmar::rows::detail
