#pragma once
// Entry-point wrapper: every C++ exception becomes a Python exception, so no
// failure unwinds into the interpreter.
#include <Python.h>

#include <exception>
#include <new>
#include <type_traits>

#include "shared/error.hpp"
#include "support/ref.hpp"

namespace velmar::py {

void set_error_from_current_exception();

template <class F>
auto guarded(F&& f) noexcept -> decltype(f()) {
    try {
        return f();
    } catch (...) {
        set_error_from_current_exception();
        if constexpr (std::is_integral_v<decltype(f())>) {
            return -1;
        } else {
            return nullptr;
        }
    }
}

// Releases the interpreter lock for a block that touches no Python object;
// re-acquires it on every path out, exceptions included.
class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

// True when this is the only thread of the interpreter with Python code on
// its stack, so that with the lock kept nothing can write the caller's memory:
// a thread without a frame yet cannot run any until it gets the lock.
bool only_python_thread();

// The lock released for a block, unless the caller keeps it.
class GilReleaseUnless {
public:
    explicit GilReleaseUnless(bool keep) : state_(keep ? nullptr : PyEval_SaveThread()) {}
    ~GilReleaseUnless() {
        if (state_) PyEval_RestoreThread(state_);
    }
    GilReleaseUnless(const GilReleaseUnless&) = delete;
    GilReleaseUnless& operator=(const GilReleaseUnless&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace velmar::py
