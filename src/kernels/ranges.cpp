#include "kernels/ranges.hpp"

#include "kernels/dispatch.hpp"
#include "shared/error.hpp"
#include "shared/packed.hpp"
#include "shared/rules.hpp"

namespace velmar::ranges {

namespace {

const simd::Kernels& table() { return simd::active(); }

void require_fixed(size_t len, size_t block, uint32_t bits, size_t scale_count, size_t byte_count) {
    require(block >= 1, "ranges: block size 0");
    require(check_bits(bits).has_value(), "ranges: code width outside 2..=16");
    require(scale_count >= block_count(len, block), "ranges: fewer scales than blocks");
    require(byte_count >= packed_len(len, bits), "ranges: byte run shorter than the codes need");
}

void require_adaptive(size_t len, size_t block, std::span<const uint32_t> widths, size_t scale_count,
                      size_t zero_point_count, size_t byte_count) {
    require(block >= 1, "ranges: block size 0");
    require(widths.size() >= block_count(len, block), "ranges: fewer widths than blocks");
    require(scale_count >= block_count(len, block) && zero_point_count >= block_count(len, block),
            "ranges: fewer scales or zero points than blocks");
    for_each_run(len, block, widths.data(), [&](size_t b, size_t, size_t, size_t pos, size_t bytes) {
        require(widths[b] >= 2 && widths[b] <= 8, "ranges: width outside 2..=8");
        require(pos <= byte_count && bytes <= byte_count - pos, "ranges: data shorter than the blocks need");
    });
}

}  // namespace

void quantize_sym(std::span<const float> values, size_t block, uint32_t bits, std::span<float> scales,
                  std::span<uint8_t> bytes) {
    require_fixed(values.size(), block, bits, scales.size(), bytes.size());
    table().quantize_sym(values.data(), values.size(), block, bits, scales.data(), bytes.data());
}

void quantize_asym(std::span<const float> values, size_t block, uint32_t bits, std::span<float> scales,
                   std::span<float> zero_points, std::span<uint8_t> bytes) {
    require_fixed(values.size(), block, bits, scales.size(), bytes.size());
    require(zero_points.size() >= scales.size(), "ranges: fewer zero points than scales");
    table().quantize_asym(values.data(), values.size(), block, bits, nullptr, scales.data(), zero_points.data(),
                          bytes.data());
}

void adaptive_widths(std::span<const float> values, size_t block, float tolerance, std::span<uint32_t> widths) {
    require(block >= 1, "ranges: block size 0");
    require(widths.size() >= block_count(values.size(), block), "ranges: fewer widths than blocks");
    table().adaptive_widths(values.data(), values.size(), block, tolerance, widths.data());
}

void quantize_adaptive(std::span<const float> values, size_t block, std::span<const uint32_t> widths,
                       std::span<float> scales, std::span<float> zero_points, std::span<uint8_t> bytes) {
    require_adaptive(values.size(), block, widths, scales.size(), zero_points.size(), bytes.size());
    table().quantize_asym(values.data(), values.size(), block, 0, widths.data(), scales.data(), zero_points.data(),
                          bytes.data());
}

void dequant_sym(std::span<const float> scales, std::span<const uint8_t> bytes, uint32_t bits, size_t block,
                 std::span<float> out) {
    require_fixed(out.size(), block, bits, scales.size(), bytes.size());
    table().dequant_sym(scales.data(), bytes.data(), bits, block, out.size(), out.data());
}

void dequant_asym(std::span<const float> scales, std::span<const float> zero_points, std::span<const uint8_t> bytes,
                  uint32_t bits, size_t block, std::span<float> out) {
    require_fixed(out.size(), block, bits, scales.size(), bytes.size());
    require(zero_points.size() >= block_count(out.size(), block), "ranges: fewer zero points than blocks");
    table().dequant_asym(scales.data(), zero_points.data(), bytes.data(), bits, nullptr, block, out.size(),
                         out.data());
}

void dequant_adaptive(std::span<const float> scales, std::span<const float> zero_points,
                      std::span<const uint8_t> bytes, std::span<const uint32_t> widths, size_t block,
                      std::span<float> out) {
    require_adaptive(out.size(), block, widths, scales.size(), zero_points.size(), bytes.size());
    table().dequant_asym(scales.data(), zero_points.data(), bytes.data(), 0, widths.data(), block, out.size(),
                         out.data());
}

float dot_sym(std::span<const float> scales, std::span<const uint8_t> bytes, uint32_t bits, size_t block,
              std::span<const float> x) {
    require_fixed(x.size(), block, bits, scales.size(), bytes.size());
    if (bits == 8) return table().dot_i8(scales.data(), bytes.data(), block, x.data(), x.size());
    return table().dot_sym(scales.data(), bytes.data(), bits, block, x.data(), x.size());
}

float dot_asym(std::span<const float> scales, std::span<const float> zero_points, std::span<const uint8_t> bytes,
               uint32_t bits, size_t block, std::span<const float> x) {
    require_fixed(x.size(), block, bits, scales.size(), bytes.size());
    require(zero_points.size() >= block_count(x.size(), block), "ranges: fewer zero points than blocks");
    return table().dot_asym(scales.data(), zero_points.data(), bytes.data(), bits, block, x.data(), x.size());
}

float dot_adaptive(std::span<const float> scales, std::span<const float> zero_points, std::span<const uint8_t> bytes,
                   std::span<const uint32_t> widths, size_t block, std::span<const float> x) {
    require_adaptive(x.size(), block, widths, scales.size(), zero_points.size(), bytes.size());
    return table().dot_adaptive(scales.data(), zero_points.data(), bytes.data(), widths.data(), block, x.data(),
                                x.size());
}

bool has_wide_vectors() {
    const simd::Level level = table().level;
    return level == simd::Level::Avx2 || level == simd::Level::Avx512;
}

const char* level_name() { return simd::level_name(table().level); }

}  // namespace velmar::ranges
