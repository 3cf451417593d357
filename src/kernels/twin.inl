// Kernel bodies written once over a small vector interface S and compiled per
// instruction set. Include inside an anonymous namespace after defining S:
// everything here must get internal linkage, and only builtins, intrinsics and
// the rules of shared/rules.hpp and kernels/reduce.hpp may be used (no std
// templates), so that no code built for a wider level can be shared with a
// narrower one through the linker. Every scalar step (a tail, a lone code) is
// the rule itself; each vector step equals it bit for bit.
//
// S provides W lanes and: load, store, load_n/store_n (the first n lanes),
// set1, add, sub, mul, div, max, min, abs, isnan/gt/ge/le masks with mor,
// mnone, any and select, swap<s> (lanes exchanged s apart), hmax, hmin,
// unzip<L> (the steps of folding W registers into one), code (clamp, round
// half away from zero, NaN -> 0), loadi/store_i32, to_float, pack/unpack
// (kUnit codes of any width 2..=16 to and from their kUnit * w / 8 stream
// bytes, touching at most kSpan bytes), load_i8 (to floats), with kIntAbsMax
// abs_bits/max_u32 with as_float/as_int, load_i32 (to floats), transpose (W
// rows in place), and widen_f16/narrow_f16 with a kHasF16 flag.

constexpr size_t W = S::W;
constexpr size_t kUnit = S::kUnit;   // codes per packed unit, a whole number of bytes at every width
constexpr size_t kVecs = kUnit / W;  // registers per unit
// Blocks are worked on a batch at a time: their ranges and parameters first,
// with the divisions of W blocks in one vector, then the codes of the whole
// batch, still in cache. A batch is kBatch elements of whole blocks, or one
// longer block.
constexpr size_t kBatch = 1024;
static_assert(kBatch % kUnit == 0 && kUnit % W == 0 && kUnit % 8 == 0 && 16 % W == 0, "lane count");

using Vf = S::F;
using Vi = S::I;
using Vm = S::M;

const float kQNaN = __builtin_nanf("");
const float kInf = __builtin_inff();

#define VELMAR_INLINE inline __attribute__((always_inline))
// Lambdas too: one left out of line reaches what it captures through memory,
// and every vector store (which may alias anything) then reloads it.
#define VELMAR_LAMBDA __attribute__((always_inline))

// Streaming kernels compute about as long per element as the memory bus takes
// to deliver it, and the hardware prefetcher alone leaves the two in series.
// p + n, or null for an array the kind has none of: arithmetic on null is undefined.
template <class T>
VELMAR_INLINE T* offset(T* p, size_t n) {
    return p ? p + n : nullptr;
}

// Asking for elements [from, to) of p kAhead elements early lets them overlap.
constexpr size_t kAhead = 2048;  // 8192 measured alike
template <class T>
VELMAR_INLINE void prefetch(const T* p, size_t from, size_t to, size_t len) {
    constexpr size_t kLine = 64 / sizeof(T);
    for (size_t i = from + kAhead; i < to + kAhead && i < len; i += kLine) __builtin_prefetch(p + i);
}

// Element k's vector of a run of len values; the last one reads only what is there.
VELMAR_INLINE Vf load_at(const float* v, size_t k, size_t len, float fill = 0.0f) {
    return k + W <= len ? S::load(v + k) : S::load_n(v + k, len - k, fill);
}

// The first n lanes of v at p (narrow levels store fewer through a copy).
VELMAR_INLINE void store_first(float* p, Vf v, size_t n) {
    if (n == W) return S::store(p, v);
    S::store_n(p, v, n);
}

VELMAR_INLINE void store_i32_n(int32_t* p, Vi v, size_t n) {
    if (n == W) return S::store_i32(p, v);  // a copy of a length only known here is a slow string move
    alignas(64) int32_t t[W];
    S::store_i32(t, v);
    __builtin_memcpy(p, t, n * sizeof(int32_t));
}

// ---- bit streams ----

inline size_t unit_bytes(uint32_t w) { return kUnit / 8 * w; }

// A packer holds in registers what one width needs for a whole stream (or,
// mixed, for one block of an adaptive record, whose steps may then not depend
// on the width); levels without one pack through S::pack.
struct LadderPacker {
    uint32_t w;
    LadderPacker(uint32_t bits, bool) : w(bits) {}
    VELMAR_INLINE void pack(const Vi* c, uint8_t* p) const { S::pack(c, w, p); }
};
template <class T>
concept OwnPacker = requires { typename T::Packer; };
template <class T, bool = OwnPacker<T>>
struct PackerOf {
    using type = LadderPacker;
};
template <class T>
struct PackerOf<T, true> {
    using type = typename T::Packer;
};
using Packer = PackerOf<S>::type;

// Widths 8, 4 and 16 have lane steps of their own; kW = 0 is every width,
// through a packer or with the width a register operand. A stream chooses its
// class once.
template <uint32_t kW>
VELMAR_INLINE void pack_unit(const Vi* c, const Packer& pk, uint8_t* p) {
    if constexpr (kW == 8) S::pack8(c, p);
    else if constexpr (kW == 4) S::pack4(c, p);
    else if constexpr (kW == 16) S::pack16(c, p);
    else pk.pack(c, p);
}

template <uint32_t kW>
VELMAR_INLINE void unpack_unit(const uint8_t* p, uint32_t w, Vi* c) {
    if constexpr (kW == 8) S::unpack8(p, c);
    else if constexpr (kW == 4) S::unpack4(p, c);
    else if constexpr (kW == 16) S::unpack16(p, c);
    else S::unpack(p, w, c);
}

// The kUnit codes at byte p of a stream whose bytes end at `end`; the last
// units of a buffer are read through a zero-padded copy.
template <uint32_t kW = 0>
VELMAR_INLINE void read_unit(const uint8_t* p, const uint8_t* end, uint32_t w, Vi* c) {
    if (static_cast<size_t>(end - p) >= S::kSpan) return unpack_unit<kW>(p, w, c);
    alignas(64) uint8_t tmp[S::kSpan] = {};
    __builtin_memcpy(tmp, p, static_cast<size_t>(end - p));
    unpack_unit<kW>(tmp, w, c);
}

// kUnit codes of width w packed at byte p. Units are written in stream order,
// so the zeros a store leaves after its own bytes land where nothing is yet;
// near `end` the unit goes through a copy cut to the bytes that remain.
template <uint32_t kW = 0>
VELMAR_INLINE void write_unit(const Vi* c, const Packer& pk, uint32_t w, uint8_t* p, uint8_t* end) {
    if (static_cast<size_t>(end - p) >= S::kSpan) return pack_unit<kW>(c, pk, p);
    alignas(64) uint8_t tmp[S::kSpan];
    pack_unit<kW>(c, pk, tmp);
    __builtin_memcpy(p, tmp, min_size(unit_bytes(w), static_cast<size_t>(end - p)));
}

template <uint32_t kW = 0>
VELMAR_INLINE void write_codes(const int32_t* codes, const Packer& pk, uint32_t w, uint8_t* p, uint8_t* end) {
    Vi v[kVecs];
    for (size_t k = 0; k < kVecs; ++k) v[k] = S::loadi(codes + k * W);
    write_unit<kW>(v, pk, w, p, end);
}

// Per lane: the code bounds, and what turns x into a code, x * inv (+ zp).
struct Lane {
    Vf inv, zp, qmin, qmax;
};

VELMAR_INLINE Lane broadcast(float inv, float zp, float qmin, float qmax) {
    return {S::set1(inv), S::set1(zp), S::set1(qmin), S::set1(qmax)};
}

// The codes of the values x.
template <bool kAsym>
VELMAR_INLINE Vi code_lanes(Vf x, const Lane& l) {
    Vf u = S::mul(x, l.inv);
    if constexpr (kAsym) u = S::add(u, l.zp);
    return S::code(u, l.qmin, l.qmax);
}

// The codes of elements k..k+W of v (len values).
template <bool kAsym>
VELMAR_INLINE Vi code_of(const float* v, size_t len, size_t k, const Lane& l) {
    return code_lanes<kAsym>(load_at(v, k, len), l);
}

// The codes of elements [from, to) of v (len values) into out, vectors whose
// lanes past `to` hold whatever their inputs give; lane(k) is the parameters
// of elements k..k+W.
template <bool kAsym, class P>
VELMAR_INLINE void code_range(const float* v, size_t len, size_t from, size_t to, P&& lane, int32_t* out) {
    for (size_t k = from; k < to; k += W) S::store_i32(out + (k - from), code_of<kAsym>(v, len, k, lane(k)));
}

// A level whose units are shorter than a block may pack kBlockUnit codes of
// width 2..=8 in one step, through its BlockPacker.
template <class T>
concept BlockPack = requires { T::kBlockUnit; typename T::BlockPacker; } && (T::kBlockUnit > T::kUnit);

// A fixed-width stream of 2, 3, 5, 6 or 7 bits takes those longer steps too:
// narrowed to bytes once, a step merges twice or four times the codes of the
// unit ladder for about the same work; wider codes where the level's packer
// takes them (kBlockPackerBits).
template <class T>
constexpr uint32_t block_packer_bits() {
    if constexpr (requires { T::kBlockPackerBits; }) return T::kBlockPackerBits;
    else return 8;
}
template <class T, bool = BlockPack<T>>
struct StepPacker {
    static constexpr size_t kStep = kUnit;
    struct None {
        void pack(const Vi*, uint8_t*) const {}
    } pk;
    static constexpr bool use = false;
    explicit StepPacker(uint32_t) {}
};
template <class T>
struct StepPacker<T, true> {
    static constexpr size_t kStep = T::kBlockUnit;
    typename T::BlockPacker pk;
    bool use;
    explicit StepPacker(uint32_t w) : pk(w <= block_packer_bits<T>() ? w : 8), use(w <= block_packer_bits<T>()) {}
};

// One stream of codes written in element order, whole units at a time: codes
// land in c (kStaged codes) a batch at a time, and those of an unfinished unit
// wait there. The array lives apart: stores into it could otherwise alias
// this state, which would then go through memory.
constexpr size_t kStaged = kBatch + kUnit + W;

template <uint32_t kW>
struct Writer {
    int32_t* c;
    uint8_t* out;
    uint8_t* end;
    uint32_t w;
    Packer pk;
    StepPacker<S> steps;
    size_t held = 0;

    Writer(int32_t* codes, uint8_t* bytes, size_t n, uint32_t bits)
        : c(codes), out(bytes), end(bytes + n), w(bits), pk(bits, false), steps(bits) {}

    // Where the next code goes (a batch writes at most kBatch, in whole vectors).
    int32_t* slot() const { return c + held; }

    VELMAR_INLINE void commit(size_t n) {
        const size_t have = held + n;
        size_t u = 0;
        uint8_t* o = out;
        for (; u + kUnit <= have; u += kUnit, o += unit_bytes(w)) write_codes<kW>(c + u, pk, w, o, end);
        for (size_t k = u; k < have; ++k) c[k - u] = c[k];
        out = o;
        held = have - u;
    }

    // The codes of elements [from, to) of v (len values), lane(k) giving the
    // parameters of elements k..k+W: whole units straight into the stream
    // while nothing waits, the rest through c.
    template <bool kAsym, class P>
    VELMAR_INLINE void code(const float* v, size_t len, size_t from, size_t to, P&& lane) {
        size_t k = from;
        // The waiting unit first, in whole vectors: lane(k) sees no other k.
        if (held != 0 && held % W == 0 && held + (to - from) >= kUnit) {
            const size_t fill = kUnit - held;
            code_range<kAsym>(v, len, k, k + fill, lane, slot());
            commit(fill);
            k += fill;
        }
        if (held == 0) {
            uint8_t* o = out;
            if (kW == 0 && steps.use) {
                constexpr size_t kStep = StepPacker<S>::kStep;
                const size_t bytes = kStep / 8 * w;
                for (; k + kStep <= to && static_cast<size_t>(end - o) >= bytes + S::kSpan; k += kStep, o += bytes) {
                    Vi u[kStep / W];
                    for (size_t i = 0; i < kStep / W; ++i) u[i] = code_of<kAsym>(v, len, k + i * W, lane(k + i * W));
                    steps.pk.pack(u, o);
                }
            }
            for (; k + kUnit <= to; k += kUnit, o += unit_bytes(w)) {
                Vi u[kVecs];
                for (size_t i = 0; i < kVecs; ++i) u[i] = code_of<kAsym>(v, len, k + i * W, lane(k + i * W));
                write_unit<kW>(u, pk, w, o, end);
            }
            out = o;
        }
        code_range<kAsym>(v, len, k, to, lane, slot());
        commit(to - k);
    }

    // The last unit, padded with code 0 (zero bits).
    void finish() {
        if (held == 0) return;
        for (size_t k = held; k < kUnit; ++k) c[k] = 0;
        write_codes<kW>(c, pk, w, out, end);
    }
};

// ---- reductions ----

VELMAR_INLINE float absmax_of(const float* v, size_t n) {
    const size_t head = head_of(n, kAbsmaxGroup);
    // The head's magnitudes, and whether any of them is NaN.
    Vf h = S::set1(0.0f);
    bool nan = false;
    if constexpr (S::kIntAbsMax) {
        // Magnitude bit patterns order like the magnitudes, and every NaN
        // pattern lies above infinity's: one integer maximum finds both.
        if (head != 0) {
            Vi acc = S::abs_bits(S::load(v));
            for (size_t i = W; i < head; i += W) acc = S::max_u32(acc, S::abs_bits(S::load(v + i)));
            h = S::as_float(acc);
            nan = S::any(S::isnan(h));
        }
    } else {
        Vm any_nan = S::mnone();
        for (size_t i = 0; i < head; i += W) {
            const Vf x = S::load(v + i);
            any_nan = S::mor(any_nan, S::isnan(x));
            h = S::max(h, S::abs(x));
        }
        nan = S::any(any_nan);
    }
    if (head == n) return nan ? kQNaN : S::hmax(h);
    // The tail's NaNs give way: its numbers' magnitudes, -1 where there are
    // none (the lanes past n count as NaN).
    Vf t = S::set1(-1.0f);
    for (size_t i = head; i < n; i += W) {
        const Vf x = i + W <= n ? S::load(v + i) : S::load_n(v + i, n - i, kQNaN);
        t = S::max(t, S::select(S::isnan(x), S::set1(-1.0f), S::abs(x)));
    }
    if (!nan) return S::hmax(S::max(h, t));
    // After a NaN head, a tail of NaNs only leaves the last one's magnitude.
    const float tail = S::hmax(t);
    return tail >= 0.0f ? tail : __builtin_fabsf(v[n - 1]);
}

float k_absmax(const float* v, size_t n) { return absmax_of(v, n); }

VELMAR_INLINE MinMax min_max_of(const float* v, size_t n) {
    const size_t head = head_of(n, kMinMaxGroup);
    MinMax m{kInf, -kInf};
    if (head != 0) {
        Vf vlo = S::set1(kInf);
        Vf vhi = S::set1(-kInf);
        Vm nan = S::mnone();
        for (size_t i = 0; i < head; i += W) {
            // A head that ends inside a vector fills it with its first element.
            const Vf x = i + W <= head ? S::load(v + i) : S::load_n(v + i, head - i, v[0]);
            nan = S::mor(nan, S::isnan(x));
            vlo = S::min(vlo, x);
            vhi = S::max(vhi, x);
        }
        m = S::any(nan) ? MinMax{kQNaN, kQNaN} : MinMax{S::hmin(vlo), S::hmax(vhi)};
    }
    if (head == n) return m;
    // The tail's NaNs give way; a tail of none but NaNs stays at (+inf, -inf).
    Vf tlo = S::set1(kInf);
    Vf thi = S::set1(-kInf);
    for (size_t i = head; i < n; i += W) {
        const Vf x = i + W <= n ? S::load(v + i) : S::load_n(v + i, n - i, kQNaN);
        const Vm nan = S::isnan(x);
        tlo = S::min(tlo, S::select(nan, S::set1(kInf), x));
        thi = S::max(thi, S::select(nan, S::set1(-kInf), x));
    }
    const MinMax t{S::hmin(tlo), S::hmax(thi)};
    const bool numbers = t.lo != kInf || t.hi != -kInf;
    // After a NaN head, a tail of NaNs only leaves the last one.
    if (m.lo != m.lo) return numbers ? t : MinMax{v[n - 1], v[n - 1]};
    return {t.lo < m.lo ? t.lo : m.lo, t.hi > m.hi ? t.hi : m.hi};
}

void k_min_max(const float* v, size_t n, float* lo, float* hi) {
    const MinMax m = min_max_of(v, n);
    *lo = m.lo;
    *hi = m.hi;
}

// ---- block parameters, W blocks to a vector ----

// Symmetric scales of the blocks whose magnitude maxima are a[0..n): into
// scales, and their reciprocals into inv.
VELMAR_INLINE Vf sym_scale_lanes(Vf a, float qmax) {
    return S::select(S::gt(a, S::set1(0.0f)), S::div(a, S::set1(qmax)), S::set1(1.0f));
}

// Asymmetric scale and zero point per lane (asym_params), the degenerate
// lanes (1, 0).
VELMAR_INLINE void asym_lanes(Vf lo, Vf hi, Vf qmin, Vf qmax, Vf& scale, Vf& zp) {
    const Vf s = S::div(S::sub(hi, lo), S::sub(qmax, qmin));
    const Vm degenerate = S::ge(lo, hi);
    zp = S::select(degenerate, S::set1(0.0f), S::sub(qmin, S::div(lo, s)));
    scale = S::select(degenerate, S::set1(1.0f), s);
}

// ---- block ranges, W blocks to a vector ----

// Lane k of the result folds the lanes of leaf(kFirst + k), for the 2^L leaves
// from kFirst; join.<step>(a, b) merges two subtrees through S::unzip. Depth
// first, so that few registers wait at a time.
template <size_t L, size_t kFirst, class Leaf, class Join>
VELMAR_INLINE auto fold_tree(Leaf&& leaf, Join&& join) {
    if constexpr (L == 0) {
        return leaf(kFirst);
    } else {
        const auto a = fold_tree<L - 1, kFirst>(leaf, join);
        const auto b = fold_tree<L - 1, kFirst + (size_t{1} << (L - 1))>(leaf, join);
        return join.template operator()<L - 1>(a, b);
    }
}
constexpr size_t kFoldSteps = __builtin_ctz(W);

template <size_t L, class F>
VELMAR_INLINE Vf unzip_fold(Vf a, Vf b, F&& f) {
    Vf x, y;
    S::template unzip<L>(a, b, x, y);
    return f(x, y);
}

// The folds below know nothing of the NaN rules: they only tell whether a
// NaN was there, and the caller reduces such blocks again by the rules. A
// block's lanes come from whole vectors and one more that ends at its end,
// whose overlap neither a maximum nor a minimum can see.

// Magnitude maxima of m <= W whole blocks of `block` elements from p, in
// lanes; false when one of them holds a NaN.
template <class T = S>  // T: only the levels with an unsigned maximum compile its branch
VELMAR_INLINE bool absmax_lanes(const float* p, size_t block, size_t m, Vf& out) {
    if constexpr (T::kIntAbsMax) {
        // Magnitude bit patterns order like the magnitudes, and every NaN
        // pattern lies above infinity's: the maximum shows it.
        const auto leaf = [&](size_t k) VELMAR_LAMBDA {
            if (k >= m) return S::set1(0.0f);  // before p + k * block, which need not exist
            const float* b = p + k * block;
            if (block < W) return T::as_float(T::abs_bits(S::load_n(b, block, 0.0f)));
            Vi acc = T::abs_bits(S::load(b));
            for (size_t i = W; i < block; i += W) acc = T::max_u32(acc, T::abs_bits(S::load(b + min_size(i, block - W))));
            return T::as_float(acc);
        };
        out = fold_tree<kFoldSteps, 0>(leaf, []<size_t L>(Vf a, Vf b) VELMAR_LAMBDA {
            return unzip_fold<L>(a, b, [](Vf x, Vf y) VELMAR_LAMBDA {
                return T::as_float(T::max_u32(T::as_int(x), T::as_int(y)));
            });
        });
        return !S::any(S::isnan(out));
    } else {
        Vm nan = S::mnone();
        const auto leaf = [&](size_t k) VELMAR_LAMBDA {
            if (k >= m) return S::set1(0.0f);  // before p + k * block, which need not exist
            const float* b = p + k * block;
            Vf x = block < W ? S::load_n(b, block, 0.0f) : S::load(b);
            nan = S::mor(nan, S::isnan(x));
            Vf acc = S::abs(x);
            for (size_t i = W; i < block; i += W) {
                x = S::load(b + min_size(i, block - W));
                nan = S::mor(nan, S::isnan(x));
                acc = S::max(acc, S::abs(x));
            }
            return acc;
        };
        out = fold_tree<kFoldSteps, 0>(leaf, []<size_t L>(Vf a, Vf b) VELMAR_LAMBDA {
            return unzip_fold<L>(a, b, [](Vf x, Vf y) VELMAR_LAMBDA { return S::max(x, y); });
        });
        return !S::any(nan);
    }
}

// Minima and maxima of m <= W whole blocks of `block` elements from p, in
// lanes; false when one of them holds a NaN. A running sum shows a NaN at the
// cost of one addition (and takes opposite infinities or an overflow for one,
// which only costs the slower path).
VELMAR_INLINE bool min_max_lanes(const float* p, size_t block, size_t m, Vf& lo, Vf& hi) {
    struct Range {
        Vf lo, hi;
    };
    Vf sum = S::set1(0.0f);
    const auto leaf = [&](size_t k) VELMAR_LAMBDA {
        if (k >= m) return Range{sum, sum};
        const float* b = p + k * block;
        Vf x = block < W ? S::load_n(b, block, b[0]) : S::load(b);
        Range r{x, x};
        for (size_t i = W; i < block; i += W) {
            const Vf y = S::load(b + min_size(i, block - W));
            x = S::add(x, y);
            r = {S::min(r.lo, y), S::max(r.hi, y)};
        }
        sum = S::add(sum, x);
        return r;
    };
    const Range r = fold_tree<kFoldSteps, 0>(leaf, []<size_t L>(Range a, Range b) VELMAR_LAMBDA {
        return Range{unzip_fold<L>(a.lo, b.lo, [](Vf x, Vf y) VELMAR_LAMBDA { return S::min(x, y); }),
                     unzip_fold<L>(a.hi, b.hi, [](Vf x, Vf y) VELMAR_LAMBDA { return S::max(x, y); })};
    });
    lo = r.lo;
    hi = r.hi;
    return !S::any(S::isnan(sum));
}

// The parameters of blocks g..g+m (m <= W) of v (len values): scales and zero
// points out, and in lanes what codes them.
template <bool kAsym>
VELMAR_INLINE Lane block_params(const float* v, size_t len, size_t block, size_t g, size_t m, float qmin, float qmax,
                                float* scales, float* zero_points) {
    const size_t whole = (g + m) * block <= len ? m : m - 1;
    Vf a, b = S::set1(0.0f);
    const bool clean = kAsym ? min_max_lanes(v + g * block, block, whole, a, b)
                             : absmax_lanes(v + g * block, block, whole, a);
    if (!clean || whole < m) {
        // Blocks with a NaN, and a short last one, by the rules.
        alignas(64) float ta[W], tb[W];
        S::store(ta, a);
        S::store(tb, b);
        for (size_t k = clean ? whole : 0; k < m; ++k) {
            const size_t first = (g + k) * block, n = min_size(block, len - first);
            if constexpr (kAsym) {
                const MinMax r = min_max_of(v + first, n);
                ta[k] = r.lo;
                tb[k] = r.hi;
            } else {
                ta[k] = absmax_of(v + first, n);
            }
        }
        a = S::load(ta);
        b = S::load(tb);
    }
    Lane l{S::set1(0.0f), S::set1(qmin), S::set1(qmin), S::set1(qmax)};
    Vf s;
    if constexpr (kAsym) {
        asym_lanes(a, b, l.qmin, l.qmax, s, l.zp);
        S::store_n(zero_points + g, l.zp, m);
    } else {
        s = sym_scale_lanes(a, qmax);
    }
    S::store_n(scales + g, s, m);
    l.inv = S::div(S::set1(1.0f), s);
    return l;
}

// choose_bits per lane, by the tolerance's width_limits: the smallest width
// whose half step is within tolerance, and its code bounds. A range within
// one width's limit is within every wider one's (a larger divisor gives no
// larger half step), so the width is 8 less the limits it is within, and a
// range of 0 or less is within them all (limits below 0 raised to 0).
struct WidthLanes {
    Vf w, qmin, qmax;
};

struct LimitLanes {
    Vf at[6];
    explicit LimitLanes(const WidthLimits& l) {
        for (size_t c = 0; c < 6; ++c) at[c] = S::set1(l.at[c] > 0.0f ? l.at[c] : 0.0f);
    }
};

VELMAR_INLINE WidthLanes width_lanes(Vf lo, Vf hi, const LimitLanes& limits) {
    const Vf range = S::sub(hi, lo), zero = S::set1(0.0f);
    Vf w = S::set1(8.0f), half = S::set1(128.0f);  // half: 2^(w - 1), the bounds' magnitude
    for (uint32_t c = 2; c <= 7; ++c) {
        const Vm within = S::le(range, limits.at[c - 2]);
        w = S::sub(w, S::select(within, S::set1(1.0f), zero));
        half = S::sub(half, S::select(within, S::set1(static_cast<float>(1u << (c - 1))), zero));
    }
    return {w, S::sub(zero, half), S::sub(half, S::set1(1.0f))};
}

// ---- codes ----

// Per-element copies of per-block values: out[j - e0] = vals[b - b0] for the
// elements j in [e0, e1) of block b. Whole vectors: each block's last one
// runs into the next block's, which overwrites it.
VELMAR_INLINE void expand(const float* vals, size_t b0, size_t block, size_t e0, size_t e1, float* out) {
    for (size_t b = e0 / block, j = e0; j < e1; ++b) {
        const Vf x = S::set1(vals[b - b0]);
        const size_t end = min_size((b + 1) * block, e1);
        for (; j < end; j += W) S::store(out + (j - e0), x);
        j = end;
    }
}

// The values of blocks that are whole vectors (block % W == 0), broadcast for
// vectors asked for in increasing order: vals[i] for the block at i.
struct Stepper {
    const float* vals;
    size_t block, next, i = 0;
    Vf now;

    Stepper(const float* v, size_t block_) : vals(v), block(block_), next(block_), now(S::set1(v ? v[0] : 0.0f)) {}
    VELMAR_INLINE Vf at(size_t k) {
        if (k >= next) {
            next += block;
            now = S::set1(vals[++i]);
        }
        return now;
    }
};

// The minimum or maximum of every aligned run of B lanes, in each of its lanes.
template <size_t B, bool kMin, size_t s = 1>
VELMAR_INLINE Vf segment(Vf a) {
    if constexpr (s >= B) {
        return a;
    } else {
        const Vf b = S::swap<s>(a);
        return segment<B, kMin, 2 * s>(kMin ? S::min(a, b) : S::max(a, b));
    }
}

// Lanes move by a permute where registers are wide; narrow ones go through
// memory instead.
constexpr bool kLanePermute = W >= 8;

// Blocks of B elements (B a power of two below W): W / B of them in each
// vector, their reductions among their own lanes. Whole vectors only; the
// caller codes the rest.
template <size_t B, bool kAsym, uint32_t kW>
size_t lane_blocks(const float* v, size_t len, uint32_t bits, float* scales, float* zero_points, Writer<kW>& out) {
    const float qmin = static_cast<float>(code_min(bits)), qmax = static_cast<float>(code_max(bits));
    const Vf vqmin = S::set1(qmin), vqmax = S::set1(qmax);
    const size_t whole = len / W * W, nb = block_count(len, B);
    alignas(64) float ts[W], tz[W];
    // A vector's parameters, lane i * B to lane i, stored whole where the
    // scales run on past it: the lanes after its own blocks are overwritten
    // by the next vector's or the rest's.
    alignas(64) int32_t firsts[W];
    for (size_t i = 0; i < W; ++i) firsts[i] = static_cast<int32_t>(i * B % W);
    const Vi first_lanes = S::loadi(firsts);
    for (size_t k = 0; k < whole; k += kBatch) {
        const size_t m = min_size(kBatch, whole - k);
        prefetch(v, k, k + m, len);
        int32_t* codes = out.slot();
        for (size_t j = k; j < k + m; j += W) {
            const Vf x = S::load(v + j);
            const Vm nan = S::isnan(x);
            Vf s, zp = vqmin;
            if constexpr (kAsym && B == 1) {
                // A lone value is its block's minimum and maximum, and a NaN
                // leaves none: every block of one is degenerate.
                s = S::set1(1.0f);
                zp = S::set1(0.0f);
            } else if constexpr (kAsym) {
                Vf lo = segment<B, true>(S::select(nan, S::set1(kInf), x));
                Vf hi = segment<B, false>(S::select(nan, S::set1(-kInf), x));
                if constexpr (B == kMinMaxGroup) {  // a block of 8 is all head: one NaN spoils it
                    const Vf any_nan = segment<B, false>(S::select(nan, S::set1(1.0f), S::set1(0.0f)));
                    const Vm spoilt = S::gt(any_nan, S::set1(0.0f));
                    lo = S::select(spoilt, S::set1(kQNaN), lo);
                    hi = S::select(spoilt, S::set1(kQNaN), hi);
                }
                asym_lanes(lo, hi, vqmin, vqmax, s, zp);
            } else {
                s = sym_scale_lanes(segment<B, false>(S::select(nan, S::set1(0.0f), S::abs(x))), qmax);
            }
            const Lane l{S::div(S::set1(1.0f), s), zp, vqmin, vqmax};
            S::store_i32(codes + (j - k), code_of<kAsym>(v, len, j, l));
            if (B == 1 || (kLanePermute && j / B + W <= nb)) {
                S::store(scales + j / B, B == 1 ? s : S::permute(s, first_lanes));
                if constexpr (kAsym) S::store(zero_points + j / B, B == 1 ? zp : S::permute(zp, first_lanes));
                continue;
            }
            S::store(ts, s);
            if constexpr (kAsym) S::store(tz, zp);
            for (size_t i = 0; i < W; i += B) {
                scales[(j + i) / B] = ts[i];
                if constexpr (kAsym) zero_points[(j + i) / B] = tz[i];
            }
        }
        out.commit(m);
    }
    return whole;
}

// The last len - from elements of a stream, fewer than a vector: each block
// by the rules.
template <bool kAsym, uint32_t kW>
void rest_by_rules(const float* v, size_t len, size_t from, size_t block, uint32_t bits, float* scales,
                   float* zero_points, Writer<kW>& out) {
    int32_t* codes = out.slot();
    const int32_t qmin = code_min(bits), qmax = code_max(bits);
    for_each_block(len, block, [&](size_t b, size_t first, size_t n) {
        if constexpr (kAsym) {
            const MinMax m = min_max_neon(v + first, n);
            const AsymParams p = asym_params(m.lo, m.hi, bits);
            for (size_t i = first; i < first + n; ++i)
                codes[i - from] = asym_code(v[i], p.inv, p.zero_point, qmin, qmax);
            scales[b] = p.scale;
            zero_points[b] = p.zero_point;
        } else {
            const float scale = sym_scale(absmax(v + first, n), static_cast<float>(qmax));
            for (size_t i = first; i < first + n; ++i)
                codes[i - from] = sym_code(v[i], 1.0f / scale, static_cast<float>(qmin), static_cast<float>(qmax));
            scales[b] = scale;
        }
    }, from / block);
    out.commit(len - from);
}

// Blocks per batch: as many as fit in kBatch elements, rounded down so that
// a batch ends on a unit where it can, which lets its codes go straight to
// the stream.
inline size_t batch_blocks(size_t block) {
    if (block >= kBatch) return 1;
    size_t step = kUnit;
    for (size_t g = block % kUnit; g != 0 && step % 2 == 0 && g % 2 == 0; g /= 2) step /= 2;
    if (block % kUnit == 0) step = 1;
    const size_t per = kBatch / block / step * step;
    return per != 0 ? per : kBatch / block;
}

// One stream of fixed width: a batch of blocks has its ranges reduced, its
// parameters computed W blocks at a time and its codes written, the
// parameters spread over the elements (or broadcast, for a block longer than
// a batch).
// Blocks that straddle vectors take their values by a permute (kLanePermute).
template <bool kAsym, uint32_t kW>
void fixed_blocks(const float* v, size_t len, size_t block, uint32_t bits, float* scales, float* zero_points,
                  uint8_t* bytes) {
    alignas(64) int32_t staged[kStaged];
    Writer<kW> out(staged, bytes, packed_len(len, bits), bits);
    const float qmin = static_cast<float>(code_min(bits)), qmax = static_cast<float>(code_max(bits));
    size_t done = 0;
    switch (block) {
        case 1: done = lane_blocks<1, kAsym>(v, len, bits, scales, zero_points, out); break;
        case 2: if constexpr (W > 2) done = lane_blocks<2, kAsym>(v, len, bits, scales, zero_points, out); break;
        case 4: if constexpr (W > 4) done = lane_blocks<4, kAsym>(v, len, bits, scales, zero_points, out); break;
        case 8: if constexpr (W > 8) done = lane_blocks<8, kAsym>(v, len, bits, scales, zero_points, out); break;
        default: break;
    }
    if (done != 0) {
        if (done < len) rest_by_rules<kAsym>(v, len, done, block, bits, scales, zero_points, out);
        return out.finish();
    }
    if (block >= kBatch) {
        for_each_block(len, block, [&](size_t b, size_t first, size_t n) {
            float inv, zp = 0.0f;
            if constexpr (kAsym) {
                const MinMax m = min_max_of(v + first, n);
                const AsymParams p = asym_params(m.lo, m.hi, bits);
                scales[b] = p.scale;
                zero_points[b] = zp = p.zero_point;
                inv = p.inv;
            } else {
                scales[b] = sym_scale(absmax_of(v + first, n), qmax);
                inv = 1.0f / scales[b];
            }
            const Lane l = broadcast(inv, zp, qmin, qmax);
            for (size_t k = first; k < first + n; k += kBatch) {
                prefetch(v, k, min_size(k + kBatch, first + n), len);
                out.template code<kAsym>(v, len, k, min_size(k + kBatch, first + n), [&](size_t) VELMAR_LAMBDA { return l; });
            }
        });
        return out.finish();
    }
    // Which block of its batch each element belongs to, alike for every batch.
    const size_t per = batch_blocks(block), nb = block_count(len, block);
    alignas(64) int32_t lane_of[kBatch + W];
    alignas(64) float inv[kBatch + W], zp[kBatch + W], ie[kBatch + W], ze[kBatch + W];
    const size_t span = min_size(len, per * block);
    if constexpr (kLanePermute) {
        for (size_t j = 0, b = 0; j < span; ++b)
            for (const size_t e = min_size(j + block, span); j < e; ++j) lane_of[j] = static_cast<int32_t>(b);
        for (size_t j = span; j < span + W; ++j) lane_of[j] = 0;  // the lanes past the end
    }
    for (size_t b0 = 0; b0 < nb; b0 += per) {
        const size_t b1 = min_size(nb, b0 + per), e0 = b0 * block, e1 = min_size(len, b1 * block);
        prefetch(v, e0, e1, len);
        for (size_t g = b0; g < b1; g += W) {
            const Lane p = block_params<kAsym>(v, len, block, g, min_size(W, b1 - g), qmin, qmax, scales, zero_points);
            S::store(inv + (g - b0), p.inv);
            S::store(zp + (g - b0), p.zp);
        }
        if (kLanePermute && block % W != 0) {
            const Vf vqmin = S::set1(qmin), vqmax = S::set1(qmax);
            out.template code<kAsym>(v, len, e0, e1, [&](size_t k) VELMAR_LAMBDA {
                const size_t j = k - e0, group = static_cast<size_t>(lane_of[j]) / W * W;
                const Vi at = S::loadi(lane_of + j);
                return Lane{S::permute(S::load(inv + group), at), kAsym ? S::permute(S::load(zp + group), at) : vqmin, vqmin, vqmax};
            });
            continue;
        }
        const Vf vqmin = S::set1(qmin), vqmax = S::set1(qmax);
        if (block % W == 0) {
            Stepper si(inv, block), sz(kAsym ? zp : nullptr, block);
            out.template code<kAsym>(v, len, e0, e1, [&](size_t k) VELMAR_LAMBDA {
                return Lane{si.at(k - e0), kAsym ? sz.at(k - e0) : vqmin, vqmin, vqmax};
            });
        } else {
            expand(inv, b0, block, e0, e1, ie);
            if constexpr (kAsym) expand(zp, b0, block, e0, e1, ze);
            out.template code<kAsym>(v, len, e0, e1, [&](size_t k) VELMAR_LAMBDA {
                return Lane{S::load(ie + (k - e0)), kAsym ? S::load(ze + (k - e0)) : vqmin, vqmin, vqmax};
            });
        }
    }
    out.finish();
}

// f.template operator()<kW>() for the width class of `bits`. Width 16 is a
// class where whole streams are written or decoded, bound by their bytes;
// the dots, bound by their sums, leave it to the general one.
template <bool kWith16 = false, class F>
VELMAR_INLINE void by_width_class(uint32_t bits, F&& f) {
    if (bits == 8) return f.template operator()<8>();
    if (bits == 4) return f.template operator()<4>();
    if constexpr (kWith16)
        if (bits == 16) return f.template operator()<16>();
    f.template operator()<0>();
}

void k_quantize_sym(const float* v, size_t len, size_t block, uint32_t bits, float* scales, uint8_t* bytes) {
    by_width_class<true>(bits, [&]<uint32_t kW>() VELMAR_LAMBDA {
        fixed_blocks<false, kW>(v, len, block, bits, scales, nullptr, bytes);
    });
}

void k_asym_codes(const float* v, size_t n, float inv, float zero_point, uint32_t bits, int32_t* codes) {
    const Lane l = broadcast(inv, zero_point, static_cast<float>(code_min(bits)), static_cast<float>(code_max(bits)));
    const size_t whole = n / W * W;
    code_range<true>(v, n, 0, whole, [&](size_t) VELMAR_LAMBDA { return l; }, codes);
    for (size_t j = whole; j < n; ++j) codes[j] = asym_code(v[j], inv, zero_point, code_min(bits), code_max(bits));
}

#include "kernels/adaptive.inl"

void k_quantize_asym(const float* v, size_t len, size_t block, uint32_t bits, float* scales, float* zero_points,
                     uint8_t* bytes) {
    by_width_class<true>(bits, [&]<uint32_t kW>() VELMAR_LAMBDA {
        fixed_blocks<true, kW>(v, len, block, bits, scales, zero_points, bytes);
    });
}

// ---- decoding ----

// f(j, codes, scales, zero points, m) for every vector of codes j..j+W of one
// stream of `count` codes (m of them real), the scales and zero points of
// their blocks in lanes.
template <uint32_t kW, bool kZp, class Fn>
VELMAR_INLINE void decode_stream(const float* scales, const float* zero_points, const uint8_t* bytes, uint32_t w,
                                 size_t block, size_t count, Fn&& f) {
    const uint8_t* const end = bytes + packed_len(count, w);
    if (block % kUnit == 0) {  // whole units per block: one broadcast each
        // Whole blocks whose units all start kSpan bytes or more before the
        // end of the stream go without the checks. A block longer than the
        // stream is none of them, and its bytes could overflow.
        const size_t unit = unit_bytes(w), whole = count / block, total = packed_len(count, w);
        const size_t safe = whole == 0 || total < S::kSpan ? 0 : min_size(whole, (total - S::kSpan + unit) / (block / 8 * w));
        size_t b = 0, k = 0;
        for (const uint8_t* p = bytes; b < safe; ++b) {
            const Vf s = S::set1(scales[b]);
            const Vf z = kZp ? S::set1(zero_points[b]) : s;
            for (const size_t e = k + block; k < e; k += kUnit, p += unit) {
                Vi c[kVecs];
                unpack_unit<kW>(p, w, c);
                for (size_t i = 0; i < kVecs; ++i) f(k + i * W, c[i], s, z, W);
            }
        }
        for (; k < count; ++b) {
            const Vf s = S::set1(scales[b]);
            const Vf z = kZp ? S::set1(zero_points[b]) : s;
            for (const size_t e = min_size(count, k + block); k < e; k += kUnit) {
                Vi c[kVecs];
                read_unit<kW>(bytes + k / 8 * w, end, w, c);
                for (size_t i = 0; i < kVecs && k + i * W < e; ++i) f(k + i * W, c[i], s, z, min_size(W, e - k - i * W));
            }
        }
        return;
    }
    if (block % W == 0) {
        Stepper s(scales, block), z(kZp ? zero_points : nullptr, block);
        for (size_t k = 0; k < count; k += kUnit) {
            Vi c[kVecs];
            read_unit<kW>(bytes + k / 8 * w, end, w, c);
            for (size_t i = 0; i < kVecs && k + i * W < count; ++i) {
                const size_t j = k + i * W;
                f(j, c[i], s.at(j), kZp ? z.at(j) : s.now, min_size(W, count - j));
            }
        }
        return;
    }
    if (kLanePermute && block > 1 && block < W && W % block == 0) {
        // W / block blocks per vector: the `block` vectors after a multiple
        // of W * block spread one whole vector of values, each its part.
        alignas(64) int32_t spread[W * W];
        for (size_t l = 0; l < W * block; ++l) spread[l] = static_cast<int32_t>(l / block);
        const size_t nb = block_count(count, block);
        const auto load = [&](const float* p, size_t g) VELMAR_LAMBDA {
            return g + W <= nb ? S::load(p + g) : S::load_n(p + g, nb - g, 0.0f);
        };
        // The vector of scales in use and its part for the next codes, counted
        // rather than divided out of the position.
        size_t g = 0, part = 0;
        Vf all_s = load(scales, 0), all_z = kZp ? load(zero_points, 0) : all_s;
        for (size_t k = 0; k < count; k += kUnit) {
            Vi c[kVecs];
            read_unit<kW>(bytes + k / 8 * w, end, w, c);
            for (size_t i = 0; i < kVecs && k + i * W < count; ++i) {
                const size_t j = k + i * W;
                const Vi at = S::loadi(spread + part * W);
                const Vf s = S::permute(all_s, at);
                f(j, c[i], s, kZp ? S::permute(all_z, at) : s, min_size(W, count - j));
                if (++part == block && j + W < count) {
                    part = 0;
                    g += W;
                    all_s = load(scales, g);
                    if constexpr (kZp) all_z = load(zero_points, g);
                }
            }
        }
        return;
    }
    // A vector meets at most two blocks: their values split at the boundary
    // (narrow registers spread them through memory faster).
    if (kLanePermute && block > W) {
        alignas(64) float at[W];
        for (size_t l = 0; l < W; ++l) at[l] = static_cast<float>(l);
        const Vf lanes = S::load(at);
        const size_t nb = block_count(count, block);
        size_t b = 0, next = block;  // the block of the vector's first code, and where the next begins
        for (size_t k = 0; k < count; k += kUnit) {
            Vi c[kVecs];
            read_unit<kW>(bytes + k / 8 * w, end, w, c);
            for (size_t i = 0; i < kVecs && k + i * W < count; ++i) {
                const size_t j = k + i * W;
                if (j >= next) {
                    ++b;
                    next += block;
                }
                Vf s = S::set1(scales[b]);
                Vf z = kZp ? S::set1(zero_points[b]) : s;
                if (j + W > next && b + 1 < nb) {
                    const Vm own = S::gt(S::set1(static_cast<float>(next - j)), lanes);
                    s = S::select(own, s, S::set1(scales[b + 1]));
                    if constexpr (kZp) z = S::select(own, z, S::set1(zero_points[b + 1]));
                }
                f(j, c[i], s, z, min_size(W, count - j));
            }
        }
        return;
    }
    alignas(64) float se[kBatch + W], ze[kBatch + W];
    for (size_t e0 = 0; e0 < count; e0 += kBatch) {
        const size_t e1 = min_size(count, e0 + kBatch);
        const float *sv = scales + e0, *zv = offset(zero_points, e0);
        if (block != 1) {
            expand(scales, 0, block, e0, e1, se);
            if constexpr (kZp) expand(zero_points, 0, block, e0, e1, ze);
            sv = se;
            zv = ze;
        }
        for (size_t k = e0; k < e1; k += kUnit) {
            Vi c[kVecs];
            read_unit<kW>(bytes + k / 8 * w, end, w, c);
            for (size_t i = 0; i < kVecs && k + i * W < e1; ++i) {
                const size_t j = k + i * W, m = min_size(W, count - j);
                const Vf s = m == W || block != 1 ? S::load(sv + (j - e0)) : S::load_n(sv + (j - e0), m, 0.0f);
                Vf z = s;
                if constexpr (kZp) z = m == W || block != 1 ? S::load(zv + (j - e0)) : S::load_n(zv + (j - e0), m, 0.0f);
                f(j, c[i], s, z, m);
            }
        }
    }
}

// Feeds f(j, codes as floats) for vectors of W codes and g(j, code) for the
// rest, over codes first..first+n of a stream of `bits`: lone codes up to a
// byte boundary, then whole units, then lone codes again.
template <class FV, class FS>
VELMAR_INLINE void walk_codes(const uint8_t* base, uint32_t bits, size_t first, size_t n, FV&& f, FS&& g) {
    size_t j = 0;
    for (; j < n && (first + j) % 8 != 0; ++j) g(j, code_at(base, first + j, bits));
    const uint8_t* const end = base + packed_len(first + n, bits);
    for (; j + kUnit <= n; j += kUnit) {
        Vi c[kVecs];
        read_unit(base + (first + j) / 8 * bits, end, bits, c);
        for (size_t i = 0; i < kVecs; ++i) f(j + i * W, S::to_float(c[i]));
    }
    for (; j < n; ++j) g(j, code_at(base, first + j, bits));
}

void k_unpack(const uint8_t* bytes, uint32_t bits, size_t count, int32_t* out) {
    const uint8_t* const end = bytes + packed_len(count, bits);
    by_width_class<true>(bits, [&]<uint32_t kW>() VELMAR_LAMBDA {
        for (size_t k = 0; k < count; k += kUnit) {
            Vi c[kVecs];
            read_unit<kW>(bytes + k / 8 * bits, end, bits, c);
            for (size_t i = 0; i < kVecs && k + i * W < count; ++i) {
                const size_t j = k + i * W;
                if (j + W <= count) S::store_i32(out + j, c[i]);
                else store_i32_n(out + j, c[i], count - j);
            }
        }
    });
}

void k_dequant_sym(const float* scales, const uint8_t* bytes, uint32_t bits, size_t block, size_t count,
                   float* out) {
    by_width_class<true>(bits, [&]<uint32_t kW>() VELMAR_LAMBDA {
        decode_stream<kW, false>(scales, nullptr, bytes, bits, block, count, [&](size_t j, Vi q, Vf s, Vf, size_t m) VELMAR_LAMBDA {
            store_first(out + j, S::mul(S::to_float(q), s), m);
        });
    });
}

void k_dequant_asym(const float* scales, const float* zero_points, const uint8_t* bytes, uint32_t bits,
                    const uint32_t* widths, size_t block, size_t count, float* out) {
    if (widths) {
        decode_runs(scales, zero_points, bytes, widths, block, count, [&](size_t j, Vi q, Vf s, Vf z, size_t m) VELMAR_LAMBDA {
            const Vf y = S::mul(s, S::sub(S::to_float(q), z));
            if (m == W) S::store(out + j, y);
            else S::store_n(out + j, y, m);
        });
        return;
    }
    by_width_class<true>(bits, [&]<uint32_t kW>() VELMAR_LAMBDA {
        decode_stream<kW, true>(scales, zero_points, bytes, bits, block, count, [&](size_t j, Vi q, Vf s, Vf z, size_t m) VELMAR_LAMBDA {
            store_first(out + j, S::mul(s, S::sub(S::to_float(q), z)), m);
        });
    });
}

// ---- dot products ----

// Lane k of the result is the sequential sum over j of row k's products, for W
// rows of `block` elements starting `block` apart: blocks run in lanes, each
// block's own sum stays in element order. prod(k, j0) gives row k's products
// j0..j0+W-1 as a vector; prod1(k, j) one product.
template <class PV, class PS>
inline Vf lane_sums(size_t block, PV&& prod, PS&& prod1) {
    Vf acc = S::set1(0.0f);
    size_t j0 = 0;
    for (; j0 + W <= block; j0 += W) {
        Vf rows[W];
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
        const Vf acc = lane_sums(
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


// The single running sum: products are staged kStage at a time, then added
// one by one, so only the additions stay serial. A short stage lets the
// products of the next run while the additions of the last still wait.
constexpr size_t kStage = 64;
static_assert(kStage % kUnit == 0, "stage");
inline float add_all(float acc, const float* p, size_t m) {
    for (size_t k = 0; k < m; ++k) acc = acc + p[k];
    return acc;
}

// Products of one stream's codes with x, summed in element order from acc.
template <uint32_t kW, bool kZp, class T>
VELMAR_INLINE float dot_stream(const float* scales, const float* zero_points, const uint8_t* bytes, uint32_t bits,
                               size_t block, const float* x, size_t n, T&& term) {
    alignas(64) float stage[kStage + W];
    float acc = 0.0f;
    size_t staged = 0;
    decode_stream<kW, kZp>(scales, zero_points, bytes, bits, block, n, [&](size_t j, Vi q, Vf s, Vf z, size_t m) VELMAR_LAMBDA {
        S::store(stage + staged, term(S::to_float(q), s, z, load_at(x, j, n)));
        staged += m;
        if (staged >= kStage) {
            acc = add_all(acc, stage, staged);
            staged = 0;
        }
    });
    return add_all(acc, stage, staged);
}

float k_dot_sym(const float* scales, const uint8_t* bytes, uint32_t bits, size_t block, const float* x, size_t n) {
    float r = 0.0f;
    by_width_class(bits, [&]<uint32_t kW>() VELMAR_LAMBDA {
        r = dot_stream<kW, false>(scales, nullptr, bytes, bits, block, x, n,
                                  [](Vf q, Vf s, Vf, Vf xv) VELMAR_LAMBDA { return S::mul(S::mul(s, q), xv); });
    });
    return r;
}

float k_dot_asym(const float* scales, const float* zero_points, const uint8_t* bytes, uint32_t bits, size_t block,
                 const float* x, size_t n) {
    float r = 0.0f;
    by_width_class(bits, [&]<uint32_t kW>() VELMAR_LAMBDA {
        r = dot_stream<kW, true>(scales, zero_points, bytes, bits, block, x, n,
                                 [](Vf q, Vf s, Vf z, Vf xv) VELMAR_LAMBDA { return S::mul(xv, S::mul(s, S::sub(q, z))); });
    });
    return r;
}

float k_dot_adaptive(const float* scales, const float* zero_points, const uint8_t* data, const uint32_t* widths,
                     size_t block, const float* x, size_t n) {
    alignas(64) float stage[kStage + W];
    float acc = -0.0f;
    size_t staged = 0;
    decode_runs(scales, zero_points, data, widths, block, n, [&](size_t j, Vi q, Vf s, Vf z, size_t m) VELMAR_LAMBDA {
        const Vf d = S::mul(s, S::sub(S::to_float(q), z));
        S::store(stage + staged, S::mul(d, load_at(x, j, n)));
        staged += m;
        if (staged >= kStage) {
            acc = add_all(acc, stage, staged);
            staged = 0;
        }
    });
    return add_all(acc, stage, staged);
}

// ---- least-squares fit ----

// The fits of W blocks of `block` elements, one per lane: xb the values and qb
// the codes of the first, each next one `block` further. Each block's four
// sums stay in element order. `ahead`, unless null, is where the values as
// far on lie, asked for as these are read.
VELMAR_INLINE void fit_lanes(const float* xb, const int32_t* qb, size_t block, float* scales, float* zero_points,
                             const float* ahead = nullptr) {
    Vf sq = S::set1(0.0f), sx = sq, sqq = sq, sxq = sq;
    const auto step = [&](Vf q, Vf x) VELMAR_LAMBDA {
        sq = S::add(sq, q);
        sx = S::add(sx, x);
        sqq = S::add(sqq, S::mul(q, q));
        sxq = S::add(sxq, S::mul(x, q));
    };
    size_t j0 = 0;
    for (; j0 + W <= block; j0 += W) {
        Vf xr[W], qr[W];
        for (size_t k = 0; k < W; ++k) {
            xr[k] = S::load(xb + k * block + j0);
            qr[k] = S::load_i32(qb + k * block + j0);
            if (ahead) __builtin_prefetch(ahead + k * block + j0, 0, 2);
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
    // The finish of every lane at once, its steps those of the scalar one.
    // A multiplication by -1 need not flip a NaN's sign as a negation does,
    // so lanes that meet a NaN finish one by one below.
    const Vf nf = S::set1(static_cast<float>(block)), tiny = S::set1(kTiny);
    const Vf mq = S::div(sq, nf), var = S::sub(sqq, S::mul(sq, mq));
    const Vf mx = S::div(sx, nf);
    const Vf sl = S::div(S::sub(sxq, S::mul(sq, mx)), var);
    const Vf dl = S::sub(mx, S::mul(mq, sl));
    const Vm flat = S::mor(S::gt(tiny, S::abs(var)), S::gt(tiny, S::abs(sl)));
    const Vf s = S::select(flat, S::set1(1.0f), sl), dn = S::select(flat, S::set1(0.0f), dl);
    if (!S::any(S::mor(S::isnan(s), S::isnan(dn)))) {
        S::store(scales, s);
        S::store(zero_points, S::select(flat, S::set1(0.0f), S::div(S::mul(dn, S::set1(-1.0f)), s)));
        return;
    }
    alignas(64) float a[W], c[W], d[W], e[W];
    S::store(a, sq);
    S::store(c, sx);
    S::store(d, sqq);
    S::store(e, sxq);
    for (size_t k = 0; k < W; ++k) {
        const Fit f = fit_finish(a[k], c[k], d[k], e[k], block);
        scales[k] = f.scale;
        zero_points[k] = f.zero_point;
    }
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
        fit_lanes(v + b * block, codes + b * block, block, scales + b, zero_points + b);
    }
    for_each_block(len, block, [&](size_t bi, size_t first, size_t n) {
        const Fit f = fit_run(v + first, codes + first, n, n);
        scales[bi] = f.scale;
        zero_points[bi] = f.zero_point;
    }, b);
}

// Codes c0..c0+n of a stream of width w (bytes up to end) into out, which
// holds n + 8 + kUnit codes; returns where code c0 landed. Units start on the
// group of eight codes around c0, the only positions that begin a byte.
VELMAR_INLINE const int32_t* codes_from(const uint8_t* bytes, const uint8_t* end, uint32_t w, size_t c0, size_t n,
                                        int32_t* out) {
    const size_t a0 = c0 / 8 * 8;
    for (size_t k = 0; k < c0 - a0 + n; k += kUnit) {
        Vi c[kVecs];
        read_unit(bytes + (a0 + k) / 8 * w, end, w, c);
        for (size_t i = 0; i < kVecs; ++i) S::store_i32(out + k + i * W, c[i]);
    }
    return out + (c0 - a0);
}

// The fit of every block straight from its packed codes (one stream of
// `bits`, or adaptive runs): the codes of W blocks at a time staged in cache
// and summed in lanes as fit_blocks does, never a whole int32 copy.
constexpr size_t kFitStage = 4096;
// W blocks of up to kFitBurst elements are asked for all at once; longer ones
// (block 100 at 16 lanes) ask for more than the memory takes in flight, and
// stalled: theirs are asked for a vector at a time, kFitAhead elements on,
// into L2 (so as not to crowd out the blocks in hand).
constexpr size_t kFitBurst = kAhead / 2, kFitAhead = 8192;

void k_fit_packed(const float* v, const uint8_t* bytes, uint32_t bits, const uint32_t* widths, size_t len,
                  size_t block, float* scales, float* zero_points) {
    const uint8_t* const end = widths ? bytes + adaptive_data_len(widths, block, len) : bytes + packed_len(len, bits);
    alignas(64) int32_t stage[kFitStage + 8 + kUnit];
    size_t pos = 0;  // adaptive: the run of the next block
    // Block b's codes into the stage, through the run or the stream.
    const auto stage_block = [&](size_t b, size_t n, int32_t* out) VELMAR_LAMBDA {
        if (!widths) return codes_from(bytes, end, bits, b * block, n, out);
        const int32_t* q = codes_from(bytes + pos, end, widths[b], 0, n, out);
        pos += packed_len(n, widths[b]);
        return q;
    };
    const size_t full = len / block;
    size_t b = 0;
    if (W * block <= kFitStage) {
        for (; b + W <= full; b += W) {
            const float* ahead = nullptr;
            if (W * block <= kFitBurst) prefetch(v, b * block, (b + W) * block, len);
            else if ((b + W) * block + kFitAhead <= len) ahead = v + b * block + kFitAhead;
            const int32_t* q = stage;
            if (widths) {
                for (size_t k = 0; k < W; ++k) stage_block(b + k, block, stage + k * block);
            } else {
                q = stage_block(b, W * block, stage);
            }
            fit_lanes(v + b * block, q, block, scales + b, zero_points + b, ahead);
        }
    }
    // The rest one block at a time, its sums in pieces of the stage.
    for (; b * block < len; ++b) {
        const size_t first = b * block, n = min_size(block, len - first);
        FitSums sums;
        const size_t run = pos;
        for (size_t j = 0; j < n; j += kFitStage) {
            const size_t m = min_size(kFitStage, n - j);
            const int32_t* q = widths ? codes_from(bytes + run, end, widths[b], j, m, stage)
                                      : codes_from(bytes, end, bits, first + j, m, stage);
            for (size_t i = 0; i < m; ++i) sums.add(static_cast<float>(q[i]), v[first + j + i]);
        }
        if (widths) pos += packed_len(n, widths[b]);
        const Fit f = fit_finish(sums.q, sums.x, sums.qq, sums.xq, n);
        scales[b] = f.scale;
        zero_points[b] = f.zero_point;
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

#include "kernels/rows.inl"

#include "kernels/superblock.inl"

#include "kernels/bounded.inl"

const Kernels kTable = {
    S::kLevel,       k_absmax,        k_min_max,      k_quantize_sym, k_asym_codes,      k_quantize_asym,
    k_adaptive_params, k_adaptive_codes, k_quantize_adaptive, k_unpack,   k_dequant_sym,  k_dequant_asym, k_dot_i8,          k_dot_sym,
    k_dot_asym,      k_dot_adaptive,  k_fit_blocks,   k_fit_packed,   k_widen_f16,       k_narrow_f16,
    k_rows_dot_i8,   k_rows_dot_sym,  k_rows_dot_asym, k_rows_dot_adaptive,
    k_quantize_super, k_dequant_super, k_dot_super,   k_rows_dot_super, k_dot_lanes, k_quantize_sym_weighted,
    k_quantize_asym_weighted,
    k_centre_blocks,   k_centred_codes, k_blocks_within,
};
