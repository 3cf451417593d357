#pragma once
// What the tensor module's entry points share: the classes and exceptions it
// takes from velmar._native, the parts it hands to Python without a copy, and
// the caller's buffers it reads or fills.
#include <Python.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "shared/error.hpp"
#include "support/args.hpp"
#include "support/ref.hpp"

namespace velmar::py {

// Makes the Blob type and takes velmar._native's classes, once; the module's
// execution step calls it.
void ready_shared_types();

// velmar._native's Quantized class.
PyTypeObject* quantized_type();

// A core error as the 1-D functions raise it, with the note naming the
// parameter it concerns (none when name is nullptr).
[[noreturn]] void raise_for(const char* name, const CoreError& e);

// ---- read-only buffers owned by this module ----

// A finished part, handed to Python without a copy: the object owns the
// vector and exports its bytes read-only.
struct Blob {
    PyObject_HEAD
    struct Holder {
        virtual ~Holder() = default;
        const void* data = nullptr;
        size_t bytes = 0;
    }* holder;
};

template <class T, class A>
struct VectorHolder : Blob::Holder {
    explicit VectorHolder(std::vector<T, A>&& v) : values(std::move(v)) {
        data = values.data();
        bytes = values.size() * sizeof(T);
    }
    std::vector<T, A> values;
};

// A read-only memoryview over the holder's bytes, which it keeps alive.
Ref blob_of(std::unique_ptr<Blob::Holder> holder);

template <class T, class A>
Ref blob(std::vector<T, A>&& values) {
    return blob_of(std::make_unique<VectorHolder<T, A>>(std::move(values)));
}

// A tuple that takes the references.
template <class... R>
Ref tuple_of(R&&... items) {
    Ref t = Ref::check(PyTuple_New(sizeof...(R)));
    Py_ssize_t i = 0;
    (PyTuple_SetItem(t.get(), i++, items.release()), ...);
    return t;
}

// ---- buffers passed in ----

class Buffer {
public:
    Buffer(PyObject* obj, const char* name, bool writable) : name_(name) {
        const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) {
            add_note(name);
            throw_error_set();
        }
    }
    ~Buffer() { PyBuffer_Release(&view_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    // The buffer as elements of E; the byte count and the address must suit E.
    template <class E>
    std::span<E> as() const {
        const auto bytes = static_cast<size_t>(view_.len);
        if (bytes % sizeof(E) != 0 || reinterpret_cast<uintptr_t>(view_.buf) % alignof(E) != 0) {
            PyErr_Format(PyExc_ValueError, "%s: a buffer of %zu-byte elements expected", name_, sizeof(E));
            throw_error_set();
        }
        return {static_cast<E*>(view_.buf), bytes / sizeof(E)};
    }
    // A buffer of native float32 values, `want` of them.
    std::span<float> floats(size_t want) const {
        const std::string_view f = view_.format ? view_.format : "B";
        if (view_.itemsize != 4 ||
            (f != "f" && f != "=f" && f != (std::endian::native == std::endian::little ? "<f" : ">f"))) {
            PyErr_Format(PyExc_TypeError, "%s: a float32 buffer expected", name_);
            throw_error_set();
        }
        const std::span<float> v = as<float>();
        if (v.size() != want) raise_for(name_, CoreError::length_mismatch(want, v.size()));
        return v;
    }

private:
    const char* name_;
    Py_buffer view_{};
};

// rows * cols, or k * cols: a count no buffer can match when it overflows.
inline size_t product(size_t a, size_t b) {
    size_t n = 0;
    return __builtin_mul_overflow(a, b, &n) ? SIZE_MAX : n;
}

// The weights argument of a quantizer, copied into `held`: None (NULL) gives
// no weights; otherwise a float32 buffer of cols values, each finite and >= 0
// (ValueError naming the first that is not). The copy is what was checked: the
// caller's array may change once the lock is released.
std::span<const float> weights_arg(PyObject* obj, size_t cols, std::vector<float>& held);

}  // namespace velmar::py
