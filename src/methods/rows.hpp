#pragma once
// Quantizing a matrix row by row: every row becomes the 1-D tensor of that
// row, and the parts of all rows are stored one row after another. A 1-D
// vector is one row: the three methods' quantize_with run here.
#include <cstddef>
#include <functional>
#include <span>

#include "shared/tensor.hpp"

namespace velmar::rows {

// values holds rows * cols floats, row after row. When shared, they may
// change while it runs (a caller's array read with the lock released while
// other threads run): each block's scale and codes then come from the same
// reading. The scheme is checked as the 1-D quantizers check it, bits before
// block before tolerance.
template <class T>
Result<Parts<T>> quantize(std::span<const float> values, size_t rows, size_t cols, const Scheme& scheme,
                          bool shared = true);

// The 1-D record of values as one row; the values must not change meanwhile.
template <class T>
Result<Quantized<T>> quantize_row(std::span<const float> values, const Scheme& scheme);

// Fills out with the values from index first on.
using ReadPiece = std::function<void(size_t first, std::span<float> out)>;

// The same record of count values that read gives a piece of some thousands
// at a time, each piece read once: values kept in another form (doubles to
// round) need no buffer as long as they are.
template <class T>
Result<Quantized<T>> quantize_row(size_t count, const ReadPiece& read, const Scheme& scheme);

// The rows of rows * cols values that read gives likewise, a run at a time.
template <class T>
Result<Parts<T>> quantize(size_t rows, size_t cols, const ReadPiece& read, const Scheme& scheme);

}  // namespace velmar::rows
