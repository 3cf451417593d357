#include "kernels/i4.hpp"

#include "kernels/dispatch.hpp"
#include "shared/error.hpp"
#include "shared/rules.hpp"

namespace velmar {

void dequant_i4_blocks(std::span<const float> scales, std::span<const uint8_t> bytes, size_t block,
                       std::span<float> out) {
    const size_t n = out.size();
    require(block >= 1, "dequant_i4_blocks: block size 0");
    require(scales.size() >= block_count(n, block), "dequant_i4_blocks: fewer scales than blocks");
    require(bytes.size() >= packed_len(n, 4), "dequant_i4_blocks: short bytes");
    simd::active().dequant_sym(scales.data(), bytes.data(), 4, block, n, out.data());
}

}  // namespace velmar
