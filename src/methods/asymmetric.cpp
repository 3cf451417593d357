#include "methods/asymmetric.hpp"

#include <algorithm>

#include "kernels/dispatch.hpp"
#include "kernels/memory.hpp"
#include "shared/decode.hpp"

namespace velmar::asymmetric {

template <class T>
Result<Quantized<T>> quantize_with(std::span<const float> values, uint32_t bits, size_t block) {
    if (const Status st = check_bits(bits); !st) return std::unexpected(st.error());
    if (block == 0) return std::unexpected(CoreError::invalid_block(0));

    Quantized<T> q;
    q.kind = Kind::Asymmetric;
    q.block = block;
    q.len = values.size();
    q.packed.bits = bits;

    const size_t len = values.size();
    const size_t nb = block_count(len, block);
    // Codes go straight into the final zero-filled stream, block by block,
    // giving the bytes from_i32s would give for all codes at once.
    std::vector<float> scales;
    std::vector<float> zero_points;
    assign_fresh(scales, nb, 0.0f);
    assign_fresh(zero_points, nb, 0.0f);
    assign_fresh(q.packed.bytes, packed_len(len, bits), uint8_t{0});
    q.packed.count = len;
    simd::active().quantize_asym(values.data(), len, block, bits, nullptr, scales.data(), zero_points.data(),
                                 q.packed.bytes.data());
    q.scales = narrow<T>(std::move(scales));
    q.zero_points = narrow<T>(std::move(zero_points));
    return q;
}

template Result<Quantized<f32>> quantize_with<f32>(std::span<const float>, uint32_t, size_t);
template Result<Quantized<f16>> quantize_with<f16>(std::span<const float>, uint32_t, size_t);
template Result<Quantized<bf16>> quantize_with<bf16>(std::span<const float>, uint32_t, size_t);

}  // namespace velmar::asymmetric
