#pragma once
// The checked layer over the dispatch table, the library's only way to the
// kernels. A view is checked whole (require_whole in shared/tensor) and every
// buffer beside it against its shape, so a broken record or part throws
// InternalError instead of touching memory outside a buffer; then the kernel
// of the kind and width runs at the level chosen for this CPU. Packed's
// unpack_into and unpack_slice, and the 4- and 8-bit entries of kernels/i4
// and kernels/i8, are defined over the same layer.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "shared/superblock.hpp"
#include "shared/tensor.hpp"

namespace velmar {

// ---- quantizing: values into parts sized exactly for them as one row ----

// One bit stream of `bits` (2..=16) in blocks of `block`: a scale per block.
void quantize_sym_packed(std::span<const float> values, uint32_t bits, size_t block, std::span<float> scales,
                         std::span<uint8_t> bytes);
// The same with a zero point per block.
void quantize_asym_packed(std::span<const float> values, uint32_t bits, size_t block, std::span<float> scales,
                          std::span<float> zero_points, std::span<uint8_t> bytes);
// Each adaptive block's width, and its scale and zero point at that width.
void adaptive_params(std::span<const float> values, size_t block, float tolerance, std::span<uint32_t> widths,
                     std::span<float> scales, std::span<float> zero_points);
// Those, then each block's codes in its own byte run at its width, a few
// thousand values at a time while they are in cache: the codes are appended
// to bytes, which grows as they come.
void quantize_adaptive(std::span<const float> values, size_t block, float tolerance, std::span<uint32_t> widths,
                       std::span<float> scales, std::span<float> zero_points, Bytes& bytes);

// The same three with a weight per value: each block's scale (and zero
// point) from the weighted fit (kernels/superblock_fit.hpp).
void quantize_sym_weighted(std::span<const float> values, std::span<const float> weights, uint32_t bits, size_t block,
                           std::span<float> scales, std::span<uint8_t> bytes);
void quantize_asym_weighted(std::span<const float> values, std::span<const float> weights, uint32_t bits,
                            size_t block, std::span<float> scales, std::span<float> zero_points,
                            std::span<uint8_t> bytes);
void quantize_adaptive_weighted(std::span<const float> values, std::span<const float> weights, size_t block,
                                std::span<const uint32_t> widths, std::span<float> scales,
                                std::span<float> zero_points, std::span<uint8_t> bytes);

// ---- the bounded encoder (methods/bounded): blocks sharing the step 1 / inv ----

// Each block's centre in whole steps (NaN or infinite where it has none) and
// whether its range spans more than 255 steps: one of each per block.
void centre_blocks(std::span<const float> values, size_t block, float inv, bool exact_sums, std::span<float> centres,
                   std::span<uint8_t> wide);
// The 8-bit code of every value around its block's centre (one per block).
void centred_codes(std::span<const float> values, size_t block, float inv, std::span<const float> centres,
                   std::span<int8_t> codes);
// bad[b]: some decoded value of block b is not within t of its value.
void blocks_within(std::span<const float> decoded, std::span<const float> values, size_t block, float t,
                   std::span<uint8_t> bad);

// ---- super-block types (GGUF K-quants): whole super-blocks of 256 values ----

// Bytes of one super-block.
size_t super_block_bytes(SuperType t);
// weights: empty or one per value. Returns the first super-block with no
// encoding (a non-finite value, or scales beyond half precision), or the count.
size_t quantize_super(SuperType t, std::span<const float> values, std::span<const float> weights,
                      std::span<uint8_t> out);
void decode_super(SuperType t, std::span<const uint8_t> bytes, std::span<float> out);
// The 16-lane sum of the decoded values times x, and the same over values
// decoded already.
float dot_super(SuperType t, std::span<const uint8_t> bytes, std::span<const float> x);
// dot_super of each row of bytes (rows of x.size() values, one after another) with x.
void rows_dot_super(SuperType t, std::span<const uint8_t> bytes, std::span<const float> x, std::span<float> out);
float dot_lanes(std::span<const float> y, std::span<const float> x);
// The same of each row of y with each vector of x (both rows of n), into
// out[j * ld + row].
void dot_lanes(std::span<const float> y, size_t n, std::span<const float> x, std::span<float> out, size_t ld);

// ---- reading a view ----

// The decoded values of every row, rows * cols floats.
template <class T>
void decode_rows(const Rows<T>& v, std::span<float> out);

// The sign-extended codes of every row, rows * cols of them.
template <class T>
void unpack_rows(const Rows<T>& v, std::span<int32_t> out);

// A view's rows read in order, some at a time; the view is checked once.
template <class T>
class RowReader {
public:
    explicit RowReader(const Rows<T>& v, Check check = Check::Whole);

    // The dot products of the next n rows with k vectors of cols floats:
    // out[j * ld + i] for row i of the n and vector j, each the 1-D dot of its
    // row bit for bit (+0.0 for rows of no values).
    void dot(size_t n, std::span<const float> x, size_t k, std::span<float> out, size_t ld);

    // The decoded values of the next n rows, n * cols floats.
    void decode(size_t n, std::span<float> out);

    size_t rows_left() const { return v_.rows - row_; }

private:
    // The view of the next n rows, which then count as read.
    Rows<T> take(size_t n);

    Rows<T> v_;
    size_t nb_;
    size_t row_ = 0;
    size_t byte_ = 0;  // where the next row's codes start
};

// out[j * rows + i]: every row with every vector.
template <class T>
void dot_rows(const Rows<T>& v, std::span<const float> x, size_t k, std::span<float> out, Check check = Check::Whole);

// ---- the level that runs ----

// Its name ("avx2", ...).
const char* kernel_level();
// Runs the level of that name from now on, or the one chosen for this CPU
// when name is empty; false, changing nothing, for a level this CPU cannot run.
bool use_kernel_level(std::string_view name);
// The names of the levels this CPU runs, ", " between them.
std::string kernel_levels();
// Each extension module links its own core: one hands its cell to the other
// (share_kernel_level), and a level forced in either runs in both.
std::atomic<int>* kernel_level_cell();
void share_kernel_level(std::atomic<int>* cell);

// ---- the least-squares fit and half-precision conversions ----

struct Fitted {
    std::vector<float> scales;
    std::vector<float> zero_points;
};
// The least-squares (scale, zero point) of every block of values against codes.
Fitted fit_blocks(std::span<const float> values, std::span<const int32_t> codes, size_t block);
// The same from packed codes: one stream of `bits` when widths is empty, else
// an adaptive record's runs.
Fitted fit_packed(std::span<const float> values, std::span<const uint8_t> bytes, uint32_t bits,
                  std::span<const uint32_t> widths, size_t block);

// Half-precision bit patterns to and from floats; in and out of one length.
void widen_f16(std::span<const uint16_t> in, std::span<float> out);
void narrow_f16(std::span<const float> in, std::span<uint16_t> out);

}  // namespace velmar
