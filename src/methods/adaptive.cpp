#include "methods/adaptive.hpp"

#include <algorithm>
#include <cmath>

#include "kernels/block.hpp"
#include "kernels/reduce.hpp"
#include "shared/params.hpp"

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
    q.scales.reserve(nb);
    q.zero_points.reserve(nb);
    q.block_bits.reserve(nb);
    std::vector<int32_t> codes;
    for (size_t start = 0; start < len;) {
        const size_t n = std::min(block, len - start);
        const std::span<const float> blk = values.subspan(start, n);
        const auto [lo, hi] = min_max_neon(blk);
        const float range = hi - lo;
        const uint32_t w = choose_bits(range, tolerance);
        codes.clear();
        const auto [scale, zero_point] = quantize_asym_block(blk, w, codes);
        q.scales.push_back(from_f32<T>(scale));
        q.zero_points.push_back(from_f32<T>(zero_point));
        q.block_bits.push_back(w);
        // Each block starts on a byte boundary.
        const Packed p = Packed::from_i32s(codes, w);
        q.data.insert(q.data.end(), p.bytes.begin(), p.bytes.end());
        start += n;
    }
    return q;
}

template Result<Quantized<f32>> quantize_with<f32>(std::span<const float>, size_t, float);
template Result<Quantized<f16>> quantize_with<f16>(std::span<const float>, size_t, float);
template Result<Quantized<bf16>> quantize_with<bf16>(std::span<const float>, size_t, float);

}  // namespace velmar::adaptive
