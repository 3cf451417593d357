// Kernel bodies written once over a small vector interface S and compiled per
// instruction set. Include inside an anonymous namespace after defining S:
// everything here must get internal linkage, and only builtins and intrinsics
// may be used (no std templates), so that no code built for a wider level can
// be shared with a narrower one through the linker.
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

inline bool is_nan(float x) { return x != x; }
inline float fabs_(float x) { return __builtin_fabsf(x); }

inline float code_max(uint32_t bits) { return static_cast<float>((int32_t{1} << (bits - 1)) - 1); }
inline float code_min(uint32_t bits) { return -static_cast<float>(int32_t{1} << (bits - 1)); }

inline size_t min_sz(size_t a, size_t b) { return a < b ? a : b; }

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

inline size_t packed_bytes(size_t count, uint32_t bits) {
    const size_t rest = (count % 8) * bits;
    return (count / 8) * bits + rest / 8 + (rest % 8 != 0 ? 1 : 0);
}

// ---- scalar element rules (the statements the vector paths must equal) ----

inline int32_t sym_code(float x, float inv, float qmin, float qmax) {
    float r = __builtin_roundf(x * inv);
    if (r < qmin) r = qmin;
    if (r > qmax) r = qmax;
    if (is_nan(r)) return 0;
    return static_cast<int32_t>(r);
}

inline int32_t asym_code(float x, float inv, float zero_point, int32_t qmin, int32_t qmax) {
    const float t = x * inv;
    const float r = __builtin_roundf(t + zero_point);
    int32_t c;
    if (is_nan(r)) {
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

inline int32_t sign_extend(uint32_t v, uint32_t bits) {
    const uint32_t mask = (1u << bits) - 1u;
    v &= mask;
    if ((v >> (bits - 1)) & 1u) v |= ~mask;
    return static_cast<int32_t>(v);
}

// ---- bit streams ----

inline int32_t unpack_one(const uint8_t* base, size_t i, uint32_t bits) {
    const size_t o = i * bits;
    const size_t k = o / 8;
    const uint32_t t = static_cast<uint32_t>(o % 8);
    uint32_t v = static_cast<uint32_t>(base[k]) >> t;
    if (t + bits > 8) v |= static_cast<uint32_t>(base[k + 1]) << (8 - t);
    if (t + bits > 16) v |= static_cast<uint32_t>(base[k + 2]) << (16 - t);
    return sign_extend(v, bits);
}

inline void pack_one(uint8_t* base, size_t i, uint32_t bits, int32_t code) {
    const size_t o = i * bits;
    const size_t k = o / 8;
    const uint32_t t = static_cast<uint32_t>(o % 8);
    const uint32_t v = (static_cast<uint32_t>(code) & ((1u << bits) - 1u)) << t;
    base[k] |= static_cast<uint8_t>(v);
    if (t + bits > 8) base[k + 1] |= static_cast<uint8_t>(v >> 8);
    if (t + bits > 16) base[k + 2] |= static_cast<uint8_t>(v >> 16);
}

// Codes first..first+n of a stream; eight codes fill exactly `bits` bytes, so
// whole groups move as one little-endian word.
void unpack_range(const uint8_t* base, uint32_t bits, size_t first, size_t n, int32_t* out) {
    size_t i = first;
    const size_t end = first + n;
    for (; i < end && i % 8 != 0; ++i) *out++ = unpack_one(base, i, bits);
    const uint32_t mask = (1u << bits) - 1u;
    const uint32_t shift = 32 - bits;
    for (; i + 8 <= end; i += 8) {
        unsigned __int128 acc = 0;
        __builtin_memcpy(&acc, base + i / 8 * bits, bits);
        for (uint32_t k = 0; k < 8; ++k) {
            const uint32_t v = static_cast<uint32_t>(acc >> (k * bits)) & mask;
            *out++ = static_cast<int32_t>(v << shift) >> shift;
        }
    }
    for (; i < end; ++i) *out++ = unpack_one(base, i, bits);
}

// ORs codes first..first+n into a zero-filled stream.
void pack_range(uint8_t* base, uint32_t bits, size_t first, size_t n, const int32_t* codes) {
    size_t i = first;
    const size_t end = first + n;
    for (; i < end && i % 8 != 0; ++i) pack_one(base, i, bits, *codes++);
    const uint32_t mask = (1u << bits) - 1u;
    for (; i + 8 <= end; i += 8) {
        unsigned __int128 acc = 0;
        for (uint32_t k = 0; k < 8; ++k)
            acc |= static_cast<unsigned __int128>(static_cast<uint32_t>(codes[k]) & mask) << (k * bits);
        codes += 8;
        __builtin_memcpy(base + i / 8 * bits, &acc, bits);  // these bytes belong to the group alone
    }
    for (; i < end; ++i) pack_one(base, i, bits, *codes++);
}

// ---- reductions ----

VELMAR_INLINE float absmax_of(const float* v, size_t n) {
    const size_t head = n / 16 * 16;
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
    for (size_t i = head; i < n; ++i) {
        const float a = fabs_(v[i]);
        if (is_nan(h)) {
            h = a;
        } else if (!is_nan(a)) {
            h = a > h ? a : h;
        }
    }
    return h;
}

float k_absmax(const float* v, size_t n) { return absmax_of(v, n); }

VELMAR_INLINE void min_max_of(const float* v, size_t n, float* lo_out, float* hi_out) {
    const size_t head = n / 8 * 8;
    float lo = kInf;
    float hi = -kInf;
    bool nan = false;
    size_t i = 0;
    if (head >= W) {
        typename S::F vlo = S::set1(kInf);
        typename S::F vhi = S::set1(-kInf);
        typename S::M m = S::mnone();
        for (; i + W <= head; i += W) {
            const typename S::F x = S::load(v + i);
            m = S::mor(m, S::isnan(x));
            vlo = S::min(vlo, x);
            vhi = S::max(vhi, x);
        }
        nan = S::any(m);
        lo = S::hmin(vlo);
        hi = S::hmax(vhi);
    }
    for (; i < head; ++i) {
        const float x = v[i];
        nan = nan || is_nan(x);
        lo = x < lo ? x : lo;
        hi = x > hi ? x : hi;
    }
    if (nan) {
        lo = kQNaN;
        hi = kQNaN;
    }
    for (i = head; i < n; ++i) {
        const float x = v[i];
        if (is_nan(lo)) {
            lo = x;
        } else if (!is_nan(x)) {
            lo = x < lo ? x : lo;
        }
        if (is_nan(hi)) {
            hi = x;
        } else if (!is_nan(x)) {
            hi = x > hi ? x : hi;
        }
    }
    *lo_out = lo;
    *hi_out = hi;
}

void k_min_max(const float* v, size_t n, float* lo, float* hi) { min_max_of(v, n, lo, hi); }

// ---- code writers for one block: u = x * inv (+ zero point) ----

// Everything by value: a byte store may alias any reference, so parameters
// read through one would be reloaded after every store.
template <bool kAsym>
struct Coder {
    float inv, zero_point;
    uint32_t bits;
    typename S::F vinv, vzp, vqmin, vqmax;

    VELMAR_INLINE Coder(float inv_, float zero_point_, uint32_t bits_)
        : inv(inv_), zero_point(zero_point_), bits(bits_), vinv(S::set1(inv_)), vzp(S::set1(zero_point_)),
          vqmin(S::set1(code_min(bits_))), vqmax(S::set1(code_max(bits_))) {}

    VELMAR_INLINE typename S::I vec(typename S::F x) const {
        typename S::F u = S::mul(x, vinv);
        if constexpr (kAsym) u = S::add(u, vzp);
        return S::code(u, vqmin, vqmax);
    }
    VELMAR_INLINE int32_t one(float x) const {
        if constexpr (kAsym)
            return asym_code(x, inv, zero_point, static_cast<int32_t>(code_min(bits)),
                             static_cast<int32_t>(code_max(bits)));
        else
            return sym_code(x, inv, code_min(bits), code_max(bits));
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
            base[first / 2] |= static_cast<uint8_t>((static_cast<uint32_t>(c.one(x[0])) & 0xFu) << 4);
            j = 1;
        }
        for (; j + W <= n; j += W) S::store_i4(base + (first + j) / 2, c.vec(S::load(x + j)));
        for (; j < n; ++j) {
            const size_t i = first + j;
            base[i / 2] |= static_cast<uint8_t>((static_cast<uint32_t>(c.one(x[j])) & 0xFu) << ((i % 2) * 4));
        }
    } else {
        alignas(64) int32_t tmp[kChunk];
        while (j < n) {
            const size_t m = min_sz(kChunk, n - j);
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
    const float qmax = code_max(bits);
    const size_t full = len / block;
    size_t b = 0;
    for (; b + kGroup <= full; b += kGroup) {
        if (block <= kAhead / kGroup) prefetch(v, b * block, (b + kGroup) * block, len);
        float scale[kGroup], inv[kGroup];
        for (size_t k = 0; k < kGroup; ++k) {
            const float a = absmax_of(v + (b + k) * block, block);
            const float q = a / qmax;
            scale[k] = a > 0.0f ? q : 1.0f;
        }
        for (size_t k = 0; k < kGroup; ++k) inv[k] = 1.0f / scale[k];
        for (size_t k = 0; k < kGroup; ++k) {
            const size_t start = (b + k) * block;
            write_codes<kClass>(v + start, block, Coder<false>(inv[k], 0.0f, bits), bytes, start);
            scales[b + k] = scale[k];
        }
    }
    for (size_t start = b * block; start < len; ++b) {
        const size_t n = min_sz(block, len - start);
        const float a = absmax_of(v + start, n);
        const float scale = a > 0.0f ? a / qmax : 1.0f;
        write_codes<kClass>(v + start, n, Coder<false>(1.0f / scale, 0.0f, bits), bytes, start);
        scales[b] = scale;
        start += n;
    }
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

struct AsymParams {
    float scale, zero_point, inv;
};

VELMAR_INLINE AsymParams asym_params(float lo, float hi, uint32_t bits) {
    float scale = 1.0f;
    float zero_point = 0.0f;
    if (!(lo >= hi)) {
        scale = (hi - lo) / (code_max(bits) - code_min(bits));
        zero_point = code_min(bits) - (lo / scale);
    }
    return {scale, zero_point, 1.0f / scale};
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
        for (size_t k = 0; k < kGroup; ++k) {
            float lo, hi;
            min_max_of(v + (b + k) * block, block, &lo, &hi);
            p[k] = asym_params(lo, hi, bits);
        }
        for (size_t k = 0; k < kGroup; ++k) {
            const size_t start = (b + k) * block;
            asym_block<kClass>(v + start, block, p[k], bits, bytes, start);
            scales[b + k] = p[k].scale;
            zero_points[b + k] = p[k].zero_point;
        }
    }
    for (size_t start = b * block; start < len; ++b) {
        const size_t n = min_sz(block, len - start);
        float lo, hi;
        min_max_of(v + start, n, &lo, &hi);
        const AsymParams p = asym_params(lo, hi, bits);
        asym_block<kClass>(v + start, n, p, bits, bytes, start);
        scales[b] = p.scale;
        zero_points[b] = p.zero_point;
        start += n;
    }
}

// Adaptive: every block in its own byte-aligned run at its own width.
void adaptive_blocks(const float* v, size_t len, size_t block, const uint32_t* widths, float* scales,
                     float* zero_points, uint8_t* bytes) {
    size_t b = 0;
    for (size_t start = 0; start < len; ++b) {
        const size_t n = min_sz(block, len - start);
        const uint32_t w = widths[b];
        float lo, hi;
        min_max_of(v + start, n, &lo, &hi);
        const AsymParams p = asym_params(lo, hi, w);
        if (w == 8) {
            asym_block<8>(v + start, n, p, w, bytes, 0);
        } else if (w == 4) {
            asym_block<4>(v + start, n, p, w, bytes, 0);
        } else {
            asym_block<0>(v + start, n, p, w, bytes, 0);
        }
        bytes += packed_bytes(n, w);
        scales[b] = p.scale;
        zero_points[b] = p.zero_point;
        start += n;
    }
}

void k_quantize_asym(const float* v, size_t len, size_t block, uint32_t bits, const uint32_t* widths, float* scales,
                     float* zero_points, uint8_t* bytes) {
    if (widths) return adaptive_blocks(v, len, block, widths, scales, zero_points, bytes);
    if (bits == 8) return asym_blocks<8>(v, len, block, bits, scales, zero_points, bytes);
    if (bits == 4) return asym_blocks<4>(v, len, block, bits, scales, zero_points, bytes);
    asym_blocks<0>(v, len, block, bits, scales, zero_points, bytes);
}

void k_adaptive_widths(const float* v, size_t len, size_t block, float tolerance, uint32_t* widths) {
    size_t b = 0;
    for (size_t start = 0; start < len; ++b) {
        const size_t n = min_sz(block, len - start);
        float lo, hi;
        min_max_of(v + start, n, &lo, &hi);
        widths[b] = velmar::choose_bits(hi - lo, tolerance);
        start += n;
    }
}

// ---- decoding ----

void k_unpack(const uint8_t* bytes, uint32_t bits, size_t count, int32_t* out) {
    if (bits == 8) {
        for (size_t i = 0; i < count; ++i) out[i] = static_cast<int8_t>(bytes[i]);
    } else if (bits == 4) {
        for (size_t i = 0; i < count; ++i) {
            const uint32_t nibble = (bytes[i / 2] >> ((i % 2) * 4)) & 0xFu;
            out[i] = static_cast<int32_t>(nibble ^ 8u) - 8;
        }
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
        const uint8_t* q = base + first;
        for (; j + W <= n; j += W) f(j, S::load_i8(q + j));
        for (; j < n; ++j) g(j, static_cast<int32_t>(static_cast<int8_t>(q[j])));
    } else if (bits == 4) {
        if (first % 2 != 0 && n != 0) {
            g(0, unpack_one(base, first, 4));
            j = 1;
        }
        for (; j + W <= n; j += W) f(j, S::load_i4(base + (first + j) / 2));
        for (; j < n; ++j) g(j, unpack_one(base, first + j, 4));
    } else {
        alignas(64) int32_t tmp[kChunk];
        while (j < n) {
            const size_t m = min_sz(kChunk, n - j);
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
    size_t b = 0;
    for (size_t start = 0; start < count; ++b) {
        const size_t n = min_sz(block, count - start);
        const float s = scales[b];
        const typename S::F vs = S::set1(s);
        float* o = out + start;
        walk_codes(
            bytes, bits, start, n, [&](size_t j, typename S::F q) { S::store(o + j, S::mul(q, vs)); },
            [&](size_t j, int32_t q) { o[j] = static_cast<float>(q) * s; });
        start += n;
    }
}

void k_dequant_asym(const float* scales, const float* zero_points, const uint8_t* bytes, uint32_t bits,
                    const uint32_t* widths, size_t block, size_t count, float* out) {
    size_t pos = 0;
    size_t b = 0;
    for (size_t start = 0; start < count; ++b) {
        const size_t n = min_sz(block, count - start);
        const float s = scales[b];
        const float z = zero_points[b];
        const typename S::F vs = S::set1(s);
        const typename S::F vz = S::set1(z);
        float* o = out + start;
        const auto vec = [&](size_t j, typename S::F q) { S::store(o + j, S::mul(vs, S::sub(q, vz))); };
        const auto one = [&](size_t j, int32_t q) {
            const float d = static_cast<float>(q) - z;
            o[j] = s * d;
        };
        if (widths) {
            walk_codes(bytes + pos, widths[b], 0, n, vec, one);
            pos += packed_bytes(n, widths[b]);
        } else {
            walk_codes(bytes, bits, start, n, vec, one);
        }
        start += n;
    }
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
                return xb[k * block + j] * static_cast<float>(static_cast<int8_t>(qb[k * block + j]));
            });
        alignas(64) float partial[W];
        S::store(partial, acc);
        for (size_t k = 0; k < W; ++k) {
            const float p = partial[k] * scales[b + k];
            total = total + p;
        }
    }
    for (size_t i = b * block; i < n; ++b) {
        float partial = 0.0f;
        const size_t end = i + min_sz(block, n - i);
        for (; i < end; ++i) {
            const float p = x[i] * static_cast<float>(static_cast<int8_t>(bytes[i]));
            partial = partial + p;
        }
        partial = partial * scales[b];
        total = total + partial;
    }
    return total;
}

// The single running sum: products are staged a chunk at a time, then added
// one by one, so only the additions stay serial.
inline float add_all(float acc, const float* p, size_t m) {
    for (size_t k = 0; k < m; ++k) acc = acc + p[k];
    return acc;
}

template <class FV, class FS>
inline float chained(const uint8_t* base, uint32_t bits, size_t first, size_t n, float acc, FV&& term,
                     FS&& term1) {
    alignas(64) float stage[kChunk];
    for (size_t j = 0; j < n;) {
        const size_t m = min_sz(kChunk, n - j);
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
    size_t b = 0;
    for (size_t start = 0; start < n; ++b) {
        const size_t m = min_sz(block, n - start);
        const float s = scales[b];
        const typename S::F vs = S::set1(s);
        const float* xb = x + start;
        acc = chained(
            bytes, bits, start, m, acc,
            [&](size_t j, typename S::F q) { return S::mul(S::mul(vs, q), S::load(xb + j)); },
            [&](size_t j, int32_t q) {
                float t = s * static_cast<float>(q);
                return t * xb[j];
            });
        start += m;
    }
    return acc;
}

float dot_asym_blocks(const float* scales, const float* zero_points, const uint8_t* bytes, uint32_t bits,
                      const uint32_t* widths, size_t block, const float* x, size_t n, float acc) {
    size_t pos = 0;
    size_t b = 0;
    for (size_t start = 0; start < n; ++b) {
        const size_t m = min_sz(block, n - start);
        const float s = scales[b];
        const float z = zero_points[b];
        const typename S::F vs = S::set1(s);
        const typename S::F vz = S::set1(z);
        const float* xb = x + start;
        // Operand order as in the scalar statements (x * d for asymmetric
        // tensors, d * x for adaptive ones): it picks which NaN survives.
        const auto vec = [&](size_t j, typename S::F q) {
            const typename S::F d = S::mul(vs, S::sub(q, vz));
            return widths ? S::mul(d, S::load(xb + j)) : S::mul(S::load(xb + j), d);
        };
        const auto one = [&](size_t j, int32_t q) {
            float d = static_cast<float>(q) - z;
            d = s * d;
            return widths ? d * xb[j] : xb[j] * d;
        };
        if (widths) {
            acc = chained(bytes + pos, widths[b], 0, m, acc, vec, one);
            pos += packed_bytes(m, widths[b]);
        } else {
            acc = chained(bytes, bits, start, m, acc, vec, one);
        }
        start += m;
    }
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

const float kTiny = __builtin_bit_cast(float, 0x2B8CBCCCu);

inline void fit_finish(float sq, float sx, float sqq, float sxq, size_t n, float* s_out, float* z_out) {
    *s_out = 1.0f;
    *z_out = 0.0f;
    if (n == 0) return;
    const float nf = static_cast<float>(n);
    const float mq = sq / nf;
    const float t = sq * mq;
    if (fabs_(sqq - t) < kTiny) return;
    const float var = sqq - t;
    const float mx = sx / nf;
    const float cov = sxq - (sq * mx);
    const float s = cov / var;
    if (fabs_(s) < kTiny) return;
    const float p = mq * s;
    const float d = mx - p;
    *s_out = s;
    *z_out = (-d) / s;
}

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
        for (size_t k = 0; k < W; ++k) fit_finish(a[k], c[k], d[k], e[k], block, scales + b + k, zero_points + b + k);
    }
    for (size_t start = b * block; start < len; ++b) {
        const size_t n = min_sz(block, len - start);
        float sq = 0.0f, sx = 0.0f, sqq = 0.0f, sxq = 0.0f;
        for (size_t i = start; i < start + n; ++i) {
            const float q = static_cast<float>(codes[i]);
            const float x = v[i];
            sq = sq + q;
            sx = sx + x;
            const float qq = q * q;
            sqq = sqq + qq;
            const float xq = x * q;
            sxq = sxq + xq;
        }
        fit_finish(sq, sx, sqq, sxq, n, scales + b, zero_points + b);
        start += n;
    }
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

const Kernels kTable = {
    S::kLevel,       k_absmax,        k_min_max,      k_quantize_sym, k_asym_codes,      k_quantize_asym,
    k_adaptive_widths, k_unpack,      k_dequant_sym,  k_dequant_asym, k_dot_i8,          k_dot_sym,
    k_dot_asym,      k_dot_adaptive,  k_fit_blocks,   k_widen_f16,    k_narrow_f16,
};
