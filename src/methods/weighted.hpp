#pragma once
// Quantizing rows with a weight per column: each block's scale (and zero
// point) minimises the weighted squared error instead of following the
// block's extremes, so columns that matter more are fitted more closely.
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "shared/tensor.hpp"

namespace velmar::weighted {

// The first weight that is not a finite number >= 0, if any.
std::optional<size_t> bad_weight(std::span<const float> weights);

// The weights over their largest, so that sums of them keep their range;
// empty when every weight is 0 (the fit is then unweighted).
std::vector<float> normalized(std::span<const float> weights);

// rows::quantize with `weights` (cols values, each passing bad_weight): the
// same parts, every block fitted with the weights of its columns.
template <class T>
Result<Parts<T>> quantize(std::span<const float> values, size_t rows, size_t cols, const Scheme& scheme,
                          std::span<const float> weights);

// Every block's scale and zero point refitted by least squares to its codes
// against `values` (rows * cols), as refine does for one row, with the
// weights of its columns when `weights` is not empty (cols values, each
// passing bad_weight). With the view's codes (and widths) they are the parts
// of an asymmetric view (adaptive stays adaptive). The view must be whole.
template <class T>
struct Refitted {
    std::vector<T> scales, zero_points;
};

template <class T>
Refitted<T> refit(const Rows<T>& v, std::span<const float> values, std::span<const float> weights);

}  // namespace velmar::weighted
