// Tensors with arbitrary fields, as an unchecked pickle rebuild could make
// them, run through every read and write operation. A tensor that keeps its
// invariants must work; any other may only fail with InternalError, never
// touch memory outside a buffer and never size an allocation from `len`.
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

template <class T>
Quantized<T> build(Reader& r) {
    Quantized<T> q;
    q.kind = static_cast<Kind>(r.u8() % 3);
    const uint8_t flags = r.u8();
    q.block = r.size();
    q.len = r.size();
    const uint64_t nb = q.block ? block_count(q.len, q.block) : 0;
    q.scales = r.elements<T>(r.count(flags & 1, nb));
    if (q.kind != Kind::Symmetric || (flags & 32)) q.zero_points = r.elements<T>(r.count(flags & 2, nb));
    uint64_t need = 0;
    if (q.kind == Kind::Adaptive) {
        const size_t k = r.count(flags & 4, nb);
        for (size_t i = 0; i < k; ++i) q.block_bits.push_back((flags & 16) ? 2 + r.u8() % 7 : r.width());
        for (size_t i = 0, off = 0; i < k && off < q.len && q.block; ++i) {
            const size_t n = std::min<uint64_t>(q.block, q.len - off);
            need += packed_len(n, q.block_bits[i] % 64);
            off += n;
        }
    } else {
        q.packed.bits = r.width();
        q.packed.count = (flags & 64) ? r.size() : q.len;
        need = packed_len(q.len, q.packed.bits);
    }
    std::vector<uint8_t>& bytes = q.kind == Kind::Adaptive ? q.data : q.packed.bytes;
    for (size_t k = r.count(flags & 8, need); k > 0; --k) bytes.push_back(r.u8());
    return q;
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

template <class T>
void exercise(Reader& r) {
    const Quantized<T> q = build<T>(r);
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader r{data, size};
    const uint8_t type = r.u8() % 3;
    if (type == 0) exercise<f32>(r);
    else if (type == 1) exercise<f16>(r);
    else exercise<bf16>(r);
    return 0;
}
