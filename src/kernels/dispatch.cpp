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
        // may emit them anywhere), which AVX-512F does not imply, and their
        // packers extract bits (BMI2), which every AVX-512 CPU has.
        case Level::Avx512:
            __builtin_cpu_init();
            return cpu_has(Level::Avx2) && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("bmi2");
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
// The row kernels, on AMD CPUs, mostly likewise. On a Zen 4 (EPYC, 512-bit
// operations in two halves), each call after a 4096 x 4096 W @ x (codes read
// from memory), thread CPU time, medians of 11 calls in turn, VBMI's time
// over AVX2's at 4096 x 4096 / 200,000 x 768:
//
//   one vector   symmetric 8-bit 1.09-1.15 / 1.27-1.28   4-bit 0.94 / 0.96
//                3-bit 1.46 / 1.51   asymmetric 8-bit 1.01 / 1.14-1.17
//                4-bit 0.93 / 0.92   6-bit 1.23 / 1.36   adaptive
//                (tolerance 0.002 and 0.03) 0.82-0.87 / 0.89-0.91
//   4 vectors    0.97-1.20         8 vectors   0.86-1.12
//   16 vectors   0.86-0.94, symmetric 8-bit 0.99-1.06
//   32 vectors   0.82-0.96
//
// So there one vector's rows come from AVX2 except the 4-bit ones (in lanes)
// and, on VBMI, the adaptive ones; fewer than 16 vectors from AVX2. Since
// symmetric 8-bit rows take their codes as top bytes at AVX-512 too, they
// come from the level itself: VBMI over AVX2, one vector, 0.93-0.99 at
// 4096 x 4096, 0.88 at 1024 x 11008, 0.94 at 11008 x 1024, 1.01-1.03 at
// 200,000 x 768 (paired calls in turn, medians of 15). A Zen 5
// (512-bit units) follows untimed against these AVX2 kernels. Intel CPUs take
// every row kernel from their own level: on an Intel Xeon (Emerald Rapids),
// 4096 x 4096, each call after a W @ x, medians of 11 alternating calls
// (thread CPU time), VBMI over AVX2's time:
//
//   one vector     asymmetric 8-bit 0.88   3-bit 0.94   symmetric 3-bit 0.93
//                  adaptive tolerance 0.002 0.88   0.03 0.85
//   8 vectors      symmetric 8-bit 0.77   4-bit 0.73   asymmetric 4-bit 0.76
//                  adaptive 0.77
#if defined(__x86_64__)
template <Level L>
struct AmdRows {
    static constexpr size_t kBatch = 16;
    static const Kernels& pick(bool own) { return own ? table_of(L) : avx2_kernels(); }
    static void sym(const RowRun& r, const float* x, size_t k, float* out, size_t ld) {
        pick(k >= kBatch || (k == 1 && r.bits == 4)).rows_dot_sym(r, x, k, out, ld);
    }
    static void asym(const RowRun& r, const float* x, size_t k, float* out, size_t ld) {
        pick(k >= kBatch || (k == 1 && r.bits == 4)).rows_dot_asym(r, x, k, out, ld);
    }
    static void adaptive(const RowRun& r, const float* x, size_t k, float* out, size_t ld) {
        pick(k >= kBatch || (k == 1 && L == Level::Avx512Vbmi)).rows_dot_adaptive(r, x, k, out, ld);
    }
    static void route(Kernels& k) {
        k.rows_dot_sym = sym;
        k.rows_dot_asym = asym;
        k.rows_dot_adaptive = adaptive;
    }
};
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
            if (k.level == Level::Avx512Vbmi) AmdRows<Level::Avx512Vbmi>::route(k);
            else AmdRows<Level::Avx512>::route(k);
        }
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

// The forced level, 0 for none, else the level + 1. Each extension module
// links a copy of this file; all of them read the one cell they are pointed
// at, so that forcing a level in one forces it for the whole process.
std::atomic<int> g_own_forced{0};
std::atomic<std::atomic<int>*> g_forced{&g_own_forced};

}  // namespace

const Kernels& active() {
    const int forced = g_forced.load(std::memory_order_acquire)->load(std::memory_order_acquire);
    return forced ? table_of(static_cast<Level>(forced - 1)) : chosen();
}

void force_level(Level level) {
    (void)kernels_at(level);  // refuses a level this CPU cannot run
    g_forced.load(std::memory_order_acquire)->store(static_cast<int>(level) + 1, std::memory_order_release);
}

void unforce_level() { g_forced.load(std::memory_order_acquire)->store(0, std::memory_order_release); }

std::atomic<int>* forced_level_cell() { return g_forced.load(std::memory_order_acquire); }

void share_forced_level(std::atomic<int>* cell) { g_forced.store(cell, std::memory_order_release); }

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
