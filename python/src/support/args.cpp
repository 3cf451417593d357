#include "support/args.hpp"

#include <string>
#include <vector>

#include "support/ref.hpp"

namespace velmar::py {
namespace {

[[noreturn]] void type_error(const std::string& msg) { raise(PyExc_TypeError, msg.c_str()); }

std::string quoted_list(const std::vector<const char*>& names) {
    std::string s;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) s += ",";
            if (i + 1 == names.size()) s += " and";
            s += " ";
        }
        s += "'";
        s += names[i];
        s += "'";
    }
    return s;
}

size_t positional_count(const Signature& sig) {
    size_t n = 0;
    for (const Param& p : sig.params) n += p.keyword_only ? 0 : 1;
    return n;
}

size_t required_count(const Signature& sig) {
    size_t n = 0;
    for (const Param& p : sig.params) n += p.required ? 1 : 0;
    return n;
}

void check_positional(const Signature& sig, size_t nargs) {
    const size_t npos = positional_count(sig);
    if (nargs <= npos) return;
    const size_t nreq = required_count(sig);
    std::string msg = std::string(sig.display) + " takes ";
    if (nreq == npos)
        msg += std::to_string(npos);
    else
        msg += "from " + std::to_string(nreq) + " to " + std::to_string(npos);
    msg += " positional arguments but " + std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given";
    type_error(msg);
}

void place_keyword(const Signature& sig, size_t nargs, PyObject* key, PyObject* value, PyObject** out) {
    Py_ssize_t size = 0;
    const char* k = PyUnicode_AsUTF8AndSize(key, &size);
    if (!k) throw_error_set();
    for (size_t i = 0; i < sig.params.size(); ++i) {
        if (std::string_view(sig.params[i].name) != std::string_view(k, size)) continue;
        if (i < nargs || out[i])
            type_error(std::string(sig.display) + " got multiple values for argument '" + sig.params[i].name + "'");
        out[i] = value;
        return;
    }
    type_error(std::string(sig.display) + " got an unexpected keyword argument '" + std::string(k, size) + "'");
}

void check_missing(const Signature& sig, PyObject** out) {
    std::vector<const char*> missing;
    for (size_t i = 0; i < sig.params.size(); ++i)
        if (sig.params[i].required && !out[i]) missing.push_back(sig.params[i].name);
    if (missing.empty()) return;
    type_error(std::string(sig.display) + " missing " + std::to_string(missing.size()) + " required positional " +
               (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(missing));
}

}  // namespace

void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs_in, PyObject* kwnames, PyObject** out) {
    const size_t nargs = static_cast<size_t>(nargs_in);
    for (size_t i = 0; i < sig.params.size(); ++i) out[i] = nullptr;
    check_positional(sig, nargs);
    for (size_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j)
            place_keyword(sig, nargs, PyTuple_GetItem(kwnames, j), args[nargs + static_cast<size_t>(j)], out);
    }
    check_missing(sig, out);
}

void bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t n = args ? PyTuple_Size(args) : 0;
    for (size_t i = 0; i < sig.params.size(); ++i) out[i] = nullptr;
    check_positional(sig, static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = PyTuple_GetItem(args, i);
    if (kwargs) {
        PyObject *key = nullptr, *value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) place_keyword(sig, static_cast<size_t>(n), key, value, out);
    }
    check_missing(sig, out);
}

void add_note(const char* name) {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    if (value) {
        const std::string note = std::string("while processing '") + name + "'";
        PyObject* r = PyObject_CallMethod(value, "add_note", "s", note.c_str());
        if (r)
            Py_DECREF(r);
        else
            PyErr_Clear();  // raise without the note rather than lose the error
    }
    PyErr_Restore(type, value, tb);
}

namespace {

template <class F>
auto noted(const char* name, F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const PyErrorSet&) {
        add_note(name);
        throw;
    }
}

}  // namespace

uint32_t to_u32(PyObject* obj) {
    const long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) throw_error_set();
    if (v < 0 || v > 0xFFFFFFFFLL) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<uint32_t>(v);
}

size_t to_usize(PyObject* obj) {
    Ref index = Ref::check(PyNumber_Index(obj));
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error_set();
    return static_cast<size_t>(v);
}

int32_t to_i32(PyObject* obj) {
    const long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) throw_error_set();
    if (v < INT32_MIN || v > INT32_MAX) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<int32_t>(v);
}

uint8_t to_u8(PyObject* obj) {
    const long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) throw_error_set();
    if (v < 0 || v > 255) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<uint8_t>(v);
}

uint32_t arg_u32(PyObject* obj, const char* name) {
    return noted(name, [&] { return to_u32(obj); });
}

size_t arg_usize(PyObject* obj, const char* name) {
    return noted(name, [&] { return to_usize(obj); });
}

float arg_f32(PyObject* obj, const char* name) {
    return noted(name, [&] {
        const double d = PyFloat_AsDouble(obj);
        if (d == -1.0 && PyErr_Occurred()) throw_error_set();
        return static_cast<float>(d);
    });
}

PyObject* arg_str(PyObject* obj, const char* name) {
    return noted(name, [&] {
        if (!PyUnicode_Check(obj)) {
            Ref tn = Ref::check(PyType_GetName(Py_TYPE(obj)));
            PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyString'", tn.get());
            throw_error_set();
        }
        return obj;
    });
}

void raise_not_instance(PyObject* obj, const char* cls) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", cls);
    } else {
        Ref tn = Ref::check(PyType_GetName(Py_TYPE(obj)));
        PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", tn.get(), cls);
    }
    throw_error_set();
}

}  // namespace velmar::py
