#pragma once
#include <span>
#include <utility>

namespace velmar {

// Block magnitude maximum: NaN-propagating over the 16-element head, maxNum
// fold over the tail, starting from +0.0.
float absmax_sym(std::span<const float> values);

// (minimum, maximum): NaN-propagating over the 8-element head, minNum/maxNum
// fold over the tail; (+inf, -inf) for an empty slice.
std::pair<float, float> min_max_neon(std::span<const float> values);

// The scalar statements of the two reductions (the reference).
float absmax_sym_scalar(std::span<const float> values);
std::pair<float, float> min_max_neon_scalar(std::span<const float> values);

}  // namespace velmar
