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

PyObject* wrap(QuantizedInner&& inner) {
    Snapshot value = std::make_shared<const QuantizedInner>(std::move(inner));
    PyTypeObject* type = quantized_type();
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) throw_error_set();
    auto* q = reinterpret_cast<PyQuantized*>(self);
    std::construct_at(&q->inner, std::move(value));
    q->borrow = 0;
    return self;
}

void arg_quantized(PyObject* obj, const char* name) {
    if (!PyObject_TypeCheck(obj, quantized_type())) raise_not_instance(obj, "Quantized", name);
}

std::optional<Kind> kind_named(std::string_view name) {
    for (Kind k : {Kind::Symmetric, Kind::Asymmetric, Kind::Adaptive})
        if (name == kind_name(k)) return k;
    return std::nullopt;
}

}  // namespace velmar::py
