// Internal interface of the callback module.
#pragma once

#include <span>

#include "callback/class_facts.h"
#include "common/function.h"
#include "common/objects.h"

namespace sorvane::callback {

// How many callback types with a collector the module state has room for.
inline constexpr std::size_t kMaxCollectorTypes = 16;

// The module's state. Nothing of the module lives elsewhere but the
// process-wide interned names (names.h).
struct CallbackState : ModuleState {
    // SorvaneCallback's own `type` property, owned. A class whose `type`
    // resolves to it reads `_type` directly (dispatch.cpp). Set when the class
    // is made, and never after.
    PyObject* type_property = nullptr;
    // The tp_call of SorvaneCallback: the slot that looks `__call__` up on the
    // class. A class that calls its instances through it has its `__call__`
    // called directly (dispatch.cpp). Set when the class is made.
    ternaryfunc call_slot = nullptr;
    // The keyword names of `nodes(data=True)` and `edges(data=True)`: ("data",),
    // made when the module loads.
    PyObject* data_kwname = nullptr;
    // The names the collectors are bound under in the module globals, where
    // the dispatch looks them up at each use: [type][0] the local collector,
    // [type][1] the remote one (or null), by the order of collector_types.
    // Interned when the module loads.
    PyObject* collector_names[kMaxCollectorTypes][2] = {};
    // The facts of the classes last met; an entry is keyed by the class's
    // version tag, so a changed class is never described by stale facts.
    FactsCache facts;

    int traverse(visitproc visit, void* arg) const noexcept {
        Py_VISIT(type_property);  // the names are strs: no cycle goes through them
        return ModuleState::traverse(visit, arg);
    }
    void clear() noexcept {
        Py_CLEAR(type_property);
        Py_CLEAR(data_kwname);
        for (auto& names : collector_names) {
            Py_CLEAR(names[0]);
            Py_CLEAR(names[1]);
        }
        call_slot = nullptr;
        facts = FactsCache{};
        ModuleState::clear();
    }
};

// The class SorvaneCallback, made by calling `type` with its namespace; it
// records what the shortcuts need in `state`.
Ref make_callback_class(PyObject* module, CallbackState& state);

// SorvaneCallback._call_by_type (dispatch.cpp).
extern const Signature call_by_type_signature;

// Which of the simulation state a collector takes after `fn`.
enum StateArg : unsigned { kPlacementsArg = 1, kInfrArg = 2, kViewArg = 4 };

// A callback type with a collector: the dispatch compares a callback's type
// with `type_name` and calls the collector looked up under its __name__ in
// the module globals, with `fn` and the state arguments. `remote`, if any,
// is the variant for a callback whose `_remote` is true; without one,
// `_remote` is not read.
struct CollectorType {
    const Name& type_name;
    const Signature& local;
    unsigned state_args;
    const Signature* remote;
    unsigned remote_state_args;
};

// Every collector type, in the order the dispatch tests them and the module
// binds the collectors (local_collectors.cpp).
extern const std::span<const CollectorType> collector_types;

// The remote collectors (remote_collectors.cpp).
extern const Signature remote_service_fn_signature;
extern const Signature remote_node_fn_signature;

// An iterator over placements.values(), called once: a dict yields its
// values in insertion order and raises "dictionary changed size during
// iteration" when it changes size while walked.
inline Ref iterate_placements(PyObject* placements) {
    Ref values = check(PyObject_CallMethodNoArgs(placements, kValues));
    return check(PyObject_GetIter(values.get()));
}

// A collector's signature: its named parameters, then **event_data; its
// docstring is the signature line alone.
constexpr Signature collector_signature(const char* name, std::span<const Param> params,
                                        Body body) {
    return {.qualname = name,
            .params = params,
            .varkw = "event_data",
            .doc = kSignatureOnly,
            .body = body};
}

// (self, trigger_obj), the parameters of _call and _call_by_type.
inline constexpr Param kSelfTrigger[] = {
    param("self"), param("trigger_obj", "Union[SorvaneEvent, SorvaneCallback]")};

// The parameters shared by the collectors' signatures.
inline constexpr Param kFnParam = param("fn", "Callable");
inline constexpr Param kPlacementsParam = param("placements", "Dict[str, Placement]");
inline constexpr Param kInfrParam = param("infr", "Infrastructure");
inline constexpr Param kViewParam = param("placement_view", "PlacementView");

}  // namespace sorvane::callback
