#include "kernels/dispatch.hpp"

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
        case Level::Avx512:
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vl");
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
#endif
#if defined(__aarch64__)
        case Level::Neon: return neon_kernels();
#endif
        default: return scalar_kernels();
    }
}

const Kernels& choose() {
    const std::vector<Level> levels = supported_levels();
    return table_of(levels.back());
}

}  // namespace

std::vector<Level> supported_levels() {
    std::vector<Level> out;
    for (const Level l : {Level::Scalar, Level::Sse2, Level::Avx2, Level::Avx512, Level::Neon})
        if (cpu_has(l)) out.push_back(l);
    return out;
}

const Kernels& active() {
    static const Kernels& chosen = choose();
    return chosen;
}

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
        case Level::Neon: return "neon";
    }
    return "unknown";
}

}  // namespace velmar::simd
