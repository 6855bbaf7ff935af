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
// first, so that when nothing changed no other object is read or called
// (design.md, "Departures").
#include "callback/callback.h"
#include "common/guards.h"
#include "common/kwcall.h"
#include "common/text.h"

namespace sorvane::callback {

namespace {

// The answers of ray_get, consumed from the front as `results.pop(0)` would.
// An exact list is read by index and its consumed prefix deleted once, when
// the pairing ends or fails, so the list ends as the pops would leave it
// without the quadratic cost of popping from the front; any other object
// gets its own pop(0) calls.
class Results {
public:
    explicit Results(Ref results) noexcept
        : results_(std::move(results)), is_list_(PyList_CheckExact(results_.get())) {}
    Results(const Results&) = delete;
    Results& operator=(const Results&) = delete;

    ~Results() {
        if (!finished_) {
            // The pairing failed: trim all the same, keeping its exception.
            PyObject* exc = PyErr_GetRaisedException();
            if (!trim()) {
                PyErr_Clear();
            }
            PyErr_SetRaisedException(exc);
        }
    }

    Ref pop() {
        if (!is_list_) {
            return call_method(results_.get(), kPop, integer(0).get());
        }
        // Re-read the size: the list may be shared with whoever returned it.
        if (consumed_ >= PyList_GET_SIZE(results_.get())) {
            raise(PyExc_IndexError, "pop from empty list");
        }
        return Ref::borrow(PyList_GET_ITEM(results_.get(), consumed_++));
    }

    void finish() { check(trim() ? 0 : -1); }

private:
    bool trim() noexcept {
        finished_ = true;
        if (!is_list_ || consumed_ == 0) {
            return true;
        }
        const Py_ssize_t size = PyList_GET_SIZE(results_.get());
        const Py_ssize_t end = consumed_ < size ? consumed_ : size;
        consumed_ = 0;
        return PyList_SetSlice(results_.get(), 0, end, nullptr) == 0;
    }

    Ref results_;
    bool is_list_;
    Py_ssize_t consumed_ = 0;
    bool finished_ = false;
};

// What the first pass submitted for, in order: placements and service ids,
// or nodes. The second pass must meet them again, item by item.
class Submitted {
public:
    explicit Submitted(const char* what) : what_(what), items_(new_list()) {}

    void add(PyObject* item) { append(items_.get(), item); }

    // `item` must be the next one submitted for: the same object, or with
    // `equal`, one that compares equal. RuntimeError if not.
    void meet(PyObject* item, bool equal) {
        if (next_ < PyList_GET_SIZE(items_.get())) {
            Ref expected = Ref::borrow(PyList_GET_ITEM(items_.get(), next_));
            if (expected.get() == item ||
                (equal && check(PyObject_RichCompareBool(expected.get(), item, Py_EQ)))) {
                ++next_;
                return;
            }
        }
        changed();
    }

    // Every item submitted for must have been met. RuntimeError if not.
    void end() {
        if (next_ != PyList_GET_SIZE(items_.get())) {
            changed();
        }
    }

private:
    [[noreturn]] void changed() {
        PyErr_Format(PyExc_RuntimeError,
                     "%s changed while the remote calls were awaited; "
                     "their answers cannot be paired",
                     what_);
        propagate();
    }

    const char* what_;
    Ref items_;
    Py_ssize_t next_ = 0;
};

// ray.get_actor(f"{infr.id}/{node}"), reading ray, get_actor, infr.id and
// then the node name through `node_name`, in that order.
template <typename NodeName>
Ref get_actor(const Call& call, PyObject* infr, NodeName node_name) {
    Ref ray = call.global(kRay);
    Ref lookup = getattr(ray.get(), kGetActor);
    Ref infr_id = getattr(infr, kId);
    Ref node = node_name();
    Ref name = join_text(infr_id.get(), '/', node.get());
    return sorvane::call(lookup.get(), name.get());
}

// handle.entrypoint.remote(first, fn, **event_data)
Ref submit(PyObject* handle, PyObject* first, PyObject* fn, KeywordCaller& keywords) {
    Ref entrypoint = getattr(handle, kEntrypoint);
    Ref remote = getattr(entrypoint.get(), kRemote);
    return keywords(remote.get(), {first, fn});
}

Ref wait_all(const Call& call, PyObject* remotes) {
    Ref ray_get = call.global(kRayGet);
    return sorvane::call(ray_get.get(), remotes);
}

// pl.mapping, as an `if` tests it.
bool is_placed(PyObject* pl) { return truth(getattr(pl, kMapping).get()); }

// pl.mapping[s], read anew each time it is needed.
Ref node_of(PyObject* pl, PyObject* s) { return getitem(getattr(pl, kMapping).get(), s); }

// iter(obj.<name>): the attribute itself, not a call of it.
Ref iterate_attr(PyObject* obj, PyObject* name) {
    return check(PyObject_GetIter(getattr(obj, name).get()));
}

// iter(pl.application.nodes)
Ref iterate_services(PyObject* pl) { return iterate_attr(getattr(pl, kApplication).get(), kNodes); }

// The default factory of the actor-handle cache: `lambda: None`.
Ref none_factory(const Call&) { return Ref::borrow(Py_None); }

const Signature none_factory_signature{
    .qualname = "_remote_service_fn.<locals>.<lambda>",
    .doc = kNoDoc,
    .body = body<none_factory>,
};

Ref remote_service_fn(const Call& call, PyObject* fn, PyObject* placements, PyObject* infr) {
    Ref defaultdict = call.global(kDefaultdict);
    // A new factory on each call, as a lambda in the body would be.
    Ref factory = make_function(none_factory_signature, call.module());
    Ref engines = sorvane::call(defaultdict.get(), factory.get());
    Ref remotes = new_list();
    KeywordCaller keywords(call.varkw(), 2);
    Submitted submitted("the placements");
    LoopGuard guard;

    // First pass: look each node's actor up once, submit one call per service.
    Ref iter = iterate_placements(placements);
    for_each_item(iter.get(), [&](PyObject* pl) {
        if (!is_placed(pl)) {
            return;
        }
        Ref services = iterate_services(pl);
        for_each_item(services.get(), [&](PyObject* s) {
            guard.step();
            Ref node = node_of(pl, s);
            if (getitem(engines.get(), node.get()).get() == Py_None) {
                Ref handle = get_actor(call, infr, [&] { return node_of(pl, s); });
                setitem(engines.get(), node_of(pl, s).get(), handle.get());
            }
            Ref handle = getitem(engines.get(), node_of(pl, s).get());
            Ref ref = submit(handle.get(), s, fn, keywords);
            append(remotes.get(), ref.get());
            submitted.add(pl);
            submitted.add(s);
        });
    });

    Results results(wait_all(call, remotes.get()));

    // Second pass: the same walk, pairing answers with services by position.
    Ref result = new_dict();
    iter = iterate_placements(placements);
    for_each_item(iter.get(), [&](PyObject* pl) {
        if (!is_placed(pl)) {
            return;
        }
        Ref application = getattr(pl, kApplication);
        Ref key = getattr(application.get(), kId);
        Ref inner = new_dict();
        Ref services = iterate_services(pl);
        for_each_item(services.get(), [&](PyObject* s) {
            guard.step();
            submitted.meet(pl, false);
            submitted.meet(s, true);
            Ref value = results.pop();
            check(PyDict_SetItem(inner.get(), s, value.get()));
        });
        check(PyDict_SetItem(result.get(), key.get(), inner.get()));
    });
    submitted.end();
    results.finish();
    return result;
}

Ref remote_node_fn(const Call& call, PyObject* fn, PyObject* infr) {
    Ref remotes = new_list();
    KeywordCaller keywords(call.varkw(), 2);
    Submitted submitted("the infrastructure's nodes");
    LoopGuard guard;

    // First pass: one actor lookup and one call per node, no cache.
    Ref iter = iterate_attr(infr, kNodes);
    for_each_item(iter.get(), [&](PyObject* node) {
        guard.step();
        Ref engine = get_actor(call, infr, [&] { return Ref::borrow(node); });
        Ref ref = submit(engine.get(), Py_None, fn, keywords);
        append(remotes.get(), ref.get());
        submitted.add(node);
    });

    Results results(wait_all(call, remotes.get()));

    // Second pass: infr.nodes walked anew, answers paired by position.
    Ref result = new_dict();
    iter = iterate_attr(infr, kNodes);
    for_each_item(iter.get(), [&](PyObject* node) {
        guard.step();
        submitted.meet(node, true);
        Ref value = results.pop();
        check(PyDict_SetItem(result.get(), node, value.get()));
    });
    submitted.end();
    results.finish();
    return result;
}

constexpr Param kServiceParams[] = {kFnParam, kPlacementsParam, kInfrParam};
constexpr Param kNodeParams[] = {kFnParam, kInfrParam};

}  // namespace

const Signature remote_service_fn_signature =
    collector_signature("_remote_service_fn", kServiceParams, body<remote_service_fn>);

const Signature remote_node_fn_signature =
    collector_signature("_remote_node_fn", kNodeParams, body<remote_node_fn>);

}  // namespace sorvane::callback
