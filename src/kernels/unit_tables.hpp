#pragma once
// Where each of eight codes of a w-bit group (exactly w bytes) lies, for the
// byte-shuffle decoders of the vector twins: code j starts at stream bit j * w,
// in byte k = j * w / 8 at bit t = j * w % 8. ctrl gives, for the four bytes of
// 32-bit lane j, the group bytes k..k+3 (0x80, a zero byte, past the group's
// 16); shl moves the code's top bit to bit 31, so that an arithmetic shift
// right by 32 - w sign-extends it. Internal linkage, as in shared/rules.hpp.
#include <cstdint>

namespace velmar {
namespace {

struct UnitTable {
    alignas(32) uint8_t ctrl[32];
    alignas(32) int32_t shl[8];
};

constexpr UnitTable unit_table(uint32_t w) {
    UnitTable t{};
    for (uint32_t j = 0; j < 8; ++j) {
        const uint32_t k = j * w / 8;
        for (uint32_t i = 0; i < 4; ++i) t.ctrl[4 * j + i] = static_cast<uint8_t>(k + i < 16 ? k + i : 0x80);
        t.shl[j] = static_cast<int32_t>(32 - w - j * w % 8);
    }
    return t;
}

// Indexed by width; 0 and 1 are never used.
constexpr UnitTable kUnitTables[17] = {
    {},           {},           unit_table(2),  unit_table(3),  unit_table(4),  unit_table(5),
    unit_table(6), unit_table(7), unit_table(8), unit_table(9), unit_table(10), unit_table(11),
    unit_table(12), unit_table(13), unit_table(14), unit_table(15), unit_table(16),
};

// For the block packers: per width 2..=8, the byte shuffle that closes up two
// groups of w bytes at the bottoms of a 128-bit lane's halves, in each lane,
// zeros after them.
struct CloseUp {
    alignas(32) uint8_t at[9][32];
    constexpr CloseUp() : at{} {
        for (uint32_t w = 2; w <= 8; ++w)
            for (uint32_t i = 0; i < 32; ++i) {
                const uint32_t k = i % 16;
                at[w][i] = static_cast<uint8_t>(k < w ? k : k < 2 * w ? 8 + k - w : 0x80);
            }
    }
};
constexpr CloseUp kCloseUp;

}  // namespace
}  // namespace velmar
