#include "methods/asymmetric.hpp"

#include <algorithm>

#include "kernels/block.hpp"

namespace velmar::asymmetric {

template <class T>
Result<Quantized<T>> quantize_with(std::span<const float> values, uint32_t bits, size_t block) {
    if (const Status st = check_bits(bits); !st) return std::unexpected(st.error());
    if (block == 0) return std::unexpected(CoreError::invalid_block(0));

    Quantized<T> q;
    q.kind = Kind::Asymmetric;
    q.block = block;
    q.len = values.size();

    const size_t len = values.size();
    const size_t nb = block_count(len, block);
    q.scales.reserve(nb);
    q.zero_points.reserve(nb);
    std::vector<int32_t> codes;
    codes.reserve(len);
    for (size_t start = 0; start < len;) {
        const size_t n = std::min(block, len - start);
        const auto [scale, zero_point] = quantize_asym_block(values.subspan(start, n), bits, codes);
        q.scales.push_back(from_f32<T>(scale));
        q.zero_points.push_back(from_f32<T>(zero_point));
        start += n;
    }
    q.packed = Packed::from_i32s(codes, bits);
    return q;
}

template Result<Quantized<f32>> quantize_with<f32>(std::span<const float>, uint32_t, size_t);
template Result<Quantized<f16>> quantize_with<f16>(std::span<const float>, uint32_t, size_t);
template Result<Quantized<bf16>> quantize_with<bf16>(std::span<const float>, uint32_t, size_t);

}  // namespace velmar::asymmetric
