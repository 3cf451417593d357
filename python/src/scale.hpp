#pragma once
// The Scale enumeration: which element type stores scales and zero points.
#include <Python.h>

#include <cstdint>

namespace velmar::py {

PyTypeObject* scale_type();
// The one member object of index 0, 1 or 2 (borrowed).
PyObject* scale_member(int index);
// The member's index, or -1 when obj is not a Scale member.
int scale_index(PyObject* obj);
// The `scale` parameter: None means F32 only when omitted (obj == NULL).
int arg_scale(PyObject* obj, const char* name);

// SipHash-1-3 with a zero key, as the members' fixed hashes use it.
uint64_t siphash13(const uint8_t* data, size_t len);

}  // namespace velmar::py
