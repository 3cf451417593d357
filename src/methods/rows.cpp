#include "methods/rows.hpp"

#include <algorithm>
#include <numeric>
#include <vector>

#include "kernels/block.hpp"
#include "kernels/memory.hpp"
#include "shared/decode.hpp"

namespace velmar::rows {

namespace {

// Values copied at a time when another thread may write them meanwhile: few
// enough to stay in cache for the kernels that read them next.
constexpr size_t kRunValues = size_t{1} << 14;

// values, or when read is given, count values it fills a piece at a time.
template <class T>
Result<Parts<T>> quantize_rows(std::span<const float> values, size_t count, size_t rows, size_t cols,
                               const Scheme& scheme, const ReadPiece* read) {
    if (const Status st = check_scheme(scheme); !st) return std::unexpected(st.error());
    size_t cells = 0;
    require(!__builtin_mul_overflow(rows, cols, &cells) && cells == count && (read || count == values.size()),
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
    // tensor. Values that are read go a run at a time into a buffer the kernels
    // then read for the scales and for the codes alike, so that a block's scale
    // and codes see the same values even when another thread writes them between;
    // a long row goes in pieces of whole blocks that start on a byte of its codes.
    const size_t whole = read ? std::min(rows, std::max<size_t>(1, kRunValues / cols)) : rows;
    const size_t run = rows_are_blocks(scheme, cols) ? whole : 1;
    size_t piece = cols;
    if (read && run == 1 && cols > kRunValues && block < cols) {
        const size_t unit = block * (8 / std::gcd(block, size_t{8}));
        piece = unit >= kRunValues ? unit : kRunValues / unit * unit;
    }
    std::vector<float> held;
    // f(values, first row, rows, first column, columns): whole rows, or columns of one.
    const auto for_runs = [&](auto&& f) {
        for (size_t first = 0; first < rows; first += run)
            for (size_t c0 = 0; c0 < cols; c0 += piece) {
                const size_t n = std::min(run, rows - first), m = std::min(piece, cols - c0);
                const size_t at = first * cols + c0, len = (n - 1) * cols + m;
                if (read) {
                    held.resize(len);
                    (*read)(at, held);
                    f(std::span<const float>(held), first, n, c0, m);
                } else {
                    f(values.subspan(at, len), first, n, c0, m);
                }
            }
    };
    // Their blocks' parameters.
    const auto part = [&](auto& v, size_t first, size_t n, size_t c0, size_t m) {
        return std::span(v).subspan(first * nb + c0 / block, (n - 1) * nb + block_count(m, block));
    };
    if (scheme.kind != Kind::Adaptive) {
        const size_t rb = packed_len(cols, scheme.bits);
        size_fresh(p.codes, rows * rb);  // the packers write every byte
        for_runs([&](std::span<const float> v, size_t first, size_t n, size_t c0, size_t m) {
            const std::span<uint8_t> out =
                std::span(p.codes).subspan(first * rb + c0 / 8 * scheme.bits, (n - 1) * rb + packed_len(m, scheme.bits));
            if (scheme.kind == Kind::Symmetric)
                quantize_sym_packed(v, scheme.bits, block, part(scales, first, n, c0, m), out);
            else
                quantize_asym_packed(v, scheme.bits, block, part(scales, first, n, c0, m),
                                     part(zero_points, first, n, c0, m), out);
        });
    } else {
        // Widths and codes together, a few thousand values at a time while
        // they are in cache; the codes grow as they come.
        assign_fresh(p.widths, rows * nb, 0u);
        // Room for the widest codes, a byte a value, taken only as they are
        // written: runs of a few rows would otherwise regrow them many times.
        if (read) p.codes.reserve(count);
        for_runs([&](std::span<const float> v, size_t first, size_t n, size_t c0, size_t m) {
            quantize_adaptive(v, block, scheme.tolerance, part(p.widths, first, n, c0, m),
                              part(scales, first, n, c0, m), part(zero_points, first, n, c0, m), p.codes);
        });
    }
    // Codes came from the unrounded float scales; only storage rounds them.
    p.scales = narrow<T>(std::move(scales));
    p.zero_points = narrow<T>(std::move(zero_points));
    return p;
}

}  // namespace

template <class T>
Result<Parts<T>> quantize(std::span<const float> values, size_t rows, size_t cols, const Scheme& scheme, bool shared) {
    if (!shared) return quantize_rows<T>(values, values.size(), rows, cols, scheme, nullptr);
    const ReadPiece copy = [&](size_t first, std::span<float> out) {
        copy_whole(values.data() + first, out.size(), out.data());
    };
    return quantize_rows<T>({}, values.size(), rows, cols, scheme, &copy);
}

template <class T>
Result<Parts<T>> quantize(size_t rows, size_t cols, const ReadPiece& read, const Scheme& scheme) {
    size_t count = 0;
    if (__builtin_mul_overflow(rows, cols, &count)) count = SIZE_MAX;
    return quantize_rows<T>({}, count, rows, cols, scheme, &read);
}

template <class T>
Result<Quantized<T>> quantize_row(std::span<const float> values, const Scheme& scheme) {
    Result<Parts<T>> p = quantize_rows<T>(values, values.size(), 1, values.size(), scheme, nullptr);
    if (!p) return std::unexpected(p.error());
    return record_of(std::move(*p), scheme, values.size());
}

template <class T>
Result<Quantized<T>> quantize_row(size_t count, const ReadPiece& read, const Scheme& scheme) {
    Result<Parts<T>> p = quantize_rows<T>({}, count, 1, count, scheme, &read);
    if (!p) return std::unexpected(p.error());
    return record_of(std::move(*p), scheme, count);
}

#define VELMAR_ROWS_INSTANTIATE(T)                                                              \
    template Result<Parts<T>> quantize<T>(std::span<const float>, size_t, size_t, const Scheme&, bool); \
    template Result<Parts<T>> quantize<T>(size_t, size_t, const ReadPiece&, const Scheme&);             \
    template Result<Quantized<T>> quantize_row<T>(std::span<const float>, const Scheme&);               \
    template Result<Quantized<T>> quantize_row<T>(size_t, const ReadPiece&, const Scheme&);

VELMAR_ROWS_INSTANTIATE(f32)
VELMAR_ROWS_INSTANTIATE(f16)
VELMAR_ROWS_INSTANTIATE(bf16)

}  // namespace velmar::rows
