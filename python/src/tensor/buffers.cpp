#include "tensor/buffers.hpp"

#include <string>

#include "methods/weighted.hpp"

namespace velmar::py {
namespace {

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

void ready_blob_type() {
    if (!g_blob_type) g_blob_type = reinterpret_cast<PyTypeObject*>(Ref::check(PyType_FromSpec(&kBlobSpec)).release());
}

Ref blob_of(std::unique_ptr<Blob::Holder> holder) {
    PyObject* self = reinterpret_cast<allocfunc>(PyType_GetSlot(g_blob_type, Py_tp_alloc))(g_blob_type, 0);
    if (!self) throw_error_set();
    reinterpret_cast<Blob*>(self)->holder = holder.release();
    Ref owner = Ref::steal(self);
    return Ref::check(PyMemoryView_FromObject(owner.get()));
}

std::span<const float> weights_arg(PyObject* obj, size_t cols, std::optional<Buffer>& held) {
    if (!obj || obj == Py_None) return {};
    held.emplace(obj, "weights", false);
    const std::span<const float> w = held->floats();
    if (w.size() != cols)
        raise(PyExc_ValueError, ("weights: expected " + std::to_string(cols) + " values, one per column, got " +
                                 std::to_string(w.size())).c_str());
    if (const auto bad = weighted::bad_weight(w)) {
        PyErr_Format(PyExc_ValueError, "weights: expected finite values >= 0, got %S at column %zu",
                     Ref::check(PyFloat_FromDouble(w[*bad])).get(), *bad);
        throw_error_set();
    }
    return w;
}

}  // namespace velmar::py
