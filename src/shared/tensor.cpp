#include "shared/tensor.hpp"

#include <cmath>

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

// What every reader needs of a scheme: the width of a fixed-width kind, then
// the block.
Status check_layout(const Scheme& s) {
    if (s.kind != Kind::Adaptive)
        if (const Status st = check_bits(s.bits); !st) return st;
    if (s.block == 0) return std::unexpected(CoreError::invalid_block(0));
    return {};
}

Fault count_fault(const char* part, size_t expected, size_t got) {
    return {std::nullopt, std::string(part) + ": expected " + std::to_string(expected) + ", got " + std::to_string(got)};
}

}  // namespace

Status check_scheme(const Scheme& s) {
    if (const Status st = check_layout(s); !st) return st;
    if (s.kind == Kind::Adaptive && !(s.tolerance > 0.0f && std::isfinite(s.tolerance)))
        return std::unexpected(CoreError::invalid_tolerance());
    return {};
}

template <class T>
std::optional<Fault> fault_of(const Rows<T>& v) {
    const Scheme& s = v.scheme;
    if (s.kind != Kind::Symmetric && s.kind != Kind::Asymmetric && s.kind != Kind::Adaptive)
        return Fault{std::nullopt, "kind: unknown"};
    if (const Status st = check_layout(s); !st) return Fault{st.error(), {}};
    const bool adaptive = s.kind == Kind::Adaptive;
    const size_t nb = block_count(v.cols, s.block);
    size_t blocks = 0;
    if (__builtin_mul_overflow(v.rows, nb, &blocks)) return Fault{std::nullopt, "shape: the block count overflows"};
    if (v.scales.size() != blocks) return count_fault("scales", blocks, v.scales.size());
    const size_t zero_points = s.kind == Kind::Symmetric ? 0 : blocks;
    if (v.zero_points.size() != zero_points) return count_fault("zero_points", zero_points, v.zero_points.size());
    if (v.widths.size() != (adaptive ? blocks : 0)) return count_fault("widths", adaptive ? blocks : 0, v.widths.size());
    size_t bytes = 0;
    if (!adaptive) {
        const size_t per_row = packed_len(v.cols, s.bits);
        if (per_row == kSizeMax || __builtin_mul_overflow(v.rows, per_row, &bytes))
            return Fault{std::nullopt, "shape: the code byte count overflows"};
    } else {
        // One pass without an exit or a compare vectorises on any x86-64 (w is
        // 2..8 when neither w - 2 nor w - 1 reaches 8); the first bad width is then named.
        uint32_t bad = 0;
        for (const uint32_t w : v.widths) bad |= (w - 2) >> 3 | (w - 1) >> 3;
        for (size_t i = 0; bad; ++i)
            if (const uint32_t w = v.widths[i]; w < 2 || w > 8)
                return Fault{std::nullopt, "widths: expected 2 to 8, got " + std::to_string(w)};
        for (size_t i = 0; nb != 0 && i < v.rows && bytes != kSizeMax; ++i)
            if (__builtin_add_overflow(bytes, row_bytes(s, v.cols, v.widths.data() + i * nb), &bytes)) bytes = kSizeMax;
    }
    if (v.codes.size() != bytes) return count_fault("codes", bytes, v.codes.size());
    return std::nullopt;
}

template <class T>
void require_whole(const Rows<T>& v) {
    if (const std::optional<Fault> f = fault_of(v))
        internal_error(f->scheme ? "quantized parts: the scheme is invalid" : ("quantized parts: " + f->what).c_str());
}

template <class T>
Rows<T> Quantized<T>::view() const {
    const bool adaptive = kind == Kind::Adaptive;
    return {{kind, adaptive ? 0 : packed.bits, block}, 1, len, code_bytes(), scales, zero_points,
            adaptive ? std::span<const uint32_t>(block_bits) : std::span<const uint32_t>()};
}

template <class T>
bool Quantized<T>::keeps_invariants() const {
    return (kind == Kind::Adaptive || packed.count == len) && !fault_of(view());
}

template <class T>
void Quantized<T>::require_invariants() const {
    require(keeps_invariants(), "quantized tensor violates its invariants");
}

template <class T>
Quantized<T> record_of(Parts<T>&& parts, const Scheme& scheme, size_t len) {
    Quantized<T> q;
    q.kind = scheme.kind;
    q.block = scheme.block;
    q.len = len;
    q.scales = std::move(parts.scales);
    q.zero_points = std::move(parts.zero_points);
    if (scheme.kind == Kind::Adaptive) {
        q.data = std::move(parts.codes);
        q.block_bits = std::move(parts.widths);
    } else {
        q.packed = {std::move(parts.codes), len, scheme.bits};
    }
    return q;
}

#define VELMAR_TENSOR_INSTANTIATE(T)                                              \
    template struct Quantized<T>;                                                 \
    template std::optional<Fault> fault_of<T>(const Rows<T>&);                    \
    template void require_whole<T>(const Rows<T>&);                               \
    template Quantized<T> record_of<T>(Parts<T>&&, const Scheme&, size_t);

// The decoding members are instantiated in decode.cpp.
VELMAR_TENSOR_INSTANTIATE(f32)
VELMAR_TENSOR_INSTANTIATE(f16)
VELMAR_TENSOR_INSTANTIATE(bf16)

}  // namespace velmar
