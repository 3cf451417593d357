#include "shared/params.hpp"

#include <cstring>

namespace velmar {
namespace {

bool half_step_within(float range, uint32_t w, float tolerance) {
    const float d = static_cast<float>((1u << w) - 1u);
    return (range / d) * 0.5f <= tolerance;
}

float from_bits(uint32_t u) {
    float x;
    std::memcpy(&x, &u, sizeof x);
    return x;
}

// The largest range within a finite tolerance of at least zero at width w.
// The test is monotone in the range, and positive floats order like their bit
// patterns, +0 within and +infinity not; the boundary lies within a few
// patterns of 2 * tolerance * d, so the search starts there and only an
// extreme tolerance (subnormal, near overflow) searches them all.
float limit_of(uint32_t w, float tolerance) {
    constexpr uint32_t kInf = 0x7F800000u;
    const auto within = [&](uint32_t u) { return half_step_within(from_bits(u), w, tolerance); };
    uint32_t lo = 0, hi = kInf;  // within(lo), not within(hi)
    const double guess = 2.0 * static_cast<double>(tolerance) * static_cast<double>((1u << w) - 1u);
    if (guess > 0.0 && guess < 3.0e38) {
        const float f = static_cast<float>(guess);
        uint32_t g;
        std::memcpy(&g, &f, sizeof g);
        const uint32_t a = g > 4 ? g - 4 : 0, b = g + 4;
        if (within(a)) lo = a;
        if (!within(b)) hi = b;
    }
    while (hi - lo > 1) {
        const uint32_t mid = lo + (hi - lo) / 2;
        (within(mid) ? lo : hi) = mid;
    }
    return from_bits(lo);
}

}  // namespace

uint32_t choose_bits(float range, float tolerance) {
    if (range <= 0.0f) return 2;
    for (uint32_t w = 2; w <= 7; ++w)
        if (half_step_within(range, w, tolerance)) return w;
    return 8;
}

WidthLimits width_limits(float tolerance) {
    WidthLimits l;
    for (uint32_t w = 2; w <= 7; ++w) {
        // No range is within a negative or NaN tolerance, every one but NaN within infinity.
        if (!(tolerance >= 0.0f) || tolerance == __builtin_inff())
            l.at[w - 2] = tolerance >= 0.0f ? tolerance : -1.0f;
        else
            l.at[w - 2] = limit_of(w, tolerance);
    }
    return l;
}

}  // namespace velmar
