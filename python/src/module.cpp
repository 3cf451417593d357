// Module entry: multi-phase initialisation and the quantizing functions.
#define VELMAR_NUMPY_IMPORT
#include "numpy.hpp"

#include "error.hpp"
#include "learned.hpp"
#include "quantized/inner.hpp"
#include "scale.hpp"
#include "scheme.hpp"
#include "support/args.hpp"
#include "support/guard.hpp"
#include "support/ref.hpp"

namespace velmar::py {
namespace {

constexpr Param kQuantizeParams[] = {{"values", true}, {"bits"}, {"block"}, {"scale", false, true}};
constexpr Param kTensorParams[] = {{"values", true}, {"bits"}, {"scale", false, true}};
constexpr Param kAdaptiveParams[] = {{"values", true}, {"block"}, {"tolerance"}, {"scale", false, true}};

PyObject* bits_block_entry(SchemeSpec::Tag tag, const char* display, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return guarded([&] {
        PyObject* a[4];
        bind({display, kQuantizeParams}, args, nargs, kwnames, a);
        const SchemeSpec s = bits_block_spec(tag, a[1], a[2]);
        const int scale = arg_scale(a[3], "scale");
        return quantize_values(a[0], scale, s);
    });
}

PyObject* tensor_entry(SchemeSpec::Tag tag, const char* display, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    return guarded([&] {
        PyObject* a[3];
        bind({display, kTensorParams}, args, nargs, kwnames, a);
        const SchemeSpec s = bits_block_spec(tag, a[1], nullptr);
        const int scale = arg_scale(a[2], "scale");
        return quantize_values(a[0], scale, s, /*whole_tensor=*/true);
    });
}

PyObject* quantize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bits_block_entry(SchemeSpec::Tag::Symmetric, "quantize()", args, nargs, kwnames);
}

PyObject* quantize_tensor(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return tensor_entry(SchemeSpec::Tag::Symmetric, "quantize_tensor()", args, nargs, kwnames);
}

PyObject* asymmetric_quantize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bits_block_entry(SchemeSpec::Tag::Asymmetric, "asymmetric_quantize()", args, nargs, kwnames);
}

PyObject* asymmetric_quantize_tensor(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return tensor_entry(SchemeSpec::Tag::Asymmetric, "asymmetric_quantize_tensor()", args, nargs, kwnames);
}

PyObject* adaptive_quantize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        PyObject* a[4];
        bind({"adaptive_quantize()", kAdaptiveParams}, args, nargs, kwnames, a);
        const SchemeSpec s = adaptive_spec(a[1], a[2]);
        const int scale = arg_scale(a[3], "scale");
        return quantize_values(a[0], scale, s);
    });
}

PyMethodDef kFunctions[] = {
    {"quantize", fastcall(quantize), METH_FASTCALL | METH_KEYWORDS,
     "quantize(values, bits=8, block=32, *, scale=...)\n--\n\n"},
    {"quantize_tensor", fastcall(quantize_tensor), METH_FASTCALL | METH_KEYWORDS,
     "quantize_tensor(values, bits=8, *, scale=...)\n--\n\n"},
    {"asymmetric_quantize", fastcall(asymmetric_quantize), METH_FASTCALL | METH_KEYWORDS,
     "asymmetric_quantize(values, bits=8, block=32, *, scale=...)\n--\n\n"},
    {"asymmetric_quantize_tensor", fastcall(asymmetric_quantize_tensor), METH_FASTCALL | METH_KEYWORDS,
     "asymmetric_quantize_tensor(values, bits=8, *, scale=...)\n--\n\n"},
    {"adaptive_quantize", fastcall(adaptive_quantize), METH_FASTCALL | METH_KEYWORDS,
     "adaptive_quantize(values, block=32, tolerance=0.001, *, scale=...)\n--\n\n"},
    {"refine", fastcall(refine_fn), METH_FASTCALL | METH_KEYWORDS, "refine(quantized, values)\n--\n\n"},
    {"fit_scale_and_zero_point", fastcall(fit_scale_and_zero_point_fn), METH_FASTCALL | METH_KEYWORDS,
     "fit_scale_and_zero_point(values, codes)\n--\n\n"},
};

// Appends name to __all__ (creating it) and then sets the attribute.
void add(PyObject* module, const char* name, PyObject* value) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    PyObject* all = PyDict_GetItemString(dict, "__all__");
    Ref created;
    if (!all) {
        created = Ref::check(PyList_New(0));
        if (PyDict_SetItemString(dict, "__all__", created.get()) < 0) throw_error_set();
        all = created.get();
    }
    Ref n = Ref::check(PyUnicode_FromString(name));
    if (PyList_Append(all, n.get()) < 0) throw_error_set();
    if (PyObject_SetAttrString(module, name, value) < 0) throw_error_set();
}

int exec_module(PyObject* module) {
    return guarded([&] {
        if (PyArray_ImportNumPyAPI() < 0) throw_error_set();
        Ref version = Ref::check(PyUnicode_FromString("0.2.2"));
        add(module, "__version__", version.get());
        const ErrorClasses& errors = error_classes();
        add(module, "QuantizeError", errors.quantize_error);
        add(module, "InvalidBitsError", errors.invalid_bits);
        add(module, "InvalidBlockError", errors.invalid_block);
        add(module, "InvalidToleranceError", errors.invalid_tolerance);
        add(module, "LengthMismatchError", errors.length_mismatch);
        add(module, "Scale", reinterpret_cast<PyObject*>(scale_type()));
        add(module, "Scheme", reinterpret_cast<PyObject*>(scheme_type()));
        add(module, "Quantized", reinterpret_cast<PyObject*>(quantized_type()));
        Ref module_name = Ref::check(PyModule_GetNameObject(module));
        for (PyMethodDef& def : kFunctions) {
            Ref fn = Ref::check(PyCFunction_NewEx(&def, nullptr, module_name.get()));
            add(module, def.ml_name, fn.get());
        }
        return 0;
    });
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_native", "", 0, nullptr, kSlots, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace velmar::py

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&velmar::py::kModule); }
