#pragma once
// The quantized tensor: one record for the three kinds. Fields a kind does not
// use stay empty (zero_points of Symmetric; packed of Adaptive; data and
// block_bits of the other two).
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "shared/error.hpp"
#include "shared/packed.hpp"
#include "shared/rules.hpp"
#include "shared/scale.hpp"

namespace velmar {

enum class Kind : uint8_t { Symmetric = 0, Asymmetric = 1, Adaptive = 2 };

const char* kind_name(Kind kind);

template <class T>
struct Quantized {
    Kind kind = Kind::Symmetric;
    std::vector<T> scales;
    std::vector<T> zero_points;
    Packed packed;
    std::vector<uint8_t> data;
    std::vector<uint32_t> block_bits;
    size_t block = 1;
    size_t len = 0;

    // Every invariant of the record: block >= 1, one scale (and zero point, and
    // width) per block, byte lengths exact, widths in range. Overflow-safe.
    bool keeps_invariants() const;

    // Throws InternalError when keeps_invariants() is false.
    void require_invariants() const;

    // The decoding entry points: operations over the kernels, defined with the
    // per-kind decoders in shared/decode.cpp.
    std::vector<float> dequantize() const;
    Status dequantize_into(std::span<float> out) const;

    // len sign-extended codes in element order, into a new vector or into out
    // (len entries).
    std::vector<int32_t> unpacked_codes() const;
    void unpack_codes_into(std::span<int32_t> out) const;

    // The packed code bytes of any kind (packed.bytes or data).
    const std::vector<uint8_t>& code_bytes() const { return kind == Kind::Adaptive ? data : packed.bytes; }
};

// The dot product as the binding invokes it: length check, empty case, dot_of.
template <class T>
Result<float> dot(const Quantized<T>& q, std::span<const float> x);

extern template struct Quantized<f32>;
extern template struct Quantized<f16>;
extern template struct Quantized<bf16>;

}  // namespace velmar
