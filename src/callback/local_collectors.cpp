// The local result collectors: each walks one part of the simulation state,
// calls `fn` once per item with the event data as keywords, and gathers the
// values into a new dict (the infrastructure collector returns its single
// value).
//
// Per item a collector does the iteration step, the unpacking, one call of
// `fn` and one store: the keywords are laid out once per collector call (see
// KeywordCaller), and items are unpacked without building tuples.
#include "callback/callback.h"
#include "callback/collectors.h"
#include "common/guards.h"
#include "common/kwcall.h"
#include "common/names.h"
#include "common/object.h"
#include "common/text.h"
#include "common/unpack.h"

namespace sorvane::callback {

namespace {

Name a_application{"application"};
Name a_id{"id"};
Name a_nodes{"nodes"};
Name a_edges{"edges"};
Name k_data{"data"};

// graph.nodes(data=True) or graph.edges(data=True), iterated.
Ref iterate_with_data(PyObject* graph, PyObject* method) {
    Ref bound = getattr(graph, method);
    if (!bound) {
        return {};
    }
    static PyObject* data_kwname = nullptr;  // made once, kept for good
    if (data_kwname == nullptr && (data_kwname = PyTuple_Pack(1, k_data.get())) == nullptr) {
        return {};
    }
    PyObject* args[] = {nullptr, Py_True};
    Ref items = Ref::steal(PyObject_Vectorcall(bound.get(), args + 1,
                                               0 | PY_VECTORCALL_ARGUMENTS_OFFSET, data_kwname));
    if (!items) {
        return {};
    }
    return Ref::steal(PyObject_GetIter(items.get()));
}

// The walk over the placements shared by the application-side collectors:
// for each placement, its application's id is the key, then `entry` computes
// the value from the placement.
template <typename Entry>
PyObject* walk_placements(PyObject* placements, Entry entry) {
    Ref result = Ref::steal(PyDict_New());
    Ref iter = iterate_placements(placements);
    if (!result || !iter) {
        return nullptr;
    }
    LoopGuard guard;
    while (Ref pl = Ref::steal(PyIter_Next(iter.get()))) {
        if (!guard.step()) {
            return nullptr;
        }
        Ref application = getattr(pl.get(), a_application);
        if (!application) {
            return nullptr;
        }
        Ref key = getattr(application.get(), a_id);
        if (!key) {
            return nullptr;
        }
        Ref value = entry(pl.get());
        if (!value || PyDict_SetItem(result.get(), key.get(), value.get()) < 0) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    return result.release();
}

PyObject* application_fn_impl(PyObject*, PyObject* const* p, PyObject*, PyObject* event_data) {
    PyObject* fn = p[0];
    PyObject* infr = p[2];
    KeywordCaller call(event_data, 3);
    if (!call.ok()) {
        return nullptr;
    }
    return walk_placements(p[1], [&](PyObject* pl) -> Ref {
        Ref application = getattr(pl, a_application);
        if (!application) {
            return {};
        }
        return call(fn, {application.get(), pl, infr});
    });
}

// The inner dict of the service and interaction collectors: one entry per
// item of application.nodes(data=True) or application.edges(data=True).
template <Py_ssize_t Parts>
Ref application_items(PyObject* fn, PyObject* pl, PyObject* infr, PyObject* method,
                      KeywordCaller& call) {
    Ref application = getattr(pl, a_application);
    if (!application) {
        return {};
    }
    Ref inner = Ref::steal(PyDict_New());
    Ref iter = iterate_with_data(application.get(), method);
    if (!inner || !iter) {
        return {};
    }
    LoopGuard guard;
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        if (!guard.step()) {
            return {};
        }
        Ref parts[Parts];
        if (!unpack(item.get(), Parts, parts)) {
            return {};
        }
        Ref key;
        Ref value;
        if constexpr (Parts == 2) {  // service s, req
            key = parts[0].dup();
            value = call(fn, {parts[0].get(), parts[1].get(), pl, infr});
        } else {  // interaction source, target, req; the key is made first
            key = join_text(parts[0].get(), ',', parts[1].get());
            if (!key) {
                return {};
            }
            value = call(fn, {parts[0].get(), parts[1].get(), parts[2].get(), pl, infr});
        }
        if (!value || PyDict_SetItem(inner.get(), key.get(), value.get()) < 0) {
            return {};
        }
    }
    if (PyErr_Occurred()) {
        return {};
    }
    return inner;
}

// The service and interaction collectors: for each placement, the inner dict
// of application_items.
template <Py_ssize_t Parts>
PyObject* per_application(PyObject* const* p, PyObject* method, PyObject* event_data) {
    PyObject* fn = p[0];
    PyObject* infr = p[2];
    KeywordCaller call(event_data, Parts + 2);
    if (!call.ok()) {
        return nullptr;
    }
    return walk_placements(p[1], [&](PyObject* pl) {
        return application_items<Parts>(fn, pl, infr, method, call);
    });
}

PyObject* service_fn_impl(PyObject*, PyObject* const* p, PyObject*, PyObject* event_data) {
    return per_application<2>(p, a_nodes, event_data);
}

PyObject* interaction_fn_impl(PyObject*, PyObject* const* p, PyObject*, PyObject* event_data) {
    return per_application<3>(p, a_edges, event_data);
}

PyObject* infrastructure_fn_impl(PyObject*, PyObject* const* p, PyObject*, PyObject* event_data) {
    KeywordCaller call(event_data, 2);
    if (!call.ok()) {
        return nullptr;
    }
    return call(p[0], {p[1], p[2]}).release();
}

// The node and link collectors: one entry per item of infr.nodes(data=True)
// or infr.edges(data=True); the placements and the view are passed through.
template <Py_ssize_t Parts>
PyObject* infrastructure_items(PyObject* const* p, PyObject* method, PyObject* event_data) {
    PyObject* fn = p[0];
    PyObject* placements = p[1];
    PyObject* infr = p[2];
    PyObject* view = p[3];
    KeywordCaller call(event_data, Parts + 3);
    if (!call.ok()) {
        return nullptr;
    }
    Ref result = Ref::steal(PyDict_New());
    Ref iter = iterate_with_data(infr, method);
    if (!result || !iter) {
        return nullptr;
    }
    LoopGuard guard;
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        if (!guard.step()) {
            return nullptr;
        }
        Ref parts[Parts];
        if (!unpack(item.get(), Parts, parts)) {
            return nullptr;
        }
        Ref key;
        Ref value;
        if constexpr (Parts == 2) {  // node, res
            key = parts[0].dup();
            value = call(fn, {parts[0].get(), parts[1].get(), placements, infr, view});
        } else {  // source, target, res; the key is made first
            key = join_text(parts[0].get(), ',', parts[1].get());
            if (!key) {
                return nullptr;
            }
            value = call(fn, {parts[0].get(), parts[1].get(), parts[2].get(), placements, infr, view});
        }
        if (!value || PyDict_SetItem(result.get(), key.get(), value.get()) < 0) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    return result.release();
}

PyObject* node_fn_impl(PyObject*, PyObject* const* p, PyObject*, PyObject* event_data) {
    return infrastructure_items<2>(p, a_nodes, event_data);
}

PyObject* link_fn_impl(PyObject*, PyObject* const* p, PyObject*, PyObject* event_data) {
    return infrastructure_items<3>(p, a_edges, event_data);
}

constexpr const char* kInfrastructureParams[] = {"fn", "infr", "placement_view"};
constexpr const char* kViewParams[] = {"fn", "placements", "infr", "placement_view"};

constexpr Annotation kInfrastructureAnnotations[] = {
    {"fn", "Callable"}, {"infr", "Infrastructure"}, {"placement_view", "PlacementView"}};
constexpr Annotation kViewAnnotations[] = {{"fn", "Callable"},
                                           {"placements", "Dict[str, Placement]"},
                                           {"infr", "Infrastructure"},
                                           {"placement_view", "PlacementView"}};

}  // namespace

// Each docstring is the signature line alone.
const FunctionSpec application_fn_spec{
    "_application_fn", "_application_fn",
    "_application_fn(fn: Callable, placements: Dict[str, Placement], infr: Infrastructure, "
    "**event_data)",
    kPlacementParams, nullptr, "event_data", kPlacementAnnotations, application_fn_impl,
};

const FunctionSpec service_fn_spec{
    "_service_fn", "_service_fn",
    "_service_fn(fn: Callable, placements: Dict[str, Placement], infr: Infrastructure, "
    "**event_data)",
    kPlacementParams, nullptr, "event_data", kPlacementAnnotations, service_fn_impl,
};

const FunctionSpec interaction_fn_spec{
    "_interaction_fn", "_interaction_fn",
    "_interaction_fn(fn: Callable, placements: Dict[str, Placement], infr: Infrastructure, "
    "**event_data)",
    kPlacementParams, nullptr, "event_data", kPlacementAnnotations, interaction_fn_impl,
};

const FunctionSpec infrastructure_fn_spec{
    "_infrastructure_fn", "_infrastructure_fn",
    "_infrastructure_fn(fn: Callable, infr: Infrastructure, placement_view: PlacementView, "
    "**event_data)",
    kInfrastructureParams, nullptr, "event_data", kInfrastructureAnnotations,
    infrastructure_fn_impl,
};

const FunctionSpec node_fn_spec{
    "_node_fn", "_node_fn",
    "_node_fn(fn: Callable, placements: Dict[str, Placement], infr: Infrastructure, "
    "placement_view: PlacementView, **event_data)",
    kViewParams, nullptr, "event_data", kViewAnnotations, node_fn_impl,
};

const FunctionSpec link_fn_spec{
    "_link_fn", "_link_fn",
    "_link_fn(fn: Callable, placements: Dict[str, Placement], infr: Infrastructure, "
    "placement_view: PlacementView, **event_data)",
    kViewParams, nullptr, "event_data", kViewAnnotations, link_fn_impl,
};

}  // namespace sorvane::callback
