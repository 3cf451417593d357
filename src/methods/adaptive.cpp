#include "methods/adaptive.hpp"

#include <cmath>

#include "kernels/block.hpp"
#include "shared/decode.hpp"

namespace velmar::adaptive {

template <class T>
Result<Quantized<T>> quantize_with(std::span<const float> values, size_t block, float tolerance) {
    if (block == 0) return std::unexpected(CoreError::invalid_block(0));
    if (!(tolerance > 0.0f && std::isfinite(tolerance))) return std::unexpected(CoreError::invalid_tolerance());
    // The widths of a few thousand values, then their codes, which recompute
    // each block's range (the same pair) while it is in cache.
    AdaptiveBlocks r = quantize_adaptive(values, block, tolerance);
    Quantized<T> q = make_record<T>(Kind::Adaptive, block, values.size(), std::move(r.blocks.scales),
                                    std::move(r.blocks.zero_points));
    q.data = std::move(r.blocks.bytes);
    q.block_bits = std::move(r.widths);
    return q;
}

template Result<Quantized<f32>> quantize_with<f32>(std::span<const float>, size_t, float);
template Result<Quantized<f16>> quantize_with<f16>(std::span<const float>, size_t, float);
template Result<Quantized<bf16>> quantize_with<bf16>(std::span<const float>, size_t, float);

}  // namespace velmar::adaptive
