#pragma once
// The symmetric 4- and 8-bit matrix-vector product sixteen rows at a time,
// one row per vector lane: each lane adds its own row's terms in the order
// the 1-D dot adds them, so every output is that dot bit for bit.
#include <cstddef>
#include <cstdint>

namespace velmar::rows::detail {

// Computes rows [0, done) of out (out[j * rows + i]) and returns done, a
// multiple of 16; 0 when this CPU or this width has no tile kernel. scales are
// the float scales of all rows (nb per row), codes the rows' packed bytes.
size_t sym_tiles(const float* scales, const uint8_t* codes, uint32_t bits, size_t block, size_t rows, size_t cols,
                 const float* x, size_t k, float* out);

}  // namespace velmar::rows::detail
