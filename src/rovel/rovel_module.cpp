// sorvane_core.simulation._simulator.rovel: module definition, state and load.
#include "common/imports.h"
#include "rovel/rovel.h"

namespace sorvane::rovel {

namespace {

const char kModuleDoc[] =
    "Module for the RemoteSimRovel class. It is responsible for handling the\n"
    "operations on the remote nodes.\n"
    "\n"
    "It can to deploy, start, stop and undeploy services on the remote nodes.\n";

RovelState& state_of(PyObject* module) {
    return *static_cast<RovelState*>(PyModule_GetState(module));
}

// The module's statements after its imports: the built-ins it keeps, the
// class, then _handle_error.
void define(PyObject* module) {
    RovelState& state = state_of(module);
    PyObject* globals = PyModule_GetDict(module);  // borrowed, lives with the module
    PyObject* builtins = PyEval_GetBuiltins();     // borrowed
    if (builtins == nullptr) {
        propagate();
    }
    state.zip = lookup_global(globals, builtins, kZip).release();
    state.staticmethod = lookup_global(globals, builtins, kStaticmethod).release();
    state.value_error = lookup_global(globals, builtins, kValueError).release();
    bind(globals, "RemoteSimRovel", make_rovel_class(module, state).get());
    bind(globals, handle_error_signature.qualname,
         make_function(handle_error_signature, module).get());
}

// The module's statements, in order. Placement, RemoteNode and Service are
// only named by annotations: imported under TYPE_CHECKING in the stub, never
// at run time.
int exec_module(PyObject* module) noexcept {
    PyObject* globals = PyModule_GetDict(module);  // borrowed, lives with the module
    if (!prepare_module(module) ||
        !import_from(globals, "typing", {"TYPE_CHECKING", "List", "Tuple", "cast"}) ||
        !import_module(globals, "ray") ||
        !import_from(globals, "sorvane_core.remote.utils",
                     {"RemoteOps", "ResponseCode", "ray_get"})) {
        return -1;
    }
    return run_statements(module, define);
}

const char kModuleName[] = "sorvane_core.simulation._simulator.rovel";
using Definition = ModuleDefinition<RovelState, exec_module, kModuleName, kModuleDoc>;

}  // namespace

}  // namespace sorvane::rovel

PyMODINIT_FUNC PyInit_rovel() noexcept {
    return PyModuleDef_Init(&sorvane::rovel::Definition::def);
}
