#pragma once
// Decoding: the per-kind decoders, the dot product and the tensor's decoding
// members (declared in shared/tensor.hpp), all over the checked kernel entries;
// and the conversion of scale elements to and from floats.
#include <cstddef>
#include <span>

#include "shared/tensor.hpp"

namespace velmar {

template <class T>
void dequant_sym(std::span<const T> scales, const Packed& packed, size_t block, std::span<float> out);

template <class T>
void dequant_asym(std::span<const T> scales, std::span<const T> zero_points, const Packed& packed, size_t block,
                  std::span<float> out);

template <class T>
void dequant_adaptive(std::span<const T> scales, std::span<const T> zero_points, std::span<const uint8_t> data,
                      std::span<const uint32_t> block_bits, size_t block, size_t len, std::span<float> out);

// x must hold exactly q.len floats (the caller checks).
template <class T>
float dot_of(const Quantized<T>& q, std::span<const float> x);

// Widens every element with to_f32, into a new vector or into out (of the
// same length).
template <class T>
std::vector<float> widen(std::span<const T> values);
template <class T>
void widen_into(std::span<const T> values, std::span<float> out);

// Rounds every element with from_f32 (for f32 the vector itself is kept).
template <class T>
std::vector<T> narrow(std::vector<float>&& values);

// A record of a kind with its scales and zero points, computed unrounded and
// rounded to T only now that they are stored; its codes are the caller's.
template <class T>
Quantized<T> make_record(Kind kind, size_t block, size_t len, std::vector<float>&& scales,
                         std::vector<float>&& zero_points);

}  // namespace velmar
