#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

#include "shared/tensor.hpp"

namespace velmar::asymmetric {

template <class T>
Result<Quantized<T>> quantize_with(std::span<const float> values, uint32_t bits, size_t block);

}  // namespace velmar::asymmetric
