#pragma once
// Block kernels on float scales: the scalar statement of each computation.
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "shared/packed.hpp"

namespace velmar {

struct SymBlocks {
    std::vector<float> scales;
    Packed packed;
};

// Non-empty values, block >= 1, bits already validated.
SymBlocks quantize_sym_packed(std::span<const float> values, uint32_t bits, size_t block);

// One block (any length); appends its codes; returns (scale, zero point).
std::pair<float, float> quantize_asym_block(std::span<const float> values, uint32_t bits,
                                            std::vector<int32_t>& codes);

void dequant_sym_into(std::span<const float> scales, const Packed& packed, size_t block, std::span<float> out);
void dequant_asym_into(std::span<const float> scales, std::span<const float> zero_points, const Packed& packed,
                       size_t block, std::span<float> out);

float dot_sym(std::span<const float> scales, const Packed& packed, size_t block, std::span<const float> x);
float dot_asym(std::span<const float> scales, std::span<const float> zero_points, const Packed& packed, size_t block,
               std::span<const float> x);

// The scalar statements of the kernels above: the reference every twin is
// tested against.
SymBlocks quantize_sym_packed_scalar(std::span<const float> values, uint32_t bits, size_t block);
std::pair<float, float> quantize_asym_block_scalar(std::span<const float> values, uint32_t bits,
                                                   std::vector<int32_t>& codes);
int32_t asym_code_scalar(float x, float inv, float zero_point, int32_t qmin, int32_t qmax);
void dequant_sym_into_scalar(std::span<const float> scales, const Packed& packed, size_t block, std::span<float> out);
void dequant_asym_into_scalar(std::span<const float> scales, std::span<const float> zero_points, const Packed& packed,
                              size_t block, std::span<float> out);
float dot_sym_scalar(std::span<const float> scales, const Packed& packed, size_t block, std::span<const float> x);
float dot_asym_scalar(std::span<const float> scales, std::span<const float> zero_points, const Packed& packed,
                      size_t block, std::span<const float> x);

}  // namespace velmar
