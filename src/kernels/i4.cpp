#include "kernels/i4.hpp"

#include <algorithm>

#include "kernels/dispatch.hpp"
#include "shared/error.hpp"
#include "shared/packed.hpp"
#include "shared/tensor.hpp"

namespace velmar {

void dequant_i4_blocks_scalar(std::span<const float> scales, std::span<const uint8_t> bytes, size_t block,
                       std::span<float> out) {
    const size_t n = out.size();
    require(block >= 1, "dequant_i4_blocks_scalar: block size 0");
    require(scales.size() >= block_count(n, block), "dequant_i4_blocks_scalar: fewer scales than blocks");
    require(bytes.size() >= packed_len(n, 4), "dequant_i4_blocks_scalar: short bytes");
    size_t i = 0;  // the running code index continues across chunks
    for (size_t c = 0; i < n; ++c) {
        const float s = scales[c];
        const size_t end = i + std::min(block, n - i);
        for (; i < end; ++i) {
            const int32_t nibble = (bytes[i / 2] >> ((i % 2) * 4)) & 0xF;
            const int32_t q = nibble >= 8 ? nibble - 16 : nibble;
            out[i] = static_cast<float>(q) * s;
        }
    }
}

void dequant_i4_blocks(std::span<const float> scales, std::span<const uint8_t> bytes, size_t block,
                       std::span<float> out) {
    const size_t n = out.size();
    require(block >= 1, "dequant_i4_blocks: block size 0");
    require(scales.size() >= block_count(n, block), "dequant_i4_blocks: fewer scales than blocks");
    require(bytes.size() >= packed_len(n, 4), "dequant_i4_blocks: short bytes");
    simd::active().dequant_sym(scales.data(), bytes.data(), 4, block, n, out.data());
}

}  // namespace velmar
