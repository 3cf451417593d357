// The scalar level: the reference kernels behind the table's raw-pointer
// interface, following the methods' own loops step by step.
#include <algorithm>
#include <cstring>

#include "kernels/block.hpp"
#include "kernels/dispatch.hpp"
#include "kernels/i4.hpp"
#include "kernels/i8.hpp"
#include "kernels/reduce.hpp"
#include "methods/learned.hpp"
#include "shared/params.hpp"
#include "shared/scale.hpp"
#include "shared/tensor.hpp"

namespace velmar::simd {
namespace {

Packed packed_of(const uint8_t* bytes, uint32_t bits, size_t count) {
    Packed p;
    p.bytes.assign(bytes, bytes + packed_len(count, bits));
    p.count = count;
    p.bits = bits;
    return p;
}

float absmax(const float* v, size_t n) { return absmax_sym_scalar({v, n}); }

void min_max(const float* v, size_t n, float* lo, float* hi) {
    const auto r = min_max_neon_scalar({v, n});
    *lo = r.first;
    *hi = r.second;
}

void quantize_sym(const float* v, size_t len, size_t block, uint32_t bits, float* scales, uint8_t* bytes) {
    const SymBlocks r = quantize_sym_packed_scalar({v, len}, bits, block);
    std::copy(r.scales.begin(), r.scales.end(), scales);
    std::copy(r.packed.bytes.begin(), r.packed.bytes.end(), bytes);
}

void asym_codes(const float* v, size_t n, float inv, float zero_point, uint32_t bits, int32_t* codes) {
    const int32_t qmax = (int32_t{1} << (bits - 1)) - 1;
    const int32_t qmin = -(int32_t{1} << (bits - 1));
    for (size_t i = 0; i < n; ++i) codes[i] = asym_code_scalar(v[i], inv, zero_point, qmin, qmax);
}

void quantize_asym(const float* v, size_t len, size_t block, uint32_t bits, const uint32_t* widths, float* scales,
                   float* zero_points, uint8_t* bytes) {
    std::vector<int32_t> codes;
    size_t b = 0;
    for (size_t start = 0; start < len; ++b) {
        const size_t n = std::min(block, len - start);
        if (widths) codes.clear();
        const auto [s, z] = quantize_asym_block_scalar({v + start, n}, widths ? widths[b] : bits, codes);
        scales[b] = s;
        zero_points[b] = z;
        if (widths) {
            const Packed p = Packed::from_i32s(codes, widths[b]);
            bytes = std::copy(p.bytes.begin(), p.bytes.end(), bytes);
        }
        start += n;
    }
    if (!widths) {
        const Packed p = Packed::from_i32s(codes, bits);
        std::copy(p.bytes.begin(), p.bytes.end(), bytes);
    }
}

void adaptive_widths(const float* v, size_t len, size_t block, float tolerance, uint32_t* widths) {
    size_t b = 0;
    for (size_t start = 0; start < len; ++b) {
        const size_t n = std::min(block, len - start);
        const auto [lo, hi] = min_max_neon_scalar({v + start, n});
        widths[b] = choose_bits(hi - lo, tolerance);
        start += n;
    }
}

void unpack(const uint8_t* bytes, uint32_t bits, size_t count, int32_t* out) {
    unpack_scalar({bytes, packed_len(count, bits)}, bits, {out, count}, count);
}

void dequant_sym(const float* scales, const uint8_t* bytes, uint32_t bits, size_t block, size_t count, float* out) {
    const std::span<const float> s(scales, block_count(count, block));
    switch (bits) {
        case 4: dequant_i4_blocks_scalar(s, {bytes, packed_len(count, 4)}, block, {out, count}); break;
        case 8: dequant_i8_blocks_scalar(s, {bytes, count}, block, {out, count}); break;
        default: dequant_sym_into_scalar(s, packed_of(bytes, bits, count), block, {out, count}); break;
    }
}

// The adaptive decoder: each block from its own byte run.
void dequant_adaptive(const float* scales, const float* zero_points, const uint8_t* data, const uint32_t* widths,
                      size_t block, size_t len, float* out) {
    std::vector<int32_t> q;
    size_t pos = 0;
    size_t b = 0;
    for (size_t off = 0; off < len; ++b) {
        const size_t n = std::min(block, len - off);
        const size_t nbytes = packed_len(n, widths[b]);
        q.assign(n, 0);
        unpack_scalar({data + pos, nbytes}, widths[b], q, n);
        for (size_t j = 0; j < n; ++j) {
            const float d = static_cast<float>(q[j]) - zero_points[b];
            out[off + j] = scales[b] * d;
        }
        pos += nbytes;
        off += n;
    }
}

void dequant_asym(const float* scales, const float* zero_points, const uint8_t* bytes, uint32_t bits,
                  const uint32_t* widths, size_t block, size_t count, float* out) {
    if (widths) return dequant_adaptive(scales, zero_points, bytes, widths, block, count, out);
    const size_t nb = block_count(count, block);
    dequant_asym_into_scalar({scales, nb}, {zero_points, nb}, packed_of(bytes, bits, count), block, {out, count});
}

float dot_i8(const float* scales, const uint8_t* bytes, size_t block, const float* x, size_t n) {
    return dot_i8_blocks_scalar({scales, block_count(n, block)}, {bytes, n}, block, {x, n});
}

float dot_sym(const float* scales, const uint8_t* bytes, uint32_t bits, size_t block, const float* x, size_t n) {
    return dot_sym_scalar({scales, block_count(n, block)}, packed_of(bytes, bits, n), block, {x, n});
}

float dot_asym(const float* scales, const float* zero_points, const uint8_t* bytes, uint32_t bits, size_t block,
               const float* x, size_t n) {
    const size_t nb = block_count(n, block);
    return dot_asym_scalar({scales, nb}, {zero_points, nb}, packed_of(bytes, bits, n), block, {x, n});
}

// Dequantize everything, then one running sum from -0.0.
float dot_adaptive(const float* scales, const float* zero_points, const uint8_t* data, const uint32_t* widths,
                   size_t block, const float* x, size_t n) {
    std::vector<float> d(n, 0.0f);
    dequant_adaptive(scales, zero_points, data, widths, block, n, d.data());
    float acc = -0.0f;
    for (size_t i = 0; i < n; ++i) {
        const float p = d[i] * x[i];
        acc = acc + p;
    }
    return acc;
}

void fit_blocks(const float* v, const int32_t* codes, size_t len, size_t block, float* scales, float* zero_points) {
    size_t b = 0;
    for (size_t start = 0; start < len; ++b) {
        const size_t n = std::min(block, len - start);
        const auto [s, z] = fit_scale_and_zero_point({v + start, n}, {codes + start, n});
        scales[b] = s;
        zero_points[b] = z;
        start += n;
    }
}

void widen_f16(const uint16_t* in, size_t n, float* out) {
    for (size_t i = 0; i < n; ++i) out[i] = f32_from_f16_bits(in[i]);
}

void narrow_f16(const float* in, size_t n, uint16_t* out) {
    for (size_t i = 0; i < n; ++i) out[i] = f16_bits_from_f32(in[i]);
}

const Kernels kTable = {
    Level::Scalar, absmax,       min_max,  quantize_sym, asym_codes, quantize_asym,
    adaptive_widths, unpack,     dequant_sym, dequant_asym, dot_i8,   dot_sym,
    dot_asym,      dot_adaptive, fit_blocks, widen_f16,  narrow_f16,
};

}  // namespace

const Kernels& scalar_kernels() { return kTable; }

}  // namespace velmar::simd
