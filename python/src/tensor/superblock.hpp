#pragma once
// velmar._tensor's entry points for the super-block types (GGUF K-quants):
// quantizing, decoding, the matrix-vector product and search of matrices of
// whole super-blocks per row, and the table of the types.
#include <Python.h>

namespace velmar::py {

// The functions, ending with a blank entry, for the module's method table.
extern PyMethodDef kSuperFunctions[];

// The tuple of (name, bytes per super-block) of every type, in type order.
PyObject* super_types();

}  // namespace velmar::py
