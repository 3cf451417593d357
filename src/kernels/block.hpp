#pragma once
// The checked entries over the dispatch table: each checks every length it
// indexes by (InternalError otherwise), then runs the kernel of the level
// chosen for this CPU. Operations reach the table only through these and the
// 4- and 8-bit entries of kernels/i4 and kernels/i8; Packed's unpack_into and
// unpack_slice are defined here too.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "shared/packed.hpp"

namespace velmar {

struct SymBlocks {
    std::vector<float> scales;
    Packed packed;
};

// Non-empty values, block >= 1, bits already validated.
SymBlocks quantize_sym_packed(std::span<const float> values, uint32_t bits, size_t block);

// Float scales, zero points and the code bytes of asymmetric blocks.
struct AsymBlocks {
    std::vector<float> scales;
    std::vector<float> zero_points;
    std::vector<uint8_t> bytes;
};

// One stream of `bits` (2..=16); block >= 1.
AsymBlocks quantize_asym_packed(std::span<const float> values, uint32_t bits, size_t block);

// Each block's width, then each block in its own byte run at that width.
std::vector<uint32_t> adaptive_widths(std::span<const float> values, size_t block, float tolerance);
AsymBlocks quantize_adaptive(std::span<const float> values, size_t block, std::span<const uint32_t> widths);
// Both in one pass over the values: the widths and codes of a few thousand
// values at a time, while they are in cache.
struct AdaptiveBlocks {
    std::vector<uint32_t> widths;
    AsymBlocks blocks;
};
AdaptiveBlocks quantize_adaptive(std::span<const float> values, size_t block, float tolerance);

void dequant_sym_into(std::span<const float> scales, const Packed& packed, size_t block, std::span<float> out);
void dequant_asym_into(std::span<const float> scales, std::span<const float> zero_points, const Packed& packed,
                       size_t block, std::span<float> out);
// len elements; writes nothing when there are no widths.
void dequant_adaptive_into(std::span<const float> scales, std::span<const float> zero_points,
                           std::span<const uint8_t> data, std::span<const uint32_t> widths, size_t block, size_t len,
                           std::span<float> out);

float dot_sym(std::span<const float> scales, const Packed& packed, size_t block, std::span<const float> x);
float dot_asym(std::span<const float> scales, std::span<const float> zero_points, const Packed& packed, size_t block,
               std::span<const float> x);
// Over x.size() elements, from -0.0.
float dot_adaptive(std::span<const float> scales, std::span<const float> zero_points, std::span<const uint8_t> data,
                   std::span<const uint32_t> widths, size_t block, std::span<const float> x);

// The least-squares (scale, zero point) of every block of values against codes.
struct Fitted {
    std::vector<float> scales;
    std::vector<float> zero_points;
};
Fitted fit_blocks(std::span<const float> values, std::span<const int32_t> codes, size_t block);
// The same from packed codes: one stream of `bits` when widths is empty, else
// an adaptive record's runs.
Fitted fit_packed(std::span<const float> values, std::span<const uint8_t> bytes, uint32_t bits,
                  std::span<const uint32_t> widths, size_t block);

// Half-precision bit patterns to and from floats; in and out of one length.
void widen_f16(std::span<const uint16_t> in, std::span<float> out);
void narrow_f16(std::span<const float> in, std::span<uint16_t> out);

}  // namespace velmar
