#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

namespace velmar {

void dequant_i4_blocks(std::span<const float> scales, std::span<const uint8_t> bytes, size_t block,
                       std::span<float> out);

void dequant_i4_blocks_scalar(std::span<const float> scales, std::span<const uint8_t> bytes, size_t block,
                              std::span<float> out);

}  // namespace velmar
