#include "methods/weighted.hpp"

#include <algorithm>
#include <cmath>

#include "kernels/block.hpp"
#include "kernels/memory.hpp"
#include "methods/rows.hpp"
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
Result<Parts<T>> quantize(std::span<const float> values, size_t rows, size_t cols, const Scheme& scheme,
                          std::span<const float> weights) {
    require(weights.size() == cols && !bad_weight(weights), "weighted::quantize: weights are not one per column");
    const std::vector<float> w = normalized(weights);
    if (w.empty() || cols == 0) return rows::quantize<T>(values, rows, cols, scheme);
    if (const Status st = check_scheme(scheme); !st) return std::unexpected(st.error());
    size_t count = 0;
    require(!__builtin_mul_overflow(rows, cols, &count) && count == values.size(),
            "weighted::quantize: values are not rows * cols");
    const size_t nb = block_count(cols, scheme.block);
    std::vector<float> scales(rows * nb), zero_points(scheme.kind == Kind::Symmetric ? 0 : rows * nb);
    Parts<T> p;
    if (scheme.kind == Kind::Adaptive) p.widths.resize(rows * nb);
    // A byte a value at most; taken only as the rows are written.
    p.codes.reserve(scheme.kind == Kind::Adaptive ? count : rows * row_bytes(scheme, cols, nullptr));
    // Each row is copied before it is read: another thread may write the
    // values meanwhile, and its widths, scales and codes must see the same ones.
    std::vector<float> v;
    for (size_t i = 0; i < rows; ++i) {
        const std::span<const float> row = values.subspan(i * cols, cols);
        v.resize(cols);
        copy_whole(row.data(), cols, v.data());
        const auto part = [&](std::vector<float>& x) { return std::span(x).subspan(i * nb, nb); };
        const std::span<uint32_t> widths =
            p.widths.empty() ? std::span<uint32_t>() : std::span(p.widths).subspan(i * nb, nb);
        // The widths only: the weighted fit below replaces the scales and zero points.
        if (scheme.kind == Kind::Adaptive)
            adaptive_params(v, scheme.block, scheme.tolerance, widths, part(scales), part(zero_points));
        const size_t at = p.codes.size();
        p.codes.resize(at + row_bytes(scheme, cols, widths.empty() ? nullptr : widths.data()), 0);
        const std::span<uint8_t> out = std::span(p.codes).subspan(at);
        switch (scheme.kind) {
            case Kind::Symmetric: quantize_sym_weighted(v, w, scheme.bits, scheme.block, part(scales), out); break;
            case Kind::Asymmetric:
                quantize_asym_weighted(v, w, scheme.bits, scheme.block, part(scales), part(zero_points), out);
                break;
            case Kind::Adaptive:
                quantize_adaptive_weighted(v, w, scheme.block, widths, part(scales), part(zero_points), out);
                break;
        }
    }
    p.scales = narrow<T>(std::move(scales));
    p.zero_points = narrow<T>(std::move(zero_points));
    return p;
}

template <class T>
Refitted<T> refit(const Rows<T>& v, std::span<const float> values, std::span<const float> weights) {
    require_whole(v);
    size_t count = 0;
    require(!__builtin_mul_overflow(v.rows, v.cols, &count) && values.size() == count,
            "weighted::refit: values are not rows * cols");
    require(weights.empty() || (weights.size() == v.cols && !bad_weight(weights)),
            "weighted::refit: weights are not one per column");
    // Rows of no values have no blocks to fit, however many a shape claims.
    if (v.cols == 0) return {};
    const std::vector<float> w = normalized(weights);
    std::vector<int32_t> codes(count);
    unpack_rows(v, codes);
    const size_t nb = block_count(v.cols, v.scheme.block);
    std::vector<float> scales(v.rows * nb), zero_points(v.rows * nb);
    for (size_t i = 0; i < v.rows; ++i) {
        const std::span<const float> x = values.subspan(i * v.cols, v.cols);
        const std::span<const int32_t> q = std::span<const int32_t>(codes).subspan(i * v.cols, v.cols);
        if (w.empty()) {
            // The 1-D refine's own fit, so that every row is that row's refit.
            Fitted f = fit_blocks(x, q, v.scheme.block);
            std::copy(f.scales.begin(), f.scales.end(), scales.begin() + static_cast<ptrdiff_t>(i * nb));
            std::copy(f.zero_points.begin(), f.zero_points.end(), zero_points.begin() + static_cast<ptrdiff_t>(i * nb));
            continue;
        }
        for_each_block(v.cols, v.scheme.block, [&](size_t b, size_t first, size_t n) {
            const Fit f = fit_weighted(x.data() + first, q.data() + first, w.data() + first, n);
            scales[i * nb + b] = f.scale;
            zero_points[i * nb + b] = f.zero_point;
        });
    }
    return {narrow<T>(std::move(scales)), narrow<T>(std::move(zero_points))};
}

#define VELMAR_WEIGHTED_INSTANTIATE(T)                                                                        \
    template Result<Parts<T>> quantize<T>(std::span<const float>, size_t, size_t, const Scheme&,             \
                                          std::span<const float>);                                            \
    template Refitted<T> refit<T>(const Rows<T>&, std::span<const float>, std::span<const float>);

VELMAR_WEIGHTED_INSTANTIATE(f32)
VELMAR_WEIGHTED_INSTANTIATE(f16)
VELMAR_WEIGHTED_INSTANTIATE(bf16)

}  // namespace velmar::weighted
