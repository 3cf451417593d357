#include "methods/adaptive.hpp"

#include <cmath>

#include "kernels/block.hpp"
#include "shared/decode.hpp"

namespace velmar::adaptive {

template <class T>
Result<Quantized<T>> quantize_with(std::span<const float> values, size_t block, float tolerance) {
    if (block == 0) return std::unexpected(CoreError::invalid_block(0));
    if (!(tolerance > 0.0f && std::isfinite(tolerance))) return std::unexpected(CoreError::invalid_tolerance());
    // Two passes: the widths first, so that `data` is allocated once at its
    // exact size; the second pass recomputes each block's range (the same
    // pair) while the block is in cache.
    std::vector<uint32_t> widths = adaptive_widths(values, block, tolerance);
    AsymBlocks r = quantize_adaptive(values, block, widths);
    Quantized<T> q =
        make_record<T>(Kind::Adaptive, block, values.size(), std::move(r.scales), std::move(r.zero_points));
    q.data = std::move(r.bytes);
    q.block_bits = std::move(widths);
    return q;
}

template Result<Quantized<f32>> quantize_with<f32>(std::span<const float>, size_t, float);
template Result<Quantized<f16>> quantize_with<f16>(std::span<const float>, size_t, float);
template Result<Quantized<bf16>> quantize_with<bf16>(std::span<const float>, size_t, float);

}  // namespace velmar::adaptive
