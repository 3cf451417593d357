// Module entry: multi-phase initialisation and the quantizing functions.
#define VELMAR_NUMPY_IMPORT
#include "numpy.hpp"

#include "error.hpp"
#include "kernels/block.hpp"
#include "learned.hpp"
#include "quantized/inner.hpp"
#include "scale.hpp"
#include "scheme.hpp"
#include "support/args.hpp"
#include "support/guard.hpp"
#include "support/quantized.hpp"
#include "support/ref.hpp"

namespace velmar::py {
namespace {

constexpr auto kQuantize = signature(nullptr, "quantize", kValuesParam, kBitsParam, kBlockParam, kScaleParam);
constexpr auto kQuantizeTensor = signature(nullptr, "quantize_tensor", kValuesParam, kBitsParam, kScaleParam);
constexpr auto kAsymmetric =
    signature(nullptr, "asymmetric_quantize", kValuesParam, kBitsParam, kBlockParam, kScaleParam);
constexpr auto kAsymmetricTensor =
    signature(nullptr, "asymmetric_quantize_tensor", kValuesParam, kBitsParam, kScaleParam);
constexpr auto kAdaptive =
    signature(nullptr, "adaptive_quantize", kValuesParam, kBlockParam, kToleranceParam, kScaleParam);

template <const auto& sig, Kind kind, bool whole_tensor = false>
PyObject* quantize_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto a = bind(sig, args, nargs, kwnames);
        return quantize_bound(sig, a, scheme_spec(kind, sig, a), whole_tensor);
    });
}

PyMethodDef kFunctions[] = {
    method_def(kQuantize, quantize_fn<kQuantize, Kind::Symmetric>),
    method_def(kQuantizeTensor, quantize_fn<kQuantizeTensor, Kind::Symmetric, true>),
    method_def(kAsymmetric, quantize_fn<kAsymmetric, Kind::Asymmetric>),
    method_def(kAsymmetricTensor, quantize_fn<kAsymmetricTensor, Kind::Asymmetric, true>),
    method_def(kAdaptive, quantize_fn<kAdaptive, Kind::Adaptive>),
    method_def(kRefine, refine_fn),
    method_def(kFit, fit_scale_and_zero_point_fn),
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

// The tensor module links a core of its own: both keep the forced kernel
// level in its cell, so that use_kernel_level there governs these functions
// too. Without that module this one runs on alone.
void share_level_with_tensor() {
    PyObject* tensor = PyImport_ImportModule("velmar._tensor");
    PyObject* cell = tensor ? PyObject_GetAttrString(tensor, "_kernel_level_cell") : nullptr;
    void* p = cell ? PyCapsule_GetPointer(cell, kKernelLevelCell) : nullptr;
    Py_XDECREF(cell);
    Py_XDECREF(tensor);
    if (!p) return PyErr_Clear();
    velmar::share_kernel_level(static_cast<std::atomic<int>*>(p));
}

int exec_module(PyObject* module) {
    return guarded([&] {
        if (PyArray_ImportNumPyAPI() < 0) throw_error_set();
        Ref version = Ref::check(PyUnicode_FromString(VELMAR_VERSION));
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
        share_level_with_tensor();
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
