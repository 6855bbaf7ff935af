// Internal interface of the rovel module.
#pragma once

#include "common/function.h"

namespace sorvane::rovel {

// Built-ins the module binds once, when it loads: later rebinding of
// builtins.zip, builtins.staticmethod or builtins.ValueError does not reach
// it, as it would not reach a module that saved them in globals. Strong
// references kept for the life of the process.
struct BoundBuiltins {
    PyObject* zip = nullptr;
    PyObject* staticmethod = nullptr;
    PyObject* value_error = nullptr;
};
extern BoundBuiltins bound;

// Looks the built-ins up in `globals`, then the current built-ins.
bool bind_builtins(PyObject* globals) noexcept;

// The class RemoteSimRovel, made by calling `type` with its namespace.
Ref make_rovel_class(PyObject* globals) noexcept;

// The module-level _handle_error (check.cpp).
extern const FunctionSpec handle_error_spec;

// code == ResponseCode.ERROR as _handle_error tests it: 1, 0, or -1 with an
// exception set.
int is_error(PyObject* function, PyObject* code) noexcept;

}  // namespace sorvane::rovel
