#pragma once
// A deliberately naive model of the quantizers: one element at a time, bit by
// bit, no fast paths. The fuzzers compare the library with it, the core tests
// its packing layout. Like the library, it is built with -ffp-contract=off, so
// that every operation rounds on its own.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

namespace ref {

inline float qmax(uint32_t bits) { return static_cast<float>((1 << (bits - 1)) - 1); }
inline float qmin(uint32_t bits) { return -qmax(bits) - 1.0f; }

// One step of a running extreme as the kernels take it: in the vector head a
// NaN on either side sticks; in the scalar tail a NaN so far is replaced and a
// NaN element is skipped.
inline float step(float acc, float a, bool head, bool greater) {
    const bool better = greater ? a > acc : a < acc;
    if (head) return std::isnan(acc) || std::isnan(a) ? NAN : better ? a : acc;
    return std::isnan(acc) || better ? a : acc;
}

// The extreme from `acc` on over n elements (their magnitudes if `abs`), the
// vector head being whole groups of `group`.
inline float extreme(const float* v, size_t n, size_t group, float acc, bool greater, bool abs = false) {
    for (size_t i = 0; i < n; ++i) acc = step(acc, abs ? std::fabs(v[i]) : v[i], i < n - n % group, greater);
    return acc;
}

inline std::pair<float, float> min_max(const float* v, size_t n) {
    return {extreme(v, n, 8, INFINITY, false), extreme(v, n, 8, -INFINITY, true)};
}

struct Block {
    float scale = 1.0f, zero_point = 0.0f;
    std::vector<int32_t> codes;
};

inline Block block(const float* v, size_t n, uint32_t bits, bool asymmetric) {
    Block b;
    if (!asymmetric) {
        const float m = extreme(v, n, 16, 0.0f, true, true);
        if (m > 0.0f) b.scale = m / qmax(bits);
    } else if (const auto [lo, hi] = min_max(v, n); !(lo >= hi)) {
        b.scale = (hi - lo) / (qmax(bits) - qmin(bits));
        b.zero_point = qmin(bits) - lo / b.scale;
    }
    const float inv = 1.0f / b.scale;
    for (size_t i = 0; i < n; ++i) {
        const float r = std::round(v[i] * inv + b.zero_point);  // ties away from zero; NaN is 0
        b.codes.push_back(std::isnan(r) ? 0 : static_cast<int32_t>(std::clamp(r, qmin(bits), qmax(bits))));
    }
    return b;
}

inline uint32_t choose_bits(float range, float tolerance) {
    uint32_t w = 2;
    while (w < 8 && !(range <= 0.0f) && !(range / static_cast<float>((1u << w) - 1u) * 0.5f <= tolerance)) ++w;
    return w;
}

// Stream bit k is bit k%8 of byte k/8; code i is bits i*w .. i*w+w-1.
inline std::vector<uint8_t> pack(const std::vector<int32_t>& codes, uint32_t w) {
    std::vector<uint8_t> out((codes.size() * w + 7) / 8, 0);
    for (size_t k = 0; k < codes.size() * w; ++k)
        out[k / 8] |= static_cast<uint8_t>(((static_cast<uint32_t>(codes[k / w]) >> (k % w)) & 1u) << (k % 8));
    return out;
}

// For the harnesses: NaNs of any payload are alike, every other float by bits.
inline bool same(float a, float b) {
    return (std::isnan(a) && std::isnan(b)) || std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
}

inline void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
}

}  // namespace ref
