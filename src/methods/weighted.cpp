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

template <class T>
rows::Parts<T> refit(const rows::View<T>& v, std::span<const float> values, std::span<const float> weights) {
    require(rows::check(v).empty(), "weighted::refit: parts do not match the shape");
    size_t count = 0;
    require(!__builtin_mul_overflow(v.rows, v.cols, &count) && values.size() == count,
            "weighted::refit: values are not rows * cols");
    require(weights.empty() || (weights.size() == v.cols && !bad_weight(weights)),
            "weighted::refit: weights are not one per column");
    const std::vector<float> w = normalized(weights);
    const size_t nb = block_count(v.cols, v.spec.block);
    const bool adaptive = v.spec.kind == Kind::Adaptive;
    std::vector<float> scales(v.rows * nb), zero_points(v.rows * nb);
    std::vector<int32_t> codes(v.cols);
    size_t start = 0;
    for (size_t i = 0; i < v.rows; ++i) {
        const uint32_t* widths = adaptive ? v.widths.data() + i * nb : nullptr;
        const size_t bytes = adaptive ? adaptive_data_len(widths, v.spec.block, v.cols) : packed_len(v.cols, v.spec.bits);
        for_each_block_codes(v.codes.data() + start, v.spec.bits, widths, v.cols, v.spec.block,
                             [&](size_t, size_t first, size_t n, const uint8_t* base, uint32_t bits, size_t at) {
                                 for (size_t j = 0; j < n; ++j) codes[first + j] = code_at(base, at + j, bits);
                             });
        const float* x = values.data() + i * v.cols;
        for_each_block(v.cols, v.spec.block, [&](size_t b, size_t first, size_t n) {
            const Fit f = w.empty() ? fit_run(x + first, codes.data() + first, n, n)
                                    : fit_weighted(x + first, codes.data() + first, w.data() + first, n);
            scales[i * nb + b] = f.scale;
            zero_points[i * nb + b] = f.zero_point;
        });
        start += bytes;
    }
    rows::Parts<T> p;
    p.codes.assign(v.codes.begin(), v.codes.end());
    p.widths.assign(v.widths.begin(), v.widths.end());
    p.scales = narrow<T>(std::move(scales));
    p.zero_points = narrow<T>(std::move(zero_points));
    return p;
}

template rows::Parts<f32> refit<f32>(const rows::View<f32>&, std::span<const float>, std::span<const float>);
template rows::Parts<f16> refit<f16>(const rows::View<f16>&, std::span<const float>, std::span<const float>);
template rows::Parts<bf16> refit<bf16>(const rows::View<bf16>&, std::span<const float>, std::span<const float>);

template Result<rows::Parts<f32>> quantize<f32>(std::span<const float>, size_t, size_t, const rows::Spec&,
                                                std::span<const float>);
template Result<rows::Parts<f16>> quantize<f16>(std::span<const float>, size_t, size_t, const rows::Spec&,
                                                std::span<const float>);
template Result<rows::Parts<bf16>> quantize<bf16>(std::span<const float>, size_t, size_t, const rows::Spec&,
                                                  std::span<const float>);

}  // namespace velmar::weighted
