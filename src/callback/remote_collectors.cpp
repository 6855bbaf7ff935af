// The remote result collectors: service and node callbacks in emulation.
//
// A first pass submits one `entrypoint.remote` call per service (or node) to
// the node's actor, a single `ray_get` waits for all of them, and a second
// pass pairs the answers with the services (or nodes) by position. `ray`,
// `ray_get` and `defaultdict` are looked up in the module globals at each use.
//
// `ray_get` lets other threads run while it waits, and they may change the
// placements or the nodes: the second pass must then meet what the first one
// submitted, in the same order, or the answers would go to other services.
// What it meets is checked against a record of the first pass, by identity
// first, so that when nothing changed no other object is read or called.
#include "callback/callback.h"
#include "callback/collectors.h"
#include "common/guards.h"
#include "common/kwcall.h"
#include "common/names.h"
#include "common/object.h"
#include "common/text.h"

namespace sorvane::callback {

namespace {

Name g_ray{"ray"};
Name g_ray_get{"ray_get"};
Name g_defaultdict{"defaultdict"};
Name a_get_actor{"get_actor"};
Name a_entrypoint{"entrypoint"};
Name a_remote{"remote"};
Name a_mapping{"mapping"};
Name a_application{"application"};
Name a_nodes{"nodes"};
Name a_id{"id"};
Name a_pop{"pop"};

// The answers of ray_get, consumed from the front as `results.pop(0)` would.
// An exact list is read by index and its consumed prefix deleted once, when
// the pairing ends or fails, so the list ends as the pops would leave it
// without the quadratic cost of popping from the front; any other object
// gets its own pop(0) calls.
class Results {
public:
    explicit Results(Ref results) noexcept : results_(std::move(results)) {
        is_list_ = PyList_CheckExact(results_.get());
    }
    Results(const Results&) = delete;
    Results& operator=(const Results&) = delete;

    ~Results() {
        if (!finished_) {
            // The pairing failed: trim all the same, keeping its exception.
            PyObject* exc = PyErr_GetRaisedException();
            if (!finish()) {
                PyErr_Clear();
            }
            PyErr_SetRaisedException(exc);
        }
    }

    Ref pop() noexcept {
        if (!is_list_) {
            Ref zero = Ref::steal(PyLong_FromLong(0));
            return zero ? Ref::steal(PyObject_CallMethodOneArg(results_.get(), a_pop, zero.get()))
                        : Ref{};
        }
        // Re-read the size: the list may be shared with whoever returned it.
        if (consumed_ >= PyList_GET_SIZE(results_.get())) {
            PyErr_SetString(PyExc_IndexError, "pop from empty list");
            return {};
        }
        return Ref::borrow(PyList_GET_ITEM(results_.get(), consumed_++));
    }

    bool finish() noexcept {
        finished_ = true;
        if (!is_list_ || consumed_ == 0) {
            return true;
        }
        const Py_ssize_t size = PyList_GET_SIZE(results_.get());
        const Py_ssize_t end = consumed_ < size ? consumed_ : size;
        consumed_ = 0;
        return PyList_SetSlice(results_.get(), 0, end, nullptr) == 0;
    }

private:
    Ref results_;
    Py_ssize_t consumed_ = 0;
    bool is_list_ = false;
    bool finished_ = false;
};

// What the first pass submitted for, in order: placements and service ids,
// or nodes. The second pass must meet them again, item by item.
class Submitted {
public:
    explicit Submitted(const char* what) noexcept
        : what_(what), items_(Ref::steal(PyList_New(0))) {}

    bool ok() const noexcept { return static_cast<bool>(items_); }

    bool add(PyObject* item) noexcept { return PyList_Append(items_.get(), item) == 0; }

    // Whether `item` is the next one submitted for: the same object, or with
    // `equal`, one that compares equal. RuntimeError if not.
    bool meets(PyObject* item, bool equal) noexcept {
        if (next_ < PyList_GET_SIZE(items_.get())) {
            Ref expected = Ref::borrow(PyList_GET_ITEM(items_.get(), next_));
            int same = expected.get() == item;
            if (!same && equal) {
                same = PyObject_RichCompareBool(expected.get(), item, Py_EQ);
                if (same < 0) {
                    return false;
                }
            }
            if (same) {
                ++next_;
                return true;
            }
        }
        return changed();
    }

    // Whether every item submitted for was met. RuntimeError if not.
    bool ended() noexcept { return next_ == PyList_GET_SIZE(items_.get()) || changed(); }

private:
    bool changed() noexcept {
        PyErr_Format(PyExc_RuntimeError,
                     "%s changed while the remote calls were awaited; "
                     "their answers cannot be paired",
                     what_);
        return false;
    }

    const char* what_;
    Ref items_;
    Py_ssize_t next_ = 0;
};

// ray.get_actor(f"{infr.id}/{node}"), reading ray, get_actor, infr.id and
// then the node name through `node_name`, in that order.
template <typename NodeName>
Ref get_actor(PyObject* function, PyObject* infr, NodeName node_name) {
    Ref ray = function_global(function, g_ray);
    if (!ray) {
        return {};
    }
    Ref lookup = getattr(ray.get(), a_get_actor);
    if (!lookup) {
        return {};
    }
    Ref infr_id = getattr(infr, a_id);
    if (!infr_id) {
        return {};
    }
    Ref node = node_name();
    if (!node) {
        return {};
    }
    Ref name = join_text(infr_id.get(), '/', node.get());
    if (!name) {
        return {};
    }
    return call_one(lookup.get(), name.get());
}

// handle.entrypoint.remote(first, fn, **event_data)
Ref submit(PyObject* handle, PyObject* first, PyObject* fn, KeywordCaller& call) {
    Ref entrypoint = getattr(handle, a_entrypoint);
    if (!entrypoint) {
        return {};
    }
    Ref remote = getattr(entrypoint.get(), a_remote);
    if (!remote) {
        return {};
    }
    return call(remote.get(), {first, fn});
}

Ref wait_all(PyObject* function, PyObject* remotes) {
    Ref ray_get = function_global(function, g_ray_get);
    if (!ray_get) {
        return {};
    }
    return call_one(ray_get.get(), remotes);
}

// pl.mapping, as an `if` tests it.
int is_placed(PyObject* pl) {
    Ref mapping = getattr(pl, a_mapping);
    return mapping ? PyObject_IsTrue(mapping.get()) : -1;
}

// pl.mapping[s], read anew each time it is needed.
Ref node_of(PyObject* pl, PyObject* s) {
    Ref mapping = getattr(pl, a_mapping);
    return mapping ? getitem(mapping.get(), s) : Ref{};
}

// iter(obj.<name>): the attribute itself, not a call of it.
Ref iterate_attr(PyObject* obj, PyObject* name) {
    Ref value = getattr(obj, name);
    return value ? Ref::steal(PyObject_GetIter(value.get())) : Ref{};
}

// iter(pl.application.nodes)
Ref iterate_services(PyObject* pl) {
    Ref application = getattr(pl, a_application);
    return application ? iterate_attr(application.get(), a_nodes) : Ref{};
}

// The default factory of the actor-handle cache: `lambda: None`.
PyObject* none_factory_impl(PyObject*, PyObject* const*, PyObject*, PyObject*) {
    return new_none();
}

const FunctionSpec none_factory_spec{
    "<lambda>", "_remote_service_fn.<locals>.<lambda>", nullptr, {}, nullptr, nullptr, {},
    none_factory_impl,
};

PyObject* remote_service_fn_impl(PyObject* function, PyObject* const* p, PyObject*,
                                 PyObject* event_data) {
    PyObject* fn = p[0];
    PyObject* placements = p[1];
    PyObject* infr = p[2];

    Ref defaultdict = function_global(function, g_defaultdict);
    if (!defaultdict) {
        return nullptr;
    }
    // A new factory on each call, as a lambda in the body would be.
    Ref factory = make_function(none_factory_spec, function_globals(function));
    if (!factory) {
        return nullptr;
    }
    Ref engines = call_one(defaultdict.get(), factory.get());
    Ref remotes = Ref::steal(PyList_New(0));
    if (!engines || !remotes) {
        return nullptr;
    }
    KeywordCaller call(event_data, 2);
    Submitted submitted("the placements");
    if (!call.ok() || !submitted.ok()) {
        return nullptr;
    }
    LoopGuard guard;

    // First pass: look each node's actor up once, submit one call per service.
    Ref iter = iterate_placements(placements);
    if (!iter) {
        return nullptr;
    }
    while (Ref pl = Ref::steal(PyIter_Next(iter.get()))) {
        const int placed = is_placed(pl.get());
        if (placed <= 0) {
            if (placed < 0) {
                return nullptr;
            }
            continue;
        }
        Ref services = iterate_services(pl.get());
        if (!services) {
            return nullptr;
        }
        while (Ref s = Ref::steal(PyIter_Next(services.get()))) {
            if (!guard.step()) {
                return nullptr;
            }
            Ref node = node_of(pl.get(), s.get());
            if (!node) {
                return nullptr;
            }
            Ref cached = getitem(engines.get(), node.get());
            if (!cached) {
                return nullptr;
            }
            if (cached.get() == Py_None) {
                Ref handle = get_actor(function, infr, [&] { return node_of(pl.get(), s.get()); });
                if (!handle) {
                    return nullptr;
                }
                node = node_of(pl.get(), s.get());
                if (!node || PyObject_SetItem(engines.get(), node.get(), handle.get()) < 0) {
                    return nullptr;
                }
            }
            node = node_of(pl.get(), s.get());
            if (!node) {
                return nullptr;
            }
            Ref handle = getitem(engines.get(), node.get());
            if (!handle) {
                return nullptr;
            }
            Ref ref = submit(handle.get(), s.get(), fn, call);
            if (!ref || PyList_Append(remotes.get(), ref.get()) < 0 || !submitted.add(pl.get()) ||
                !submitted.add(s.get())) {
                return nullptr;
            }
        }
        if (PyErr_Occurred()) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }

    Ref answers = wait_all(function, remotes.get());
    if (!answers) {
        return nullptr;
    }
    Results results(std::move(answers));

    // Second pass: the same walk, pairing answers with services by position.
    Ref result = Ref::steal(PyDict_New());
    iter = iterate_placements(placements);
    if (!result || !iter) {
        return nullptr;
    }
    while (Ref pl = Ref::steal(PyIter_Next(iter.get()))) {
        const int placed = is_placed(pl.get());
        if (placed <= 0) {
            if (placed < 0) {
                return nullptr;
            }
            continue;
        }
        Ref application = getattr(pl.get(), a_application);
        if (!application) {
            return nullptr;
        }
        Ref key = getattr(application.get(), a_id);
        if (!key) {
            return nullptr;
        }
        Ref inner = Ref::steal(PyDict_New());
        Ref services = iterate_services(pl.get());
        if (!inner || !services) {
            return nullptr;
        }
        while (Ref s = Ref::steal(PyIter_Next(services.get()))) {
            if (!guard.step() || !submitted.meets(pl.get(), false) ||
                !submitted.meets(s.get(), true)) {
                return nullptr;
            }
            Ref value = results.pop();
            if (!value || PyDict_SetItem(inner.get(), s.get(), value.get()) < 0) {
                return nullptr;
            }
        }
        if (PyErr_Occurred() || PyDict_SetItem(result.get(), key.get(), inner.get()) < 0) {
            return nullptr;
        }
    }
    if (PyErr_Occurred() || !submitted.ended() || !results.finish()) {
        return nullptr;
    }
    return result.release();
}

PyObject* remote_node_fn_impl(PyObject* function, PyObject* const* p, PyObject*,
                              PyObject* event_data) {
    PyObject* fn = p[0];
    PyObject* infr = p[1];
    Ref remotes = Ref::steal(PyList_New(0));
    if (!remotes) {
        return nullptr;
    }
    KeywordCaller call(event_data, 2);
    Submitted submitted("the infrastructure's nodes");
    if (!call.ok() || !submitted.ok()) {
        return nullptr;
    }
    LoopGuard guard;

    // First pass: one actor lookup and one call per node, no cache.
    Ref iter = iterate_attr(infr, a_nodes);
    if (!iter) {
        return nullptr;
    }
    while (Ref node = Ref::steal(PyIter_Next(iter.get()))) {
        if (!guard.step()) {
            return nullptr;
        }
        Ref engine = get_actor(function, infr, [&] { return node.dup(); });
        if (!engine) {
            return nullptr;
        }
        Ref ref = submit(engine.get(), Py_None, fn, call);
        if (!ref || PyList_Append(remotes.get(), ref.get()) < 0 || !submitted.add(node.get())) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }

    Ref answers = wait_all(function, remotes.get());
    if (!answers) {
        return nullptr;
    }
    Results results(std::move(answers));

    // Second pass: infr.nodes walked anew, answers paired by position.
    Ref result = Ref::steal(PyDict_New());
    iter = iterate_attr(infr, a_nodes);
    if (!result || !iter) {
        return nullptr;
    }
    while (Ref node = Ref::steal(PyIter_Next(iter.get()))) {
        if (!guard.step() || !submitted.meets(node.get(), true)) {
            return nullptr;
        }
        Ref value = results.pop();
        if (!value || PyDict_SetItem(result.get(), node.get(), value.get()) < 0) {
            return nullptr;
        }
    }
    if (PyErr_Occurred() || !submitted.ended() || !results.finish()) {
        return nullptr;
    }
    return result.release();
}

constexpr const char* kNodeParams[] = {"fn", "infr"};
constexpr Annotation kNodeAnnotations[] = {{"fn", "Callable"}, {"infr", "Infrastructure"}};

}  // namespace

const FunctionSpec remote_service_fn_spec{
    "_remote_service_fn", "_remote_service_fn",
    "_remote_service_fn(fn: Callable, placements: Dict[str, Placement], infr: Infrastructure, "
    "**event_data)",
    kPlacementParams, nullptr, "event_data", kPlacementAnnotations, remote_service_fn_impl,
};

const FunctionSpec remote_node_fn_spec{
    "_remote_node_fn", "_remote_node_fn",
    "_remote_node_fn(fn: Callable, infr: Infrastructure, **event_data)",
    kNodeParams, nullptr, "event_data", kNodeAnnotations, remote_node_fn_impl,
};

}  // namespace sorvane::callback
