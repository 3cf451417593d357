#pragma once
// The weighted fits: the super-block quantizer and the weighted symmetric and
// asymmetric block quantizers, stated once. Ops supplies the three loops a
// twin may vectorise, and each must give these bits:
//
//   Ops::candidate_sums(x, w, n, lo, iscale, qlo, qhi, sums): for each of the
//     kCandidates inverse scales, the code q = sym_code(x[i] - lo, iscale[k],
//     qlo, qhi) of every element and, in element order from +0.0, sq += wq,
//     sqq += wq * q, sqx += wq * x[i], where wq = w[i] * q (q without weights);
//   Ops::codes_error(x, w, n, s, inv, qlo, qhi, codes): the codes
//     q = sym_code(x[i] + s.m, inv, qlo, qhi) of n = 16 or 32 elements, and the
//     16-lane sum (shared/superblock.hpp) of w[i] * (e * e), e = super_value(q, s) - x[i];
//   Ops::moments(x, w, n): the smallest and largest x (finite), and the
//     16-lane sums of the weights (1 without) and of w[i] * x[i] (x[i]).
//
// Builtins only and internal linkage: per-level files include this header.
#include "kernels/twin_deps.hpp"
#include "shared/superblock.hpp"

namespace velmar {
namespace {

// The search aims a block's extreme value at kCandidates places on the code
// axis: the end code moved by (k - 8) / 64 of the number of codes, from an
// eighth of them short of the end (a coarser step) to 7/64 of them beyond it
// (a finer step that clips the extreme), the same share at every width.
constexpr size_t kCandidates = 16;

struct CandidateSums {
    float q[kCandidates], qq[kCandidates], qx[kCandidates];
};

inline float candidate_shift(uint32_t bits, size_t k) {
    const float levels = static_cast<float>(uint32_t{1} << bits);
    return static_cast<float>(static_cast<int32_t>(k) - 8) * (levels / 64.0f);
}

inline bool all_finite(const float* x, size_t n) {
    uint32_t special = 0;
    for (size_t i = 0; i < n; ++i) special |= (__builtin_bit_cast(uint32_t, x[i]) & 0x7F800000u) == 0x7F800000u;
    return special == 0;
}

inline uint32_t max_u32(uint32_t a, uint32_t b) { return a > b ? a : b; }

struct Moments {
    float lo, hi, sw, sx;
};

// Weights count only where they add up to more than zero.
inline const float* useful_weights(const float* w, size_t n) {
    if (!w) return nullptr;
    float s = 0.0f;
    for (size_t i = 0; i < n; ++i) s = s + w[i];
    return s > 0.0f ? w : nullptr;
}

// ---- one run: value ~ scale * q + offset, q = 0..2^bits-1 ----

struct RunFit {
    float scale, offset;
};

// A candidate's weighted least-squares (scale, offset) lowers the squared
// error by gain = scale * sqx + offset * sx; every candidate's gain is worked
// out and the first largest wins. With `nonpositive` the offset may not
// exceed 0; a candidate whose scale would not be positive fits nothing.
struct Normal {
    float det, ns, nm;  // the determinant and the numerators of scale and offset
};

inline Normal affine_normal(float sw, float sx, float sq, float sqq, float sqx) {
    const float a = sw * sqq, b = sq * sq;
    const float c = sw * sqx, e = sq * sx;
    const float f = sqq * sx, g = sq * sqx;
    return {a - b, c - e, f - g};
}

// The first candidate of the largest gain among the valid ones, or kCandidates.
inline size_t best_candidate(const float* gain, const bool* valid) {
    size_t best = kCandidates;
    float top = -__builtin_inff();
    for (size_t k = 0; k < kCandidates; ++k) {
        const bool take = valid[k] && gain[k] > top;
        best = take ? k : best;
        top = take ? gain[k] : top;
    }
    return best;
}

inline size_t best_affine(float sw, float sx, const CandidateSums& s, bool nonpositive) {
    float gain[kCandidates];
    bool valid[kCandidates];
    for (size_t k = 0; k < kCandidates; ++k) {
        const Normal nr = affine_normal(sw, sx, s.q[k], s.qq[k], s.qx[k]);
        const bool pinned = nonpositive & (nr.nm > 0.0f);
        const float r = s.qx[k] / s.qq[k];
        const float pinned_gain = s.qx[k] * r;
        const float p = nr.ns * s.qx[k], q = nr.nm * sx;
        const float free_gain = (p + q) / nr.det;
        gain[k] = pinned ? pinned_gain : free_gain;
        valid[k] = (nr.det > 0.0f) & (pinned ? s.qx[k] > 0.0f : nr.ns > 0.0f);
    }
    return best_candidate(gain, valid);
}

// `nonpositive`: the range starts at 0 or below and the offset stays <= 0 (the
// super-block types subtract a magnitude); otherwise both are free.
template <class Ops>
RunFit fit_affine(const float* x, const float* w, size_t n, uint32_t bits, bool nonpositive) {
    const Moments mo = Ops::moments(x, w, n);
    const float sw = mo.sw, sx = mo.sx, hi = mo.hi;
    float lo = mo.lo + 0.0f;  // +0.0 for either zero
    if (nonpositive && lo > 0.0f) lo = 0.0f;
    if (!(hi > lo)) return {0.0f, lo};
    const float range = hi - lo, inv = 1.0f / range;
    const float top = static_cast<float>((uint32_t{1} << bits) - 1);
    float iscale[kCandidates];
    for (size_t k = 0; k < kCandidates; ++k) iscale[k] = (top + candidate_shift(bits, k)) * inv;
    CandidateSums s;
    Ops::candidate_sums(x, w, n, lo, iscale, 0, static_cast<int32_t>(top), s);
    const size_t best = best_affine(sw, sx, s, nonpositive);
    if (best == kCandidates) return {range / top, lo};
    const Normal nr = affine_normal(sw, sx, s.q[best], s.qq[best], s.qx[best]);
    if (nonpositive && nr.nm > 0.0f) return {s.qx[best] / s.qq[best], 0.0f};
    return {nr.ns / nr.det, nr.nm / nr.det};
}

// value ~ scale * q, q = code_min(bits)..code_max(bits). The extreme value is
// aimed at the lowest code, whose magnitude is one more than the highest's, so
// the scale takes the sign opposite to it.
template <class Ops>
float fit_sym(const float* x, const float* w, size_t n, uint32_t bits) {
    // The first element of the largest magnitude: finite magnitudes order as their bit patterns do.
    uint32_t top = 0;
    for (size_t i = 0; i < n; ++i) top = max_u32(top, __builtin_bit_cast(uint32_t, x[i]) & 0x7FFFFFFFu);
    if (top == 0) return 0.0f;
    size_t at = 0;
    while ((__builtin_bit_cast(uint32_t, x[at]) & 0x7FFFFFFFu) != top) ++at;
    const float xm = x[at];
    const float qmin = static_cast<float>(code_min(bits)), inv = 1.0f / xm;
    float iscale[kCandidates];
    for (size_t k = 0; k < kCandidates; ++k) iscale[k] = (qmin - candidate_shift(bits, k)) * inv;
    CandidateSums s;
    Ops::candidate_sums(x, w, n, 0.0f, iscale, code_min(bits), code_max(bits), s);
    float gain[kCandidates];
    bool valid[kCandidates];
    for (size_t k = 0; k < kCandidates; ++k) {
        const float r = s.qx[k] / s.qq[k];
        gain[k] = s.qx[k] * r;
        valid[k] = s.qq[k] > 0.0f;
    }
    const size_t best = best_candidate(gain, valid);
    return best == kCandidates ? xm / qmin : s.qx[best] / s.qq[best];
}

// ---- super-blocks ----

inline int32_t clamp_int(float v, IntRange r) {
    if (!(v > static_cast<float>(r.lo))) return r.lo;
    if (v > static_cast<float>(r.hi)) return r.hi;
    return static_cast<int32_t>(v);
}

// The stored halves of a super-block whose sub-blocks fit scale[j] (and
// offset magnitudes m[j]): the largest fits onto the end of the integer range.
inline SuperHalves super_halves(SuperType t, const float* scale, const float* m, size_t subs) {
    const SuperFormat& f = format_of(t);
    const IntRange r = scale_range(t);
    if (f.offsets) {
        float smax = 0.0f, mmax = 0.0f;
        for (size_t j = 0; j < subs; ++j) {
            smax = scale[j] > smax ? scale[j] : smax;
            mmax = m[j] > mmax ? m[j] : mmax;
        }
        const float top = static_cast<float>(r.hi);
        return {f16_bits_from_f32(smax / top), f16_bits_from_f32(mmax / top)};
    }
    float sm = 0.0f;
    for (size_t j = 0; j < subs; ++j) sm = __builtin_fabsf(scale[j]) > __builtin_fabsf(sm) ? scale[j] : sm;
    return {f16_bits_from_f32(sm / static_cast<float>(r.lo)), 0};
}

// Quantizes one super-block into out (kSuperLen values, weights or nullptr):
// each sub-block's fit, the halves, then for each sub-block the integers next
// to its fit (below and above, scale and offset) whose codes, refitted to the
// stored values, leave the least error. False, writing nothing, for a
// non-finite value or halves that overflow.
template <class Ops>
bool quantize_super(SuperType t, const float* x, const float* w, uint8_t* out) {
    if (!all_finite(x, kSuperLen)) return false;
    const SuperFormat& f = format_of(t);
    const size_t subs = kSuperLen / f.sub;
    const IntRange codes = code_range(t);
    float scale[kGroups], m[kGroups];
    const float* ws[kGroups];
    for (size_t j = 0; j < subs; ++j) {
        const float* xj = x + j * f.sub;
        ws[j] = useful_weights(w ? w + j * f.sub : nullptr, f.sub);
        if (f.offsets) {
            const RunFit r = fit_affine<Ops>(xj, ws[j], f.sub, f.code_bits, true);
            scale[j] = r.scale;
            m[j] = -r.offset;
        } else {
            scale[j] = fit_sym<Ops>(xj, ws[j], f.sub, f.code_bits);
            m[j] = 0.0f;
        }
    }
    const SuperHalves h = super_halves(t, scale, m, subs);
    const float d = f32_from_f16_bits(h.d), dmin = f32_from_f16_bits(h.dmin);
    if (!__builtin_isfinite(d) || !__builtin_isfinite(dmin)) return false;
    __builtin_memset(out, 0, f.bytes);
    const IntRange r = scale_range(t);
    SubInts ints[kGroups];
    int32_t q[kSuperLen];
    for (size_t j = 0; j < subs; ++j) {
        const float* xj = x + j * f.sub;
        const float rs = d != 0.0f ? scale[j] / d : 0.0f;
        const float rm = dmin != 0.0f ? m[j] / dmin : 0.0f;
        const float fs = __builtin_floorf(rs), fm = __builtin_floorf(rm);
        const int32_t sc[2] = {clamp_int(fs, r), clamp_int(fs + 1.0f, r)};
        const int32_t mq[2] = {clamp_int(fm, r), clamp_int(fm + 1.0f, r)};
        int32_t trial[32];
        float best = 0.0f;
        for (size_t c = 0; c < (f.offsets ? 4u : 2u); ++c) {
            const SubInts cand = f.offsets ? SubInts{sc[c / 2], mq[c % 2]} : SubInts{sc[c], 0};
            const SubScale s = sub_scale(d, dmin, cand);
            const float inv = s.d != 0.0f ? 1.0f / s.d : 0.0f;
            const float e = Ops::codes_error(xj, ws[j], f.sub, s, inv, codes.lo, codes.hi, trial);
            if (c == 0 || e < best) {
                best = e;
                ints[j] = cand;
                __builtin_memcpy(q + j * f.sub, trial, f.sub * sizeof(int32_t));
            }
        }
    }
    pack_super(t, q, out);
    put_super_params(t, out, h, ints);
    return true;
}

template <class Ops>
size_t quantize_supers(uint32_t type, const float* v, const float* w, size_t nsb, uint8_t* out) {
    const SuperType t = static_cast<SuperType>(type);
    for (size_t b = 0; b < nsb; ++b)
        if (!quantize_super<Ops>(t, v + b * kSuperLen, w ? w + b * kSuperLen : nullptr, out + b * format_of(t).bytes))
            return b;
    return nsb;
}

// ---- weighted blocks of the velmar schemes ----
//
// A block with a non-finite value, or whose weights add up to nothing, gets
// the unweighted rule's scale (and zero point); every other block the fit.

template <class Ops>
void quantize_sym_weighted(const float* v, const float* w, size_t len, size_t block, uint32_t bits, float* scales,
                           uint8_t* bytes) {
    const float qmin = static_cast<float>(code_min(bits)), qmax = static_cast<float>(code_max(bits));
    for_each_block(len, block, [&](size_t b, size_t first, size_t n) {
        const float* x = v + first;
        const float* wb = useful_weights(w + first, n);
        float scale = sym_scale(absmax(x, n), qmax);
        if (wb && all_finite(x, n)) {
            const float s = fit_sym<Ops>(x, wb, n, bits);
            scale = s != 0.0f ? s : 1.0f;
        }
        const float inv = 1.0f / scale;
        for (size_t i = 0; i < n; ++i) put_code(bytes, first + i, bits, sym_code(x[i], inv, qmin, qmax));
        scales[b] = scale;
    });
}

template <class Ops>
void quantize_asym_weighted(const float* v, const float* w, size_t len, size_t block, uint32_t bits,
                            const uint32_t* widths, float* scales, float* zero_points, uint8_t* bytes) {
    for_each_block_codes(bytes, bits, widths, len, block,
                         [&](size_t b, size_t first, size_t n, uint8_t* base, uint32_t wbits, size_t at) {
                             const float* x = v + first;
                             const float* wb = useful_weights(w + first, n);
                             const MinMax mm = min_max_neon(x, n);
                             AsymParams p = asym_params(mm.lo, mm.hi, wbits);
                             if (wb && all_finite(x, n)) {
                                 const RunFit r = fit_affine<Ops>(x, wb, n, wbits, false);
                                 if (r.scale > 0.0f) {
                                     const float qmin = static_cast<float>(code_min(wbits));
                                     p = {r.scale, qmin - (r.offset / r.scale), 1.0f / r.scale};
                                 }
                             }
                             for (size_t i = 0; i < n; ++i)
                                 put_code(base, at + i, wbits,
                                          asym_code(x[i], p.inv, p.zero_point, code_min(wbits), code_max(wbits)));
                             scales[b] = p.scale;
                             zero_points[b] = p.zero_point;
                         });
}

}  // namespace
}  // namespace velmar
