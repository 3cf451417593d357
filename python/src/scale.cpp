#include "scale.hpp"

#include <cstring>
#include <string_view>

#include "support/args.hpp"
#include "support/guard.hpp"
#include "support/ref.hpp"

namespace velmar::py {
namespace {

struct PyScale {
    PyObject_HEAD int index;
};

constexpr const char* kMemberNames[] = {"F32", "F16", "Bf16"};
constexpr const char* kStateNames[] = {"f32", "f16", "bf16"};

PyTypeObject* g_type = nullptr;
PyObject* g_members[3] = {};

int index_of(PyObject* self) { return reinterpret_cast<PyScale*>(self)->index; }

PyObject* scale_repr(PyObject* self) { return PyUnicode_FromFormat("Scale.%s", kMemberNames[index_of(self)]); }

PyObject* scale_int(PyObject* self) { return PyLong_FromLong(index_of(self)); }

Py_hash_t scale_hash(PyObject* self) {
    uint8_t bytes[8];
    uint64_t v = static_cast<uint64_t>(index_of(self));
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(v >> (8 * i));
    auto h = static_cast<Py_hash_t>(siphash13(bytes, 8));
    return h == -1 ? -2 : h;
}

PyObject* scale_richcompare(PyObject* self, PyObject* other, int op) {
    if (scale_index(other) < 0 || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
    const bool equal = index_of(self) == index_of(other);
    return PyBool_FromLong((op == Py_EQ) == equal);
}

PyObject* scale_getstate(PyObject* self, PyObject*) { return PyUnicode_FromString(kStateNames[index_of(self)]); }

PyObject* scale_reduce(PyObject* self, PyObject*) {
    return guarded([&] {
        Ref fn = Ref::check(PyObject_GetAttrString(self, "_from_pickle"));
        return Ref::check(Py_BuildValue("(O(s))", fn.get(), kStateNames[index_of(self)])).release();
    });
}

constexpr auto kFromPickle = signature("Scale", "_from_pickle", Param{"name"});

PyObject* scale_from_pickle(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const std::string_view name = utf8(arg_str(bind(kFromPickle, args, nargs, kwnames)[0], "name"));
        for (int i = 0; i < 3; ++i) {
            if (name == kStateNames[i]) {
                PyObject* m = scale_member(i);
                Py_INCREF(m);
                return m;
            }
        }
        raise(PyExc_ValueError, "malformed pickle state");
    });
}

PyMethodDef kMethods[] = {
    noargs_def("__getstate__", scale_getstate),
    noargs_def("__reduce__", scale_reduce),
    method_def(kFromPickle, scale_from_pickle, METH_STATIC),
    {},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Runtime choice of `Quantized<f32>`, `Quantized<f16>`, or `Quantized<bf16>`.")},
    {Py_tp_repr, reinterpret_cast<void*>(scale_repr)},
    {Py_tp_hash, reinterpret_cast<void*>(scale_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(scale_richcompare)},
    {Py_nb_int, reinterpret_cast<void*>(scale_int)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec{"velmar.Scale", sizeof(PyScale), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kSlots};

uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

void sip_round(uint64_t& v0, uint64_t& v1, uint64_t& v2, uint64_t& v3) {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
}

}  // namespace

uint64_t siphash13(const uint8_t* data, size_t len) {
    const uint64_t k0 = 0, k1 = 0;
    uint64_t v0 = k0 ^ 0x736f6d6570736575ULL, v1 = k1 ^ 0x646f72616e646f6dULL;
    uint64_t v2 = k0 ^ 0x6c7967656e657261ULL, v3 = k1 ^ 0x7465646279746573ULL;
    size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t m = 0;
        for (int j = 0; j < 8; ++j) m |= static_cast<uint64_t>(data[i + j]) << (8 * j);
        v3 ^= m;
        sip_round(v0, v1, v2, v3);
        v0 ^= m;
    }
    uint64_t last = static_cast<uint64_t>(len & 0xFF) << 56;
    for (size_t j = 0; i + j < len; ++j) last |= static_cast<uint64_t>(data[i + j]) << (8 * j);
    v3 ^= last;
    sip_round(v0, v1, v2, v3);
    v0 ^= last;
    v2 ^= 0xFF;
    for (int r = 0; r < 3; ++r) sip_round(v0, v1, v2, v3);
    return v0 ^ v1 ^ v2 ^ v3;
}

PyTypeObject* scale_type() {
    if (g_type) return g_type;
    auto* type = reinterpret_cast<PyTypeObject*>(Ref::check(PyType_FromSpec(&kSpec)).release());
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    for (int i = 0; i < 3; ++i) {
        PyObject* m = alloc(type, 0);
        if (!m) throw_error_set();
        reinterpret_cast<PyScale*>(m)->index = i;
        g_members[i] = m;  // kept for the life of the process
        if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), kMemberNames[i], m) < 0) throw_error_set();
    }
    g_type = type;
    return g_type;
}

PyObject* scale_member(int index) {
    scale_type();
    return g_members[index];
}

int scale_index(PyObject* obj) {
    if (!PyObject_TypeCheck(obj, scale_type())) return -1;
    return index_of(obj);
}

int arg_scale(PyObject* obj, const char* name) {
    if (!obj) return 0;
    const int index = scale_index(obj);
    if (index >= 0) return index;
    raise_not_instance(obj, "Scale", name);
}

}  // namespace velmar::py
