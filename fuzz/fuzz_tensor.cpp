// Tensors with arbitrary fields, as an unchecked pickle rebuild could make
// them, run through every read and write operation. A tensor that keeps its
// invariants must work; any other may only fail with InternalError, never
// touch memory outside a buffer and never size an allocation from `len`.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "methods/learned.hpp"
#include "shared/tensor.hpp"

using namespace velmar;

namespace {

class Reader {
public:
    Reader(const uint8_t* d, size_t n) : d_(d), n_(n) {}
    uint8_t u8() { return i_ < n_ ? d_[i_++] : 0; }
    uint64_t raw(unsigned bytes) {
        uint64_t v = 0;
        for (unsigned b = 0; b < bytes; ++b) v |= uint64_t{u8()} << (8 * b);
        return v;
    }
    // Mostly small, sometimes a boundary value, sometimes anything.
    uint64_t size() {
        static const uint64_t kEdges[] = {std::numeric_limits<uint64_t>::max(), std::numeric_limits<uint64_t>::max() / 2,
                                          uint64_t{1} << 32, (uint64_t{1} << 32) - 1, uint64_t{1} << 61,
                                          uint64_t{1} << 63, 4096, (uint64_t{1} << 61) + 3};
        const uint8_t sel = u8();
        if (sel < 200) return sel;
        if (sel < 255) return kEdges[sel % 8];
        return raw(8);
    }
    uint32_t width() {
        const uint8_t sel = u8();
        return sel < 250 ? sel % 41 : static_cast<uint32_t>(raw(4));
    }
    std::vector<uint8_t> bytes(size_t n) {
        std::vector<uint8_t> out;
        for (size_t k = 0; k < n; ++k) out.push_back(u8());
        return out;
    }

private:
    const uint8_t* d_;
    size_t n_;
    size_t i_ = 0;
};

template <class T>
std::vector<T> elements(Reader& r, size_t n) {
    std::vector<T> out;
    for (size_t k = 0; k < n; ++k) out.push_back(Scale<T>::from_bits(static_cast<typename Scale<T>::Bits>(r.raw(Scale<T>::bytes))));
    return out;
}

// A count that matches the invariant when the flag asks for it and it is small.
size_t count(Reader& r, bool exact, uint64_t want) { return exact && want <= 4096 ? want : r.u8() % 80; }

template <class T>
Quantized<T> build(Reader& r) {
    Quantized<T> q;
    q.kind = static_cast<Kind>(r.u8() % 3);
    const uint8_t flags = r.u8();
    q.block = r.size();
    q.len = r.size();
    const uint64_t nb = q.block ? block_count(q.len, q.block) : 0;
    q.scales = elements<T>(r, count(r, flags & 1, nb));
    if (q.kind != Kind::Symmetric || (flags & 32)) q.zero_points = elements<T>(r, count(r, flags & 2, nb));
    if (q.kind == Kind::Adaptive) {
        const size_t k = count(r, flags & 4, nb);
        for (size_t i = 0; i < k; ++i) q.block_bits.push_back((flags & 16) ? 2 + r.u8() % 7 : r.width());
        uint64_t need = 0;
        for (size_t i = 0, off = 0; i < k && off < q.len && q.block; ++i) {
            const size_t n = std::min<uint64_t>(q.block, q.len - off);
            need += packed_len(n, q.block_bits[i] % 64);
            off += n;
        }
        q.data = r.bytes(count(r, flags & 8, need));
    } else {
        q.packed.bits = r.width();
        q.packed.count = (flags & 64) ? r.size() : q.len;
        q.packed.bytes = r.bytes(count(r, flags & 8, packed_len(q.len, q.packed.bits)));
    }
    return q;
}

template <class F>
void op(bool must_work, const char* name, F&& f) {
    try {
        f();
    } catch (const InternalError&) {
        if (!must_work) return;
        std::fprintf(stderr, "%s failed on a tensor that keeps its invariants\n", name);
        std::abort();
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s sized an allocation from an unchecked field\n", name);
        std::abort();
    }
}

template <class T>
void exercise(Reader& r) {
    const Quantized<T> q = build<T>(r);
    const bool ok = q.keeps_invariants();
    // Callers only size their buffers from len when it is plausible.
    const bool small = q.len <= (1u << 16);
    op(ok, "unpacked_codes", [&] { (void)q.unpacked_codes(); });
    op(ok, "dequantize", [&] { (void)q.dequantize(); });
    if (small) {
        std::vector<float> x(q.len, 0.5f);
        op(ok, "dequantize_into", [&] {
            if (!q.dequantize_into(x)) std::abort();
        });
        op(ok, "dot", [&] {
            if (!dot(q, x)) std::abort();
        });
        op(ok, "refine", [&] {
            Quantized<T> c = q;
            refine(c, x);
            if (ok && !c.keeps_invariants()) std::abort();
        });
    }
    std::vector<float> wrong(3);
    op(true, "dequantize_into with a wrong length", [&] {
        if (q.len != 3 && q.dequantize_into(wrong)) std::abort();
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader r(data, size);
    switch (r.u8() % 3) {
        case 0: exercise<f32>(r); break;
        case 1: exercise<f16>(r); break;
        default: exercise<bf16>(r); break;
    }
    return 0;
}
