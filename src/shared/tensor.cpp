#include "shared/tensor.hpp"

namespace velmar {

const char* kind_name(Kind kind) {
    switch (kind) {
        case Kind::Symmetric: return "symmetric";
        case Kind::Asymmetric: return "asymmetric";
        case Kind::Adaptive: return "adaptive";
    }
    return "unknown";
}

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
            return data.size() == adaptive_data_len(block_bits.data(), block, len);
    }
    return false;
}

template <class T>
void Quantized<T>::require_invariants() const {
    require(keeps_invariants(), "quantized tensor violates its invariants");
}

// The members defined here; the decoding members are instantiated in decode.cpp.
template struct Quantized<f32>;
template struct Quantized<f16>;
template struct Quantized<bf16>;

}  // namespace velmar
