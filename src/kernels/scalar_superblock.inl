// The plain statement of the super-block kernels and the weighted block
// quantizers, one element at a time. Included by kernels/scalar.cpp inside
// its anonymous namespace; the fits themselves are kernels/superblock_fit.hpp
// over the loops below.

struct PlainOps {
    static Moments moments(const float* x, const float* w, size_t n) {
        float lo = x[0], hi = x[0], pw[kLanes] = {}, px[kLanes] = {};
        for (size_t i = 0; i < n; ++i) {
            lo = x[i] < lo ? x[i] : lo;
            hi = x[i] > hi ? x[i] : hi;
            pw[i % kLanes] = pw[i % kLanes] + (w ? w[i] : 1.0f);
            const float wx = w ? w[i] * x[i] : x[i];
            px[i % kLanes] = px[i % kLanes] + wx;
        }
        return {lo, hi, fold_lanes(pw), fold_lanes(px)};
    }

    static void candidate_sums(const float* x, const float* w, size_t n, float lo, const float* iscale, int32_t qlo,
                               int32_t qhi, CandidateSums& s) {
        const float fl = static_cast<float>(qlo), fh = static_cast<float>(qhi);
        for (size_t k = 0; k < kCandidates; ++k) {
            float sq = 0.0f, sqq = 0.0f, sqx = 0.0f;
            for (size_t i = 0; i < n; ++i) {
                const float xl = x[i] - lo;
                const float q = static_cast<float>(sym_code(xl, iscale[k], fl, fh));
                const float wq = w ? w[i] * q : q;
                sq = sq + wq;
                const float a = wq * q;
                sqq = sqq + a;
                const float b = wq * x[i];
                sqx = sqx + b;
            }
            s.q[k] = sq;
            s.qq[k] = sqq;
            s.qx[k] = sqx;
        }
    }

    static float codes_error(const float* x, const float* w, size_t n, SubScale s, float inv, int32_t qlo,
                             int32_t qhi, int32_t* codes) {
        float p[kLanes] = {};
        for (size_t i = 0; i < n; ++i) {
            const float u = x[i] + s.m;
            const int32_t q = sym_code(u, inv, static_cast<float>(qlo), static_cast<float>(qhi));
            codes[i] = q;
            const float e = super_value(q, s) - x[i];
            float t = e * e;
            if (w) t = w[i] * t;
            p[i % kLanes] = p[i % kLanes] + t;
        }
        return fold_lanes(p);
    }
};

size_t k_quantize_super(uint32_t type, const float* v, const float* w, size_t nsb, uint8_t* out) {
    return quantize_supers<PlainOps>(type, v, w, nsb, out);
}

// The value of element i of a super-block.
float super_element(SuperType t, const uint8_t* blk, size_t i) {
    const SuperHalves h = halves_at(t, blk);
    const SubScale s = sub_scale(f32_from_f16_bits(h.d), f32_from_f16_bits(h.dmin), sub_ints(t, blk, i / format_of(t).sub));
    return super_value(super_code(t, blk, i), s);
}

void k_dequant_super(uint32_t type, const uint8_t* bytes, size_t nsb, float* out) {
    const SuperType t = static_cast<SuperType>(type);
    for (size_t i = 0; i < nsb * kSuperLen; ++i)
        out[i] = super_element(t, bytes + i / kSuperLen * format_of(t).bytes, i % kSuperLen);
}

float k_dot_super(uint32_t type, const uint8_t* bytes, const float* x, size_t nsb) {
    const SuperType t = static_cast<SuperType>(type);
    float p[kLanes] = {};
    for (size_t i = 0; i < nsb * kSuperLen; ++i) {
        const float y = super_element(t, bytes + i / kSuperLen * format_of(t).bytes, i % kSuperLen);
        const float term = y * x[i];
        p[i % kLanes] = p[i % kLanes] + term;
    }
    return fold_lanes(p);
}

void k_rows_dot_super(uint32_t type, const uint8_t* bytes, size_t rows, const float* x, size_t nsb, float* out) {
    const size_t row_bytes = nsb * format_of(static_cast<SuperType>(type)).bytes;
    for (size_t r = 0; r < rows; ++r) out[r] = k_dot_super(type, bytes + r * row_bytes, x, nsb);
}

void k_dot_lanes(const float* y, size_t rows, const float* x, size_t k, size_t n, float* out, size_t ld) {
    for (size_t r = 0; r < rows; ++r)
        for (size_t j = 0; j < k; ++j) {
            float p[kLanes] = {};
            for (size_t i = 0; i < n; ++i) {
                const float term = y[r * n + i] * x[j * n + i];
                p[i % kLanes] = p[i % kLanes] + term;
            }
            out[j * ld + r] = fold_lanes(p);
        }
}

void k_quantize_sym_weighted(const float* v, const float* w, size_t len, size_t block, uint32_t bits, float* scales,
                             uint8_t* bytes) {
    quantize_sym_weighted<PlainOps>(v, w, len, block, bits, scales, bytes);
}

void k_quantize_asym_weighted(const float* v, const float* w, size_t len, size_t block, uint32_t bits,
                              const uint32_t* widths, float* scales, float* zero_points, uint8_t* bytes) {
    quantize_asym_weighted<PlainOps>(v, w, len, block, bits, widths, scales, zero_points, bytes);
}
