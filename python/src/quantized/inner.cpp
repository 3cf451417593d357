#include "quantized/inner.hpp"

#include <memory>

#include "support/args.hpp"
#include "support/guard.hpp"
#include "support/ref.hpp"

namespace velmar::py {
namespace {

PyTypeObject* g_type = nullptr;

void quantized_dealloc(PyObject* self) {
    std::destroy_at(&reinterpret_cast<PyQuantized*>(self)->inner);
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(quantized_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(quantized_repr)},
    {Py_mp_length, reinterpret_cast<void*>(quantized_len)},
    {Py_tp_methods, kQuantizedMethods},
    {Py_tp_getset, kQuantizedGetset},
    {0, nullptr},
};

PyType_Spec kSpec{"velmar.Quantized", sizeof(PyQuantized), 0,
                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kSlots};

}  // namespace

PyTypeObject* quantized_type() {
    if (!g_type) g_type = reinterpret_cast<PyTypeObject*>(Ref::check(PyType_FromSpec(&kSpec)).release());
    return g_type;
}

PyObject* wrap(QuantizedInner&& inner) { return new_quantized(quantized_type(), std::move(inner)); }

void arg_quantized(PyObject* obj, const char* name) {
    if (!PyObject_TypeCheck(obj, quantized_type())) raise_not_instance(obj, "Quantized", name);
}

}  // namespace velmar::py
