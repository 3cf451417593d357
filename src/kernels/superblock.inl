// The super-block kernels and the weighted block quantizers over S: the two
// loops of kernels/superblock_fit.hpp, with 16 candidates (or 16 lanes of a
// sum) in 16 / W vectors, and the decoders. Included by twin.inl, whose
// rules it follows; each result equals the plain statement of
// scalar_superblock.inl bit for bit. Uses S::to_float (int lanes to float).

constexpr size_t kLaneVectors = kLanes / W;
static_assert(kCandidates == kLanes, "one vector group serves both loops");

struct VecOps {
    using F = typename S::F;

    // Whole groups of 16 in vectors, the rest on the plain lanes.
    static Moments moments(const float* x, const float* w, size_t n) {
        F lo = S::set1(x[0]), hi = lo, sw[kLaneVectors], sx[kLaneVectors];
        for (size_t c = 0; c < kLaneVectors; ++c) sw[c] = sx[c] = S::set1(0.0f);
        size_t i = 0;
        for (; i + kLanes <= n; i += kLanes)
            for (size_t c = 0; c < kLaneVectors; ++c) {
                const F xv = S::load(x + i + c * W);
                lo = S::min(lo, xv);
                hi = S::max(hi, xv);
                const F wv = w ? S::load(w + i + c * W) : S::set1(1.0f);
                sw[c] = S::add(sw[c], wv);
                sx[c] = S::add(sx[c], w ? S::mul(wv, xv) : xv);
            }
        alignas(64) float pw[kLanes], px[kLanes];
        for (size_t c = 0; c < kLaneVectors; ++c) {
            S::store(pw + c * W, sw[c]);
            S::store(px + c * W, sx[c]);
        }
        float l = S::hmin(lo), h = S::hmax(hi);
        for (size_t j = 0; i < n; ++i, ++j) {
            l = x[i] < l ? x[i] : l;
            h = x[i] > h ? x[i] : h;
            pw[j] = pw[j] + (w ? w[i] : 1.0f);
            const float wx = w ? w[i] * x[i] : x[i];
            px[j] = px[j] + wx;
        }
        return {l, h, fold_lanes(pw), fold_lanes(px)};
    }

    // Every lane is one candidate's running sums, in element order.
    template <bool kWeighted>
    static VELMAR_INLINE void sums(const float* x, const float* w, size_t n, float lo, const float* iscale,
                                   int32_t qlo, int32_t qhi, CandidateSums& s) {
        F isc[kLaneVectors], sq[kLaneVectors], sqq[kLaneVectors], sqx[kLaneVectors];
        const F vlo = S::set1(static_cast<float>(qlo)), vhi = S::set1(static_cast<float>(qhi));
        for (size_t c = 0; c < kLaneVectors; ++c) {
            isc[c] = S::load(iscale + c * W);
            sq[c] = sqq[c] = sqx[c] = S::set1(0.0f);
        }
        for (size_t i = 0; i < n; ++i) {
            const float xl = x[i] - lo;
            const F vl = S::set1(xl), vx = S::set1(x[i]);
            for (size_t c = 0; c < kLaneVectors; ++c) {
                const F q = S::to_float(S::code(S::mul(vl, isc[c]), vlo, vhi));
                F wq = q;
                if constexpr (kWeighted) wq = S::mul(S::set1(w[i]), q);
                sq[c] = S::add(sq[c], wq);
                sqq[c] = S::add(sqq[c], S::mul(wq, q));
                sqx[c] = S::add(sqx[c], S::mul(wq, vx));
            }
        }
        for (size_t c = 0; c < kLaneVectors; ++c) {
            S::store(s.q + c * W, sq[c]);
            S::store(s.qq + c * W, sqq[c]);
            S::store(s.qx + c * W, sqx[c]);
        }
    }

    static void candidate_sums(const float* x, const float* w, size_t n, float lo, const float* iscale, int32_t qlo,
                               int32_t qhi, CandidateSums& s) {
        if (w)
            sums<true>(x, w, n, lo, iscale, qlo, qhi, s);
        else
            sums<false>(x, w, n, lo, iscale, qlo, qhi, s);
    }

    // Element 16g + cW + j is lane cW + j of vector c.
    static float codes_error(const float* x, const float* w, size_t n, SubScale s, float inv, int32_t qlo,
                             int32_t qhi, int32_t* codes) {
        F acc[kLaneVectors];
        for (F& a : acc) a = S::set1(0.0f);
        const F vinv = S::set1(inv), vd = S::set1(s.d), vm = S::set1(s.m);
        const F vlo = S::set1(static_cast<float>(qlo)), vhi = S::set1(static_cast<float>(qhi));
        for (size_t g = 0; g < n; g += kLanes) {
            for (size_t c = 0; c < kLaneVectors; ++c) {
                const size_t i = g + c * W;
                const F xv = S::load(x + i);
                const typename S::I qi = S::code(S::mul(S::add(xv, vm), vinv), vlo, vhi);
                S::store_i32(codes + i, qi);
                const F e = S::sub(S::sub(S::mul(vd, S::to_float(qi)), vm), xv);
                F t = S::mul(e, e);
                if (w) t = S::mul(S::load(w + i), t);
                acc[c] = S::add(acc[c], t);
            }
        }
        alignas(64) float p[kLanes];
        for (size_t c = 0; c < kLaneVectors; ++c) S::store(p + c * W, acc[c]);
        return fold_lanes(p);
    }
};

size_t k_quantize_super(uint32_t type, const float* v, const float* w, size_t nsb, uint8_t* out) {
    return quantize_supers<VecOps>(type, v, w, nsb, out);
}

void k_quantize_sym_weighted(const float* v, const float* w, size_t len, size_t block, uint32_t bits, float* scales,
                             uint8_t* bytes) {
    quantize_sym_weighted<VecOps>(v, w, len, block, bits, scales, bytes);
}

void k_quantize_asym_weighted(const float* v, const float* w, size_t len, size_t block, uint32_t bits,
                              const uint32_t* widths, float* scales, float* zero_points, uint8_t* bytes) {
    quantize_asym_weighted<VecOps>(v, w, len, block, bits, widths, scales, zero_points, bytes);
}

// ---- decoding ----

// Every code of a super-block, field by field in byte runs: each output byte
// from its input bytes in one pass, in byte arithmetic, so that the loops
// vectorize on bytes.
VELMAR_INLINE int8_t code_byte(unsigned v, unsigned offset) {
    return static_cast<int8_t>(static_cast<uint8_t>(v - offset));
}

VELMAR_INLINE void unpack_super(SuperType t, const uint8_t* b, int8_t* q) {
    switch (t) {
        case SuperType::Q2K:
            for (size_t h = 0; h < 2; ++h)
                for (size_t l = 0; l < 32; ++l) {
                    const unsigned v = b[16 + 32 * h + l];
                    q[128 * h + l] = code_byte(v & 3u, 0);
                    q[128 * h + 32 + l] = code_byte(v >> 2 & 3u, 0);
                    q[128 * h + 64 + l] = code_byte(v >> 4 & 3u, 0);
                    q[128 * h + 96 + l] = code_byte(v >> 6, 0);
                }
            return;
        case SuperType::Q3K:  // 2 low bits, and a high one of weight 4 from the mask bytes, less 4
            for (size_t h = 0; h < 2; ++h)
                for (size_t l = 0; l < 32; ++l) {
                    const unsigned lo = b[32 + 32 * h + l], m = b[l] >> (4 * h);
                    q[128 * h + l] = code_byte((lo & 3u) | (m & 1u) << 2, 4);
                    q[128 * h + 32 + l] = code_byte((lo >> 2 & 3u) | (m >> 1 & 1u) << 2, 4);
                    q[128 * h + 64 + l] = code_byte((lo >> 4 & 3u) | (m >> 2 & 1u) << 2, 4);
                    q[128 * h + 96 + l] = code_byte((lo >> 6) | (m >> 3 & 1u) << 2, 4);
                }
            return;
        case SuperType::Q4K:
            for (size_t j = 0; j < 4; ++j)
                for (size_t l = 0; l < 32; ++l) {
                    q[64 * j + l] = static_cast<int8_t>(b[16 + 32 * j + l] & 15);
                    q[64 * j + 32 + l] = static_cast<int8_t>(b[16 + 32 * j + l] >> 4);
                }
            return;
        case SuperType::Q5K:  // bit 2j (low nibbles) or 2j + 1 (high) of byte l of the high bits
            for (size_t j = 0; j < 4; ++j)
                for (size_t l = 0; l < 32; ++l) {
                    const unsigned v = b[48 + 32 * j + l], hb = b[16 + l];
                    q[64 * j + l] = code_byte((v & 15u) | (hb >> (2 * j) & 1u) << 4, 0);
                    q[64 * j + 32 + l] = code_byte((v >> 4) | (hb >> (2 * j + 1) & 1u) << 4, 0);
                }
            return;
        case SuperType::Q6K:  // 4 low bits, 2 high ones from byte 128 + 32h + l, less 32
            for (size_t h = 0; h < 2; ++h)
                for (size_t l = 0; l < 32; ++l) {
                    const unsigned a = b[64 * h + l], c = b[64 * h + 32 + l], e = b[128 + 32 * h + l];
                    q[128 * h + l] = code_byte((a & 15u) | (e & 3u) << 4, 32);
                    q[128 * h + 32 + l] = code_byte((c & 15u) | (e >> 2 & 3u) << 4, 32);
                    q[128 * h + 64 + l] = code_byte((a >> 4) | (e >> 4 & 3u) << 4, 32);
                    q[128 * h + 96 + l] = code_byte((c >> 4) | (e >> 6) << 4, 32);
                }
            return;
    }
}

// Every value of nsb super-blocks of type T: one body per type, as for the
// dots below, each sub-block's D and M worked out once.
template <SuperType T>
VELMAR_INLINE void dequant_supers(const uint8_t* bytes, size_t nsb, float* out) {
    constexpr SuperFormat kFmt = kSuperFormats[static_cast<uint32_t>(T)];
    alignas(64) int8_t q[kSuperLen];
    for (size_t b = 0; b < nsb; ++b) {
        const uint8_t* blk = bytes + b * kFmt.bytes;
        unpack_super(T, blk, q);
        const SuperHalves h = halves_at(T, blk);
        const float d = f32_from_f16_bits(h.d), dmin = f32_from_f16_bits(h.dmin);
        for (size_t k = 0; k < kSuperLen / kFmt.sub; ++k) {
            const SubScale sc = sub_scale(d, dmin, sub_ints(T, blk, k));
            const typename S::F vd = S::set1(sc.d), vm = S::set1(sc.m);
            for (size_t i = k * kFmt.sub; i < (k + 1) * kFmt.sub; i += W)
                S::store(out + b * kSuperLen + i,
                         S::sub(S::mul(vd, S::load_i8(reinterpret_cast<const uint8_t*>(q + i))), vm));
        }
    }
}

void k_dequant_super(uint32_t type, const uint8_t* bytes, size_t nsb, float* out) {
    switch (static_cast<SuperType>(type)) {
        case SuperType::Q2K: return dequant_supers<SuperType::Q2K>(bytes, nsb, out);
        case SuperType::Q3K: return dequant_supers<SuperType::Q3K>(bytes, nsb, out);
        case SuperType::Q4K: return dequant_supers<SuperType::Q4K>(bytes, nsb, out);
        case SuperType::Q5K: return dequant_supers<SuperType::Q5K>(bytes, nsb, out);
        case SuperType::Q6K: return dequant_supers<SuperType::Q6K>(bytes, nsb, out);
    }
}


// The dots of R rows, row_bytes apart, with x: vector c of each 16 values of
// a row adds into that row's accumulator c, lane i % 16 throughout. Rows side
// by side, because a row's sums form a chain of dependent adds and several
// rows' chains overlap (with one vector of lanes per row, 4 of them). One body
// per type, so that its fields are constants, and each sub-block's D and M
// worked out once rather than once per group of 16.
constexpr size_t kSuperRows = kLaneVectors >= 4 ? 1 : 4 / kLaneVectors;

template <SuperType T, size_t R>
VELMAR_INLINE void super_dots(const uint8_t* bytes, size_t row_bytes, const float* x, size_t nsb, float* out) {
    constexpr SuperFormat kFmt = kSuperFormats[static_cast<uint32_t>(T)];
    constexpr size_t kSubs = kSuperLen / kFmt.sub;
    typename S::F acc[R][kLaneVectors];
    for (auto& row : acc)
        for (auto& a : row) a = S::set1(0.0f);
    alignas(64) int8_t q[R][kSuperLen];
    float sd[R][kSubs], sm[R][kSubs];
    for (size_t b = 0; b < nsb; ++b) {
        for (size_t j = 0; j < R; ++j) {
            const uint8_t* blk = bytes + j * row_bytes + b * kFmt.bytes;
            unpack_super(T, blk, q[j]);
            const SuperHalves h = halves_at(T, blk);
            const float d = f32_from_f16_bits(h.d), dmin = f32_from_f16_bits(h.dmin);
            for (size_t k = 0; k < kSubs; ++k) {
                const SubScale sc = sub_scale(d, dmin, sub_ints(T, blk, k));
                sd[j][k] = sc.d;
                sm[j][k] = sc.m;
            }
        }
        for (size_t g = 0; g < kGroups; ++g) {
            const size_t k = g * kGroupLen / kFmt.sub;
            for (size_t c = 0; c < kLaneVectors; ++c) {
                const size_t i = g * kGroupLen + c * W;
                const typename S::F xv = S::load(x + b * kSuperLen + i);
                for (size_t j = 0; j < R; ++j) {
                    const typename S::F y = S::sub(
                        S::mul(S::set1(sd[j][k]), S::load_i8(reinterpret_cast<const uint8_t*>(q[j] + i))),
                        S::set1(sm[j][k]));
                    acc[j][c] = S::add(acc[j][c], S::mul(y, xv));
                }
            }
        }
    }
    for (size_t j = 0; j < R; ++j) {
        alignas(64) float p[kLanes];
        for (size_t c = 0; c < kLaneVectors; ++c) S::store(p + c * W, acc[j][c]);
        out[j] = fold_lanes(p);
    }
}

template <SuperType T>
void rows_dot_super_of(const uint8_t* bytes, size_t rows, const float* x, size_t nsb, float* out) {
    const size_t row_bytes = nsb * kSuperFormats[static_cast<uint32_t>(T)].bytes;
    size_t r = 0;
    for (; r + kSuperRows <= rows; r += kSuperRows)
        super_dots<T, kSuperRows>(bytes + r * row_bytes, row_bytes, x, nsb, out + r);
    for (; r < rows; ++r) super_dots<T, 1>(bytes + r * row_bytes, row_bytes, x, nsb, out + r);
}

void k_rows_dot_super(uint32_t type, const uint8_t* bytes, size_t rows, const float* x, size_t nsb, float* out) {
    switch (static_cast<SuperType>(type)) {
        case SuperType::Q2K: return rows_dot_super_of<SuperType::Q2K>(bytes, rows, x, nsb, out);
        case SuperType::Q3K: return rows_dot_super_of<SuperType::Q3K>(bytes, rows, x, nsb, out);
        case SuperType::Q4K: return rows_dot_super_of<SuperType::Q4K>(bytes, rows, x, nsb, out);
        case SuperType::Q5K: return rows_dot_super_of<SuperType::Q5K>(bytes, rows, x, nsb, out);
        case SuperType::Q6K: return rows_dot_super_of<SuperType::Q6K>(bytes, rows, x, nsb, out);
    }
}

float k_dot_super(uint32_t type, const uint8_t* bytes, const float* x, size_t nsb) {
    float out = 0.0f;
    k_rows_dot_super(type, bytes, 1, x, nsb, &out);
    return out;
}

// Rows of y against vectors of x, a tile of R rows x M vectors at a time
// (R * M * kLaneVectors chains, enough to hide the adds' latency and few
// enough to stay in registers), a chunk of kDotCols columns at a time so that
// the tile's rows stay in L1 while every vector passes them: read whole,
// each vector was fetched again from L2 for every row. Each sum keeps its
// lanes' column order, so a chunk carries its partial sums to the next.
constexpr size_t kDotVecs = 2;
constexpr size_t kDotChains = W >= 16 ? 16 : 8;  // accumulators a level keeps in registers
constexpr size_t kDotRows = kDotChains / (kLaneVectors * kDotVecs) > 0 ? kDotChains / (kLaneVectors * kDotVecs) : 1;
constexpr size_t kDotCols = 512;
constexpr size_t kDotBlock = 8;  // rows whose partial sums are kept at once
constexpr size_t kDotGroup = 16;  // vectors whose partial sums are kept at once
static_assert(kDotCols % kLanes == 0, "chunks of whole lane groups");

template <size_t R, size_t M>
VELMAR_INLINE void dot_tile(const float* y, const float* x, size_t n, size_t cols, float* sums) {
    typename S::F acc[R][M][kLaneVectors];
    for (size_t i = 0; i < R; ++i)
        for (size_t v = 0; v < M; ++v)
            for (size_t c = 0; c < kLaneVectors; ++c) acc[i][v][c] = S::load(sums + (i * kDotGroup + v) * kLanes + c * W);
    for (size_t t = 0; t < cols; t += kLanes)
        for (size_t c = 0; c < kLaneVectors; ++c) {
            typename S::F xv[M];
            for (size_t v = 0; v < M; ++v) xv[v] = S::load(x + v * n + t + c * W);
            for (size_t i = 0; i < R; ++i) {
                const typename S::F yv = S::load(y + i * n + t + c * W);
                for (size_t v = 0; v < M; ++v) acc[i][v][c] = S::add(acc[i][v][c], S::mul(yv, xv[v]));
            }
        }
    for (size_t i = 0; i < R; ++i)
        for (size_t v = 0; v < M; ++v)
            for (size_t c = 0; c < kLaneVectors; ++c) S::store(sums + (i * kDotGroup + v) * kLanes + c * W, acc[i][v][c]);
}

// Rows [0, rows) (rows <= kDotBlock) with vectors [0, k) (k <= kDotGroup):
// a chunk of the rows' columns stays in L1 while each pair of vectors passes
// every tile of them, so a vector is read once per block of rows.
VELMAR_INLINE void dot_block(const float* y, size_t rows, const float* x, size_t k, size_t n, float* out, size_t ld) {
    alignas(64) float sums[kDotBlock * kDotGroup * kLanes];
    for (size_t i = 0; i < rows * kDotGroup * kLanes; ++i) sums[i] = 0.0f;
    const size_t whole = n / kLanes * kLanes;
    for (size_t c0 = 0; c0 < whole; c0 += kDotCols) {
        const size_t cols = min_size(kDotCols, whole - c0);
        const auto tiles = [&]<size_t M>(size_t v) VELMAR_LAMBDA {
            size_t i = 0;
            for (; i + kDotRows <= rows; i += kDotRows)
                dot_tile<kDotRows, M>(y + i * n + c0, x + v * n + c0, n, cols, sums + (i * kDotGroup + v) * kLanes);
            for (; i < rows; ++i) dot_tile<1, M>(y + i * n + c0, x + v * n + c0, n, cols, sums + (i * kDotGroup + v) * kLanes);
        };
        size_t v = 0;
        for (; v + kDotVecs <= k; v += kDotVecs) tiles.template operator()<kDotVecs>(v);
        for (; v < k; ++v) tiles.template operator()<1>(v);
    }
    for (size_t i = 0; i < rows; ++i)
        for (size_t v = 0; v < k; ++v) {
            float* const p = sums + (i * kDotGroup + v) * kLanes;
            for (size_t t = whole, l = 0; t < n; ++t, ++l) {
                const float term = y[i * n + t] * x[v * n + t];
                p[l] = p[l] + term;
            }
            out[v * ld + i] = fold_lanes(p);
        }
}

void k_dot_lanes(const float* y, size_t rows, const float* x, size_t k, size_t n, float* out, size_t ld) {
    for (size_t g = 0; g < k; g += kDotGroup)
        for (size_t i = 0; i < rows; i += kDotBlock)
            dot_block(y + i * n, min_size(kDotBlock, rows - i), x + g * n, min_size(kDotGroup, k - g), n,
                      out + g * ld + i, ld);
}
