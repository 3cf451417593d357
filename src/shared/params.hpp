#pragma once
#include <cstdint>

namespace velmar {

// Smallest width 2..=8 whose half quantization step over `range` is within
// `tolerance`.
uint32_t choose_bits(float range, float tolerance);

// The same choice as comparisons: for a range above 0, choose_bits gives the
// smallest w in 2..=7 with range <= at[w - 2], or 8 when there is none.
struct WidthLimits {
    float at[6];
};
WidthLimits width_limits(float tolerance);

}  // namespace velmar
