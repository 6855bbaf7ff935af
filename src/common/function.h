// A native function that behaves as an ordinary Python function.
//
// Builtin functions cannot serve as methods (no __get__), have generated
// signatures in their docstrings and no __annotations__, __defaults__ or
// __dict__. This type gives native code the behaviour of a `def`:
// positional-or-keyword parameters with defaults, *args and **kwargs bound
// with the interpreter's own TypeError wording; binding as a method through
// __get__ and Py_TPFLAGS_METHOD_DESCRIPTOR; vectorcall; the metadata that
// introspection reads (__name__, __qualname__, __module__, __doc__ exactly as
// given, string __annotations__, __defaults__, __kwdefaults__, __dict__,
// __globals__, and a __code__ that inspect.signature understands); garbage
// collection; pickling by qualified name.
#pragma once

#include <span>

#include "common/ref.h"

namespace sorvane {

// The body of a native function. `function` is the function object itself
// (its globals are reached through it); `params` holds the bound parameters,
// borrowed and in declaration order, one per name in FunctionSpec::params;
// `varargs` is the *args tuple and `varkw` the **kwargs dict, each null when
// the signature has none. Returns a new reference, or null with an exception
// set.
using NativeImpl = PyObject* (*)(PyObject* function, PyObject* const* params,
                                 PyObject* varargs, PyObject* varkw);

struct Annotation {
    const char* name;  // a parameter name, or "return"
    const char* text;  // stored as a str, never evaluated
};

// A static description of one function. Defaults are objects, so they are
// given when the function is made.
struct FunctionSpec {
    const char* name;
    const char* qualname;
    const char* doc;
    std::span<const char* const> params;  // positional-or-keyword, in order
    const char* varargs;                  // name of *args, or nullptr
    const char* varkw;                    // name of **kwargs, or nullptr
    std::span<const Annotation> annotations;
    NativeImpl impl;
};

// Readies the function type; call once from each module's exec slot.
bool ready_function_type() noexcept;

// Makes a function whose __module__ is globals["__name__"] and whose global
// lookups go to `globals`, then to the built-ins current when it is made.
// `defaults` is a tuple for the trailing parameters, or null.
Ref make_function(const FunctionSpec& spec, PyObject* globals,
                  PyObject* defaults = nullptr) noexcept;

// The module globals of a native function (borrowed).
PyObject* function_globals(PyObject* function) noexcept;

// LOAD_GLOBAL from inside a native function body: the function's module
// globals, then its built-ins. A new reference, or null with NameError set.
Ref function_global(PyObject* function, PyObject* name) noexcept;

}  // namespace sorvane
