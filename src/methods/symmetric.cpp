#include "methods/symmetric.hpp"

#include "methods/rows.hpp"

namespace velmar::symmetric {

template <class T>
Result<Quantized<T>> quantize_with(std::span<const float> values, uint32_t bits, size_t block) {
    return rows::quantize_row<T>(values, {Kind::Symmetric, bits, block});
}

template Result<Quantized<f32>> quantize_with<f32>(std::span<const float>, uint32_t, size_t);
template Result<Quantized<f16>> quantize_with<f16>(std::span<const float>, uint32_t, size_t);
template Result<Quantized<bf16>> quantize_with<bf16>(std::span<const float>, uint32_t, size_t);

}  // namespace velmar::symmetric
