// Built with -mavx512f -mavx512bw -mavx512vl -mavx512vbmi -mf16c; reached only
// when the CPU has them. The AVX-512 steps, with every width packed and
// unpacked by byte permutes (kernels/x86/vbmi_tables.hpp) instead of the
// shift-and-merge ladder.
#if defined(__x86_64__)
// GCC 12 reports its own undefined-vector idiom inside avx512fintrin.h.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include "kernels/x86/avx512_steps.hpp"
#include "kernels/x86/vbmi_fields.hpp"
#include "kernels/x86/vbmi_tables.hpp"

namespace velmar::simd {
namespace {

struct S : Avx512Steps {
    using Base = Avx512Steps;
    static constexpr Level kLevel = Level::Avx512Vbmi;
    static constexpr size_t kUnit = 32;  // codes per packed unit: two registers
    static constexpr size_t kSpan = 64;

    // One width's tables in registers, for a whole stream or one block.
    struct Packer {
        __m512i shl[2], from[2], own, low;
        __mmask64 keep;  // the unit's 4w bytes
        __m128i down;
        uint32_t classes;
        bool pairs;
        uint32_t span;  // bytes stored: no more than the unit needs, since a store across a cache line costs two
        // A stream of 2 to 7 bits: the codes narrowed to bytes and merged by
        // multiply-adds, which leave the shift and permute units (the packer's
        // bound on a Zen 4) to the narrowing, one shift and the closing permute.
        bool by_bytes;
        __m256i bytes_low, pair_mul, quad_mul, quad_low, close;
        __m128i quad_down;

        Packer(uint32_t w, bool mixed) {
            by_bytes = !mixed && w <= 7;
            if (by_bytes) {
                const ByteMerge& m = kByteMerge.at[w];
                const auto row = [](const uint8_t* q) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(q)); };
                bytes_low = _mm256_set1_epi8(static_cast<char>((1u << w) - 1u));
                pair_mul = _mm256_set1_epi16(static_cast<short>(1u | (1u << w) << 8));
                quad_mul = _mm256_set1_epi32(static_cast<int>(1u | (1u << 2 * w) << 16));
                quad_low = _mm256_set1_epi64x(static_cast<long long>((1ull << 4 * w) - 1u));
                close = row(m.close);
                quad_down = shift_count(32 - 4 * w);
                keep = (__mmask64{1} << (4 * w)) - 1;
                span = 4 * w > 16 ? 32 : 16;
                return;
            }
            const PackTable& t = mixed ? kMixedPacking.at[w] : kFixedPacking.at[w];
            for (size_t k = 0; k < 2; ++k) shl[k] = _mm512_load_si512(t.shl + 16 * k);
            for (size_t c = 0; c < 2; ++c) from[c] = _mm512_load_si512(t.from[c]);
            own = _mm512_load_si512(t.own[1]);
            low = _mm512_set1_epi64((1 << w) - 1);
            down = shift_count(32 - w);
            pairs = t.pairs;
            keep = w == 16 ? ~__mmask64{0} : (__mmask64{1} << (4 * w)) - 1;
            classes = t.classes;
            span = mixed || 4 * w > 16 ? (4 * w > 32 ? 64 : 32) : 16;
        }

        void pack(const I* c, uint8_t* p) const {
            if (by_bytes) return pack_bytes(c, p);
            __m512i x = c[0], y = c[1];
            if (pairs) {
                x = _mm512_ternarylogic_epi64(low, x, _mm512_srl_epi64(x, down), 0xCA);  // a ? b : c
                y = _mm512_ternarylogic_epi64(low, y, _mm512_srl_epi64(y, down), 0xCA);
            }
            const __m512i a = _mm512_sllv_epi32(x, shl[0]), b = _mm512_sllv_epi32(y, shl[1]);
            __m512i out = _mm512_maskz_permutex2var_epi8(keep, a, from[0], b);
            if (classes > 1)
                out = _mm512_ternarylogic_epi32(own, _mm512_permutex2var_epi8(a, from[1], b), out,
                                                0xCA);  // a ? b : c
            if (span == 16) _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm512_castsi512_si128(out));
            else if (span == 32) _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm512_castsi512_si256(out));
            else _mm512_storeu_si512(p, out);
        }

        // Bytes (the first of each lane of both registers), their low w bits
        // merged in pairs and quads (the multipliers' bytes are unsigned, the
        // codes' signed but below 128), the two quads of each qword joined
        // into its w bytes, and the qwords closed up.
        void pack_bytes(const I* c, uint8_t* p) const {
            const __m256i b = _mm512_castsi512_si256(_mm512_permutex2var_epi8(c[0], _mm512_load_si512(kByteMerge.first), c[1]));
            const __m256i pairs = _mm256_maddubs_epi16(pair_mul, _mm256_and_si256(b, bytes_low));
            const __m256i quads = _mm256_madd_epi16(pairs, quad_mul);
            const __m256i groups = _mm256_ternarylogic_epi64(quad_low, quads, _mm256_srl_epi64(quads, quad_down), 0xCA);  // a ? b : c
            const __m256i out = _mm256_maskz_permutexvar_epi8(static_cast<__mmask32>(keep), close, groups);
            if (span == 16) _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(out));
            else _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), out);
        }
    };

    static void unpack(const uint8_t* p, uint32_t w, I* c) {
        const UnpackTable& t = kUnpacking.at[w];
        const __m512i g = _mm512_loadu_si512(p);
        for (size_t k = 0; k < 2; ++k) {
            const __m512i x = _mm512_sllv_epi32(_mm512_permutexvar_epi8(_mm512_load_si512(t.gather[k]), g),
                                                _mm512_load_si512(t.up + 16 * k));
            c[k] = _mm512_sra_epi32(x, shift_count(32 - w));
        }
    }
    // Widths 8, 4 and 16 as two of the AVX-512 level's units.
    static void pack8(const I* c, uint8_t* p) {
        Base::pack8(c, p);
        Base::pack8(c + 1, p + 16);
    }
    static void unpack8(const uint8_t* p, I* c) {
        Base::unpack8(p, c);
        Base::unpack8(p + 16, c + 1);
    }
    static void pack16(const I* c, uint8_t* p) {
        Base::pack16(c, p);
        Base::pack16(c + 1, p + 32);
    }
    static void unpack16(const uint8_t* p, I* c) {
        Base::unpack16(p, c);
        Base::unpack16(p + 32, c + 1);
    }
    static void pack4(const I* c, uint8_t* p) {
        Base::pack4(c, p);
        Base::pack4(c + 1, p + 8);
    }
    static void unpack4(const uint8_t* p, I* c) {
        Base::unpack4(p, c);
        Base::unpack4(p + 8, c + 1);
    }
    // The row kernels' adaptive blocks, 32 codes at a time.
    static void unpack_bits32(const uint8_t* in, uint32_t w, uint8_t* out) { unpack_fields32(in, w, out); }
    static void unpack_bits32x2(const uint8_t* in, uint32_t w, uint32_t v, uint8_t* out) {
        unpack_fields32x2(in, w, v, out);
    }
};

#include "kernels/twin.inl"

}  // namespace

const Kernels& avx512vbmi_kernels() { return kTable; }

}  // namespace velmar::simd
#endif
