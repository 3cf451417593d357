#include "shared/packed.hpp"

#include <limits>

#include "kernels/dispatch.hpp"

namespace velmar {

size_t packed_len(size_t count, uint32_t bits) {
    // count * bits split as (count / 8) * bits + (count % 8) * bits, so the
    // only product that can overflow is checked before it is formed.
    const size_t whole = count / 8;
    const size_t rest_bits = (count % 8) * static_cast<size_t>(bits);
    const size_t rest = rest_bits / 8 + (rest_bits % 8 != 0 ? 1 : 0);
    constexpr size_t max = std::numeric_limits<size_t>::max();
    if (bits != 0 && whole > (max - rest) / bits) return max;
    return whole * bits + rest;
}

namespace {

int32_t sign_extend(uint32_t v, uint32_t bits) {
    const uint32_t mask = bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1u;
    v &= mask;
    if (bits < 32 && (v >> (bits - 1)) & 1u) v |= ~mask;
    return static_cast<int32_t>(v);
}

void check_unpack(std::span<const uint8_t> bytes, uint32_t bits, std::span<int32_t> out, size_t count) {
    require(check_bits(bits).has_value(), "unpack: code width outside 2..=16");
    require(out.size() >= count, "unpack: output shorter than the code count");
    require(bytes.size() >= packed_len(count, bits), "unpack: byte run shorter than the codes need");
}

void unpack_checked(std::span<const uint8_t> bytes, uint32_t bits, std::span<int32_t> out, size_t count) {
    check_unpack(bytes, bits, out, count);
    simd::active().unpack(bytes.data(), bits, count, out.data());
}

}  // namespace

void unpack_scalar(std::span<const uint8_t> bytes, uint32_t bits, std::span<int32_t> out, size_t count) {
    check_unpack(bytes, bits, out, count);
    if (bits == 4) {
        for (size_t i = 0; i < count; ++i) {
            const uint32_t nibble = (bytes[i / 2] >> ((i % 2) * 4)) & 0xFu;
            out[i] = sign_extend(nibble, 4);
        }
    } else if (bits == 8) {
        for (size_t i = 0; i < count; ++i) out[i] = static_cast<int8_t>(bytes[i]);
    } else {
        unpack_general(bytes, out, count, bits);
    }
}

Packed Packed::from_i32s(std::span<const int32_t> codes, uint32_t bits) {
    // Callers validate the width; the three-byte spill below needs at most 16.
    require(bits >= 1 && bits <= 16, "from_i32s: code width outside 1..=16");
    Packed p;
    p.count = codes.size();
    p.bits = bits;
    p.bytes.assign(packed_len(codes.size(), bits), 0);
    const size_t n = codes.size();
    if (bits == 4) {
        for (size_t j = 0; j < n / 2; ++j) {
            const uint32_t lo = static_cast<uint32_t>(codes[2 * j]) & 0xFu;
            const uint32_t hi = static_cast<uint32_t>(codes[2 * j + 1]) << 4;
            p.bytes[j] = static_cast<uint8_t>(lo | hi);
        }
        if (n % 2 != 0) p.bytes[n / 2] = static_cast<uint8_t>(static_cast<uint32_t>(codes[n - 1]) & 0xFu);
    } else if (bits == 8) {
        for (size_t i = 0; i < n; ++i) p.bytes[i] = static_cast<uint8_t>(codes[i]);
    } else {
        const uint32_t mask = (1u << bits) - 1u;
        for (size_t i = 0; i < n; ++i) {
            const size_t o = i * bits;
            const size_t k = o / 8;
            const uint32_t t = static_cast<uint32_t>(o % 8);
            const uint32_t v = (static_cast<uint32_t>(codes[i]) & mask) << t;
            p.bytes[k] |= static_cast<uint8_t>(v);
            if (t + bits > 8) p.bytes[k + 1] |= static_cast<uint8_t>(v >> 8);
            if (t + bits > 16) p.bytes[k + 2] |= static_cast<uint8_t>(v >> 16);
        }
    }
    return p;
}

void Packed::unpack_into(std::span<int32_t> out) const { unpack_checked(bytes, bits, out, count); }

void Packed::unpack_slice(std::span<const uint8_t> bytes, uint32_t bits, std::span<int32_t> out, size_t count) {
    unpack_checked(bytes, bits, out, count);
}

void unpack_general(std::span<const uint8_t> bytes, std::span<int32_t> out, size_t count, uint32_t bits) {
    require(bits >= 1 && bits <= 16, "unpack: code width outside 1..=16");
    require(out.size() >= count, "unpack: output shorter than the code count");
    require(bytes.size() >= packed_len(count, bits), "unpack: byte run shorter than the codes need");
    for (size_t i = 0; i < count; ++i) {
        const size_t o = i * bits;
        const size_t k = o / 8;
        const uint32_t t = static_cast<uint32_t>(o % 8);
        uint32_t v = static_cast<uint32_t>(bytes[k]) >> t;
        if (t + bits > 8) v |= static_cast<uint32_t>(bytes[k + 1]) << (8 - t);
        if (t + bits > 16) v |= static_cast<uint32_t>(bytes[k + 2]) << (16 - t);
        out[i] = sign_extend(v, bits);
    }
}

}  // namespace velmar
