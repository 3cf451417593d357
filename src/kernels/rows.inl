// The row kernels' twin body: every row's 1-D dot with k vectors, rows in
// lanes. Included by twin.inl, under its rules (internal linkage, builtins
// and S only).
//
// Each row's sum must run in its own element order, so a single row is one
// chain of additions; kTile rows side by side, in kTileVecs vectors of W
// lanes, are that many independent chains. A tile is decoded a step of
// columns at a time into floats laid out column by column (the W x W
// transposes of S), and every vector of a group then runs down the step. The
// decoded value is the code for the 8-bit dot, whose block sums are scaled
// once per block, and for every other kind the dequantized value, which is
// what its 1-D dot multiplies by x.

constexpr size_t kTileVecs = 4;
constexpr size_t kTile = kTileVecs * W;
constexpr size_t kStep = 64;   // columns decoded at a time
constexpr size_t kGroupK = 8;  // vectors run over one decoded step

enum class RowKind { I8, Sym, Asym, Adaptive };

// Where each row of a tile stands: its codes, its first scale, and for the
// adaptive kind the byte run of its current block.
struct TileRows {
    const uint8_t* codes[kTile];
    size_t b0[kTile];
    size_t pos[kTile];
};

// Row i's decoded values of columns c0..c0+m, which cover whole blocks or lie
// in one, into dst.
template <RowKind K>
VELMAR_INLINE void decode_row(const RowRun& r, TileRows& t, size_t i, size_t c0, size_t m, float* dst) {
    const size_t end = c0 + m;
    for (size_t s = c0; s < end;) {
        const size_t b = s / r.block;
        const size_t block_end = min_size((b + 1) * r.block, r.cols);
        const size_t e = min_size(block_end, end);
        float* o = dst + (s - c0);
        if constexpr (K == RowKind::I8) {
            walk_codes(
                t.codes[i], 8, s, e - s, [&](size_t j, typename S::F q) { S::store(o + j, q); },
                [&](size_t j, int32_t q) { o[j] = static_cast<float>(q); });
        } else if constexpr (K == RowKind::Sym) {
            const float sc = stored_at(r.scales, r.stored, t.b0[i] + b);
            const typename S::F vs = S::set1(sc);
            walk_codes(
                t.codes[i], r.bits, s, e - s, [&](size_t j, typename S::F q) { S::store(o + j, S::mul(q, vs)); },
                [&](size_t j, int32_t q) { o[j] = sym_value(q, sc); });
        } else {
            const float sc = stored_at(r.scales, r.stored, t.b0[i] + b);
            const float z = stored_at(r.zero_points, r.stored, t.b0[i] + b);
            const typename S::F vs = S::set1(sc);
            const typename S::F vz = S::set1(z);
            const bool adaptive = K == RowKind::Adaptive;
            const uint32_t w = adaptive ? r.widths[t.b0[i] + b] : r.bits;
            const uint8_t* base = adaptive ? t.codes[i] + t.pos[i] : t.codes[i];
            walk_codes(
                base, w, adaptive ? s - b * r.block : s, e - s,
                [&](size_t j, typename S::F q) { S::store(o + j, S::mul(vs, S::sub(q, vz))); },
                [&](size_t j, int32_t q) { o[j] = asym_value(q, sc, z); });
            if (adaptive && e == block_end) t.pos[i] += packed_len(block_end - b * r.block, w);
        }
        s = e;
    }
}

// rowbuf[kTile][kStep] to colbuf[kStep][kTile], the first m columns.
VELMAR_INLINE void to_columns(const float* rowbuf, size_t m, float* colbuf) {
    size_t c = 0;
    for (; c + W <= m; c += W)
        for (size_t g = 0; g < kTile; g += W) {
            typename S::F v[W];
            for (size_t i = 0; i < W; ++i) v[i] = S::load(rowbuf + (g + i) * kStep + c);
            S::transpose(v);
            for (size_t i = 0; i < W; ++i) S::store(colbuf + (c + i) * kTile + g, v[i]);
        }
    for (; c < m; ++c)
        for (size_t i = 0; i < kTile; ++i) colbuf[c * kTile + i] = rowbuf[i * kStep + c];
}

// The running sums of one vector over one decoded step: acc per lane, and
// for the 8-bit dot the open block's sum `part`, scaled by bscale (the
// tile's scales of the step's blocks, first block bfirst) when its block ends.
template <RowKind K>
VELMAR_INLINE void run_step(const RowRun& r, const float* colbuf, const float* bscale, size_t bfirst, size_t c0,
                            size_t m, const float* x, typename S::F* acc, typename S::F* part) {
    if constexpr (K == RowKind::I8) {
        for (size_t c = 0; c < m;) {
            const size_t b = (c0 + c) / r.block;
            const size_t block_end = min_size((b + 1) * r.block, r.cols) - c0;
            const size_t e = min_size(block_end, m);
            for (; c < e; ++c) {
                const typename S::F xb = S::set1(x[c]);
                for (size_t v = 0; v < kTileVecs; ++v)
                    part[v] = S::add(part[v], S::mul(xb, S::load(colbuf + c * kTile + v * W)));
            }
            if (e == block_end) {
                for (size_t v = 0; v < kTileVecs; ++v) {
                    acc[v] = S::add(acc[v], S::mul(part[v], S::load(bscale + (b - bfirst) * kTile + v * W)));
                    part[v] = S::set1(0.0f);
                }
            }
        }
    } else {
        for (size_t c = 0; c < m; ++c) {
            const typename S::F xb = S::set1(x[c]);
            for (size_t v = 0; v < kTileVecs; ++v) {
                const typename S::F d = S::load(colbuf + c * kTile + v * W);
                if constexpr (K == RowKind::Sym) {
                    acc[v] = S::add(acc[v], S::mul(d, xb));
                } else if constexpr (K == RowKind::Asym) {
                    acc[v] = S::add(acc[v], S::mul(xb, d));
                } else {
                    acc[v] = S::add(acc[v], S::mul(d, xb));
                }
            }
        }
    }
}

// Columns of the next step from c: whole blocks up to kStep columns, or up to
// kStep columns of one longer block.
VELMAR_INLINE size_t step_end(size_t c, size_t block, size_t cols) {
    const size_t end = block <= kStep ? c + kStep / block * block : min_size((c / block + 1) * block, c + kStep);
    return min_size(end, cols);
}

template <RowKind K>
void rows_dot(const RowRun& r, const float* x, size_t k, float* out, size_t ld) {
    const size_t nb = block_count(r.cols, r.block);
    alignas(64) float rowbuf[kTile * kStep];
    alignas(64) float colbuf[kStep * kTile];
    alignas(64) float bscale[K == RowKind::I8 ? kStep * kTile : 1];
    alignas(64) float lanes[kTile];
    TileRows t;
    const uint8_t* next = r.codes;
    for (size_t t0 = 0; t0 < r.rows; t0 += kTile) {
        const size_t n = min_size(kTile, r.rows - t0);
        for (size_t i = 0; i < n; ++i) {
            t.codes[i] = next;
            t.b0[i] = (t0 + i) * nb;
            next += r.widths ? adaptive_data_len(r.widths + t.b0[i], r.block, r.cols) : packed_len(r.cols, r.bits);
        }
        // Lanes past the last row decode nothing and are never stored.
        for (size_t i = n * kStep; i < kTile * kStep; ++i) rowbuf[i] = 0.0f;
        for (size_t g0 = 0; g0 < k; g0 += kGroupK) {
            const size_t gk = min_size(kGroupK, k - g0);
            typename S::F acc[kGroupK][kTileVecs], part[kGroupK][kTileVecs];
            for (size_t j = 0; j < gk; ++j)
                for (size_t v = 0; v < kTileVecs; ++v) {
                    acc[j][v] = S::set1(K == RowKind::Adaptive ? -0.0f : 0.0f);
                    part[j][v] = S::set1(0.0f);
                }
            for (size_t i = 0; i < n; ++i) t.pos[i] = 0;
            for (size_t c0 = 0; c0 < r.cols;) {
                const size_t c1 = step_end(c0, r.block, r.cols);
                const size_t m = c1 - c0;
                for (size_t i = 0; i < n; ++i) decode_row<K>(r, t, i, c0, m, rowbuf + i * kStep);
                to_columns(rowbuf, m, colbuf);
                const size_t bfirst = c0 / r.block;
                if constexpr (K == RowKind::I8) {
                    for (size_t b = bfirst; b * r.block < c1; ++b)
                        for (size_t i = 0; i < kTile; ++i)
                            bscale[(b - bfirst) * kTile + i] = i < n ? stored_at(r.scales, r.stored, t.b0[i] + b) : 0.0f;
                }
                for (size_t j = 0; j < gk; ++j)
                    run_step<K>(r, colbuf, bscale, bfirst, c0, m, x + (g0 + j) * r.cols + c0, acc[j], part[j]);
                c0 = c1;
            }
            for (size_t j = 0; j < gk; ++j) {
                for (size_t v = 0; v < kTileVecs; ++v) S::store(lanes + v * W, acc[j][v]);
                for (size_t i = 0; i < n; ++i) out[(g0 + j) * ld + t0 + i] = lanes[i];
            }
        }
    }
}

void k_rows_dot_i8(const RowRun& r, const float* x, size_t k, float* out, size_t ld) {
    rows_dot<RowKind::I8>(r, x, k, out, ld);
}
void k_rows_dot_sym(const RowRun& r, const float* x, size_t k, float* out, size_t ld) {
    rows_dot<RowKind::Sym>(r, x, k, out, ld);
}
void k_rows_dot_asym(const RowRun& r, const float* x, size_t k, float* out, size_t ld) {
    rows_dot<RowKind::Asym>(r, x, k, out, ld);
}
void k_rows_dot_adaptive(const RowRun& r, const float* x, size_t k, float* out, size_t ld) {
    rows_dot<RowKind::Adaptive>(r, x, k, out, ld);
}
