#include "support/quantized.hpp"

#include "support/ref.hpp"

namespace velmar::py {

std::optional<Kind> kind_named(std::string_view name) {
    for (Kind k : {Kind::Symmetric, Kind::Asymmetric, Kind::Adaptive})
        if (name == kind_name(k)) return k;
    return std::nullopt;
}

PyObject* new_quantized(PyTypeObject* type, QuantizedInner&& inner) {
    Snapshot value = std::make_shared<const QuantizedInner>(std::move(inner));
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) throw_error_set();
    auto* q = reinterpret_cast<PyQuantized*>(self);
    std::construct_at(&q->inner, std::move(value));
    q->borrow = 0;
    return self;
}

void raise_core_error(const ErrorClasses& c, const CoreError& e) {
    Ref instance;
    switch (e.kind) {
        case CoreError::Kind::InvalidBits:
            instance = Ref::check(PyObject_CallFunction(c.invalid_bits, "(k)", static_cast<unsigned long>(e.bits)));
            break;
        case CoreError::Kind::InvalidBlock:
            instance = Ref::check(PyObject_CallFunction(c.invalid_block, "(K)",
                                                        static_cast<unsigned long long>(e.block)));
            break;
        case CoreError::Kind::InvalidTolerance:
            instance = Ref::check(PyObject_CallNoArgs(c.invalid_tolerance));
            break;
        case CoreError::Kind::LengthMismatch:
            instance = Ref::check(PyObject_CallFunction(c.length_mismatch, "(KK)",
                                                        static_cast<unsigned long long>(e.expected),
                                                        static_cast<unsigned long long>(e.got)));
            break;
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())), instance.get());
    throw_error_set();
}

}  // namespace velmar::py
