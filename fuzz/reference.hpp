#pragma once
// A deliberately naive model of the quantizers and decoders: one element at a
// time, bit by bit, no fast paths. The fuzzers compare the library with it.
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace ref {

inline float qmax(uint32_t bits) { return static_cast<float>((1 << (bits - 1)) - 1); }
inline float qmin(uint32_t bits) { return -static_cast<float>(1 << (bits - 1)); }

inline bool isnan(float v) { return v != v; }

inline float absmax(const float* v, size_t n) {
    const size_t head = n - n % 16;
    float h = 0.0f;
    for (size_t i = 0; i < head; ++i) {
        const float a = std::fabs(v[i]);
        if (isnan(h) || isnan(a)) h = std::numeric_limits<float>::quiet_NaN();
        else if (a > h) h = a;
    }
    for (size_t i = head; i < n; ++i) {
        const float a = std::fabs(v[i]);
        if (isnan(h)) h = a;
        else if (!isnan(a) && a > h) h = a;
    }
    return h;
}

inline std::pair<float, float> min_max(const float* v, size_t n) {
    const size_t head = n - n % 8;
    float lo = INFINITY, hi = -INFINITY;
    for (size_t i = 0; i < head; ++i) {
        if (isnan(lo) || isnan(v[i])) {
            lo = hi = std::numeric_limits<float>::quiet_NaN();
        } else {
            if (v[i] < lo) lo = v[i];
            if (v[i] > hi) hi = v[i];
        }
    }
    for (size_t i = head; i < n; ++i) {
        if (isnan(lo)) lo = v[i];
        else if (!isnan(v[i]) && v[i] < lo) lo = v[i];
        if (isnan(hi)) hi = v[i];
        else if (!isnan(v[i]) && v[i] > hi) hi = v[i];
    }
    return {lo, hi};
}

// Ties away from zero, then clamp; NaN is 0.
inline int32_t sym_code(float x, float inv, uint32_t bits) {
    const volatile float t = x * inv;
    float r = std::round(static_cast<float>(t));
    if (isnan(r)) return 0;
    if (r < qmin(bits)) r = qmin(bits);
    if (r > qmax(bits)) r = qmax(bits);
    return static_cast<int32_t>(r);
}

inline int32_t asym_code(float x, float inv, float zp, uint32_t bits) {
    const volatile float t = x * inv;
    const volatile float u = t + zp;
    const double r = std::round(static_cast<double>(static_cast<float>(u)));
    if (isnan(r)) return 0;
    int64_t c = r >= 2147483647.0 ? INT32_MAX : r <= -2147483648.0 ? INT32_MIN : static_cast<int64_t>(r);
    if (c > static_cast<int64_t>(qmax(bits))) c = static_cast<int64_t>(qmax(bits));
    if (c < static_cast<int64_t>(qmin(bits))) c = static_cast<int64_t>(qmin(bits));
    return static_cast<int32_t>(c);
}

struct Block {
    float scale, zero_point;
    std::vector<int32_t> codes;
};

inline Block sym_block(const float* v, size_t n, uint32_t bits) {
    const float m = absmax(v, n);
    const float scale = m > 0.0f ? m / qmax(bits) : 1.0f;
    const float inv = 1.0f / scale;
    Block b{scale, 0.0f, {}};
    for (size_t i = 0; i < n; ++i) b.codes.push_back(sym_code(v[i], inv, bits));
    return b;
}

inline Block asym_block(const float* v, size_t n, uint32_t bits) {
    const auto [lo, hi] = min_max(v, n);
    float scale = 1.0f, zp = 0.0f;
    if (!(lo >= hi)) {
        const volatile float span = hi - lo;
        scale = span / (qmax(bits) - qmin(bits));
        const volatile float q = lo / scale;
        zp = qmin(bits) - q;
    }
    const float inv = 1.0f / scale;
    Block b{scale, zp, {}};
    for (size_t i = 0; i < n; ++i) b.codes.push_back(asym_code(v[i], inv, zp, bits));
    return b;
}

inline uint32_t choose_bits(float range, float tolerance) {
    if (range <= 0.0f) return 2;
    for (uint32_t w = 2; w <= 7; ++w) {
        const volatile float step = range / static_cast<float>((1u << w) - 1u);
        if (step * 0.5f <= tolerance) return w;
    }
    return 8;
}

// Stream bit k is bit k%8 of byte k/8; code i is bits i*w .. i*w+w-1.
inline std::vector<uint8_t> pack(const std::vector<int32_t>& codes, uint32_t w) {
    const uint64_t total = uint64_t{codes.size()} * w;
    std::vector<uint8_t> out(static_cast<size_t>((total + 7) / 8), 0);
    for (size_t i = 0; i < codes.size(); ++i)
        for (uint32_t j = 0; j < w; ++j)
            if ((static_cast<uint32_t>(codes[i]) >> j) & 1u) {
                const uint64_t k = uint64_t{i} * w + j;
                out[k / 8] |= static_cast<uint8_t>(1u << (k % 8));
            }
    return out;
}

}  // namespace ref
