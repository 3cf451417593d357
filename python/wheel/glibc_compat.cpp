// Linked into Linux wheels only. The static libstdc++ of a recent toolchain
// refers to three glibc symbols newer than the oldest glibc the wheels promise
// (2.17); these hidden definitions satisfy those references inside the module,
// so the wheel never asks the loader for them.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <sys/syscall.h>
#include <unistd.h>

extern "C" {

// glibc 2.32 sets this when a process never started a thread, and libstdc++
// then skips atomic reference counts. Zero is always safe: counts stay atomic.
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;

// glibc 2.25. Only std::random_device reaches it; velmar never constructs one,
// but the reference comes with the string code every exception uses.
__attribute__((visibility("hidden"))) int getentropy(void* buffer, std::size_t length) {
    if (length > 256) {
        errno = EIO;
        return -1;
    }
    auto* p = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        const long got = syscall(SYS_getrandom, p, length, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        p += got;
        length -= static_cast<std::size_t>(got);
    }
    return 0;
}

// glibc 2.36, the same path as getentropy.
__attribute__((visibility("hidden"))) std::uint32_t arc4random() {
    std::uint32_t r = 0;
    while (getentropy(&r, sizeof r) != 0) {
    }
    return r;
}
}
