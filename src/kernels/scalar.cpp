// The scalar reference: the plain statement of every kernel, one element at a
// time in element order, over the rules of shared/rules.hpp and the reductions
// of kernels/reduce.hpp. It is the table of the scalar level and the one the
// vector twins are tested against, bit for bit. Arguments are trusted, as the
// table's contract says; the checked entries in kernels/block are the only
// callers in the library.
#include "kernels/superblock_fit.hpp"
#include "kernels/twin_deps.hpp"

namespace velmar::simd {
namespace {

float k_absmax(const float* v, size_t n) { return absmax(v, n); }

void k_min_max(const float* v, size_t n, float* lo, float* hi) {
    const MinMax m = min_max_neon(v, n);
    *lo = m.lo;
    *hi = m.hi;
}

// Per block: scale from the magnitude maximum, then the codes.
void k_quantize_sym(const float* v, size_t len, size_t block, uint32_t bits, float* scales, uint8_t* bytes) {
    const float qmin = static_cast<float>(code_min(bits));
    const float qmax = static_cast<float>(code_max(bits));
    std::fill_n(bytes, packed_len(len, bits), uint8_t{0});  // put_code ORs
    for_each_block(len, block, [&](size_t b, size_t first, size_t n) {
        const float scale = sym_scale(absmax(v + first, n), qmax);
        const float inv = 1.0f / scale;
        for (size_t i = first; i < first + n; ++i) put_code(bytes, i, bits, sym_code(v[i], inv, qmin, qmax));
        scales[b] = scale;
    });
}

void k_asym_codes(const float* v, size_t n, float inv, float zero_point, uint32_t bits, int32_t* codes) {
    for (size_t i = 0; i < n; ++i) codes[i] = asym_code(v[i], inv, zero_point, code_min(bits), code_max(bits));
}

// Per block: scale and zero point from the range, then the codes.
void k_quantize_asym(const float* v, size_t len, size_t block, uint32_t bits, float* scales, float* zero_points,
                     uint8_t* bytes) {
    std::fill_n(bytes, packed_len(len, bits), uint8_t{0});
    for_each_block(len, block, [&](size_t b, size_t first, size_t n) {
        const MinMax m = min_max_neon(v + first, n);
        const AsymParams p = asym_params(m.lo, m.hi, bits);
        for (size_t i = first; i < first + n; ++i)
            put_code(bytes, i, bits, asym_code(v[i], p.inv, p.zero_point, code_min(bits), code_max(bits)));
        scales[b] = p.scale;
        zero_points[b] = p.zero_point;
    });
}

// Per block: the width from the range, then scale and zero point at that width.
void k_adaptive_params(const float* v, size_t len, size_t block, float tolerance, uint32_t* widths, float* scales,
                       float* zero_points) {
    for_each_block(len, block, [&](size_t b, size_t first, size_t n) {
        const MinMax m = min_max_neon(v + first, n);
        widths[b] = choose_bits(m.hi - m.lo, tolerance);
        const AsymParams p = asym_params(m.lo, m.hi, widths[b]);
        scales[b] = p.scale;
        zero_points[b] = p.zero_point;
    });
}

// Each block's codes in its own run, from its width, scale and zero point.
void k_adaptive_codes(const float* v, size_t len, size_t block, const uint32_t* widths, const float* scales,
                      const float* zero_points, uint8_t* bytes) {
    for_each_run(len, block, widths, [&](size_t b, size_t first, size_t n, size_t pos, size_t) {
        const uint32_t w = widths[b];
        const float inv = 1.0f / scales[b];
        std::fill_n(bytes + pos, packed_len(n, w), uint8_t{0});
        for (size_t j = 0; j < n; ++j)
            put_code(bytes + pos, j, w, asym_code(v[first + j], inv, zero_points[b], code_min(w), code_max(w)));
    });
}

size_t k_quantize_adaptive(const float* v, size_t len, size_t block, float tolerance, uint32_t* widths,
                           float* scales, float* zero_points, uint8_t* bytes) {
    k_adaptive_params(v, len, block, tolerance, widths, scales, zero_points);
    k_adaptive_codes(v, len, block, widths, scales, zero_points, bytes);
    return adaptive_data_len(widths, block, len);
}

void k_unpack(const uint8_t* bytes, uint32_t bits, size_t count, int32_t* out) {
    for (size_t i = 0; i < count; ++i) out[i] = code_at(bytes, i, bits);
}

void k_dequant_sym(const float* scales, const uint8_t* bytes, uint32_t bits, size_t block, size_t count,
                   float* out) {
    for (size_t i = 0; i < count; ++i) out[i] = sym_value(code_at(bytes, i, bits), scales[i / block]);
}

void k_dequant_asym(const float* scales, const float* zero_points, const uint8_t* bytes, uint32_t bits,
                    const uint32_t* widths, size_t block, size_t count, float* out) {
    for_each_block_codes(bytes, bits, widths, count, block,
                         [&](size_t b, size_t first, size_t n, const uint8_t* base, uint32_t w, size_t at) {
                             for (size_t j = 0; j < n; ++j)
                                 out[first + j] = asym_value(code_at(base, at + j, w), scales[b], zero_points[b]);
                         });
}

// Each block's products summed, the sum scaled, then added to the total.
float k_dot_i8(const float* scales, const uint8_t* bytes, size_t block, const float* x, size_t n) {
    float total = 0.0f;
    for_each_block(n, block, [&](size_t b, size_t first, size_t m) {
        const float p = i8_block_sum(x + first, bytes + first, m) * scales[b];
        total = total + p;
    });
    return total;
}

// One running sum over the whole tensor.
float k_dot_sym(const float* scales, const uint8_t* bytes, uint32_t bits, size_t block, const float* x, size_t n) {
    float acc = 0.0f;
    for (size_t i = 0; i < n; ++i) {
        const float t = sym_value(code_at(bytes, i, bits), scales[i / block]) * x[i];
        acc = acc + t;
    }
    return acc;
}

// One running sum, from 0.0 for asymmetric tensors and from -0.0 (the exact
// additive identity) for adaptive ones.
float dot_asym_blocks(const float* scales, const float* zero_points, const uint8_t* bytes, uint32_t bits,
                      const uint32_t* widths, size_t block, const float* x, size_t n) {
    float acc = widths ? -0.0f : 0.0f;
    for_each_block_codes(bytes, bits, widths, n, block,
                         [&](size_t b, size_t first, size_t m, const uint8_t* base, uint32_t w, size_t at) {
                             for (size_t j = 0; j < m; ++j) {
                                 const float d = asym_value(code_at(base, at + j, w), scales[b], zero_points[b]);
                                 acc = acc + asym_term(d, x[first + j], widths != nullptr);
                             }
                         });
    return acc;
}

float k_dot_asym(const float* scales, const float* zero_points, const uint8_t* bytes, uint32_t bits, size_t block,
                 const float* x, size_t n) {
    return dot_asym_blocks(scales, zero_points, bytes, bits, nullptr, block, x, n);
}

float k_dot_adaptive(const float* scales, const float* zero_points, const uint8_t* data, const uint32_t* widths,
                     size_t block, const float* x, size_t n) {
    return dot_asym_blocks(scales, zero_points, data, 0, widths, block, x, n);
}

void k_fit_blocks(const float* v, const int32_t* codes, size_t len, size_t block, float* scales,
                  float* zero_points) {
    for_each_block(len, block, [&](size_t b, size_t first, size_t n) {
        const Fit f = fit_run(v + first, codes + first, n, n);
        scales[b] = f.scale;
        zero_points[b] = f.zero_point;
    });
}

void k_fit_packed(const float* v, const uint8_t* bytes, uint32_t bits, const uint32_t* widths, size_t len,
                  size_t block, float* scales, float* zero_points) {
    for_each_block_codes(bytes, bits, widths, len, block,
                         [&](size_t b, size_t first, size_t n, const uint8_t* base, uint32_t w, size_t at) {
                             FitSums s;
                             for (size_t j = 0; j < n; ++j)
                                 s.add(static_cast<float>(code_at(base, at + j, w)), v[first + j]);
                             const Fit f = fit_finish(s.q, s.x, s.qq, s.xq, n);
                             scales[b] = f.scale;
                             zero_points[b] = f.zero_point;
                         });
}

void k_widen_f16(const uint16_t* in, size_t n, float* out) {
    for (size_t i = 0; i < n; ++i) out[i] = f32_from_f16_bits(in[i]);
}

void k_narrow_f16(const float* in, size_t n, uint16_t* out) {
    for (size_t i = 0; i < n; ++i) out[i] = f16_bits_from_f32(in[i]);
}

// ---- rows: each row's 1-D dot with every vector, scales read as stored ----

void k_rows_dot_i8(const RowRun& r, const float* x, size_t k, float* out, size_t ld) {
    for_each_row(r, [&](size_t i, const uint8_t* q, size_t b0) {
        for (size_t j = 0; j < k; ++j) {
            const float* xj = x + j * r.cols;
            float total = 0.0f;
            for_each_block(r.cols, r.block, [&](size_t b, size_t first, size_t m) {
                const float p = i8_block_sum(xj + first, q + first, m) * stored_at(r.scales, r.stored, b0 + b);
                total = total + p;
            });
            out[j * ld + i] = total;
        }
    });
}

void k_rows_dot_sym(const RowRun& r, const float* x, size_t k, float* out, size_t ld) {
    for_each_row(r, [&](size_t i, const uint8_t* q, size_t b0) {
        for (size_t j = 0; j < k; ++j) {
            const float* xj = x + j * r.cols;
            float acc = 0.0f;
            for (size_t c = 0; c < r.cols; ++c) {
                const float t = sym_value(code_at(q, c, r.bits), stored_at(r.scales, r.stored, b0 + c / r.block)) * xj[c];
                acc = acc + t;
            }
            out[j * ld + i] = acc;
        }
    });
}

// From 0.0 for asymmetric rows, from -0.0 for adaptive ones, as the 1-D dots.
void rows_dot_asym_blocks(const RowRun& r, const float* x, size_t k, float* out, size_t ld) {
    const bool adaptive = r.widths != nullptr;
    for_each_row(r, [&](size_t i, const uint8_t* q, size_t b0) {
        for (size_t j = 0; j < k; ++j) {
            const float* xj = x + j * r.cols;
            float acc = adaptive ? -0.0f : 0.0f;
            for_each_block_codes(q, r.bits, adaptive ? r.widths + b0 : nullptr, r.cols, r.block,
                                 [&](size_t b, size_t first, size_t m, const uint8_t* base, uint32_t w, size_t at) {
                                     const float s = stored_at(r.scales, r.stored, b0 + b);
                                     const float z = stored_at(r.zero_points, r.stored, b0 + b);
                                     for (size_t c = 0; c < m; ++c)
                                         acc = acc + asym_term(asym_value(code_at(base, at + c, w), s, z), xj[first + c],
                                                               adaptive);
                                 });
            out[j * ld + i] = acc;
        }
    });
}

#include "kernels/scalar_superblock.inl"

#include "kernels/bounded.inl"

const Kernels kTable = {
    Level::Scalar,     k_absmax,      k_min_max,     k_quantize_sym, k_asym_codes,   k_quantize_asym,
    k_adaptive_params, k_adaptive_codes, k_quantize_adaptive, k_unpack,   k_dequant_sym, k_dequant_asym, k_dot_i8,       k_dot_sym,
    k_dot_asym,        k_dot_adaptive, k_fit_blocks, k_fit_packed,   k_widen_f16,    k_narrow_f16,
    k_rows_dot_i8,     k_rows_dot_sym, rows_dot_asym_blocks, rows_dot_asym_blocks,
    k_quantize_super,  k_dequant_super, k_dot_super, k_rows_dot_super, k_dot_lanes, k_quantize_sym_weighted,
    k_quantize_asym_weighted,
    k_centre_blocks,   k_centred_codes, k_blocks_within,
};

}  // namespace

const Kernels& scalar_kernels() { return kTable; }

}  // namespace velmar::simd
