#include "common/text.h"

#include <algorithm>

#include "common/errors.h"

namespace sorvane {

Ref text_of(PyObject* value) {
    if (PyUnicode_CheckExact(value)) {
        return Ref::borrow(value);
    }
    // PyObject_Format with no spec is what FORMAT_VALUE does for a
    // replacement field without conversion (an exact int goes to its str).
    return check(PyObject_Format(value, nullptr));
}

Ref join_text(PyObject* left, Py_UCS4 separator, PyObject* right) {
    Ref a = text_of(left);
    Ref b = text_of(right);
    const Py_ssize_t la = PyUnicode_GET_LENGTH(a.get());
    const Py_ssize_t lb = PyUnicode_GET_LENGTH(b.get());
    if (la > PY_SSIZE_T_MAX - 1 - lb) {
        PyErr_NoMemory();
        propagate();
    }
    const Py_UCS4 maxchar =
        std::max({PyUnicode_MAX_CHAR_VALUE(a.get()), PyUnicode_MAX_CHAR_VALUE(b.get()), separator});
    Ref out = check(PyUnicode_New(la + 1 + lb, maxchar));
    // The target is new, wide enough and not yet shared: these do not fail
    // in practice, but their contract allows it.
    if (PyUnicode_CopyCharacters(out.get(), 0, a.get(), 0, la) < 0 ||
        PyUnicode_WriteChar(out.get(), la, separator) < 0 ||
        PyUnicode_CopyCharacters(out.get(), la + 1, b.get(), 0, lb) < 0) {
        propagate();
    }
    return out;
}

}  // namespace sorvane
