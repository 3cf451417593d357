#pragma once
// velmar._tensor's entry point for the bulk of velmar.bounded's encoder.
#include <Python.h>

namespace velmar::py {

// The functions, ending with a blank entry, for the module's method table.
extern PyMethodDef kBoundedFunctions[];

}  // namespace velmar::py
