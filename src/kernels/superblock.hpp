#pragma once
// Checked entries of the super-block kernels and the weighted block
// quantizers, over borrowed buffers. Each checks every length it indexes by
// (InternalError otherwise) and runs the kernel of the level chosen for this
// CPU.
#include <cstddef>
#include <cstdint>
#include <span>

#include "shared/superblock.hpp"

namespace velmar::super {

// Bytes of one super-block of type t.
size_t block_bytes(SuperType t);

// values: whole super-blocks; weights: empty or one per value. Returns the
// first super-block with no encoding (see quantize_super), or the count.
size_t quantize(SuperType t, std::span<const float> values, std::span<const float> weights, std::span<uint8_t> out);
// out.size() values: whole super-blocks.
void dequantize(SuperType t, std::span<const uint8_t> bytes, std::span<float> out);
// Over x.size() values: whole super-blocks.
float dot(SuperType t, std::span<const uint8_t> bytes, std::span<const float> x);
// The same 16-lane sum over decoded values.
float dot_lanes(std::span<const float> y, std::span<const float> x);

// The weighted symmetric, asymmetric and adaptive quantizers: one weight per value.
void quantize_sym(std::span<const float> values, std::span<const float> weights, size_t block, uint32_t bits,
                  std::span<float> scales, std::span<uint8_t> bytes);
void quantize_asym(std::span<const float> values, std::span<const float> weights, size_t block, uint32_t bits,
                   std::span<float> scales, std::span<float> zero_points, std::span<uint8_t> bytes);
void quantize_adaptive(std::span<const float> values, std::span<const float> weights, size_t block,
                       std::span<const uint32_t> widths, std::span<float> scales, std::span<float> zero_points,
                       std::span<uint8_t> bytes);

}  // namespace velmar::super
