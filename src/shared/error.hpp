#pragma once
// The core's error values. Bad input is reported as a CoreError value and never
// unwinds; a broken tensor invariant (reachable only through a hand-made pickle
// state) throws InternalError, which the binding turns into a Python exception.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <stdexcept>

namespace velmar {

struct CoreError {
    enum class Kind : uint8_t { InvalidBits = 0, InvalidBlock = 1, InvalidTolerance = 2, LengthMismatch = 3 };
    Kind kind;
    uint32_t bits = 0;    // InvalidBits
    size_t block = 0;     // InvalidBlock
    size_t expected = 0;  // LengthMismatch
    size_t got = 0;       // LengthMismatch

    static CoreError invalid_bits(uint32_t bits) { return {Kind::InvalidBits, bits}; }
    static CoreError invalid_block(size_t block) { return {Kind::InvalidBlock, 0, block}; }
    static CoreError invalid_tolerance() { return {Kind::InvalidTolerance}; }
    static CoreError length_mismatch(size_t expected, size_t got) {
        return {Kind::LengthMismatch, 0, 0, expected, got};
    }
    friend bool operator==(const CoreError&, const CoreError&) = default;
};

template <class T>
using Result = std::expected<T, CoreError>;
using Status = std::expected<void, CoreError>;

class InternalError : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

[[noreturn]] inline void internal_error(const char* what) { throw InternalError(what); }

// Guards every buffer access whose bounds depend on tensor fields.
inline void require(bool ok, const char* what) {
    if (!ok) internal_error(what);
}

}  // namespace velmar
