#include "kernels/i8.hpp"

#include "kernels/dispatch.hpp"
#include "shared/error.hpp"
#include "shared/rules.hpp"

namespace velmar {

namespace {

void require_i8_walk(size_t n, size_t scale_count, size_t byte_count, size_t block) {
    require(block >= 1, "i8 kernel: block size 0");
    require(scale_count >= block_count(n, block), "i8 kernel: fewer scales than blocks");
    require(byte_count >= n, "i8 kernel: short bytes");
}

}  // namespace

void dequant_i8_blocks(std::span<const float> scales, std::span<const uint8_t> bytes, size_t block,
                       std::span<float> out) {
    const size_t n = out.size();
    require_i8_walk(n, scales.size(), bytes.size(), block);
    simd::active().dequant_sym(scales.data(), bytes.data(), 8, block, n, out.data());
}

float dot_i8_blocks(std::span<const float> scales, std::span<const uint8_t> bytes, size_t block,
                    std::span<const float> x) {
    const size_t n = x.size();
    require_i8_walk(n, scales.size(), bytes.size(), block);
    return simd::active().dot_i8(scales.data(), bytes.data(), block, x.data(), n);
}

}  // namespace velmar
