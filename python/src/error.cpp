#include "error.hpp"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "support/args.hpp"
#include "support/guard.hpp"
#include "support/ref.hpp"

namespace velmar::py {
namespace {

// Exception objects are laid out as the interpreter's Exception, then the
// message of QuantizeError, then the payload of the four subclasses. The base
// size is read at run time since the limited API hides the struct.
struct MessageField {
    PyObject* message;
};
struct Payload {
    uint64_t first;
    uint64_t second;
};

Py_ssize_t g_message_offset = 0;
Py_ssize_t g_payload_offset = 0;
ErrorClasses g_classes{};

constexpr Py_ssize_t align_up(Py_ssize_t n, Py_ssize_t a) { return (n + a - 1) / a * a; }

MessageField& message_of(PyObject* self) {
    return *reinterpret_cast<MessageField*>(reinterpret_cast<char*>(self) + g_message_offset);
}
Payload& payload_of(PyObject* self) {
    return *reinterpret_cast<Payload*>(reinterpret_cast<char*>(self) + g_payload_offset);
}

PyObject* base_type() { return PyExc_Exception; }

// Creates an instance of `type` through the base exception's creation with an
// empty argument tuple; the inherited initialiser then sets `args`.
PyObject* new_instance(PyTypeObject* type, const std::string& message) {
    auto base_new = reinterpret_cast<newfunc>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(base_type()), Py_tp_new));
    Ref empty = Ref::check(PyTuple_New(0));
    Ref self = Ref::check(base_new(type, empty.get(), nullptr));
    message_of(self.get()).message =
        Ref::check(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()))).release();
    return self.release();
}

void error_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(message_of(self).message);
    PyTypeObject* type = Py_TYPE(self);
    auto base_dealloc =
        reinterpret_cast<destructor>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(base_type()), Py_tp_dealloc));
    base_dealloc(self);
    Py_DECREF(type);
}

int error_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));  // instances of heap types keep their type alive
    auto base_traverse =
        reinterpret_cast<traverseproc>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(base_type()), Py_tp_traverse));
    return base_traverse(self, visit, arg);
}

PyObject* error_str(PyObject* self) {
    PyObject* m = message_of(self).message;
    if (!m) return PyUnicode_FromString("");
    Py_INCREF(m);
    return m;
}

constexpr auto kQuantizeError = signature("QuantizeError", "__new__", Param{"message"});
constexpr auto kInvalidBits = signature("InvalidBitsError", "__new__", Param{"bits"});
constexpr auto kInvalidBlock = signature("InvalidBlockError", "__new__", Param{"block"});
constexpr auto kInvalidTolerance = signature("InvalidToleranceError", "__new__");
constexpr auto kLengthMismatch = signature("LengthMismatchError", "__new__", Param{"expected"}, Param{"got"});

std::string bits_text(const Payload& p) {
    return "bit width " + std::to_string(p.first) + " is outside the supported range 2..=16";
}
std::string block_text(const Payload& p) { return "block size " + std::to_string(p.first) + " must be at least 1"; }
std::string tolerance_text(const Payload&) { return "tolerance must be a finite number greater than 0"; }
std::string length_text(const Payload& p) {
    return "length mismatch: expected " + std::to_string(p.first) + ", got " + std::to_string(p.second);
}

uint64_t u32_field(PyObject* obj, const char* name) { return arg_u32(obj, name); }
uint64_t usize_field(PyObject* obj, const char* name) { return arg_usize(obj, name); }

PyObject* quantize_error_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        const auto a = bind(kQuantizeError, args, kwargs);
        return new_instance(type, std::string(utf8(arg_str(a[0], "message"))));
    });
}

// The four subclasses: the payload holds the converted arguments in signature order.
template <const auto& sig, uint64_t (*convert)(PyObject*, const char*), std::string (*text)(const Payload&)>
PyObject* payload_error_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        const auto a = bind(sig, args, kwargs);
        Payload p{};
        uint64_t* fields[] = {&p.first, &p.second};
        for (size_t i = 0; i < a.size(); ++i) *fields[i] = convert(a[i], sig.params[i].name);
        PyObject* self = new_instance(type, text(p));
        payload_of(self) = p;
        return self;
    });
}

PyObject* get_first(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(payload_of(self).first); }
PyObject* get_second(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(payload_of(self).second); }

// One read-only attribute per payload field, named after its parameter.
template <const auto& sig>
PyGetSetDef* payload_getset() {
    static PyGetSetDef defs[3] = {};
    const getter getters[] = {get_first, get_second};
    for (size_t i = 0; i < sig.params.size(); ++i) defs[i] = {sig.params[i].name, getters[i], nullptr, nullptr, nullptr};
    return defs;
}

// The interpreter's own reduction, stated on the class: tools that replace
// exception pickling (tblib, which Dask installs) rebuild from the arguments
// only when the class names its own __reduce__, and these constructors need them.
PyObject* error_reduce(PyObject* self, PyObject*) {
    return guarded([&] {
        Ref reduce = Ref::check(PyObject_GetAttrString(PyExc_BaseException, "__reduce__"));
        return Ref::check(PyObject_CallFunctionObjArgs(reduce.get(), self, nullptr)).release();
    });
}

PyMethodDef kErrorMethods[] = {noargs_def("__reduce__", error_reduce), {}};

template <size_t N>
PyObject* make_class(const Signature<N>& sig, PyObject* base, Py_ssize_t basicsize, unsigned flags, newfunc tp_new,
                     PyGetSetDef* getset) {
    const char* name = kept(std::string("velmar.") + sig.owner);
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(text_signature(sig.owner, nullptr, sig.params))},
        {Py_tp_new, reinterpret_cast<void*>(tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(error_dealloc)},
        {Py_tp_str, reinterpret_cast<void*>(error_str)},
        {Py_tp_traverse, reinterpret_cast<void*>(error_traverse)},
        {Py_tp_methods, kErrorMethods},
        {getset ? Py_tp_getset : 0, getset},
        {0, nullptr},
    };
    PyType_Spec spec{name, static_cast<int>(basicsize), 0, flags, slots};
    Ref bases = Ref::check(PyTuple_Pack(1, base));
    return Ref::check(PyType_FromSpecWithBases(&spec, bases.get())).release();
}

template <const auto& sig, uint64_t (*convert)(PyObject*, const char*), std::string (*text)(const Payload&)>
PyObject* make_subclass(PyObject* base, Py_ssize_t size, unsigned flags) {
    return make_class(sig, base, size, flags, payload_error_new<sig, convert, text>, payload_getset<sig>());
}

void create_classes() {
    Ref size = Ref::check(PyObject_GetAttrString(base_type(), "__basicsize__"));
    const Py_ssize_t base_size = PyLong_AsSsize_t(size.get());
    if (base_size < 0) throw_error_set();
    g_message_offset = align_up(base_size, alignof(MessageField));
    const Py_ssize_t error_size = g_message_offset + static_cast<Py_ssize_t>(sizeof(MessageField));
    g_payload_offset = align_up(error_size, alignof(Payload));
    const Py_ssize_t sub_size = g_payload_offset + static_cast<Py_ssize_t>(sizeof(Payload));

    const unsigned base_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    ErrorClasses c{};
    c.quantize_error = make_class(kQuantizeError, base_type(), error_size, base_flags | Py_TPFLAGS_BASETYPE,
                                  quantize_error_new, nullptr);
    c.invalid_bits = make_subclass<kInvalidBits, u32_field, bits_text>(c.quantize_error, sub_size, base_flags);
    c.invalid_block = make_subclass<kInvalidBlock, usize_field, block_text>(c.quantize_error, sub_size, base_flags);
    c.invalid_tolerance =
        make_subclass<kInvalidTolerance, usize_field, tolerance_text>(c.quantize_error, sub_size, base_flags);
    c.length_mismatch = make_subclass<kLengthMismatch, usize_field, length_text>(c.quantize_error, sub_size, base_flags);
    g_classes = c;
}

}  // namespace

const ErrorClasses& error_classes() {
    // Created under the interpreter lock, so a plain flag is enough.
    if (!g_classes.quantize_error) create_classes();
    return g_classes;
}

}  // namespace velmar::py
