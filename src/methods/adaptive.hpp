#pragma once
#include <cstddef>
#include <span>

#include "shared/tensor.hpp"

namespace velmar::adaptive {

template <class T>
Result<Quantized<T>> quantize_with(std::span<const float> values, size_t block, float tolerance);

}  // namespace velmar::adaptive
