// The object protocol, in the form the module bodies use: each wrapper returns
// an owned Ref or a plain value, and throws PythonError when the interpreter
// reports a failure (see errors.h). So a body reads as the Python it
// implements, one operation per line.
#pragma once

#include "common/errors.h"

namespace sorvane {

// obj.name. `name` is always an interned str here, so for a class with the
// generic lookup this goes to it directly, as PyObject_GetAttr does after
// checking and interning the name again.
inline Ref getattr(PyObject* obj, PyObject* name) {
    if (Py_TYPE(obj)->tp_getattro == PyObject_GenericGetAttr) {
        PyObject* value = PyObject_GenericGetAttr(obj, name);
        if (value == nullptr) {
            add_attribute_error_context(obj, name);
            propagate();
        }
        return Ref::steal(value);
    }
    return check(PyObject_GetAttr(obj, name));
}

// obj.name = value
inline void setattr(PyObject* obj, PyObject* name, PyObject* value) {
    check(Py_TYPE(obj)->tp_setattro == PyObject_GenericSetAttr
              ? PyObject_GenericSetAttr(obj, name, value)
              : PyObject_SetAttr(obj, name, value));
}

// obj[key]. An exact dict is looked up directly: it has no __missing__ and
// raises the same KeyError that dict.__getitem__ does.
inline Ref getitem(PyObject* obj, PyObject* key) {
    if (PyDict_CheckExact(obj)) {
        PyObject* value = PyDict_GetItemWithError(obj, key);  // borrowed
        if (value == nullptr) {
            if (!PyErr_Occurred()) {
                set_key_error(key);
            }
            propagate();
        }
        return Ref::borrow(value);
    }
    return check(PyObject_GetItem(obj, key));
}

// obj[key] = value
inline void setitem(PyObject* obj, PyObject* key, PyObject* value) {
    check(PyDict_CheckExact(obj) ? PyDict_SetItem(obj, key, value)
                                 : PyObject_SetItem(obj, key, value));
}

// callable(*args), with a spare slot in front of the arguments so that a
// bound method can prepend its self without copying them.
template <typename... Args>
Ref call(PyObject* callable, Args*... args) {
    PyObject* stack[] = {nullptr, args...};
    return check(PyObject_Vectorcall(callable, stack + 1,
                                     sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(arg), looked up as the interpreter looks up a method to call.
inline Ref call_method(PyObject* obj, PyObject* name, PyObject* arg) {
    PyObject* args[] = {obj, arg};
    return check(
        PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// bool(obj), as an `if` tests it.
inline bool truth(PyObject* obj) { return check(PyObject_IsTrue(obj)) != 0; }

// a == b, as an `if` tests it: the comparison's result, then its truth.
inline bool equals(PyObject* a, PyObject* b) {
    Ref result = check(PyObject_RichCompare(a, b, Py_EQ));
    return truth(result.get());
}

inline Ref new_dict() { return check(PyDict_New()); }
inline Ref new_list() { return check(PyList_New(0)); }
inline void append(PyObject* list, PyObject* item) { check(PyList_Append(list, item)); }

// A new list holding just `item`.
inline Ref list_of(PyObject* item) {
    Ref list = check(PyList_New(1));
    PyList_SET_ITEM(list.get(), 0, Py_NewRef(item));
    return list;
}

// A new int.
inline Ref integer(long value) { return check(PyLong_FromLong(value)); }

// for item in iterator: body(item). The item is owned for the length of the
// body; an error of the iterator is raised once the items run out.
template <typename Body>
void for_each_item(PyObject* iterator, Body&& body) {
    while (Ref item = Ref::steal(PyIter_Next(iterator))) {
        body(item.get());
    }
    if (PyErr_Occurred()) {
        propagate();
    }
}

// for item in iterable: body(item)
template <typename Body>
void for_each(PyObject* iterable, Body&& body) {
    Ref iterator = check(PyObject_GetIter(iterable));
    for_each_item(iterator.get(), body);
}

}  // namespace sorvane
