#pragma once
// A matrix quantized row by row: every row is the 1-D tensor of that row, and
// the parts of all rows are stored one row after another. Quantizing,
// decoding and the matrix-vector product run over all rows in one call.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "shared/tensor.hpp"

namespace velmar::rows {

struct Spec {
    Kind kind = Kind::Symmetric;
    uint32_t bits = 8;  // ignored by Adaptive
    size_t block = 32;
    float tolerance = 0.001f;  // Adaptive only
};

// The concatenated 1-D parts of `rows` rows of `cols` values each.
template <class T>
struct Parts {
    std::vector<uint8_t> codes;
    std::vector<T> scales;
    std::vector<T> zero_points;
    std::vector<uint32_t> widths;
};

// A borrowed view of parts, as decoding and the product read them.
template <class T>
struct View {
    Spec spec;
    size_t rows = 0;
    size_t cols = 0;
    std::span<const uint8_t> codes;
    std::span<const T> scales;
    std::span<const T> zero_points;
    std::span<const uint32_t> widths;
};

// values holds rows * cols floats, row after row. The spec is checked as the
// 1-D quantizers check it.
template <class T>
Result<Parts<T>> quantize(std::span<const float> values, size_t rows, size_t cols, const Spec& spec);

// Empty when every count of the view matches rows, cols and the scheme (widths
// in 2..=8 included); otherwise a message naming the first part that does not.
// Overflow-safe for any field values.
template <class T>
std::string check(const View<T>& v);

// out holds rows * cols floats. The view must pass check() (InternalError
// otherwise).
template <class T>
void dequantize(const View<T>& v, std::span<float> out);

// x holds k vectors of cols floats; out[j * rows + i] is the dot product of row
// i with vector j, bit for bit the 1-D dot of that row.
template <class T>
void matvec(const View<T>& v, std::span<const float> x, size_t k, std::span<float> out);

}  // namespace velmar::rows
