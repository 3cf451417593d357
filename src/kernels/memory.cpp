#include "kernels/memory.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace velmar {

void advise_huge_pages(void* p, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t kHuge = uintptr_t{2} << 20;
    if (bytes < 2 * kHuge) return;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(kHuge - 1);
    // Only a hint: without transparent huge pages the buffer simply keeps
    // small pages.
    if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

void copy_whole(const float* src, size_t n, float* dst) {
    using Quad = float __attribute__((vector_size(16), aligned(4), may_alias));
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        *reinterpret_cast<Quad*>(dst + i) = *reinterpret_cast<const Quad*>(src + i);
        // Else the compiler may see a copy loop and call memcpy after all.
        asm volatile("" ::: "memory");
    }
    for (; i < n; ++i) __atomic_load(src + i, dst + i, __ATOMIC_RELAXED);
}

}  // namespace velmar
