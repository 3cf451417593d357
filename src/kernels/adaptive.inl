// The adaptive kind's quantizing and the walk its decoders share: part of
// twin.inl, under its rules (internal linkage, builtins only), included where
// the packing, coding and range steps are already defined.
//
// Blocks change width from one to the next, so nothing here may cost per
// block what a fixed width pays once per stream: packers are made once per
// call, and no pass over all the widths precedes the work (a unit near the
// end of the record is bounded by the bytes the later runs hold at least).

// Block b's run [pos, pos + bytes), and `reach`: the bytes from the record's
// start that surely exist, the run's end plus the fewest bytes the runs after
// it can hold (each at least as long as the last, shortest block at width 2).
struct RunAt {
    size_t first, n, pos, bytes, reach;
};

template <class F>
VELMAR_INLINE void walk_runs(size_t len, size_t block, const uint32_t* widths, size_t b0, size_t b1, size_t& pos,
                             F&& f) {
    const size_t nb = block_count(len, block);
    const size_t least = nb != 0 ? packed_len(len - (nb - 1) * block, 2) : 0;
    for (size_t b = b0; b < b1; ++b) {
        const size_t first = b * block, n = min_size(block, len - first), bytes = packed_len(n, widths[b]);
        f(b, RunAt{first, n, pos, bytes, pos + bytes + (nb - 1 - b) * least});
        pos += bytes;
    }
}

// Blocks b0..b1 of one batch: each one's width, scale and zero point from
// one range, W blocks to a vector. kBlock: the block length when known here
// (0 when not), as below.
template <size_t kBlock>
VELMAR_INLINE void batch_params_of(const float* v, size_t len, size_t any_block, size_t b0, size_t b1,
                                   const WidthLimits& limits, uint32_t* widths, float* scales, float* zero_points) {
    const size_t block = kBlock ? kBlock : any_block;
    const LimitLanes lanes(limits);
    for (size_t g = b0; g < b1; g += W) {
        const size_t m = min_size(W, b1 - g), whole = (g + m) * block <= len ? m : m - 1;
        Vf l, h;
        const bool clean = min_max_lanes(v + g * block, block, whole, l, h);
        if (!clean || whole < m) {
            // Blocks with a NaN, and a short last one, by the rules.
            alignas(64) float tl[W], th[W];
            S::store(tl, l);
            S::store(th, h);
            for (size_t k = clean ? whole : 0; k < m; ++k) {
                const size_t first = (g + k) * block;
                const MinMax r = min_max_of(v + first, min_size(block, len - first));
                tl[k] = r.lo;
                th[k] = r.hi;
            }
            l = S::load(tl);
            h = S::load(th);
        }
        const WidthLanes wl = width_lanes(l, h, lanes);
        Vf s, z;
        asym_lanes(l, h, wl.qmin, wl.qmax, s, z);
        store_first(scales + g, s, m);
        store_first(zero_points + g, z, m);
        store_i32_n(reinterpret_cast<int32_t*>(widths + g), S::code(wl.w, S::set1(0.0f), S::set1(16.0f)), m);
    }
}

// Blocks of 4W and 8W values (at W = 4 the default among them) get loops
// with their length known, unrolled; blocks of fewer vectors are read best by
// the loop as it is (the unrolled one took 5 % longer at W = 16).
VELMAR_INLINE void batch_params(const float* v, size_t len, size_t block, size_t b0, size_t b1,
                                const WidthLimits& limits, uint32_t* widths, float* scales, float* zero_points) {
    if (block == 4 * W) batch_params_of<4 * W>(v, len, block, b0, b1, limits, widths, scales, zero_points);
    else if (block == 8 * W) batch_params_of<8 * W>(v, len, block, b0, b1, limits, widths, scales, zero_points);
    else batch_params_of<0>(v, len, block, b0, b1, limits, widths, scales, zero_points);
}

template <class T, bool = BlockPack<T>>
struct BlockPackers {};
template <class T>
struct BlockPackers<T, true> {
    typename T::BlockPacker at[7] = {typename T::BlockPacker(2), typename T::BlockPacker(3), typename T::BlockPacker(4),
                                     typename T::BlockPacker(5), typename T::BlockPacker(6), typename T::BlockPacker(7),
                                     typename T::BlockPacker(8)};
};

// One packer per width 2..=8, made once per call.
struct RunPackers {
    Packer at[7] = {Packer(2, true), Packer(3, true), Packer(4, true), Packer(5, true),
                    Packer(6, true), Packer(7, true), Packer(8, true)};
    BlockPackers<S> blocks;
    const Packer& of(uint32_t w) const { return at[w - 2]; }
};

// ---- blocks of whole units ----
//
// When a block is whole units (block % kUnit == 0) every run starts on a byte
// and holds whole units, so that a block's walk is its units and nothing
// else: no unit is cut short, and a run's length is block / 8 bytes a bit.
// The width stays an operand: widths change from block to block without a
// pattern, and a branch on them would be mispredicted about once a block.

// Code bounds as floats, by width.
struct Bounds {
    float lo[9], hi[9];
    constexpr Bounds() : lo{}, hi{} {
        for (uint32_t w = 2; w <= 8; ++w) {
            lo[w] = -static_cast<float>(1u << (w - 1));
            hi[w] = static_cast<float>((1u << (w - 1)) - 1);
        }
    }
};
constexpr Bounds kBounds;

// The blocks before the one returned have kSpan bytes of later runs after
// their own (each at least the last, shortest block's at width 2), so their
// units are read and stored in full, never through a cut copy.
inline size_t unit_safe_blocks(size_t len, size_t block) {
    const size_t nb = block_count(len, block);
    if (nb == 0) return 0;
    const size_t least = packed_len(len - (nb - 1) * block, 2), after = (S::kSpan + least - 1) / least;
    return nb > after ? nb - after : 0;
}

// The codes of whole-unit blocks b0..b1 (all before unit_safe_blocks), inv
// holding the reciprocals of the batch from b0. The values ahead are asked
// for a block at a time: asked for a batch at once, the requests stall on the
// line fill buffers, and the bus then idles while the codes are made.
template <class T = S>
constexpr size_t block_step() {
    if constexpr (BlockPack<T>) return T::kBlockUnit;
    else return kUnit;
}

template <size_t kStep, class T = S>
VELMAR_INLINE void pack_step(const Vi* c, const RunPackers& packers, uint32_t w, uint8_t* p) {
    if constexpr (kStep == kUnit) packers.of(w).pack(c, p);
    else static_cast<const BlockPackers<T>&>(packers.blocks).at[w - 2].pack(c, p);
}

template <size_t kStep, size_t kBlock = 0>
VELMAR_INLINE void whole_unit_codes(const float* v, size_t len, size_t any_block, size_t b0, size_t b1,
                                    const uint32_t* widths, const float* inv, const float* zero_points,
                                    const RunPackers& packers, uint8_t* bytes, size_t& pos) {
    const size_t block = kBlock ? kBlock : any_block;
    for (size_t b = b0; b < b1; ++b) {
        const uint32_t w = widths[b];
        const float* const x = v + b * block;
        prefetch(v, b * block, (b + 1) * block, len);
        const Lane l = broadcast(inv[b - b0], zero_points[b], kBounds.lo[w], kBounds.hi[w]);
        uint8_t* const run = bytes + pos;
        for (size_t j = 0; j < block; j += kStep) {
            Vi u[kStep / W];
            for (size_t i = 0; i < kStep / W; ++i) u[i] = code_lanes<true>(S::load(x + j + i * W), l);
            pack_step<kStep>(u, packers, w, run + j / 8 * w);
        }
        pos += block / 8 * w;
    }
}

// The blocks that go through whole_unit_codes and the lean decode: none
// unless blocks are whole units.
inline size_t lean_blocks(size_t len, size_t block) { return block % kUnit == 0 ? unit_safe_blocks(len, block) : 0; }

// Then the codes of blocks b0..b1, each packed into its own run at its own
// width, the first at byte pos; those before `lean` by whole_unit_codes.
VELMAR_INLINE void batch_codes(const float* v, size_t len, size_t block, size_t b0, size_t b1, size_t lean,
                               const uint32_t* widths, const float* scales, const float* zero_points,
                               const RunPackers& packers, uint8_t* bytes, size_t& pos) {
    alignas(64) float inv[kBatch];
    alignas(64) int32_t c[kUnit + W];
    for (size_t g = 0; g < b1 - b0; g += W) {
        const size_t m = min_size(W, b1 - b0 - g);
        const Vf s = m == W ? S::load(scales + b0 + g) : S::load_n(scales + b0 + g, m, 1.0f);
        S::store(inv + g, S::div(S::set1(1.0f), s));  // inv has room for whole vectors
    }
    const size_t from = lean <= b0 ? b0 : min_size(b1, lean);
    constexpr size_t kStep = block_step();
    if (block == kStep)
        whole_unit_codes<kStep, kStep>(v, len, block, b0, from, widths, inv, zero_points, packers, bytes, pos);
    else if (block == 2 * kStep)
        whole_unit_codes<kStep, 2 * kStep>(v, len, block, b0, from, widths, inv, zero_points, packers, bytes, pos);
    else if (block % kStep == 0)
        whole_unit_codes<kStep>(v, len, block, b0, from, widths, inv, zero_points, packers, bytes, pos);
    else
        whole_unit_codes<kUnit>(v, len, block, b0, from, widths, inv, zero_points, packers, bytes, pos);
    walk_runs(len, block, widths, from, b1, pos, [&](size_t k, const RunAt& r) VELMAR_LAMBDA {
        const uint32_t w = widths[k];
        const Packer& pk = packers.of(w);
        const Lane l = broadcast(inv[k - b0], zero_points[k], kBounds.lo[w], kBounds.hi[w]);
        uint8_t* const run = bytes + r.pos;
        uint8_t* const end = bytes + r.reach;
        size_t j = 0;
        for (; j + kUnit <= r.n; j += kUnit) {
            Vi u[kVecs];
            for (size_t i = 0; i < kVecs; ++i) u[i] = code_of<true>(v, len, r.first + j + i * W, l);
            write_unit(u, pk, w, run + j / 8 * w, end);
        }
        if (j < r.n) {  // the last unit, padded with code 0
            code_range<true>(v, len, r.first + j, r.first + r.n, [&](size_t) VELMAR_LAMBDA { return l; }, c);
            for (size_t i = r.n - j; i < kUnit; ++i) c[i] = 0;
            write_codes(c, pk, w, run + j / 8 * w, end);
        }
    });
}

inline size_t adaptive_batch(size_t block) { return block >= kBatch ? 1 : kBatch / block; }

void k_adaptive_params(const float* v, size_t len, size_t block, float tolerance, uint32_t* widths, float* scales,
                       float* zero_points) {
    const size_t per = adaptive_batch(block), nb = block_count(len, block);
    const WidthLimits limits = width_limits(tolerance);
    for (size_t b0 = 0; b0 < nb; b0 += per) {
        const size_t b1 = min_size(nb, b0 + per);
        prefetch(v, b0 * block, min_size(len, b1 * block), len);
        batch_params(v, len, block, b0, b1, limits, widths, scales, zero_points);
    }
}

void k_adaptive_codes(const float* v, size_t len, size_t block, const uint32_t* widths, const float* scales,
                      const float* zero_points, uint8_t* bytes) {
    const RunPackers packers;
    const size_t per = adaptive_batch(block), nb = block_count(len, block), lean = lean_blocks(len, block);
    size_t pos = 0;
    for (size_t b0 = 0; b0 < nb; b0 += per) {
        const size_t b1 = min_size(nb, b0 + per);
        if (b1 > lean) prefetch(v, b0 * block, min_size(len, b1 * block), len);
        batch_codes(v, len, block, b0, b1, lean, widths, scales, zero_points, packers, bytes, pos);
    }
}

// Both, a batch at a time: its codes are made while its values are still in
// cache and the next batches' are on their way, so the reading of the values
// overlaps the work instead of preceding it.
size_t k_quantize_adaptive(const float* v, size_t len, size_t block, float tolerance, uint32_t* widths,
                           float* scales, float* zero_points, uint8_t* bytes) {
    const RunPackers packers;
    const WidthLimits limits = width_limits(tolerance);
    const size_t per = adaptive_batch(block), nb = block_count(len, block), lean = lean_blocks(len, block);
    size_t pos = 0;
    for (size_t b0 = 0; b0 < nb; b0 += per) {
        const size_t b1 = min_size(nb, b0 + per);
        if (b1 > lean) prefetch(v, b0 * block, min_size(len, b1 * block), len);
        batch_params(v, len, block, b0, b1, limits, widths, scales, zero_points);
        batch_codes(v, len, block, b0, b1, lean, widths, scales, zero_points, packers, bytes, pos);
    }
    return pos;
}

// f(j, codes, scale, zero point, m) for every vector of codes j..j+W (m of
// them real) of an adaptive record, each block in its own run, its scale and
// zero point broadcast once.
template <class Fn>
VELMAR_INLINE void decode_runs(const float* scales, const float* zero_points, const uint8_t* data,
                               const uint32_t* widths, size_t block, size_t count, Fn&& f) {
    size_t b = 0, pos = 0;
    for (const size_t lean = lean_blocks(count, block); b < lean; ++b) {
        const Vf s = S::set1(scales[b]), z = S::set1(zero_points[b]);
        const uint8_t* const run = data + pos;
        const uint32_t w = widths[b];
        for (size_t j = 0; j < block; j += kUnit) {
            Vi c[kVecs];
            S::unpack(run + j / 8 * w, w, c);
            for (size_t i = 0; i < kVecs; ++i) f(b * block + j + i * W, c[i], s, z, W);
        }
        pos += block / 8 * w;
    }
    walk_runs(count, block, widths, b, block_count(count, block), pos, [&](size_t k, const RunAt& r) VELMAR_LAMBDA {
        const uint32_t w = widths[k];
        const Vf s = S::set1(scales[k]), z = S::set1(zero_points[k]);
        const uint8_t* const end = data + r.reach;
        for (size_t j = 0; j < r.n; j += kUnit) {
            Vi c[kVecs];
            read_unit(data + r.pos + j / 8 * w, end, w, c);
            for (size_t i = 0; i < kVecs && j + i * W < r.n; ++i)
                f(r.first + j + i * W, c[i], s, z, min_size(W, r.n - j - i * W));
        }
    });
}
