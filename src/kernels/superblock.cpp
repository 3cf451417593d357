#include "kernels/superblock.hpp"

#include "kernels/dispatch.hpp"
#include "shared/error.hpp"
#include "shared/packed.hpp"
#include "shared/rules.hpp"

namespace velmar::super {

namespace {

const simd::Kernels& table() { return simd::active(); }

// The number of super-blocks in n values, which must be whole.
size_t supers(size_t n) {
    require(n % kSuperLen == 0, "super: values are not whole super-blocks");
    return n / kSuperLen;
}

size_t bytes_of(SuperType t, size_t nsb) {
    require(static_cast<uint32_t>(t) < kSuperTypes, "super: unknown type");
    size_t total = 0;
    require(!__builtin_mul_overflow(nsb, format_of(t).bytes, &total), "super: byte count overflows");
    return total;
}

void require_weighted(size_t len, size_t weights, size_t block, uint32_t bits, size_t scales, size_t bytes) {
    require(weights == len, "super: not one weight per value");
    require(block >= 1, "super: block size 0");
    require(check_bits(bits).has_value(), "super: code width outside 2..=16");
    require(scales >= block_count(len, block), "super: fewer scales than blocks");
    require(bytes >= packed_len(len, bits), "super: byte run shorter than the codes need");
}

}  // namespace

size_t block_bytes(SuperType t) { return bytes_of(t, 1); }

size_t quantize(SuperType t, std::span<const float> values, std::span<const float> weights, std::span<uint8_t> out) {
    const size_t nsb = supers(values.size());
    require(weights.empty() || weights.size() == values.size(), "super: not one weight per value");
    require(out.size() >= bytes_of(t, nsb), "super: output shorter than the blocks");
    return table().quantize_super(static_cast<uint32_t>(t), values.data(), weights.empty() ? nullptr : weights.data(),
                                  nsb, out.data());
}

void dequantize(SuperType t, std::span<const uint8_t> bytes, std::span<float> out) {
    const size_t nsb = supers(out.size());
    require(bytes.size() >= bytes_of(t, nsb), "super: bytes shorter than the blocks");
    table().dequant_super(static_cast<uint32_t>(t), bytes.data(), nsb, out.data());
}

float dot(SuperType t, std::span<const uint8_t> bytes, std::span<const float> x) {
    const size_t nsb = supers(x.size());
    require(bytes.size() >= bytes_of(t, nsb), "super: bytes shorter than the blocks");
    return table().dot_super(static_cast<uint32_t>(t), bytes.data(), x.data(), nsb);
}

float dot_lanes(std::span<const float> y, std::span<const float> x) {
    require(y.size() == x.size(), "super: operands differ in length");
    return table().dot_lanes(y.data(), x.data(), x.size());
}

void quantize_sym(std::span<const float> values, std::span<const float> weights, size_t block, uint32_t bits,
                  std::span<float> scales, std::span<uint8_t> bytes) {
    require_weighted(values.size(), weights.size(), block, bits, scales.size(), bytes.size());
    table().quantize_sym_weighted(values.data(), weights.data(), values.size(), block, bits, scales.data(),
                                  bytes.data());
}

void quantize_asym(std::span<const float> values, std::span<const float> weights, size_t block, uint32_t bits,
                   std::span<float> scales, std::span<float> zero_points, std::span<uint8_t> bytes) {
    require_weighted(values.size(), weights.size(), block, bits, scales.size(), bytes.size());
    require(zero_points.size() >= scales.size(), "super: fewer zero points than scales");
    table().quantize_asym_weighted(values.data(), weights.data(), values.size(), block, bits, nullptr,
                                   scales.data(), zero_points.data(), bytes.data());
}

void quantize_adaptive(std::span<const float> values, std::span<const float> weights, size_t block,
                       std::span<const uint32_t> widths, std::span<float> scales, std::span<float> zero_points,
                       std::span<uint8_t> bytes) {
    const size_t len = values.size();
    require(weights.size() == len, "super: not one weight per value");
    require(block >= 1, "super: block size 0");
    const size_t nb = block_count(len, block);
    require(widths.size() >= nb && scales.size() >= nb && zero_points.size() >= nb,
            "super: fewer widths, scales or zero points than blocks");
    for_each_run(len, block, widths.data(), [&](size_t b, size_t, size_t, size_t pos, size_t n) {
        require(widths[b] >= 2 && widths[b] <= 8, "super: width outside 2..=8");
        require(pos <= bytes.size() && n <= bytes.size() - pos, "super: data shorter than the blocks need");
    });
    table().quantize_asym_weighted(values.data(), weights.data(), len, block, 0, widths.data(), scales.data(),
                                   zero_points.data(), bytes.data());
}

}  // namespace velmar::super
