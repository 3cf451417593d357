// Built with -mavx512f -mavx512bw -mavx512vl -mavx512vbmi -mf16c -mbmi2;
// reached only when the CPU has them. The AVX-512 steps, with every width
// packed and unpacked by byte permutes (kernels/x86/vbmi_tables.hpp) and bit
// extracts instead of the shift-and-merge ladder.
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
    // Codes of 2 to 8 bits by bit extracts, as at the AVX-512 level (streams
    // of 4 and 8 have steps of their own), wider ones by the classes of
    // kernels/x86/vbmi_tables.hpp.
    struct Packer {
        __m512i shl[2], from[2], own;
        __mmask64 keep;  // the unit's 4w bytes
        uint32_t classes;
        bool extract;
        uint32_t width;
        uint64_t fields;  // the low w bits of each byte

        Packer(uint32_t w, bool) {
            width = w;
            extract = w <= 8;
            fields = 0x0101010101010101ull * ((1u << w) - 1u);
            if (extract) return;
            const PackTable& t = kPacking.at[w];
            for (size_t k = 0; k < 2; ++k) shl[k] = _mm512_load_si512(t.shl + 16 * k);
            for (size_t c = 0; c < 2; ++c) from[c] = _mm512_load_si512(t.from[c]);
            own = _mm512_load_si512(t.own[1]);
            keep = w == 16 ? ~__mmask64{0} : (__mmask64{1} << (4 * w)) - 1;
            classes = t.classes;
        }

        __attribute__((always_inline)) void pack(const I* c, uint8_t* p) const {
            if (extract) return pack_fields(c, fields, width, p);
            const __m512i a = _mm512_sllv_epi32(c[0], shl[0]), b = _mm512_sllv_epi32(c[1], shl[1]);
            __m512i out = _mm512_maskz_permutex2var_epi8(keep, a, from[0], b);
            if (classes > 1)
                out = _mm512_ternarylogic_epi32(own, _mm512_permutex2var_epi8(a, from[1], b), out,
                                                0xCA);  // a ? b : c
            _mm512_storeu_si512(p, out);
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
