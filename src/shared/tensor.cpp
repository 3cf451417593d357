#include "shared/tensor.hpp"

#include <algorithm>
#include <limits>

#include "kernels/memory.hpp"
#include "shared/decode.hpp"

namespace velmar {

const char* kind_name(Kind kind) {
    switch (kind) {
        case Kind::Symmetric: return "symmetric";
        case Kind::Asymmetric: return "asymmetric";
        case Kind::Adaptive: return "adaptive";
    }
    return "unknown";
}

namespace {

// Exact byte length of an adaptive record's data, or nullopt-like SIZE_MAX on
// overflow (no buffer can be that long). Widths are already known to be 2..=8.
size_t adaptive_data_len(std::span<const uint32_t> widths, size_t block, size_t len) {
    constexpr size_t max = std::numeric_limits<size_t>::max();
    size_t total = 0;
    size_t off = 0;
    for (const uint32_t w : widths) {
        const size_t n = std::min(block, len - off);
        const size_t m = packed_len(n, w);
        if (m > max - total) return max;
        total += m;
        off += n;
    }
    return total;
}

}  // namespace

template <class T>
bool Quantized<T>::keeps_invariants() const {
    if (block < 1) return false;
    const size_t nb = block_count(len, block);
    if (scales.size() != nb) return false;
    switch (kind) {
        case Kind::Symmetric:
        case Kind::Asymmetric:
            if (kind == Kind::Symmetric ? !zero_points.empty() : zero_points.size() != nb) return false;
            if (packed.count != len || !check_bits(packed.bits)) return false;
            return packed.bytes.size() == packed_len(len, packed.bits);
        case Kind::Adaptive:
            if (zero_points.size() != nb || block_bits.size() != nb) return false;
            for (const uint32_t w : block_bits)
                if (w < 2 || w > 8) return false;
            return data.size() == adaptive_data_len(block_bits, block, len);
    }
    return false;
}

template <class T>
void Quantized<T>::require_invariants() const {
    require(keeps_invariants(), "quantized tensor violates its invariants");
}

template <class T>
std::vector<float> Quantized<T>::dequantize() const {
    if (len == 0) return {};
    // Checked before allocating: a broken len must not size the buffer.
    require_invariants();
    std::vector<float> out(len, 0.0f);
    const Status st = dequantize_into(out);
    require(st.has_value(), "dequantize: length mismatch on its own buffer");
    return out;
}

template <class T>
Status Quantized<T>::dequantize_into(std::span<float> out) const {
    if (out.size() != len) return std::unexpected(CoreError::length_mismatch(len, out.size()));
    if (len == 0) return {};
    require_invariants();
    switch (kind) {
        case Kind::Symmetric: dequant_sym<T>(scales, packed, block, out); break;
        case Kind::Asymmetric: dequant_asym<T>(scales, zero_points, packed, block, out); break;
        case Kind::Adaptive: dequant_adaptive<T>(scales, zero_points, data, block_bits, block, len, out); break;
    }
    return {};
}

template <class T>
std::vector<int32_t> Quantized<T>::unpacked_codes() const {
    if (len == 0) return {};
    require_invariants();
    std::vector<int32_t> out;
    assign_fresh(out, len, 0);
    if (kind != Kind::Adaptive) {
        packed.unpack_into(out);
        return out;
    }
    size_t o = 0;
    size_t s = 0;
    for (const uint32_t w : block_bits) {
        require(w >= 2 && w <= 8, "unpacked_codes: width outside 2..=8");
        const size_t n = std::min(block, len - s);
        const size_t m = packed_len(n, w);
        require(m <= data.size() - o, "unpacked_codes: data shorter than the blocks need");
        Packed::unpack_slice(std::span<const uint8_t>(data).subspan(o, m), w, std::span<int32_t>(out).subspan(s, n),
                             n);
        o += m;
        s += n;
    }
    return out;
}

template <class T>
Result<float> dot(const Quantized<T>& q, std::span<const float> x) {
    if (x.size() != q.len) return std::unexpected(CoreError::length_mismatch(q.len, x.size()));
    if (q.len == 0) return 0.0f;
    return dot_of(q, x);
}

template struct Quantized<f32>;
template struct Quantized<f16>;
template struct Quantized<bf16>;
template Result<float> dot<f32>(const Quantized<f32>&, std::span<const float>);
template Result<float> dot<f16>(const Quantized<f16>&, std::span<const float>);
template Result<float> dot<bf16>(const Quantized<bf16>&, std::span<const float>);

}  // namespace velmar
