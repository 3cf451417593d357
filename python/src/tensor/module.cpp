// velmar._tensor: quantizing, decoding and the products over all rows of a
// matrix in one call each, and the rows themselves as velmar.Quantized
// objects. It speaks buffers only; the Python class in velmar.tensor owns the
// arrays and the checks users see. Mistakes the 1-D functions also make raise
// their exception classes, taken from velmar._native.
#include <Python.h>

#include <array>
#include <bit>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kernels/block.hpp"
#include "methods/rows.hpp"
#include "methods/search.hpp"
#include "support/args.hpp"
#include "support/guard.hpp"
#include "support/quantized.hpp"
#include "support/ref.hpp"

namespace velmar::py {
namespace {

// ---- what this module takes from velmar._native ----

PyTypeObject* g_quantized_type = nullptr;
ErrorClasses g_errors{};

void take_native_classes() {
    Ref native = Ref::check(PyImport_ImportModule("velmar._native"));
    const auto get = [&](const char* name) { return Ref::check(PyObject_GetAttrString(native.get(), name)).release(); };
    g_quantized_type = reinterpret_cast<PyTypeObject*>(get("Quantized"));
    g_errors = {get("QuantizeError"), get("InvalidBitsError"), get("InvalidBlockError"), get("InvalidToleranceError"),
                get("LengthMismatchError")};
}

// A core error, with the note naming the parameter it concerns.
[[noreturn]] void raise_for(const char* name, const CoreError& e) {
    try {
        raise_core_error(g_errors, e);
    } catch (const PyErrorSet&) {
        if (name) add_note(name);
        throw;
    }
}

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

template <class T>
struct VectorHolder : Blob::Holder {
    explicit VectorHolder(std::vector<T>&& v) : values(std::move(v)) {
        data = values.data();
        bytes = values.size() * sizeof(T);
    }
    std::vector<T> values;
};

PyTypeObject* g_blob_type = nullptr;

void blob_dealloc(PyObject* self) {
    delete reinterpret_cast<Blob*>(self)->holder;
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
    Py_DECREF(type);
}

int blob_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    static char empty = 0;
    const Blob::Holder* h = reinterpret_cast<Blob*>(self)->holder;
    void* data = h->bytes ? const_cast<void*>(h->data) : &empty;
    return PyBuffer_FillInfo(view, self, data, static_cast<Py_ssize_t>(h->bytes), 1, flags);
}

PyType_Slot kBlobSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(blob_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(blob_getbuffer)},
    {0, nullptr},
};

PyType_Spec kBlobSpec{"velmar._tensor.Blob", sizeof(Blob), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                      kBlobSlots};

// A read-only memoryview over the vector, which it keeps alive.
template <class T>
Ref blob(std::vector<T>&& values) {
    auto holder = std::make_unique<VectorHolder<T>>(std::move(values));
    PyObject* self = reinterpret_cast<allocfunc>(PyType_GetSlot(g_blob_type, Py_tp_alloc))(g_blob_type, 0);
    if (!self) throw_error_set();
    reinterpret_cast<Blob*>(self)->holder = holder.release();
    Ref owner = Ref::steal(self);
    return Ref::check(PyMemoryView_FromObject(owner.get()));
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
size_t product(size_t a, size_t b) {
    size_t n = 0;
    return __builtin_mul_overflow(a, b, &n) ? SIZE_MAX : n;
}

Kind parse_kind(PyObject* obj) {
    const std::optional<Kind> k = kind_named(utf8(arg_str(obj, "kind")));
    if (!k) {
        PyErr_Format(PyExc_ValueError, "kind: expected 'symmetric', 'asymmetric' or 'adaptive', got %R", obj);
        throw_error_set();
    }
    return *k;
}

int parse_scale(PyObject* obj) {
    const uint32_t s = arg_u32(obj, "scale");
    if (s > 2) raise(PyExc_ValueError, "scale: expected 0 (f32), 1 (f16) or 2 (bf16)");
    return static_cast<int>(s);
}

// ---- the parts of rows ----

// codes, scales, zero_points, widths, rows, cols, kind, bits, block, scale:
// the leading parameters of every function that reads parts.
#define VELMAR_PARTS_PARAMS "codes", "scales", "zero_points", "widths", "rows", "cols", "kind", "bits", "block", "scale"
constexpr size_t kPartsParams = 10;

struct PartsArgs {
    std::array<std::optional<Buffer>, 4> buffers;
    Scheme scheme;
    size_t rows, cols;
    int scale;

    // a: the four buffers, then (rows,) cols, kind, bits, block, scale; one
    // row when there is no rows parameter.
    PartsArgs(std::span<PyObject* const> a, bool has_rows) {
        constexpr const char* names[] = {"codes", "scales", "zero_points", "widths"};
        for (size_t i = 0; i < 4; ++i) buffers[i].emplace(a[i], names[i], false);
        rows = has_rows ? arg_usize(a[4], "rows") : 1;
        const std::span<PyObject* const> rest = a.subspan(has_rows ? 5 : 4);
        cols = arg_usize(rest[0], "cols");
        scheme = {parse_kind(rest[1]), arg_u32(rest[2], "bits"), arg_usize(rest[3], "block"), 0.0f};
        scale = parse_scale(rest[4]);
    }

    // The checked view: a scheme the 1-D functions refuse raises their error,
    // parts that do not fit the shape a ValueError naming the part.
    template <class T>
    Rows<T> view() const {
        const Rows<T> v{scheme,
                        rows,
                        cols,
                        buffers[0]->as<const uint8_t>(),
                        buffers[1]->as<const T>(),
                        buffers[2]->as<const T>(),
                        buffers[3]->as<const uint32_t>()};
        if (const std::optional<Fault> f = fault_of(v)) {
            if (f->scheme) raise_for(nullptr, *f->scheme);
            raise(PyExc_ValueError, f->what.c_str());
        }
        return v;
    }
};

// f(view) for the parts' element type.
template <class F>
void with_view(const PartsArgs& p, F&& f) {
    with_scale_type(p.scale, [&]<class T>(std::type_identity<T>) { f(p.view<T>()); });
}

// ---- the functions ----

PyObject* kernel_level(PyObject*, PyObject*) {
    return guarded([] { return PyUnicode_FromString(velmar::kernel_level()); });
}

constexpr auto kUseKernelLevel = signature(nullptr, "use_kernel_level", "name");

PyObject* use_kernel_level(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* name = bind(kUseKernelLevel, args, nargs, kwnames)[0];
        const std::string_view want = name == Py_None ? std::string_view() : utf8(arg_str(name, "name"));
        if (name != Py_None && want.empty()) raise(PyExc_ValueError, "name: expected a level name or None");
        if (!velmar::use_kernel_level(want)) {
            PyErr_Format(PyExc_ValueError, "kernel level '%s' is not one this CPU runs (%s)", std::string(want).c_str(),
                         kernel_levels().c_str());
            throw_error_set();
        }
        Py_RETURN_NONE;
    });
}

constexpr auto kQuantize =
    signature(nullptr, "quantize", "values", "rows", "cols", "kind", "bits", "block", "tolerance", "scale");

PyObject* quantize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        auto a = bind(kQuantize, args, nargs, kwnames);
        const Buffer values(a[0], "values", false);
        const size_t rows = arg_usize(a[1], "rows");
        const size_t cols = arg_usize(a[2], "cols");
        const Scheme scheme{parse_kind(a[3]), arg_u32(a[4], "bits"), arg_usize(a[5], "block"),
                            arg_f32(a[6], "tolerance")};
        const int scale = parse_scale(a[7]);
        const std::span<const float> v = values.floats(product(rows, cols));
        return with_scale_type(scale, [&]<class T>(std::type_identity<T>) {
            std::optional<Result<Parts<T>>> r;
            {
                GilRelease unlocked;
                r = rows::quantize<T>(v, rows, cols, scheme);
            }
            if (!*r) raise_for(nullptr, r->error());
            Parts<T>& p = **r;
            std::array<Ref, 4> items{blob(std::move(p.codes)), blob(std::move(p.scales)),
                                     blob(std::move(p.zero_points)), blob(std::move(p.widths))};
            Ref t = Ref::check(PyTuple_New(4));
            for (Py_ssize_t i = 0; i < 4; ++i) PyTuple_SetItem(t.get(), i, items[static_cast<size_t>(i)].release());
            return t.release();
        });
    });
}

constexpr auto kDequantize = signature(nullptr, "dequantize", VELMAR_PARTS_PARAMS, "out");

PyObject* dequantize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto a = bind(kDequantize, args, nargs, kwnames);
        const PartsArgs parts(a, true);
        const Buffer out(a[kPartsParams], "out", true);
        with_view(parts, [&](const auto& v) {
            const std::span<float> dst = out.floats(product(v.rows, v.cols));
            GilRelease unlocked;
            decode_rows(v, dst);
        });
        Py_RETURN_NONE;
    });
}

constexpr auto kMatvec = signature(nullptr, "matvec", VELMAR_PARTS_PARAMS, "x", "k", "out");

PyObject* matvec(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto a = bind(kMatvec, args, nargs, kwnames);
        const PartsArgs parts(a, true);
        const Buffer x(a[kPartsParams], "x", false);
        const size_t k = arg_usize(a[kPartsParams + 1], "k");
        const Buffer out(a[kPartsParams + 2], "out", true);
        with_view(parts, [&](const auto& v) {
            const std::span<const float> xs = x.floats(product(k, v.cols));
            const std::span<float> dst = out.floats(product(k, v.rows));
            GilRelease unlocked;
            dot_rows(v, xs, k, dst);
        });
        Py_RETURN_NONE;
    });
}

constexpr auto kRow = signature(nullptr, "row", "codes", "scales", "zero_points", "widths", "cols", "kind", "bits",
                                "block", "scale");

// The velmar.Quantized of one row from that row's parts.
PyObject* row(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const PartsArgs parts(bind(kRow, args, nargs, kwnames), false);
        PyObject* made = nullptr;
        with_view(parts, [&]<class T>(const Rows<T>& v) {
            Parts<T> owned{{v.codes.begin(), v.codes.end()},
                           {v.scales.begin(), v.scales.end()},
                           {v.zero_points.begin(), v.zero_points.end()},
                           {v.widths.begin(), v.widths.end()}};
            made = new_quantized(g_quantized_type, QuantizedInner(record_of(std::move(owned), v.scheme, v.cols)));
        });
        return made;
    });
}

constexpr auto kSearch = signature(nullptr, "search", VELMAR_PARTS_PARAMS, "queries", "nq", "k", "norms", "first_row",
                                   "scores", "rows_out", "filled");

// Merges the rows of the parts, numbered from first_row, into each query's
// k best so far (scores and rows_out, nq * k each, `filled` of them valid per
// query, best first); returns how many are valid now.
PyObject* search(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto a = bind(kSearch, args, nargs, kwnames);
        const PartsArgs parts(a, true);
        const Buffer queries(a[kPartsParams], "queries", false);
        const size_t nq = arg_usize(a[kPartsParams + 1], "nq");
        const size_t k = arg_usize(a[kPartsParams + 2], "k");
        if (k == 0) raise(PyExc_ValueError, "k: expected at least 1");
        std::optional<Buffer> norms;
        if (a[kPartsParams + 3] != Py_None) norms.emplace(a[kPartsParams + 3], "norms", false);
        const int64_t first_row = static_cast<int64_t>(arg_usize(a[kPartsParams + 4], "first_row"));
        const Buffer scores(a[kPartsParams + 5], "scores", true);
        const Buffer rows_out(a[kPartsParams + 6], "rows_out", true);
        size_t filled = arg_usize(a[kPartsParams + 7], "filled");
        if (filled > k) raise(PyExc_ValueError, "filled: expected at most k");
        with_view(parts, [&](const auto& v) {
            const std::span<const float> q = queries.floats(product(nq, v.cols));
            const std::span<const float> n = norms ? std::span<const float>(norms->floats(v.rows)) : std::span<const float>();
            const std::span<float> s = scores.floats(product(nq, k));
            const std::span<int64_t> r = rows_out.as<int64_t>();
            if (r.size() != s.size()) raise_for("rows_out", CoreError::length_mismatch(s.size(), r.size()));
            std::vector<search::Hit> best(s.size());
            for (size_t i = 0; i < best.size(); ++i) best[i] = {s[i], r[i]};
            {
                GilRelease unlocked;
                search::top_k(v, q, nq, k, n, first_row, best, &filled);
            }
            for (size_t i = 0; i < best.size(); ++i) {
                s[i] = best[i].score;
                r[i] = best[i].row;
            }
        });
        return PyLong_FromSize_t(filled);
    });
}

constexpr auto kRowNorms = signature(nullptr, "row_norms", VELMAR_PARTS_PARAMS, "out");

// The Euclidean norm of every row's decoded values.
PyObject* row_norms(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        auto a = bind(kRowNorms, args, nargs, kwnames);
        const PartsArgs parts(a, true);
        const Buffer out(a[kPartsParams], "out", true);
        with_view(parts, [&](const auto& v) {
            const std::span<float> dst = out.floats(v.rows);
            GilRelease unlocked;
            search::row_norms(v, dst);
        });
        Py_RETURN_NONE;
    });
}

PyMethodDef kFunctions[] = {
    {"kernel_level", kernel_level, METH_NOARGS, "kernel_level()\n--\n\n"},
    method_def(kUseKernelLevel, use_kernel_level),
    method_def(kQuantize, quantize),
    method_def(kDequantize, dequantize),
    method_def(kMatvec, matvec),
    method_def(kRow, row),
    method_def(kSearch, search),
    method_def(kRowNorms, row_norms),
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject*) {
    return guarded([] {
        if (!g_blob_type)
            g_blob_type = reinterpret_cast<PyTypeObject*>(Ref::check(PyType_FromSpec(&kBlobSpec)).release());
        if (!g_quantized_type) take_native_classes();
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
