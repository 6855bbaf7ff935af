// The local result collectors: each walks one part of the simulation state,
// calls `fn` once per item with the event data as keywords, and gathers the
// values into a new dict (the infrastructure collector returns its single
// value). Also the table of callback types with a collector, which the
// dispatch and the module's load read.
//
// Per item a collector does the iteration step, the unpacking, one call of
// `fn` and one store: the keywords are laid out once per collector call (see
// KeywordCaller), and items are unpacked without building tuples.
#include <iterator>

#include "callback/callback.h"
#include "common/guards.h"
#include "common/kwcall.h"
#include "common/text.h"
#include "common/unpack.h"

namespace sorvane::callback {

namespace {

// graph.nodes(data=True) or graph.edges(data=True), iterated.
Ref iterate_with_data(const Call& call, PyObject* graph, PyObject* method) {
    Ref bound = getattr(graph, method);
    PyObject* args[] = {nullptr, Py_True};
    Ref items = check(PyObject_Vectorcall(bound.get(), args + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          call.state<CallbackState>().data_kwname));
    return check(PyObject_GetIter(items.get()));
}

// The walk over the placements shared by the application-side collectors:
// for each placement, its application's id is the key, then `entry` computes
// the value from the placement.
template <typename Entry>
Ref walk_placements(PyObject* placements, Entry entry) {
    Ref result = new_dict();
    Ref iter = iterate_placements(placements);
    LoopGuard guard;
    for_each_item(iter.get(), [&](PyObject* pl) {
        guard.step();
        Ref application = getattr(pl, kApplication);
        Ref key = getattr(application.get(), kId);
        Ref value = entry(pl);
        check(PyDict_SetItem(result.get(), key.get(), value.get()));
    });
    return result;
}

Ref application_fn(const Call& call, PyObject* fn, PyObject* placements, PyObject* infr) {
    KeywordCaller keywords(call.varkw(), 3);
    return walk_placements(placements, [&](PyObject* pl) {
        Ref application = getattr(pl, kApplication);
        return keywords(fn, {application.get(), pl, infr});
    });
}

// {key: fn(*item, *extra, **event_data) for item in graph.<method>(data=True)}:
// the walk of the service, interaction, node and link collectors. An item is
// (name, attributes), keyed by the name, or (source, target, attributes),
// keyed by "source,target", made before the call.
template <Py_ssize_t Parts, typename... Extra>
Ref walk_items(const Call& call, PyObject* graph, PyObject* method, PyObject* fn,
               KeywordCaller& keywords, Extra*... extra) {
    Ref result = new_dict();
    Ref iter = iterate_with_data(call, graph, method);
    LoopGuard guard;
    for_each_item(iter.get(), [&](PyObject* item) {
        guard.step();
        Ref parts[Parts];
        unpack(item, Parts, parts);
        Ref key;
        Ref value;
        if constexpr (Parts == 2) {
            key = parts[0].dup();
            value = keywords(fn, {parts[0].get(), parts[1].get(), extra...});
        } else {
            key = join_text(parts[0].get(), ',', parts[1].get());
            value = keywords(fn, {parts[0].get(), parts[1].get(), parts[2].get(), extra...});
        }
        check(PyDict_SetItem(result.get(), key.get(), value.get()));
    });
    return result;
}

// The service and interaction collectors: for each placement, the walk over
// application.nodes(data=True) or application.edges(data=True).
template <Py_ssize_t Parts>
Ref per_application(const Call& call, PyObject* fn, PyObject* placements, PyObject* infr,
                    PyObject* method) {
    KeywordCaller keywords(call.varkw(), Parts + 2);
    return walk_placements(placements, [&](PyObject* pl) {
        Ref application = getattr(pl, kApplication);
        return walk_items<Parts>(call, application.get(), method, fn, keywords, pl, infr);
    });
}

Ref service_fn(const Call& call, PyObject* fn, PyObject* placements, PyObject* infr) {
    return per_application<2>(call, fn, placements, infr, kNodes);
}

Ref interaction_fn(const Call& call, PyObject* fn, PyObject* placements, PyObject* infr) {
    return per_application<3>(call, fn, placements, infr, kEdges);
}

Ref infrastructure_fn(const Call& call, PyObject* fn, PyObject* infr, PyObject* view) {
    KeywordCaller keywords(call.varkw(), 2);
    return keywords(fn, {infr, view});
}

// The node and link collectors: the walk over infr.nodes(data=True) or
// infr.edges(data=True); the placements and the view are passed through.
template <Py_ssize_t Parts>
Ref infrastructure_items(const Call& call, PyObject* fn, PyObject* placements, PyObject* infr,
                         PyObject* view, PyObject* method) {
    KeywordCaller keywords(call.varkw(), Parts + 3);
    return walk_items<Parts>(call, infr, method, fn, keywords, placements, infr, view);
}

Ref node_fn(const Call& call, PyObject* fn, PyObject* placements, PyObject* infr, PyObject* view) {
    return infrastructure_items<2>(call, fn, placements, infr, view, kNodes);
}

Ref link_fn(const Call& call, PyObject* fn, PyObject* placements, PyObject* infr, PyObject* view) {
    return infrastructure_items<3>(call, fn, placements, infr, view, kEdges);
}

constexpr Param kPlacementParams[] = {kFnParam, kPlacementsParam, kInfrParam};
constexpr Param kInfrastructureParams[] = {kFnParam, kInfrParam, kViewParam};
constexpr Param kViewParams[] = {kFnParam, kPlacementsParam, kInfrParam, kViewParam};

const Signature application_fn_signature =
    collector_signature("_application_fn", kPlacementParams, body<application_fn>);
const Signature service_fn_signature =
    collector_signature("_service_fn", kPlacementParams, body<service_fn>);
const Signature interaction_fn_signature =
    collector_signature("_interaction_fn", kPlacementParams, body<interaction_fn>);
const Signature infrastructure_fn_signature =
    collector_signature("_infrastructure_fn", kInfrastructureParams, body<infrastructure_fn>);
const Signature node_fn_signature = collector_signature("_node_fn", kViewParams, body<node_fn>);
const Signature link_fn_signature = collector_signature("_link_fn", kViewParams, body<link_fn>);

constexpr unsigned P = kPlacementsArg;
constexpr unsigned I = kInfrArg;
constexpr unsigned V = kViewArg;

// A new callback type with a collector is a row here, with its collector above (its
// type name may be a Name of this file), a CallbackType member and its key columns
// (sorvane_core/utils/types.py), and its collector in the stub (callback.pyi).
const CollectorType types[] = {
    {kApplication, application_fn_signature, P | I, nullptr, 0},
    {kService, service_fn_signature, P | I, &remote_service_fn_signature, P | I},
    {kInteraction, interaction_fn_signature, P | I, nullptr, 0},
    {kInfrastructure, infrastructure_fn_signature, I | V, nullptr, 0},
    {kNode, node_fn_signature, P | I | V, &remote_node_fn_signature, I},
    {kLink, link_fn_signature, P | I | V, nullptr, 0},
};

static_assert(std::size(types) <= kMaxCollectorTypes, "raise kMaxCollectorTypes (callback.h)");

}  // namespace

const std::span<const CollectorType> collector_types = types;

}  // namespace sorvane::callback
