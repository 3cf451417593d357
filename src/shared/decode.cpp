#include "shared/decode.hpp"

#include <algorithm>

#include <type_traits>

#include "kernels/block.hpp"
#include "kernels/dispatch.hpp"
#include "kernels/i4.hpp"
#include "kernels/i8.hpp"

namespace velmar {

static_assert(sizeof(f16) == sizeof(uint16_t));

template <class T>
std::vector<float> widen(std::span<const T> values) {
    if constexpr (std::is_same_v<T, f32>) {
        return std::vector<float>(values.begin(), values.end());
    } else if constexpr (std::is_same_v<T, f16>) {
        std::vector<float> out(values.size());
        simd::active().widen_f16(reinterpret_cast<const uint16_t*>(values.data()), values.size(), out.data());
        return out;
    } else {
        std::vector<float> out;
        out.reserve(values.size());
        for (const T v : values) out.push_back(to_f32(v));
        return out;
    }
}

template <class T>
std::vector<T> narrow(std::vector<float>&& values) {
    if constexpr (std::is_same_v<T, f32>) {
        return std::move(values);
    } else if constexpr (std::is_same_v<T, f16>) {
        std::vector<T> out(values.size());
        simd::active().narrow_f16(values.data(), values.size(), reinterpret_cast<uint16_t*>(out.data()));
        return out;
    } else {
        std::vector<T> out;
        out.reserve(values.size());
        for (const float v : values) out.push_back(from_f32<T>(v));
        return out;
    }
}

template <class T>
void dequant_sym(std::span<const T> scales, const Packed& packed, size_t block, std::span<float> out) {
    require(out.size() >= packed.count, "dequant_sym: output shorter than the code count");
    const std::vector<float> s = widen(scales);
    const std::span<float> dst = out.first(packed.count);
    switch (packed.bits) {
        case 4: dequant_i4_blocks(s, packed.bytes, block, dst); break;
        case 8: dequant_i8_blocks(s, packed.bytes, block, dst); break;
        default: dequant_sym_into(s, packed, block, dst); break;
    }
}

template <class T>
void dequant_asym(std::span<const T> scales, std::span<const T> zero_points, const Packed& packed, size_t block,
                  std::span<float> out) {
    const std::vector<float> s = widen(scales);
    const std::vector<float> z = widen(zero_points);
    dequant_asym_into(s, z, packed, block, out);
}

template <class T>
void dequant_adaptive(std::span<const T> scales, std::span<const T> zero_points, std::span<const uint8_t> data,
                      std::span<const uint32_t> block_bits, size_t block, size_t len, std::span<float> out) {
    if (block_bits.empty()) return;
    require(block >= 1, "dequant_adaptive: block size 0");
    require(out.size() >= len, "dequant_adaptive: output shorter than len");
    require(block_bits.size() == block_count(len, block), "dequant_adaptive: width count differs from blocks");
    require(scales.size() >= block_bits.size() && zero_points.size() >= block_bits.size(),
            "dequant_adaptive: fewer scales or zero points than blocks");
    // Every block's run is checked before anything is written.
    size_t pos = 0;
    size_t off = 0;
    for (const uint32_t w : block_bits) {
        require(w >= 2 && w <= 8, "dequant_adaptive: width outside 2..=8");
        const size_t n = std::min(block, len - off);
        const size_t nbytes = packed_len(n, w);
        require(nbytes <= data.size() - pos, "dequant_adaptive: data shorter than the blocks need");
        pos += nbytes;
        off += n;
    }
    const std::vector<float> s = widen(scales.first(block_bits.size()));
    const std::vector<float> z = widen(zero_points.first(block_bits.size()));
    simd::active().dequant_asym(s.data(), z.data(), data.data(), 0, block_bits.data(), block, len, out.data());
}

template <class T>
float dot_of(const Quantized<T>& q, std::span<const float> x) {
    require(x.size() == q.len, "dot_of: x length differs from len");
    q.require_invariants();
    switch (q.kind) {
        case Kind::Symmetric: {
            const std::vector<float> s = widen(std::span<const T>(q.scales));
            if (q.packed.bits == 8) return dot_i8_blocks(s, q.packed.bytes, q.block, x);
            return dot_sym(s, q.packed, q.block, x);
        }
        case Kind::Asymmetric: {
            const std::vector<float> s = widen(std::span<const T>(q.scales));
            const std::vector<float> z = widen(std::span<const T>(q.zero_points));
            return dot_asym(s, z, q.packed, q.block, x);
        }
        case Kind::Adaptive: {
            if (q.len == 0) return -0.0f;
            // Decoded block by block into the running sum (from -0.0, the exact
            // additive identity), never expanded whole.
            const std::vector<float> s = widen(std::span<const T>(q.scales));
            const std::vector<float> z = widen(std::span<const T>(q.zero_points));
            return simd::active().dot_adaptive(s.data(), z.data(), q.data.data(), q.block_bits.data(), q.block,
                                               x.data(), q.len);
        }
    }
    internal_error("dot_of: unknown kind");
}

#define VELMAR_DECODE_INSTANTIATE(T)                                                                             \
    template std::vector<float> widen<T>(std::span<const T>);                                                    \
    template std::vector<T> narrow<T>(std::vector<float>&&);                                                      \
    template void dequant_sym<T>(std::span<const T>, const Packed&, size_t, std::span<float>);                   \
    template void dequant_asym<T>(std::span<const T>, std::span<const T>, const Packed&, size_t, std::span<float>); \
    template void dequant_adaptive<T>(std::span<const T>, std::span<const T>, std::span<const uint8_t>,          \
                                      std::span<const uint32_t>, size_t, size_t, std::span<float>);             \
    template float dot_of<T>(const Quantized<T>&, std::span<const float>);

VELMAR_DECODE_INSTANTIATE(f32)
VELMAR_DECODE_INSTANTIATE(f16)
VELMAR_DECODE_INSTANTIATE(bf16)

}  // namespace velmar
