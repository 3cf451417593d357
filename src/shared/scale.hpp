#pragma once
// Scale element types: how per-block scales and zero points are stored. All
// arithmetic happens in float; these only fix the storage and its rounding.
#include <bit>
#include <cstdint>

namespace velmar {

using f32 = float;
struct f16 {
    uint16_t bits;
};
struct bf16 {
    uint16_t bits;
};

// IEEE binary32 -> binary16, round to nearest even, subnormals kept, NaN quieted.
uint16_t f16_bits_from_f32(float x);
float f32_from_f16_bits(uint16_t h);

inline uint16_t bf16_bits_from_f32(float x) {
    const uint32_t u = std::bit_cast<uint32_t>(x);
    if ((u & 0x7FFFFFFFu) > 0x7F800000u) return static_cast<uint16_t>((u >> 16) | 0x0040u);
    const uint32_t round = ((u >> 15) & 1u) & (((u >> 16) & 1u) | ((u & 0x7FFFu) != 0 ? 1u : 0u));
    return static_cast<uint16_t>((u >> 16) + round);
}

// bfloat16 -> binary32 (the rule is widen_bf16 in shared/rules.hpp).
float f32_from_bf16_bits(uint16_t h);

// The element interface: to_f32 / from_f32, plus the raw storage pattern used
// by the pickle encoding.
template <class T>
struct Scale;

template <>
struct Scale<f32> {
    using Bits = uint32_t;
    static constexpr unsigned bytes = 4;
    static float to_f32(f32 v) { return v; }
    static f32 from_f32(float v) { return v; }
    static Bits to_bits(f32 v) { return std::bit_cast<uint32_t>(v); }
    static f32 from_bits(Bits b) { return std::bit_cast<float>(b); }
};

// The two 16-bit types differ only in their conversions.
template <class T, float (*widen)(uint16_t), uint16_t (*round)(float)>
struct Scale16 {
    using Bits = uint16_t;
    static constexpr unsigned bytes = 2;
    static float to_f32(T v) { return widen(v.bits); }
    static T from_f32(float v) { return {round(v)}; }
    static Bits to_bits(T v) { return v.bits; }
    static T from_bits(Bits b) { return {b}; }
};

template <>
struct Scale<f16> : Scale16<f16, f32_from_f16_bits, f16_bits_from_f32> {};
template <>
struct Scale<bf16> : Scale16<bf16, f32_from_bf16_bits, bf16_bits_from_f32> {};

template <class T>
float to_f32(T v) {
    return Scale<T>::to_f32(v);
}
template <class T>
T from_f32(float v) {
    return Scale<T>::from_f32(v);
}

}  // namespace velmar
