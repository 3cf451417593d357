#pragma once
// The persisted state tuple of Quantized objects.
#include <Python.h>

#include "quantized/inner.hpp"
#include "support/args.hpp"

namespace velmar::py {

PyObject* pickle_state(const QuantizedInner& inner);
QuantizedInner from_pickle(PyObject* state);

PyObject* quantized_getstate(PyObject* self, PyObject*);
PyObject* quantized_reduce(PyObject* self, PyObject*);
inline constexpr auto kQuantizedFromPickle = signature("Quantized", "_from_pickle", Param{"state"});
PyObject* quantized_from_pickle(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace velmar::py
