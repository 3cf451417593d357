#pragma once
// Checked entries over borrowed buffers, for operations that keep many
// tensors' parts in one array (the rows of a matrix) and so have no record to
// hand to the entries of kernels/block. Each checks every length it indexes by
// (InternalError otherwise), then runs the kernel of the level chosen for this
// CPU; the results are those of the record entries bit for bit.
#include <cstddef>
#include <cstdint>
#include <span>

namespace velmar::ranges {

// values.size() elements in blocks of `block`; bits 2..=16.
void quantize_sym(std::span<const float> values, size_t block, uint32_t bits, std::span<float> scales,
                  std::span<uint8_t> bytes);
void quantize_asym(std::span<const float> values, size_t block, uint32_t bits, std::span<float> scales,
                   std::span<float> zero_points, std::span<uint8_t> bytes);
void adaptive_widths(std::span<const float> values, size_t block, float tolerance, std::span<uint32_t> widths);
void quantize_adaptive(std::span<const float> values, size_t block, std::span<const uint32_t> widths,
                       std::span<float> scales, std::span<float> zero_points, std::span<uint8_t> bytes);

// out.size() elements.
void dequant_sym(std::span<const float> scales, std::span<const uint8_t> bytes, uint32_t bits, size_t block,
                 std::span<float> out);
void dequant_asym(std::span<const float> scales, std::span<const float> zero_points, std::span<const uint8_t> bytes,
                  uint32_t bits, size_t block, std::span<float> out);
void dequant_adaptive(std::span<const float> scales, std::span<const float> zero_points,
                      std::span<const uint8_t> bytes, std::span<const uint32_t> widths, size_t block,
                      std::span<float> out);

// Over x.size() elements: the kernels the 1-D dot products run.
float dot_sym(std::span<const float> scales, std::span<const uint8_t> bytes, uint32_t bits, size_t block,
              std::span<const float> x);
float dot_asym(std::span<const float> scales, std::span<const float> zero_points, std::span<const uint8_t> bytes,
               uint32_t bits, size_t block, std::span<const float> x);
float dot_adaptive(std::span<const float> scales, std::span<const float> zero_points, std::span<const uint8_t> bytes,
                   std::span<const uint32_t> widths, size_t block, std::span<const float> x);

// Whether the chosen level runs 256-bit integer vectors (AVX2 or wider).
bool has_wide_vectors();

// The chosen level's name ("avx2", ...).
const char* level_name();

}  // namespace velmar::ranges
