#pragma once
// All that the per-level kernel files include: the rules and reductions
// (internal linkage), the table's declaration and the declarations of the
// out-of-line functions the bodies call. See twin.inl.
#include <cstddef>
#include <cstdint>

#include "kernels/dispatch.hpp"
#include "kernels/reduce.hpp"
#include "shared/params.hpp"
#include "shared/rules.hpp"

namespace velmar {

uint16_t f16_bits_from_f32(float x);
float f32_from_f16_bits(uint16_t h);

}  // namespace velmar
