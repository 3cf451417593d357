#pragma once
// The two block reductions. How they group the elements decides how NaN
// elements count, so the grouping is part of the result: a head of whole
// groups is folded with NaN-propagating steps (any NaN there makes the result
// NaN), the rest with IEEE maxNum / minNum steps (a NaN operand gives way to
// the other). The scalar reference folds everything here; a vector twin
// reduces the head in lanes and continues with the same folds. Builtins only,
// internal linkage, as in shared/rules.hpp.
#include "shared/rules.hpp"

namespace velmar {
namespace {

constexpr size_t kAbsmaxGroup = 16;
constexpr size_t kMinMaxGroup = 8;

inline size_t head_of(size_t n, size_t group) { return n / group * group; }

inline float max_propagate(float acc, float v) { return acc != acc || v != v ? __builtin_nanf("") : v > acc ? v : acc; }
inline float min_propagate(float acc, float v) { return acc != acc || v != v ? __builtin_nanf("") : v < acc ? v : acc; }
inline float max_num(float acc, float v) { return acc != acc ? v : v != v ? acc : v > acc ? v : acc; }
inline float min_num(float acc, float v) { return acc != acc ? v : v != v ? acc : v < acc ? v : acc; }

// Largest magnitude of elements from..n of a block of n, folded onto h.
inline float absmax_fold(const float* v, size_t from, size_t n, float h) {
    const size_t head = head_of(n, kAbsmaxGroup);
    size_t i = from;
    for (; i < head; ++i) h = max_propagate(h, __builtin_fabsf(v[i]));
    for (; i < n; ++i) h = max_num(h, __builtin_fabsf(v[i]));
    return h;
}

// The magnitude maximum of a block, from +0.0.
inline float absmax(const float* v, size_t n) { return absmax_fold(v, 0, n, 0.0f); }

struct MinMax {
    float lo, hi;
};

inline MinMax min_max_fold(const float* v, size_t from, size_t n, MinMax m) {
    const size_t head = head_of(n, kMinMaxGroup);
    size_t i = from;
    for (; i < head; ++i) m = {min_propagate(m.lo, v[i]), max_propagate(m.hi, v[i])};
    for (; i < n; ++i) m = {min_num(m.lo, v[i]), max_num(m.hi, v[i])};
    return m;
}

// (minimum, maximum) of a block; (+inf, -inf) for an empty one.
inline MinMax min_max_neon(const float* v, size_t n) {
    return min_max_fold(v, 0, n, {__builtin_inff(), -__builtin_inff()});
}

}  // namespace
}  // namespace velmar
