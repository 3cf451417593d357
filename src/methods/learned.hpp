#pragma once
#include <cstdint>
#include <span>
#include <utility>

#include "shared/tensor.hpp"

namespace velmar {

// Least-squares (scale, zero point) with values ~ scale * (code - zero point).
std::pair<float, float> fit_scale_and_zero_point(std::span<const float> values, std::span<const int32_t> codes);

// Refits every block in place; returns at once when values.size() != q.len or
// len is 0. The replacement happens whole or not at all.
template <class T>
void refine(Quantized<T>& q, std::span<const float> values);

// The record refine would make of q, q itself unchanged (values.size() ==
// q.len > 0).
template <class T>
Quantized<T> refined(const Quantized<T>& q, std::span<const float> values);

}  // namespace velmar
