#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

namespace velmar {

void dequant_i8_blocks(std::span<const float> scales, std::span<const uint8_t> bytes, size_t block,
                       std::span<float> out);

float dot_i8_blocks(std::span<const float> scales, std::span<const uint8_t> bytes, size_t block,
                    std::span<const float> x);

void dequant_i8_blocks_scalar(std::span<const float> scales, std::span<const uint8_t> bytes, size_t block,
                              std::span<float> out);
float dot_i8_blocks_scalar(std::span<const float> scales, std::span<const uint8_t> bytes, size_t block,
                           std::span<const float> x);

}  // namespace velmar
