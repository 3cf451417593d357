#pragma once
// One table of whole-tensor kernels per instruction-set level. Table entries
// trust their arguments; the checked entries of kernels/block check every
// length first and are the library's only callers. This header is
// included by translation units built with wider target flags, so it must
// stay free of inline code (an inline function emitted there could be the copy
// the linker keeps for everyone).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmar::simd {

// Avx512Vbmi: AVX-512 with the byte permutes of VBMI.
enum class Level : uint8_t { Scalar = 0, Sse2 = 1, Avx2 = 2, Avx512 = 3, Neon = 4, Avx512Vbmi = 5 };

// The element type scales and zero points are stored as.
enum class Stored : uint8_t { F32 = 0, F16 = 1, Bf16 = 2 };

// A run of rows as the row kernels read it: the parts of row after row
// (scales and zero points as stored, nb = ceil(cols / block) per row), the
// codes one bit stream of `bits` per row, or for the adaptive kind one byte
// run per block, each row's runs following the previous row's.
struct RowRun {
    const uint8_t* codes;
    const void* scales;
    const void* zero_points;   // asymmetric and adaptive
    const uint32_t* widths;    // adaptive
    size_t rows, cols, block;  // cols >= 1
    uint32_t bits;             // fixed-width kinds
    Stored stored;
    size_t bytes;              // the run's code bytes
};

// Asymmetric rows with one vector that the AVX-512 tables run 16 rows a
// register: widths 4 and 8. On an Intel Xeon (Ice Lake), 4096 x 4096, 8-bit
// rows this way take 0.69 of W @ x's time, the VBMI tiles 0.88-0.91 (medians
// of 15 paired runs, two runs of each). AMD's Zen 4 routes long 8-bit rows
// to the AVX2 tiles instead (dispatch.cpp).
inline bool asym_rows_in_lanes(const RowRun& r) { return r.bits == 4 || r.bits == 8; }

struct Kernels {
    Level level;
    // NaN-propagating head of 16, maxNum tail; +0.0 for n = 0.
    float (*absmax)(const float* v, size_t n);
    // NaN-propagating head of 8, minNum/maxNum tail; (+inf, -inf) for n = 0.
    void (*min_max)(const float* v, size_t n, float* lo, float* hi);
    // Symmetric blocks: scales[nb]; bytes packed_len(len, bits) long. The
    // fixed-width and adaptive quantizers write every byte of their codes, so
    // the bytes need not be cleared first.
    void (*quantize_sym)(const float* v, size_t len, size_t block, uint32_t bits, float* scales, uint8_t* bytes);
    // Asymmetric codes of one block with a known (inv, zero point).
    void (*asym_codes)(const float* v, size_t n, float inv, float zero_point, uint32_t bits, int32_t* codes);
    // Asymmetric blocks in one bit stream: scales[nb], zero_points[nb].
    void (*quantize_asym)(const float* v, size_t len, size_t block, uint32_t bits, float* scales, float* zero_points,
                          uint8_t* bytes);
    // Adaptive blocks: each block's width, scale and zero point from its range.
    void (*adaptive_params)(const float* v, size_t len, size_t block, float tolerance, uint32_t* widths,
                            float* scales, float* zero_points);
    // Then their codes, each block in its own byte-aligned run at its width;
    // bytes adaptive_data_len long.
    void (*adaptive_codes)(const float* v, size_t len, size_t block, const uint32_t* widths, const float* scales,
                           const float* zero_points, uint8_t* bytes);
    // Both at once, bytes len long (the most any widths take); returns the
    // length of the runs, the bytes past them left in any state.
    size_t (*quantize_adaptive)(const float* v, size_t len, size_t block, float tolerance, uint32_t* widths,
                                float* scales, float* zero_points, uint8_t* bytes);
    // count codes of width 2..=16, sign-extended.
    void (*unpack)(const uint8_t* bytes, uint32_t bits, size_t count, int32_t* out);
    void (*dequant_sym)(const float* scales, const uint8_t* bytes, uint32_t bits, size_t block, size_t count,
                        float* out);
    // widths == nullptr: one bit stream of `bits`; else adaptive runs.
    void (*dequant_asym)(const float* scales, const float* zero_points, const uint8_t* bytes, uint32_t bits,
                         const uint32_t* widths, size_t block, size_t count, float* out);
    float (*dot_i8)(const float* scales, const uint8_t* bytes, size_t block, const float* x, size_t n);
    float (*dot_sym)(const float* scales, const uint8_t* bytes, uint32_t bits, size_t block, const float* x,
                     size_t n);
    float (*dot_asym)(const float* scales, const float* zero_points, const uint8_t* bytes, uint32_t bits,
                      size_t block, const float* x, size_t n);
    // Sequential sum of dequantized adaptive values times x, from -0.0.
    float (*dot_adaptive)(const float* scales, const float* zero_points, const uint8_t* data,
                          const uint32_t* widths, size_t block, const float* x, size_t n);
    // Least-squares fit of every block: scales[nb], zero_points[nb].
    void (*fit_blocks)(const float* v, const int32_t* codes, size_t len, size_t block, float* scales,
                       float* zero_points);
    // The same fit from packed codes: one stream of `bits` (widths == nullptr)
    // or adaptive runs.
    void (*fit_packed)(const float* v, const uint8_t* bytes, uint32_t bits, const uint32_t* widths, size_t len,
                       size_t block, float* scales, float* zero_points);
    void (*widen_f16)(const uint16_t* in, size_t n, float* out);
    void (*narrow_f16)(const float* in, size_t n, uint16_t* out);
    // The dot products of every row of a run with k vectors of cols floats,
    // out[j * ld + i] for row i and vector j, each bit for bit the 1-D dot
    // of its row: 8-bit symmetric, other symmetric widths, asymmetric, adaptive.
    void (*rows_dot_i8)(const RowRun& r, const float* x, size_t k, float* out, size_t ld);
    void (*rows_dot_sym)(const RowRun& r, const float* x, size_t k, float* out, size_t ld);
    void (*rows_dot_asym)(const RowRun& r, const float* x, size_t k, float* out, size_t ld);
    void (*rows_dot_adaptive)(const RowRun& r, const float* x, size_t k, float* out, size_t ld);

    // ---- super-block types (type: a SuperType of shared/superblock.hpp) and weighted fits ----
    // nsb super-blocks of 256 values, w nullptr or as many weights; returns the
    // first super-block with no encoding (a non-finite value, or scales beyond
    // half precision), nsb when there is none.
    size_t (*quantize_super)(uint32_t type, const float* v, const float* w, size_t nsb, uint8_t* out);
    void (*dequant_super)(uint32_t type, const uint8_t* bytes, size_t nsb, float* out);
    // The 16-lane sum of the decoded values times x, over nsb * 256 values.
    float (*dot_super)(uint32_t type, const uint8_t* bytes, const float* x, size_t nsb);
    // dot_super of each of rows consecutive rows of nsb super-blocks with x, into out[row].
    void (*rows_dot_super)(uint32_t type, const uint8_t* bytes, size_t rows, const float* x, size_t nsb, float* out);
    // The same sum of y[i] * x[i], of each of `rows` rows of y with each of k
    // vectors of x (both n floats apart), into out[j * ld + row].
    void (*dot_lanes)(const float* y, size_t rows, const float* x, size_t k, size_t n, float* out, size_t ld);
    // quantize_sym and quantize_asym with len weights: each block's scale (and
    // zero point) from the weighted fit; bytes zero-filled.
    void (*quantize_sym_weighted)(const float* v, const float* w, size_t len, size_t block, uint32_t bits,
                                  float* scales, uint8_t* bytes);
    void (*quantize_asym_weighted)(const float* v, const float* w, size_t len, size_t block, uint32_t bits,
                                   const uint32_t* widths, float* scales, float* zero_points, uint8_t* bytes);

    // ---- the bounded encoder: blocks sharing one scale, the step 1 / inv ----
    // Each block's centre in whole steps: its mean, clipped so that its range
    // (from its 8-bit asymmetric parameters) fits 8-bit codes where it can;
    // NaN or infinite where there is none. wide[b]: the range spans more than
    // 255 steps. exact_sums: the block sums are exact in float.
    void (*centre_blocks)(const float* v, size_t len, size_t block, float inv, bool exact_sums, float* centres,
                          uint8_t* wide);
    // The 8-bit codes of every value, in steps around its block's centre
    // (whole numbers), clamped, NaN giving 0.
    void (*centred_codes)(const float* v, size_t len, size_t block, float inv, const float* centres, int8_t* codes);
    // bad[b]: some decoded value of block b is not within t of its value.
    void (*blocks_within)(const float* decoded, const float* v, size_t len, size_t block, float t, uint8_t* bad);
};

// The table chosen once per process from the CPU's features, unless a level
// is forced.
const Kernels& active();

// Makes active() the table of a supported level (for tests and benchmarks;
// InternalError for a level this CPU cannot run), and back to the chosen one.
void force_level(Level level);
void unforce_level();

// Where the forced level is kept, and a cell to keep it in instead: another
// copy of the core in the same process hands over its own, so that both run
// the same level.
std::atomic<int>* forced_level_cell();
void share_forced_level(std::atomic<int>* cell);

// Every level this CPU can run, the scalar reference first.
std::vector<Level> supported_levels();

// The table of a supported level (tests call each twin through this).
const Kernels& kernels_at(Level level);

const char* level_name(Level level);

// Tables defined by the per-level translation units.
const Kernels& scalar_kernels();
#if defined(__x86_64__)
const Kernels& sse2_kernels();
const Kernels& avx2_kernels();
const Kernels& avx512_kernels();
const Kernels& avx512vbmi_kernels();
#endif
#if defined(__aarch64__)
const Kernels& neon_kernels();
#endif

}  // namespace velmar::simd
