#include "tensor/buffers.hpp"

#include "methods/weighted.hpp"
#include "support/quantized.hpp"

namespace velmar::py {
namespace {

PyTypeObject* g_quantized_type = nullptr;
ErrorClasses g_errors{};
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

}  // namespace

void ready_shared_types() {
    if (!g_blob_type) g_blob_type = reinterpret_cast<PyTypeObject*>(Ref::check(PyType_FromSpec(&kBlobSpec)).release());
    if (g_quantized_type) return;
    Ref native = Ref::check(PyImport_ImportModule("velmar._native"));
    const auto get = [&](const char* name) { return Ref::check(PyObject_GetAttrString(native.get(), name)).release(); };
    g_quantized_type = reinterpret_cast<PyTypeObject*>(get("Quantized"));
    g_errors = {get("QuantizeError"), get("InvalidBitsError"), get("InvalidBlockError"), get("InvalidToleranceError"),
                get("LengthMismatchError")};
}

PyTypeObject* quantized_type() { return g_quantized_type; }

[[noreturn]] void raise_for(const char* name, const CoreError& e) {
    try {
        raise_core_error(g_errors, e);
    } catch (const PyErrorSet&) {
        if (name) add_note(name);
        throw;
    }
}

Ref blob_of(std::unique_ptr<Blob::Holder> holder) {
    PyObject* self = reinterpret_cast<allocfunc>(PyType_GetSlot(g_blob_type, Py_tp_alloc))(g_blob_type, 0);
    if (!self) throw_error_set();
    reinterpret_cast<Blob*>(self)->holder = holder.release();
    Ref owner = Ref::steal(self);
    return Ref::check(PyMemoryView_FromObject(owner.get()));
}

std::span<const float> weights_arg(PyObject* obj, size_t cols, std::vector<float>& held) {
    if (!obj || obj == Py_None) return {};
    const Buffer given(obj, "weights", false);
    const std::span<const float> from = given.floats(cols);
    held.assign(from.begin(), from.end());
    const std::span<const float> w = held;
    if (const auto bad = weighted::bad_weight(w)) {
        PyErr_Format(PyExc_ValueError, "weights: expected finite values >= 0, got %S at column %zu",
                     Ref::check(PyFloat_FromDouble(w[*bad])).get(), *bad);
        throw_error_set();
    }
    return w;
}

}  // namespace velmar::py
