#include "methods/asymmetric.hpp"

#include "kernels/block.hpp"
#include "shared/decode.hpp"

namespace velmar::asymmetric {

template <class T>
Result<Quantized<T>> quantize_with(std::span<const float> values, uint32_t bits, size_t block) {
    if (const Status st = check_bits(bits); !st) return std::unexpected(st.error());
    if (block == 0) return std::unexpected(CoreError::invalid_block(0));
    AsymBlocks r = quantize_asym_packed(values, bits, block);
    Quantized<T> q =
        make_record<T>(Kind::Asymmetric, block, values.size(), std::move(r.scales), std::move(r.zero_points));
    q.packed = {std::move(r.bytes), values.size(), bits};
    return q;
}

template Result<Quantized<f32>> quantize_with<f32>(std::span<const float>, uint32_t, size_t);
template Result<Quantized<f16>> quantize_with<f16>(std::span<const float>, uint32_t, size_t);
template Result<Quantized<bf16>> quantize_with<bf16>(std::span<const float>, uint32_t, size_t);

}  // namespace velmar::asymmetric
