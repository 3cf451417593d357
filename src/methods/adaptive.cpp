#include "methods/adaptive.hpp"

#include "methods/rows.hpp"

namespace velmar::adaptive {

template <class T>
Result<Quantized<T>> quantize_with(std::span<const float> values, size_t block, float tolerance) {
    return rows::quantize_row<T>(values, {Kind::Adaptive, 0, block, tolerance});
}

template Result<Quantized<f32>> quantize_with<f32>(std::span<const float>, size_t, float);
template Result<Quantized<f16>> quantize_with<f16>(std::span<const float>, size_t, float);
template Result<Quantized<bf16>> quantize_with<bf16>(std::span<const float>, size_t, float);

}  // namespace velmar::adaptive
