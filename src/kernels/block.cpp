#include "kernels/block.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "kernels/dispatch.hpp"
#include "kernels/memory.hpp"
#include "kernels/reduce.hpp"
#include "shared/error.hpp"
#include "shared/tensor.hpp"

namespace velmar {

namespace {

float code_max(uint32_t bits) { return static_cast<float>((int32_t{1} << (bits - 1)) - 1); }
float code_min(uint32_t bits) { return -static_cast<float>(int32_t{1} << (bits - 1)); }

// Round half away from zero, clamp to [qmin, qmax]; NaN gives 0.
int32_t sym_code(float x, float inv, float qmin, float qmax) {
    float r = std::round(x * inv);
    if (r < qmin) r = qmin;
    if (r > qmax) r = qmax;
    if (std::isnan(r)) return 0;
    return static_cast<int32_t>(r);
}

}  // namespace

// Round half away from zero saturating to int32, NaN gives 0; then clamp.
int32_t asym_code_scalar(float x, float inv, float zero_point, int32_t qmin, int32_t qmax) {
    const float t = x * inv;
    const float r = std::round(t + zero_point);
    int32_t c;
    if (std::isnan(r)) {
        c = 0;
    } else if (r >= 2147483648.0f) {
        c = std::numeric_limits<int32_t>::max();
    } else if (r < -2147483648.0f) {
        c = std::numeric_limits<int32_t>::min();
    } else {
        c = static_cast<int32_t>(r);
    }
    if (c > qmax) c = qmax;
    if (c < qmin) c = qmin;
    return c;
}

namespace {

void require_block_walk(size_t scale_count, size_t len, size_t block) {
    require(block >= 1, "block size 0");
    require(scale_count >= block_count(len, block), "fewer scales than blocks");
}

}  // namespace

SymBlocks quantize_sym_packed_scalar(std::span<const float> values, uint32_t bits, size_t block) {
    require(!values.empty(), "quantize_sym_packed: empty input");
    require(block >= 1, "quantize_sym_packed: block size 0");
    require(check_bits(bits).has_value(), "quantize_sym_packed: invalid width");

    const size_t len = values.size();
    const float qmax = code_max(bits);
    const float qmin = code_min(bits);

    SymBlocks out;
    out.scales.reserve(block_count(len, block));
    const bool direct = bits == 4 || bits == 8;
    std::vector<int32_t> codes;
    if (direct) {
        out.packed.bytes.assign(packed_len(len, bits), 0);
        out.packed.count = len;
        out.packed.bits = bits;
    } else {
        codes.reserve(len);
    }

    for (size_t start = 0; start < len;) {
        const size_t n = std::min(block, len - start);
        const std::span<const float> blk = values.subspan(start, n);
        const float absmax = absmax_sym_scalar(blk);
        const float scale = absmax > 0.0f ? absmax / qmax : 1.0f;
        const float inv = 1.0f / scale;
        for (size_t j = 0; j < n; ++j) {
            const int32_t c = sym_code(blk[j], inv, qmin, qmax);
            const size_t i = start + j;
            if (bits == 8) {
                out.packed.bytes[i] = static_cast<uint8_t>(c);
            } else if (bits == 4) {
                out.packed.bytes[i / 2] |= static_cast<uint8_t>((static_cast<uint32_t>(c) & 0xFu) << ((i % 2) * 4));
            } else {
                codes.push_back(c);
            }
        }
        out.scales.push_back(scale);
        start += n;
    }

    if (!direct) out.packed = Packed::from_i32s(codes, bits);
    return out;
}

std::pair<float, float> quantize_asym_block_scalar(std::span<const float> values, uint32_t bits,
                                            std::vector<int32_t>& codes) {
    require(check_bits(bits).has_value(), "quantize_asym_block: invalid width");
    if (values.empty()) return {1.0f, 0.0f};

    const float qmax = code_max(bits);
    const float qmin = code_min(bits);
    const auto [lo, hi] = min_max_neon_scalar(values);

    float scale = 1.0f;
    float zero_point = 0.0f;
    if (!(lo >= hi)) {
        scale = (hi - lo) / (qmax - qmin);
        zero_point = qmin - (lo / scale);
    }
    const float inv = 1.0f / scale;
    const auto iqmin = static_cast<int32_t>(qmin);
    const auto iqmax = static_cast<int32_t>(qmax);
    for (const float x : values) codes.push_back(asym_code_scalar(x, inv, zero_point, iqmin, iqmax));
    return {scale, zero_point};
}

void dequant_sym_into_scalar(std::span<const float> scales, const Packed& packed, size_t block, std::span<float> out) {
    require(out.size() >= packed.count, "dequant_sym_into: output shorter than the code count");
    require_block_walk(scales.size(), packed.count, block);
    require(packed.bytes.size() >= packed_len(packed.count, packed.bits), "dequant_sym_into: short bytes");
    std::vector<int32_t> q(packed.count, 0);
    unpack_scalar(packed.bytes, packed.bits, q, packed.count);
    for (size_t i = 0; i < packed.count; ++i) out[i] = static_cast<float>(q[i]) * scales[i / block];
}

void dequant_asym_into_scalar(std::span<const float> scales, std::span<const float> zero_points, const Packed& packed,
                       size_t block, std::span<float> out) {
    require(out.size() >= packed.count, "dequant_asym_into: output shorter than the code count");
    require_block_walk(scales.size(), packed.count, block);
    require_block_walk(zero_points.size(), packed.count, block);
    require(packed.bytes.size() >= packed_len(packed.count, packed.bits), "dequant_asym_into: short bytes");
    std::vector<int32_t> q(packed.count, 0);
    unpack_scalar(packed.bytes, packed.bits, q, packed.count);
    for (size_t i = 0; i < packed.count; ++i) {
        const size_t b = i / block;
        const float d = static_cast<float>(q[i]) - zero_points[b];
        out[i] = scales[b] * d;
    }
}

float dot_sym_scalar(std::span<const float> scales, const Packed& packed, size_t block, std::span<const float> x) {
    require(x.size() == packed.count, "dot_sym: x length differs from the code count");
    require_block_walk(scales.size(), packed.count, block);
    require(packed.bytes.size() >= packed_len(packed.count, packed.bits), "dot_sym: short bytes");
    std::vector<int32_t> q(packed.count, 0);
    unpack_scalar(packed.bytes, packed.bits, q, packed.count);
    float acc = 0.0f;
    for (size_t i = 0; i < packed.count; ++i) {
        float t = scales[i / block] * static_cast<float>(q[i]);
        t = t * x[i];
        acc = acc + t;
    }
    return acc;
}

float dot_asym_scalar(std::span<const float> scales, std::span<const float> zero_points, const Packed& packed, size_t block,
               std::span<const float> x) {
    require(x.size() == packed.count, "dot_asym: x length differs from the code count");
    require_block_walk(scales.size(), packed.count, block);
    require_block_walk(zero_points.size(), packed.count, block);
    require(packed.bytes.size() >= packed_len(packed.count, packed.bits), "dot_asym: short bytes");
    std::vector<int32_t> q(packed.count, 0);
    unpack_scalar(packed.bytes, packed.bits, q, packed.count);
    float acc = 0.0f;
    for (size_t i = 0; i < packed.count; ++i) {
        const size_t b = i / block;
        float d = static_cast<float>(q[i]) - zero_points[b];
        d = scales[b] * d;
        const float p = x[i] * d;
        acc = acc + p;
    }
    return acc;
}

// The public kernels: the same checks, then the twin chosen for this CPU.

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

std::pair<float, float> quantize_asym_block(std::span<const float> values, uint32_t bits,
                                            std::vector<int32_t>& codes) {
    require(check_bits(bits).has_value(), "quantize_asym_block: invalid width");
    if (values.empty()) return {1.0f, 0.0f};
    const simd::Kernels& k = simd::active();
    float lo, hi;
    k.min_max(values.data(), values.size(), &lo, &hi);
    float scale = 1.0f;
    float zero_point = 0.0f;
    if (!(lo >= hi)) {
        scale = (hi - lo) / (code_max(bits) - code_min(bits));
        zero_point = code_min(bits) - (lo / scale);
    }
    const size_t at = codes.size();
    codes.resize(at + values.size());
    k.asym_codes(values.data(), values.size(), 1.0f / scale, zero_point, bits, codes.data() + at);
    return {scale, zero_point};
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

}  // namespace velmar
