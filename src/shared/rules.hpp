#pragma once
// The element rules: the arithmetic of one element, one code and one block,
// each stated once, for the scalar reference, every vector twin and the record
// checks alike. Builtins only, and everything has internal linkage: files
// compiled for wider instruction sets include this header, so nothing here may
// become a shared copy that the linker could hand to a narrower caller.
#include <cstddef>
#include <cstdint>

namespace velmar {
namespace {

constexpr size_t kSizeMax = ~size_t{0};

inline size_t min_size(size_t a, size_t b) { return a < b ? a : b; }

// ceil(len / block) without the wrap of (len + block - 1) / block.
inline size_t block_count(size_t len, size_t block) { return len / block + (len % block != 0 ? 1 : 0); }

// Bytes of count codes of `bits` bits: ceil(count * bits / 8), or SIZE_MAX
// when that does not fit (no buffer can match it). count * bits is split as
// (count / 8) * bits + (count % 8) * bits so that only the first can overflow.
inline size_t packed_len(size_t count, uint32_t bits) {
    const size_t rest_bits = (count % 8) * bits;
    size_t whole;
    if (__builtin_mul_overflow(count / 8, size_t{bits}, &whole) ||
        __builtin_add_overflow(whole, rest_bits / 8 + (rest_bits % 8 != 0 ? 1 : 0), &whole))
        return kSizeMax;
    return whole;
}

// A bfloat16 pattern as the float it is the upper half of; a NaN is quieted.
inline float widen_bf16(uint16_t h) {
    uint32_t v = h;
    if ((v & 0x7FFFu) > 0x7F80u) v |= 0x0040u;
    return __builtin_bit_cast(float, v << 16);
}

// ---- codes ----

// The code range of a width: -2^(bits-1) to 2^(bits-1) - 1.
inline int32_t code_min(uint32_t bits) { return -(int32_t{1} << (bits - 1)); }
inline int32_t code_max(uint32_t bits) { return (int32_t{1} << (bits - 1)) - 1; }

// Symmetric code of x: x * inv rounded half away from zero, clamped to
// [qmin, qmax]; NaN gives 0.
inline int32_t sym_code(float x, float inv, float qmin, float qmax) {
    float r = __builtin_roundf(x * inv);
    if (r < qmin) r = qmin;
    if (r > qmax) r = qmax;
    if (r != r) return 0;
    return static_cast<int32_t>(r);
}

// Asymmetric code of x: x * inv + zero_point rounded half away from zero and
// saturated to int32 (NaN gives 0), then clamped to [qmin, qmax].
inline int32_t asym_code(float x, float inv, float zero_point, int32_t qmin, int32_t qmax) {
    const float t = x * inv;
    const float r = __builtin_roundf(t + zero_point);
    int32_t c;
    if (r != r) {
        c = 0;
    } else if (r >= 2147483648.0f) {
        c = 2147483647;
    } else if (r < -2147483648.0f) {
        c = -2147483647 - 1;
    } else {
        c = static_cast<int32_t>(r);
    }
    if (c > qmax) c = qmax;
    if (c < qmin) c = qmin;
    return c;
}

// The low `bits` bits of v as a two's complement number (bits 1..=32).
inline int32_t sign_extend(uint32_t v, uint32_t bits) {
    return static_cast<int32_t>(v << (32 - bits)) >> (32 - bits);
}

// The stream layout: code i of width `bits` (1..=16) occupies stream bits
// i * bits onwards, stream bit k being bit k % 8 of byte k / 8, so one code
// touches at most three bytes.
struct Place {
    size_t byte;
    uint32_t shift;
};
inline Place place_of(size_t i, uint32_t bits) { return {i * bits / 8, static_cast<uint32_t>(i * bits % 8)}; }

inline int32_t code_at(const uint8_t* base, size_t i, uint32_t bits) {
    // Widths 8 and 4 are the same arithmetic, written so that it folds.
    if (bits == 8) return static_cast<int8_t>(base[i]);
    if (bits == 4) return sign_extend(static_cast<uint32_t>(base[i / 2]) >> (i % 2 * 4), 4);
    const auto [k, t] = place_of(i, bits);
    uint32_t v = static_cast<uint32_t>(base[k]) >> t;
    if (t + bits > 8) v |= static_cast<uint32_t>(base[k + 1]) << (8 - t);
    if (t + bits > 16) v |= static_cast<uint32_t>(base[k + 2]) << (16 - t);
    return sign_extend(v, bits);
}

// ORs the low `bits` bits of code into place i of a zero-filled stream.
inline void put_code(uint8_t* base, size_t i, uint32_t bits, int32_t code) {
    const auto [k, t] = place_of(i, bits);
    const uint32_t v = (static_cast<uint32_t>(code) & ((1u << bits) - 1u)) << t;
    base[k] |= static_cast<uint8_t>(v);
    if (t + bits > 8) base[k + 1] |= static_cast<uint8_t>(v >> 8);
    if (t + bits > 16) base[k + 2] |= static_cast<uint8_t>(v >> 16);
}

// The value of a code: q * scale for a symmetric tensor; scale * (q - zero
// point) for the others, two roundings and never the expanded form.
inline float sym_value(int32_t q, float scale) { return static_cast<float>(q) * scale; }
inline float asym_value(int32_t q, float scale, float zero_point) {
    const float d = static_cast<float>(q) - zero_point;
    return scale * d;
}

// A dot product term of an asymmetric (x * d) or adaptive (d * x) tensor: the
// operand order picks which NaN survives when both are NaN.
inline float asym_term(float d, float x, bool adaptive) { return adaptive ? d * x : x * d; }

// The sum, in element order, of the products x[i] * q[i] of a block of 8-bit
// codes, which the 8-bit dot product scales once per block.
inline float i8_block_sum(const float* x, const uint8_t* q, size_t n) {
    float partial = 0.0f;
    for (size_t i = 0; i < n; ++i) {
        const float p = x[i] * static_cast<float>(code_at(q, i, 8));
        partial = partial + p;
    }
    return partial;
}

// ---- block parameters ----

// Symmetric scale of a block: its magnitude maximum over qmax, or 1 when the
// maximum is 0 or NaN.
inline float sym_scale(float absmax, float qmax) {
    const float q = absmax / qmax;
    return absmax > 0.0f ? q : 1.0f;
}

// Asymmetric scale and zero point of a block whose range is [lo, hi]: the range
// spread over the code range with lo at qmin; scale 1 and zero point 0 when the
// range is empty or NaN. inv is 1 / scale.
struct AsymParams {
    float scale, zero_point, inv;
};

inline AsymParams asym_params(float lo, float hi, uint32_t bits) {
    const float qmin = static_cast<float>(code_min(bits));
    const float qmax = static_cast<float>(code_max(bits));
    float scale = 1.0f;
    float zero_point = 0.0f;
    if (!(lo >= hi)) {
        scale = (hi - lo) / (qmax - qmin);
        zero_point = qmin - (lo / scale);
    }
    return {scale, zero_point, 1.0f / scale};
}

// The least-squares fit of values x ~ scale * (q - zero_point) over n
// elements, from the four sums, each accumulated in element order. Ordered
// comparisons with kTiny (the float nearest to 1e-12) keep (1, 0) for a
// vanishing variance or slope and let NaN sums through.
constexpr float kTiny = __builtin_bit_cast(float, 0x2B8CBCCCu);

struct Fit {
    float scale, zero_point;
};

struct FitSums {
    float q = 0.0f, x = 0.0f, qq = 0.0f, xq = 0.0f;

    void add(float qv, float xv) {
        q = q + qv;
        x = x + xv;
        const float sq = qv * qv;
        qq = qq + sq;
        const float p = xv * qv;
        xq = xq + p;
    }
};

// The fit from the sums and the number of elements (or the weights' sum).
inline Fit fit_from(float sq, float sx, float sqq, float sxq, float nf) {
    const float mq = sq / nf;
    const float t = sq * mq;
    if (__builtin_fabsf(sqq - t) < kTiny) return {1.0f, 0.0f};
    const float var = sqq - t;
    const float mx = sx / nf;
    const float cov = sxq - (sq * mx);
    const float s = cov / var;
    if (__builtin_fabsf(s) < kTiny) return {1.0f, 0.0f};
    const float p = mq * s;
    const float d = mx - p;
    return {s, (-d) / s};
}

inline Fit fit_finish(float sq, float sx, float sqq, float sxq, size_t n) {
    if (n == 0) return {1.0f, 0.0f};
    return fit_from(sq, sx, sqq, sxq, static_cast<float>(n));
}

// The fit of n elements whose first m (at most n) values and codes are summed.
inline Fit fit_run(const float* x, const int32_t* q, size_t m, size_t n) {
    FitSums s;
    for (size_t i = 0; i < m; ++i) s.add(static_cast<float>(q[i]), x[i]);
    return fit_finish(s.q, s.x, s.qq, s.xq, n);
}

// The fit of n elements each counting with its weight: every sum's terms
// times the weight, the weights' sum in place of the count; the unweighted
// fit when the weights add up to nothing.
inline Fit fit_weighted(const float* x, const int32_t* q, const float* w, size_t n) {
    float sw = 0.0f;
    FitSums s;
    for (size_t i = 0; i < n; ++i) {
        sw = sw + w[i];
        const float qv = static_cast<float>(q[i]);
        const float wq = w[i] * qv, wx = w[i] * x[i];
        s.q = s.q + wq;
        s.x = s.x + wx;
        const float a = wq * qv, b = wx * qv;
        s.qq = s.qq + a;
        s.xq = s.xq + b;
    }
    return sw > 0.0f ? fit_from(s.q, s.x, s.qq, s.xq, sw) : fit_run(x, q, n, n);
}

// ---- walks ----

// The walk over blocks (block >= 1): f(b, first, n) for blocks b0, b0 + 1, ...
// of a run of len elements, block b covering [first, first + n) with
// first = b * block and n = min(block, len - first).
template <class F>
inline __attribute__((always_inline)) void for_each_block(size_t len, size_t block, F&& f, size_t b0 = 0) {
    size_t b = b0;
    for (size_t first = b0 * block; first < len; ++b) {
        const size_t n = min_size(block, len - first);
        f(b, first, n);
        first += n;
    }
}

// The walk over an adaptive record, whose block b keeps its n codes on their
// own, packed at width widths[b] in a byte run that starts where the run of
// block b - 1 ends: f(b, first, n, pos, bytes) with the run [pos, pos + bytes).
// Returns the runs' total length, SIZE_MAX when that does not fit.
template <class F>
inline __attribute__((always_inline)) size_t for_each_run(size_t len, size_t block, const uint32_t* widths, F&& f) {
    size_t pos = 0;
    for_each_block(len, block, [&](size_t b, size_t first, size_t n) {
        const size_t bytes = packed_len(n, widths[b]);
        f(b, first, n, pos, bytes);
        if (__builtin_add_overflow(pos, bytes, &pos)) pos = kSizeMax;
    });
    return pos;
}

// The codes of every block of a record: f(b, first, n, base, width, at), block
// b's n codes being codes at.. of the stream at base of that width: the one
// stream of `bits` (widths == nullptr) or the block's own run (adaptive).
template <class Byte, class F>
inline __attribute__((always_inline)) void for_each_block_codes(Byte* bytes, uint32_t bits, const uint32_t* widths,
                                                                size_t len, size_t block, F&& f) {
    if (widths) {
        for_each_run(len, block, widths, [&](size_t b, size_t first, size_t n, size_t pos, size_t) {
            f(b, first, n, bytes + pos, widths[b], size_t{0});
        });
    } else {
        for_each_block(len, block, [&](size_t b, size_t first, size_t n) { f(b, first, n, bytes, bits, first); });
    }
}

inline size_t adaptive_data_len(const uint32_t* widths, size_t block, size_t len) {
    // A whole block of a multiple of 8 codes takes block / 8 bytes per bit of
    // width, so the whole blocks' runs are one sum; a row walk per call would
    // otherwise cost as much as reading the codes. The sum cannot wrap below
    // 2^32 blocks; the product's overflow is the walk's.
    const size_t whole = len / block;
    if (block % 8 != 0 || whole >> 32 != 0)
        return for_each_run(len, block, widths, [](size_t, size_t, size_t, size_t, size_t) {});
    size_t sum = 0, bytes = 0;
    for (size_t b = 0; b < whole; ++b) sum += widths[b];
    if (__builtin_mul_overflow(block / 8, sum, &bytes)) return kSizeMax;
    const size_t rest = len % block != 0 ? packed_len(len % block, widths[whole]) : 0;
    return __builtin_add_overflow(bytes, rest, &bytes) ? kSizeMax : bytes;
}

}  // namespace
}  // namespace velmar
