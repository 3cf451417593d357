// Quantizers and decoders on arbitrary vectors and parameters, checked bit for
// bit against the naive model in reference.hpp.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "methods/adaptive.hpp"
#include "methods/asymmetric.hpp"
#include "methods/learned.hpp"
#include "methods/symmetric.hpp"
#include "reference.hpp"
#include "shared/tensor.hpp"

using namespace velmar;

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "mismatch: %s\n", what);
    std::abort();
}

void check(bool ok, const char* what) {
    if (!ok) fail(what);
}

bool same(float a, float b) {
    return (a != a && b != b) || std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
}

template <class T>
bool same_t(T a, float b) {
    return Scale<T>::to_bits(a) == Scale<T>::to_bits(from_f32<T>(b));
}

struct Input {
    uint32_t method, type, bits;
    size_t block;
    float tolerance;
    std::vector<float> values;
};

Input parse(const uint8_t* d, size_t n) {
    static const float kTolerances[] = {0.001f, 0.01f, 0.1f, 0.5f, 1e-6f, 3.0f};
    Input in{};
    if (n < 9) return in;
    in.method = d[0] % 3;
    in.type = d[1] % 3;
    in.bits = d[2] % 41;  // widths 0 to 40
    in.block = d[3] == 255 ? std::numeric_limits<size_t>::max() : d[3] < 200 ? d[3] : (d[3] - 199u) * 97u;
    std::memcpy(&in.tolerance, d + 4, 4);
    if (!(d[8] & 1)) in.tolerance = kTolerances[d[4] % 6];
    const bool raw = d[8] & 2;
    d += 9;
    n -= 9;
    if (raw) {
        for (size_t i = 0; i + 4 <= n && in.values.size() < 4096; i += 4) {
            float v;
            std::memcpy(&v, d + i, 4);
            in.values.push_back(v);
        }
    } else {
        for (size_t i = 0; i < n && in.values.size() < 4096; ++i)
            in.values.push_back(static_cast<float>(static_cast<int8_t>(d[i])) / 8.0f);
    }
    return in;
}

template <class T>
Result<Quantized<T>> run(const Input& in) {
    switch (in.method) {
        case 0: return symmetric::quantize_with<T>(in.values, in.bits, in.block);
        case 1: return asymmetric::quantize_with<T>(in.values, in.bits, in.block);
        default: return adaptive::quantize_with<T>(in.values, in.block, in.tolerance);
    }
}

template <class T>
void check_errors(const Input& in, const Result<Quantized<T>>& r) {
    const bool tolerance_ok = in.tolerance > 0.0f && in.tolerance < INFINITY;
    if (in.method != 2 && (in.bits < 2 || in.bits > 16)) {
        check(!r && r.error() == CoreError::invalid_bits(in.bits), "invalid width not reported first");
    } else if (in.block == 0) {
        check(!r && r.error() == CoreError::invalid_block(0), "block 0 not reported");
    } else if (in.method == 2 && !tolerance_ok) {
        check(!r && r.error() == CoreError::invalid_tolerance(), "bad tolerance not reported");
    } else {
        check(r.has_value(), "valid parameters refused");
    }
}

template <class T>
void check_tensor(const Input& in, const Quantized<T>& q) {
    const std::vector<float>& v = in.values;
    const size_t len = v.size();
    check(q.len == len && q.block == in.block, "len or block");
    check(q.keeps_invariants(), "fresh tensor breaks its invariants");

    std::vector<int32_t> codes;
    std::vector<uint8_t> data;
    size_t b = 0;
    for (size_t start = 0; start < len; start += std::min(in.block, len - start), ++b) {
        const size_t n = std::min(in.block, len - start);
        uint32_t w = in.bits;
        ref::Block blk;
        if (in.method == 0) {
            blk = ref::sym_block(v.data() + start, n, w);
        } else {
            if (in.method == 2) {
                const auto [lo, hi] = ref::min_max(v.data() + start, n);
                w = ref::choose_bits(hi - lo, in.tolerance);
                check(q.block_bits[b] == w, "adaptive width");
            }
            blk = ref::asym_block(v.data() + start, n, w);
            check(same_t(q.zero_points[b], blk.zero_point), "zero point");
        }
        check(same_t(q.scales[b], blk.scale), "scale");
        if (in.method == 2) {
            const std::vector<uint8_t> bytes = ref::pack(blk.codes, w);
            data.insert(data.end(), bytes.begin(), bytes.end());
        }
        codes.insert(codes.end(), blk.codes.begin(), blk.codes.end());
    }
    if (in.method == 2)
        check(q.data == data, "adaptive bytes");
    else
        check(q.packed.bytes == ref::pack(codes, in.bits) && q.packed.bits == in.bits, "packed bytes");
    check(q.unpacked_codes() == codes, "unpacked codes");

    // Decoding from the stored (rounded) scales and zero points.
    std::vector<float> expect(len);
    for (size_t i = 0; i < len; ++i) {
        const float s = to_f32(q.scales[i / in.block]);
        if (q.kind == Kind::Symmetric) {
            expect[i] = static_cast<float>(codes[i]) * s;
        } else {
            const volatile float d = static_cast<float>(codes[i]) - to_f32(q.zero_points[i / in.block]);
            expect[i] = s * d;
        }
    }
    const std::vector<float> got = q.dequantize();
    std::vector<float> into(len, 7.0f);
    check(q.dequantize_into(into).has_value(), "dequantize_into refused its own length");
    for (size_t i = 0; i < len; ++i) check(same(got[i], expect[i]) && same(into[i], expect[i]), "decoded value");
    std::vector<float> longer(len + 1);
    check(!q.dequantize_into(longer), "longer output accepted");

    // Dot product with the input reversed, per the accumulation order of each path.
    std::vector<float> x(v.rbegin(), v.rend());
    float acc = q.kind == Kind::Adaptive ? -0.0f : 0.0f;
    if (q.kind == Kind::Symmetric && in.bits == 8) {
        for (size_t start = 0; start < len; start += std::min(in.block, len - start)) {
            float partial = 0.0f;
            for (size_t i = start; i < start + std::min(in.block, len - start); ++i) {
                const volatile float p = x[i] * static_cast<float>(codes[i]);
                partial = partial + p;
            }
            const volatile float scaled = partial * to_f32(q.scales[start / in.block]);
            acc = acc + scaled;
        }
    } else {
        for (size_t i = 0; i < len; ++i) {
            volatile float t;
            if (q.kind == Kind::Symmetric) {
                t = to_f32(q.scales[i / in.block]) * static_cast<float>(codes[i]);
                t = t * x[i];
            } else {
                t = q.kind == Kind::Adaptive ? expect[i] * x[i] : x[i] * expect[i];
            }
            acc = acc + t;
        }
    }
    const Result<float> d = dot(q, x);
    check(d.has_value() && same(*d, len == 0 ? 0.0f : acc), "dot product");
    x.push_back(1.0f);
    check(!dot(q, x), "dot with a longer vector accepted");

    // Refinement keeps codes, widths and the invariants.
    Quantized<T> r = q;
    refine(r, v);
    check(r.keeps_invariants(), "refined tensor breaks its invariants");
    check(r.unpacked_codes() == codes, "refine changed codes");
    if (len > 0) check(r.kind == (q.kind == Kind::Adaptive ? Kind::Adaptive : Kind::Asymmetric), "refined kind");
}

template <class T>
void one(const Input& in) {
    const Result<Quantized<T>> r = run<T>(in);
    check_errors(in, r);
    if (r) check_tensor(in, *r);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9) return -1;
    const Input in = parse(data, size);
    switch (in.type) {
        case 0: one<f32>(in); break;
        case 1: one<f16>(in); break;
        default: one<bf16>(in); break;
    }
    return 0;
}
