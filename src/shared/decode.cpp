#include "shared/decode.hpp"

#include <cstring>
#include <type_traits>

#include "kernels/block.hpp"
#include "kernels/memory.hpp"

namespace velmar {

static_assert(sizeof(f16) == sizeof(uint16_t));

template <class T>
void widen_into(std::span<const T> values, std::span<float> out) {
    require(out.size() == values.size(), "widen_into: lengths differ");
    if constexpr (std::is_same_v<T, f32>) {
        if (!values.empty()) std::memcpy(out.data(), values.data(), values.size_bytes());
    } else if constexpr (std::is_same_v<T, f16>) {
        widen_f16({reinterpret_cast<const uint16_t*>(values.data()), values.size()}, out);
    } else {
        for (size_t i = 0; i < values.size(); ++i) out[i] = to_f32(values[i]);
    }
}

template <class T>
std::vector<float> widen(std::span<const T> values) {
    if constexpr (std::is_same_v<T, f32>) {
        return std::vector<float>(values.begin(), values.end());
    } else {
        std::vector<float> out(values.size());
        widen_into(values, std::span<float>(out));
        return out;
    }
}

template <class T>
std::vector<T> narrow(std::vector<float>&& values) {
    if constexpr (std::is_same_v<T, f32>) {
        return std::move(values);
    } else if constexpr (std::is_same_v<T, f16>) {
        std::vector<T> out(values.size());
        narrow_f16(values, {reinterpret_cast<uint16_t*>(out.data()), out.size()});
        return out;
    } else {
        std::vector<T> out;
        out.reserve(values.size());
        for (const float v : values) out.push_back(from_f32<T>(v));
        return out;
    }
}

template <class T>
Quantized<T> make_record(Kind kind, size_t block, size_t len, std::vector<float>&& scales,
                         std::vector<float>&& zero_points) {
    Quantized<T> q;
    q.kind = kind;
    q.block = block;
    q.len = len;
    q.scales = narrow<T>(std::move(scales));
    q.zero_points = narrow<T>(std::move(zero_points));
    return q;
}

// The per-kind decoders: the parts as one row, decoded by the checked layer.
template <class T>
void dequant_sym(std::span<const T> scales, const Packed& packed, size_t block, std::span<float> out) {
    require(out.size() >= packed.count, "dequant_sym: output shorter than the code count");
    decode_rows(Rows<T>{{Kind::Symmetric, packed.bits, block}, 1, packed.count, packed.bytes, scales, {}, {}},
                out.first(packed.count));
}

template <class T>
void dequant_asym(std::span<const T> scales, std::span<const T> zero_points, const Packed& packed, size_t block,
                  std::span<float> out) {
    require(out.size() >= packed.count, "dequant_asym: output shorter than the code count");
    decode_rows(Rows<T>{{Kind::Asymmetric, packed.bits, block}, 1, packed.count, packed.bytes, scales, zero_points, {}},
                out.first(packed.count));
}

template <class T>
void dequant_adaptive(std::span<const T> scales, std::span<const T> zero_points, std::span<const uint8_t> data,
                      std::span<const uint32_t> block_bits, size_t block, size_t len, std::span<float> out) {
    require(out.size() >= len, "dequant_adaptive: output shorter than len");
    decode_rows(Rows<T>{{Kind::Adaptive, 0, block}, 1, len, data, scales, zero_points, block_bits}, out.first(len));
}

template <class T>
float dot_of(const Quantized<T>& q, std::span<const float> x) {
    require(x.size() == q.len, "dot_of: x length differs from len");
    q.require_invariants();
    float r = 0.0f;
    dot_rows(q.view(), x, 1, {&r, 1}, Check::Done);
    return r;
}

template <class T>
std::vector<float> Quantized<T>::dequantize() const {
    if (len == 0) return {};
    // Checked before allocating: a broken len must not size the buffer.
    require_invariants();
    std::vector<float> out;
    assign_fresh(out, len, 0.0f);
    decode_rows(view(), out);
    return out;
}

template <class T>
Status Quantized<T>::dequantize_into(std::span<float> out) const {
    if (out.size() != len) return std::unexpected(CoreError::length_mismatch(len, out.size()));
    if (len == 0) return {};
    require_invariants();
    decode_rows(view(), out);
    return {};
}

template <class T>
void Quantized<T>::unpack_codes_into(std::span<int32_t> out) const {
    require(out.size() == len, "unpack_codes_into: output length differs from len");
    if (len == 0) return;
    require_invariants();
    unpack_rows(view(), out);
}

template <class T>
std::vector<int32_t> Quantized<T>::unpacked_codes() const {
    if (len == 0) return {};
    require_invariants();
    std::vector<int32_t> out;
    assign_fresh(out, len, 0);
    unpack_codes_into(out);
    return out;
}

template <class T>
Result<float> dot(const Quantized<T>& q, std::span<const float> x) {
    if (x.size() != q.len) return std::unexpected(CoreError::length_mismatch(q.len, x.size()));
    if (q.len == 0) return 0.0f;
    return dot_of(q, x);
}

#define VELMAR_DECODE_INSTANTIATE(T)                                                                             \
    template std::vector<float> widen<T>(std::span<const T>);                                                    \
    template void widen_into<T>(std::span<const T>, std::span<float>);                                          \
    template std::vector<T> narrow<T>(std::vector<float>&&);                                                      \
    template Quantized<T> make_record<T>(Kind, size_t, size_t, std::vector<float>&&, std::vector<float>&&);       \
    template void dequant_sym<T>(std::span<const T>, const Packed&, size_t, std::span<float>);                   \
    template void dequant_asym<T>(std::span<const T>, std::span<const T>, const Packed&, size_t, std::span<float>); \
    template void dequant_adaptive<T>(std::span<const T>, std::span<const T>, std::span<const uint8_t>,          \
                                      std::span<const uint32_t>, size_t, size_t, std::span<float>);             \
    template float dot_of<T>(const Quantized<T>&, std::span<const float>);                                       \
    template std::vector<float> Quantized<T>::dequantize() const;                                                \
    template Status Quantized<T>::dequantize_into(std::span<float>) const;                                       \
    template std::vector<int32_t> Quantized<T>::unpacked_codes() const;                                          \
    template void Quantized<T>::unpack_codes_into(std::span<int32_t>) const;                                     \
    template Result<float> dot<T>(const Quantized<T>&, std::span<const float>);

VELMAR_DECODE_INSTANTIATE(f32)
VELMAR_DECODE_INSTANTIATE(f16)
VELMAR_DECODE_INSTANTIATE(bf16)

}  // namespace velmar
