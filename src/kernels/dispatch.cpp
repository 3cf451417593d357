#include "kernels/dispatch.hpp"

#include <atomic>

#include "shared/error.hpp"

namespace velmar::simd {

namespace {

bool cpu_has(Level level) {
    switch (level) {
        case Level::Scalar: return true;
#if defined(__x86_64__)
        case Level::Sse2: return true;  // part of x86-64 itself
        case Level::Avx2:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("f16c");
        // The AVX-512 objects are built with AVX2 and F16C too (the compiler
        // may emit them anywhere), which AVX-512F does not imply.
        case Level::Avx512:
            __builtin_cpu_init();
            return cpu_has(Level::Avx2) && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vl");
        // The byte permutes (vpermb, vpermt2b) are VBMI's.
        case Level::Avx512Vbmi: return cpu_has(Level::Avx512) && __builtin_cpu_supports("avx512vbmi");
#endif
#if defined(__aarch64__)
        case Level::Neon: return true;  // mandatory on AArch64
#endif
        default: return false;
    }
}

const Kernels& table_of(Level level) {
    switch (level) {
#if defined(__x86_64__)
        case Level::Sse2: return sse2_kernels();
        case Level::Avx2: return avx2_kernels();
        case Level::Avx512: return avx512_kernels();
        case Level::Avx512Vbmi: return avx512vbmi_kernels();
#endif
#if defined(__aarch64__)
        case Level::Neon: return neon_kernels();
#endif
        default: return scalar_kernels();
    }
}

// The widest level's table, except where a narrower twin is measured faster
// on a CPU that has the wider one. The results are the same bit for bit, so
// only speed decides; the table keeps the widest level's name.
//
// AVX-512 CPUs take the dot products from the AVX2 table. On an Intel Xeon
// (Emerald Rapids), kernel_bench, 16 Mi values, medians of 5, ms (a memcpy
// of the input: 7.5):
//
//   dot 8-bit (blocks in lanes)   SSE2  5.2   AVX2  3.4   AVX-512  3.6   VBMI  3.7
//   dot 4-bit (one running sum)   SSE2 24.8   AVX2 13.6   AVX-512 20.6   VBMI 20.8
//   dot asymmetric 4-bit          SSE2 21.4   AVX2 14.3   AVX-512 20.5   VBMI 20.8
//
// The asymmetric and adaptive dots share the 4-bit dot's running sum, which
// bounds them all by the latency of one float addition per element; wider
// vectors cannot shorten that chain. On an AMD Zen 5 the AVX-512 dots are
// within 11 % of the AVX2 ones either way (the 4-bit ones 2-6 % faster, the
// 8-bit one 11 % slower at 16 Mi values), so little is lost there.
//
// The row kernels likewise. On an AMD Zen 4 (EPYC, 512-bit operations in two
// halves), one vector, the AVX-512 time over the AVX2 time, medians of 9
// paired runs:
//
//   4096 x 4096    8-bit 1.30   4-bit 0.94   asymmetric 8-bit 1.24   adaptive 1.10
//   200,000 x 768  8-bit 1.32
//
// (kernel_bench puts the 4-bit one level at 16 Mi codes; with 32 vectors,
// whose codes are converted once, AVX-512 is 0.83 of AVX2.)
//
// Except the 8-bit and 4-bit symmetric rows with one vector, which the
// AVX-512 table runs from dword transposes: each row's blocks in lanes,
// reading the rows as one stream (blocks of 16, 32 or 64), or 16 rows a
// register. On an AMD Zen 5 (EPYC), block 32, the time over the AVX2 tiles',
// medians of 21 to 31 alternating runs (thread CPU time, a busy machine):
//
//   4096 x 4096      8-bit 0.80-0.86   4-bit 0.80-0.82
//   200,000 x 768    8-bit 0.93        4-bit 0.78
//
// Asymmetric and adaptive rows too on VBMI CPUs, though their byte permutes
// unpack at least as fast as AVX2 with the codes in cache: as the product
// runs, each call right after a 4096 x 4096 W @ x (codes read from memory),
// one vector, the VBMI time over the AVX2 time on a Zen 4, medians of 11
// alternating calls (thread CPU time, a test suite beside them):
//
//   asymmetric  2-bit 0.99  3-bit 1.00  4-bit 0.91  5-bit 1.06  6-bit 1.03  8-bit 1.18
//   adaptive    tolerance 0.03 0.92  0.002 1.11
//
// Except, on both, the asymmetric rows with one vector that run 16 rows a
// register as the symmetric ones do (asym_rows_in_lanes). Zen 4, one vector,
// the time over the AVX2 tiles', medians of 11 alternating calls (thread CPU
// time, a busy machine):
//
//   4-bit    768 columns 0.73-0.76   4096 columns 0.77-0.85
//   8-bit    768 columns 0.77-0.84   4096 columns 1.12-1.29 (so the tiles keep them)
//
// (each call after a 4096 x 4096 W @ x, codes read from memory: 4-bit at 4096
// columns 0.85-0.89, 8-bit at 768 columns 0.73.)
//
// The AVX2 table has the same one-vector kernels, 8 lanes a register. On an
// AMD Zen 3 (EPYC, AVX2 only), a busy machine, thread CPU time, builds
// alternated:
//
//   4096 x 4096, t @ x over W @ x (bench/product.py, medians of 9 pairs)
//                   8-bit tiles 1.07-1.41 lanes 0.85-0.89
//                   4-bit tiles 1.17-1.77 lanes 0.92-1.01
//   20,000 x 768, lanes over tiles (fastest of 25 calls)
//                   8-bit 0.81-0.85   4-bit 0.77-0.80
//                   asymmetric 8-bit 0.65-0.70   4-bit 0.85-0.88
//   200,000 x 768 search, one query, speed over FAISS (bench/search.py)
//                   8-bit 0.77-1.02 -> 1.10-1.12   4-bit 1.44-1.75 -> 2.40-2.42
//
// The Zen 4 and 5 figures above are against the AVX2 tiles, not these
// kernels; until an AVX-512 AMD CPU times the two, the routing stays.
//
// All of the above is AMD's, whose Zen 4 runs 512-bit vectors in two
// halves. Intel CPUs take every row kernel from their own level: on an Intel
// Xeon (Emerald Rapids), 4096 x 4096, each call after a W @ x, medians of 11
// alternating calls (thread CPU time), VBMI over AVX2's time:
//
//   one vector     asymmetric 8-bit 0.88   3-bit 0.94   symmetric 3-bit 0.93
//                  adaptive tolerance 0.002 0.88   0.03 0.85
//   8 vectors      symmetric 8-bit 0.77   4-bit 0.73   asymmetric 4-bit 0.76
//                  adaptive 0.77
//
// (8- and 4-bit symmetric and 4-bit asymmetric rows with one vector run the
// same lanes kernels either way).
//
// VBMI CPUs take the adaptive quantize from the AVX-512 table: VBMI's
// packing is slower there.
// Zen 4, 16 Mi values, medians of 15 interleaved runs, over VBMI's symmetric
// 4-bit quantize: AVX-512 1.21 / 1.26, VBMI 1.27 / 1.32 (tolerance 0.03 /
// 0.002, mean widths 2.8 and 6.3 bits).
#if defined(__x86_64__)
void rows_dot_i8_one_in_lanes(const RowRun& r, const float* x, size_t k, float* out, size_t ld) {
    (k == 1 ? avx512_kernels() : avx2_kernels()).rows_dot_i8(r, x, k, out, ld);
}
void rows_dot_sym_one_in_lanes(const RowRun& r, const float* x, size_t k, float* out, size_t ld) {
    (k == 1 && r.bits == 4 ? avx512_kernels() : avx2_kernels()).rows_dot_sym(r, x, k, out, ld);
}
// 8-bit asymmetric rows in lanes spend a shift more per column and twice the
// transposes: on a Zen 4, 16 Mi codes, they take 0.77-0.84 of the AVX2 tiles'
// time up to 1024 columns but 1.12-1.29 from 1536 on, where the tiles' own
// costs per row are spread thin.
void rows_dot_asym_one_in_lanes(const RowRun& r, const float* x, size_t k, float* out, size_t ld) {
    const bool lanes = k == 1 && asym_rows_in_lanes(r) && (r.bits == 4 || r.cols <= 1024);
    (lanes ? avx512_kernels() : avx2_kernels()).rows_dot_asym(r, x, k, out, ld);
}
#endif

Kernels choose() {
    const std::vector<Level> levels = supported_levels();
    Kernels k = table_of(levels.back());
#if defined(__x86_64__)
    if (k.level == Level::Avx512 || k.level == Level::Avx512Vbmi) {
        const Kernels& avx2 = table_of(Level::Avx2);
        k.dot_i8 = avx2.dot_i8;
        k.dot_sym = avx2.dot_sym;
        k.dot_asym = avx2.dot_asym;
        k.dot_adaptive = avx2.dot_adaptive;
        __builtin_cpu_init();
        if (__builtin_cpu_is("amd")) {
            k.rows_dot_i8 = rows_dot_i8_one_in_lanes;
            k.rows_dot_sym = rows_dot_sym_one_in_lanes;
            k.rows_dot_asym = rows_dot_asym_one_in_lanes;
            k.rows_dot_adaptive = avx2.rows_dot_adaptive;
        }
        if (k.level == Level::Avx512Vbmi) k.quantize_adaptive = table_of(Level::Avx512).quantize_adaptive;
    }
#endif
    return k;
}

}  // namespace

std::vector<Level> supported_levels() {
    std::vector<Level> out;
    for (const Level l : {Level::Scalar, Level::Sse2, Level::Avx2, Level::Avx512, Level::Avx512Vbmi, Level::Neon})
        if (cpu_has(l)) out.push_back(l);
    return out;
}

namespace {

const Kernels& chosen() {
    static const Kernels k = choose();
    return k;
}

std::atomic<const Kernels*> g_forced{nullptr};

}  // namespace

const Kernels& active() {
    const Kernels* forced = g_forced.load(std::memory_order_acquire);
    return forced ? *forced : chosen();
}

void force_level(Level level) { g_forced.store(&kernels_at(level), std::memory_order_release); }

void unforce_level() { g_forced.store(nullptr, std::memory_order_release); }

const Kernels& kernels_at(Level level) {
    require(cpu_has(level), "kernels_at: level not supported by this CPU");
    return table_of(level);
}

const char* level_name(Level level) {
    switch (level) {
        case Level::Scalar: return "scalar";
        case Level::Sse2: return "sse2";
        case Level::Avx2: return "avx2";
        case Level::Avx512: return "avx512";
        case Level::Avx512Vbmi: return "avx512vbmi";
        case Level::Neon: return "neon";
    }
    return "unknown";
}

}  // namespace velmar::simd
