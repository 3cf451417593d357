#pragma once
// Byte-permute tables for a unit of 32 codes of width w (4w stream bytes), the
// codes in the 32-bit lanes of two 512-bit registers. Internal linkage, as in
// shared/rules.hpp.
//
// Packing: each code is shifted left by its start bit within its first stream
// byte, so that its lane's bytes 0..2 are the stream bytes it touches. The
// codes touching one stream byte are neighbours, at most `classes` of them,
// so numbering codes modulo `classes` gives each a different class: one
// two-source byte permute per class takes every stream byte from its code of
// that class, and a per-bit choice keeps the bits each code owns (never the
// sign bits above a code).
//
// Unpacking: lane j takes the four stream bytes from the one holding code j's
// first bit; a variable shift moves the code's top bit to bit 31.
#include <cstdint>

namespace velmar {
namespace {

struct PackTable {
    alignas(64) int32_t shl[32];
    alignas(64) uint8_t from[4][64];  // stream byte k from its code of class c: a byte of the two shifted registers
    alignas(64) uint8_t own[4][64];   // the bits of stream byte k its code of class c owns
    uint32_t classes;
    bool ok;  // no stream byte has two codes of one class
};

struct UnpackTable {
    alignas(64) uint8_t gather[2][64];
    alignas(64) int32_t up[32];
};

// The most codes of width w one stream byte holds.
constexpr uint32_t classes_of(uint32_t w) {
    uint32_t most = 0;
    for (uint32_t k = 0; k < 4 * w; ++k) {
        uint32_t n = 0;
        for (uint32_t j = 0; j < 32; ++j) n += j * w < 8 * k + 8 && (j + 1) * w > 8 * k ? 1 : 0;
        most = n > most ? n : most;
    }
    return most;
}

constexpr PackTable pack_table(uint32_t w) {
    PackTable t{};
    t.classes = classes_of(w);
    t.ok = true;
    for (uint32_t j = 0; j < 32; ++j) t.shl[j] = static_cast<int32_t>(j * w % 8);
    for (uint32_t k = 0; k < 4 * w; ++k) {
        bool seen[4] = {};
        for (uint32_t j = 8 * k / w; j < 32 && j * w < 8 * k + 8; ++j) {
            const uint32_t c = j % t.classes;
            t.ok = t.ok && !seen[c];
            seen[c] = true;
            t.from[c][k] = static_cast<uint8_t>(4 * j + k - j * w / 8);
            const uint32_t lo = j * w > 8 * k ? j * w - 8 * k : 0;
            const uint32_t hi = (j + 1) * w - 8 * k < 8 ? (j + 1) * w - 8 * k : 8;
            for (uint32_t b = lo; b < hi; ++b) t.own[c][k] = static_cast<uint8_t>(t.own[c][k] | 1u << b);
        }
    }
    return t;
}

constexpr UnpackTable unpack_table(uint32_t w) {
    UnpackTable t{};
    for (uint32_t j = 0; j < 32; ++j) {
        // Past the 64 loaded bytes (16-bit codes only) the index wraps: those
        // bytes lie above the code and are shifted out.
        for (uint32_t i = 0; i < 4; ++i) t.gather[j / 16][4 * (j % 16) + i] = static_cast<uint8_t>((j * w / 8 + i) % 64);
        t.up[j] = static_cast<int32_t>(32 - w - j * w % 8);
    }
    return t;
}

// Indexed by width, 9 to 16 (narrower codes are packed otherwise).
struct PackTables {
    PackTable at[17];
    constexpr PackTables() : at{} {
        for (uint32_t w = 9; w <= 16; ++w) at[w] = pack_table(w);
    }
};
constexpr PackTables kPacking;

struct UnpackTables {
    UnpackTable at[17];
    constexpr UnpackTables() : at{} {
        for (uint32_t w = 2; w <= 16; ++w) at[w] = unpack_table(w);
    }
};
constexpr UnpackTables kUnpacking;

constexpr bool tables_ok() {
    for (uint32_t w = 9; w <= 16; ++w)
        if (!kPacking.at[w].ok || kPacking.at[w].classes > 2) return false;
    return true;
}
static_assert(tables_ok(), "a stream byte with two codes of one class");

}  // namespace
}  // namespace velmar
