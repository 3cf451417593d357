// Kernel bodies written once over a small vector interface S and compiled per
// instruction set. Include inside an anonymous namespace after defining S:
// everything here must get internal linkage, and only builtins, intrinsics and
// the rules of shared/rules.hpp and kernels/reduce.hpp may be used (no std
// templates), so that no code built for a wider level can be shared with a
// narrower one through the linker. Every scalar step (a tail, a lone code) is
// the rule itself; each vector step equals it bit for bit.
//
// S provides W lanes and: load, store, set1, add, sub, mul, max, min, abs,
// isnan/mor/mnone/any masks, hmax, hmin, code (clamp, round half away from
// zero, NaN -> 0), store_i32, store_i8 (W bytes), store_i8x4 (4W bytes from
// four vectors), store_i4 (W/2 bytes), with kIntAbsMax abs_bits/max_u32/hmax_u32,
// load_i8, load_i4, load_i32 (to floats), transpose (W rows in place), and
// widen_f16/narrow_f16 with a kHasF16 flag.

constexpr size_t W = S::W;
constexpr size_t kChunk = 64;  // staging size; a multiple of every W
static_assert(kChunk % W == 0 && W % 2 == 0 && 16 % W == 0, "lane count");

const float kQNaN = __builtin_nanf("");
const float kInf = __builtin_inff();

#define VELMAR_INLINE inline __attribute__((always_inline))

// Streaming kernels compute about as long per element as the memory bus takes
// to deliver it, and the hardware prefetcher alone leaves the two in series.
// Asking for elements [from, to) of p kAhead elements early lets them overlap.
constexpr size_t kAhead = 2048;  // 8192 measured alike
template <class T>
VELMAR_INLINE void prefetch(const T* p, size_t from, size_t to, size_t len) {
    constexpr size_t kLine = 64 / sizeof(T);
    for (size_t i = from + kAhead; i < to + kAhead && i < len; i += kLine) __builtin_prefetch(p + i);
}

// ---- bit streams ----

// Codes first..first+n of a stream; eight codes fill exactly `bits` bytes, so
// whole groups move as one little-endian word.
void unpack_range(const uint8_t* base, uint32_t bits, size_t first, size_t n, int32_t* out) {
    size_t i = first;
    const size_t end = first + n;
    for (; i < end && i % 8 != 0; ++i) *out++ = code_at(base, i, bits);
    for (; i + 8 <= end; i += 8) {
        unsigned __int128 acc = 0;
        __builtin_memcpy(&acc, base + i / 8 * bits, bits);
        for (uint32_t k = 0; k < 8; ++k) *out++ = sign_extend(static_cast<uint32_t>(acc >> (k * bits)), bits);
    }
    for (; i < end; ++i) *out++ = code_at(base, i, bits);
}

// ORs codes first..first+n into a zero-filled stream.
void pack_range(uint8_t* base, uint32_t bits, size_t first, size_t n, const int32_t* codes) {
    size_t i = first;
    const size_t end = first + n;
    for (; i < end && i % 8 != 0; ++i) put_code(base, i, bits, *codes++);
    const uint32_t mask = (1u << bits) - 1u;
    for (; i + 8 <= end; i += 8) {
        unsigned __int128 acc = 0;
        for (uint32_t k = 0; k < 8; ++k)
            acc |= static_cast<unsigned __int128>(static_cast<uint32_t>(codes[k]) & mask) << (k * bits);
        codes += 8;
        __builtin_memcpy(base + i / 8 * bits, &acc, bits);  // these bytes belong to the group alone
    }
    for (; i < end; ++i) put_code(base, i, bits, *codes++);
}

// ---- reductions ----

VELMAR_INLINE float absmax_of(const float* v, size_t n) {
    const size_t head = head_of(n, kAbsmaxGroup);
    float h = 0.0f;
    if constexpr (S::kIntAbsMax) {
        // Magnitude bit patterns order like the magnitudes, and every NaN
        // pattern lies above infinity's: one integer maximum finds both.
        if (head != 0) {
            typename S::I acc = S::abs_bits(S::load(v));
            for (size_t i = W; i < head; i += W) acc = S::max_u32(acc, S::abs_bits(S::load(v + i)));
            const uint32_t m = S::hmax_u32(acc);
            h = m > 0x7F800000u ? kQNaN : __builtin_bit_cast(float, m);
        }
    } else if (head != 0) {
        typename S::F acc = S::set1(0.0f);
        typename S::M nan = S::mnone();
        for (size_t i = 0; i < head; i += W) {
            const typename S::F x = S::load(v + i);
            nan = S::mor(nan, S::isnan(x));
            acc = S::max(acc, S::abs(x));
        }
        h = S::any(nan) ? kQNaN : S::hmax(acc);
    }
    return absmax_fold(v, head, n, h);
}

float k_absmax(const float* v, size_t n) { return absmax_of(v, n); }

VELMAR_INLINE MinMax min_max_of(const float* v, size_t n) {
    const size_t head = head_of(n, kMinMaxGroup);
    MinMax m{kInf, -kInf};
    size_t i = 0;
    if (head >= W) {
        typename S::F vlo = S::set1(kInf);
        typename S::F vhi = S::set1(-kInf);
        typename S::M nan = S::mnone();
        for (; i + W <= head; i += W) {
            const typename S::F x = S::load(v + i);
            nan = S::mor(nan, S::isnan(x));
            vlo = S::min(vlo, x);
            vhi = S::max(vhi, x);
        }
        m = S::any(nan) ? MinMax{kQNaN, kQNaN} : MinMax{S::hmin(vlo), S::hmax(vhi)};
    }
    return min_max_fold(v, i, n, m);
}

void k_min_max(const float* v, size_t n, float* lo, float* hi) {
    const MinMax m = min_max_of(v, n);
    *lo = m.lo;
    *hi = m.hi;
}

// ---- code writers for one block: u = x * inv (+ zero point) ----

// Everything by value: a byte store may alias any reference, so parameters
// read through one would be reloaded after every store.
template <bool kAsym>
struct Coder {
    float inv, zero_point, qmin, qmax;
    uint32_t bits;
    typename S::F vinv, vzp, vqmin, vqmax;

    VELMAR_INLINE Coder(float inv_, float zero_point_, uint32_t bits_)
        : inv(inv_), zero_point(zero_point_), qmin(static_cast<float>(code_min(bits_))),
          qmax(static_cast<float>(code_max(bits_))), bits(bits_), vinv(S::set1(inv_)), vzp(S::set1(zero_point_)),
          vqmin(S::set1(qmin)), vqmax(S::set1(qmax)) {}

    VELMAR_INLINE typename S::I vec(typename S::F x) const {
        typename S::F u = S::mul(x, vinv);
        if constexpr (kAsym) u = S::add(u, vzp);
        return S::code(u, vqmin, vqmax);
    }
    VELMAR_INLINE int32_t one(float x) const {
        if constexpr (kAsym)
            return asym_code(x, inv, zero_point, static_cast<int32_t>(qmin), static_cast<int32_t>(qmax));
        else
            return sym_code(x, inv, qmin, qmax);
    }
};

// Writes the n codes of x as stream codes first..first+n of base; kClass is
// the width for 4 and 8, 0 for every other width.
template <uint32_t kClass, bool kAsym>
VELMAR_INLINE void write_codes(const float* x, size_t n, const Coder<kAsym> c, uint8_t* base, size_t first) {
    size_t j = 0;
    if constexpr (kClass == 8) {
        uint8_t* out = base + first;
        for (; j + 4 * W <= n; j += 4 * W)
            S::store_i8x4(out + j, c.vec(S::load(x + j)), c.vec(S::load(x + j + W)), c.vec(S::load(x + j + 2 * W)),
                          c.vec(S::load(x + j + 3 * W)));
        for (; j + W <= n; j += W) S::store_i8(out + j, c.vec(S::load(x + j)));
        for (; j < n; ++j) out[j] = static_cast<uint8_t>(c.one(x[j]));
    } else if constexpr (kClass == 4) {
        // The vector step needs its first code in a low nibble.
        if (first % 2 != 0 && n != 0) {
            put_code(base, first, 4, c.one(x[0]));
            j = 1;
        }
        for (; j + W <= n; j += W) S::store_i4(base + (first + j) / 2, c.vec(S::load(x + j)));
        for (; j < n; ++j) put_code(base, first + j, 4, c.one(x[j]));
    } else {
        alignas(64) int32_t tmp[kChunk];
        while (j < n) {
            const size_t m = min_size(kChunk, n - j);
            size_t k = 0;
            for (; k + W <= m; k += W) S::store_i32(tmp + k, c.vec(S::load(x + j + k)));
            for (; k < m; ++k) tmp[k] = c.one(x[j + k]);
            pack_range(base, c.bits, first + j, m, tmp);
            j += m;
        }
    }
}

// Blocks are independent: a group of them has its ranges reduced first and
// its divisions done together, so that no block waits on the previous one's
// division chain.
constexpr size_t kGroup = 8;

template <uint32_t kClass>
void sym_blocks(const float* v, size_t len, size_t block, uint32_t bits, float* scales, uint8_t* bytes) {
    const float qmax = static_cast<float>(code_max(bits));
    const size_t full = len / block;
    size_t b = 0;
    for (; b + kGroup <= full; b += kGroup) {
        if (block <= kAhead / kGroup) prefetch(v, b * block, (b + kGroup) * block, len);
        float scale[kGroup], inv[kGroup];
        for (size_t k = 0; k < kGroup; ++k) scale[k] = sym_scale(absmax_of(v + (b + k) * block, block), qmax);
        for (size_t k = 0; k < kGroup; ++k) inv[k] = 1.0f / scale[k];
        for (size_t k = 0; k < kGroup; ++k) {
            const size_t start = (b + k) * block;
            write_codes<kClass>(v + start, block, Coder<false>(inv[k], 0.0f, bits), bytes, start);
            scales[b + k] = scale[k];
        }
    }
    for_each_block(len, block, [&](size_t bi, size_t first, size_t n) {
        const float scale = sym_scale(absmax_of(v + first, n), qmax);
        write_codes<kClass>(v + first, n, Coder<false>(1.0f / scale, 0.0f, bits), bytes, first);
        scales[bi] = scale;
    }, b);
}

void k_quantize_sym(const float* v, size_t len, size_t block, uint32_t bits, float* scales, uint8_t* bytes) {
    if (bits == 8) return sym_blocks<8>(v, len, block, bits, scales, bytes);
    if (bits == 4) return sym_blocks<4>(v, len, block, bits, scales, bytes);
    sym_blocks<0>(v, len, block, bits, scales, bytes);
}

void k_asym_codes(const float* v, size_t n, float inv, float zero_point, uint32_t bits, int32_t* codes) {
    const Coder<true> c(inv, zero_point, bits);
    size_t j = 0;
    for (; j + W <= n; j += W) S::store_i32(codes + j, c.vec(S::load(v + j)));
    for (; j < n; ++j) codes[j] = c.one(v[j]);
}

VELMAR_INLINE AsymParams block_params(const float* v, size_t n, uint32_t bits) {
    const MinMax m = min_max_of(v, n);
    return asym_params(m.lo, m.hi, bits);
}

template <uint32_t kClass>
VELMAR_INLINE void asym_block(const float* x, size_t n, const AsymParams p, uint32_t bits, uint8_t* base,
                              size_t first) {
    write_codes<kClass>(x, n, Coder<true>(p.inv, p.zero_point, bits), base, first);
}

// One bit stream of fixed width, blocks grouped as in sym_blocks.
template <uint32_t kClass>
void asym_blocks(const float* v, size_t len, size_t block, uint32_t bits, float* scales, float* zero_points,
                 uint8_t* bytes) {
    const size_t full = len / block;
    size_t b = 0;
    for (; b + kGroup <= full; b += kGroup) {
        if (block <= kAhead / kGroup) prefetch(v, b * block, (b + kGroup) * block, len);
        AsymParams p[kGroup];
        for (size_t k = 0; k < kGroup; ++k) p[k] = block_params(v + (b + k) * block, block, bits);
        for (size_t k = 0; k < kGroup; ++k) {
            const size_t start = (b + k) * block;
            asym_block<kClass>(v + start, block, p[k], bits, bytes, start);
            scales[b + k] = p[k].scale;
            zero_points[b + k] = p[k].zero_point;
        }
    }
    for_each_block(len, block, [&](size_t bi, size_t first, size_t n) {
        const AsymParams p = block_params(v + first, n, bits);
        asym_block<kClass>(v + first, n, p, bits, bytes, first);
        scales[bi] = p.scale;
        zero_points[bi] = p.zero_point;
    }, b);
}

// Adaptive: every block in its own byte run at its own width.
void adaptive_blocks(const float* v, size_t len, size_t block, const uint32_t* widths, float* scales,
                     float* zero_points, uint8_t* bytes) {
    for_each_run(len, block, widths, [&](size_t b, size_t first, size_t n, size_t pos, size_t) {
        const uint32_t w = widths[b];
        const AsymParams p = block_params(v + first, n, w);
        if (w == 8) {
            asym_block<8>(v + first, n, p, w, bytes + pos, 0);
        } else if (w == 4) {
            asym_block<4>(v + first, n, p, w, bytes + pos, 0);
        } else {
            asym_block<0>(v + first, n, p, w, bytes + pos, 0);
        }
        scales[b] = p.scale;
        zero_points[b] = p.zero_point;
    });
}

void k_quantize_asym(const float* v, size_t len, size_t block, uint32_t bits, const uint32_t* widths, float* scales,
                     float* zero_points, uint8_t* bytes) {
    if (widths) return adaptive_blocks(v, len, block, widths, scales, zero_points, bytes);
    if (bits == 8) return asym_blocks<8>(v, len, block, bits, scales, zero_points, bytes);
    if (bits == 4) return asym_blocks<4>(v, len, block, bits, scales, zero_points, bytes);
    asym_blocks<0>(v, len, block, bits, scales, zero_points, bytes);
}

void k_adaptive_widths(const float* v, size_t len, size_t block, float tolerance, uint32_t* widths) {
    for_each_block(len, block, [&](size_t b, size_t first, size_t n) {
        const MinMax m = min_max_of(v + first, n);
        widths[b] = velmar::choose_bits(m.hi - m.lo, tolerance);
    });
}

// ---- decoding ----

void k_unpack(const uint8_t* bytes, uint32_t bits, size_t count, int32_t* out) {
    if (bits == 8) {
        for (size_t i = 0; i < count; ++i) out[i] = code_at(bytes, i, 8);
    } else if (bits == 4) {
        for (size_t i = 0; i < count; ++i) out[i] = code_at(bytes, i, 4);
    } else {
        unpack_range(bytes, bits, 0, count, out);
    }
}

// Feeds f(j, codes as floats) for vectors of W codes and g(j, code) for the
// rest, over codes first..first+n of a stream of `bits`.
template <class FV, class FS>
inline void walk_codes(const uint8_t* base, uint32_t bits, size_t first, size_t n, FV&& f, FS&& g) {
    size_t j = 0;
    if (bits == 8) {
        for (; j + W <= n; j += W) f(j, S::load_i8(base + first + j));
        for (; j < n; ++j) g(j, code_at(base, first + j, 8));
    } else if (bits == 4) {
        if (first % 2 != 0 && n != 0) {
            g(0, code_at(base, first, 4));
            j = 1;
        }
        for (; j + W <= n; j += W) f(j, S::load_i4(base + (first + j) / 2));
        for (; j < n; ++j) g(j, code_at(base, first + j, 4));
    } else {
        alignas(64) int32_t tmp[kChunk];
        while (j < n) {
            const size_t m = min_size(kChunk, n - j);
            unpack_range(base, bits, first + j, m, tmp);
            size_t k = 0;
            for (; k + W <= m; k += W) f(j + k, S::load_i32(tmp + k));
            for (; k < m; ++k) g(j + k, tmp[k]);
            j += m;
        }
    }
}

void k_dequant_sym(const float* scales, const uint8_t* bytes, uint32_t bits, size_t block, size_t count,
                   float* out) {
    for_each_block(count, block, [&](size_t b, size_t first, size_t n) {
        const float s = scales[b];
        const typename S::F vs = S::set1(s);
        float* o = out + first;
        walk_codes(
            bytes, bits, first, n, [&](size_t j, typename S::F q) { S::store(o + j, S::mul(q, vs)); },
            [&](size_t j, int32_t q) { o[j] = sym_value(q, s); });
    });
}

void k_dequant_asym(const float* scales, const float* zero_points, const uint8_t* bytes, uint32_t bits,
                    const uint32_t* widths, size_t block, size_t count, float* out) {
    for_each_block_codes(bytes, bits, widths, count, block,
                         [&](size_t b, size_t first, size_t n, const uint8_t* base, uint32_t w, size_t at) {
                             const float s = scales[b];
                             const float z = zero_points[b];
                             const typename S::F vs = S::set1(s);
                             const typename S::F vz = S::set1(z);
                             float* o = out + first;
                             walk_codes(
                                 base, w, at, n,
                                 [&](size_t j, typename S::F q) { S::store(o + j, S::mul(vs, S::sub(q, vz))); },
                                 [&](size_t j, int32_t q) { o[j] = asym_value(q, s, z); });
                         });
}

// ---- dot products ----

// Lane k of the result is the sequential sum over j of row k's products, for W
// rows of `block` elements starting `block` apart: blocks run in lanes, each
// block's own sum stays in element order. prod(k, j0) gives row k's products
// j0..j0+W-1 as a vector; prod1(k, j) one product.
template <class PV, class PS>
inline typename S::F lane_sums(size_t block, PV&& prod, PS&& prod1) {
    typename S::F acc = S::set1(0.0f);
    size_t j0 = 0;
    for (; j0 + W <= block; j0 += W) {
        typename S::F rows[W];
        for (size_t k = 0; k < W; ++k) rows[k] = prod(k, j0);
        S::transpose(rows);
        for (size_t j = 0; j < W; ++j) acc = S::add(acc, rows[j]);
    }
    alignas(64) float col[W];
    for (; j0 < block; ++j0) {
        for (size_t k = 0; k < W; ++k) col[k] = prod1(k, j0);
        acc = S::add(acc, S::load(col));
    }
    return acc;
}

float k_dot_i8(const float* scales, const uint8_t* bytes, size_t block, const float* x, size_t n) {
    float total = 0.0f;
    const size_t full = n / block;
    size_t b = 0;
    for (; b + W <= full; b += W) {
        if (block <= kAhead / W) {
            prefetch(x, b * block, (b + W) * block, n);
            prefetch(bytes, b * block, (b + W) * block, n);
        }
        const float* xb = x + b * block;
        const uint8_t* qb = bytes + b * block;
        const typename S::F acc = lane_sums(
            block,
            [&](size_t k, size_t j0) {
                return S::mul(S::load(xb + k * block + j0), S::load_i8(qb + k * block + j0));
            },
            [&](size_t k, size_t j) {
                return xb[k * block + j] * static_cast<float>(code_at(qb, k * block + j, 8));
            });
        alignas(64) float partial[W];
        S::store(partial, acc);
        for (size_t k = 0; k < W; ++k) {
            const float p = partial[k] * scales[b + k];
            total = total + p;
        }
    }
    for_each_block(n, block, [&](size_t bi, size_t first, size_t m) {
        const float p = i8_block_sum(x + first, bytes + first, m) * scales[bi];
        total = total + p;
    }, b);
    return total;
}

// The single running sum: products are staged a chunk at a time, then added
// one by one, so only the additions stay serial.
inline float add_all(float acc, const float* p, size_t m) {
    for (size_t k = 0; k < m; ++k) acc = acc + p[k];
    return acc;
}

// Out of line: inlined into both walks of dot_asym_blocks (one stream, and
// adaptive runs) it makes those dot products about a sixth slower.
template <class FV, class FS>
__attribute__((noinline)) float chained(const uint8_t* base, uint32_t bits, size_t first, size_t n, float acc, FV&& term,
                     FS&& term1) {
    alignas(64) float stage[kChunk];
    for (size_t j = 0; j < n;) {
        const size_t m = min_size(kChunk, n - j);
        walk_codes(
            base, bits, first + j, m, [&](size_t k, typename S::F q) { S::store(stage + k, term(j + k, q)); },
            [&](size_t k, int32_t q) { stage[k] = term1(j + k, q); });
        acc = add_all(acc, stage, m);
        j += m;
    }
    return acc;
}

float k_dot_sym(const float* scales, const uint8_t* bytes, uint32_t bits, size_t block, const float* x, size_t n) {
    float acc = 0.0f;
    for_each_block(n, block, [&](size_t b, size_t first, size_t m) {
        const float s = scales[b];
        const typename S::F vs = S::set1(s);
        const float* xb = x + first;
        acc = chained(
            bytes, bits, first, m, acc,
            [&](size_t j, typename S::F q) { return S::mul(S::mul(vs, q), S::load(xb + j)); },
            [&](size_t j, int32_t q) { return sym_value(q, s) * xb[j]; });
    });
    return acc;
}

float dot_asym_blocks(const float* scales, const float* zero_points, const uint8_t* bytes, uint32_t bits,
                      const uint32_t* widths, size_t block, const float* x, size_t n, float acc) {
    const bool adaptive = widths != nullptr;
    for_each_block_codes(bytes, bits, widths, n, block,
                         [&](size_t b, size_t first, size_t m, const uint8_t* base, uint32_t w, size_t at) {
                             const float s = scales[b];
                             const float z = zero_points[b];
                             const typename S::F vs = S::set1(s);
                             const typename S::F vz = S::set1(z);
                             const float* xb = x + first;
                             const auto vec = [&](size_t j, typename S::F q) {
                                 const typename S::F d = S::mul(vs, S::sub(q, vz));
                                 return adaptive ? S::mul(d, S::load(xb + j)) : S::mul(S::load(xb + j), d);
                             };
                             const auto one = [&](size_t j, int32_t q) {
                                 return asym_term(asym_value(q, s, z), xb[j], adaptive);
                             };
                             acc = chained(base, w, at, m, acc, vec, one);
                         });
    return acc;
}

float k_dot_asym(const float* scales, const float* zero_points, const uint8_t* bytes, uint32_t bits, size_t block,
                 const float* x, size_t n) {
    return dot_asym_blocks(scales, zero_points, bytes, bits, nullptr, block, x, n, 0.0f);
}

float k_dot_adaptive(const float* scales, const float* zero_points, const uint8_t* data, const uint32_t* widths,
                     size_t block, const float* x, size_t n) {
    return dot_asym_blocks(scales, zero_points, data, 0, widths, block, x, n, -0.0f);
}

// ---- least-squares fit ----

void k_fit_blocks(const float* v, const int32_t* codes, size_t len, size_t block, float* scales,
                  float* zero_points) {
    const size_t full = len / block;
    size_t b = 0;
    for (; b + W <= full; b += W) {
        if (block <= kAhead / W) {
            prefetch(v, b * block, (b + W) * block, len);
            prefetch(codes, b * block, (b + W) * block, len);
        }
        const float* xb = v + b * block;
        const int32_t* qb = codes + b * block;
        typename S::F sq = S::set1(0.0f), sx = sq, sqq = sq, sxq = sq;
        const auto step = [&](typename S::F q, typename S::F x) {
            sq = S::add(sq, q);
            sx = S::add(sx, x);
            sqq = S::add(sqq, S::mul(q, q));
            sxq = S::add(sxq, S::mul(x, q));
        };
        size_t j0 = 0;
        for (; j0 + W <= block; j0 += W) {
            typename S::F xr[W], qr[W];
            for (size_t k = 0; k < W; ++k) {
                xr[k] = S::load(xb + k * block + j0);
                qr[k] = S::load_i32(qb + k * block + j0);
            }
            S::transpose(xr);
            S::transpose(qr);
            for (size_t j = 0; j < W; ++j) step(qr[j], xr[j]);
        }
        alignas(64) float xc[W], qc[W];
        for (; j0 < block; ++j0) {
            for (size_t k = 0; k < W; ++k) {
                xc[k] = xb[k * block + j0];
                qc[k] = static_cast<float>(qb[k * block + j0]);
            }
            step(S::load(qc), S::load(xc));
        }
        alignas(64) float a[W], c[W], d[W], e[W];
        S::store(a, sq);
        S::store(c, sx);
        S::store(d, sqq);
        S::store(e, sxq);
        for (size_t k = 0; k < W; ++k) {
            const Fit f = fit_finish(a[k], c[k], d[k], e[k], block);
            scales[b + k] = f.scale;
            zero_points[b + k] = f.zero_point;
        }
    }
    for_each_block(len, block, [&](size_t bi, size_t first, size_t n) {
        const Fit f = fit_run(v + first, codes + first, n, n);
        scales[bi] = f.scale;
        zero_points[bi] = f.zero_point;
    }, b);
}

// ---- half-precision scales ----

void k_widen_f16(const uint16_t* in, size_t n, float* out) {
    size_t i = 0;
    if constexpr (S::kHasF16)
        for (; i + W <= n; i += W) S::widen_f16(in + i, out + i);
    for (; i < n; ++i) out[i] = velmar::f32_from_f16_bits(in[i]);
}

void k_narrow_f16(const float* in, size_t n, uint16_t* out) {
    size_t i = 0;
    if constexpr (S::kHasF16)
        for (; i + W <= n; i += W) S::narrow_f16(in + i, out + i);
    for (; i < n; ++i) out[i] = velmar::f16_bits_from_f32(in[i]);
}

#include "kernels/rows.inl"

const Kernels kTable = {
    S::kLevel,       k_absmax,        k_min_max,      k_quantize_sym, k_asym_codes,      k_quantize_asym,
    k_adaptive_widths, k_unpack,      k_dequant_sym,  k_dequant_asym, k_dot_i8,          k_dot_sym,
    k_dot_asym,      k_dot_adaptive,  k_fit_blocks,   k_widen_f16,    k_narrow_f16,
    k_rows_dot_i8,   k_rows_dot_sym,  k_rows_dot_asym, k_rows_dot_adaptive,
};
