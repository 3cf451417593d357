#pragma once
// The quantized tensor: rows x cols values quantized row by row, every row
// cut into blocks of its own. Rows<T> is the view every operation works on
// (the parts of row after row); a 1-D record, Quantized<T>, is one row, and
// its invariants are the view's check.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "shared/error.hpp"
#include "shared/packed.hpp"
#include "shared/rules.hpp"
#include "shared/scale.hpp"

namespace velmar {

enum class Kind : uint8_t { Symmetric = 0, Asymmetric = 1, Adaptive = 2 };

const char* kind_name(Kind kind);

// A quantization scheme: bits for the fixed-width kinds, tolerance for the
// adaptive one.
struct Scheme {
    Kind kind = Kind::Symmetric;
    uint32_t bits = 8;
    size_t block = 32;
    float tolerance = 0.001f;
};

// The scheme's own error, in the order the quantizers report it: the width of
// a fixed-width kind, the block, the tolerance of the adaptive kind.
Status check_scheme(const Scheme& scheme);

// The parts of `rows` rows of `cols` values each, row after row: the code
// bytes (one bit stream per row, or for the adaptive kind one byte run per
// block), one scale (and zero point, and width) per block. Borrowed.
template <class T>
struct Rows {
    Scheme scheme;  // its tolerance is not needed to read the parts
    size_t rows = 1;
    size_t cols = 0;
    std::span<const uint8_t> codes;
    std::span<const T> scales;
    std::span<const T> zero_points;  // asymmetric and adaptive
    std::span<const uint32_t> widths;  // adaptive
};

// The parts of rows, owned: what the quantizer makes.
template <class T>
struct Parts {
    Bytes codes;
    std::vector<T> scales;
    std::vector<T> zero_points;
    std::vector<uint32_t> widths;

    Rows<T> view(const Scheme& scheme, size_t rows, size_t cols) const {
        return {scheme, rows, cols, codes, scales, zero_points, widths};
    }
};

// The first thing wrong with a view: its scheme's own error (bits, block), or
// a part whose length differs from what rows, cols and the scheme need, an
// adaptive width outside 2..=8 or an unknown kind.
struct Fault {
    std::optional<CoreError> scheme;
    std::string what;
};

// Nothing when every part fits; overflow-safe for any field values.
template <class T>
std::optional<Fault> fault_of(const Rows<T>& v);

// Throws InternalError naming the fault.
template <class T>
void require_whole(const Rows<T>& v);

// Whether a reader checks its view whole (require_whole) or its caller has
// just done so with fault_of: one call checks its record once, which for an
// adaptive record is a walk of every block's width.
enum class Check { Whole, Done };

// Code bytes of one row whose block widths are widths[0..nb) (adaptive), or
// of a fixed-width row; SIZE_MAX when that does not fit.
inline size_t row_bytes(const Scheme& s, size_t cols, const uint32_t* widths) {
    if (s.kind != Kind::Adaptive) return packed_len(cols, s.bits);
    return adaptive_data_len(widths, s.block, cols);
}

// Whether rows of cols values, laid end to end, are the blocks of one longer
// row: every row ends on a block and, for one bit stream, on a byte.
inline bool rows_are_blocks(const Scheme& s, size_t cols) {
    if (cols % s.block != 0) return false;
    return s.kind == Kind::Adaptive || cols % 8 * s.bits % 8 == 0;
}

template <class T>
struct Quantized {
    Kind kind = Kind::Symmetric;
    std::vector<T> scales;
    std::vector<T> zero_points;
    Packed packed;
    Bytes data;
    std::vector<uint32_t> block_bits;
    size_t block = 1;
    size_t len = 0;

    // The record as one row of len values.
    Rows<T> view() const;

    // Every invariant of the record: its view is whole and, for one bit
    // stream, the code count is len.
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
    const Bytes& code_bytes() const { return kind == Kind::Adaptive ? data : packed.bytes; }
};

// The record of one row of len values made from its parts.
template <class T>
Quantized<T> record_of(Parts<T>&& parts, const Scheme& scheme, size_t len);

// The dot product as the binding invokes it: length check, empty case, dot_of.
template <class T>
Result<float> dot(const Quantized<T>& q, std::span<const float> x);

extern template struct Quantized<f32>;
extern template struct Quantized<f16>;
extern template struct Quantized<bf16>;

}  // namespace velmar
