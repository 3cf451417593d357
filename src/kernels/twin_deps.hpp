#pragma once
// All that the per-level kernel files include: the rules and reductions
// (internal linkage), the table's declaration and the declarations of the
// out-of-line functions the bodies call. See twin.inl.
#include <cstddef>
#include <cstdint>

#include "kernels/dispatch.hpp"
#include "kernels/reduce.hpp"
#include "shared/params.hpp"
#include "shared/rules.hpp"

namespace velmar {

uint16_t f16_bits_from_f32(float x);
float f32_from_f16_bits(uint16_t h);

namespace {

// Element i of stored scales or zero points, as a float.
inline float stored_at(const void* p, simd::Stored type, size_t i) {
    switch (type) {
        case simd::Stored::F16: return f32_from_f16_bits(static_cast<const uint16_t*>(p)[i]);
        case simd::Stored::Bf16: return widen_bf16(static_cast<const uint16_t*>(p)[i]);
        default: return static_cast<const float*>(p)[i];
    }
}

// f(i, codes, b0) for every row i of a run: its codes start where the
// previous row's end, its blocks' scales at index b0 = i * nb.
template <class F>
inline __attribute__((always_inline)) void for_each_row(const simd::RowRun& r, F&& f) {
    const size_t nb = block_count(r.cols, r.block);
    const uint8_t* codes = r.codes;
    for (size_t i = 0; i < r.rows; ++i) {
        f(i, codes, i * nb);
        codes += r.widths ? adaptive_data_len(r.widths + i * nb, r.block, r.cols) : packed_len(r.cols, r.bits);
    }
}

}  // namespace
}  // namespace velmar
