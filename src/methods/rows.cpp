#include "methods/rows.hpp"

#include <algorithm>
#include <vector>

#include "kernels/block.hpp"
#include "kernels/memory.hpp"
#include "shared/decode.hpp"

namespace velmar::rows {

namespace {

// Values copied at a time when another thread may write them meanwhile: few
// enough to stay in cache for the kernels that read them next.
constexpr size_t kRunValues = size_t{1} << 14;

template <class T>
Result<Parts<T>> quantize_rows(std::span<const float> values, size_t rows, size_t cols, const Scheme& scheme,
                               bool shared) {
    if (const Status st = check_scheme(scheme); !st) return std::unexpected(st.error());
    size_t count = 0;
    require(!__builtin_mul_overflow(rows, cols, &count) && count == values.size(),
            "rows::quantize: values are not rows * cols");
    Parts<T> p;
    if (count == 0) return p;
    const size_t block = scheme.block;
    const size_t nb = block_count(cols, block);
    std::vector<float> scales, zero_points;
    assign_fresh(scales, rows * nb, 0.0f);
    if (scheme.kind != Kind::Symmetric) assign_fresh(zero_points, rows * nb, 0.0f);
    // Runs of rows when its rows are one row's blocks, else one row at a time:
    // the kernels the 1-D quantizer runs, so that every row is that row's 1-D
    // tensor. Shared values are copied a run at a time before the kernels read
    // them (twice: for the scales, then for the codes), so that a block's scale
    // and codes see the same values even when another thread writes them between.
    const size_t run = rows_are_blocks(scheme, cols) ? std::min(rows, std::max<size_t>(1, kRunValues / cols)) : 1;
    std::vector<float> held;
    const auto for_runs = [&](auto&& f) {
        for (size_t first = 0; first < rows; first += run) {
            const size_t n = std::min(run, rows - first);
            const auto part = [&](auto& v) { return std::span(v).subspan(first * nb, n * nb); };
            std::span<const float> v = values.subspan(first * cols, n * cols);
            if (shared) {
                held.assign(v.begin(), v.end());
                v = held;
            }
            f(v, first, n, part);
        }
    };
    if (scheme.kind != Kind::Adaptive) {
        const size_t rb = packed_len(cols, scheme.bits);
        assign_fresh(p.codes, rows * rb, uint8_t{0});
        for_runs([&](std::span<const float> v, size_t first, size_t n, auto part) {
            const std::span<uint8_t> out = std::span(p.codes).subspan(first * rb, n * rb);
            if (scheme.kind == Kind::Symmetric)
                quantize_sym_packed(v, scheme.bits, block, part(scales), out);
            else
                quantize_asym_packed(v, scheme.bits, block, part(scales), part(zero_points), out);
        });
    } else {
        // Widths and codes together, a few thousand values at a time while
        // they are in cache; the codes grow as they come.
        assign_fresh(p.widths, rows * nb, 0u);
        // Room for the widest codes, a byte a value, taken only as they are
        // written: runs of a few rows would otherwise regrow them many times.
        if (shared) p.codes.reserve(count);
        for_runs([&](std::span<const float> v, size_t, size_t, auto part) {
            quantize_adaptive(v, block, scheme.tolerance, part(p.widths), part(scales), part(zero_points), p.codes);
        });
    }
    // Codes came from the unrounded float scales; only storage rounds them.
    p.scales = narrow<T>(std::move(scales));
    p.zero_points = narrow<T>(std::move(zero_points));
    return p;
}

}  // namespace

template <class T>
Result<Parts<T>> quantize(std::span<const float> values, size_t rows, size_t cols, const Scheme& scheme) {
    return quantize_rows<T>(values, rows, cols, scheme, true);
}

template <class T>
Result<Quantized<T>> quantize_row(std::span<const float> values, const Scheme& scheme) {
    Result<Parts<T>> p = quantize_rows<T>(values, 1, values.size(), scheme, false);
    if (!p) return std::unexpected(p.error());
    return record_of(std::move(*p), scheme, values.size());
}

#define VELMAR_ROWS_INSTANTIATE(T)                                                              \
    template Result<Parts<T>> quantize<T>(std::span<const float>, size_t, size_t, const Scheme&); \
    template Result<Quantized<T>> quantize_row<T>(std::span<const float>, const Scheme&);

VELMAR_ROWS_INSTANTIATE(f32)
VELMAR_ROWS_INSTANTIATE(f16)
VELMAR_ROWS_INSTANTIATE(bf16)

}  // namespace velmar::rows
