#include "methods/rows.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "kernels/memory.hpp"
#include "kernels/ranges.hpp"
#include "methods/rows_tiles.hpp"
#include "shared/decode.hpp"

namespace velmar::rows {
namespace {

// a * b, or false when it does not fit.
bool mul(size_t a, size_t b, size_t& out) { return !__builtin_mul_overflow(a, b, &out); }

bool fixed_width(Kind kind) { return kind != Kind::Adaptive; }

// The rows are the blocks of the flattened matrix exactly when every row ends
// on a block boundary and, for one bit stream, on a byte boundary.
bool rows_are_blocks(const Spec& spec, size_t cols) {
    if (cols % spec.block != 0) return false;
    return !fixed_width(spec.kind) || (cols % 8) * spec.bits % 8 == 0;
}

// a + b, saturating: SIZE_MAX matches no real buffer.
size_t add_sat(size_t a, size_t b) { return b > SIZE_MAX - a ? SIZE_MAX : a + b; }

// Code bytes of one adaptive row whose widths are w[0..nb).
size_t adaptive_row_bytes(const uint32_t* w, size_t cols, size_t block) {
    size_t total = 0;
    for (size_t off = 0, b = 0; off < cols; off += std::min(block, cols - off), ++b)
        total = add_sat(total, packed_len(std::min(block, cols - off), w[b]));
    return total;
}

// Start of every adaptive row in the code bytes, rows + 1 entries.
std::vector<size_t> adaptive_offsets(std::span<const uint32_t> widths, size_t rows, size_t cols, size_t block) {
    const size_t nb = block_count(cols, block);
    std::vector<size_t> at(rows + 1, 0);
    for (size_t i = 0; i < rows; ++i) at[i + 1] = at[i] + adaptive_row_bytes(widths.data() + i * nb, cols, block);
    return at;
}

// Scales as float: the stored f32 values themselves, or the widened copy.
template <class T>
class Floats {
public:
    explicit Floats(std::span<const T> v) {
        if constexpr (std::is_same_v<T, f32>) {
            view_ = v;
        } else {
            owned_ = widen<T>(v);
            view_ = owned_;
        }
    }
    const float* data() const { return view_.data(); }
    std::span<const float> all() const { return view_; }

private:
    std::vector<float> owned_;
    std::span<const float> view_;
};

Status check_spec(const Spec& spec) {
    if (fixed_width(spec.kind))
        if (const Status st = check_bits(spec.bits); !st) return st;
    if (spec.block == 0) return std::unexpected(CoreError::invalid_block(0));
    if (spec.kind == Kind::Adaptive && !(spec.tolerance > 0.0f && std::isfinite(spec.tolerance)))
        return std::unexpected(CoreError::invalid_tolerance());
    return {};
}

std::string count_message(const char* field, size_t expected, size_t got) {
    return std::string(field) + ": expected " + std::to_string(expected) + ", got " + std::to_string(got);
}

}  // namespace

template <class T>
Result<Parts<T>> quantize(std::span<const float> values, size_t rows, size_t cols, const Spec& spec) {
    if (const Status st = check_spec(spec); !st) return std::unexpected(st.error());
    size_t count = 0;
    require(mul(rows, cols, count) && count == values.size(), "rows::quantize: values are not rows * cols");
    Parts<T> p;
    if (count == 0) return p;

    const size_t block = spec.block;
    const size_t nb = block_count(cols, block);
    const bool whole = rows_are_blocks(spec, cols);
    std::vector<float> scales;
    std::vector<float> zero_points;
    assign_fresh(scales, rows * nb, 0.0f);
    if (spec.kind != Kind::Symmetric) assign_fresh(zero_points, rows * nb, 0.0f);

    if (fixed_width(spec.kind)) {
        const uint32_t bits = spec.bits;
        const size_t rb = packed_len(cols, bits);
        assign_fresh(p.codes, rows * rb, uint8_t{0});
        // One call for the whole matrix, or one per row: the same kernel the
        // 1-D quantizer runs, so every row is that row's 1-D tensor.
        const auto run = [&](size_t first, size_t n_rows) {
            const std::span<const float> src = values.subspan(first * cols, n_rows * cols);
            const std::span<float> s = std::span(scales).subspan(first * nb, n_rows * nb);
            const std::span<uint8_t> out = std::span(p.codes).subspan(first * rb, n_rows * rb);
            if (spec.kind == Kind::Symmetric)
                ranges::quantize_sym(src, block, bits, s, out);
            else
                ranges::quantize_asym(src, block, bits, s, std::span(zero_points).subspan(first * nb, n_rows * nb),
                                      out);
        };
        if (whole) {
            run(0, rows);
        } else {
            for (size_t i = 0; i < rows; ++i) run(i, 1);
        }
    } else {
        assign_fresh(p.widths, rows * nb, 0u);
        if (whole) {
            ranges::adaptive_widths(values, block, spec.tolerance, p.widths);
        } else {
            for (size_t i = 0; i < rows; ++i)
                ranges::adaptive_widths(values.subspan(i * cols, cols), block, spec.tolerance,
                                        std::span(p.widths).subspan(i * nb, nb));
        }
        const std::vector<size_t> at = adaptive_offsets(p.widths, rows, cols, block);
        assign_fresh(p.codes, at[rows], uint8_t{0});
        if (whole) {
            ranges::quantize_adaptive(values, block, p.widths, scales, zero_points, p.codes);
        } else {
            for (size_t i = 0; i < rows; ++i)
                ranges::quantize_adaptive(values.subspan(i * cols, cols), block,
                                          std::span<const uint32_t>(p.widths).subspan(i * nb, nb),
                                          std::span(scales).subspan(i * nb, nb),
                                          std::span(zero_points).subspan(i * nb, nb),
                                          std::span(p.codes).subspan(at[i], at[i + 1] - at[i]));
        }
    }
    // Codes came from the unrounded float scales; only storage rounds them.
    p.scales = narrow<T>(std::move(scales));
    p.zero_points = narrow<T>(std::move(zero_points));
    return p;
}

template <class T>
std::string check(const View<T>& v) {
    const Spec& spec = v.spec;
    if (spec.block == 0) return "block: expected at least 1, got 0";
    if (fixed_width(spec.kind) && !check_bits(spec.bits))
        return "bits: expected 2 to 16, got " + std::to_string(spec.bits);
    size_t blocks = 0;
    if (!mul(v.rows, block_count(v.cols, spec.block), blocks)) return "shape: the block count overflows";
    const size_t per_block_parts = spec.kind == Kind::Symmetric ? 0 : blocks;
    if (v.scales.size() != blocks) return count_message("scales", blocks, v.scales.size());
    if (v.zero_points.size() != per_block_parts) return count_message("zero_points", per_block_parts, v.zero_points.size());
    const size_t width_count = spec.kind == Kind::Adaptive ? blocks : 0;
    if (v.widths.size() != width_count) return count_message("widths", width_count, v.widths.size());
    size_t code_bytes = 0;
    if (fixed_width(spec.kind)) {
        const size_t rb = packed_len(v.cols, spec.bits);
        if (rb == SIZE_MAX || !mul(v.rows, rb, code_bytes)) return "shape: the code byte count overflows";
    } else {
        for (const uint32_t w : v.widths)
            if (w < 2 || w > 8) return "widths: expected 2 to 8, got " + std::to_string(w);
        const size_t nb = block_count(v.cols, spec.block);
        for (size_t i = 0; i < v.rows; ++i)
            code_bytes = add_sat(code_bytes, adaptive_row_bytes(v.widths.data() + i * nb, v.cols, spec.block));
    }
    if (v.codes.size() != code_bytes) return count_message("codes", code_bytes, v.codes.size());
    return {};
}

template <class T>
void dequantize(const View<T>& v, std::span<float> out) {
    require(check(v).empty(), "rows::dequantize: parts do not match the shape");
    size_t count = 0;
    require(mul(v.rows, v.cols, count) && count == out.size(), "rows::dequantize: output is not rows * cols");
    if (count == 0) return;
    const Spec& spec = v.spec;
    const size_t nb = block_count(v.cols, spec.block);
    const Floats<T> s(v.scales);
    const Floats<T> z(v.zero_points);
    // Decoding is element-wise, so one call over all rows gives each row's
    // values whenever the rows are the matrix's blocks.
    if (fixed_width(spec.kind)) {
        const size_t rb = packed_len(v.cols, spec.bits);
        const auto run = [&](size_t first, size_t n_rows) {
            const std::span<float> dst = out.subspan(first * v.cols, n_rows * v.cols);
            const std::span<const uint8_t> bytes = v.codes.subspan(first * rb, n_rows * rb);
            const std::span<const float> si = s.all().subspan(first * nb, n_rows * nb);
            if (spec.kind == Kind::Symmetric)
                ranges::dequant_sym(si, bytes, spec.bits, spec.block, dst);
            else
                ranges::dequant_asym(si, z.all().subspan(first * nb, n_rows * nb), bytes, spec.bits, spec.block, dst);
        };
        if (rows_are_blocks(spec, v.cols)) {
            run(0, v.rows);
        } else {
            for (size_t i = 0; i < v.rows; ++i) run(i, 1);
        }
        return;
    }
    if (rows_are_blocks(spec, v.cols)) {
        ranges::dequant_adaptive(s.all(), z.all(), v.codes, v.widths, spec.block, out);
        return;
    }
    const std::vector<size_t> at = adaptive_offsets(v.widths, v.rows, v.cols, spec.block);
    for (size_t i = 0; i < v.rows; ++i)
        ranges::dequant_adaptive(s.all().subspan(i * nb, nb), z.all().subspan(i * nb, nb),
                                 v.codes.subspan(at[i], at[i + 1] - at[i]), v.widths.subspan(i * nb, nb), spec.block,
                                 out.subspan(i * v.cols, v.cols));
}

template <class T>
void matvec(const View<T>& v, std::span<const float> x, size_t k, std::span<float> out) {
    require(check(v).empty(), "rows::matvec: parts do not match the shape");
    size_t xs = 0;
    size_t os = 0;
    require(mul(k, v.cols, xs) && xs == x.size(), "rows::matvec: x is not k * cols");
    require(mul(k, v.rows, os) && os == out.size(), "rows::matvec: out is not k * rows");
    if (v.cols == 0) {
        // The 1-D dot of an empty row.
        std::fill(out.begin(), out.end(), 0.0f);
        return;
    }
    const Spec& spec = v.spec;
    const size_t cols = v.cols;
    const size_t nb = block_count(cols, spec.block);
    const Floats<T> s(v.scales);
    const Floats<T> z(v.zero_points);
    const std::vector<size_t> at = spec.kind == Kind::Adaptive ? adaptive_offsets(v.widths, v.rows, cols, spec.block)
                                                               : std::vector<size_t>{};
    const size_t rb = fixed_width(spec.kind) ? packed_len(cols, spec.bits) : 0;
    // Sixteen rows at a time where a tile kernel exists; the rest through the
    // kernel the 1-D dot runs on each row. A row (or tile) stays in cache
    // while every vector of the batch meets it.
    const size_t done = spec.kind == Kind::Symmetric ? detail::sym_tiles(s.data(), v.codes.data(), spec.bits,
                                                                         spec.block, v.rows, cols, x.data(), k,
                                                                         out.data())
                                                     : 0;
    for (size_t i = done; i < v.rows; ++i) {
        const std::span<const float> si = s.all().subspan(i * nb, nb);
        const std::span<const float> zi = spec.kind == Kind::Symmetric ? si : z.all().subspan(i * nb, nb);
        const std::span<const uint8_t> ci =
            spec.kind == Kind::Adaptive ? v.codes.subspan(at[i], at[i + 1] - at[i]) : v.codes.subspan(i * rb, rb);
        for (size_t j = 0; j < k; ++j) {
            const std::span<const float> xj = x.subspan(j * cols, cols);
            float r = 0.0f;
            switch (spec.kind) {
                case Kind::Symmetric: r = ranges::dot_sym(si, ci, spec.bits, spec.block, xj); break;
                case Kind::Asymmetric: r = ranges::dot_asym(si, zi, ci, spec.bits, spec.block, xj); break;
                case Kind::Adaptive:
                    r = ranges::dot_adaptive(si, zi, ci, v.widths.subspan(i * nb, nb), spec.block, xj);
                    break;
            }
            out[j * v.rows + i] = r;
        }
    }
}

#define VELMAR_ROWS_INSTANTIATE(T)                                                                  \
    template Result<Parts<T>> quantize<T>(std::span<const float>, size_t, size_t, const Spec&);     \
    template std::string check<T>(const View<T>&);                                                  \
    template void dequantize<T>(const View<T>&, std::span<float>);                                  \
    template void matvec<T>(const View<T>&, std::span<const float>, size_t, std::span<float>);

VELMAR_ROWS_INSTANTIATE(f32)
VELMAR_ROWS_INSTANTIATE(f16)
VELMAR_ROWS_INSTANTIATE(bf16)

}  // namespace velmar::rows
