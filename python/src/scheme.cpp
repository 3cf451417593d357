#include "scheme.hpp"

#include <charconv>
#include <cmath>
#include <string>

#include "error.hpp"
#include "input.hpp"
#include "methods/adaptive.hpp"
#include "methods/asymmetric.hpp"
#include "methods/symmetric.hpp"
#include "scale.hpp"
#include "support/args.hpp"
#include "support/guard.hpp"
#include "support/ref.hpp"

namespace velmar::py {
namespace {

constexpr const char* kTagNames[] = {"symmetric", "asymmetric", "adaptive"};

struct PyScheme {
    PyObject_HEAD SchemeSpec spec;
};

PyTypeObject* g_type = nullptr;

template <class T>
Result<QuantizedInner> run(const SchemeSpec& spec, std::span<const float> values) {
    Result<Quantized<T>> r = [&] {
        switch (spec.tag) {
            case SchemeSpec::Tag::Symmetric:
                return symmetric::quantize_with<T>(values, spec.bits, spec.block);
            case SchemeSpec::Tag::Asymmetric:
                return asymmetric::quantize_with<T>(values, spec.bits, spec.block);
            default:
                return adaptive::quantize_with<T>(values, spec.block, spec.tolerance);
        }
    }();
    if (!r) return std::unexpected(r.error());
    return QuantizedInner(std::in_place_type<Quantized<T>>, std::move(*r));
}

const SchemeSpec& spec_of(PyObject* self) { return reinterpret_cast<PyScheme*>(self)->spec; }

PyObject* new_scheme(const SchemeSpec& spec) {
    PyTypeObject* type = scheme_type();
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) throw_error_set();
    reinterpret_cast<PyScheme*>(self)->spec = spec;
    return self;
}

// Shortest digits that read back as the same float, laid out positionally
// (fixed notation alone would print every digit of a large integer).
std::string tolerance_text(float t) {
    if (std::isnan(t)) return "NaN";
    if (std::isinf(t)) return t > 0 ? "inf" : "-inf";
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, t, std::chars_format::scientific);
    const std::string sci(buf, r.ptr);  // "-d.ddde+XX"
    const size_t e_pos = sci.find('e');
    const bool negative = sci[0] == '-';
    std::string digits;
    for (size_t i = negative ? 1 : 0; i < e_pos; ++i)
        if (sci[i] != '.') digits += sci[i];
    const long point = std::stol(sci.substr(e_pos + 1)) + 1;  // digits before the decimal point
    const long n = static_cast<long>(digits.size());
    std::string text = negative ? "-" : "";
    if (point <= 0)
        text += "0." + std::string(static_cast<size_t>(-point), '0') + digits;
    else if (point >= n)
        text += digits + std::string(static_cast<size_t>(point - n), '0');
    else
        text += digits.substr(0, static_cast<size_t>(point)) + "." + digits.substr(static_cast<size_t>(point));
    return text;
}

PyObject* scheme_repr(PyObject* self) {
    return guarded([&] {
        const SchemeSpec& s = spec_of(self);
        std::string text = std::string("Scheme(kind='") + kTagNames[static_cast<int>(s.tag)] + "', ";
        if (s.tag == SchemeSpec::Tag::Adaptive)
            text += "block=" + std::to_string(s.block) + ", tolerance=" + tolerance_text(s.tolerance) + ")";
        else
            text += "bits=" + std::to_string(s.bits) + ", block=" + std::to_string(s.block) + ")";
        return Ref::check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))).release();
    });
}

PyObject* scheme_richcompare(PyObject* self, PyObject* other, int op) {
    if (!PyObject_TypeCheck(other, scheme_type()) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
    const SchemeSpec& a = spec_of(self);
    const SchemeSpec& b = spec_of(other);
    bool equal = a.tag == b.tag && a.block == b.block;
    if (equal) equal = a.tag == SchemeSpec::Tag::Adaptive ? a.tolerance == b.tolerance : a.bits == b.bits;
    return PyBool_FromLong((op == Py_EQ) == equal);
}

Py_hash_t scheme_hash(PyObject*) {
    PyErr_SetString(PyExc_TypeError, "unhashable type: 'Scheme'");
    return -1;
}

PyObject* get_kind(PyObject* self, void*) { return PyUnicode_FromString(kTagNames[static_cast<int>(spec_of(self).tag)]); }

PyObject* get_bits(PyObject* self, void*) {
    if (spec_of(self).tag == SchemeSpec::Tag::Adaptive) Py_RETURN_NONE;
    return PyLong_FromUnsignedLong(spec_of(self).bits);
}

PyObject* get_block(PyObject* self, void*) { return PyLong_FromSize_t(spec_of(self).block); }

PyObject* get_tolerance(PyObject* self, void*) {
    if (spec_of(self).tag != SchemeSpec::Tag::Adaptive) Py_RETURN_NONE;
    return PyFloat_FromDouble(static_cast<double>(spec_of(self).tolerance));
}

PyObject* state_tuple(const SchemeSpec& s) {
    const bool adaptive = s.tag == SchemeSpec::Tag::Adaptive;
    Ref bits = adaptive ? Ref::borrow(Py_None) : Ref::check(PyLong_FromUnsignedLong(s.bits));
    Ref tolerance = adaptive ? Ref::check(PyFloat_FromDouble(static_cast<double>(s.tolerance))) : Ref::borrow(Py_None);
    return Ref::check(Py_BuildValue("(sOKO)", kTagNames[static_cast<int>(s.tag)], bits.get(),
                                    static_cast<unsigned long long>(s.block), tolerance.get()))
        .release();
}

PyObject* scheme_getstate(PyObject* self, PyObject*) {
    return guarded([&] { return state_tuple(spec_of(self)); });
}

PyObject* scheme_reduce(PyObject* self, PyObject*) {
    return guarded([&] {
        Ref fn = Ref::check(PyObject_GetAttrString(self, "_from_pickle"));
        Ref state = Ref::check(state_tuple(spec_of(self)));
        return Ref::check(PyTuple_Pack(2, fn.get(), state.get())).release();
    });
}

constexpr Param kBitsBlockParams[] = {{"bits"}, {"block"}};
constexpr Param kAdaptiveParams[] = {{"block"}, {"tolerance"}};
constexpr Param kQuantizeParams[] = {{"values", true}, {"scale", false, true}};
constexpr Param kFromPickleParams[] = {{"kind", true}, {"bits", true}, {"block", true}, {"tolerance", true}};

PyObject* bits_block_scheme(SchemeSpec::Tag tag, const char* display, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded([&] {
        PyObject* a[2];
        bind({display, kBitsBlockParams}, args, nargs, kwnames, a);
        return new_scheme(bits_block_spec(tag, a[0], a[1]));
    });
}

PyObject* scheme_symmetric(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bits_block_scheme(SchemeSpec::Tag::Symmetric, "Scheme.symmetric()", args, nargs, kwnames);
}

PyObject* scheme_asymmetric(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bits_block_scheme(SchemeSpec::Tag::Asymmetric, "Scheme.asymmetric()", args, nargs, kwnames);
}

PyObject* scheme_adaptive(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        PyObject* a[2];
        bind({"Scheme.adaptive()", kAdaptiveParams}, args, nargs, kwnames, a);
        return new_scheme(adaptive_spec(a[0], a[1]));
    });
}

PyObject* scheme_quantize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        PyObject* a[2];
        bind({"Scheme.quantize()", kQuantizeParams}, args, nargs, kwnames, a);
        const int scale = arg_scale(a[1], "scale");
        return quantize_values(a[0], scale, spec_of(self));
    });
}

PyObject* scheme_from_pickle(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        PyObject* a[4];
        bind({"Scheme._from_pickle()", kFromPickleParams}, args, nargs, kwnames, a);
        PyObject* kind = arg_str(a[0], "kind");
        const bool has_bits = a[1] != Py_None;
        const uint32_t bits = has_bits ? arg_u32(a[1], "bits") : 0;
        const size_t block = arg_usize(a[2], "block");
        const bool has_tolerance = a[3] != Py_None;
        const float tolerance = has_tolerance ? arg_f32(a[3], "tolerance") : 0.0f;
        Py_ssize_t n = 0;
        const char* k = PyUnicode_AsUTF8AndSize(kind, &n);
        if (!k) throw_error_set();
        const std::string_view name(k, static_cast<size_t>(n));
        SchemeSpec s;
        s.block = block;
        if ((name == "symmetric" || name == "asymmetric") && has_bits && !has_tolerance) {
            s.tag = name == "symmetric" ? SchemeSpec::Tag::Symmetric : SchemeSpec::Tag::Asymmetric;
            s.bits = bits;
        } else if (name == "adaptive" && has_tolerance && !has_bits) {
            s.tag = SchemeSpec::Tag::Adaptive;
            s.tolerance = tolerance;
        } else {
            raise(PyExc_ValueError, "malformed pickle state");
        }
        return new_scheme(s);
    });
}

PyMethodDef kMethods[] = {
    {"symmetric", fastcall(scheme_symmetric), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "symmetric($cls, bits=8, block=32)\n--\n\n"},
    {"asymmetric", fastcall(scheme_asymmetric), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "asymmetric($cls, bits=8, block=32)\n--\n\n"},
    {"adaptive", fastcall(scheme_adaptive), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "adaptive($cls, block=32, tolerance=0.001)\n--\n\n"},
    {"quantize", fastcall(scheme_quantize), METH_FASTCALL | METH_KEYWORDS,
     "quantize($self, values, *, scale=...)\n--\n\n"},
    {"__getstate__", scheme_getstate, METH_NOARGS, "__getstate__($self)\n--\n\n"},
    {"__reduce__", scheme_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"_from_pickle", fastcall(scheme_from_pickle), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "_from_pickle(kind, bits, block, tolerance)\n--\n\n"},
    {},
};

PyGetSetDef kGetset[] = {
    {"kind", get_kind, nullptr, nullptr, nullptr},
    {"bits", get_bits, nullptr, nullptr, nullptr},
    {"block", get_block, nullptr, nullptr, nullptr},
    {"tolerance", get_tolerance, nullptr, nullptr, nullptr},
    {},
};

PyType_Slot kSlots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(scheme_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(scheme_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(scheme_hash)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetset},
    {0, nullptr},
};

PyType_Spec kSpec{"velmar.Scheme", sizeof(PyScheme), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                  kSlots};

}  // namespace

SchemeSpec bits_block_spec(SchemeSpec::Tag tag, PyObject* bits, PyObject* block) {
    SchemeSpec s;
    s.tag = tag;
    s.bits = bits ? arg_u32(bits, "bits") : 8;
    s.block = block ? arg_usize(block, "block") : 32;
    return s;
}

SchemeSpec adaptive_spec(PyObject* block, PyObject* tolerance) {
    SchemeSpec s;
    s.tag = SchemeSpec::Tag::Adaptive;
    s.block = block ? arg_usize(block, "block") : 32;
    s.tolerance = tolerance ? arg_f32(tolerance, "tolerance") : 0.001f;
    return s;
}

Result<QuantizedInner> from_scheme(const SchemeSpec& spec, std::span<const float> values, int scale_index) {
    switch (scale_index) {
        case 0:
            return run<f32>(spec, values);
        case 1:
            return run<f16>(spec, values);
        default:
            return run<bf16>(spec, values);
    }
}

PyObject* quantize_values(PyObject* values_obj, int scale_index, const SchemeSpec& spec, bool whole_tensor) {
    F32Values values = as_f32_values(values_obj);
    SchemeSpec record = spec;
    if (whole_tensor) record.block = values.size() > 1 ? values.size() : 1;
    Result<QuantizedInner> r = std::unexpected(CoreError::invalid_tolerance());
    {
        GilRelease unlocked;
        r = from_scheme(record, values.span(), scale_index);
    }
    if (!r) raise_core_error(from_quantize(r.error()));
    return wrap(std::move(*r));
}

PyTypeObject* scheme_type() {
    if (g_type) return g_type;
    g_type = reinterpret_cast<PyTypeObject*>(Ref::check(PyType_FromSpec(&kSpec)).release());
    SchemeSpec q4{SchemeSpec::Tag::Symmetric, 4, 32, 0.0f};
    SchemeSpec q8{SchemeSpec::Tag::Symmetric, 8, 32, 0.0f};
    Ref a = Ref::check(new_scheme(q4));
    Ref b = Ref::check(new_scheme(q8));
    if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(g_type), "Q4_32", a.get()) < 0 ||
        PyObject_SetAttrString(reinterpret_cast<PyObject*>(g_type), "Q8_32", b.get()) < 0)
        throw_error_set();
    return g_type;
}

}  // namespace velmar::py
