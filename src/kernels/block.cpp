#include "kernels/block.hpp"

#include <algorithm>
#include <numeric>
#include <type_traits>

#include "kernels/dispatch.hpp"
#include "kernels/i4.hpp"
#include "kernels/i8.hpp"
#include "kernels/memory.hpp"

namespace velmar {

namespace {

const simd::Kernels& table() { return simd::active(); }

template <class T>
constexpr simd::Stored stored_of() {
    if constexpr (std::is_same_v<T, f16>) return simd::Stored::F16;
    if constexpr (std::is_same_v<T, bf16>) return simd::Stored::Bf16;
    return simd::Stored::F32;
}

// Elements [first, first + n) of stored scales or zero points as floats: the
// stored floats themselves, or widened into buf.
template <class T>
const float* floats_of(std::span<const T> v, size_t first, size_t n, std::vector<float>& buf) {
    if constexpr (std::is_same_v<T, f32>) {
        return v.data() + first;
    } else {
        buf.resize(n);
        if constexpr (std::is_same_v<T, f16>)
            table().widen_f16(reinterpret_cast<const uint16_t*>(v.data() + first), n, buf.data());
        else
            for (size_t i = 0; i < n; ++i) buf[i] = widen_bf16(v[first + i].bits);  // the rule inline, so it vectorises
        return buf.data();
    }
}

// rows * cols, which must equal want.
void require_count(size_t rows, size_t cols, size_t want, const char* what) {
    size_t n = 0;
    require(!__builtin_mul_overflow(rows, cols, &n) && n == want, what);
}

// Code bytes of rows [row, row + n) of a whole view.
template <class T>
size_t bytes_of_rows(const Rows<T>& v, size_t row, size_t n) {
    if (v.scheme.kind != Kind::Adaptive) return n * packed_len(v.cols, v.scheme.bits);
    const size_t nb = block_count(v.cols, v.scheme.block);
    size_t total = 0;
    for (size_t i = row; i < row + n; ++i) total += row_bytes(v.scheme, v.cols, v.widths.data() + i * nb);
    return total;
}

// f(row, n, byte) for runs of rows in order: runs of about kRunValues values
// when the rows are one row's blocks (one kernel call each), else one row.
constexpr size_t kRunValues = size_t{1} << 16;

template <class T, class F>
void for_each_run_of_rows(const Rows<T>& v, F&& f) {
    if (v.cols == 0) return;  // nothing to read, however many rows are claimed
    const size_t run = rows_are_blocks(v.scheme, v.cols) ? std::max<size_t>(1, kRunValues / std::max<size_t>(1, v.cols)) : 1;
    size_t byte = 0;
    for (size_t row = 0; row < v.rows; row += run) {
        const size_t n = std::min(run, v.rows - row);
        f(row, n, byte);
        byte += bytes_of_rows(v, row, n);
    }
}

// The one choice of dot kernel per kind and width.
enum class DotPath { I8, Sym, Asym, Adaptive };

DotPath dot_path(const Scheme& s) {
    switch (s.kind) {
        case Kind::Symmetric: return s.bits == 8 ? DotPath::I8 : DotPath::Sym;
        case Kind::Asymmetric: return DotPath::Asym;
        case Kind::Adaptive: return DotPath::Adaptive;
    }
    internal_error("dot: unknown kind");
}

void unpack_checked(std::span<const uint8_t> bytes, uint32_t bits, std::span<int32_t> out, size_t count) {
    require(check_bits(bits).has_value(), "unpack: code width outside 2..=16");
    require(out.size() >= count, "unpack: output shorter than the code count");
    require(bytes.size() >= packed_len(count, bits), "unpack: byte run shorter than the codes need");
    table().unpack(bytes.data(), bits, count, out.data());
}

}  // namespace

void Packed::unpack_into(std::span<int32_t> out) const { unpack_checked(bytes, bits, out, count); }

void Packed::unpack_slice(std::span<const uint8_t> bytes, uint32_t bits, std::span<int32_t> out, size_t count) {
    unpack_checked(bytes, bits, out, count);
}

// ---- quantizing: the parts are checked as the view of one row ----

void quantize_sym_packed(std::span<const float> values, uint32_t bits, size_t block, std::span<float> scales,
                         std::span<uint8_t> bytes) {
    require_whole(Rows<f32>{{Kind::Symmetric, bits, block}, 1, values.size(), bytes, scales, {}, {}});
    table().quantize_sym(values.data(), values.size(), block, bits, scales.data(), bytes.data());
}

void quantize_asym_packed(std::span<const float> values, uint32_t bits, size_t block, std::span<float> scales,
                          std::span<float> zero_points, std::span<uint8_t> bytes) {
    require_whole(Rows<f32>{{Kind::Asymmetric, bits, block}, 1, values.size(), bytes, scales, zero_points, {}});
    table().quantize_asym(values.data(), values.size(), block, bits, scales.data(), zero_points.data(), bytes.data());
}

namespace {

void require_weights(std::span<const float> values, std::span<const float> weights) {
    require(weights.size() == values.size(), "weighted quantize: not one weight per value");
}

}  // namespace

void quantize_sym_weighted(std::span<const float> values, std::span<const float> weights, uint32_t bits, size_t block,
                           std::span<float> scales, std::span<uint8_t> bytes) {
    require_whole(Rows<f32>{{Kind::Symmetric, bits, block}, 1, values.size(), bytes, scales, {}, {}});
    require_weights(values, weights);
    table().quantize_sym_weighted(values.data(), weights.data(), values.size(), block, bits, scales.data(),
                                  bytes.data());
}

void quantize_asym_weighted(std::span<const float> values, std::span<const float> weights, uint32_t bits,
                            size_t block, std::span<float> scales, std::span<float> zero_points,
                            std::span<uint8_t> bytes) {
    require_whole(Rows<f32>{{Kind::Asymmetric, bits, block}, 1, values.size(), bytes, scales, zero_points, {}});
    require_weights(values, weights);
    table().quantize_asym_weighted(values.data(), weights.data(), values.size(), block, bits, nullptr,
                                   scales.data(), zero_points.data(), bytes.data());
}

void quantize_adaptive_weighted(std::span<const float> values, std::span<const float> weights, size_t block,
                                std::span<const uint32_t> widths, std::span<float> scales,
                                std::span<float> zero_points, std::span<uint8_t> bytes) {
    require_whole(Rows<f32>{{Kind::Adaptive, 0, block}, 1, values.size(), bytes, scales, zero_points, widths});
    require_weights(values, weights);
    table().quantize_asym_weighted(values.data(), weights.data(), values.size(), block, 0, widths.data(),
                                   scales.data(), zero_points.data(), bytes.data());
}

// ---- super-block types ----

namespace {

// The super-blocks of n values, which must be whole, and their bytes.
size_t supers_of(SuperType t, size_t n, size_t have_bytes) {
    require(static_cast<uint32_t>(t) < kSuperTypes, "super-blocks: unknown type");
    require(n % kSuperLen == 0, "super-blocks: values are not whole super-blocks");
    size_t bytes = 0;
    require(!__builtin_mul_overflow(n / kSuperLen, format_of(t).bytes, &bytes) && have_bytes >= bytes,
            "super-blocks: bytes shorter than the blocks");
    return n / kSuperLen;
}

}  // namespace

size_t super_block_bytes(SuperType t) {
    require(static_cast<uint32_t>(t) < kSuperTypes, "super-blocks: unknown type");
    return format_of(t).bytes;
}

size_t quantize_super(SuperType t, std::span<const float> values, std::span<const float> weights,
                      std::span<uint8_t> out) {
    const size_t nsb = supers_of(t, values.size(), out.size());
    require(weights.empty() || weights.size() == values.size(), "super-blocks: not one weight per value");
    return table().quantize_super(static_cast<uint32_t>(t), values.data(), weights.empty() ? nullptr : weights.data(),
                                  nsb, out.data());
}

void decode_super(SuperType t, std::span<const uint8_t> bytes, std::span<float> out) {
    table().dequant_super(static_cast<uint32_t>(t), bytes.data(), supers_of(t, out.size(), bytes.size()), out.data());
}

float dot_super(SuperType t, std::span<const uint8_t> bytes, std::span<const float> x) {
    return table().dot_super(static_cast<uint32_t>(t), bytes.data(), x.data(), supers_of(t, x.size(), bytes.size()));
}

void rows_dot_super(SuperType t, std::span<const uint8_t> bytes, std::span<const float> x, std::span<float> out) {
    require(static_cast<uint32_t>(t) < kSuperTypes, "super-blocks: unknown type");
    require(x.size() % kSuperLen == 0, "super-blocks: values are not whole super-blocks");
    const size_t nsb = x.size() / kSuperLen;
    size_t total = 0;
    require(!__builtin_mul_overflow(nsb * format_of(t).bytes, out.size(), &total) && bytes.size() >= total,
            "super-blocks: bytes shorter than the rows");
    table().rows_dot_super(static_cast<uint32_t>(t), bytes.data(), out.size(), x.data(), nsb, out.data());
}

float dot_lanes(std::span<const float> y, std::span<const float> x) {
    require(y.size() == x.size(), "dot_lanes: lengths differ");
    float out = 0.0f;
    table().dot_lanes(y.data(), 1, x.data(), 1, x.size(), &out, 1);
    return out;
}

void dot_lanes(std::span<const float> y, size_t n, std::span<const float> x, std::span<float> out, size_t ld) {
    require(n != 0 && y.size() % n == 0 && x.size() % n == 0, "dot_lanes: y or x is not whole vectors of n");
    const size_t rows = y.size() / n, k = x.size() / n;
    size_t last = 0;
    require(rows <= ld || k <= 1, "dot_lanes: rows overlap in out");
    const bool fits = k == 0 || rows == 0 ||
                      (!__builtin_mul_overflow(k - 1, ld, &last) && !__builtin_add_overflow(last, rows - 1, &last) &&
                       last < out.size());
    require(fits, "dot_lanes: out too short");
    table().dot_lanes(y.data(), rows, x.data(), k, n, out.data(), ld);
}

// ---- adaptive ----

void adaptive_params(std::span<const float> values, size_t block, float tolerance, std::span<uint32_t> widths,
                     std::span<float> scales, std::span<float> zero_points) {
    const size_t nb = block >= 1 ? block_count(values.size(), block) : 0;
    require(block >= 1 && widths.size() == nb && scales.size() == nb && zero_points.size() == nb,
            "adaptive parameters: not one width, scale and zero point per block");
    table().adaptive_params(values.data(), values.size(), block, tolerance, widths.data(), scales.data(),
                            zero_points.data());
}

void quantize_adaptive(std::span<const float> values, size_t block, float tolerance, std::span<uint32_t> widths,
                       std::span<float> scales, std::span<float> zero_points, Bytes& bytes) {
    constexpr size_t kChunk = 16384;  // values per step, in whole blocks
    require(block >= 1 && widths.size() == block_count(values.size(), block) && scales.size() == widths.size() &&
                zero_points.size() == widths.size(),
            "quantize_adaptive: not one width, scale and zero point per block");
    const size_t len = values.size(), nb = widths.size(), per = block >= kChunk ? 1 : kChunk / block;
    const size_t start = bytes.size();
    for (size_t b0 = 0; b0 < nb; b0 += per) {
        const size_t b1 = std::min(nb, b0 + per), first = b0 * block, n = std::min(len, b1 * block) - first;
        const std::span<uint32_t> w = widths.subspan(b0, b1 - b0);
        const std::span<float> s = scales.subspan(b0, b1 - b0), z = zero_points.subspan(b0, b1 - b0);
        // Room for the widest codes, one byte a value, cut to what the widths take.
        const size_t at = bytes.size();
        // Grown in few steps: to a tenth above the size that what is done so far
        // predicts, and at least twice over.
        if (bytes.capacity() < at + n) {
            const double per_value = static_cast<double>(at - start) / static_cast<double>(std::max<size_t>(first, 1));
            const auto predicted = static_cast<size_t>(per_value * 1.1 * static_cast<double>(len));
            bytes.reserve(std::max({at + n, start + predicted, 2 * bytes.capacity()}));
            advise_huge_pages(bytes.data() + at, bytes.capacity() - at);  // the room not yet touched
        }
        bytes.resize(at + n);  // unset: the codes' bytes are all written
        const size_t used =
            table().quantize_adaptive(values.data() + first, n, block, tolerance, w.data(), s.data(), z.data(),
                                      bytes.data() + at);
        bytes.resize(at + used);
        require_whole(Rows<f32>{{Kind::Adaptive, 0, block}, 1, n, std::span(bytes).subspan(at, used), s, z, w});
    }
}

// ---- reading a view ----

// Elements per piece of one row of a fixed-width kind whose stored
// parameters are widened before decoding: pieces of whole blocks that start
// on a byte of the codes, so that the widened copy stays in cache instead of
// being one per value of the row at block 1.
size_t piece_len(size_t block, size_t cols) {
    const size_t whole = std::lcm(block, size_t{8});
    return whole >= kRunValues ? cols : kRunValues / whole * whole;
}

// The decoding of a whole view into rows * cols floats.
template <class T>
void decode_checked(const Rows<T>& v, std::span<float> out) {
    const Scheme& s = v.scheme;
    const size_t nb = block_count(v.cols, s.block);
    std::vector<float> sbuf, zbuf;
    // count values from the start of block b0, their codes at `codes`.
    const auto decode = [&](size_t b0, size_t count, const uint8_t* codes, float* dst) {
        const size_t blocks = block_count(count, s.block);
        const float* sc = floats_of(v.scales, b0, blocks, sbuf);
        if (s.kind == Kind::Symmetric) return table().dequant_sym(sc, codes, s.bits, s.block, count, dst);
        const float* zp = floats_of(v.zero_points, b0, blocks, zbuf);
        const uint32_t* widths = s.kind == Kind::Adaptive ? v.widths.data() + b0 : nullptr;
        table().dequant_asym(sc, zp, codes, s.bits, widths, s.block, count, dst);
    };
    for_each_run_of_rows(v, [&](size_t row, size_t n, size_t byte) {
        const uint8_t* codes = v.codes.data() + byte;
        float* dst = out.data() + row * v.cols;
        if (std::is_same_v<T, f32> || s.kind == Kind::Adaptive || n != 1) return decode(row * nb, n * v.cols, codes, dst);
        const size_t step = piece_len(s.block, v.cols);
        for (size_t e = 0; e < v.cols; e += step)
            decode(row * nb + e / s.block, std::min(step, v.cols - e), codes + e / 8 * s.bits, dst + e);
    });
}

template <class T>
void decode_rows(const Rows<T>& v, std::span<float> out) {
    require_whole(v);
    require_count(v.rows, v.cols, out.size(), "decode: output is not rows * cols");
    decode_checked(v, out);
}

template <class T>
void unpack_rows(const Rows<T>& v, std::span<int32_t> out) {
    require_whole(v);
    require_count(v.rows, v.cols, out.size(), "unpack: output is not rows * cols");
    const size_t nb = block_count(v.cols, v.scheme.block);
    for_each_run_of_rows(v, [&](size_t row, size_t n, size_t byte) {
        const uint8_t* codes = v.codes.data() + byte;
        int32_t* dst = out.data() + row * v.cols;
        if (v.scheme.kind != Kind::Adaptive) return table().unpack(codes, v.scheme.bits, n * v.cols, dst);
        const uint32_t* widths = v.widths.data() + row * nb;
        for_each_run(n * v.cols, v.scheme.block, widths, [&](size_t b, size_t first, size_t m, size_t pos, size_t) {
            table().unpack(codes + pos, widths[b], m, dst + first);
        });
    });
}

template <class T>
RowReader<T>::RowReader(const Rows<T>& v, Check check) : v_(v), nb_(0) {
    if (check == Check::Whole) require_whole(v);
    nb_ = block_count(v.cols, v.scheme.block);
}

template <class T>
void RowReader<T>::dot(size_t n, std::span<const float> x, size_t k, std::span<float> out, size_t ld) {
    require(ld >= n, "dot: outputs overlap");
    require_count(k, v_.cols, x.size(), "dot: x is not k * cols");
    size_t need = 0;
    require(k == 0 || (!__builtin_mul_overflow(k - 1, ld, &need) && need + n <= out.size()), "dot: output too short");
    const Rows<T> next = take(n);
    if (n == 0 || k == 0) return;
    const Scheme& s = v_.scheme;
    const uint8_t* codes = next.codes.data();
    const uint32_t* widths = s.kind == Kind::Adaptive ? next.widths.data() : nullptr;
    const DotPath path = dot_path(s);
    const simd::Kernels& kern = table();
    if (v_.cols == 0) {
        for (size_t j = 0; j < k; ++j) std::fill_n(out.data() + j * ld, n, 0.0f);
    } else if (n == 1) {
        // One row: the 1-D kernels, which run its blocks in lanes.
        std::vector<float> sbuf, zbuf;
        const float* sc = floats_of(next.scales, 0, nb_, sbuf);
        const float* zp = s.kind == Kind::Symmetric ? nullptr : floats_of(next.zero_points, 0, nb_, zbuf);
        for (size_t j = 0; j < k; ++j) {
            const float* xj = x.data() + j * v_.cols;
            float r = 0.0f;
            switch (path) {
                case DotPath::I8: r = kern.dot_i8(sc, codes, s.block, xj, v_.cols); break;
                case DotPath::Sym: r = kern.dot_sym(sc, codes, s.bits, s.block, xj, v_.cols); break;
                case DotPath::Asym: r = kern.dot_asym(sc, zp, codes, s.bits, s.block, xj, v_.cols); break;
                case DotPath::Adaptive: r = kern.dot_adaptive(sc, zp, codes, widths, s.block, xj, v_.cols); break;
            }
            out[j * ld] = r;
        }
    } else {
        const simd::RowRun run{codes,   next.scales.data(),
                               s.kind == Kind::Symmetric ? nullptr : next.zero_points.data(),
                               widths,  n,
                               v_.cols, s.block,
                               s.bits,  stored_of<T>(),
                               next.codes.size()};
        switch (path) {
            case DotPath::I8: kern.rows_dot_i8(run, x.data(), k, out.data(), ld); break;
            case DotPath::Sym: kern.rows_dot_sym(run, x.data(), k, out.data(), ld); break;
            case DotPath::Asym: kern.rows_dot_asym(run, x.data(), k, out.data(), ld); break;
            case DotPath::Adaptive: kern.rows_dot_adaptive(run, x.data(), k, out.data(), ld); break;
        }
    }
}

template <class T>
Rows<T> RowReader<T>::take(size_t n) {
    require(n <= rows_left(), "rows: more rows than are left");
    // The last rows of a whole view hold the rest of its codes, which spares
    // a walk of their widths.
    const size_t first = row_ * nb_, blocks = n * nb_;
    const size_t bytes = n == rows_left() ? v_.codes.size() - byte_ : bytes_of_rows(v_, row_, n);
    const auto part = [&](auto s) { return s.empty() ? s : s.subspan(first, blocks); };
    const Rows<T> next{v_.scheme, n, v_.cols, v_.codes.subspan(byte_, bytes), part(v_.scales), part(v_.zero_points),
                       part(v_.widths)};
    byte_ += bytes;
    row_ += n;
    return next;
}

template <class T>
void RowReader<T>::decode(size_t n, std::span<float> out) {
    const Rows<T> next = take(n);
    require_count(n, v_.cols, out.size(), "decode: output is not rows * cols");
    decode_checked(next, out);
}

template <class T>
void dot_rows(const Rows<T>& v, std::span<const float> x, size_t k, std::span<float> out, Check check) {
    RowReader<T>(v, check).dot(v.rows, x, k, out, v.rows);
}

// ---- contract-named one-row entries ----

void dequant_i4_blocks(std::span<const float> scales, std::span<const uint8_t> bytes, size_t block,
                       std::span<float> out) {
    decode_rows(Rows<f32>{{Kind::Symmetric, 4, block}, 1, out.size(), bytes, scales, {}, {}}, out);
}

void dequant_i8_blocks(std::span<const float> scales, std::span<const uint8_t> bytes, size_t block,
                       std::span<float> out) {
    decode_rows(Rows<f32>{{Kind::Symmetric, 8, block}, 1, out.size(), bytes, scales, {}, {}}, out);
}

float dot_i8_blocks(std::span<const float> scales, std::span<const uint8_t> bytes, size_t block,
                    std::span<const float> x) {
    float r = 0.0f;
    dot_rows(Rows<f32>{{Kind::Symmetric, 8, block}, 1, x.size(), bytes, scales, {}, {}}, x, 1, {&r, 1});
    return r;
}

// ---- the level that runs ----

const char* kernel_level() { return simd::level_name(table().level); }

bool use_kernel_level(std::string_view name) {
    if (name.empty()) {
        simd::unforce_level();
        return true;
    }
    for (const simd::Level l : simd::supported_levels()) {
        if (name != simd::level_name(l)) continue;
        simd::force_level(l);
        return true;
    }
    return false;
}

std::atomic<int>* kernel_level_cell() { return simd::forced_level_cell(); }

void share_kernel_level(std::atomic<int>* cell) { simd::share_forced_level(cell); }

std::string kernel_levels() {
    std::string names;
    for (const simd::Level l : simd::supported_levels()) names += (names.empty() ? "" : ", ") + std::string(simd::level_name(l));
    return names;
}

// ---- the fit and half-precision conversions ----

Fitted fit_blocks(std::span<const float> values, std::span<const int32_t> codes, size_t block) {
    require(block >= 1, "fit_blocks: block size 0");
    require(codes.size() == values.size(), "fit_blocks: codes and values differ in length");
    const size_t nb = block_count(values.size(), block);
    Fitted f{std::vector<float>(nb), std::vector<float>(nb)};
    table().fit_blocks(values.data(), codes.data(), values.size(), block, f.scales.data(), f.zero_points.data());
    return f;
}

Fitted fit_packed(std::span<const float> values, std::span<const uint8_t> bytes, uint32_t bits,
                  std::span<const uint32_t> widths, size_t block) {
    const size_t len = values.size();
    require(block >= 1, "fit_packed: block size 0");
    if (widths.empty()) {
        require(check_bits(bits).has_value(), "fit_packed: width outside 2..=16");
        require(bytes.size() >= packed_len(len, bits), "fit_packed: short bytes");
    } else {
        require(widths.size() == block_count(len, block), "fit_packed: width count differs from blocks");
        for_each_run(len, block, widths.data(), [&](size_t b, size_t, size_t, size_t pos, size_t n) {
            require(widths[b] >= 2 && widths[b] <= 8, "fit_packed: width outside 2..=8");
            require(pos <= bytes.size() && n <= bytes.size() - pos, "fit_packed: data shorter than the blocks need");
        });
    }
    const size_t nb = block_count(len, block);
    Fitted f{std::vector<float>(nb), std::vector<float>(nb)};
    table().fit_packed(values.data(), bytes.data(), bits, widths.empty() ? nullptr : widths.data(), len, block,
                       f.scales.data(), f.zero_points.data());
    return f;
}

namespace {

void require_blocks(size_t len, size_t block, size_t per_block, const char* what) {
    require(block >= 1 && per_block == block_count(len, block), what);
}

}  // namespace

void centre_blocks(std::span<const float> values, size_t block, float inv, bool exact_sums, std::span<float> centres,
                   std::span<uint8_t> wide) {
    require_blocks(values.size(), block, centres.size(), "centre_blocks: not one centre per block");
    require(wide.size() == centres.size(), "centre_blocks: not one flag per block");
    table().centre_blocks(values.data(), values.size(), block, inv, exact_sums, centres.data(), wide.data());
}

void centred_codes(std::span<const float> values, size_t block, float inv, std::span<const float> centres,
                   std::span<int8_t> codes) {
    require_blocks(values.size(), block, centres.size(), "centred_codes: not one centre per block");
    require(codes.size() == values.size(), "centred_codes: not one code per value");
    table().centred_codes(values.data(), values.size(), block, inv, centres.data(), codes.data());
}

void blocks_within(std::span<const float> decoded, std::span<const float> values, size_t block, float t,
                   std::span<uint8_t> bad) {
    require_blocks(values.size(), block, bad.size(), "blocks_within: not one flag per block");
    require(decoded.size() == values.size(), "blocks_within: lengths differ");
    table().blocks_within(decoded.data(), values.data(), values.size(), block, t, bad.data());
}

void widen_f16(std::span<const uint16_t> in, std::span<float> out) {
    require(out.size() == in.size(), "widen_f16: lengths differ");
    table().widen_f16(in.data(), in.size(), out.data());
}

void narrow_f16(std::span<const float> in, std::span<uint16_t> out) {
    require(out.size() == in.size(), "narrow_f16: lengths differ");
    table().narrow_f16(in.data(), in.size(), out.data());
}

#define VELMAR_BLOCK_INSTANTIATE(T)                                                                  \
    template void decode_rows<T>(const Rows<T>&, std::span<float>);                                  \
    template void unpack_rows<T>(const Rows<T>&, std::span<int32_t>);                                \
    template class RowReader<T>;                                                                     \
    template void dot_rows<T>(const Rows<T>&, std::span<const float>, size_t, std::span<float>, Check);

VELMAR_BLOCK_INSTANTIATE(f32)
VELMAR_BLOCK_INSTANTIATE(f16)
VELMAR_BLOCK_INSTANTIATE(bf16)

}  // namespace velmar
