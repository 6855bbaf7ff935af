// sorvane_core.workflow.callbacks.callback: module definition, state and load.
#include <iterator>

#include "callback/callback.h"
#include "common/imports.h"

namespace sorvane::callback {

namespace {

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

CallbackState& state_of(PyObject* module) {
    return *static_cast<CallbackState*>(PyModule_GetState(module));
}

// The module's statements after its imports: the class, then the collectors.
void define(PyObject* module) {
    CallbackState& state = state_of(module);
    PyObject* globals = PyModule_GetDict(module);  // borrowed, lives with the module
    state.data_kwname = check(PyTuple_Pack(1, kData.get())).release();
    bind(globals, "SorvaneCallback", make_callback_class(module, state).get());
    for (std::size_t i = 0; i < collector_types.size(); ++i) {
        const CollectorType& kind = collector_types[i];
        const Signature* variants[] = {&kind.local, kind.remote};
        for (int remote = 0; remote < 2; ++remote) {
            if (variants[remote] == nullptr) {
                continue;
            }
            const char* name = variants[remote]->qualname;
            bind(globals, name, make_function(*variants[remote], module).get());
            state.collector_names[i][remote] = check(PyUnicode_InternFromString(name)).release();
        }
    }
}

// The module's statements, in order. Names that only annotations use
// (ActorHandle, Infrastructure, Placement, PlacementView) are imported under
// TYPE_CHECKING in the stub, never at run time.
int exec_module(PyObject* module) noexcept {
    PyObject* globals = PyModule_GetDict(module);  // borrowed, lives with the module
    if (!prepare_module(module) || !import_from(globals, "collections", {"defaultdict"}) ||
        !import_from(globals, "typing",
                     {"TYPE_CHECKING", "Any", "Callable", "Dict", "List", "Optional", "Union"}) ||
        !import_module(globals, "ray") ||
        !import_from(globals, "sorvane_core.remote.utils", {"ray_get"}) ||
        !import_from(globals, "sorvane_core.utils.types", {"CallbackType"}) ||
        !import_from(globals, "sorvane_core.workflow.events", {"SorvaneEvent"})) {
        return -1;
    }
    return run_statements(module, define);
}

const char kModuleName[] = "sorvane_core.workflow.callbacks.callback";
using Definition = ModuleDefinition<CallbackState, exec_module, kModuleName, kModuleDoc>;

}  // namespace

}  // namespace sorvane::callback

PyMODINIT_FUNC PyInit_callback() noexcept {
    return PyModuleDef_Init(&sorvane::callback::Definition::def);
}
