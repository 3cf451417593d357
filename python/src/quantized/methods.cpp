// The Python-visible members of Quantized: inspection, copy, decode and dot.
#include <cstring>
#include <optional>
#include <string>

#include "error.hpp"
#include "input.hpp"
#include "numpy.hpp"
#include "quantized/inner.hpp"
#include "quantized/pickle.hpp"
#include "scale.hpp"
#include "shared/decode.hpp"
#include "support/args.hpp"
#include "support/guard.hpp"

namespace velmar::py {
namespace {

// Runs f(tensor) on the held tensor with a shared borrow, under the lock.
template <class F>
PyObject* read(PyObject* self, F&& f) {
    return guarded([&]() -> PyObject* {
        ReadBorrow borrow(self);
        return std::visit([&](const auto& q) -> PyObject* { return f(q); }, borrow.inner());
    });
}

// A new array of n elements of NumPy type `typenum`, filled in place by fill.
template <class E, class F>
PyObject* filled_array(int typenum, size_t n, F&& fill) {
    Ref arr = Ref::check(new_empty_array(typenum, n));
    fill(std::span<E>(static_cast<E*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get()))), n));
    return arr.release();
}

template <class T>
PyObject* widened(const std::vector<T>& values) {
    return filled_array<float>(NPY_FLOAT32, values.size(),
                               [&](std::span<float> out) { widen_into<T>(values, out); });
}

template <class T>
uint64_t stored_nbytes(const Quantized<T>& q) {
    const uint64_t e = Scale<T>::bytes;
    return q.code_bytes().size() + e * (q.scales.size() + q.zero_points.size()) + 4 * uint64_t{q.block_bits.size()};
}

PyObject* get_kind(PyObject* self, void*) {
    return read(self, [](const auto& q) { return PyUnicode_FromString(kind_name(q.kind)); });
}

PyObject* get_scale(PyObject* self, void*) {
    return guarded([&] {
        ReadBorrow borrow(self);
        PyObject* m = scale_member(static_cast<int>(borrow.inner().index()));
        Py_INCREF(m);
        return m;
    });
}

PyObject* get_bits(PyObject* self, void*) {
    return read(self, [](const auto& q) -> PyObject* {
        if (q.kind == Kind::Adaptive) Py_RETURN_NONE;
        return PyLong_FromUnsignedLong(q.packed.bits);
    });
}

PyObject* get_block(PyObject* self, void*) {
    return read(self, [](const auto& q) { return PyLong_FromSize_t(q.block); });
}

PyObject* get_scales(PyObject* self, void*) {
    return read(self, [](const auto& q) { return widened(q.scales); });
}

PyObject* get_zero_points(PyObject* self, void*) {
    return read(self, [](const auto& q) { return widened(q.zero_points); });
}

PyObject* get_codes(PyObject* self, void*) {
    return read(self, [](const auto& q) { return new_u8_array(q.code_bytes()); });
}

PyObject* get_unpacked_codes(PyObject* self, void*) {
    return read(self, [](const auto& q) {
        return filled_array<int32_t>(NPY_INT32, q.len, [&](std::span<int32_t> out) { q.unpack_codes_into(out); });
    });
}

PyObject* get_block_bits(PyObject* self, void*) {
    return read(self, [](const auto& q) -> PyObject* {
        if (q.kind != Kind::Adaptive) Py_RETURN_NONE;
        return new_u32_array(q.block_bits);
    });
}

PyObject* get_nbytes(PyObject* self, void*) {
    return read(self, [](const auto& q) { return PyLong_FromUnsignedLongLong(stored_nbytes(q)); });
}

PyObject* get_bits_per_element(PyObject* self, void*) {
    return read(self, [](const auto& q) {
        if (q.len == 0) return PyFloat_FromDouble(0.0);
        const float bits = static_cast<float>(stored_nbytes(q)) * 8.0f;
        return PyFloat_FromDouble(static_cast<double>(bits / static_cast<float>(q.len)));
    });
}

PyObject* method_copy(PyObject* self, PyObject*) {
    return guarded([&] { return wrap(QuantizedInner(ReadBorrow(self).inner())); });
}

PyObject* method_is_empty(PyObject* self, PyObject*) {
    return read(self, [](const auto& q) { return PyBool_FromLong(q.len == 0); });
}

constexpr auto kDequantize = signature("Quantized", "dequantize", Param{"out", "None"});
constexpr auto kDot = signature("Quantized", "dot", Param{"values"});

size_t len_of(const QuantizedInner& inner) {
    return std::visit([](const auto& q) { return q.len; }, inner);
}

PyObject* method_dequantize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* out = bind(kDequantize, args, nargs, kwnames)[0];
        if (out && out != Py_None) {
            ReadBorrow borrow(self);
            std::span<float> view = as_writable_f32_out(out, len_of(borrow.inner()));
            // Written with the lock held: the caller's array stays ours alone.
            const Status st = std::visit([&](const auto& q) { return q.dequantize_into(view); }, borrow.inner());
            if (!st) raise_core_error(from_quantize(st.error()));
            Py_INCREF(out);
            return out;
        }
        const Snapshot value = ReadBorrow(self).snapshot();
        const size_t len = len_of(*value);
        Ref result = Ref::check(new_empty_f32_array(len));
        std::span<float> dst{static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get()))), len};
        Status st;
        {
            GilRelease unlocked;
            st = std::visit([&](const auto& q) { return q.dequantize_into(dst); }, *value);
        }
        if (!st) raise_core_error(from_quantize(st.error()));
        return result.release();
    });
}

PyObject* method_dot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        PyObject* values = bind(kDot, args, nargs, kwnames)[0];
        // The borrow spans the conversion of values, which may run Python code.
        const auto [value, x] = [&] {
            ReadBorrow borrow(self);
            CallValues x = as_f32_values_for_call(values);
            const size_t len = len_of(borrow.inner());
            if (x.values.size() != len) raise_core_error(length_mismatch(len, x.values.size()));
            return std::pair{borrow.snapshot(), std::move(x)};
        }();
        Result<float> r = 0.0f;
        {
            GilReleaseUnless unlocked(x.keep_lock);
            r = std::visit([&](const auto& q) { return dot(q, x.values.span()); }, *value);
        }
        if (!r) raise_core_error(from_quantize(r.error()));
        return PyFloat_FromDouble(static_cast<double>(*r));
    });
}

}  // namespace

Py_ssize_t quantized_len(PyObject* self) {
    return guarded([&]() -> Py_ssize_t {
        ReadBorrow borrow(self);
        const size_t len = len_of(borrow.inner());
        if (len > static_cast<size_t>(PY_SSIZE_T_MAX)) raise(PyExc_OverflowError, "length does not fit an index");
        return static_cast<Py_ssize_t>(len);
    });
}

PyObject* quantized_repr(PyObject* self) {
    return guarded([&] {
        ReadBorrow borrow(self);
        const std::string text = std::visit(
            [&](const auto& q) {
                std::string s = std::string("Quantized(kind='") + kind_name(q.kind) + "'";
                if (q.kind != Kind::Adaptive) s += ", bits=" + std::to_string(q.packed.bits);
                return s + ", block=" + std::to_string(q.block) + ", len=" + std::to_string(q.len) + ", scale=";
            },
            borrow.inner());
        return PyUnicode_FromFormat("%s%R)", text.c_str(), scale_member(static_cast<int>(borrow.inner().index())));
    });
}

PyMethodDef kQuantizedMethods[] = {
    noargs_def("copy", method_copy),
    noargs_def("is_empty", method_is_empty),
    method_def(kDequantize, method_dequantize),
    method_def(kDot, method_dot),
    noargs_def("__getstate__", quantized_getstate),
    noargs_def("__reduce__", quantized_reduce),
    method_def(kQuantizedFromPickle, quantized_from_pickle, METH_STATIC),
    {},
};

PyGetSetDef kQuantizedGetset[] = {
    {"kind", get_kind, nullptr, nullptr, nullptr},
    {"scale", get_scale, nullptr, nullptr, nullptr},
    {"bits", get_bits, nullptr, nullptr, nullptr},
    {"block", get_block, nullptr, nullptr, nullptr},
    {"scales", get_scales, nullptr, nullptr, nullptr},
    {"zero_points", get_zero_points, nullptr, nullptr, nullptr},
    {"codes", get_codes, nullptr, nullptr, nullptr},
    {"unpacked_codes", get_unpacked_codes, nullptr, nullptr, nullptr},
    {"block_bits", get_block_bits, nullptr, nullptr, nullptr},
    {"nbytes", get_nbytes, nullptr, nullptr, nullptr},
    {"bits_per_element", get_bits_per_element, nullptr, nullptr, nullptr},
    {},
};

}  // namespace velmar::py
