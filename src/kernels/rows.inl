// The row kernels' twin body: every row's 1-D dot with k vectors, rows in
// lanes. Included by twin.inl, under its rules (internal linkage, builtins
// and S only).
//
// Each row's sum must run in its own element order, so one row is one chain
// of additions; kTile rows side by side, in kTileVecs vectors of W lanes, are
// that many independent chains. A tile is read a step of columns at a time:
// the step's codes become bytes (widths up to 8), and 16 rows of them are
// transposed at once (S::transpose_bytes), so that a column's codes across
// the rows are W consecutive bytes. One or two vectors then convert them as
// they go; more share them converted once into a column-major tile of floats,
// as codes of 9 to 16 bits always are (decoded to floats, W x W transposed).
// A vector multiplies by x the code for the 8-bit dot, whose block sums are
// scaled once per block, and the dequantized value for every other kind, as
// its 1-D dot does.

constexpr size_t kTileVecs = 4;
constexpr size_t kTile = kTileVecs * W;  // rows per tile
constexpr size_t kPanel = 4 * W;         // columns of one byte transpose
constexpr size_t kStep = 128;            // columns per step
constexpr size_t kSub = 64;              // columns of one float tile
constexpr size_t kGroupK = 16;           // vectors run over one step
constexpr size_t kDirectK = 2;           // up to this many convert codes as they go
constexpr size_t kScaleCap = 4096;       // scales of a tile at hand (a window of blocks)
static_assert(kTile % 16 == 0 && kStep % kSub == 0 && kSub % kPanel == 0, "tile shape");

enum class RowKind { I8, Sym, Asym, Adaptive };

// The rows of one tile: where each row's codes start and, for the adaptive
// kind, where its current block's run starts; the scales (and zero points)
// of the window of blocks [sb, sb + snb) as floats across the lanes, block
// b's at scales + (b - sb) * kTile.
struct Tile {
    size_t t0, n;
    const uint8_t* codes[kTile];
    size_t pos[kTile];
    size_t sb, snb;
    alignas(64) float scales[kScaleCap];
    alignas(64) float zero_points[kScaleCap];
};

// Stored 16-bit elements [first, first + n) as floats.
VELMAR_INLINE void widen_stored(const void* p, Stored type, size_t first, size_t n, float* out) {
    const uint16_t* h = static_cast<const uint16_t*>(p) + first;
    if (type == Stored::F16)
        k_widen_f16(h, n, out);
    else
        for (size_t j = 0; j < n; ++j) out[j] = widen_bf16(h[j]);
}

// Rows [t.t0, t.t0 + t.n) of stored scales or zero points, blocks
// [t.sb, t.sb + t.snb), as floats across the lanes: widened (f32 is read
// where it lies; whole rows, being consecutive, in one run), then W rows x W
// blocks transposed at a time.
VELMAR_INLINE void lanes_of(const RowRun& r, const void* p, const Tile& t, size_t nb, float* out) {
    alignas(64) float wide[kScaleCap];
    const bool whole = t.snb == nb;
    if (r.stored != Stored::F32 && whole) widen_stored(p, r.stored, t.t0 * nb, t.n * nb, wide);
    for (size_t g = 0; g < kTile; g += W) {
        const float* src[W];  // null: a row past the tile's last, zeros
        for (size_t i = 0; i < W; ++i) {
            const size_t lane = g + i, first = (t.t0 + lane) * nb + t.sb;
            if (lane >= t.n) {
                src[i] = nullptr;
            } else if (r.stored == Stored::F32) {
                src[i] = static_cast<const float*>(p) + first;
            } else if (whole) {
                src[i] = wide + lane * nb;
            } else {
                widen_stored(p, r.stored, first, t.snb, wide + lane * t.snb);
                src[i] = wide + lane * t.snb;
            }
        }
        size_t j = 0;
        for (; j + W <= t.snb; j += W) {
            typename S::F v[W];
            for (size_t i = 0; i < W; ++i) v[i] = src[i] ? S::load(src[i] + j) : S::set1(0.0f);
            S::transpose(v);
            for (size_t i = 0; i < W; ++i) S::store(out + (j + i) * kTile + g, v[i]);
        }
        for (; j < t.snb; ++j)
            for (size_t i = 0; i < W; ++i) out[j * kTile + g + i] = src[i] ? src[i][j] : 0.0f;
    }
}

// Makes the window start at block b.
VELMAR_INLINE void load_scales(const RowRun& r, Tile& t, size_t nb, size_t b) {
    t.sb = b;
    t.snb = min_size(nb - b, kScaleCap / kTile);
    lanes_of(r, r.scales, t, nb, t.scales);
    if (r.zero_points) lanes_of(r, r.zero_points, t, nb, t.zero_points);
}

// Block b's scales or zero points across the lanes; b is in the window.
VELMAR_INLINE const float* block_lanes(const Tile& t, bool zero_points, size_t b) {
    return (zero_points ? t.zero_points : t.scales) + (b - t.sb) * kTile;
}

// Codes [c0, c0 + m) of one bit stream of `bits` (2..=8) as sign-extended
// bytes; vectors where their bytes can be read before end, c0 a multiple of
// 8 so that they start on a byte.
VELMAR_INLINE void stream_bytes(const uint8_t* base, uint32_t bits, size_t c0, size_t m, const uint8_t* end,
                                uint8_t* dst) {
    size_t j = 0;
    if (bits == 8) {
        // Bytes moved as float vectors, bits untouched.
        for (; j + kPanel <= m; j += kPanel)
            S::store(reinterpret_cast<float*>(dst + j), S::load(reinterpret_cast<const float*>(base + c0 + j)));
    } else if (bits == 4) {
        for (; j + kPanel <= m && base + (c0 + j) / 2 + 2 * W <= end; j += kPanel)
            S::nibbles_to_bytes(base + (c0 + j) / 2, dst + j);
    }
    if constexpr (S::kUnpackBits)
        for (; j + 16 <= m && base + (c0 + j) * bits / 8 + 16 <= end; j += 16)
            S::unpack_bits(base + (c0 + j) * bits / 8, bits, dst + j);
    for (; j < m; ++j) dst[j] = static_cast<uint8_t>(code_at(base, c0 + j, bits));
}

// n codes (a multiple of 16) of width w (2..=8) at run to bytes; the run's
// bytes and 32 more are readable.
template <class V = S>
VELMAR_INLINE void run_to_bytes(const uint8_t* run, uint32_t w, size_t n, uint8_t* dst) {
    size_t j = 0;
    if constexpr (requires { V::unpack_bits32(run, w, dst); })
        for (; j + 32 <= n; j += 32) V::unpack_bits32(run + j / 8 * w, w, dst + j);
    for (; j < n; j += 16) V::unpack_bits(run + j / 8 * w, w, dst + j);
}

// Blocks of 32 codes two at a time, from block b at column first up to
// column stop, where the level can (64 bytes readable at the runs); dst is
// column c0's byte.
template <class V = S>
VELMAR_INLINE void pairs_to_bytes(const uint32_t* widths, size_t& b, size_t& first, size_t stop, const uint8_t*& run,
                                  const uint8_t* end, uint8_t* dst, size_t c0) {
    if constexpr (requires { V::unpack_bits32x2(run, 2, 2, dst); }) {
        for (; first + 64 <= stop; b += 2, first += 64) {
            const uint32_t w = widths[b], v = widths[b + 1];
            if (static_cast<size_t>(end - run) < 64) break;
            V::unpack_bits32x2(run, w, v, dst + (first - c0));
            run += 4 * (w + v);
        }
    }
}

// Bytes of a run of n codes of width w; the checked layer has proven that
// every run of the view fits, so this cannot wrap.
VELMAR_INLINE size_t run_bytes(size_t n, uint32_t w) { return (n * w + 7) / 8; }

// Row i's codes of columns [c0, c0 + m) as bytes: of its one stream, or of
// each block's own run (adaptive: block b0 holds column c0, a row has nb
// blocks, and the run of the row's current block starts at t.pos). Both
// come worked out: a division a row had cost a tenth of the decoding.
template <RowKind K>
VELMAR_INLINE void row_to_bytes(const RowRun& r, Tile& t, size_t i, size_t c0, size_t m, size_t b0, size_t nb,
                                const uint8_t* end, uint8_t* dst) {
    if constexpr (K != RowKind::Adaptive) {
        stream_bytes(t.codes[i], K == RowKind::I8 ? 8 : r.bits, c0, m, end, dst);
    } else {
        const uint32_t* widths = r.widths + (t.t0 + i) * nb;
        size_t first = b0 * r.block, b = b0, s = c0;
        if constexpr (S::kUnpackBits) {
            // The common case, a step of whole blocks of whole vectors: only
            // each block's width and where its run starts change.
            if (r.block % 16 == 0 && first == c0) {
                const size_t stop = min_size(c0 + m, r.cols);
                const uint8_t* run = t.codes[i] + t.pos[i];
                if (r.block == 32) pairs_to_bytes(widths, b, first, stop, run, end, dst, c0);
                for (; first + r.block <= stop; ++b, first += r.block) {
                    const uint32_t w = widths[b];
                    const size_t bytes = r.block / 8 * w;
                    if (bytes + 32 > static_cast<size_t>(end - run)) break;
                    run_to_bytes(run, w, r.block, dst + first - c0);
                    run += bytes;
                }
                t.pos[i] = static_cast<size_t>(run - t.codes[i]);
                s = first;
            }
        }
        for (; s < c0 + m; ++b) {
            const size_t block_end = min_size(first + r.block, r.cols), e = min_size(block_end, c0 + m);
            const uint32_t w = widths[b];
            const uint8_t* run = t.codes[i] + t.pos[i];
            size_t j = s - first;
            const size_t stop = e - first;
            if constexpr (S::kUnpackBits) {
                // The common case, a whole block of whole vectors.
                if (j == 0 && stop % 16 == 0 && run + run_bytes(stop, w) + 16 <= end)
                    for (; j < stop; j += 16) S::unpack_bits(run + j * w / 8, w, dst + first + j - c0);
            }
            // Up to a code that starts on a byte, then in vectors.
            for (; j < stop && j % 8 != 0; ++j) dst[first + j - c0] = static_cast<uint8_t>(code_at(run, j, w));
            if (j < stop) stream_bytes(run, w, j, stop - j, end, dst + first + j - c0);
            if (e == block_end) t.pos[i] += run_bytes(block_end - first, w);
            s = e;
            first = block_end;
        }
    }
}

// The step's codes as bytes, 16 rows at a time transposed into columns.
// Staged first, even 8-bit codes: rows a fixed stride apart in a small
// buffer leave the transpose its registers.
template <RowKind K>
VELMAR_INLINE void transpose_step(const RowRun& r, Tile& t, size_t c0, size_t m, const uint8_t* end, uint8_t* rows,
                                  uint8_t* cols) {
    const size_t b0 = c0 / r.block, nb = block_count(r.cols, r.block);
    for (size_t i = 0; i < t.n; ++i) row_to_bytes<K>(r, t, i, c0, m, b0, nb, end, rows + i * kStep);
    const size_t panels = (m + kPanel - 1) / kPanel;
    for (size_t g = 0; g < kTile; g += 16)
        for (size_t p = 0; p < panels; ++p)
            S::transpose_bytes(rows + g * kStep + p * kPanel, kStep,
                               cols + (g / 16 * (kStep / kPanel) + p) * 16 * kPanel);
}

// Where column c of a transposed step starts: 4W * (c % 16) + 16 * (c / 16)
// within its panel (see transpose_bytes); lanes g.. of 16 rows further on.
struct ColumnAt {
    uint16_t at[kStep];
    constexpr ColumnAt() : at{} {
        for (size_t c = 0; c < kStep; ++c)
            at[c] = static_cast<uint16_t>(c / kPanel * 16 * kPanel + 4 * W * (c % kPanel % 16) + 16 * (c % kPanel / 16));
    }
};
constexpr ColumnAt kColumnAt;
constexpr size_t kGroupBytes = kStep * 16;  // one group of 16 rows' transposed step

// The values of a transposed step, column by column and W lanes at a time:
// the code for the 8-bit dot, the dequantized value for the other kinds,
// with the scales (and zero points) of the column's block across the lanes.
template <RowKind K>
struct ByteColumns {
    const RowRun& r;
    const Tile& t;
    const uint8_t* cols;
    size_t c0;
    size_t next;  // the step's column where the next block starts: the first one visited
    typename S::F s[kTileVecs]{}, z[kTileVecs]{};

    VELMAR_INLINE void column(size_t c, typename S::F* d) {
        if constexpr (K != RowKind::I8) {
            if (c == next) {
                const size_t block = (c0 + c) / r.block;
                next = (block + 1) * r.block - c0;
                for (size_t v = 0; v < kTileVecs; ++v) s[v] = S::load(block_lanes(t, false, block) + v * W);
                if constexpr (K != RowKind::Sym)
                    for (size_t v = 0; v < kTileVecs; ++v) z[v] = S::load(block_lanes(t, true, block) + v * W);
            }
        }
        const uint8_t* at = cols + kColumnAt.at[c];
        for (size_t v = 0; v < kTileVecs; ++v) {
            const typename S::F q = S::load_i8(at + v * W / 16 * kGroupBytes + v * W % 16);
            if constexpr (K == RowKind::I8) d[v] = q;
            if constexpr (K == RowKind::Sym) d[v] = S::mul(q, s[v]);
            if constexpr (K == RowKind::Asym || K == RowKind::Adaptive) d[v] = S::mul(s[v], S::sub(q, z[v]));
        }
    }
};

// The values of columns as floats, ft[c * kTile + lane].
struct FloatColumns {
    const float* ft;
    VELMAR_INLINE void column(size_t c, typename S::F* d) const {
        for (size_t v = 0; v < kTileVecs; ++v) d[v] = S::load(ft + c * kTile + v * W);
    }
};

// Codes of 9 to 16 bits, columns [c0, c0 + m) (m <= kSub): each row decoded
// to floats, then W x W blocks transposed into ft.
VELMAR_INLINE void wide_tile(const RowRun& r, const Tile& t, bool asym, size_t c0, size_t m, float* rowf, float* ft) {
    for (size_t i = 0; i < t.n; ++i) {
        float* o = rowf + i * kSub;
        for (size_t s = c0; s < c0 + m;) {
            const size_t b = s / r.block, e = min_size(min_size((b + 1) * r.block, r.cols), c0 + m);
            const float sc = block_lanes(t, false, b)[i];
            const float z = asym ? block_lanes(t, true, b)[i] : 0.0f;
            const typename S::F vs = S::set1(sc), vz = S::set1(z);
            float* d = o + (s - c0);
            walk_codes(
                t.codes[i], r.bits, s, e - s,
                [&](size_t j, typename S::F q) { S::store(d + j, asym ? S::mul(vs, S::sub(q, vz)) : S::mul(q, vs)); },
                [&](size_t j, int32_t q) { d[j] = asym ? asym_value(q, sc, z) : sym_value(q, sc); });
            s = e;
        }
    }
    size_t c = 0;
    for (; c + W <= m; c += W)
        for (size_t g = 0; g < kTile; g += W) {
            typename S::F v[W];
            for (size_t i = 0; i < W; ++i) v[i] = S::load(rowf + (g + i) * kSub + c);
            S::transpose(v);
            for (size_t i = 0; i < W; ++i) S::store(ft + (c + i) * kTile + g, v[i]);
        }
    for (; c < m; ++c)
        for (size_t i = 0; i < kTile; ++i) ft[c * kTile + i] = rowf[i * kSub + c];
}

// One vector's running sums over columns [c0, c0 + m): acc per lane and, for
// the 8-bit dot, the open block's sum `part`, scaled when its block ends.
// They stay in registers meanwhile: a sum kept in memory would wait on a
// store at every column.
template <RowKind K, class Columns>
VELMAR_INLINE void run_columns(const RowRun& r, const Tile& t, Columns&& src, size_t c0, size_t m, const float* x,
                               typename S::F* acc_io, typename S::F* part_io) {
    typename S::F acc[kTileVecs], part[kTileVecs], d[kTileVecs];
    for (size_t v = 0; v < kTileVecs; ++v) {
        acc[v] = acc_io[v];
        part[v] = part_io[v];
    }
    if constexpr (K == RowKind::I8) {
        for (size_t c = 0; c < m;) {
            const size_t b = (c0 + c) / r.block;
            const size_t block_end = min_size((b + 1) * r.block, r.cols) - c0, e = min_size(block_end, m);
            for (; c < e; ++c) {
                src.column(c, d);
                const typename S::F xb = S::set1(x[c]);
                for (size_t v = 0; v < kTileVecs; ++v) part[v] = S::add(part[v], S::mul(xb, d[v]));
            }
            if (e == block_end) {
                const float* sl = block_lanes(t, false, b);
                for (size_t v = 0; v < kTileVecs; ++v) {
                    acc[v] = S::add(acc[v], S::mul(part[v], S::load(sl + v * W)));
                    part[v] = S::set1(0.0f);
                }
            }
        }
    } else {
        for (size_t c = 0; c < m; ++c) {
            src.column(c, d);
            const typename S::F xb = S::set1(x[c]);
            for (size_t v = 0; v < kTileVecs; ++v)
                acc[v] = S::add(acc[v], K == RowKind::Asym ? S::mul(xb, d[v]) : S::mul(d[v], xb));
        }
    }
    for (size_t v = 0; v < kTileVecs; ++v) {
        acc_io[v] = acc[v];
        part_io[v] = part[v];
    }
}

template <RowKind K>
void rows_dot(const RowRun& r, const float* x, size_t k, float* out, size_t ld) {
    const size_t nb = block_count(r.cols, r.block);
    const bool bytes = K == RowKind::I8 || K == RowKind::Adaptive || r.bits <= 8;
    const uint8_t* end = r.codes + r.bytes;
    // The step's codes as bytes, then as columns; or the wide codes decoded.
    constexpr size_t kRoom = 2 * kTile * kStep > kTile * kSub * sizeof(float) ? 2 * kTile * kStep : kTile * kSub * sizeof(float);
    alignas(64) uint8_t room[kRoom];
    uint8_t* const rows = room;
    uint8_t* const cols = room + kTile * kStep;
    float* const rowf = reinterpret_cast<float*>(room);
    alignas(64) float ft[kSub * kTile];
    alignas(64) float lanes[kTile];
    Tile t;
    const uint8_t* next = r.codes;
    for (t.t0 = 0; t.t0 < r.rows; t.t0 += kTile) {
        t.n = min_size(kTile, r.rows - t.t0);
        for (size_t i = 0; i < t.n; ++i) {
            t.codes[i] = next;
            next += r.widths ? adaptive_data_len(r.widths + (t.t0 + i) * nb, r.block, r.cols) : run_bytes(r.cols, r.bits);
        }
        // Lanes past the last row read zero codes and are never stored.
        if (t.n < kTile) {
            if (bytes)
                __builtin_memset(rows + t.n * kStep, 0, (kTile - t.n) * kStep);
            else
                for (size_t i = t.n * kSub; i < kTile * kSub; ++i) rowf[i] = 0.0f;
        }
        t.snb = 0;
        const size_t tile_bytes = static_cast<size_t>(next - t.codes[0]);
        for (size_t g0 = 0; g0 < k; g0 += kGroupK) {
            const size_t gk = min_size(kGroupK, k - g0);
            typename S::F acc[kGroupK][kTileVecs], part[kGroupK][kTileVecs];
            for (size_t j = 0; j < gk; ++j)
                for (size_t v = 0; v < kTileVecs; ++v) {
                    acc[j][v] = S::set1(K == RowKind::Adaptive ? -0.0f : 0.0f);
                    part[j][v] = S::set1(0.0f);
                }
            for (size_t i = 0; i < t.n; ++i) t.pos[i] = 0;
            for (size_t c0 = 0; c0 < r.cols;) {
                // A step ends where the window of scales does, so that every
                // block it touches has its scales at hand.
                const size_t b0 = c0 / r.block;
                if (b0 < t.sb || b0 >= t.sb + t.snb) load_scales(r, t, nb, b0);
                const size_t c1 = min_size(min_size(c0 + kStep, r.cols), (t.sb + t.snb) * r.block);
                const size_t m = c1 - c0;
                // The rows are as many streams, more than the hardware
                // follows; the next tile, read in order a step's share at a
                // time, is one it does.
                if (g0 == 0) {
                    const auto ahead = [&](const void* p, size_t bytes) {
                        const size_t share = (bytes * kStep / r.cols + 63) / 64 * 64;
                        for (size_t b = c0 / kStep * share; b < (c0 / kStep + 1) * share && b < bytes; b += 64)
                            __builtin_prefetch(static_cast<const uint8_t*>(p) + b, 0, 2);
                    };
                    ahead(next, tile_bytes);
                    // So are its parts, which no stream detector follows either.
                    if (t.t0 + kTile < r.rows) {
                        const size_t blocks = min_size(kTile, r.rows - t.t0 - kTile) * nb, first = (t.t0 + kTile) * nb;
                        const size_t size = r.stored == Stored::F32 ? 4 : 2;
                        ahead(static_cast<const uint8_t*>(r.scales) + first * size, blocks * size);
                        if (r.zero_points) ahead(static_cast<const uint8_t*>(r.zero_points) + first * size, blocks * size);
                        if (r.widths) ahead(r.widths + first, blocks * 4);
                    }
                }
                const float* xs = x + g0 * r.cols + c0;
                if (bytes) {
                    transpose_step<K>(r, t, c0, m, end, rows, cols);
                    if (gk <= kDirectK) {
                        for (size_t j = 0; j < gk; ++j)
                            run_columns<K>(r, t, ByteColumns<K>{r, t, cols, c0, 0}, c0, m, xs + j * r.cols, acc[j],
                                           part[j]);
                        c0 = c1;
                        continue;
                    }
                }
                for (size_t s0 = 0; s0 < m; s0 += kSub) {
                    const size_t sm = min_size(kSub, m - s0);
                    if (bytes) {
                        ByteColumns<K> src{r, t, cols, c0, s0};
                        typename S::F d[kTileVecs];
                        for (size_t c = 0; c < sm; ++c) {
                            src.column(s0 + c, d);
                            for (size_t v = 0; v < kTileVecs; ++v) S::store(ft + c * kTile + v * W, d[v]);
                        }
                    } else {
                        wide_tile(r, t, K == RowKind::Asym, c0 + s0, sm, rowf, ft);
                    }
                    for (size_t j = 0; j < gk; ++j)
                        run_columns<K>(r, t, FloatColumns{ft}, c0 + s0, sm, xs + j * r.cols + s0, acc[j], part[j]);
                }
                c0 = c1;
            }
            for (size_t j = 0; j < gk; ++j) {
                for (size_t v = 0; v < kTileVecs; ++v) S::store(lanes + v * W, acc[j][v]);
                for (size_t i = 0; i < t.n; ++i) out[(g0 + j) * ld + t.t0 + i] = lanes[i];
            }
        }
    }
}

// A level's own kernels for one vector, where it has them (true when they
// ran): 8-bit rows with each row's blocks in lanes, read as one stream, and
// symmetric and asymmetric rows from dword transposes.
template <class T>
VELMAR_INLINE bool i8_one_vector(const RowRun& r, const float* x, float* out) {
    if constexpr (requires { T::rows_dot_i8_lanes(r, x, out); })
        return T::rows_dot_i8_lanes(r, x, out);
    else
        return false;
}
template <class T>
VELMAR_INLINE bool sym_one_vector(const RowRun& r, const float* x, float* out) {
    if constexpr (requires { T::rows_dot_sym_lanes(r, x, out); })
        return T::rows_dot_sym_lanes(r, x, out);
    else
        return false;
}
// Adaptive rows for a level's lanes kernel: each row's runs start where the
// previous row's end; the rows of a tile are decoded a run of columns at a
// time.
struct AdaptiveRows {
    const RowRun& r;
    size_t nb;
    const uint8_t* end;
    Tile t;
    const uint8_t* after;  // where the row after the tile starts
    size_t at = kSizeMax, at_block = 0;  // the columns last decoded from, and their block

    explicit AdaptiveRows(const RowRun& run)
        : r(run), nb(block_count(run.cols, run.block)), end(run.codes + run.bytes), after(run.codes) {
        t.t0 = t.n = 0;
    }
    size_t row_len(size_t row) const { return adaptive_data_len(r.widths + row * nb, r.block, r.cols); }
    // Tiles come in order, each right after the last.
    void tile(size_t t0, size_t n) {
        t.t0 = t0;
        t.n = n;
        for (size_t i = 0; i < n; ++i) {
            t.codes[i] = after;
            t.pos[i] = 0;
            after += row_len(t0 + i);
        }
    }
    const uint8_t* codes(size_t i) const { return t.codes[i]; }
    // Rows from the tile's end on.
    const uint8_t* start(size_t row) const {
        const uint8_t* p = after;
        for (size_t i = t.t0 + t.n; i < row; ++i) p += row_len(i);
        return p;
    }
    // The rows of a tile are asked for the same columns one after another.
    void decode(size_t i, size_t c0, size_t m, uint8_t* dst) {
        if (c0 != at) {
            at = c0;
            at_block = c0 / r.block;
        }
        row_to_bytes<RowKind::Adaptive>(r, t, i, c0, m, at_block, nb, end, dst);
    }
};
template <class T>
VELMAR_INLINE bool adaptive_one_vector(const RowRun& r, const float* x, float* out) {
    if constexpr (requires(AdaptiveRows& d) { T::rows_dot_adaptive_lanes(r, x, out, d); }) {
        static_assert(sizeof(T) > 0 && kTile >= 32, "the lanes kernels' tiles of rows fit a Tile");
        AdaptiveRows rows(r);
        return T::rows_dot_adaptive_lanes(r, x, out, rows);
    } else {
        return false;
    }
}
template <class T>
VELMAR_INLINE bool asym_one_vector(const RowRun& r, const float* x, float* out) {
    if constexpr (requires { T::rows_dot_asym_lanes(r, x, out); })
        return T::rows_dot_asym_lanes(r, x, out);
    else
        return false;
}

void k_rows_dot_i8(const RowRun& r, const float* x, size_t k, float* out, size_t ld) {
    if (k == 1 && i8_one_vector<S>(r, x, out)) return;
    rows_dot<RowKind::I8>(r, x, k, out, ld);
}
void k_rows_dot_sym(const RowRun& r, const float* x, size_t k, float* out, size_t ld) {
    if (k == 1 && sym_one_vector<S>(r, x, out)) return;
    rows_dot<RowKind::Sym>(r, x, k, out, ld);
}
void k_rows_dot_asym(const RowRun& r, const float* x, size_t k, float* out, size_t ld) {
    if (k == 1 && asym_one_vector<S>(r, x, out)) return;
    rows_dot<RowKind::Asym>(r, x, k, out, ld);
}
void k_rows_dot_adaptive(const RowRun& r, const float* x, size_t k, float* out, size_t ld) {
    if (k == 1 && adaptive_one_vector<S>(r, x, out)) return;
    rows_dot<RowKind::Adaptive>(r, x, k, out, ld);
}
