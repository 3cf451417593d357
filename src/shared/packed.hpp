#pragma once
// Signed codes of one width in one little-endian bit stream, LSB first.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "shared/error.hpp"

namespace velmar {

// Widths 2..=16; one wrapping comparison, so 0 and 1 fail like 17 and up.
inline Status check_bits(uint32_t bits) {
    if (bits - 2u < 15u) return {};
    return std::unexpected(CoreError::invalid_bits(bits));
}

// ceil(count * bits / 8) without overflow; nullopt-free: returns SIZE_MAX when
// the true value does not fit, which no real buffer can match.
size_t packed_len(size_t count, uint32_t bits);

struct Packed {
    std::vector<uint8_t> bytes;
    size_t count = 0;
    uint32_t bits = 0;

    static Packed from_i32s(std::span<const int32_t> codes, uint32_t bits);
    // Writes count codes into out[0..count); out.size() >= count and bytes
    // long enough are checked (InternalError otherwise).
    void unpack_into(std::span<int32_t> out) const;
    static void unpack_slice(std::span<const uint8_t> bytes, uint32_t bits, std::span<int32_t> out, size_t count);
    friend bool operator==(const Packed&, const Packed&) = default;
};

// The width-independent loop behind every width other than 4 and 8.
void unpack_general(std::span<const uint8_t> bytes, std::span<int32_t> out, size_t count, uint32_t bits);

// The scalar statement of unpacking (the reference of the vector twins); the
// same checks as unpack_slice.
void unpack_scalar(std::span<const uint8_t> bytes, uint32_t bits, std::span<int32_t> out, size_t count);

}  // namespace velmar
