#pragma once
// GGUF's super-block types (the K-quants): 256 values whose sub-blocks of 16
// or 32 carry a small integer scale (and, for three types, an integer offset),
// themselves scaled by one or two half-precision numbers per super-block.
// The byte layout of every type and the value of a code, stated once for the
// scalar statement, every twin and the checks. Builtins only, internal
// linkage, as in shared/rules.hpp.
//
// Element i of a super-block decodes as D * q - M, D and M being the scale and
// offset of its sub-block: D = d * sc and M = dmin * m, two float products of
// the widened halves and the integers (M = 0 for the types without offsets).
#include "shared/rules.hpp"

namespace velmar {

// Outside the anonymous namespace so that entries of other layers can take it;
// an enumeration emits no code.
enum class SuperType : uint32_t { Q2K = 0, Q3K = 1, Q4K = 2, Q5K = 3, Q6K = 4 };

namespace {

constexpr uint32_t kSuperTypes = 5;
constexpr size_t kSuperLen = 256;
constexpr size_t kGroupLen = 16;  // values per (D, M) pair as super_params gives them
constexpr size_t kGroups = kSuperLen / kGroupLen;

struct SuperFormat {
    size_t bytes;         // per super-block
    size_t sub;           // values per sub-block: 16 or 32
    uint32_t code_bits;   // codes 0..2^b-1 with offsets, else -2^(b-1)..2^(b-1)-1
    uint32_t scale_bits;  // sub-block scale integers (and offsets), in the same way
    bool offsets;
};

constexpr SuperFormat kSuperFormats[kSuperTypes] = {
    {84, 16, 2, 4, true},    // Q2_K
    {110, 16, 3, 6, false},  // Q3_K
    {144, 32, 4, 6, true},   // Q4_K
    {176, 32, 5, 6, true},   // Q5_K
    {210, 16, 6, 8, false},  // Q6_K
};

inline const SuperFormat& format_of(SuperType t) { return kSuperFormats[static_cast<uint32_t>(t)]; }

// A range of integers [lo, hi] of a width: unsigned with offsets, else signed.
struct IntRange {
    int32_t lo, hi;
};
inline IntRange int_range(uint32_t bits, bool unsigned_) {
    return unsigned_ ? IntRange{0, (int32_t{1} << bits) - 1} : IntRange{code_min(bits), code_max(bits)};
}
inline IntRange code_range(SuperType t) { return int_range(format_of(t).code_bits, format_of(t).offsets); }
inline IntRange scale_range(SuperType t) { return int_range(format_of(t).scale_bits, format_of(t).offsets); }

inline uint16_t half_at(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline void put_half(uint8_t* p, uint16_t h) {
    p[0] = static_cast<uint8_t>(h);
    p[1] = static_cast<uint8_t>(h >> 8);
}

// ---- codes ----
//
// Q2_K: d, dmin at 80, 82; scales at 0 (low nibble sc, high nibble m); the
//   2-bit code of element 128h + 32k + l is bits 2k of byte 16 + 32h + l.
// Q3_K: d at 108; 3-bit code q - (-4) = low two bits (bits 2k of byte
//   32 + 32h + l, element 128h + 32k + l) plus 4 times bit j of byte l for
//   element 32j + l; twelve scale bytes at 96 (see sub_scale_q3).
// Q4_K, Q5_K: d, dmin at 0, 2; twelve scale bytes at 4; the low four code bits
//   of element 64j + 32k + l are nibble k of byte 16 + 32j + l (48 + ... for
//   Q5_K), whose fifth bit is bit i of byte 16 + l for element 32i + l.
// Q6_K: d at 208; scales int8 at 192; code + 32 = nibble k of byte 64h + l for
//   element 128h + 64k + l, plus 16 times bits 2k..2k+1 of byte 128 + 32h + l
//   for element 128h + 32k + l.

inline uint32_t bits_at(const uint8_t* p, uint32_t shift, uint32_t width) {
    return (static_cast<uint32_t>(*p) >> shift) & ((1u << width) - 1u);
}
inline void put_bits(uint8_t* p, uint32_t shift, uint32_t v) { *p = static_cast<uint8_t>(*p | v << shift); }

// Where a code's bit fields sit: a low field and, for Q3_K, Q5_K and Q6_K, a
// high one, each a byte offset, a shift and a width.
struct CodeFields {
    size_t lo_byte;
    uint32_t lo_shift, lo_bits;
    size_t hi_byte;
    uint32_t hi_shift, hi_bits;
};

inline CodeFields code_fields(SuperType t, size_t i) {
    const size_t h = i / 128, k4 = i % 128 / 32, l = i % 32;
    switch (t) {
        case SuperType::Q2K: return {16 + 32 * h + l, static_cast<uint32_t>(2 * k4), 2, 0, 0, 0};
        case SuperType::Q3K:
            return {32 + 32 * h + l, static_cast<uint32_t>(2 * k4), 2, l, static_cast<uint32_t>(i / 32), 1};
        case SuperType::Q4K: return {16 + 32 * (i / 64) + l, static_cast<uint32_t>(i % 64 / 32 * 4), 4, 0, 0, 0};
        case SuperType::Q5K:
            return {48 + 32 * (i / 64) + l, static_cast<uint32_t>(i % 64 / 32 * 4), 4, 16 + l,
                    static_cast<uint32_t>(i / 32), 1};
        case SuperType::Q6K:
            return {64 * h + i % 64, static_cast<uint32_t>(i % 128 / 64 * 4), 4, 128 + 32 * h + l,
                    static_cast<uint32_t>(2 * k4), 2};
    }
    return {};
}

// The stored code of element i, shifted up by the code range's low end.
inline uint32_t stored_code(SuperType t, const uint8_t* blk, size_t i) {
    const CodeFields f = code_fields(t, i);
    uint32_t v = bits_at(blk + f.lo_byte, f.lo_shift, f.lo_bits);
    if (f.hi_bits) v |= bits_at(blk + f.hi_byte, f.hi_shift, f.hi_bits) << f.lo_bits;
    return v;
}

inline int32_t super_code(SuperType t, const uint8_t* blk, size_t i) {
    return static_cast<int32_t>(stored_code(t, blk, i)) + code_range(t).lo;
}

// Writes the 256 codes q (in range) into the code fields of a zero-filled
// block, a byte at a time.
inline void pack_super(SuperType t, const int32_t* q, uint8_t* b) {
    const int32_t lo = code_range(t).lo;
    const auto v = [&](size_t i) { return static_cast<uint32_t>(q[i] - lo); };
    switch (t) {
        case SuperType::Q2K:
        case SuperType::Q3K:
            for (size_t h = 0; h < 2; ++h)
                for (size_t l = 0; l < 32; ++l) {
                    uint32_t byte = 0;
                    for (size_t k = 0; k < 4; ++k) byte |= (v(128 * h + 32 * k + l) & 3u) << (2 * k);
                    b[(t == SuperType::Q2K ? 16 : 32) + 32 * h + l] = static_cast<uint8_t>(byte);
                }
            if (t == SuperType::Q3K)
                for (size_t l = 0; l < 32; ++l) {
                    uint32_t byte = 0;
                    for (size_t j = 0; j < 8; ++j) byte |= (v(32 * j + l) >> 2) << j;
                    b[l] = static_cast<uint8_t>(byte);
                }
            return;
        case SuperType::Q4K:
        case SuperType::Q5K: {
            uint8_t* lo = b + (t == SuperType::Q4K ? 16 : 48);
            for (size_t j = 0; j < 4; ++j)
                for (size_t l = 0; l < 32; ++l)
                    lo[32 * j + l] = static_cast<uint8_t>((v(64 * j + l) & 15u) | (v(64 * j + 32 + l) & 15u) << 4);
            if (t == SuperType::Q5K)
                for (size_t l = 0; l < 32; ++l) {
                    uint32_t byte = 0;
                    for (size_t i = 0; i < 8; ++i) byte |= (v(32 * i + l) >> 4) << i;
                    b[16 + l] = static_cast<uint8_t>(byte);
                }
            return;
        }
        case SuperType::Q6K:
            for (size_t h = 0; h < 2; ++h) {
                for (size_t l = 0; l < 64; ++l)
                    b[64 * h + l] = static_cast<uint8_t>((v(128 * h + l) & 15u) | (v(128 * h + 64 + l) & 15u) << 4);
                for (size_t l = 0; l < 32; ++l) {
                    uint32_t byte = 0;
                    for (size_t k = 0; k < 4; ++k) byte |= (v(128 * h + 32 * k + l) >> 4) << (2 * k);
                    b[128 + 32 * h + l] = static_cast<uint8_t>(byte);
                }
            }
            return;
    }
}

// ---- sub-block scales and offsets ----

// Q4_K and Q5_K: six-bit scale and offset of sub-block j from the twelve bytes s.
inline uint32_t sub_scale_q45(const uint8_t* s, size_t j, bool offset) {
    const size_t lo = offset ? 4 : 0;
    if (j < 4) return s[lo + j] & 63u;
    const uint32_t low = offset ? s[j + 4] >> 4 : s[j + 4] & 15u;
    return low | (static_cast<uint32_t>(s[lo + j - 4] >> 6) << 4);
}
inline void put_sub_scale_q45(uint8_t* s, size_t j, bool offset, uint32_t v) {
    const size_t lo = offset ? 4 : 0;
    if (j < 4) {
        s[lo + j] = static_cast<uint8_t>(s[lo + j] | v);
        return;
    }
    s[j + 4] = static_cast<uint8_t>(s[j + 4] | (offset ? (v & 15u) << 4 : v & 15u));
    s[lo + j - 4] = static_cast<uint8_t>(s[lo + j - 4] | (v >> 4) << 6);
}

// Q3_K: sc + 32 of sub-block j, six bits: the low four in nibble j / 8 of byte
// j % 8, the high two at bits 2 (j / 4) of byte 8 + j % 4.
inline uint32_t sub_scale_q3(const uint8_t* s, size_t j) {
    return bits_at(s + j % 8, static_cast<uint32_t>(j / 8 * 4), 4) |
           bits_at(s + 8 + j % 4, static_cast<uint32_t>(j / 4 * 2), 2) << 4;
}
inline void put_sub_scale_q3(uint8_t* s, size_t j, uint32_t v) {
    put_bits(s + j % 8, static_cast<uint32_t>(j / 8 * 4), v & 15u);
    put_bits(s + 8 + j % 4, static_cast<uint32_t>(j / 4 * 2), v >> 4);
}

// The stored halves of a super-block: d, and dmin where there are offsets.
struct SuperHalves {
    uint16_t d, dmin;
};

inline SuperHalves halves_at(SuperType t, const uint8_t* blk) {
    switch (t) {
        case SuperType::Q2K: return {half_at(blk + 80), half_at(blk + 82)};
        case SuperType::Q3K: return {half_at(blk + 108), 0};
        case SuperType::Q6K: return {half_at(blk + 208), 0};
        default: return {half_at(blk), half_at(blk + 2)};
    }
}

// The integer scale sc and offset m of sub-block j (m = 0 without offsets).
struct SubInts {
    int32_t sc, m;
};

inline SubInts sub_ints(SuperType t, const uint8_t* blk, size_t j) {
    switch (t) {
        case SuperType::Q2K: return {static_cast<int32_t>(blk[j] & 15u), static_cast<int32_t>(blk[j] >> 4)};
        case SuperType::Q3K: return {static_cast<int32_t>(sub_scale_q3(blk + 96, j)) - 32, 0};
        case SuperType::Q6K: return {static_cast<int8_t>(blk[192 + j]), 0};
        default:
            return {static_cast<int32_t>(sub_scale_q45(blk + 4, j, false)),
                    static_cast<int32_t>(sub_scale_q45(blk + 4, j, true))};
    }
}

// Writes the halves and every sub-block's integers into a zero-filled block.
inline void put_super_params(SuperType t, uint8_t* blk, SuperHalves h, const SubInts* ints) {
    const size_t subs = kSuperLen / format_of(t).sub;
    for (size_t j = 0; j < subs; ++j) {
        const uint32_t sc = static_cast<uint32_t>(ints[j].sc), m = static_cast<uint32_t>(ints[j].m);
        switch (t) {
            case SuperType::Q2K: blk[j] = static_cast<uint8_t>(sc | m << 4); break;
            case SuperType::Q3K: put_sub_scale_q3(blk + 96, j, sc + 32); break;
            case SuperType::Q6K: blk[192 + j] = static_cast<uint8_t>(sc); break;
            default:
                put_sub_scale_q45(blk + 4, j, false, sc);
                put_sub_scale_q45(blk + 4, j, true, m);
        }
    }
    switch (t) {
        case SuperType::Q2K: put_half(blk + 80, h.d), put_half(blk + 82, h.dmin); break;
        case SuperType::Q3K: put_half(blk + 108, h.d); break;
        case SuperType::Q6K: put_half(blk + 208, h.d); break;
        default: put_half(blk, h.d), put_half(blk + 2, h.dmin);
    }
}

// ---- values ----

// D and M from the widened halves and a sub-block's integers.
struct SubScale {
    float d, m;
};
inline SubScale sub_scale(float d, float dmin, SubInts s) {
    return {d * static_cast<float>(s.sc), dmin * static_cast<float>(s.m)};
}

inline float super_value(int32_t q, SubScale s) {
    const float y = s.d * static_cast<float>(q);
    return y - s.m;
}

// ---- sums ----
//
// Sums over a super-block or a row run in 16 lanes: element i goes to lane
// i % 16, each lane adding in element order from +0.0, and the lanes then
// fold in halves (lane k plus lane k + 8, then k + 4, k + 2, k + 1), so every
// vector width adds the same numbers in the same order.
constexpr size_t kLanes = 16;

inline float fold_lanes(float* p) {
    for (size_t k = 0; k < 8; ++k) p[k] = p[k] + p[k + 8];
    for (size_t k = 0; k < 4; ++k) p[k] = p[k] + p[k + 4];
    for (size_t k = 0; k < 2; ++k) p[k] = p[k] + p[k + 2];
    return p[0] + p[1];
}

}  // namespace
}  // namespace velmar
