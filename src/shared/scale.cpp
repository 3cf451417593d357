#include "shared/scale.hpp"

#include "shared/rules.hpp"

namespace velmar {

uint16_t f16_bits_from_f32(float x) {
    const uint32_t u = std::bit_cast<uint32_t>(x);
    const uint32_t sign = (u >> 16) & 0x8000u;
    const uint32_t exp = (u >> 23) & 0xFFu;
    const uint32_t man = u & 0x007FFFFFu;

    if (exp == 0xFFu) {
        // Infinity keeps its sign; a NaN keeps its top payload bits and is quieted.
        if (man == 0) return static_cast<uint16_t>(sign | 0x7C00u);
        return static_cast<uint16_t>(sign | 0x7C00u | 0x0200u | (man >> 13));
    }

    const int half_exp = static_cast<int>(exp) - 127 + 15;
    if (half_exp >= 0x1F) return static_cast<uint16_t>(sign | 0x7C00u);

    if (half_exp <= 0) {
        // Below the normal range: a binary16 subnormal or a signed zero.
        const int shift = 14 - half_exp;  // 14..
        if (shift > 24) return static_cast<uint16_t>(sign);
        const uint32_t full = man | 0x00800000u;
        uint32_t half_man = full >> shift;
        const uint32_t round_bit = 1u << (shift - 1);
        const bool sticky = (full & (round_bit - 1u)) != 0;
        const bool odd = (half_man & 1u) != 0;
        if ((full & round_bit) != 0 && (sticky || odd)) half_man += 1;
        return static_cast<uint16_t>(sign | half_man);
    }

    uint32_t h = (static_cast<uint32_t>(half_exp) << 10) | (man >> 13);
    const uint32_t round_bit = 0x1000u;
    const bool sticky = (man & (round_bit - 1u)) != 0;
    const bool odd = (h & 1u) != 0;
    // A carry out of the mantissa correctly bumps the exponent (up to infinity).
    if ((man & round_bit) != 0 && (sticky || odd)) h += 1;
    return static_cast<uint16_t>(sign | h);
}

float f32_from_f16_bits(uint16_t h) {
    const uint32_t sign = (static_cast<uint32_t>(h) & 0x8000u) << 16;
    const uint32_t exp = (h >> 10) & 0x1Fu;
    const uint32_t man = h & 0x03FFu;

    if (exp == 0x1Fu) {
        if (man == 0) return std::bit_cast<float>(sign | 0x7F800000u);
        return std::bit_cast<float>(sign | 0x7FC00000u | (man << 13));
    }
    if (exp == 0) {
        if (man == 0) return std::bit_cast<float>(sign);
        // Subnormal: normalise into a binary32 normal number.
        int e = -1;
        uint32_t m = man;
        do {
            m <<= 1;
            ++e;
        } while ((m & 0x0400u) == 0);
        const uint32_t exp32 = static_cast<uint32_t>(127 - 15 - e);
        return std::bit_cast<float>(sign | (exp32 << 23) | ((m & 0x03FFu) << 13));
    }
    return std::bit_cast<float>(sign | ((exp - 15 + 127) << 23) | (man << 13));
}

float f32_from_bf16_bits(uint16_t h) { return widen_bf16(h); }

}  // namespace velmar
