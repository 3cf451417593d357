#pragma once
// Row dots for one vector on AVX-512 that keep whole registers of 16 rows or
// blocks as independent chains, fed by dword transposes instead of byte ones.
// Symmetric 8-bit: each block's sum is its own chain, so 16 blocks of a row share a
// register and the rows are read in order, one stream; a row tile of lanes is
// needed only for the sums of the block products, which run in block order
// per row; a group spans rows when they are whole blocks. Symmetric 4-bit and
// asymmetric rows: a row is one chain, so 16 rows share a register (a tile of
// 16 streams), the scales and zero points across the lanes beside them; eight
// codes a dword, each nibble the index of its float, or four bytes.
// Compiled with each including file's flags; internal linkage, as in twin.inl.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <numeric>
#include <utility>

#include "kernels/dispatch.hpp"
#include "shared/rules.hpp"
#include "shared/scale.hpp"

namespace velmar::simd {
namespace {
namespace lanes {

#define VELMAR_LANES_INLINE inline __attribute__((always_inline))

// A group is 16 blocks of B bytes, B / 4 registers of 64 bytes, seen as a
// 16 x B/4 matrix of dwords. Rounds of two-source dword permutes halve the
// dwords each register holds and double its blocks, until register m holds
// dword m of every block. Which lane gets which block falls out of the
// rounds: order[lane], the same for every register.
struct Transpose {
    // pick[round][hi]: round r (a register holding B/4 >> r dwords of each of
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
constexpr size_t kChains = 2;        // groups side by side: more spill (4 and 8 measured slower)
constexpr size_t kMaxRegs = 16;      // registers of a group (blocks of 64)
constexpr size_t kAhead = 8192;      // bytes of codes prefetched ahead of a group

// The rounds on regs registers loaded with tr's layout.
template <size_t regs>
VELMAR_LANES_INLINE void permute_rounds(const Transpose& tr, __m512i* t) {
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
    permute_rounds<regs>(tr, t);
}

// Stored elements [first, first + n) (n <= 16) of the run's scales or zero
// points as floats, zeros past n.
VELMAR_LANES_INLINE __m512 stored16(const RowRun& r, const void* p, size_t first, size_t n) {
    const __mmask16 m = n >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << n) - 1);
    if (r.stored == Stored::F32) return _mm512_maskz_loadu_ps(m, static_cast<const float*>(p) + first);
    const __m256i h = _mm256_maskz_loadu_epi16(m, static_cast<const uint16_t*>(p) + first);
    if (r.stored == Stored::F16) return _mm512_cvtph_ps(h);
    return _mm512_castsi512_ps(_mm512_slli_epi32(_mm512_cvtepu16_epi32(h), 16));
}

VELMAR_LANES_INLINE float scale_at(const RowRun& r, size_t b) {
    if (r.stored == Stored::F32) return static_cast<const float*>(r.scales)[b];
    const uint16_t h = static_cast<const uint16_t*>(r.scales)[b];
    return r.stored == Stored::F16 ? f32_from_f16_bits(h) : widen_bf16(h);
}

// One group of 16 blocks: its codes, of which `valid` blocks exist, x as its
// lanes read it, its first scale and where its 16 products go, block order.
struct Group {
    const uint8_t* codes;
    const float* xg;
    size_t valid, scale;
    float* prods;
};

// The products of kChains groups, of which `live` are real (the spare chains
// repeat the first and store nothing).
template <size_t B>
VELMAR_LANES_INLINE void group_products(const RowRun& r, const Transpose& tr, const Group* gs, size_t live,
                                        const uint8_t* end) {
    constexpr size_t regs = B / 4;
    alignas(64) __m512i t[kChains][kMaxRegs];
    for (size_t k = 0; k < kChains; ++k) {
        const Group& g = gs[k < live ? k : 0];
        // The hardware alone falls behind the stream at this pace. Into the
        // caches: on Intel a non-temporal hint halved the stream's speed.
        if (k < live)
            for (size_t b = 0; b < 16 * B; b += 64)
                if (g.codes + kAhead + b < end) __builtin_prefetch(g.codes + kAhead + b, 0, 2);
        transpose_group<B>(tr, g.codes, g.valid, t[k]);
    }
    __m512 acc[kChains];
    const float* xg[kChains];
    for (size_t k = 0; k < kChains; ++k) {
        acc[k] = _mm512_setzero_ps();
        xg[k] = gs[k < live ? k : 0].xg;
    }
    for (size_t m = 0; m < regs; ++m) {
        // Byte s of each lane's dword, sign-extended: shifted to the top,
        // then down.
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
    const __m512i order = _mm512_load_si512(tr.order), inverse = _mm512_load_si512(tr.inverse);
    for (size_t k = 0; k < live; ++k) {
        const __m512 sc = _mm512_permutexvar_ps(order, stored16(r, r.scales, gs[k].scale, gs[k].valid));
        _mm512_storeu_ps(gs[k].prods, _mm512_permutexvar_ps(inverse, _mm512_mul_ps(acc[k], sc)));
    }
}

// total plus, for each of n rows whose products lie `stride` apart, its
// first `count` products in block order; row kT64.order[l] in lane l. Blocks
// of 16 rows x 16 products are transposed to one block of all rows a register.
VELMAR_LANES_INLINE __m512 add_products(__m512 total, const float* prods, size_t stride, size_t n, size_t count) {
    for (size_t b0 = 0; b0 < count; b0 += 16) {
        const size_t m = min_size(16, count - b0);
        const __mmask16 mask = m == 16 ? __mmask16(0xFFFF) : __mmask16((1u << m) - 1);
        __m512i v[16];
        for (size_t i = 0; i < 16; ++i)
            v[i] = i < n ? _mm512_castps_si512(_mm512_maskz_loadu_ps(mask, prods + i * stride + b0))
                         : _mm512_setzero_si512();
        permute_rounds<16>(kT64, v);
        for (size_t d = 0; d < m; ++d) total = _mm512_add_ps(total, _mm512_castsi512_ps(v[d]));
    }
    return total;
}

// The first n lanes' rows of total, in kT64's lane order, to out.
VELMAR_LANES_INLINE void store_rows(__m512 total, size_t n, float* out) {
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, total);
    for (size_t l = 0; l < 16; ++l)
        if (kT64.order[l] < n) out[kT64.order[l]] = lanes[l];
}

// Rows of whole blocks that fit one window, read as one stream of blocks: a
// group spans rows, and the lanes' blocks of x repeat every `phases` groups
// (lcm(16, blocks per row) blocks), each phase arranged once. A tile of 16
// rows is a whole number of phases, so its products land row after row.
template <size_t B>
__attribute__((noinline)) void rows_dot_stream(const RowRun& r, const Transpose& tr, size_t phases, const float* x,
                                               float* out) {
    const size_t nb = r.cols / B;
    alignas(64) float xs[kWindow];
    alignas(64) float prods[kRows * (kWindow / B) + 16];
    for (size_t p = 0; p < phases; ++p)
        for (size_t l = 0; l < 16; ++l)
            for (size_t s = 0; s < B; ++s) xs[(p * B + s) * 16 + l] = x[(p * 16 + tr.order[l]) % nb * B + s];
    const uint8_t* const end = r.codes + r.rows * r.cols;
    for (size_t t0 = 0; t0 < r.rows; t0 += kRows) {
        const size_t n = min_size(kRows, r.rows - t0), blocks = n * nb, groups = (blocks + 15) / 16;
        const uint8_t* const codes = r.codes + t0 * r.cols;
        for (size_t c = 0; c < groups; c += kChains) {
            Group gs[kChains];
            const size_t live = min_size(kChains, groups - c);
            for (size_t k = 0; k < live; ++k) {
                const size_t g = c + k;
                gs[k] = {codes + g * 16 * B, xs + g % phases * B * 16, min_size(16, blocks - g * 16), t0 * nb + g * 16,
                         prods + g * 16};
            }
            group_products<B>(r, tr, gs, live, end);
        }
        store_rows(add_products(_mm512_setzero_ps(), prods, nb, n, nb), n, out + t0);
    }
}

// Rows in windows of columns, each row's groups its own, the short last
// block apart.
template <size_t B>
__attribute__((noinline)) void rows_dot_windows(const RowRun& r, const Transpose& tr, const float* x, float* out) {
    constexpr size_t kWinBlocks = kWindow / B;
    const size_t nb = block_count(r.cols, r.block), full = r.cols / B, tail = r.cols % B;
    // x of a window as the lanes read it: group g, step s, lane l at
    // xs[(g * B + s) * 16 + l].
    alignas(64) float xs[kWindow];
    // The block products of a tile's rows over a window (and the row's last
    // short block), row after row.
    alignas(64) float prods[kRows * (kWinBlocks + 16)];
    const size_t windows = full == 0 ? 1 : (full + kWinBlocks - 1) / kWinBlocks;
    const uint8_t* const end = r.codes + r.rows * r.cols;
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
                const size_t live = min_size(kChains, n * groups - c);
                for (size_t k = 0; k < live; ++k) {
                    const size_t row = (c + k) / groups, g = (c + k) % groups;
                    gs[k] = {r.codes + (t0 + row) * r.cols + (wb + g * 16) * B, xs + g * B * 16,
                             min_size(16, wn - g * 16), (t0 + row) * nb + wb + g * 16, prods + row * stride + g * 16};
                }
                group_products<B>(r, tr, gs, live, end);
            }
            // The short block closes the last window.
            const bool last = w + 1 == windows;
            if (last && tail != 0)
                for (size_t i = 0; i < n; ++i)
                    prods[i * stride + wn] =
                        i8_block_sum(x + full * B, r.codes + (t0 + i) * r.cols + full * B, tail) *
                        scale_at(r, (t0 + i) * nb + full);
            total = add_products(total, prods, stride, n, wn + (last && tail != 0 ? 1 : 0));
        }
        store_rows(total, n, out + t0);
    }
}

// The stream when rows are whole blocks and their phases fit one window (the
// two kernels' arrays are never on the stack together).
template <size_t B>
void rows_dot(const RowRun& r, const Transpose& tr, const float* x, float* out) {
    const size_t nb = r.cols / B, phases = nb / std::gcd(nb, size_t{16});
    if (r.cols % B == 0 && phases * 16 <= kWindow / B) return rows_dot_stream<B>(r, tr, phases, x, out);
    rows_dot_windows<B>(r, tr, x, out);
}


// ---- one running sum a row: 4-bit, and asymmetric 8-bit ----

// Tiles of 16 rows side by side, one chain each: a column's additions wait on
// the last one (4 cycles on Intel), two tiles hide that. (Measured slower on a
// Zen 4 while the next tiles' prefetches came in one burst.)
constexpr size_t kTiles = 2;
constexpr size_t kStepBytes = 64;     // of a row per step
constexpr size_t kScaleBlocks = 160;  // blocks of scales across the lanes at hand per tile

// Codes of `bits` (4 or 8) in lanes, every row one running sum: rows of tile
// j are tile[j]'s rows; lane l holds row kT64.order[l], as do the scales and,
// for the asymmetric kind, the zero points.
template <uint32_t bits, bool asym>
struct RowLanes {
    static constexpr size_t kStepCols = kStepBytes * 8 / bits;
    static constexpr size_t kPerDword = 32 / bits;

    const RowRun& r;
    size_t row_bytes, nb;
    size_t t0 = 0;          // the first row of the tiles
    size_t wb = 0, wn = 0;  // the window of blocks whose scales are across the lanes
    alignas(64) float sl[kTiles][kScaleBlocks * 16];
    alignas(64) float zl[kTiles][asym ? kScaleBlocks * 16 : 1];

    explicit RowLanes(const RowRun& run) : r(run), row_bytes(packed_len(run.cols, bits)), nb(block_count(run.cols, run.block)) {}

    // Rows of tile j, from 0 to 16 (zero lanes past the last row).
    size_t rows_of(size_t j) const {
        const size_t first = t0 + 16 * j;
        return first >= r.rows ? 0 : min_size(16, r.rows - first);
    }

    // Blocks [wb, wb + wn) of p across the lanes, 16 blocks of 16 rows
    // transposed at a time.
    void window_of(const void* p, size_t j, float* out) const {
        const size_t n = rows_of(j);
        for (size_t g = 0; g < wn; g += 16) {
            __m512i v[16];
            for (size_t i = 0; i < 16; ++i)
                v[i] = i < n ? _mm512_castps_si512(stored16(r, p, (t0 + 16 * j + i) * nb + wb + g, min_size(16, wn - g)))
                             : _mm512_setzero_si512();
            permute_rounds<16>(kT64, v);
            for (size_t d = 0; d < 16 && g + d < wn; ++d) _mm512_store_si512(out + (g + d) * 16, v[d]);
        }
    }

    void load_window(size_t b) {
        wb = b;
        wn = min_size(kScaleBlocks, nb - b);
        for (size_t j = 0; j < kTiles; ++j) {
            window_of(r.scales, j, sl[j]);
            if constexpr (asym) window_of(r.zero_points, j, zl[j]);
        }
    }

    // The step's dwords of every tile, transposed: t[j][d] holds codes
    // kPerDword * d onwards of the step in each lane's row.
    void load_step(size_t c0, __m512i (*t)[16]) const {
        const size_t at = c0 / kPerDword * 4, bytes = min_size(kStepBytes, row_bytes - at);
        const __mmask64 m = bytes == 64 ? ~__mmask64{0} : (__mmask64{1} << bytes) - 1;
        for (size_t j = 0; j < kTiles; ++j) {
            const size_t n = rows_of(j);
            for (size_t i = 0; i < 16; ++i)
                t[j][i] = i < n ? _mm512_maskz_loadu_epi8(m, r.codes + (t0 + 16 * j + i) * row_bytes + at)
                                : _mm512_setzero_si512();
            permute_rounds<16>(kT64, t[j]);
        }
    }

    // Code k of each lane's dword as a float. A nibble shifted to the bottom
    // is the index of its float in a register of the 16 (one permute for the
    // shifts and conversion); a byte is shifted to the top, then down.
    template <int k>
    static VELMAR_LANES_INLINE __m512 code(__m512i q) {
        if constexpr (bits == 4) {
            const __m512 code_floats = _mm512_setr_ps(0, 1, 2, 3, 4, 5, 6, 7, -8, -7, -6, -5, -4, -3, -2, -1);
            if constexpr (k != 0) q = _mm512_srli_epi32(q, 4 * k);
            return _mm512_permutexvar_ps(q, code_floats);
        } else {
            if constexpr (k != 3) q = _mm512_slli_epi32(q, 24 - 8 * k);
            return _mm512_cvtepi32_ps(_mm512_srai_epi32(q, 24));
        }
    }
};

template <uint32_t bits, bool asym>
VELMAR_LANES_INLINE void rows_dot_sums(const RowRun& r, const float* x, float* out) {
    using L = RowLanes<bits, asym>;
    constexpr size_t kStepCols = L::kStepCols, kPerDword = L::kPerDword;
    L lanes(r);
    alignas(64) __m512i t[kTiles][16];
    for (lanes.t0 = 0; lanes.t0 < r.rows; lanes.t0 += 16 * kTiles) {
        __m512 acc[kTiles], s[kTiles], z[kTiles];
        for (size_t j = 0; j < kTiles; ++j) acc[j] = _mm512_setzero_ps();
        lanes.wb = lanes.wn = 0;
        size_t next = 0;  // the column where the next block starts
        // The rows are as many streams, more than the hardware follows; the
        // next tiles, read in order a step's share at a time, are one it does.
        const uint8_t* ahead = r.codes + (lanes.t0 + 16 * kTiles) * lanes.row_bytes;
        const uint8_t* const end = r.codes + r.rows * lanes.row_bytes;
        const size_t share = (16 * kTiles * lanes.row_bytes / ((r.cols + kStepCols - 1) / kStepCols) + 63) / 64 * 64;
        for (size_t c0 = 0; c0 < r.cols; c0 += kStepCols) {
            // Spread over the step's dwords: in one burst they stall the loads.
            const uint8_t* const due = ahead;
            const auto fetch = [&](size_t upto) __attribute__((always_inline)) {
                for (const uint8_t* to = due + upto < end ? due + upto : end; ahead < to; ahead += 64)
                    __builtin_prefetch(ahead, 0, 2);
            };
            lanes.load_step(c0, t);
            const size_t m = min_size(kStepCols, r.cols - c0);
            const auto column = [&]<int k>(size_t d) __attribute__((always_inline)) {
                const size_t c = c0 + kPerDword * d + k;
                if (c == next) {
                    const size_t b = c / r.block;
                    if (b >= lanes.wb + lanes.wn) lanes.load_window(b);
                    for (size_t j = 0; j < kTiles; ++j) {
                        s[j] = _mm512_load_ps(lanes.sl[j] + (b - lanes.wb) * 16);
                        if constexpr (asym) z[j] = _mm512_load_ps(lanes.zl[j] + (b - lanes.wb) * 16);
                    }
                    next = (b + 1) * r.block;
                }
                const __m512 xb = _mm512_set1_ps(x[c]);
#pragma GCC unroll 4
                for (size_t j = 0; j < kTiles; ++j) {
                    const __m512 q = L::template code<k>(t[j][d]);
                    const __m512 v = asym ? _mm512_mul_ps(xb, _mm512_mul_ps(s[j], _mm512_sub_ps(q, z[j])))
                                          : _mm512_mul_ps(_mm512_mul_ps(q, s[j]), xb);
                    acc[j] = _mm512_add_ps(acc[j], v);
                }
            };
            // Every column of a dword, or its first `left`.
            const auto dword = [&]<int... k>(size_t d, size_t left, std::integer_sequence<int, k...>)
                                   __attribute__((always_inline)) {
                ((k < int(left) ? column.template operator()<k>(d) : void()), ...);
            };
            const auto all = std::make_integer_sequence<int, int(kPerDword)>{};
            size_t d = 0;
            for (; kPerDword * d + kPerDword <= m; ++d) {
                fetch((d + 1) * share / 16);
                dword(d, kPerDword, all);
            }
            if (const size_t left = m - kPerDword * d; left > 0) dword(d, left, all);
            fetch(share);
        }
        for (size_t j = 0; j < kTiles; ++j) {
            alignas(64) float lanes_out[16];
            _mm512_store_ps(lanes_out, acc[j]);
            const size_t n = lanes.rows_of(j);
            for (size_t l = 0; l < 16; ++l)
                if (kT64.order[l] < n) out[lanes.t0 + 16 * j + kT64.order[l]] = lanes_out[l];
        }
    }
}

#undef VELMAR_LANES_INLINE

}  // namespace lanes

// Symmetric rows of width 4; false for any other width.
inline bool rows_dot_sym_lanes(const RowRun& r, const float* x, float* out) {
    if (r.bits != 4) return false;
    lanes::rows_dot_sums<4, false>(r, x, out);
    return true;
}

// Asymmetric rows as asym_rows_in_lanes says; false for the rest.
inline bool rows_dot_asym_lanes(const RowRun& r, const float* x, float* out) {
    if (!asym_rows_in_lanes(r)) return false;
    if (r.bits == 4) lanes::rows_dot_sums<4, true>(r, x, out);
    else lanes::rows_dot_sums<8, true>(r, x, out);
    return true;
}

// Blocks of 16, 32 or 64 codes; false for any other block, left to the tiles.
inline bool rows_dot_i8_lanes(const RowRun& r, const float* x, float* out) {
    switch (r.block) {
        case 16: lanes::rows_dot<16>(r, lanes::kT16, x, out); return true;
        case 32: lanes::rows_dot<32>(r, lanes::kT32, x, out); return true;
        case 64: lanes::rows_dot<64>(r, lanes::kT64, x, out); return true;
        default: return false;
    }
}

}  // namespace
}  // namespace velmar::simd
