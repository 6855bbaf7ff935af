#include "common/errors.h"

#include <exception>
#include <new>

namespace sorvane {

void propagate() noexcept(false) { throw PythonError{}; }

void raise(PyObject* type, const char* message) noexcept(false) {
    PyErr_SetString(type, message);
    throw PythonError{};
}

void set_error_from_current_exception() noexcept {
    // Nothing here may throw: the rethrow is caught below, whatever it is.
    PyObject* pending = nullptr;
    try {
        throw;
    } catch (const PythonError&) {
        return;  // the exception is set already
    } catch (const std::bad_alloc&) {
        pending = PyErr_GetRaisedException();
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        pending = PyErr_GetRaisedException();
        PyErr_Format(PyExc_SystemError, "unexpected C++ exception in native code: %s",
                     error.what());
    } catch (...) {
        pending = PyErr_GetRaisedException();
        PyErr_SetString(PyExc_SystemError,
                        "unexpected C++ exception in native code (not a std::exception)");
    }
    if (pending != nullptr) {
        PyObject* raised = PyErr_GetRaisedException();
        if (raised == nullptr || raised == pending) {
            Py_XDECREF(raised);
            raised = pending;
        } else {
            PyException_SetContext(raised, pending);  // steals pending
        }
        PyErr_SetRaisedException(raised);
    }
}

void set_key_error(PyObject* key) noexcept {
    Ref args = Ref::steal(PyTuple_Pack(1, key));
    if (args) {
        PyErr_SetObject(PyExc_KeyError, args.get());
    }
}

void add_attribute_error_context(PyObject* obj, PyObject* name) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return;
    }
    PyObject* exc = PyErr_GetRaisedException();
    Ref known_name = Ref::steal(PyObject_GetAttrString(exc, "name"));
    Ref known_obj = known_name ? Ref::steal(PyObject_GetAttrString(exc, "obj")) : Ref{};
    if (!known_obj) {
        PyErr_Clear();
    } else if (known_name.get() == Py_None && known_obj.get() == Py_None &&
               (PyObject_SetAttrString(exc, "name", name) < 0 ||
                PyObject_SetAttrString(exc, "obj", obj) < 0)) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exc);
}

void add_note(PyObject* text) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    Ref added = Ref::steal(PyObject_CallMethod(exc, "add_note", "O", text));
    if (!added) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exc);
}

}  // namespace sorvane
