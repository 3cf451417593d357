#pragma once
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "shared/tensor.hpp"

namespace velmar::testing {

inline constexpr float kInf = std::numeric_limits<float>::infinity();
inline constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

inline uint32_t bits_of(float x) { return std::bit_cast<uint32_t>(x); }

inline std::vector<float> random_values(size_t n, uint32_t seed, float lo = -4.0f, float hi = 4.0f) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> v(n);
    for (auto& x : v) x = dist(gen);
    return v;
}

template <class T>
std::vector<float> widened(const std::vector<T>& v) {
    std::vector<float> out;
    for (const T x : v) out.push_back(to_f32(x));
    return out;
}

// A record assembled field by field, as a pickle rebuild would.
template <class T = f32>
Quantized<T> make_sym(std::vector<int32_t> codes, uint32_t bits, std::vector<float> scales, size_t block) {
    Quantized<T> q;
    q.kind = Kind::Symmetric;
    q.len = codes.size();
    q.block = block;
    q.packed = Packed::from_i32s(codes, bits);
    for (float s : scales) q.scales.push_back(from_f32<T>(s));
    return q;
}

template <class T = f32>
Quantized<T> make_asym(std::vector<int32_t> codes, uint32_t bits, std::vector<float> scales, std::vector<float> zps,
                       size_t block) {
    Quantized<T> q = make_sym<T>(std::move(codes), bits, std::move(scales), block);
    q.kind = Kind::Asymmetric;
    for (float z : zps) q.zero_points.push_back(from_f32<T>(z));
    return q;
}

}  // namespace velmar::testing
