#pragma once
// What a Python Quantized object holds and how one is made, shared by
// velmar._native, whose class it is, and velmar._tensor, which makes the rows
// of a tensor as such objects; and the raising of core errors as the
// module's exception classes.
#include <Python.h>

#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <variant>

#include "shared/tensor.hpp"

namespace velmar::py {

// The capsule velmar._tensor holds its forced kernel level in, which
// velmar._native shares (kernels/block.hpp).
inline constexpr char kKernelLevelCell[] = "velmar._tensor._kernel_level_cell";

// Tag order follows the Scale members: f32, f16, bf16.
using QuantizedInner = std::variant<Quantized<f32>, Quantized<f16>, Quantized<bf16>>;
using Snapshot = std::shared_ptr<const QuantizedInner>;

// f(std::type_identity<T>{}) for the element type of Scale member `index`.
template <class F>
decltype(auto) with_scale_type(int index, F&& f) {
    switch (index) {
        case 0:
            return f(std::type_identity<f32>{});
        case 1:
            return f(std::type_identity<f16>{});
        default:
            return f(std::type_identity<bf16>{});
    }
}

std::optional<Kind> kind_named(std::string_view name);

struct PyQuantized {
    PyObject_HEAD Snapshot inner;
    // 0: free, > 0: shared readers, -1: held by refine.
    int borrow;
};

// A new object of `type`, the Quantized class, owning inner.
PyObject* new_quantized(PyTypeObject* type, QuantizedInner&& inner);

// The exception classes a CoreError is raised as.
struct ErrorClasses {
    PyObject* quantize_error;
    PyObject* invalid_bits;
    PyObject* invalid_block;
    PyObject* invalid_tolerance;
    PyObject* length_mismatch;
};

// Calls the class of e's kind with its payload and raises the instance.
[[noreturn]] void raise_core_error(const ErrorClasses& classes, const CoreError& e);

}  // namespace velmar::py
