#include "input.hpp"

#include <cstdlib>
#include <cstring>
#include <utility>
#include <new>
#include <optional>

#include "error.hpp"
#include "kernels/memory.hpp"
#include "numpy.hpp"
#include "support/guard.hpp"
#include "support/ref.hpp"

namespace velmar::py {
namespace {

constexpr const char* kValuesMessage = "values must be a 1-D float32 array or a sequence of floats";
constexpr const char* kEndianMessage = "values must be native-endian";
constexpr const char* kCodesMessage =
    "codes must be a 1-D signed integer array or a sequence of int; packed Quantized.codes is uint8 and must not "
    "be passed here \xE2\x80\x94 use unpacked_codes";
constexpr const char* kCodeRangeMessage = "code is outside the i32 range";
constexpr const char* kOutTypeMessage = "out must be a 1-D writable C-contiguous native-endian float32 array";
constexpr const char* kOutLayoutMessage = "out must be writable and C-contiguous";

PyArrayObject* as_array(PyObject* obj) { return reinterpret_cast<PyArrayObject*>(obj); }

bool is_rejected_sequence_type(PyObject* obj) {
    const std::string n = type_name(obj);
    return n == "array" || n == "memoryview";
}

// Copies a 1-D array's elements of type E into dst, following its strides.
template <class E, class D>
void copy_strided(PyArrayObject* arr, D* dst) {
    const npy_intp n = PyArray_DIM(arr, 0);
    const npy_intp stride = PyArray_STRIDE(arr, 0);
    const char* src = static_cast<const char*>(PyArray_DATA(arr));
    if (stride == static_cast<npy_intp>(sizeof(E)) && std::is_same_v<E, D>) {
        if (n) std::memcpy(dst, src, static_cast<size_t>(n) * sizeof(E));
        return;
    }
    for (npy_intp i = 0; i < n; ++i) {
        E v;
        std::memcpy(&v, src + i * stride, sizeof(E));
        dst[i] = static_cast<D>(v);
    }
}

Ref numpy_astype(PyObject* obj, const char* dtype_name) {
    Ref numpy = Ref::check(PyImport_ImportModule("numpy"));
    Ref dtype = Ref::check(PyObject_GetAttrString(numpy.get(), dtype_name));
    return Ref::check(PyObject_CallMethod(obj, "astype", "O", dtype.get()));
}

PyObject* new_array(int typenum, size_t n) {
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    return Ref::check(PyArray_SimpleNew(1, dims, typenum)).release();
}

template <class E>
PyObject* new_array_from(int typenum, std::span<const E> values) {
    PyObject* arr = new_array(typenum, values.size());
    if (!values.empty()) std::memcpy(PyArray_DATA(as_array(arr)), values.data(), values.size_bytes());
    return arr;
}

// Reads every item of a sequence with `convert`, which returns the value and
// whether it failed; any failure, while iterating or converting, becomes
// TypeError `message` and the exception raised there is discarded.
template <class T, class Convert>
std::vector<T> read_sequence(PyObject* obj, const char* message, Convert convert) {
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    std::vector<T> items;
    items.reserve(static_cast<size_t>(hint));
    Ref iter = Ref::steal(PyObject_GetIter(obj));
    bool failed = !iter;
    while (!failed) {
        Ref item = Ref::steal(PyIter_Next(iter.get()));
        if (!item) {
            failed = PyErr_Occurred() != nullptr;
            break;
        }
        const auto [value, bad] = convert(item.get());
        failed = bad;
        items.push_back(value);
    }
    if (failed) {
        PyErr_Clear();
        raise(PyExc_TypeError, message);
    }
    return items;
}

}  // namespace

F32Values::F32Values(size_t n) : size_(n) {
    if (n == 0) return;
    if (n > SIZE_MAX / sizeof(float)) throw std::bad_alloc();
    const size_t bytes = n * sizeof(float);
    constexpr size_t kHuge = size_t{2} << 20;
    void* p = nullptr;
    // From 32 MiB glibc maps every block afresh, and aligned to huge pages it
    // faults 2 MiB at a time. Smaller blocks come again from its heap, pages
    // and all, unless aligned so: then they were fresh pages at every call
    // (four faults and 4 MiB zeroed per dot of a million values).
    if (bytes >= 16 * kHuge) {
        if (posix_memalign(&p, kHuge, bytes) != 0) p = nullptr;
    } else {
        p = std::malloc(bytes);
    }
    if (!p) throw std::bad_alloc();
    advise_huge_pages(p, bytes);
    data_.reset(static_cast<float*>(p));
}

void F32Values::Free::operator()(float* p) const { std::free(p); }

F32Values F32Values::view(const float* p, size_t n) {
    F32Values v;
    v.view_ = p;
    v.size_ = n;
    return v;
}

std::string type_name(PyObject* obj) {
    Ref name = Ref::check(PyType_GetName(Py_TYPE(obj)));
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n);
    if (!s) throw_error_set();
    return std::string(s, static_cast<size_t>(n));
}

std::string dtype_kind(PyObject* array) { return std::string(1, PyArray_DESCR(as_array(array))->kind); }

bool is_native_dtype(PyObject* array) { return PyArray_ISNBO(PyArray_DESCR(as_array(array))->byteorder); }

F32Values as_f32_values(PyObject* obj) {
    if (is_rejected_sequence_type(obj)) raise(PyExc_TypeError, kValuesMessage);
    if (PyArray_Check(obj)) {
        PyArrayObject* arr = as_array(obj);
        if (PyArray_NDIM(arr) != 1 || dtype_kind(obj) == "O") raise(PyExc_TypeError, kValuesMessage);
        if (!is_native_dtype(obj)) raise(PyExc_TypeError, kEndianMessage);
        if (PyArray_CheckExact(obj) && PyArray_TYPE(arr) == NPY_FLOAT32) {
            // astype would only copy; copy once, straight into the owned buffer.
            // (Subclasses go through their own astype.)
            F32Values out(static_cast<size_t>(PyArray_DIM(arr, 0)));
            copy_strided<float>(arr, out.data());
            return out;
        }
        if (PyArray_CheckExact(obj)) {
            // astype is a new array plus PyArray_CopyInto; casting straight into
            // the owned buffer is the same cast (unsafe casting rules, the same
            // errors and warnings) without the temporary and the second copy.
            const size_t n = static_cast<size_t>(PyArray_DIM(arr, 0));
            F32Values out(n);
            npy_intp dims[1] = {static_cast<npy_intp>(n)};
            Ref dst = Ref::check(n ? PyArray_SimpleNewFromData(1, dims, NPY_FLOAT32, out.data())
                                   : PyArray_SimpleNew(1, dims, NPY_FLOAT32));
            if (PyArray_CopyInto(as_array(dst.get()), arr) < 0) throw_error_set();
            return out;
        }
        Ref converted = numpy_astype(obj, "float32");
        PyArrayObject* carr = as_array(converted.get());
        F32Values out(static_cast<size_t>(PyArray_DIM(carr, 0)));
        copy_strided<float>(carr, out.data());
        return out;
    }
    if (PyUnicode_Check(obj) || !PySequence_Check(obj)) raise(PyExc_TypeError, kValuesMessage);
    const std::vector<float> items = read_sequence<float>(obj, kValuesMessage, [](PyObject* item) {
        const double d = PyFloat_AsDouble(item);
        return std::pair{static_cast<float>(d), d == -1.0 && PyErr_Occurred()};
    });
    F32Values out(items.size());
    if (!items.empty()) std::memcpy(out.data(), items.data(), items.size() * sizeof(float));
    return out;
}

namespace {

// The elements of a 1-D array of signed E as codes, in order, the first one
// outside the int32 range refused.
template <class E>
std::vector<int32_t> codes_of(PyArrayObject* arr) {
    const size_t n = static_cast<size_t>(PyArray_DIM(arr, 0));
    const npy_intp stride = PyArray_STRIDE(arr, 0);
    const char* src = static_cast<const char*>(PyArray_DATA(arr));
    std::vector<int32_t> codes(n);
    for (size_t i = 0; i < n; ++i) {
        E v;
        std::memcpy(&v, src + static_cast<npy_intp>(i) * stride, sizeof v);
        if constexpr (sizeof(E) > sizeof(int32_t))
            if (v < INT32_MIN || v > INT32_MAX) raise(PyExc_OverflowError, kCodeRangeMessage);
        codes[i] = static_cast<int32_t>(v);
    }
    return codes;
}

// A plain array's signed integers, read as they are: int32 ones in place when
// contiguous, the other widths converted in one pass.
std::optional<I32Codes> codes_in_place(PyArrayObject* arr) {
    if (!PyArray_CheckExact(reinterpret_cast<PyObject*>(arr))) return std::nullopt;
    switch (PyArray_ITEMSIZE(arr)) {
        case 1: return I32Codes(codes_of<int8_t>(arr));
        case 2: return I32Codes(codes_of<int16_t>(arr));
        case 4:
            if (PyArray_IS_C_CONTIGUOUS(arr))
                return I32Codes(std::span(static_cast<const int32_t*>(PyArray_DATA(arr)),
                                          static_cast<size_t>(PyArray_DIM(arr, 0))));
            return I32Codes(codes_of<int32_t>(arr));
        case 8: return I32Codes(codes_of<int64_t>(arr));
        default: return std::nullopt;
    }
}

// The array's own floats when they can be read where they are.
std::optional<F32Values> plain_f32_view(PyObject* obj) {
    if (!PyArray_Check(obj) || !PyArray_CheckExact(obj)) return std::nullopt;
    PyArrayObject* arr = as_array(obj);
    if (PyArray_NDIM(arr) != 1 || PyArray_TYPE(arr) != NPY_FLOAT32 || !is_native_dtype(obj) ||
        !PyArray_IS_C_CONTIGUOUS(arr) || !PyArray_ISALIGNED(arr))
        return std::nullopt;
    return F32Values::view(static_cast<const float*>(PyArray_DATA(arr)), static_cast<size_t>(PyArray_DIM(arr, 0)));
}

// Below this many values the copy costs less than looking for other threads.
constexpr size_t kInPlaceMin = size_t{1} << 16;

}  // namespace

F32Values as_f32_values_in_place(PyObject* obj) {
    if (std::optional<F32Values> view = plain_f32_view(obj)) return std::move(*view);
    return as_f32_values(obj);
}

CallValues as_f32_values_for_call(PyObject* obj) {
    std::optional<F32Values> view = plain_f32_view(obj);
    if (view && view->size() >= kInPlaceMin && only_python_thread()) return {std::move(*view), true};
    return {as_f32_values(obj), false};
}

std::optional<OtherFloats> other_floats_for_call(PyObject* obj) {
    if (!PyArray_Check(obj) || !PyArray_CheckExact(obj)) return std::nullopt;
    PyArrayObject* arr = as_array(obj);
    const size_t n = PyArray_NDIM(arr) == 1 ? static_cast<size_t>(PyArray_DIM(arr, 0)) : 0;
    const int type = PyArray_TYPE(arr);
    if (n < kInPlaceMin || (type != NPY_FLOAT64 && type != NPY_FLOAT16) || !is_native_dtype(obj) ||
        !PyArray_IS_C_CONTIGUOUS(arr) || !PyArray_ISALIGNED(arr) || !only_python_thread())
        return std::nullopt;
    OtherFloats o;
    o.size = n;
    if (type == NPY_FLOAT64) o.f64.values = std::span(static_cast<const double*>(PyArray_DATA(arr)), n);
    else o.f16.values = std::span(static_cast<const uint16_t*>(PyArray_DATA(arr)), n);
    return o;
}

namespace {

std::vector<int32_t> wide_codes(PyObject* obj) {
    Ref wide = numpy_astype(obj, "int64");
    return codes_of<int64_t>(as_array(wide.get()));
}

}  // namespace

I32Codes as_i32_codes(PyObject* obj) {
    if (is_rejected_sequence_type(obj)) raise(PyExc_TypeError, kCodesMessage);
    if (PyArray_Check(obj)) {
        PyArrayObject* arr = as_array(obj);
        if (PyArray_NDIM(arr) != 1 || dtype_kind(obj) != "i" || !is_native_dtype(obj))
            raise(PyExc_TypeError, kCodesMessage);
        if (std::optional<I32Codes> codes = codes_in_place(arr)) return std::move(*codes);
        // Subclasses convert through their own astype.
        return I32Codes(wide_codes(obj));
    }
    if (PyBool_Check(obj) || PyUnicode_Check(obj) || !PySequence_Check(obj)) raise(PyExc_TypeError, kCodesMessage);
    const std::vector<int64_t> wide = read_sequence<int64_t>(obj, kCodesMessage, [](PyObject* item) {
        const long long v = PyLong_AsLongLong(item);
        return std::pair{static_cast<int64_t>(v), v == -1 && PyErr_Occurred()};
    });
    std::vector<int32_t> codes;
    codes.reserve(wide.size());
    for (int64_t v : wide) {
        if (v < INT32_MIN || v > INT32_MAX) raise(PyExc_OverflowError, kCodeRangeMessage);
        codes.push_back(static_cast<int32_t>(v));
    }
    return I32Codes(std::move(codes));
}

std::span<float> as_writable_f32_out(PyObject* obj, size_t expected) {
    if (!PyArray_Check(obj)) raise(PyExc_TypeError, kOutTypeMessage);
    PyArrayObject* arr = as_array(obj);
    PyArray_Descr* f32 = PyArray_DescrFromType(NPY_FLOAT32);
    const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(arr), f32);
    Py_DECREF(f32);
    if (PyArray_NDIM(arr) != 1 || !equivalent || !is_native_dtype(obj)) raise(PyExc_TypeError, kOutTypeMessage);
    if (!PyArray_IS_C_CONTIGUOUS(arr) || !PyArray_ISWRITEABLE(arr)) raise(PyExc_ValueError, kOutLayoutMessage);
    const size_t n = static_cast<size_t>(PyArray_DIM(arr, 0));
    if (n != expected) raise_core_error(length_mismatch(expected, n));
    return {static_cast<float*>(PyArray_DATA(arr)), n};
}

PyObject* new_f32_array(std::span<const float> values) { return new_array_from(NPY_FLOAT32, values); }
PyObject* new_u8_array(std::span<const uint8_t> values) { return new_array_from(NPY_UINT8, values); }
PyObject* new_u32_array(std::span<const uint32_t> values) { return new_array_from(NPY_UINT32, values); }
PyObject* new_empty_array(int typenum, size_t n) { return new_array(typenum, n); }
PyObject* new_empty_f32_array(size_t n) { return new_array(NPY_FLOAT32, n); }

}  // namespace velmar::py
