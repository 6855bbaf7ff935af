// Internal interface of the rovel module.
#pragma once

#include "common/function.h"
#include "common/objects.h"

namespace sorvane::rovel {

// The module's state. Nothing of the module lives elsewhere but the
// process-wide interned names (names.h).
struct RovelState : ModuleState {
    // The built-ins the module binds once, when it loads, from its globals or
    // the built-ins in force then: later rebinding of builtins.zip,
    // builtins.staticmethod or builtins.ValueError does not reach them, as it
    // would not reach a module that saved them in globals.
    PyObject* zip = nullptr;
    PyObject* staticmethod = nullptr;
    PyObject* value_error = nullptr;

    int traverse(visitproc visit, void* arg) const noexcept {
        Py_VISIT(zip);
        Py_VISIT(staticmethod);
        Py_VISIT(value_error);
        return ModuleState::traverse(visit, arg);
    }
    void clear() noexcept {
        Py_CLEAR(zip);
        Py_CLEAR(staticmethod);
        Py_CLEAR(value_error);
        ModuleState::clear();
    }
};

// The class RemoteSimRovel, made by calling `type` with its namespace; its
// static methods are made with the staticmethod kept in `state`.
Ref make_rovel_class(PyObject* module, RovelState& state);

// The module-level _handle_error (check.cpp).
extern const Signature handle_error_signature;

// code == ResponseCode.ERROR as _handle_error tests it, ResponseCode looked
// up in the module globals for every code.
bool is_error(const Call& call, PyObject* code);

}  // namespace sorvane::rovel
