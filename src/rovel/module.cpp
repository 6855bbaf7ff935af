// sorvane_core.simulation._simulator.rovel: module definition and load.
#include <utility>

#include "common/module.h"
#include "common/names.h"
#include "rovel/rovel.h"

namespace sorvane::rovel {

BoundBuiltins bound;

namespace {

Name b_zip{"zip"};
Name b_staticmethod{"staticmethod"};
Name b_value_error{"ValueError"};

// Replaces a bound built-in; the one a previous load of the module bound is
// released, as the functions made then now use this one too.
bool bind(PyObject*& slot, PyObject* globals, PyObject* builtins, PyObject* name) {
    Ref value = lookup_global(globals, builtins, name);
    if (!value) {
        return false;
    }
    Ref previous = Ref::steal(std::exchange(slot, value.release()));
    return true;
}

}  // namespace

bool bind_builtins(PyObject* globals) noexcept {
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    return builtins != nullptr && bind(bound.zip, globals, builtins, b_zip) &&
           bind(bound.staticmethod, globals, builtins, b_staticmethod) &&
           bind(bound.value_error, globals, builtins, b_value_error);
}

}  // namespace sorvane::rovel

namespace {

using namespace sorvane;

const char kModuleDoc[] =
    "Module for the RemoteSimRovel class. It is responsible for handling the\n"
    "operations on the remote nodes.\n"
    "\n"
    "It can to deploy, start, stop and undeploy services on the remote nodes.\n";

// The module's statements, in order. Placement, RemoteNode and Service are
// only named by annotations: imported under TYPE_CHECKING in the stub, never
// at run time.
int exec_module(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);  // borrowed, lives with the module
    if (!prepare_module() ||
        !import_from(globals, "typing", {"TYPE_CHECKING", "List", "Tuple", "cast"}) ||
        !import_module(globals, "ray") ||
        !import_from(globals, "sorvane_core.remote.utils",
                     {"RemoteOps", "ResponseCode", "ray_get"}) ||
        !rovel::bind_builtins(globals)) {
        return -1;
    }
    Ref cls = rovel::make_rovel_class(globals);
    if (!cls || PyDict_SetItemString(globals, "RemoteSimRovel", cls.get()) < 0) {
        return -1;
    }
    Ref handle_error = make_function(rovel::handle_error_spec, globals);
    if (!handle_error ||
        PyDict_SetItemString(globals, rovel::handle_error_spec.name, handle_error.get()) < 0) {
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // The native function type and the interned names are process-wide.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "sorvane_core.simulation._simulator.rovel",
    kModuleDoc,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_rovel() { return PyModuleDef_Init(&module_def); }
