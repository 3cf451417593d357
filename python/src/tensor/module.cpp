// velmar._tensor: quantizing, decoding and the matrix-vector product over all
// rows of a matrix in one call each. It speaks buffers only; the Python class
// in velmar.tensor owns the arrays and the checks users see.
#include <Python.h>

#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "kernels/ranges.hpp"
#include "methods/rows.hpp"
#include "methods/weighted.hpp"
#include "support/args.hpp"
#include "support/guard.hpp"
#include "support/ref.hpp"
#include "tensor/buffers.hpp"
#include "tensor/superblock.hpp"

namespace velmar::py {
namespace {

Kind parse_kind(PyObject* obj) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(arg_str(obj, "kind"), &n);
    if (!s) throw_error_set();
    for (Kind k : {Kind::Symmetric, Kind::Asymmetric, Kind::Adaptive})
        if (std::string_view(s, static_cast<size_t>(n)) == kind_name(k)) return k;
    raise(PyExc_ValueError, "kind: expected 'symmetric', 'asymmetric' or 'adaptive'");
}

int parse_scale(PyObject* obj) {
    const uint32_t s = arg_u32(obj, "scale");
    if (s > 2) raise(PyExc_ValueError, "scale: expected 0 (f32), 1 (f16) or 2 (bf16)");
    return static_cast<int>(s);
}

// Calls f with a value of the scale element type chosen by index.
template <class F>
decltype(auto) with_scale(int index, F&& f) {
    switch (index) {
        case 1: return f(f16{});
        case 2: return f(bf16{});
        default: return f(f32{});
    }
}

[[noreturn]] void raise_spec_error(const CoreError& e) {
    switch (e.kind) {
        case CoreError::Kind::InvalidBits: PyErr_Format(PyExc_ValueError, "bits: expected 2 to 16, got %u", e.bits); break;
        case CoreError::Kind::InvalidBlock: PyErr_SetString(PyExc_ValueError, "block: expected at least 1"); break;
        case CoreError::Kind::InvalidTolerance:
            PyErr_SetString(PyExc_ValueError, "tolerance must be a finite number greater than 0");
            break;
        default: PyErr_SetString(PyExc_ValueError, "length mismatch"); break;
    }
    throw_error_set();
}

// ---- the functions ----

PyObject* kernel_level(PyObject*, PyObject*) {
    return guarded([] { return PyUnicode_FromString(ranges::level_name()); });
}

constexpr auto kQuantize = signature(nullptr, "quantize", "values", "rows", "cols", "kind", "bits", "block", "tolerance",
                                     "scale", Param{"weights", "None"});

PyObject* quantize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        auto a = bind(kQuantize, args, nargs, kwnames);
        const Buffer values(a[0], "values", false);
        const size_t rows = arg_usize(a[1], "rows");
        const size_t cols = arg_usize(a[2], "cols");
        rows::Spec spec{parse_kind(a[3]), arg_u32(a[4], "bits"), arg_usize(a[5], "block"), arg_f32(a[6], "tolerance")};
        const int scale = parse_scale(a[7]);
        std::optional<Buffer> held;
        const std::span<const float> w = weights_arg(a[8], cols, held);
        const std::span<const float> v = values.floats();
        size_t count = 0;
        if (__builtin_mul_overflow(rows, cols, &count) || count != v.size())
            raise(PyExc_ValueError, "values: expected rows * cols float32 values");
        return with_scale(scale, [&](auto tag) {
            using T = decltype(tag);
            std::optional<Result<rows::Parts<T>>> r;
            {
                GilRelease unlocked;
                r = w.empty() ? rows::quantize<T>(v, rows, cols, spec) : weighted::quantize<T>(v, rows, cols, spec, w);
            }
            if (!*r) raise_spec_error(r->error());
            rows::Parts<T>& p = **r;
            std::array<Ref, 4> items{blob(std::move(p.codes)), blob(std::move(p.scales)),
                                     blob(std::move(p.zero_points)), blob(std::move(p.widths))};
            Ref t = Ref::check(PyTuple_New(4));
            for (Py_ssize_t i = 0; i < 4; ++i) PyTuple_SetItem(t.get(), i, items[static_cast<size_t>(i)].release());
            return t.release();
        });
    });
}

template <class T>
rows::View<T> view_of(std::span<PyObject* const> a, const std::array<std::optional<Buffer>, 4>& parts) {
    rows::View<T> v;
    v.spec = {parse_kind(a[6]), arg_u32(a[7], "bits"), arg_usize(a[8], "block"), 0.0f};
    v.rows = arg_usize(a[4], "rows");
    v.cols = arg_usize(a[5], "cols");
    v.codes = parts[0]->as<uint8_t>();
    v.scales = parts[1]->as<T>();
    v.zero_points = parts[2]->as<T>();
    v.widths = parts[3]->as<uint32_t>();
    if (const std::string bad = rows::check(v); !bad.empty()) raise(PyExc_ValueError, bad.c_str());
    return v;
}

void part_buffers(std::span<PyObject* const> a, std::array<std::optional<Buffer>, 4>& parts) {
    constexpr const char* names[] = {"codes", "scales", "zero_points", "widths"};
    for (size_t i = 0; i < 4; ++i) parts[i].emplace(a[i], names[i], false);
}

constexpr auto kDequantize = signature(nullptr, "dequantize", "codes", "scales", "zero_points", "widths", "rows", "cols",
                                        "kind", "bits", "block", "scale", "out");

PyObject* dequantize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto a = bind(kDequantize, args, nargs, kwnames);
        std::array<std::optional<Buffer>, 4> parts;
        part_buffers(a, parts);
        const Buffer out(a[10], "out", true);
        with_scale(parse_scale(a[9]), [&](auto tag) {
            using T = decltype(tag);
            const rows::View<T> v = view_of<T>(a, parts);
            const std::span<float> dst = out.floats();
            size_t n = 0;
            if (__builtin_mul_overflow(v.rows, v.cols, &n) || dst.size() != n) raise(PyExc_ValueError, "out: expected rows * cols float32 values");
            GilRelease unlocked;
            rows::dequantize<T>(v, dst);
        });
        Py_RETURN_NONE;
    });
}

constexpr auto kMatvec = signature(nullptr, "matvec", "codes", "scales", "zero_points", "widths", "rows", "cols", "kind",
                                    "bits", "block", "scale", "x", "k", "out");

PyObject* matvec(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto a = bind(kMatvec, args, nargs, kwnames);
        std::array<std::optional<Buffer>, 4> parts;
        part_buffers(a, parts);
        const Buffer x(a[10], "x", false);
        const size_t k = arg_usize(a[11], "k");
        const Buffer out(a[12], "out", true);
        with_scale(parse_scale(a[9]), [&](auto tag) {
            using T = decltype(tag);
            const rows::View<T> v = view_of<T>(a, parts);
            const std::span<const float> xs = x.floats();
            const std::span<float> dst = out.floats();
            size_t xn = 0;
            size_t on = 0;
            if (__builtin_mul_overflow(k, v.cols, &xn) || xs.size() != xn)
                raise(PyExc_ValueError, "x: expected k * cols float32 values");
            if (__builtin_mul_overflow(k, v.rows, &on) || dst.size() != on)
                raise(PyExc_ValueError, "out: expected k * rows float32 values");
            GilRelease unlocked;
            rows::matvec<T>(v, xs, k, dst);
        });
        Py_RETURN_NONE;
    });
}

constexpr auto kRefine = signature(nullptr, "refine", "codes", "scales", "zero_points", "widths", "rows", "cols", "kind",
                                    "bits", "block", "scale", "values", Param{"weights", "None"});

PyObject* refine(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        auto a = bind(kRefine, args, nargs, kwnames);
        std::array<std::optional<Buffer>, 4> parts;
        part_buffers(a, parts);
        const Buffer values(a[10], "values", false);
        return with_scale(parse_scale(a[9]), [&](auto tag) {
            using T = decltype(tag);
            const rows::View<T> v = view_of<T>(a, parts);
            std::optional<Buffer> held;
            const std::span<const float> w = weights_arg(a[11], v.cols, held);
            const std::span<const float> x = values.floats();
            size_t n = 0;
            if (__builtin_mul_overflow(v.rows, v.cols, &n) || x.size() != n)
                raise(PyExc_ValueError, "values: expected rows * cols float32 values");
            std::optional<rows::Parts<T>> p;
            {
                GilRelease unlocked;
                p = weighted::refit<T>(v, x, w);
            }
            std::array<Ref, 2> items{blob(std::move(p->scales)), blob(std::move(p->zero_points))};
            Ref t = Ref::check(PyTuple_New(2));
            for (Py_ssize_t i = 0; i < 2; ++i) PyTuple_SetItem(t.get(), i, items[static_cast<size_t>(i)].release());
            return t.release();
        });
    });
}

PyMethodDef kFunctions[] = {
    {"kernel_level", kernel_level, METH_NOARGS, "kernel_level()\n--\n\n"},
    method_def(kQuantize, quantize),
    method_def(kDequantize, dequantize),
    method_def(kMatvec, matvec),
    method_def(kRefine, refine),
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    return guarded([&] {
        ready_blob_type();
        if (PyModule_AddFunctions(module, kSuperFunctions) < 0 ||
            PyModule_AddObjectRef(module, "super_types", Ref::check(super_types()).get()) < 0)
            throw_error_set();
        return 0;
    });
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_tensor", "", 0, kFunctions, kSlots, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace velmar::py

PyMODINIT_FUNC PyInit__tensor() { return PyModuleDef_Init(&velmar::py::kModule); }
