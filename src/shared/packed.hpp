#pragma once
// Signed codes of one width in one little-endian bit stream, LSB first (the
// layout of code_at and put_code in shared/rules.hpp), and the byte buffers
// every kind's codes are held in.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "shared/error.hpp"
#include "shared/rules.hpp"

namespace velmar {

// Widths 2..=16; one wrapping comparison, so 0 and 1 fail like 17 and up.
inline Status check_bits(uint32_t bits) {
    if (bits - 2u < 15u) return {};
    return std::unexpected(CoreError::invalid_bits(bits));
}

// Buffers of kLargeBuffer bytes or more. glibc recycles freed memory below
// that size but returns larger blocks to the system, and a fresh block costs
// a page fault and a clearing per page on first touch, as much as writing it
// again. The last one freed, up to 256 MiB, is therefore kept for the next
// request it fits, its pages left for the system to reclaim if memory runs
// short.
constexpr size_t kLargeBuffer = size_t{32} << 20;
// Code buffers start on a cache line: the row kernels read a line of each
// row at a time, and a row that starts mid-line costs two (asymmetric 8-bit
// rows of 4096 codes 1.17x the time on a Zen 4).
constexpr size_t kLineBytes = 64;
void* take_large(size_t bytes);
void give_back_large(void* p, size_t bytes) noexcept;

// Grows without filling: bytes a resize adds stay unset until written. Code
// streams are written whole by their packers, and filling them first would
// be one more pass over the output.
template <class T>
struct Unfilled : std::allocator<T> {
    using value_type = T;
    template <class U>
    struct rebind {
        using other = Unfilled<U>;
    };
    Unfilled() = default;
    template <class U>
    Unfilled(const Unfilled<U>&) noexcept {}
    T* allocate(size_t n) {
        if (n >= kLargeBuffer / sizeof(T)) return static_cast<T*>(take_large(n * sizeof(T)));
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t{kLineBytes}));
    }
    void deallocate(T* p, size_t n) noexcept {
        if (n >= kLargeBuffer / sizeof(T)) return give_back_large(p, n * sizeof(T));
        ::operator delete(p, n * sizeof(T), std::align_val_t{kLineBytes});
    }
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... A>
    void construct(U* p, A&&... a) {
        ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
    }
};
using Bytes = std::vector<uint8_t, Unfilled<uint8_t>>;

struct Packed {
    Bytes bytes;
    size_t count = 0;
    uint32_t bits = 0;

    static Packed from_i32s(std::span<const int32_t> codes, uint32_t bits);
    // Write count codes into out[0..count) with the dispatched unpacker, after
    // checking the width, out.size() >= count and the byte run (InternalError
    // otherwise). Defined with the other checked entries, in kernels/block.cpp.
    void unpack_into(std::span<int32_t> out) const;
    static void unpack_slice(std::span<const uint8_t> bytes, uint32_t bits, std::span<int32_t> out, size_t count);
    friend bool operator==(const Packed&, const Packed&) = default;
};

}  // namespace velmar
