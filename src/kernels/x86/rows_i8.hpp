#pragma once
// The 8-bit row dot for one vector on AVX-512, with blocks in lanes. Each
// block's sum is its own chain, so 16 blocks of a row share a register and
// the rows are read in order, one stream; a row tile of lanes is needed only
// for the sums of the block products, which run in block order per row.
// Compiled with each including file's flags; internal linkage, as in twin.inl.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "kernels/dispatch.hpp"
#include "shared/rules.hpp"
#include "shared/scale.hpp"

namespace velmar::simd {
namespace {
namespace lanes_i8 {

#define VELMAR_LANES_INLINE inline __attribute__((always_inline))

// A group is 16 blocks of B bytes, B / 4 registers of 64 bytes, seen as a
// 16 x B/4 matrix of dwords. Rounds of two-source dword permutes halve the
// dwords each register holds and double its blocks, until register m holds
// dword m of every block. Which lane gets which block falls out of the
// rounds: kOrder[lane], the same for every register.
struct Transpose {
    // kPick[round][hi]: round r (a register holding B/4 >> r dwords of each of
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

constexpr size_t kRows = 16;         // rows whose block products are summed in lanes
constexpr size_t kWindow = 8192;     // columns of x arranged at a time
constexpr size_t kChains = 8;        // groups run side by side
constexpr size_t kMaxRegs = 16;      // registers of a group (blocks of 64)

// The dwords of group g, 16 blocks of B bytes at p of which `valid` are
// wanted (the rest read as zeros), transposed into t.
template <size_t B>
VELMAR_LANES_INLINE void transpose_group(const Transpose& tr, const uint8_t* p, size_t valid, __m512i* t) {
    constexpr size_t regs = B / 4;
    if (valid == 16) {
        for (size_t i = 0; i < regs; ++i) t[i] = _mm512_loadu_si512(p + 64 * i);
    } else {
        const size_t bytes = valid * B;
        for (size_t i = 0; i < regs; ++i) {
            const size_t have = bytes > 64 * i ? (bytes - 64 * i) / 4 : 0;
            const __mmask16 m = have >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << have) - 1);
            t[i] = _mm512_maskz_loadu_epi32(m, p + 64 * i);
        }
    }
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

// Stored scales [first, first + n) (n <= 16) as floats, zeros past n.
VELMAR_LANES_INLINE __m512 scales16(const RowRun& r, size_t first, size_t n) {
    const __mmask16 m = n >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << n) - 1);
    if (r.stored == Stored::F32) return _mm512_maskz_loadu_ps(m, static_cast<const float*>(r.scales) + first);
    const __m256i h = _mm256_maskz_loadu_epi16(m, static_cast<const uint16_t*>(r.scales) + first);
    if (r.stored == Stored::F16) return _mm512_cvtph_ps(h);
    return _mm512_castsi512_ps(_mm512_slli_epi32(_mm512_cvtepu16_epi32(h), 16));
}

VELMAR_LANES_INLINE float scale_at(const RowRun& r, size_t b) {
    if (r.stored == Stored::F32) return static_cast<const float*>(r.scales)[b];
    const uint16_t h = static_cast<const uint16_t*>(r.scales)[b];
    return r.stored == Stored::F16 ? f32_from_f16_bits(h) : widen_bf16(h);
}

// One row's group: where its codes start, its blocks' first index in the
// row, how many of its 16 blocks exist, and where its products go.
struct Group {
    const uint8_t* codes;
    size_t row, block, valid;
};

template <size_t B>
void rows_dot(const RowRun& r, const Transpose& tr, const float* x, float* out) {
    constexpr size_t regs = B / 4, kWinBlocks = kWindow / B;
    const size_t nb = block_count(r.cols, r.block), full = r.cols / B, tail = r.cols % B;
    // x of a window as the lanes read it: group g, step s, lane l at
    // xs[(g * B + s) * 16 + l].
    alignas(64) float xs[kWindow];
    // The block products of a tile's rows over a window (and the row's last
    // short block), row after row.
    alignas(64) float prods[kRows * (kWinBlocks + 16)];
    alignas(64) __m512i t[kChains][kMaxRegs];
    const __m512i order = _mm512_load_si512(tr.order), inverse = _mm512_load_si512(tr.inverse);
    const size_t windows = full == 0 ? 1 : (full + kWinBlocks - 1) / kWinBlocks;
    for (size_t t0 = 0; t0 < r.rows; t0 += kRows) {
        const size_t n = min_size(kRows, r.rows - t0);
        __m512 total = _mm512_setzero_ps();
        for (size_t w = 0; w < windows; ++w) {
            const size_t wb = w * kWinBlocks, wn = min_size(kWinBlocks, full - min_size(full, wb));
            const size_t groups = (wn + 15) / 16;
            // Arranged once per call when one window holds every block.
            if (windows > 1 || t0 == 0)
                for (size_t g = 0; g < groups; ++g)
                    for (size_t l = 0; l < 16; ++l) {
                        const size_t b = g * 16 + tr.order[l];
                        for (size_t s = 0; s < B; ++s)
                            xs[(g * B + s) * 16 + l] = b < wn ? x[(wb + b) * B + s] : 0.0f;
                    }
            const size_t stride = groups * 16 + 1;  // one row's products
            for (size_t c = 0; c < n * groups; c += kChains) {
                Group gs[kChains];
                for (size_t k = 0; k < kChains; ++k) {
                    const size_t i = c + k < n * groups ? c + k : c;  // spare chains repeat the first
                    const size_t row = i / groups, g = i % groups;
                    gs[k] = {r.codes + (t0 + row) * r.cols + (wb + g * 16) * B, row, g * 16, min_size(16, wn - g * 16)};
                    transpose_group<B>(tr, gs[k].codes, gs[k].valid, t[k]);
                }
                __m512 acc[kChains];
                for (size_t k = 0; k < kChains; ++k) acc[k] = _mm512_setzero_ps();
                const float* xg[kChains];
                for (size_t k = 0; k < kChains; ++k) xg[k] = xs + gs[k].block / 16 * B * 16;
                for (size_t m = 0; m < regs; ++m) {
                    // Byte s of each lane's dword, sign-extended: shifted to
                    // the top, then down.
                    const auto step = [&]<int s>() __attribute__((always_inline)) {
#pragma GCC unroll 8
                        for (size_t k = 0; k < kChains; ++k) {
                            __m512i q = t[k][m];
                            if constexpr (s != 3) q = _mm512_slli_epi32(q, 24 - 8 * s);
                            q = _mm512_srai_epi32(q, 24);
                            const __m512 xv = _mm512_load_ps(xg[k] + (4 * m + s) * 16);
                            acc[k] = _mm512_add_ps(acc[k], _mm512_mul_ps(xv, _mm512_cvtepi32_ps(q)));
                        }
                    };
                    step.template operator()<0>();
                    step.template operator()<1>();
                    step.template operator()<2>();
                    step.template operator()<3>();
                }
                for (size_t k = 0; k < kChains && c + k < n * groups; ++k) {
                    const size_t first = (t0 + gs[k].row) * nb + wb + gs[k].block;
                    const __m512 sc = _mm512_permutexvar_ps(order, scales16(r, first, gs[k].valid));
                    const __m512 p = _mm512_permutexvar_ps(inverse, _mm512_mul_ps(acc[k], sc));
                    _mm512_storeu_ps(prods + gs[k].row * stride + gs[k].block, p);
                }
            }
            // The short block closes the last window.
            const bool last = w + 1 == windows;
            if (last && tail != 0)
                for (size_t i = 0; i < n; ++i)
                    prods[i * stride + wn] =
                        i8_block_sum(x + full * B, r.codes + (t0 + i) * r.cols + full * B, tail) *
                        scale_at(r, (t0 + i) * nb + full);
            const size_t count = wn + (last && tail != 0 ? 1 : 0);
            for (size_t i = n; i < kRows; ++i)
                for (size_t b = 0; b < count; ++b) prods[i * stride + b] = 0.0f;
            // Each row's products in block order, the rows across the lanes.
            alignas(64) float col[kRows];
            for (size_t b = 0; b < count; ++b) {
                for (size_t i = 0; i < kRows; ++i) col[i] = prods[i * stride + b];
                total = _mm512_add_ps(total, _mm512_load_ps(col));
            }
        }
        alignas(64) float lanes[kRows];
        _mm512_store_ps(lanes, total);
        for (size_t i = 0; i < n; ++i) out[t0 + i] = lanes[i];
    }
}

#undef VELMAR_LANES_INLINE

}  // namespace lanes_i8

// Blocks of 16, 32 or 64 codes; false for any other block, left to the tiles.
inline bool rows_dot_i8_lanes(const RowRun& r, const float* x, float* out) {
    switch (r.block) {
        case 16: lanes_i8::rows_dot<16>(r, lanes_i8::kT16, x, out); return true;
        case 32: lanes_i8::rows_dot<32>(r, lanes_i8::kT32, x, out); return true;
        case 64: lanes_i8::rows_dot<64>(r, lanes_i8::kT64, x, out); return true;
        default: return false;
    }
}

}  // namespace
}  // namespace velmar::simd
