#include "methods/superblock.hpp"

#include <algorithm>

#include "kernels/memory.hpp"
#include "kernels/block.hpp"
#include "methods/weighted.hpp"
#include "shared/error.hpp"

namespace velmar::super_rows {

namespace {

// rows * row_bytes, or false when it does not fit.
bool total_bytes(SuperType t, size_t rows, size_t cols, size_t& out) {
    return cols % kSuperLen == 0 && !__builtin_mul_overflow(rows, row_bytes(t, cols), &out);
}

bool finite(std::span<const float> v) {
    for (const float x : v)
        if (!__builtin_isfinite(x)) return false;
    return true;
}

}  // namespace

size_t row_bytes(SuperType t, size_t cols) { return cols / kSuperLen * super_block_bytes(t); }

std::expected<std::vector<uint8_t>, Refusal> quantize(SuperType t, std::span<const float> values, size_t rows,
                                                      size_t cols, std::span<const float> weights) {
    size_t total = 0;
    if (!total_bytes(t, rows, cols, total)) return std::unexpected(Refusal{Refusal::Why::Shape, cols});
    require(cols == 0 ? values.empty() : values.size() / cols == rows && values.size() % cols == 0,
            "super_rows::quantize: values are not rows * cols");
    if (!weights.empty()) {
        require(weights.size() == cols, "super_rows::quantize: weights are not one per column");
        if (const auto bad = weighted::bad_weight(weights)) return std::unexpected(Refusal{Refusal::Why::Weight, *bad});
    }
    const std::vector<float> w = weighted::normalized(weights);
    std::vector<uint8_t> out;
    if (total == 0) return out;  // rows of no values: however many, nothing to walk over
    assign_fresh(out, total, uint8_t{0});
    const size_t rb = row_bytes(t, cols);
    // Each row is copied before it is read (see rows::quantize): another thread
    // may write the values meanwhile.
    std::vector<float> row;
    for (size_t i = 0; i < rows; ++i) {
        const std::span<const float> given = values.subspan(i * cols, cols);
        row.resize(cols);
        copy_whole(given.data(), cols, row.data());
        if (quantize_super(t, row, w, std::span(out).subspan(i * rb, rb)) != cols / kSuperLen) {
            const Refusal::Why why = finite(row) ? Refusal::Why::TooLarge : Refusal::Why::NonFinite;
            return std::unexpected(Refusal{why, i});
        }
    }
    return out;
}

void dequantize(SuperType t, std::span<const uint8_t> bytes, size_t rows, size_t cols, std::span<float> out) {
    size_t total = 0, count = 0;
    require(total_bytes(t, rows, cols, total) && bytes.size() == total, "super_rows::dequantize: bytes do not match");
    require(!__builtin_mul_overflow(rows, cols, &count) && out.size() == count,
            "super_rows::dequantize: output is not rows * cols");
    decode_super(t, bytes, out);
}

void matvec(SuperType t, std::span<const uint8_t> bytes, size_t rows, size_t cols, std::span<const float> x, size_t k,
            std::span<float> out) {
    size_t total = 0, xs = 0, os = 0;
    require(total_bytes(t, rows, cols, total) && bytes.size() == total, "super_rows::matvec: bytes do not match");
    require(!__builtin_mul_overflow(k, cols, &xs) && xs == x.size(), "super_rows::matvec: x is not k * cols");
    require(!__builtin_mul_overflow(k, rows, &os) && os == out.size(), "super_rows::matvec: out is not k * rows");
    const size_t rb = row_bytes(t, cols);
    // One vector: the fused kernel over rows; several: each row decoded once,
    // then met by every vector (the same sums, as the decoded values are the same).
    if (k == 1) return rows_dot_super(t, bytes, x, out);
    if (!cols) return std::fill(out.begin(), out.end(), 0.0f);
    // Rows decoded a few at a time, so that each vector meets them together.
    constexpr size_t kRowsAtOnce = 8;
    std::vector<float> decoded(kRowsAtOnce * cols);
    for (size_t i = 0; i < rows; i += kRowsAtOnce) {
        const size_t n = std::min(kRowsAtOnce, rows - i);
        const std::span<float> part(decoded.data(), n * cols);
        decode_super(t, bytes.subspan(i * rb, n * rb), part);
        dot_lanes(part, cols, x, out.subspan(i), rows);
    }
}

}  // namespace velmar::super_rows
