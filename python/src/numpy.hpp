#pragma once
// One NumPy C-API table for the whole module; module.cpp imports it.
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL velmar_ARRAY_API
#ifndef VELMAR_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
