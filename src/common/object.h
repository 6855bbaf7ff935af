// Thin owning wrappers over the object protocol, so that module code reads as
// the Python it implements: each returns a Ref (null with an exception set on
// failure) or a bool (false with an exception set).
#pragma once

#include "common/names.h"
#include "common/ref.h"

namespace sorvane {

// Gives an AttributeError that lacks them the `name` and `obj` it was raised
// for, as PyObject_GetAttr does for tracebacks' suggestions.
void add_attribute_error_context(PyObject* obj, PyObject* name) noexcept;

// `name` is always an interned str here, so for a class with the generic
// lookup these go to it directly: that is what PyObject_GetAttr and
// PyObject_SetAttr do, after checking and interning the name again.
inline Ref getattr(PyObject* obj, PyObject* name) noexcept {
    if (Py_TYPE(obj)->tp_getattro == PyObject_GenericGetAttr) {
        Ref value = Ref::steal(PyObject_GenericGetAttr(obj, name));
        if (!value) {
            add_attribute_error_context(obj, name);
        }
        return value;
    }
    return Ref::steal(PyObject_GetAttr(obj, name));
}

inline bool setattr(PyObject* obj, PyObject* name, PyObject* value) noexcept {
    if (Py_TYPE(obj)->tp_setattro == PyObject_GenericSetAttr) {
        return PyObject_GenericSetAttr(obj, name, value) == 0;
    }
    return PyObject_SetAttr(obj, name, value) == 0;
}

// obj[key]. An exact dict is looked up directly: it has no __missing__ and
// raises the same KeyError that dict.__getitem__ does.
inline Ref getitem(PyObject* obj, PyObject* key) noexcept {
    if (PyDict_CheckExact(obj)) {
        PyObject* value = PyDict_GetItemWithError(obj, key);
        if (value == nullptr && !PyErr_Occurred()) {
            set_key_error(key);
        }
        return Ref::borrow(value);
    }
    return Ref::steal(PyObject_GetItem(obj, key));
}

// obj.name(arg), looked up as the interpreter looks up a method to call.
inline Ref call_method(PyObject* obj, PyObject* name, PyObject* arg) noexcept {
    PyObject* args[] = {obj, arg};
    return Ref::steal(
        PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(arg), with room before the argument so that a bound method can
// prepend its self without copying.
inline Ref call_one(PyObject* callable, PyObject* arg) noexcept {
    PyObject* args[] = {nullptr, arg};
    return Ref::steal(
        PyObject_Vectorcall(callable, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// A new list holding just `item`.
inline Ref list_of(PyObject* item) noexcept {
    Ref list = Ref::steal(PyList_New(1));
    if (list) {
        PyList_SET_ITEM(list.get(), 0, Py_NewRef(item));
    }
    return list;
}

}  // namespace sorvane
