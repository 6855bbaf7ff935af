#include "common/kwcall.h"

#include <algorithm>

#include "common/errors.h"

namespace sorvane {

KeywordCaller::KeywordCaller(PyObject* keywords, Py_ssize_t max_positional)
    : max_positional_(max_positional), stack_(small_) {
    const Py_ssize_t nkw = PyDict_GET_SIZE(keywords);
    const Py_ssize_t size = 1 + max_positional + nkw;
    if (nkw != 0) {
        kwnames_ = check(PyTuple_New(nkw));
    }
    if (size > kSmall) {
        stack_ = static_cast<PyObject**>(PyMem_Malloc(sizeof(PyObject*) * size));
        if (stack_ == nullptr) {
            PyErr_NoMemory();
            propagate();  // nothing to free: the destructor of a half-made object does not run
        }
    }
    Py_ssize_t pos = 0;
    Py_ssize_t i = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(keywords, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames_.get(), i, Py_NewRef(key));
        stack_[1 + max_positional_ + i] = value;  // borrowed from the dict
        ++i;
    }
}

KeywordCaller::~KeywordCaller() {
    if (stack_ != small_) {
        PyMem_Free(stack_);
    }
}

Ref KeywordCaller::operator()(PyObject* callable, std::initializer_list<PyObject*> positional) {
    const Py_ssize_t npos = static_cast<Py_ssize_t>(positional.size());
    // Positional arguments sit right before the keyword values, so a call
    // with fewer than the maximum starts further into the stack.
    PyObject** args = stack_ + 1 + (max_positional_ - npos);
    std::copy(positional.begin(), positional.end(), args);
    return check(PyObject_Vectorcall(callable, args,
                                     static_cast<size_t>(npos) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     kwnames_.get()));
}

}  // namespace sorvane
