// Quantizers and decoders on arbitrary vectors and parameters, checked bit for
// bit against the naive model in reference.hpp.
#include <algorithm>
#include <cstring>
#include <limits>

#include "methods/adaptive.hpp"
#include "methods/asymmetric.hpp"
#include "methods/learned.hpp"
#include "methods/symmetric.hpp"
#include "reference.hpp"
#include "shared/tensor.hpp"

using namespace velmar;
using ref::check;

namespace {

struct Input {
    uint32_t method, bits;
    size_t block;
    float tolerance;
    std::vector<float> values;
};

// Bytes: method, storage type, width 0..40, block, tolerance (4 bytes, or a
// table entry unless flag 1), flags (2: raw floats, else int8 eighths), values.
Input parse(const uint8_t* d, size_t n) {
    static const float kTolerances[] = {0.001f, 0.01f, 0.1f, 0.5f, 1e-6f, 3.0f};
    Input in{d[0] % 3u, d[2] % 41u, d[3] == 255 ? std::numeric_limits<size_t>::max() : d[3] < 200 ? d[3] : (d[3] - 199u) * 97u, 0.0f, {}};
    std::memcpy(&in.tolerance, d + 4, 4);
    if (!(d[8] & 1)) in.tolerance = kTolerances[d[4] % 6];
    const size_t step = d[8] & 2 ? 4 : 1;
    for (size_t i = 9; i + step <= n && in.values.size() < 4096; i += step) {
        float v = static_cast<float>(static_cast<int8_t>(d[i])) / 8.0f;
        if (step == 4) std::memcpy(&v, d + i, 4);
        in.values.push_back(v);
    }
    return in;
}

template <class T>
bool same_t(T a, float b) { return Scale<T>::to_bits(a) == Scale<T>::to_bits(from_f32<T>(b)); }

template <class T>
void check_tensor(const Input& in, const Quantized<T>& q) {
    const std::vector<float>& v = in.values;
    const size_t len = v.size();
    const bool adaptive = in.method == 2;
    check(q.len == len && q.block == in.block && q.keeps_invariants(), "fresh tensor: fields or invariants");
    std::vector<int32_t> codes;
    std::vector<uint8_t> data;
    for (size_t start = 0, b = 0; start < len; start += in.block, ++b) {
        const size_t n = std::min(in.block, len - start);
        uint32_t w = in.bits;
        if (adaptive) {
            const auto [lo, hi] = ref::min_max(v.data() + start, n);
            w = ref::choose_bits(hi - lo, in.tolerance);
            check(q.block_bits[b] == w, "adaptive width");
        }
        const ref::Block blk = ref::block(v.data() + start, n, w, in.method != 0);
        check(same_t(q.scales[b], blk.scale), "scale");
        check(in.method == 0 || same_t(q.zero_points[b], blk.zero_point), "zero point");
        const std::vector<uint8_t> bytes = ref::pack(blk.codes, w);
        data.insert(data.end(), bytes.begin(), bytes.end());
        codes.insert(codes.end(), blk.codes.begin(), blk.codes.end());
        if (n < in.block) break;
    }
    if (adaptive) check(std::ranges::equal(q.data, data), "adaptive bytes");
    else check(std::ranges::equal(q.packed.bytes, ref::pack(codes, in.bits)) && q.packed.bits == in.bits, "packed bytes");
    check(q.unpacked_codes() == codes, "unpacked codes");

    // Decoding from the stored (rounded) scales and zero points; the dot's summation order is held to the
    // reference by the Python suite and the twin tests.
    const std::vector<float> got = q.dequantize();
    std::vector<float> into(len, 7.0f);
    check(q.dequantize_into(into).has_value() && dot(q, v).has_value(), "own length refused");
    for (size_t i = 0; i < len; ++i) {
        const float s = to_f32(q.scales[i / in.block]), c = static_cast<float>(codes[i]);
        const float want = q.kind == Kind::Symmetric ? c * s : s * (c - to_f32(q.zero_points[i / in.block]));
        check(ref::same(got[i], want) && ref::same(into[i], want), "decoded value");
    }

    // Refinement keeps codes, widths and the invariants.
    Quantized<T> r = q;
    refine(r, v);
    check(r.keeps_invariants() && r.unpacked_codes() == codes, "refine broke the invariants or changed codes");
    check(len == 0 || r.kind == (adaptive ? Kind::Adaptive : Kind::Asymmetric), "refined kind");
}

template <class T>
void one(const Input& in) {
    const Result<Quantized<T>> r = in.method == 0 ? symmetric::quantize_with<T>(in.values, in.bits, in.block)
                                 : in.method == 1 ? asymmetric::quantize_with<T>(in.values, in.bits, in.block)
                                                  : adaptive::quantize_with<T>(in.values, in.block, in.tolerance);
    // Errors come in this order: width, block, tolerance.
    const bool tolerance_ok = in.tolerance > 0.0f && in.tolerance < INFINITY;
    if (in.method != 2 && (in.bits < 2 || in.bits > 16)) check(!r && r.error() == CoreError::invalid_bits(in.bits), "invalid width");
    else if (in.block == 0) check(!r && r.error() == CoreError::invalid_block(0), "block 0");
    else if (in.method == 2 && !tolerance_ok) check(!r && r.error() == CoreError::invalid_tolerance(), "bad tolerance");
    else check(r.has_value(), "valid parameters refused");
    if (r) check_tensor(in, *r);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9) return -1;
    const Input in = parse(data, size);
    if (data[1] % 3 == 0) one<f32>(in);
    else if (data[1] % 3 == 1) one<f16>(in);
    else one<bf16>(in);
    return 0;
}
