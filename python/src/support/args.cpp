#include "support/args.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <deque>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
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

std::string display(const SignatureView& sig) {
    return (sig.owner ? std::string(sig.owner) + "." : std::string()) + sig.name + "()";
}

void check_positional(const SignatureView& sig, size_t nargs) {
    const auto npos = static_cast<size_t>(std::ranges::count_if(sig.params, [](auto& p) { return !p.keyword_only; }));
    if (nargs <= npos) return;
    const auto nreq = static_cast<size_t>(std::ranges::count_if(sig.params, [](auto& p) { return !p.fallback; }));
    std::string msg = display(sig) + " takes ";
    if (nreq == npos)
        msg += std::to_string(npos);
    else
        msg += "from " + std::to_string(nreq) + " to " + std::to_string(npos);
    msg += " positional arguments but " + std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given";
    type_error(msg);
}

void place_keyword(const SignatureView& sig, size_t nargs, PyObject* key, PyObject* value, PyObject** out) {
    const std::string_view k = utf8(key);
    for (size_t i = 0; i < sig.params.size(); ++i) {
        if (sig.params[i].name != k) continue;
        if (i < nargs || out[i])
            type_error(display(sig) + " got multiple values for argument '" + sig.params[i].name + "'");
        out[i] = value;
        return;
    }
    type_error(display(sig) + " got an unexpected keyword argument '" + std::string(k) + "'");
}

void check_missing(const SignatureView& sig, PyObject** out) {
    std::vector<const char*> missing;
    for (size_t i = 0; i < sig.params.size(); ++i)
        if (!sig.params[i].fallback && !out[i]) missing.push_back(sig.params[i].name);
    if (missing.empty()) return;
    type_error(display(sig) + " missing " + std::to_string(missing.size()) + " required positional " +
               (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(missing));
}

}  // namespace

void bind_into(const SignatureView& sig, PyObject* const* args, size_t nargs, PyObject* kwnames, PyObject** out) {
    check_positional(sig, nargs);
    for (size_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j)
            place_keyword(sig, nargs, PyTuple_GetItem(kwnames, j), args[nargs + static_cast<size_t>(j)], out);
    }
    check_missing(sig, out);
}

void bind_into(const SignatureView& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    const size_t n = args ? static_cast<size_t>(PyTuple_Size(args)) : 0;
    check_positional(sig, n);
    for (size_t i = 0; i < n; ++i) out[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    if (kwargs) {
        PyObject *key = nullptr, *value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) place_keyword(sig, n, key, value, out);
    }
    check_missing(sig, out);
}

const char* kept(std::string text) {
    // Method tables and type specs point here for the life of the process.
    static auto* texts = new std::deque<std::string>;
    return texts->emplace_back(std::move(text)).c_str();
}

const char* text_signature(const char* name, const char* self, std::span<const Param> params) {
    std::string s = std::string(name) + "(" + (self ? self : "");
    bool first = !self, star = false;
    for (const Param& p : params) {
        s += first ? "" : ", ";
        first = false;
        if (p.keyword_only && !std::exchange(star, true)) s += "*, ";
        s += p.name;
        if (p.fallback) s += std::string("=") + p.fallback;
    }
    return kept(s + ")\n--\n\n");
}

PyMethodDef noargs_def(const char* name, PyCFunction f) {
    return {name, f, METH_NOARGS, text_signature(name, "$self", {})};
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

template <class T>
T to_int(PyObject* obj) {
    const long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) throw_error_set();
    if (v < static_cast<long long>(std::numeric_limits<T>::min()) ||
        v > static_cast<long long>(std::numeric_limits<T>::max()))
        raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return static_cast<T>(v);
}

template <class T>
T fallback_of(const Param& p) {
    if constexpr (std::is_floating_point_v<T>) {
        // As a float argument converts: decimal to double, then to T. Not
        // std::from_chars, whose float parser drags a newer glibc into wheels.
        const double v = PyOS_string_to_double(p.fallback, nullptr, nullptr);
        if (v == -1.0 && PyErr_Occurred()) throw_error_set();
        return static_cast<T>(v);
    } else {
        T v{};
        std::from_chars(p.fallback, p.fallback + std::strlen(p.fallback), v);
        return v;
    }
}

}  // namespace

uint32_t to_u32(PyObject* obj) { return to_int<uint32_t>(obj); }
int32_t to_i32(PyObject* obj) { return to_int<int32_t>(obj); }
uint8_t to_u8(PyObject* obj) { return to_int<uint8_t>(obj); }

size_t to_usize(PyObject* obj) {
    Ref index = Ref::check(PyNumber_Index(obj));
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error_set();
    return static_cast<size_t>(v);
}

PyObject* to_str(PyObject* obj) {
    if (PyUnicode_Check(obj)) return obj;
    Ref tn = Ref::check(PyType_GetName(Py_TYPE(obj)));
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyString'", tn.get());
    throw_error_set();
}

std::string_view utf8(PyObject* str) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(str, &n);
    if (!s) throw_error_set();
    return {s, static_cast<size_t>(n)};
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

uint32_t arg_u32(PyObject* obj, const Param& p) { return obj ? arg_u32(obj, p.name) : fallback_of<uint32_t>(p); }
size_t arg_usize(PyObject* obj, const Param& p) { return obj ? arg_usize(obj, p.name) : fallback_of<size_t>(p); }
float arg_f32(PyObject* obj, const Param& p) { return obj ? arg_f32(obj, p.name) : fallback_of<float>(p); }

PyObject* arg_str(PyObject* obj, const char* name) {
    return noted(name, [&] { return to_str(obj); });
}

void raise_not_instance(PyObject* obj, const char* cls, const char* param) {
    try {
        if (obj == Py_None) {
            PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", cls);
        } else {
            Ref tn = Ref::check(PyType_GetName(Py_TYPE(obj)));
            PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", tn.get(), cls);
        }
        throw_error_set();
    } catch (const PyErrorSet&) {
        if (param) add_note(param);
        throw;
    }
}

}  // namespace velmar::py
