#include "kernels/reduce.hpp"

#include <cmath>
#include <limits>

#include "kernels/dispatch.hpp"

namespace velmar {

namespace {

// NaN-propagating: once either side is NaN the result is NaN.
float max_propagate(float acc, float v) {
    if (std::isnan(acc) || std::isnan(v)) return std::numeric_limits<float>::quiet_NaN();
    return v > acc ? v : acc;
}
float min_propagate(float acc, float v) {
    if (std::isnan(acc) || std::isnan(v)) return std::numeric_limits<float>::quiet_NaN();
    return v < acc ? v : acc;
}

// IEEE maxNum / minNum: a NaN operand gives way to the other.
float max_num(float acc, float v) {
    if (std::isnan(acc)) return v;
    if (std::isnan(v)) return acc;
    return v > acc ? v : acc;
}
float min_num(float acc, float v) {
    if (std::isnan(acc)) return v;
    if (std::isnan(v)) return acc;
    return v < acc ? v : acc;
}

}  // namespace

// The head/tail split mirrors the vector kernels' grouping, which decides how
// NaN elements affect the result; it must not be simplified away.
float absmax_sym_scalar(std::span<const float> values) {
    const size_t head = values.size() / 16 * 16;
    float h = 0.0f;
    for (size_t i = 0; i < head; ++i) h = max_propagate(h, std::fabs(values[i]));
    for (size_t i = head; i < values.size(); ++i) h = max_num(h, std::fabs(values[i]));
    return h;
}

std::pair<float, float> min_max_neon_scalar(std::span<const float> values) {
    const size_t head = values.size() / 8 * 8;
    float lo = std::numeric_limits<float>::infinity();
    float hi = -std::numeric_limits<float>::infinity();
    for (size_t i = 0; i < head; ++i) {
        lo = min_propagate(lo, values[i]);
        hi = max_propagate(hi, values[i]);
    }
    for (size_t i = head; i < values.size(); ++i) {
        lo = min_num(lo, values[i]);
        hi = max_num(hi, values[i]);
    }
    return {lo, hi};
}

float absmax_sym(std::span<const float> values) { return simd::active().absmax(values.data(), values.size()); }

std::pair<float, float> min_max_neon(std::span<const float> values) {
    float lo, hi;
    simd::active().min_max(values.data(), values.size(), &lo, &hi);
    return {lo, hi};
}

}  // namespace velmar
