#include "support/guard.hpp"

#include <string>

namespace velmar::py {

void set_error_from_current_exception() {
    try {
        throw;
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const InternalError& e) {
        PyErr_Format(PyExc_RuntimeError, "internal error: %s", e.what());
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "unexpected failure: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected failure");
    }
}

bool only_python_thread() {
    PyObject* frames_of = PySys_GetObject("_current_frames");  // borrowed
    if (!frames_of) return false;
    // An audit hook may refuse the call: then assume company.
    const Ref frames = Ref::steal(PyObject_CallNoArgs(frames_of));
    if (!frames) {
        PyErr_Clear();
        return false;
    }
    return PyDict_Check(frames.get()) && PyDict_Size(frames.get()) == 1;
}

}  // namespace velmar::py
