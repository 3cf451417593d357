#pragma once
// What the per-level kernel bodies may call outside themselves: out-of-line
// functions only (see twin.inl).
#include <cstddef>
#include <cstdint>

#include "kernels/dispatch.hpp"
#include "shared/params.hpp"

namespace velmar {

uint16_t f16_bits_from_f32(float x);
float f32_from_f16_bits(uint16_t h);

}  // namespace velmar
