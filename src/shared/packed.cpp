#include "shared/packed.hpp"

#include <cstdlib>
#include <mutex>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace velmar {

namespace {

// The large buffer last given back, and how many bytes it is known to hold.
struct Kept {
    std::mutex lock;
    void* p = nullptr;
    size_t bytes = 0;
};

// Never destroyed: tensors may still be freed while the process exits.
Kept& kept() {
    static Kept* const k = new Kept;
    return *k;
}

}  // namespace

void* take_large(size_t bytes) {
    void* stale = nullptr;
    {
        Kept& k = kept();
        const std::lock_guard<std::mutex> hold(k.lock);
        // At most twice the request, so that a small tensor does not pin a large block.
        if (k.p && k.bytes >= bytes && k.bytes / 2 <= bytes) {
            void* const p = std::exchange(k.p, nullptr);
            k.bytes = 0;
            return p;
        }
        stale = std::exchange(k.p, nullptr);  // it fits nothing that is asked for now
        k.bytes = 0;
    }
    std::free(stale);
    void* const p = std::aligned_alloc(kLineBytes, (bytes + kLineBytes - 1) / kLineBytes * kLineBytes);
    if (!p) throw std::bad_alloc();
    return p;
}

void give_back_large(void* p, size_t bytes) noexcept {
    // Larger ones go back at once: what is kept shows in the process's
    // resident size until it is reused or reclaimed.
    constexpr size_t kKeepMost = size_t{256} << 20;
    if (bytes > kKeepMost) return std::free(p);
#if defined(__linux__) && defined(MADV_FREE)
    // The system may take the pages back under memory pressure; until then
    // writing them again costs no fault. Whole pages only.
    static const auto kPage = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + kPage - 1) & ~(kPage - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(kPage - 1);
    if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_FREE);
#endif
    Kept& k = kept();
    std::unique_lock<std::mutex> hold(k.lock);
    void* const stale = std::exchange(k.p, p);
    k.bytes = bytes;
    hold.unlock();
    std::free(stale);
}

Packed Packed::from_i32s(std::span<const int32_t> codes, uint32_t bits) {
    // Callers validate the width; a code spills into at most three bytes up to 16.
    require(bits >= 1 && bits <= 16, "from_i32s: code width outside 1..=16");
    Packed p{Bytes(packed_len(codes.size(), bits), 0), codes.size(), bits};
    for (size_t i = 0; i < codes.size(); ++i) put_code(p.bytes.data(), i, bits, codes[i]);
    return p;
}

}  // namespace velmar
