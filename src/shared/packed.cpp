#include "shared/packed.hpp"

namespace velmar {

Packed Packed::from_i32s(std::span<const int32_t> codes, uint32_t bits) {
    // Callers validate the width; a code spills into at most three bytes up to 16.
    require(bits >= 1 && bits <= 16, "from_i32s: code width outside 1..=16");
    Packed p{Bytes(packed_len(codes.size(), bits), 0), codes.size(), bits};
    for (size_t i = 0; i < codes.size(); ++i) put_code(p.bytes.data(), i, bits, codes[i]);
    return p;
}

}  // namespace velmar
