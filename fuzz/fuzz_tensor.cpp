// Tensors and row views with arbitrary fields, as an unchecked pickle rebuild
// or hand-made parts could make them, run through every read and write
// operation. One that is whole must work, and every row of a view must give
// the 1-D record of that row's results; any other may only fail with
// InternalError, never touch memory outside a buffer and never size an
// allocation from `len` or `rows`.
#include "kernels/block.hpp"
#include "methods/learned.hpp"
#include "reference.hpp"
#include "shared/tensor.hpp"

using namespace velmar;

namespace {

struct Reader {
    const uint8_t* d;
    size_t n, i = 0;
    uint8_t u8() { return i < n ? d[i++] : 0; }
    uint64_t raw(unsigned bytes) {
        uint64_t v = 0;
        for (unsigned b = 0; b < bytes; ++b) v |= uint64_t{u8()} << (8 * b);
        return v;
    }
    // Mostly small, sometimes a boundary value, sometimes anything.
    uint64_t size() {
        static const uint64_t kEdges[] = {~0ull, ~0ull / 2, 1ull << 32, (1ull << 32) - 1, 1ull << 61, 1ull << 63, 4096, (1ull << 61) + 3};
        const uint8_t sel = u8();
        return sel < 200 ? sel : sel < 255 ? kEdges[sel % 8] : raw(8);
    }
    uint32_t width() {
        const uint8_t sel = u8();
        return sel < 250 ? sel % 41 : static_cast<uint32_t>(raw(4));
    }
    // A count that matches the invariant when the flag asks for it and it is small.
    size_t count(bool exact, uint64_t want) { return exact && want <= 4096 ? want : u8() % 80; }
    template <class T>
    std::vector<T> elements(size_t k) {
        std::vector<T> out;
        while (out.size() < k) out.push_back(Scale<T>::from_bits(static_cast<typename Scale<T>::Bits>(raw(Scale<T>::bytes))));
        return out;
    }
};

// Parts of `rows` rows from the reader, and the view over them. A count
// matches the shape when its flag asks for it; the first row's parts are a
// record of len = cols when the view has one row.
template <class T>
struct Built {
    Parts<T> p;
    Rows<T> v;
    uint8_t flags;
};

template <class T>
Built<T> build(Reader& r) {
    Built<T> out;
    Rows<T>& v = out.v;
    v.scheme.kind = static_cast<Kind>(r.u8() % 3);
    const uint8_t flags = out.flags = r.u8();
    v.scheme.bits = r.width();
    v.scheme.block = r.size();
    v.rows = r.u8() % 4 == 0 ? r.u8() % 9 : 1;
    v.cols = r.size();
    const uint64_t nb = v.scheme.block ? block_count(v.cols, v.scheme.block) : 0;
    uint64_t blocks = 0;
    if (__builtin_mul_overflow(nb, uint64_t{v.rows}, &blocks)) blocks = ~0ull;
    Parts<T>& p = out.p;
    p.scales = r.elements<T>(r.count(flags & 1, blocks));
    if (v.scheme.kind != Kind::Symmetric || (flags & 32)) p.zero_points = r.elements<T>(r.count(flags & 2, blocks));
    uint64_t need = 0;
    if (v.scheme.kind == Kind::Adaptive) {
        const size_t k = r.count(flags & 4, blocks);
        for (size_t i = 0; i < k; ++i) p.widths.push_back((flags & 16) ? 2 + r.u8() % 7 : r.width());
        for (size_t i = 0; v.scheme.block && p.widths.size() == blocks && i < v.rows && need <= 4096; ++i)
            need += adaptive_data_len(p.widths.data() + i * nb, v.scheme.block, v.cols);
    } else {
        need = v.rows * packed_len(v.cols, v.scheme.bits);
    }
    for (size_t k = r.count(flags & 8, need); k > 0; --k) p.codes.push_back(r.u8());
    v = p.view(v.scheme, v.rows, v.cols);
    return out;
}

// An operation may fail by InternalError only, and only on a broken tensor;
// anything else, an allocation sized from an unchecked field included, ends
// the run uncaught.
template <class F>
void op(bool must_work, const char* name, F&& f) {
    try {
        ref::check(f(), name);
    } catch (const InternalError&) {
        ref::check(!must_work, name);
    }
}

// The parts as a record of cols values, its code count possibly wrong.
template <class T>
void exercise_record(const Built<T>& b, Reader& r) {
    Quantized<T> q = record_of(Parts<T>(b.p), b.v.scheme, b.v.cols);
    if (b.flags & 64) q.packed.count = r.size();
    const bool ok = q.keeps_invariants();
    op(ok, "unpacked_codes", [&] { return (void)q.unpacked_codes(), true; });
    op(ok, "dequantize", [&] { return (void)q.dequantize(), true; });
    // Callers only size their buffers from len when it is plausible.
    if (q.len <= (1u << 16)) {
        std::vector<float> x(q.len, 0.5f);
        op(ok, "dequantize_into", [&] { return q.dequantize_into(x).has_value(); });
        op(ok, "dot", [&] { return dot(q, x).has_value(); });
        op(ok, "refine", [&] {
            Quantized<T> c = q;
            refine(c, x);
            return !ok || c.keeps_invariants();
        });
    }
    std::vector<float> wrong(3);
    op(true, "dequantize_into with a wrong length", [&] { return q.len == 3 || !q.dequantize_into(wrong); });
}

// Every reader of the view; each row of a whole one is its own record.
template <class T>
void exercise_rows(const Built<T>& b, Reader& r) {
    const Rows<T>& v = b.v;
    const bool ok = !fault_of(v);
    size_t count = 0;
    if (__builtin_mul_overflow(v.rows, v.cols, &count) || count > (1u << 16) || v.cols > (1u << 16)) return;
    std::vector<float> out(count);
    std::vector<int32_t> codes(count);
    op(ok, "decode_rows", [&] { return decode_rows(v, out), true; });
    op(ok, "unpack_rows", [&] { return unpack_rows(v, codes), true; });
    const size_t k = 1 + r.u8() % 3;
    std::vector<float> x(k * v.cols), dots(k * v.rows);
    for (float& e : x) e = static_cast<float>(static_cast<int8_t>(r.u8())) / 16.0f;
    op(ok, "dot_rows", [&] { return dot_rows(v, x, k, dots), true; });
    if (!ok) return;
    const size_t nb = block_count(v.cols, v.scheme.block);
    size_t byte = 0;
    for (size_t i = 0; i < v.rows; ++i) {
        const auto part = [&](auto s) { return std::vector(s.begin() + std::min(s.size(), i * nb), s.begin() + std::min(s.size(), (i + 1) * nb)); };
        const size_t bytes = row_bytes(v.scheme, v.cols, v.widths.empty() ? nullptr : v.widths.data() + i * nb);
        Parts<T> row{{v.codes.begin() + byte, v.codes.begin() + byte + bytes}, part(v.scales), part(v.zero_points),
                     part(v.widths)};
        byte += bytes;
        const Quantized<T> q = record_of(std::move(row), v.scheme, v.cols);
        ref::check(q.keeps_invariants(), "a row of a whole view is a whole record");
        const std::vector<float> d = q.dequantize();
        for (size_t c = 0; c < v.cols; ++c) ref::check(ref::same(d[c], out[i * v.cols + c]), "row decodes as its record");
        for (size_t j = 0; j < k; ++j)
            ref::check(ref::same(dot(q, std::span(x).subspan(j * v.cols, v.cols)).value(), dots[j * v.rows + i]),
                       "row dot is its record's dot");
    }
}

template <class T>
void exercise(Reader& r) {
    const Built<T> b = build<T>(r);
    exercise_record(b, r);
    exercise_rows(b, r);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader r{data, size};
    const uint8_t type = r.u8() % 3;
    if (type == 0) exercise<f32>(r);
    else if (type == 1) exercise<f16>(r);
    else exercise<bf16>(r);
    return 0;
}
