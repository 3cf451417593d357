#include "methods/learned.hpp"

#include <algorithm>

#include "kernels/block.hpp"
#include "shared/decode.hpp"

namespace velmar {

std::pair<float, float> fit_scale_and_zero_point(std::span<const float> values, std::span<const int32_t> codes) {
    const Fit f = fit_run(values.data(), codes.data(), std::min(values.size(), codes.size()), values.size());
    return {f.scale, f.zero_point};
}

template <class T>
void refine(Quantized<T>& q, std::span<const float> values) {
    if (q.len == 0 || values.size() != q.len) return;
    // Throws on a broken record before anything is built or replaced.
    const std::vector<int32_t> codes = q.unpacked_codes();
    // Blocks are independent, so the twins fit several at once, each block's
    // four sums still in element order.
    Fitted f = fit_blocks(values, codes, q.block);
    Quantized<T> next = make_record<T>(q.kind == Kind::Adaptive ? Kind::Adaptive : Kind::Asymmetric, q.block, q.len,
                                       std::move(f.scales), std::move(f.zero_points));
    if (next.kind == Kind::Adaptive) {
        next.data = q.data;
        next.block_bits = q.block_bits;
    } else {
        next.packed = q.packed;
    }
    // Everything that can throw is done; the move cannot fail halfway.
    q = std::move(next);
}

template void refine<f32>(Quantized<f32>&, std::span<const float>);
template void refine<f16>(Quantized<f16>&, std::span<const float>);
template void refine<bf16>(Quantized<bf16>&, std::span<const float>);

}  // namespace velmar
