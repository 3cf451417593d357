#pragma once
// The one input generator and float comparison of the core tests.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "../../fuzz/reference.hpp"
#include "shared/rules.hpp"

namespace velmar::test {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

inline float special(std::mt19937& g) {
    const uint32_t any = g();
    switch (g() % 12) {
        case 0: return std::bit_cast<float>(0x7F800001u | (any & 0x807FFFFFu));  // NaN, any payload
        case 1: return kNaN;
        case 2: return any % 2 ? kInf : -kInf;
        case 3: return any % 2 ? 0.0f : -0.0f;
        case 4: return std::bit_cast<float>(any & 0x807FFFFFu);  // subnormal
        case 5: return static_cast<float>(static_cast<int>(any % 64) - 32) + 0.5f;  // tie
        case 6: return any % 2 ? 0.49999997f : -0.49999997f;
        case 7: return std::bit_cast<float>(any);
        default: return std::uniform_real_distribution<float>(-4.0f, 4.0f)(g);
    }
}

// Mostly ordinary floats, one in `rare` (none if 0) a special. With a block,
// the magnitude changes per block from subnormal to huge, and NaNs sit at
// block heads and tails, where vector code switches to its remainder loops.
inline std::vector<float> values(size_t n, uint32_t seed, size_t block = 0, uint32_t rare = 16) {
    std::mt19937 g(seed);
    std::uniform_real_distribution<float> u(-4.0f, 4.0f);
    std::vector<float> v(n);
    float mag = 1.0f;
    for (size_t i = 0; i < n; ++i) {
        if (block && i % block == 0) mag = std::ldexp(1.0f, (static_cast<int>(g() % 241) - 140) / 4);
        v[i] = rare && g() % rare == 0 ? special(g) : u(g) * mag;
    }
    for (size_t b = 0; block && b * block < n; ++b) {
        const size_t start = b * block, len = std::min(block, n - start);
        switch (b % 7) {
            case 1: v[start] = kNaN; break;
            case 2: v[start + len - 1] = kNaN; break;
            case 3: v[start + std::min(len - 1, len / 16 * 16)] = kNaN; break;
            case 4: v[start + std::min(len - 1, len / 8 * 8)] = -kNaN; break;
            case 5: std::fill(v.begin() + start + len / 8 * 8, v.begin() + start + len, kNaN); break;
            default: break;
        }
    }
    return v;
}

inline std::vector<uint8_t> bytes(size_t n, uint32_t seed) {
    std::mt19937 g(seed);
    std::vector<uint8_t> b(n);
    for (auto& x : b) x = static_cast<uint8_t>(g());
    return b;
}

// Bit patterns must match. Where two NaNs can meet in a sum (`sum`), IEEE
// leaves open which payload survives, and the compiler may swap operands even
// in scalar code, so there only NaN-ness is compared.
inline ::testing::AssertionResult same(const std::vector<float>& want, const std::vector<float>& got, bool sum = false) {
    if (want.size() != got.size()) return ::testing::AssertionFailure() << "sizes differ";
    for (size_t i = 0; i < want.size(); ++i)
        if (sum ? !ref::same(want[i], got[i]) : std::bit_cast<uint32_t>(want[i]) != std::bit_cast<uint32_t>(got[i]))
            return ::testing::AssertionFailure() << "element " << i << ": " << want[i] << " vs " << got[i];
    return ::testing::AssertionSuccess();
}

}  // namespace velmar::test
