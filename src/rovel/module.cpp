// sorvane_core.simulation._simulator.rovel: module definition and load.
#include "common/module.h"

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
                     {"RemoteOps", "ResponseCode", "ray_get"})) {
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
