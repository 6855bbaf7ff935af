#include "common/names.h"

namespace sorvane {

namespace {
// Head of the list of every Name of the library. A plain pointer is
// constant-initialised, so it is ready before any Name constructor runs,
// whatever the order of static initialisation across files.
Name* all_names = nullptr;
}  // namespace

Name::Name(const char* text) noexcept : text_(text), next_(all_names) { all_names = this; }

bool intern_names() noexcept {
    for (Name* n = all_names; n != nullptr; n = n->next_) {
        if (n->object_ != nullptr) {
            continue;  // interned by the import of the other module
        }
        n->object_ = PyUnicode_InternFromString(n->text_);
        if (n->object_ == nullptr) {
            return false;
        }
    }
    return true;
}

// Attributes of callbacks.
const Name kName{"name"};
const Name kUnderName{"_name"};
const Name kUnderType{"_type"};
const Name kUnderActivatesOn{"_activates_on"};
const Name kUnderActivatesEveryN{"_activates_every_n"};
const Name kUnderTriggers{"_triggers"};
const Name kUnderRemote{"_remote"};
const Name kUnderReport{"_report"};
const Name kUnderNCalls{"_n_calls"};
const Name kUnderActivatedBy{"_activated_by"};
const Name kUnderData{"_data"};
const Name kUnderCallByType{"_call_by_type"};
const Name kType{"type"};
const Name kDunderCall{"__call__"};

// The host's objects: events, simulators, placements, graphs, actors.
const Name kSimulator{"simulator"};
const Name kPlacements{"placements"};
const Name kInfrastructure{"infrastructure"};
const Name kPlacementView{"placement_view"};
const Name kData{"data"};
const Name kApplication{"application"};
const Name kServices{"services"};
const Name kMapping{"mapping"};
const Name kId{"id"};
const Name kNodes{"nodes"};
const Name kEdges{"edges"};
const Name kValues{"values"};
const Name kServicePlacement{"service_placement"};
const Name kUnderDeployed{"_deployed"};
const Name kGetActor{"get_actor"};
const Name kEntrypoint{"entrypoint"};
const Name kOpsEntrypoint{"ops_entrypoint"};
const Name kRemote{"remote"};
const Name kPop{"pop"};

// Callback types, as the dispatch compares them.
const Name kSimulation{"simulation"};
const Name kService{"service"};
const Name kInteraction{"interaction"};
const Name kNode{"node"};
const Name kLink{"link"};

// Module globals that the native code looks up at each use.
const Name kSorvaneEvent{"SorvaneEvent"};
const Name kSorvaneCallback{"SorvaneCallback"};
const Name kRay{"ray"};
const Name kRayGet{"ray_get"};
const Name kDefaultdict{"defaultdict"};
const Name kRemoteSimRovel{"RemoteSimRovel"};
const Name kRemoteOps{"RemoteOps"};
const Name kUnderHandleError{"_handle_error"};
const Name kCast{"cast"};
const Name kList{"List"};
const Name kResponseCode{"ResponseCode"};
const Name kUnderGetRemotes{"_get_remotes"};

// Members of the host's enumerations.
const Name kDEPLOY{"DEPLOY"};
const Name kSTART{"START"};
const Name kSTOP{"STOP"};
const Name kUNDEPLOY{"UNDEPLOY"};
const Name kERROR{"ERROR"};

// Keyword arguments.
const Name kServiceId{"service_id"};

// The interpreter's own names.
const Name kDunderQualname{"__qualname__"};
const Name kDunderModule{"__module__"};
const Name kDunderDoc{"__doc__"};
const Name kDunderName{"__name__"};
const Name kBuiltins{"builtins"};
const Name kZip{"zip"};
const Name kStaticmethod{"staticmethod"};
const Name kValueError{"ValueError"};

// Constants the modules bind.
const Name kTick{"tick"};
const Name kCsv{"csv"};

}  // namespace sorvane
