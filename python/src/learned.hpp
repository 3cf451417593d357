#pragma once
#include <Python.h>

#include "support/args.hpp"

namespace velmar::py {

inline constexpr auto kRefine = signature(nullptr, "refine", Param{"quantized"}, Param{"values"});
inline constexpr auto kFit = signature(nullptr, "fit_scale_and_zero_point", Param{"values"}, Param{"codes"});

PyObject* refine_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fit_scale_and_zero_point_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace velmar::py
