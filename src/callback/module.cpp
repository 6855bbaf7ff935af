// sorvane_core.workflow.callbacks.callback: module definition and load.
#include "callback/callback.h"
#include "common/module.h"

namespace {

using namespace sorvane;

const char kModuleDoc[] =
    "Callbacks of the simulation.\n"
    "\n"
    "A callback is a named function that is called at every simulation tick or at\n"
    "the end of the simulation. It is passed the placements of the applications,\n"
    "the infrastructure on which they are placed and the placement view at the\n"
    "current tick, and the value it returns can be used to stop the simulation.\n"
    "According to its ``callback_type``, a callback returns a value on the state of\n"
    "the simulation (\"simulation\"), for each application (\"application\"), for the\n"
    "infrastructure (\"infrastructure\"), for each service of each application\n"
    "(\"service\"), for each interaction of each application (\"interaction\"), for\n"
    "each node (\"node\") or for each link (\"link\").\n";

// The module's statements, in order. Names that only annotations use
// (ActorHandle, Infrastructure, Placement, PlacementView) are imported under
// TYPE_CHECKING in the stub, never at run time.
int exec_module(PyObject* module) {
    PyObject* globals = PyModule_GetDict(module);  // borrowed, lives with the module
    if (!prepare_module() ||
        !import_from(globals, "collections", {"defaultdict"}) ||
        !import_from(globals, "typing",
                     {"TYPE_CHECKING", "Any", "Callable", "Dict", "List", "Optional", "Union"}) ||
        !import_module(globals, "ray") ||
        !import_from(globals, "sorvane_core.remote.utils", {"ray_get"}) ||
        !import_from(globals, "sorvane_core.utils.types", {"CallbackType"}) ||
        !import_from(globals, "sorvane_core.workflow.events", {"SorvaneEvent"})) {
        return -1;
    }
    Ref cls = callback::make_callback_class(globals);
    if (!cls || PyDict_SetItemString(globals, "SorvaneCallback", cls.get()) < 0) {
        return -1;
    }
    for (const FunctionSpec* spec :
         {&callback::application_fn_spec, &callback::service_fn_spec,
          &callback::remote_service_fn_spec, &callback::interaction_fn_spec,
          &callback::infrastructure_fn_spec, &callback::node_fn_spec,
          &callback::remote_node_fn_spec, &callback::link_fn_spec}) {
        Ref fn = make_function(*spec, globals);
        if (!fn || PyDict_SetItemString(globals, spec->name, fn.get()) < 0) {
            return -1;
        }
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
    "sorvane_core.workflow.callbacks.callback",
    kModuleDoc,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_callback() { return PyModuleDef_Init(&module_def); }
