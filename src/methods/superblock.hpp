#pragma once
// Matrices in a super-block type (the GGUF K-quants), row by row: every row is
// a whole number of super-blocks of 256 values, stored one after another in
// the type's own bytes. Quantizing (optionally with a weight per column),
// decoding and the matrix-vector product run over all rows in one call.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "shared/superblock.hpp"

namespace velmar::super_rows {

// Why a matrix has no encoding: where and what.
struct Refusal {
    enum class Why : uint8_t { Shape, Weight, NonFinite, TooLarge };
    Why why;
    size_t at;  // the column (Shape: the row length; Weight: the weight's index; otherwise the row)
};

// Bytes of one row of cols values; cols must be whole super-blocks.
size_t row_bytes(SuperType t, size_t cols);

// values holds rows * cols floats, row after row; weights is empty or holds
// cols finite values >= 0.
std::expected<std::vector<uint8_t>, Refusal> quantize(SuperType t, std::span<const float> values, size_t rows,
                                                      size_t cols, std::span<const float> weights);

// bytes holds rows * row_bytes(t, cols) bytes (InternalError otherwise).
void dequantize(SuperType t, std::span<const uint8_t> bytes, size_t rows, size_t cols, std::span<float> out);

// x holds k vectors of cols floats; out[j * rows + i] is the 16-lane dot
// product of decoded row i with vector j.
void matvec(SuperType t, std::span<const uint8_t> bytes, size_t rows, size_t cols, std::span<const float> x, size_t k,
            std::span<float> out);

}  // namespace velmar::super_rows
