#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

namespace velmar {

// Symmetric 8-bit codes straight from the packed bytes (checked, dispatched).
void dequant_i8_blocks(std::span<const float> scales, std::span<const uint8_t> bytes, size_t block,
                       std::span<float> out);

// Sums each block's products first and scales the block sum once.
float dot_i8_blocks(std::span<const float> scales, std::span<const uint8_t> bytes, size_t block,
                    std::span<const float> x);

}  // namespace velmar
