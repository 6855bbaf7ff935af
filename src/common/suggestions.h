// The interpreter's "Did you mean ...?": which of a few names it takes a
// mistyped one for.
//
// Python 3.13 words an unexpected keyword argument with the parameter nearest
// to it ("f() got an unexpected keyword argument 'Self'. Did you mean
// 'self'?"). Its choice is made in C, by a function the C API does not
// export, so the native binding makes it again here: the same edit distance
// over UTF-8 bytes, the same bounds and the same order of preference.
#pragma once

#include <Python.h>

namespace sorvane {

// The first of the `count` str `candidates` nearest to `name` within the
// interpreter's bound, borrowed, or null when none is near enough; null also
// when a text has no UTF-8 form, where the interpreter too suggests nothing.
// Never sets an exception.
PyObject* suggest_name(PyObject* const* candidates, Py_ssize_t count, PyObject* name) noexcept;

}  // namespace sorvane
