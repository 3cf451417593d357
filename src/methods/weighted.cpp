#include "methods/weighted.hpp"

#include <cmath>

#include "kernels/ranges.hpp"
#include "kernels/superblock.hpp"
#include "shared/decode.hpp"

namespace velmar::weighted {

std::optional<size_t> bad_weight(std::span<const float> weights) {
    for (size_t i = 0; i < weights.size(); ++i)
        if (!(std::isfinite(weights[i]) && weights[i] >= 0.0f)) return i;
    return std::nullopt;
}

std::vector<float> normalized(std::span<const float> weights) {
    float top = 0.0f;
    for (const float w : weights) top = std::max(top, w);
    if (!(top > 0.0f)) return {};
    std::vector<float> out(weights.begin(), weights.end());
    for (float& w : out) w = w / top;
    return out;
}

template <class T>
Result<rows::Parts<T>> quantize(std::span<const float> values, size_t rows, size_t cols, const rows::Spec& spec,
                                std::span<const float> weights) {
    require(weights.size() == cols && !bad_weight(weights), "weighted::quantize: weights are not one per column");
    const std::vector<float> w = normalized(weights);
    if (w.empty() || cols == 0) return rows::quantize<T>(values, rows, cols, spec);
    require(values.size() / cols == rows && values.size() % cols == 0, "weighted::quantize: values are not rows * cols");
    // Quantizing no rows checks the spec as the unweighted quantizer does.
    if (Result<rows::Parts<T>> none = rows::quantize<T>(values.first(0), 0, cols, spec); !none) return none;
    const size_t nb = block_count(cols, spec.block);
    std::vector<float> scales(rows * nb), zero_points(spec.kind == Kind::Symmetric ? 0 : rows * nb);
    rows::Parts<T> p;
    std::vector<size_t> starts(rows + 1, 0);
    if (spec.kind == Kind::Adaptive) {
        p.widths.resize(rows * nb);
        for (size_t i = 0; i < rows; ++i) {
            const std::span<uint32_t> wi = std::span(p.widths).subspan(i * nb, nb);
            ranges::adaptive_widths(values.subspan(i * cols, cols), spec.block, spec.tolerance, wi);
            starts[i + 1] = starts[i] + adaptive_data_len(wi.data(), spec.block, cols);
        }
    } else {
        for (size_t i = 0; i < rows; ++i) starts[i + 1] = starts[i] + packed_len(cols, spec.bits);
    }
    p.codes.assign(starts[rows], 0);
    for (size_t i = 0; i < rows; ++i) {
        const std::span<const float> v = values.subspan(i * cols, cols);
        const std::span<uint8_t> out = std::span(p.codes).subspan(starts[i], starts[i + 1] - starts[i]);
        const std::span<float> s = std::span(scales).subspan(i * nb, nb);
        switch (spec.kind) {
            case Kind::Symmetric: super::quantize_sym(v, w, spec.block, spec.bits, s, out); break;
            case Kind::Asymmetric:
                super::quantize_asym(v, w, spec.block, spec.bits, s, std::span(zero_points).subspan(i * nb, nb), out);
                break;
            case Kind::Adaptive:
                super::quantize_adaptive(v, w, spec.block, std::span<const uint32_t>(p.widths).subspan(i * nb, nb), s,
                                         std::span(zero_points).subspan(i * nb, nb), out);
                break;
        }
    }
    p.scales = narrow<T>(std::move(scales));
    p.zero_points = narrow<T>(std::move(zero_points));
    return p;
}

template Result<rows::Parts<f32>> quantize<f32>(std::span<const float>, size_t, size_t, const rows::Spec&,
                                                std::span<const float>);
template Result<rows::Parts<f16>> quantize<f16>(std::span<const float>, size_t, size_t, const rows::Spec&,
                                                std::span<const float>);
template Result<rows::Parts<bf16>> quantize<bf16>(std::span<const float>, size_t, size_t, const rows::Spec&,
                                                  std::span<const float>);

}  // namespace velmar::weighted
