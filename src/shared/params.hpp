#pragma once
#include <cstdint>

namespace velmar {

// Smallest width 2..=8 whose half quantization step over `range` is within
// `tolerance`.
uint32_t choose_bits(float range, float tolerance);

}  // namespace velmar
