#include "kernels/block.hpp"

#include <algorithm>

#include "kernels/dispatch.hpp"
#include "kernels/memory.hpp"
#include "shared/error.hpp"

namespace velmar {

namespace {

void require_block_walk(size_t scale_count, size_t len, size_t block) {
    require(block >= 1, "block size 0");
    require(scale_count >= block_count(len, block), "fewer scales than blocks");
}

void unpack_checked(std::span<const uint8_t> bytes, uint32_t bits, std::span<int32_t> out, size_t count) {
    require(check_bits(bits).has_value(), "unpack: code width outside 2..=16");
    require(out.size() >= count, "unpack: output shorter than the code count");
    require(bytes.size() >= packed_len(count, bits), "unpack: byte run shorter than the codes need");
    simd::active().unpack(bytes.data(), bits, count, out.data());
}

// An adaptive record's blocks over len elements: a width, scale and zero point
// per block, every width 2..=8 and every run inside data. A dot product runs
// over the decoded values, so it shares the decoder's checks.
void require_adaptive(size_t scale_count, size_t zero_point_count, std::span<const uint8_t> data,
                      std::span<const uint32_t> widths, size_t block, size_t len, size_t out_len) {
    require(block >= 1, "dequant_adaptive: block size 0");
    require(out_len >= len, "dequant_adaptive: output shorter than len");
    require(widths.size() == block_count(len, block), "dequant_adaptive: width count differs from blocks");
    require(scale_count >= widths.size() && zero_point_count >= widths.size(),
            "dequant_adaptive: fewer scales or zero points than blocks");
    // Every block's run is checked before anything is written.
    for_each_run(len, block, widths.data(), [&](size_t b, size_t, size_t, size_t pos, size_t bytes) {
        require(widths[b] >= 2 && widths[b] <= 8, "dequant_adaptive: width outside 2..=8");
        require(bytes <= data.size() - pos, "dequant_adaptive: data shorter than the blocks need");
    });
}

}  // namespace

void Packed::unpack_into(std::span<int32_t> out) const { unpack_checked(bytes, bits, out, count); }

void Packed::unpack_slice(std::span<const uint8_t> bytes, uint32_t bits, std::span<int32_t> out, size_t count) {
    unpack_checked(bytes, bits, out, count);
}

SymBlocks quantize_sym_packed(std::span<const float> values, uint32_t bits, size_t block) {
    require(!values.empty(), "quantize_sym_packed: empty input");
    require(block >= 1, "quantize_sym_packed: block size 0");
    require(check_bits(bits).has_value(), "quantize_sym_packed: invalid width");
    const size_t len = values.size();
    SymBlocks out;
    assign_fresh(out.scales, block_count(len, block), 0.0f);
    assign_fresh(out.packed.bytes, packed_len(len, bits), uint8_t{0});
    out.packed.count = len;
    out.packed.bits = bits;
    simd::active().quantize_sym(values.data(), len, block, bits, out.scales.data(), out.packed.bytes.data());
    return out;
}

AsymBlocks quantize_asym_packed(std::span<const float> values, uint32_t bits, size_t block) {
    require(block >= 1, "quantize_asym_packed: block size 0");
    require(check_bits(bits).has_value(), "quantize_asym_packed: invalid width");
    const size_t len = values.size();
    AsymBlocks out;
    assign_fresh(out.scales, block_count(len, block), 0.0f);
    assign_fresh(out.zero_points, out.scales.size(), 0.0f);
    assign_fresh(out.bytes, packed_len(len, bits), uint8_t{0});
    simd::active().quantize_asym(values.data(), len, block, bits, nullptr, out.scales.data(),
                                 out.zero_points.data(), out.bytes.data());
    return out;
}

std::vector<uint32_t> adaptive_widths(std::span<const float> values, size_t block, float tolerance) {
    require(block >= 1, "adaptive_widths: block size 0");
    std::vector<uint32_t> widths;
    assign_fresh(widths, block_count(values.size(), block), 0u);
    simd::active().adaptive_widths(values.data(), values.size(), block, tolerance, widths.data());
    return widths;
}

AsymBlocks quantize_adaptive(std::span<const float> values, size_t block, std::span<const uint32_t> widths) {
    require(block >= 1, "quantize_adaptive: block size 0");
    require(widths.size() == block_count(values.size(), block), "quantize_adaptive: width count differs from blocks");
    for (const uint32_t w : widths) require(w >= 2 && w <= 8, "quantize_adaptive: width outside 2..=8");
    AsymBlocks out;
    assign_fresh(out.bytes, adaptive_data_len(widths.data(), block, values.size()), uint8_t{0});
    assign_fresh(out.scales, widths.size(), 0.0f);
    assign_fresh(out.zero_points, widths.size(), 0.0f);
    simd::active().quantize_asym(values.data(), values.size(), block, 0, widths.data(), out.scales.data(),
                                 out.zero_points.data(), out.bytes.data());
    return out;
}

AdaptiveBlocks quantize_adaptive(std::span<const float> values, size_t block, float tolerance) {
    require(block >= 1, "quantize_adaptive: block size 0");
    constexpr size_t kChunk = 16384;  // values per step, in whole blocks
    const size_t len = values.size(), nb = block_count(len, block), per = block >= kChunk ? 1 : kChunk / block;
    AdaptiveBlocks out;
    assign_fresh(out.widths, nb, 0u);
    assign_fresh(out.blocks.scales, nb, 0.0f);
    assign_fresh(out.blocks.zero_points, nb, 0.0f);
    std::vector<uint8_t>& data = out.blocks.bytes;
    const simd::Kernels& k = simd::active();
    for (size_t b0 = 0; b0 < nb; b0 += per) {
        const size_t b1 = std::min(nb, b0 + per), first = b0 * block, n = std::min(len, b1 * block) - first;
        uint32_t* w = out.widths.data() + b0;
        k.adaptive_widths(values.data() + first, n, block, tolerance, w);
        const size_t at = data.size(), bytes = adaptive_data_len(w, block, n);
        // Grown in few steps: to a tenth above the size that what is done so far predicts.
        if (data.capacity() < at + bytes) {
            const double per_value = static_cast<double>(at + bytes) / static_cast<double>(first + n);
            data.reserve(std::max(at + bytes, static_cast<size_t>(per_value * 1.1 * static_cast<double>(len))));
        }
        data.resize(at + bytes, 0);
        k.quantize_asym(values.data() + first, n, block, 0, w, out.blocks.scales.data() + b0,
                        out.blocks.zero_points.data() + b0, data.data() + at);
    }
    return out;
}

void dequant_sym_into(std::span<const float> scales, const Packed& packed, size_t block, std::span<float> out) {
    require(out.size() >= packed.count, "dequant_sym_into: output shorter than the code count");
    require_block_walk(scales.size(), packed.count, block);
    require(check_bits(packed.bits).has_value(), "dequant_sym_into: width outside 2..=16");
    require(packed.bytes.size() >= packed_len(packed.count, packed.bits), "dequant_sym_into: short bytes");
    simd::active().dequant_sym(scales.data(), packed.bytes.data(), packed.bits, block, packed.count, out.data());
}

void dequant_asym_into(std::span<const float> scales, std::span<const float> zero_points, const Packed& packed,
                       size_t block, std::span<float> out) {
    require(out.size() >= packed.count, "dequant_asym_into: output shorter than the code count");
    require_block_walk(scales.size(), packed.count, block);
    require_block_walk(zero_points.size(), packed.count, block);
    require(check_bits(packed.bits).has_value(), "dequant_asym_into: width outside 2..=16");
    require(packed.bytes.size() >= packed_len(packed.count, packed.bits), "dequant_asym_into: short bytes");
    simd::active().dequant_asym(scales.data(), zero_points.data(), packed.bytes.data(), packed.bits, nullptr, block,
                                packed.count, out.data());
}

void dequant_adaptive_into(std::span<const float> scales, std::span<const float> zero_points,
                           std::span<const uint8_t> data, std::span<const uint32_t> widths, size_t block, size_t len,
                           std::span<float> out) {
    if (widths.empty()) return;
    require_adaptive(scales.size(), zero_points.size(), data, widths, block, len, out.size());
    simd::active().dequant_asym(scales.data(), zero_points.data(), data.data(), 0, widths.data(), block, len,
                                out.data());
}

float dot_sym(std::span<const float> scales, const Packed& packed, size_t block, std::span<const float> x) {
    require(x.size() == packed.count, "dot_sym: x length differs from the code count");
    require_block_walk(scales.size(), packed.count, block);
    require(check_bits(packed.bits).has_value(), "dot_sym: width outside 2..=16");
    require(packed.bytes.size() >= packed_len(packed.count, packed.bits), "dot_sym: short bytes");
    return simd::active().dot_sym(scales.data(), packed.bytes.data(), packed.bits, block, x.data(), x.size());
}

float dot_asym(std::span<const float> scales, std::span<const float> zero_points, const Packed& packed, size_t block,
               std::span<const float> x) {
    require(x.size() == packed.count, "dot_asym: x length differs from the code count");
    require_block_walk(scales.size(), packed.count, block);
    require_block_walk(zero_points.size(), packed.count, block);
    require(check_bits(packed.bits).has_value(), "dot_asym: width outside 2..=16");
    require(packed.bytes.size() >= packed_len(packed.count, packed.bits), "dot_asym: short bytes");
    return simd::active().dot_asym(scales.data(), zero_points.data(), packed.bytes.data(), packed.bits, block,
                                   x.data(), x.size());
}

float dot_adaptive(std::span<const float> scales, std::span<const float> zero_points, std::span<const uint8_t> data,
                   std::span<const uint32_t> widths, size_t block, std::span<const float> x) {
    require_adaptive(scales.size(), zero_points.size(), data, widths, block, x.size(), x.size());
    return simd::active().dot_adaptive(scales.data(), zero_points.data(), data.data(), widths.data(), block, x.data(),
                                       x.size());
}

Fitted fit_blocks(std::span<const float> values, std::span<const int32_t> codes, size_t block) {
    require(block >= 1, "fit_blocks: block size 0");
    require(codes.size() == values.size(), "fit_blocks: codes and values differ in length");
    const size_t nb = block_count(values.size(), block);
    Fitted f{std::vector<float>(nb), std::vector<float>(nb)};
    simd::active().fit_blocks(values.data(), codes.data(), values.size(), block, f.scales.data(),
                              f.zero_points.data());
    return f;
}

Fitted fit_packed(std::span<const float> values, std::span<const uint8_t> bytes, uint32_t bits,
                  std::span<const uint32_t> widths, size_t block) {
    const size_t len = values.size();
    if (widths.empty()) {
        require(block >= 1, "fit_packed: block size 0");
        require(check_bits(bits).has_value(), "fit_packed: width outside 2..=16");
        require(bytes.size() >= packed_len(len, bits), "fit_packed: short bytes");
    } else {
        require_adaptive(widths.size(), widths.size(), bytes, widths, block, len, len);
    }
    const size_t nb = block_count(len, block);
    Fitted f{std::vector<float>(nb), std::vector<float>(nb)};
    simd::active().fit_packed(values.data(), bytes.data(), bits, widths.empty() ? nullptr : widths.data(), len, block,
                              f.scales.data(), f.zero_points.data());
    return f;
}

void widen_f16(std::span<const uint16_t> in, std::span<float> out) {
    require(out.size() == in.size(), "widen_f16: lengths differ");
    simd::active().widen_f16(in.data(), in.size(), out.data());
}

void narrow_f16(std::span<const float> in, std::span<uint16_t> out) {
    require(out.size() == in.size(), "narrow_f16: lengths differ");
    simd::active().narrow_f16(in.data(), in.size(), out.data());
}

}  // namespace velmar
