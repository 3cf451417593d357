#pragma once
// Large fresh buffers cost one page fault per 4 KiB page; asking for huge
// pages before the first touch turns 512 faults into one.
#include <cstddef>
#include <vector>

namespace velmar {

// Advises huge pages for the whole 2 MiB pages inside [p, p + bytes); a no-op
// for small runs and where the system has no such advice.
void advise_huge_pages(void* p, size_t bytes);

// Copies n floats another thread may be writing meanwhile, each read whole.
// memcpy may not: on some CPUs its string moves take a float's bytes in two
// reads when the buffers are misaligned to each other, giving a value that
// was never written.
void copy_whole(const float* src, size_t n, float* dst);

// v.assign(n, value) with the advice given before the buffer is touched.
template <class T, class A>
void assign_fresh(std::vector<T, A>& v, size_t n, T value) {
    v.clear();
    v.reserve(n);
    advise_huge_pages(v.data(), n * sizeof(T));
    v.assign(n, value);
}

// v.assign(p, p + n), likewise.
template <class T, class A>
void assign_fresh(std::vector<T, A>& v, const T* p, size_t n) {
    v.clear();
    v.reserve(n);
    advise_huge_pages(v.data(), n * sizeof(T));
    v.assign(p, p + n);
}

// v.resize(n) likewise, for a vector whose new elements stay unset until
// the caller writes every one.
template <class T, class A>
void size_fresh(std::vector<T, A>& v, size_t n) {
    v.clear();
    v.reserve(n);
    advise_huge_pages(v.data(), n * sizeof(T));
    v.resize(n);
}

}  // namespace velmar
