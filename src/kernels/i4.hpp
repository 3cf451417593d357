#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

namespace velmar {

// Symmetric 4-bit codes straight from the packed bytes (checked, dispatched).
void dequant_i4_blocks(std::span<const float> scales, std::span<const uint8_t> bytes, size_t block,
                       std::span<float> out);

}  // namespace velmar
