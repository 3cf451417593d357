#pragma once
#include <Python.h>

namespace velmar::py {

PyObject* refine_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fit_scale_and_zero_point_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace velmar::py
