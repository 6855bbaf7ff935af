#include "common/unpack.h"

#include "common/errors.h"

namespace sorvane {

void unpack(PyObject* item, Py_ssize_t n, Ref* out) {
    if ((PyTuple_CheckExact(item) || PyList_CheckExact(item)) && Py_SIZE(item) == n) {
        PyObject** items =
            PyTuple_CheckExact(item) ? &PyTuple_GET_ITEM(item, 0) : &PyList_GET_ITEM(item, 0);
        for (Py_ssize_t i = 0; i < n; ++i) {
            out[i] = Ref::borrow(items[i]);
        }
        return;
    }
    Ref iter = Ref::steal(PyObject_GetIter(item));
    if (!iter) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(item)->tp_iter == nullptr &&
            !PySequence_Check(item)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(item)->tp_name);
        }
        propagate();
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[i] = Ref::steal(PyIter_Next(iter.get()));
        if (!out[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError,
                             "not enough values to unpack (expected %zd, got %zd)", n, i);
            }
            propagate();
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iter.get()));
    if (extra) {
        // Python 3.12 words it the same for every iterable, lists and tuples too.
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        propagate();
    }
    if (PyErr_Occurred()) {
        propagate();
    }
}

}  // namespace sorvane
