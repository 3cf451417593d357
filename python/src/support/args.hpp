#pragma once
// The declarative argument binder shared by every entry point, and the
// parameter conversions that attach "while processing 'NAME'" on failure.
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace velmar::py {

struct Param {
    const char* name;
    // The default as the text signature shows it; nullptr when required. A
    // numeric default is also the value an omitted argument converts to.
    const char* fallback = nullptr;
    bool keyword_only = false;
};

// One entry point's parameters, required ones first, keyword-only ones last.
// owner names the class of a method ("Scheme"), nullptr for a function.
template <size_t N>
struct Signature {
    const char* owner;
    const char* name;
    std::array<Param, N> params;

    // The position of a parameter, or N when the entry point has none of that name.
    constexpr size_t slot(std::string_view param) const {
        for (size_t i = 0; i < N; ++i)
            if (param == params[i].name) return i;
        return N;
    }
};

template <class... P>
constexpr Signature<sizeof...(P)> signature(const char* owner, const char* name, P... params) {
    return {owner, name, {Param(params)...}};
}

struct SignatureView {
    const char* owner;
    const char* name;
    std::span<const Param> params;
};

void bind_into(const SignatureView& sig, PyObject* const* args, size_t nargs, PyObject* kwnames, PyObject** out);
void bind_into(const SignatureView& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// A borrowed reference per parameter, NULL where it was not given. Throws
// PyErrorSet with the binding TypeErrors. The second form serves type slots.
template <size_t N>
std::array<PyObject*, N> bind(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, N> out{};
    bind_into({sig.owner, sig.name, sig.params}, args, static_cast<size_t>(nargs), kwnames, out.data());
    return out;
}
template <size_t N>
std::array<PyObject*, N> bind(const Signature<N>& sig, PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, N> out{};
    bind_into({sig.owner, sig.name, sig.params}, args, kwargs, out.data());
    return out;
}

// A copy of text that lives as long as the process.
const char* kept(std::string text);

// "name($self, a, b=8, *, c=...)\n--\n\n", kept for the life of the process.
// self is "$self", "$cls" or nullptr.
const char* text_signature(const char* name, const char* self, std::span<const Param> params);

// A method-table row whose name and text signature come from the signature.
template <size_t N, class F>
PyMethodDef method_def(const Signature<N>& sig, F* f, int flags = 0) {
    const char* self = (flags & METH_CLASS) ? "$cls" : (sig.owner && !(flags & METH_STATIC)) ? "$self" : nullptr;
    return {sig.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)),
            METH_FASTCALL | METH_KEYWORDS | flags, text_signature(sig.name, self, sig.params)};
}
PyMethodDef noargs_def(const char* name, PyCFunction f);

// Attaches the note "while processing 'NAME'" to the pending exception.
void add_note(const char* name);

// Conversions of named parameters; each throws PyErrorSet after add_note.
// Given a Param, an omitted argument (NULL) takes the Param's default.
uint32_t arg_u32(PyObject* obj, const char* name);
size_t arg_usize(PyObject* obj, const char* name);
float arg_f32(PyObject* obj, const char* name);
uint32_t arg_u32(PyObject* obj, const Param& p);
size_t arg_usize(PyObject* obj, const Param& p);
float arg_f32(PyObject* obj, const Param& p);
PyObject* arg_str(PyObject* obj, const char* name);  // borrowed, checked to be a str

// Plain conversions without a note (pickle items, sequence elements).
uint32_t to_u32(PyObject* obj);
size_t to_usize(PyObject* obj);
int32_t to_i32(PyObject* obj);
uint8_t to_u8(PyObject* obj);
PyObject* to_str(PyObject* obj);
// The UTF-8 text of a str object, valid while the object lives.
std::string_view utf8(PyObject* str);

// "'NAME' object is not an instance of 'CLS'" ("'None' is not ..." for None),
// with the note for the parameter `param` when it is not nullptr.
[[noreturn]] void raise_not_instance(PyObject* obj, const char* cls, const char* param = nullptr);

}  // namespace velmar::py
