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
Quantized<T> refined(const Quantized<T>& q, std::span<const float> values) {
    // Throws on a broken record before anything is built.
    q.require_invariants();
    const bool adaptive = q.kind == Kind::Adaptive;
    // Blocks are independent, so the twins fit several at once, each block's
    // four sums still in element order, the codes read where they are packed.
    Fitted f = adaptive ? fit_packed(values, q.data, 0, q.block_bits, q.block)
                        : fit_packed(values, q.packed.bytes, q.packed.bits, {}, q.block);
    Quantized<T> next = make_record<T>(adaptive ? Kind::Adaptive : Kind::Asymmetric, q.block, q.len,
                                       std::move(f.scales), std::move(f.zero_points));
    if (adaptive) {
        next.data = q.data;
        next.block_bits = q.block_bits;
    } else {
        next.packed = q.packed;
    }
    return next;
}

template <class T>
void refine(Quantized<T>& q, std::span<const float> values) {
    if (q.len == 0 || values.size() != q.len) return;
    // Everything that can throw is done first; the move cannot fail halfway.
    q = refined(q, values);
}

template void refine<f32>(Quantized<f32>&, std::span<const float>);
template void refine<f16>(Quantized<f16>&, std::span<const float>);
template void refine<bf16>(Quantized<bf16>&, std::span<const float>);
template Quantized<f32> refined<f32>(const Quantized<f32>&, std::span<const float>);
template Quantized<f16> refined<f16>(const Quantized<f16>&, std::span<const float>);
template Quantized<bf16> refined<bf16>(const Quantized<bf16>&, std::span<const float>);

}  // namespace velmar
