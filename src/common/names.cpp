#include "common/names.h"

namespace sorvane {

namespace {
// Head of the list of every Name of the library. A plain pointer is
// constant-initialised, so it is ready before any Name constructor runs,
// whatever the order of static initialisation across files.
Name* all_names = nullptr;
}  // namespace

Name::Name(const char* text) noexcept : text_(text), next_(all_names) { all_names = this; }

bool intern_names() noexcept {
    for (Name* n = all_names; n != nullptr; n = n->next_) {
        if (n->object_ != nullptr) {
            continue;  // already interned by an earlier import of the module
        }
        n->object_ = PyUnicode_InternFromString(n->text_);
        if (n->object_ == nullptr) {
            return false;
        }
    }
    return true;
}

Ref lookup_global(PyObject* globals, PyObject* builtins, PyObject* name) noexcept {
    PyObject* found = PyDict_GetItemWithError(globals, name);
    if (found == nullptr && !PyErr_Occurred()) {
        found = PyDict_GetItemWithError(builtins, name);
        if (found == nullptr && !PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            // As the interpreter does, so that tracebacks can suggest a name.
            PyObject* exc = PyErr_GetRaisedException();
            if (PyObject_SetAttrString(exc, "name", name) < 0) {
                PyErr_Clear();
            }
            PyErr_SetRaisedException(exc);
        }
    }
    // The dicts are borrowed from; own the result before anything else runs.
    return Ref::borrow(found);
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
    if (PyErr_GivenExceptionMatches(exc, PyExc_AttributeError)) {
        Ref known_name = Ref::steal(PyObject_GetAttrString(exc, "name"));
        Ref known_obj = known_name ? Ref::steal(PyObject_GetAttrString(exc, "obj")) : Ref{};
        if (!known_obj) {
            PyErr_Clear();
        } else if (known_name.get() == Py_None && known_obj.get() == Py_None &&
                   (PyObject_SetAttrString(exc, "name", name) < 0 ||
                    PyObject_SetAttrString(exc, "obj", obj) < 0)) {
            PyErr_Clear();
        }
    }
    PyErr_SetRaisedException(exc);
}

}  // namespace sorvane
