// sorvane_core.models._routes: module definition, state and load.
#include "common/imports.h"
#include "routes/routes.h"

namespace sorvane::routes {

namespace {

const char kModuleDoc[] =
    "Shortest routes over an infrastructure given as a CSR adjacency, with networkx's\n"
    "choice among routes of equal latency, computed natively for many pairs at once.\n";

// The module holds nothing but its function type: a call keeps all it uses
// for itself, so calls may run side by side on threads without the GIL.
using RoutesState = ModuleState;

void define(PyObject* module) {
    bind(PyModule_GetDict(module), shortest_routes_signature.qualname,
         make_function(shortest_routes_signature, module).get());
}

int exec_module(PyObject* module) noexcept {
    if (!prepare_module(module)) {
        return -1;
    }
    return run_statements(module, define);
}

const char kModuleName[] = "sorvane_core.models._routes";
using Definition = ModuleDefinition<RoutesState, exec_module, kModuleName, kModuleDoc>;

}  // namespace

}  // namespace sorvane::routes

PyMODINIT_FUNC PyInit__routes() noexcept {
    return PyModuleDef_Init(&sorvane::routes::Definition::def);
}
