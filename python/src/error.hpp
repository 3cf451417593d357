#pragma once
// The module's exception classes and the mapping of core errors onto them.
#include <Python.h>

#include "shared/error.hpp"
#include "support/quantized.hpp"

namespace velmar::py {

// Created once per process, on first use. Throws PyErrorSet on failure.
const ErrorClasses& error_classes();

// A CoreError is itself the deferred exception: it holds no Python object and
// may be built without the lock; raising it calls the class with its payload.
inline CoreError from_quantize(const CoreError& e) { return e; }
inline CoreError length_mismatch(size_t expected, size_t got) { return CoreError::length_mismatch(expected, got); }

[[noreturn]] inline void raise_core_error(const CoreError& e) { raise_core_error(error_classes(), e); }

}  // namespace velmar::py
