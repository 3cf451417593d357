#pragma once
// Owned references and the C++ side of Python error propagation.
#include <Python.h>

#include <utility>

namespace velmar::py {

// Thrown once a Python exception is set; entry points turn it back into NULL.
struct PyErrorSet {};

[[noreturn]] inline void throw_error_set() { throw PyErrorSet{}; }

class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) { return Ref(p); }
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    // Steals p; a NULL means a Python error is set.
    static Ref check(PyObject* p) {
        if (!p) throw_error_set();
        return Ref(p);
    }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// Raises `type` with `message` and throws PyErrorSet.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw_error_set();
}

}  // namespace velmar::py
