#pragma once
// Conversion of array arguments into buffers the module owns.
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "support/cast.hpp"

namespace velmar::py {

// An owned float buffer that is not zero-filled first: every element is
// written by the conversion. Big buffers are 2 MiB aligned and asked for huge
// pages before their first touch (std::bad_alloc when memory runs out).
class F32Values {
public:
    F32Values() = default;
    explicit F32Values(size_t n);
    // A view of n floats that someone else owns.
    static F32Values view(const float* p, size_t n);
    float* data() { return data_.get(); }
    size_t size() const { return size_; }
    std::span<const float> span() const { return {view_ ? view_ : data_.get(), size_}; }

private:
    struct Free {
        void operator()(float* p) const;
    };
    std::unique_ptr<float[], Free> data_;
    const float* view_ = nullptr;
    size_t size_ = 0;
};

// Signed 32-bit codes: a view of the caller's array when it already holds
// them contiguously, else an owned conversion.
class I32Codes {
public:
    explicit I32Codes(std::vector<int32_t>&& owned) : owned_(std::move(owned)), view_(owned_) {}
    explicit I32Codes(std::span<const int32_t> view) : view_(view) {}
    std::span<const int32_t> span() const { return view_; }
    size_t size() const { return view_.size(); }

private:
    std::vector<int32_t> owned_;
    std::span<const int32_t> view_;
};

std::string type_name(PyObject* obj);
std::string dtype_kind(PyObject* array);
bool is_native_dtype(PyObject* array);

F32Values as_f32_values(PyObject* obj);
// The same values; a contiguous native float32 array is read where it is, for
// callers that keep the interpreter lock until they are done with them.
F32Values as_f32_values_in_place(PyObject* obj);
// The values of a call that computes without the lock, and whether the lock
// must be kept instead: when no other thread of this interpreter is running
// Python code, a big contiguous float32 array is read where it is (its copy
// cost as much as the computation), and holding the lock keeps any thread
// that could write it waiting until the call is done.
struct CallValues {
    F32Values values;
    bool keep_lock;
};
CallValues as_f32_values_for_call(PyObject* obj);
// A float64 or float16 array that as_f32_values_for_call would read in place
// if it held floats: its elements, to be rounded or widened a piece at a time
// with the lock kept.
struct OtherFloats {
    F64Cast f64;
    F16Widen f16;
    size_t size = 0;
};
std::optional<OtherFloats> other_floats_for_call(PyObject* obj);
// For callers that keep the lock likewise.
I32Codes as_i32_codes(PyObject* obj);
// The out array's buffer, after every check; expected is the length to write.
std::span<float> as_writable_f32_out(PyObject* obj, size_t expected);

// New 1-D NumPy arrays that own a copy of `values`.
PyObject* new_f32_array(std::span<const float> values);
PyObject* new_u8_array(std::span<const uint8_t> values);
PyObject* new_u32_array(std::span<const uint32_t> values);
// An uninitialised 1-D array of n elements, to be filled in place.
PyObject* new_empty_array(int typenum, size_t n);
PyObject* new_empty_f32_array(size_t n);

}  // namespace velmar::py
