// The x86-64 baseline: SSE2 only, so it runs on every x86-64 CPU.
#if defined(__x86_64__)
#include <emmintrin.h>

#include "kernels/superblock_fit.hpp"
#include "kernels/twin_deps.hpp"
#include "kernels/x86/rows.hpp"
#include "kernels/x86/sse_steps.hpp"

namespace velmar::simd {
namespace {

struct S {
    static constexpr size_t W = 4;
    static constexpr Level kLevel = Level::Sse2;
    static constexpr bool kHasF16 = false;
    static constexpr bool kIntAbsMax = false;  // no unsigned 32-bit maximum before SSE4.1
    static constexpr size_t kUnit = 8;          // codes per packed unit: two registers
    static constexpr size_t kSpan = 16;         // bytes a unit's load or store may touch
    using F = __m128;
    using I = __m128i;
    using M = __m128;

    static F load(const float* p) { return _mm_loadu_ps(p); }
    static void store(float* p, F v) { _mm_storeu_ps(p, v); }
    static F set1(float x) { return _mm_set1_ps(x); }
    static F add(F a, F b) { return _mm_add_ps(a, b); }
    static F sub(F a, F b) { return _mm_sub_ps(a, b); }
    static F mul(F a, F b) { return _mm_mul_ps(a, b); }
    static F max(F a, F b) { return _mm_max_ps(a, b); }
    static F min(F a, F b) { return _mm_min_ps(a, b); }
    static F abs(F a) { return _mm_and_ps(a, _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF))); }
    static F div(F a, F b) { return _mm_div_ps(a, b); }
    static M isnan(F a) { return _mm_cmpunord_ps(a, a); }
    static M gt(F a, F b) { return _mm_cmpgt_ps(a, b); }
    static M ge(F a, F b) { return _mm_cmpge_ps(a, b); }
    static M le(F a, F b) { return _mm_cmple_ps(a, b); }
    static F select(M m, F a, F b) { return _mm_or_ps(_mm_and_ps(m, a), _mm_andnot_ps(m, b)); }
    // Lanes exchanged with their neighbours s apart (s < W, a power of two).
    template <size_t s>
    static F swap(F a) {
        return _mm_shuffle_ps(a, a, s == 1 ? 0xB1 : 0x4E);
    }
    // Lane l of the result is lane idx[l] % W of v.
    static F permute(F v, I idx) {
        alignas(16) float t[4], r[4];
        alignas(16) int32_t i[4];
        _mm_store_ps(t, v);
        _mm_store_si128(reinterpret_cast<__m128i*>(i), idx);
        for (size_t l = 0; l < 4; ++l) r[l] = t[i[l] & 3];
        return _mm_load_ps(r);
    }
    // Step L of folding W registers into one (twin.inl's fold_tree): the
    // even lanes of a then b, and the odd ones.
    template <size_t>
    static void unzip(F a, F b, F& x, F& y) {
        x = _mm_shuffle_ps(a, b, 0x88);
        y = _mm_shuffle_ps(a, b, 0xDD);
    }
    // n lanes (at most W) from p, the rest `fill`; nothing past p + n is read.
    static F load_n(const float* p, size_t n, float fill) {
        alignas(16) float t[4] = {fill, fill, fill, fill};
        __builtin_memcpy(t, p, n * sizeof(float));
        return _mm_load_ps(t);
    }
    static void store_n(float* p, F v, size_t n) {
        alignas(16) float t[4];
        _mm_store_ps(t, v);
        __builtin_memcpy(p, t, n * sizeof(float));
    }
    static M mor(M a, M b) { return _mm_or_ps(a, b); }
    static M mnone() { return _mm_setzero_ps(); }
    static bool any(M m) { return _mm_movemask_ps(m) != 0; }

    static float hmax(F m) {
        m = _mm_max_ps(m, _mm_movehl_ps(m, m));
        m = _mm_max_ss(m, _mm_shuffle_ps(m, m, 1));
        return _mm_cvtss_f32(m);
    }
    static float hmin(F m) {
        m = _mm_min_ps(m, _mm_movehl_ps(m, m));
        m = _mm_min_ss(m, _mm_shuffle_ps(m, m, 1));
        return _mm_cvtss_f32(m);
    }

    // See the AVX2 twin for why clamp-then-truncate rounds exactly.
    static I code(F u, F qmin, F qmax) {
        const F c = _mm_max_ps(qmin, _mm_min_ps(qmax, u));
        const F sign = _mm_and_ps(c, _mm_castsi128_ps(_mm_set1_epi32(static_cast<int>(0x80000000u))));
        const I r = _mm_cvttps_epi32(_mm_add_ps(c, _mm_or_ps(sign, _mm_set1_ps(0.49999997f))));
        return _mm_and_si128(r, _mm_castps_si128(_mm_cmpord_ps(u, u)));
    }
    static void store_i32(int32_t* p, I v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
    static I abs_bits(F) { return _mm_setzero_si128(); }
    static I max_u32(I a, I) { return a; }
    // Widths 8, 4 and 16 in lanes: the unit's codes as bytes, nibble pairs or
    // 16-bit integers.
    static __m128i bytes_of(const I* c) { return _mm_packs_epi16(_mm_packs_epi32(c[0], c[1]), _mm_setzero_si128()); }
    static void widen_bytes(__m128i b, I* c) {
        const __m128i t = _mm_unpacklo_epi8(b, b);
        c[0] = _mm_srai_epi32(_mm_unpacklo_epi16(t, t), 24);
        c[1] = _mm_srai_epi32(_mm_unpackhi_epi16(t, t), 24);
    }
    static void pack8(const I* c, uint8_t* p) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), bytes_of(c)); }
    static void unpack8(const uint8_t* p, I* c) { widen_bytes(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), c); }
    static void pack16(const I* c, uint8_t* p) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_packs_epi32(c[0], c[1]));
    }
    static void unpack16(const uint8_t* p, I* c) {
        const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        c[0] = _mm_srai_epi32(_mm_unpacklo_epi16(h, h), 16);
        c[1] = _mm_srai_epi32(_mm_unpackhi_epi16(h, h), 16);
    }
    static void pack4(const I* c, uint8_t* p) {
        const int32_t word = _mm_cvtsi128_si32(i8_to_nibbles(bytes_of(c)));
        __builtin_memcpy(p, &word, 4);
    }
    static void unpack4(const uint8_t* p, I* c) {
        int32_t word;
        __builtin_memcpy(&word, p, 4);
        widen_bytes(nibbles_to_i8(_mm_cvtsi32_si128(word)), c);
    }
    static F load_i8(const uint8_t* p) {
        int32_t word;
        __builtin_memcpy(&word, p, 4);
        const __m128i t = _mm_unpacklo_epi8(_mm_cvtsi32_si128(word), _mm_cvtsi32_si128(word));
        return _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(t, t), 24));
    }
    static I loadi(const int32_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
    static F as_float(I v) { return _mm_castsi128_ps(v); }
    static F to_float(I v) { return _mm_cvtepi32_ps(v); }
    static I to_int(F v) { return _mm_cvttps_epi32(v); }  // toward zero
    // The w-bit stream of kUnit codes (w bytes) from two registers; the 16-byte
    // store leaves zeros after them.
    static void pack(const I* c, uint32_t w, uint8_t* p) {
        const __m128i m = _mm_set1_epi32(static_cast<int>((1u << w) - 1u));
        const __m128i q0 = quad_of(_mm_and_si128(c[0], m), w), q1 = quad_of(_mm_and_si128(c[1], m), w);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), merge_quads(_mm_unpacklo_epi64(q0, q1), w));
    }
    // 16 codes of width 2..=8 (an adaptive block's two units) in one pass:
    // narrowed to bytes (they fit), neighbours merged in lanes twice as wide,
    // the low one's bits kept under a mask and the high one's shifted down
    // next to them, and the two groups of eight closed up. Made once per
    // width and call.
    static constexpr size_t kBlockUnit = 16;
    template <size_t kBits>
    static __m128i merge_next(__m128i x, __m128i low, __m128i k) {
        const __m128i high = kBits == 16 ? _mm_srl_epi16(x, k) : kBits == 32 ? _mm_srl_epi32(x, k) : _mm_srl_epi64(x, k);
        return _mm_or_si128(_mm_and_si128(x, low), _mm_andnot_si128(low, high));
    }
    // Widths 9..=16 too, for fixed-width streams: eight codes at a time
    // narrowed to 16 bits, pairs merged in 32-bit lanes and quads in 64-bit
    // ones, and the two quads closed up into their group of w bytes.
    static constexpr uint32_t kBlockPackerBits = 16;
    struct BlockPacker {
        __m128i byte, pair, quad, group, pair_down, quad_down, group_down, close_up, close_down;
        size_t w;

        explicit BlockPacker(uint32_t bits)
            : byte(bits > 8 ? _mm_set1_epi16(static_cast<short>((1u << bits) - 1u))
                            : _mm_set1_epi8(static_cast<char>((1u << bits) - 1u))),
              pair(bits > 8 ? _mm_set1_epi32(static_cast<int>((1u << bits) - 1u))
                            : _mm_set1_epi16(static_cast<short>((1u << bits) - 1u))),
              quad(bits > 8 ? _mm_set1_epi64x(static_cast<long long>((1ull << 2 * bits) - 1u))
                            : _mm_set1_epi32(static_cast<int>((1u << 2 * bits) - 1u))),
              group(bits > 8 ? _mm_setzero_si128() : _mm_set1_epi64x(static_cast<long long>((1ull << 4 * bits) - 1u))),
              pair_down(shift_count(bits > 8 ? 16 - bits : 8 - bits)),
              quad_down(shift_count(bits > 8 ? 32 - 2 * bits : 16 - 2 * bits)),
              group_down(shift_count(bits > 8 ? 0 : 32 - 4 * bits)),
              close_up(shift_count(bits > 8 ? 4 * bits : 8 * bits)),
              close_down(shift_count(bits > 8 ? 64 - 4 * bits : 64 - 8 * bits)),
              w(bits) {}

        void pack_wide(const I* c, uint8_t* p) const {
            const __m128i pairs = merge_next<32>(_mm_and_si128(_mm_packs_epi32(c[0], c[1]), byte), pair, pair_down);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p), merge_quads(merge_next<64>(pairs, quad, quad_down), close_up, close_down));
        }

        void pack(const I* c, uint8_t* p) const {
            if (w > 8) {
                // The second group's store overwrites the zeros the first leaves after its w bytes.
                pack_wide(c, p);
                return pack_wide(c + 2, p + w);
            }
            const __m128i b = _mm_packs_epi16(_mm_packs_epi32(c[0], c[1]), _mm_packs_epi32(c[2], c[3]));
            const __m128i pairs = merge_next<16>(_mm_and_si128(b, byte), pair, pair_down);
            const __m128i groups = merge_next<64>(merge_next<32>(pairs, quad, quad_down), group, group_down);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p), merge_quads(groups, close_up, close_down));
        }
    };
    static void unpack(const uint8_t* p, uint32_t w, I* c) {
        const __m128i y = split_group(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), w);
        const __m128i h = _mm_srl_epi64(y, shift_count(2 * w));
        c[0] = codes_of_pairs(_mm_unpacklo_epi64(y, h), w);
        c[1] = codes_of_pairs(_mm_unpackhi_epi64(y, h), w);
    }
    static F load_i32(const int32_t* p) {
        return _mm_cvtepi32_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    }
    static void transpose(F* r) { _MM_TRANSPOSE4_PS(r[0], r[1], r[2], r[3]); }
    static void widen_f16(const uint16_t*, float*) {}
    static void narrow_f16(const float*, uint16_t*) {}
    // The row kernels' byte steps (kernels/rows.inl); no byte shuffle before
    // SSSE3, so codes of other widths are unpacked one by one.
    static void transpose_bytes(const uint8_t* p, size_t stride, uint8_t* out) { transpose16<Xmm>(p, stride, out); }
    static void nibbles_to_bytes(const uint8_t* in, uint8_t* out) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), nibbles_to_i8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in))));
    }
    static constexpr bool kUnpackBits = false;
    static void unpack_bits(const uint8_t*, uint32_t, uint8_t*) {}
};

#include "kernels/twin.inl"

}  // namespace

const Kernels& sse2_kernels() { return kTable; }

}  // namespace velmar::simd
#endif
