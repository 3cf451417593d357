#pragma once
// The Python Quantized class: one core tensor per object, under a borrow flag.
// The tensor is never changed once made: readers that compute without the
// lock take a reference to it, and refine swaps in a new one.
#include <Python.h>

#include "support/quantized.hpp"
#include "support/ref.hpp"

namespace velmar::py {

PyTypeObject* quantized_type();

// Takes ownership of inner into a new Python object.
PyObject* wrap(QuantizedInner&& inner);

// Checks the `quantized` parameter; throws with the note on failure.
void arg_quantized(PyObject* obj, const char* name);

// Scoped hold of an object's tensor: shared among readers, or the one
// exclusive hold that refine takes.
template <bool exclusive>
class Borrow {
public:
    explicit Borrow(PyObject* self) : obj_(reinterpret_cast<PyQuantized*>(self)) {
        if (exclusive ? obj_->borrow != 0 : obj_->borrow < 0)
            raise(PyExc_RuntimeError, exclusive ? "Already borrowed" : "Already mutably borrowed");
        obj_->borrow = exclusive ? -1 : obj_->borrow + 1;
    }
    ~Borrow() { obj_->borrow = exclusive ? 0 : obj_->borrow - 1; }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    const QuantizedInner& inner() const { return *obj_->inner; }
    // The current value, safe to use after the borrow ends and without the lock.
    Snapshot snapshot() const { return obj_->inner; }
    void replace(QuantizedInner&& next) const
        requires exclusive
    {
        obj_->inner = std::make_shared<const QuantizedInner>(std::move(next));
    }

private:
    PyQuantized* obj_;
};
using ReadBorrow = Borrow<false>;
using WriteBorrow = Borrow<true>;

// Members defined in methods.cpp and pickle.cpp, gathered by the type.
extern PyMethodDef kQuantizedMethods[];
extern PyGetSetDef kQuantizedGetset[];
Py_ssize_t quantized_len(PyObject* self);
PyObject* quantized_repr(PyObject* self);

}  // namespace velmar::py
