#pragma once
// The declarative argument binder shared by every entry point, and the
// parameter conversions that attach "while processing 'NAME'" on failure.
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>

namespace velmar::py {

struct Param {
    const char* name;
    bool required = false;
    bool keyword_only = false;
};

// Required parameters come first, keyword-only ones last.
struct Signature {
    const char* display;  // "quantize()", "Scheme.symmetric()", ...
    std::span<const Param> params;
};

// Fills out[i] with a borrowed reference for each parameter, or NULL when it
// was not given. Throws PyErrorSet with the binding TypeErrors.
void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// The same for the tuple/dict calling convention (type slots).
void bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Attaches the note "while processing 'NAME'" to the pending exception.
void add_note(const char* name);

// Conversions of named parameters; each throws PyErrorSet after add_note.
uint32_t arg_u32(PyObject* obj, const char* name);
size_t arg_usize(PyObject* obj, const char* name);
float arg_f32(PyObject* obj, const char* name);
PyObject* arg_str(PyObject* obj, const char* name);  // borrowed, checked to be a str

// Plain conversions without a note (pickle items, sequence elements).
uint32_t to_u32(PyObject* obj);
size_t to_usize(PyObject* obj);
int32_t to_i32(PyObject* obj);
uint8_t to_u8(PyObject* obj);

// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction a method table holds.
template <class F>
PyCFunction fastcall(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// "'NAME' object is not an instance of 'CLS'" ("'None' is not ..." for None).
[[noreturn]] void raise_not_instance(PyObject* obj, const char* cls);

}  // namespace velmar::py
