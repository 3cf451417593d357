#include "methods/adaptive.hpp"

#include <algorithm>
#include <cmath>

#include "kernels/dispatch.hpp"
#include "kernels/memory.hpp"
#include "shared/decode.hpp"

namespace velmar::adaptive {

template <class T>
Result<Quantized<T>> quantize_with(std::span<const float> values, size_t block, float tolerance) {
    if (block == 0) return std::unexpected(CoreError::invalid_block(0));
    if (!(tolerance > 0.0f && std::isfinite(tolerance))) return std::unexpected(CoreError::invalid_tolerance());

    Quantized<T> q;
    q.kind = Kind::Adaptive;
    q.block = block;
    q.len = values.size();

    const size_t len = values.size();
    const size_t nb = block_count(len, block);
    const simd::Kernels& k = simd::active();
    // Two passes: the widths first, so that `data` is allocated once at its
    // exact size; the second pass recomputes each block's range (the same
    // pair) while the block is in cache.
    assign_fresh(q.block_bits, nb, 0u);
    k.adaptive_widths(values.data(), len, block, tolerance, q.block_bits.data());
    size_t total = 0;
    for (size_t b = 0, off = 0; b < nb; ++b) {
        const size_t n = std::min(block, len - off);
        total += packed_len(n, q.block_bits[b]);
        off += n;
    }
    assign_fresh(q.data, total, uint8_t{0});
    std::vector<float> scales;
    std::vector<float> zero_points;
    assign_fresh(scales, nb, 0.0f);
    assign_fresh(zero_points, nb, 0.0f);
    k.quantize_asym(values.data(), len, block, 0, q.block_bits.data(), scales.data(), zero_points.data(),
                    q.data.data());
    q.scales = narrow<T>(std::move(scales));
    q.zero_points = narrow<T>(std::move(zero_points));
    return q;
}

template Result<Quantized<f32>> quantize_with<f32>(std::span<const float>, size_t, float);
template Result<Quantized<f16>> quantize_with<f16>(std::span<const float>, size_t, float);
template Result<Quantized<bf16>> quantize_with<bf16>(std::span<const float>, size_t, float);

}  // namespace velmar::adaptive
