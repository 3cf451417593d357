#pragma once
// The Python Quantized class: one core tensor per object, under a borrow flag.
#include <Python.h>

#include <variant>

#include "shared/tensor.hpp"

namespace velmar::py {

// Tag order follows the Scale members: f32, f16, bf16.
using QuantizedInner = std::variant<Quantized<f32>, Quantized<f16>, Quantized<bf16>>;

struct PyQuantized {
    PyObject_HEAD QuantizedInner* inner;
    // 0: free, > 0: shared readers, -1: held by refine.
    int borrow;
};

PyTypeObject* quantized_type();

// Takes ownership of inner into a new Python object.
PyObject* wrap(QuantizedInner&& inner);

// The `quantized` parameter; throws with the note on failure.
PyQuantized* arg_quantized(PyObject* obj, const char* name);

// Scoped shared or exclusive hold of an object's tensor.
class ReadBorrow {
public:
    explicit ReadBorrow(PyObject* self);
    ~ReadBorrow();
    ReadBorrow(const ReadBorrow&) = delete;
    ReadBorrow& operator=(const ReadBorrow&) = delete;
    const QuantizedInner& inner() const { return *obj_->inner; }

private:
    PyQuantized* obj_;
};

class WriteBorrow {
public:
    explicit WriteBorrow(PyQuantized* self);
    ~WriteBorrow();
    WriteBorrow(const WriteBorrow&) = delete;
    WriteBorrow& operator=(const WriteBorrow&) = delete;
    QuantizedInner& inner() const { return *obj_->inner; }

private:
    PyQuantized* obj_;
};

// Members defined in methods.cpp and pickle.cpp, gathered by the type.
extern PyMethodDef kQuantizedMethods[];
extern PyGetSetDef kQuantizedGetset[];
Py_ssize_t quantized_len(PyObject* self);
PyObject* quantized_repr(PyObject* self);

}  // namespace velmar::py
