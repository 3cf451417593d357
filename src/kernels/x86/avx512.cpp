// Built with -mavx512f -mavx512bw -mavx512vl -mf16c -mbmi2; reached only when
// the CPU has them.
#if defined(__x86_64__)
// GCC 12 reports its own undefined-vector idiom inside avx512fintrin.h.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include "kernels/x86/avx512_steps.hpp"

namespace velmar::simd {
namespace {

struct S : Avx512Steps {
    static constexpr Level kLevel = Level::Avx512;
};

#include "kernels/twin.inl"

}  // namespace

const Kernels& avx512_kernels() { return kTable; }

}  // namespace velmar::simd
#endif
