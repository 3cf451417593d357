#include "scheme.hpp"

#include <charconv>
#include <cmath>
#include <string>

#include "error.hpp"
#include "input.hpp"
#include "methods/adaptive.hpp"
#include "methods/asymmetric.hpp"
#include "methods/rows.hpp"
#include "methods/symmetric.hpp"
#include "scale.hpp"
#include "support/args.hpp"
#include "support/guard.hpp"
#include "support/ref.hpp"

namespace velmar::py {
namespace {

struct PyScheme {
    PyObject_HEAD SchemeSpec spec;
};

PyTypeObject* g_type = nullptr;

template <class T>
Result<QuantizedInner> inner_of(Result<Quantized<T>>&& r) {
    if (!r) return std::unexpected(r.error());
    return QuantizedInner(std::in_place_type<Quantized<T>>, std::move(*r));
}

template <class T>
Result<QuantizedInner> run(const SchemeSpec& spec, std::span<const float> values) {
    return inner_of<T>([&] {
        switch (spec.kind) {
            case Kind::Symmetric:
                return symmetric::quantize_with<T>(values, spec.bits, spec.block);
            case Kind::Asymmetric:
                return asymmetric::quantize_with<T>(values, spec.bits, spec.block);
            default:
                return adaptive::quantize_with<T>(values, spec.block, spec.tolerance);
        }
    }());
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
        std::string text = std::string("Scheme(kind='") + kind_name(s.kind) + "', ";
        if (s.kind == Kind::Adaptive)
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
    bool equal = a.kind == b.kind && a.block == b.block;
    if (equal) equal = a.kind == Kind::Adaptive ? a.tolerance == b.tolerance : a.bits == b.bits;
    return PyBool_FromLong((op == Py_EQ) == equal);
}

Py_hash_t scheme_hash(PyObject*) {
    PyErr_SetString(PyExc_TypeError, "unhashable type: 'Scheme'");
    return -1;
}

PyObject* get_kind(PyObject* self, void*) { return PyUnicode_FromString(kind_name(spec_of(self).kind)); }

PyObject* get_bits(PyObject* self, void*) {
    if (spec_of(self).kind == Kind::Adaptive) Py_RETURN_NONE;
    return PyLong_FromUnsignedLong(spec_of(self).bits);
}

PyObject* get_block(PyObject* self, void*) { return PyLong_FromSize_t(spec_of(self).block); }

PyObject* get_tolerance(PyObject* self, void*) {
    if (spec_of(self).kind != Kind::Adaptive) Py_RETURN_NONE;
    return PyFloat_FromDouble(static_cast<double>(spec_of(self).tolerance));
}

PyObject* state_tuple(const SchemeSpec& s) {
    const bool adaptive = s.kind == Kind::Adaptive;
    Ref bits = adaptive ? Ref::borrow(Py_None) : Ref::check(PyLong_FromUnsignedLong(s.bits));
    Ref tolerance = adaptive ? Ref::check(PyFloat_FromDouble(static_cast<double>(s.tolerance))) : Ref::borrow(Py_None);
    return Ref::check(Py_BuildValue("(sOKO)", kind_name(s.kind), bits.get(),
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

constexpr auto kSymmetric = signature("Scheme", "symmetric", kBitsParam, kBlockParam);
constexpr auto kAsymmetric = signature("Scheme", "asymmetric", kBitsParam, kBlockParam);
constexpr auto kAdaptive = signature("Scheme", "adaptive", kBlockParam, kToleranceParam);
constexpr auto kQuantize = signature("Scheme", "quantize", kValuesParam, kScaleParam);
constexpr auto kFromPickle =
    signature("Scheme", "_from_pickle", Param{"kind"}, Param{"bits"}, Param{"block"}, Param{"tolerance"});

template <const auto& sig, Kind kind>
PyObject* scheme_new(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return new_scheme(scheme_spec(kind, sig, bind(sig, args, nargs, kwnames))); });
}

PyObject* scheme_quantize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return quantize_bound(kQuantize, bind(kQuantize, args, nargs, kwnames), spec_of(self)); });
}

PyObject* scheme_from_pickle(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto a = bind(kFromPickle, args, nargs, kwnames);
        PyObject* kind_text = arg_str(a[0], "kind");
        const bool has_bits = a[1] != Py_None;
        const uint32_t bits = has_bits ? arg_u32(a[1], "bits") : 0;
        const size_t block = arg_usize(a[2], "block");
        const bool has_tolerance = a[3] != Py_None;
        const float tolerance = has_tolerance ? arg_f32(a[3], "tolerance") : 0.0f;
        const std::optional<Kind> kind = kind_named(utf8(kind_text));
        if (!kind || (kind == Kind::Adaptive ? has_bits || !has_tolerance : !has_bits || has_tolerance))
            raise(PyExc_ValueError, "malformed pickle state");
        return new_scheme({*kind, bits, block, tolerance});
    });
}

PyMethodDef kMethods[] = {
    method_def(kSymmetric, scheme_new<kSymmetric, Kind::Symmetric>, METH_CLASS),
    method_def(kAsymmetric, scheme_new<kAsymmetric, Kind::Asymmetric>, METH_CLASS),
    method_def(kAdaptive, scheme_new<kAdaptive, Kind::Adaptive>, METH_CLASS),
    method_def(kQuantize, scheme_quantize),
    noargs_def("__getstate__", scheme_getstate),
    noargs_def("__reduce__", scheme_reduce),
    method_def(kFromPickle, scheme_from_pickle, METH_STATIC),
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

SchemeSpec scheme_spec(Kind kind, PyObject* bits, PyObject* block, PyObject* tolerance) {
    SchemeSpec s{kind, 0, 0, 0.0f};
    if (kind != Kind::Adaptive) s.bits = arg_u32(bits, kBitsParam);
    s.block = arg_usize(block, kBlockParam);
    if (kind == Kind::Adaptive) s.tolerance = arg_f32(tolerance, kToleranceParam);
    return s;
}

Result<QuantizedInner> from_scheme(const SchemeSpec& spec, std::span<const float> values, int scale_index) {
    return with_scale_type(scale_index, [&]<class T>(std::type_identity<T>) { return run<T>(spec, values); });
}

PyObject* quantize_values(PyObject* values_obj, int scale_index, const SchemeSpec& spec, bool whole_tensor) {
    // Doubles are rounded (halves widened) a piece at a time instead of into a
    // buffer as long as the values, unless NumPy's cast would have had
    // something to report.
    std::optional<OtherFloats> other = whole_tensor ? std::nullopt : other_floats_for_call(values_obj);
    if (other) {
        const rows::ReadPiece read =
            other->f64.values.empty() ? rows::ReadPiece(other->f16) : rows::ReadPiece(std::ref(other->f64));
        Result<QuantizedInner> r = with_scale_type(scale_index, [&]<class T>(std::type_identity<T>) {
            return inner_of(rows::quantize_row<T>(other->size, read, spec));
        });
        if (!other->f64.raised) {
            if (!r) raise_core_error(from_quantize(r.error()));
            return wrap(std::move(*r));
        }
    }
    const CallValues values = as_f32_values_for_call(values_obj);
    SchemeSpec record = spec;
    if (whole_tensor) record.block = values.values.size() > 1 ? values.values.size() : 1;
    Result<QuantizedInner> r = std::unexpected(CoreError::invalid_tolerance());
    {
        GilReleaseUnless unlocked(values.keep_lock);
        r = from_scheme(record, values.values.span(), scale_index);
    }
    if (!r) raise_core_error(from_quantize(r.error()));
    return wrap(std::move(*r));
}

PyTypeObject* scheme_type() {
    if (g_type) return g_type;
    g_type = reinterpret_cast<PyTypeObject*>(Ref::check(PyType_FromSpec(&kSpec)).release());
    Ref a = Ref::check(new_scheme({Kind::Symmetric, 4, 32}));
    Ref b = Ref::check(new_scheme({Kind::Symmetric, 8, 32}));
    if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(g_type), "Q4_32", a.get()) < 0 ||
        PyObject_SetAttrString(reinterpret_cast<PyObject*>(g_type), "Q8_32", b.get()) < 0)
        throw_error_set();
    return g_type;
}

}  // namespace velmar::py
