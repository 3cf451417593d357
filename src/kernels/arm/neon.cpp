// AArch64 only: NEON is part of the base architecture there.
#if defined(__aarch64__)
#include <arm_neon.h>

#include "kernels/superblock_fit.hpp"
#include "kernels/twin_deps.hpp"
#include "kernels/unit_tables.hpp"

namespace velmar::simd {
namespace {

struct S {
    static constexpr size_t W = 4;
    static constexpr Level kLevel = Level::Neon;
    static constexpr bool kHasF16 = false;
    static constexpr bool kIntAbsMax = true;
    static constexpr size_t kUnit = 8;   // codes per packed unit: two registers
    static constexpr size_t kSpan = 16;  // bytes a unit's load or store may touch
    using F = float32x4_t;
    using I = int32x4_t;
    using M = uint32x4_t;

    static F load(const float* p) { return vld1q_f32(p); }
    static void store(float* p, F v) { vst1q_f32(p, v); }
    static F set1(float x) { return vdupq_n_f32(x); }
    static F add(F a, F b) { return vaddq_f32(a, b); }
    static F sub(F a, F b) { return vsubq_f32(a, b); }
    static F mul(F a, F b) { return vmulq_f32(a, b); }
    // Only used where no lane is NaN (the kernels track NaN separately).
    static F max(F a, F b) { return vmaxq_f32(a, b); }
    static F min(F a, F b) { return vminq_f32(a, b); }
    static F abs(F a) { return vabsq_f32(a); }
    static F div(F a, F b) { return vdivq_f32(a, b); }
    static M isnan(F a) { return vmvnq_u32(vceqq_f32(a, a)); }
    static M gt(F a, F b) { return vcgtq_f32(a, b); }
    static M ge(F a, F b) { return vcgeq_f32(a, b); }
    static M le(F a, F b) { return vcleq_f32(a, b); }
    static F select(M m, F a, F b) { return vbslq_f32(m, a, b); }
    template <size_t s>
    static F swap(F a) {
        if constexpr (s == 1) return vrev64q_f32(a);
        else return vextq_f32(a, a, 2);
    }
    // Lane l of the result is lane idx[l] of v.
    static F permute(F v, I idx) {
        const uint32x4_t lane = vshlq_n_u32(vreinterpretq_u32_s32(idx), 2);
        const uint8x16_t bytes = vreinterpretq_u8_u32(vorrq_u32(vmulq_n_u32(lane, 0x01010101u), vdupq_n_u32(0x03020100u)));
        return vreinterpretq_f32_u8(vqtbl1q_u8(vreinterpretq_u8_f32(v), bytes));
    }
    // Step L of folding W registers into one (twin.inl's fold_tree): the
    // even lanes of a then b, and the odd ones.
    template <size_t>
    static void unzip(F a, F b, F& x, F& y) {
        x = vuzp1q_f32(a, b);
        y = vuzp2q_f32(a, b);
    }
    static F load_n(const float* p, size_t n, float fill) {
        alignas(16) float t[4] = {fill, fill, fill, fill};
        __builtin_memcpy(t, p, n * sizeof(float));
        return vld1q_f32(t);
    }
    static void store_n(float* p, F v, size_t n) {
        alignas(16) float t[4];
        vst1q_f32(t, v);
        __builtin_memcpy(p, t, n * sizeof(float));
    }
    static M mor(M a, M b) { return vorrq_u32(a, b); }
    static M mnone() { return vdupq_n_u32(0); }
    static bool any(M m) { return vmaxvq_u32(m) != 0; }
    static float hmax(F v) { return vmaxvq_f32(v); }
    static float hmin(F v) { return vminvq_f32(v); }

    // FCVTAS rounds half away from zero, saturates and turns NaN into 0:
    // asym_code's rounding, before the same clamp.
    static I code(F u, F qmin, F qmax) {
        const I r = vcvtaq_s32_f32(u);
        return vminq_s32(vmaxq_s32(r, vcvtq_s32_f32(qmin)), vcvtq_s32_f32(qmax));
    }
    static void store_i32(int32_t* p, I v) { vst1q_s32(p, v); }
    static I abs_bits(F a) { return vreinterpretq_s32_u32(vandq_u32(vreinterpretq_u32_f32(a), vdupq_n_u32(0x7FFFFFFFu))); }
    static I max_u32(I a, I b) { return vreinterpretq_s32_u32(vmaxq_u32(vreinterpretq_u32_s32(a), vreinterpretq_u32_s32(b))); }
    // Widths 8 and 16 in lanes; width 4 takes the general ladder.
    static void pack8(const I* c, uint8_t* p) {
        vst1_s8(reinterpret_cast<int8_t*>(p), vqmovn_s16(vcombine_s16(vqmovn_s32(c[0]), vqmovn_s32(c[1]))));
    }
    static void unpack8(const uint8_t* p, I* c) {
        const int16x8_t h = vmovl_s8(vld1_s8(reinterpret_cast<const int8_t*>(p)));
        c[0] = vmovl_s16(vget_low_s16(h));
        c[1] = vmovl_s16(vget_high_s16(h));
    }
    static void pack16(const I* c, uint8_t* p) {
        vst1q_s16(reinterpret_cast<int16_t*>(p), vcombine_s16(vqmovn_s32(c[0]), vqmovn_s32(c[1])));
    }
    static void unpack16(const uint8_t* p, I* c) {
        const int16x8_t h = vld1q_s16(reinterpret_cast<const int16_t*>(p));
        c[0] = vmovl_s16(vget_low_s16(h));
        c[1] = vmovl_s16(vget_high_s16(h));
    }
    static void pack4(const I* c, uint8_t* p) { pack(c, 4, p); }
    static void unpack4(const uint8_t* p, I* c) { unpack(p, 4, c); }
    static F load_i8(const uint8_t* p) {
        int32_t word;
        __builtin_memcpy(&word, p, 4);
        const int8x8_t b = vreinterpret_s8_s32(vdup_n_s32(word));
        return vcvtq_f32_s32(vmovl_s16(vget_low_s16(vmovl_s8(b))));
    }
    static I loadi(const int32_t* p) { return vld1q_s32(p); }
    static F as_float(I v) { return vreinterpretq_f32_s32(v); }
    static I as_int(F v) { return vreinterpretq_s32_f32(v); }
    static F to_float(I v) { return vcvtq_f32_s32(v); }
    static I to_int(F v) { return vcvtq_s32_f32(v); }  // toward zero
    // Pairs and quads in 64-bit lanes, then the two quads merged: w bytes,
    // zeros after them up to 16.
    static uint64x2_t quad_of(I c, uint32_t w) {
        const uint64x2_t m = vreinterpretq_u64_u32(vandq_u32(vreinterpretq_u32_s32(c), vdupq_n_u32((1u << w) - 1u)));
        const uint64x2_t pairs = vorrq_u64(vandq_u64(m, vdupq_n_u64(0xFFFFFFFFu)),
                                           vshlq_u64(m, vdupq_n_s64(-static_cast<int64_t>(32 - w))));
        return vorrq_u64(pairs, vshlq_u64(vextq_u64(pairs, vdupq_n_u64(0), 1), vdupq_n_s64(2 * w)));
    }
    static void pack(const I* c, uint32_t w, uint8_t* p) {
        const uint64x2_t y = vcombine_u64(vget_low_u64(quad_of(c[0], w)), vget_low_u64(quad_of(c[1], w)));
        const uint64x2_t up = vshlq_u64(y, vdupq_n_s64(4 * w));  // 4w = 64 shifts everything out
        const uint64x2_t down = vshlq_u64(y, vdupq_n_s64(-static_cast<int64_t>(64 - 4 * w)));
        const uint64x2_t r = vcombine_u64(vorr_u64(vget_low_u64(y), vget_high_u64(up)), vget_high_u64(down));
        vst1q_u8(p, vreinterpretq_u8_u64(r));
    }
    // Each lane takes the bytes of its code and shifts it to the top; an
    // arithmetic shift brings it back down.
    static void unpack(const uint8_t* p, uint32_t w, I* c) {
        const UnitTable& t = kUnitTables[w];
        const uint8x16_t g = vld1q_u8(p);
        for (size_t h = 0; h < 2; ++h) {
            const uint32x4_t x = vshlq_u32(vreinterpretq_u32_u8(vqtbl1q_u8(g, vld1q_u8(t.ctrl + 16 * h))),
                                           vld1q_s32(t.shl + 4 * h));
            c[h] = vshlq_s32(vreinterpretq_s32_u32(x), vdupq_n_s32(-static_cast<int32_t>(32 - w)));
        }
    }
    static F load_i32(const int32_t* p) { return vcvtq_f32_s32(vld1q_s32(p)); }
    static void transpose(F* r) {
        const float32x4x2_t a = vtrnq_f32(r[0], r[1]);
        const float32x4x2_t b = vtrnq_f32(r[2], r[3]);
        r[0] = vcombine_f32(vget_low_f32(a.val[0]), vget_low_f32(b.val[0]));
        r[1] = vcombine_f32(vget_low_f32(a.val[1]), vget_low_f32(b.val[1]));
        r[2] = vcombine_f32(vget_high_f32(a.val[0]), vget_high_f32(b.val[0]));
        r[3] = vcombine_f32(vget_high_f32(a.val[1]), vget_high_f32(b.val[1]));
    }
    static void widen_f16(const uint16_t*, float*) {}
    static void narrow_f16(const float*, uint16_t*) {}
    // The row kernels' byte steps (kernels/rows.inl): a 16 x 16 byte
    // transpose by four zip stages (see kernels/x86/rows.hpp), nibbles and
    // codes of 2..8 bits to sign-extended bytes.
    static void transpose_bytes(const uint8_t* p, size_t stride, uint8_t* out) {
        constexpr uint8_t kBitrev[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
        uint8x16_t r[16], t[16];
        for (size_t i = 0; i < 16; ++i) r[i] = vld1q_u8(p + kBitrev[i] * stride);
        const auto stage = [&](auto zip1, auto zip2) {
            for (size_t i = 0; i < 8; ++i) {
                t[2 * i] = zip1(r[i], r[i + 8]);
                t[2 * i + 1] = zip2(r[i], r[i + 8]);
            }
            for (size_t i = 0; i < 16; ++i) r[i] = t[i];
        };
        stage([](uint8x16_t a, uint8x16_t b) { return vzip1q_u8(a, b); },
              [](uint8x16_t a, uint8x16_t b) { return vzip2q_u8(a, b); });
        stage([](uint8x16_t a, uint8x16_t b) { return vreinterpretq_u8_u16(vzip1q_u16(vreinterpretq_u16_u8(a), vreinterpretq_u16_u8(b))); },
              [](uint8x16_t a, uint8x16_t b) { return vreinterpretq_u8_u16(vzip2q_u16(vreinterpretq_u16_u8(a), vreinterpretq_u16_u8(b))); });
        stage([](uint8x16_t a, uint8x16_t b) { return vreinterpretq_u8_u32(vzip1q_u32(vreinterpretq_u32_u8(a), vreinterpretq_u32_u8(b))); },
              [](uint8x16_t a, uint8x16_t b) { return vreinterpretq_u8_u32(vzip2q_u32(vreinterpretq_u32_u8(a), vreinterpretq_u32_u8(b))); });
        stage([](uint8x16_t a, uint8x16_t b) { return vreinterpretq_u8_u64(vzip1q_u64(vreinterpretq_u64_u8(a), vreinterpretq_u64_u8(b))); },
              [](uint8x16_t a, uint8x16_t b) { return vreinterpretq_u8_u64(vzip2q_u64(vreinterpretq_u64_u8(a), vreinterpretq_u64_u8(b))); });
        for (size_t k = 0; k < 16; ++k) vst1q_u8(out + 16 * k, r[k]);
    }
    static void nibbles_to_bytes(const uint8_t* in, uint8_t* out) {
        const uint8x8_t b = vld1_u8(in);
        const int8x16_t codes = vreinterpretq_s8_u8(vcombine_u8(vzip1_u8(b, vshr_n_u8(b, 4)), vzip2_u8(b, vshr_n_u8(b, 4))));
        vst1q_s8(reinterpret_cast<int8_t*>(out), vshrq_n_s8(vshlq_n_s8(codes, 4), 4));
    }
    static constexpr bool kUnpackBits = true;
    // As on x86 (kernels/x86/rows.hpp): each code's 16-bit window, shifted up
    // to the word's top, then arithmetically down.
    static void unpack_bits(const uint8_t* in, uint32_t w, uint8_t* out) {
        uint8_t index[32];
        int16_t up[16];
        for (uint32_t j = 0; j < 16; ++j) {
            const uint32_t byte = j * w / 8, shift = j * w % 8;
            index[2 * j] = static_cast<uint8_t>(byte);
            index[2 * j + 1] = shift + w > 8 ? static_cast<uint8_t>(byte + 1) : 0xFF;
            up[j] = static_cast<int16_t>(16 - shift - w);
        }
        const uint8x16_t b = vld1q_u8(in);
        const int16x8_t lo = vreinterpretq_s16_u8(vqtbl1q_u8(b, vld1q_u8(index)));
        const int16x8_t hi = vreinterpretq_s16_u8(vqtbl1q_u8(b, vld1q_u8(index + 16)));
        const int16x8_t down = vdupq_n_s16(static_cast<int16_t>(w) - 16);
        const int16x8_t a = vshlq_s16(vreinterpretq_s16_u16(vshlq_u16(vreinterpretq_u16_s16(lo), vld1q_s16(up))), down);
        const int16x8_t c = vshlq_s16(vreinterpretq_s16_u16(vshlq_u16(vreinterpretq_u16_s16(hi), vld1q_s16(up + 8))), down);
        vst1q_s8(reinterpret_cast<int8_t*>(out), vcombine_s8(vmovn_s16(a), vmovn_s16(c)));
    }
};

#include "kernels/twin.inl"

}  // namespace

const Kernels& neon_kernels() { return kTable; }

}  // namespace velmar::simd
#endif
