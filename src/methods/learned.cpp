#include "methods/learned.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "kernels/dispatch.hpp"
#include "shared/decode.hpp"

namespace velmar {

namespace {

// The float nearest to 1e-12, pinned by its bit pattern.
const float kTiny = std::bit_cast<float>(0x2B8CBCCCu);

}  // namespace

std::pair<float, float> fit_scale_and_zero_point(std::span<const float> values, std::span<const int32_t> codes) {
    const size_t n = values.size();
    if (n == 0) return {1.0f, 0.0f};
    const float nf = static_cast<float>(n);

    float sq = 0.0f;
    float sx = 0.0f;
    float sqq = 0.0f;
    float sxq = 0.0f;
    const size_t m = std::min(values.size(), codes.size());
    for (size_t i = 0; i < m; ++i) {
        const float q = static_cast<float>(codes[i]);
        const float x = values[i];
        sq = sq + q;
        sx = sx + x;
        const float qq = q * q;
        sqq = sqq + qq;
        const float xq = x * q;
        sxq = sxq + xq;
    }

    const float mq = sq / nf;
    const float t = sq * mq;
    // Ordered comparisons: NaN sums fall through and propagate.
    if (std::fabs(sqq - t) < kTiny) return {1.0f, 0.0f};
    const float var = sqq - t;
    const float mx = sx / nf;
    const float cov = sxq - (sq * mx);
    const float s = cov / var;
    if (std::fabs(s) < kTiny) return {1.0f, 0.0f};
    const float p = mq * s;
    const float d = mx - p;
    const float z = (-d) / s;
    return {s, z};
}

template <class T>
void refine(Quantized<T>& q, std::span<const float> values) {
    if (q.len == 0 || values.size() != q.len) return;
    // Throws on a broken record before anything is built or replaced.
    const std::vector<int32_t> codes = q.unpacked_codes();
    const std::span<const int32_t> all_codes(codes);

    Quantized<T> next;
    next.kind = q.kind == Kind::Adaptive ? Kind::Adaptive : Kind::Asymmetric;
    next.block = q.block;
    next.len = q.len;
    // Blocks are independent, so the twins fit several at once, each block's
    // four sums still in element order.
    const size_t nb = block_count(q.len, q.block);
    std::vector<float> scales(nb);
    std::vector<float> zero_points(nb);
    simd::active().fit_blocks(values.data(), all_codes.data(), q.len, q.block, scales.data(), zero_points.data());
    next.scales = narrow<T>(std::move(scales));
    next.zero_points = narrow<T>(std::move(zero_points));
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
