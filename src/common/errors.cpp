#include "common/errors.h"

namespace sorvane {

void propagate() noexcept(false) { throw PythonError{}; }

void raise(PyObject* type, const char* message) noexcept(false) {
    PyErr_SetString(type, message);
    throw PythonError{};
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
