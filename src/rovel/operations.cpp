// RemoteSimRovel: the life-cycle operations on the node actors.
//
// Every operation first builds its whole work list through _get_remotes, so a
// node whose actor cannot be found fails the operation before any node has
// been asked to do anything. Then it submits one ops_entrypoint call per
// service, waits for all of them with a single ray_get, and updates the
// placement only once _handle_error has accepted every answer.
//
// When some nodes answer with the error code and others do not, the
// ValueError of _handle_error is raised as it is, but first what the other
// answers did is kept (an undeploy stores the services that the nodes handed
// back), and the error says which services failed on which node: in a note,
// and in its attribute `failed`, a dict of node -> [service ids] (design.md,
// "Departures").
#include <algorithm>
#include <cstring>

#include "common/imports.h"
#include "common/text.h"
#include "common/unpack.h"
#include "rovel/rovel.h"

namespace sorvane::rovel {

namespace {

// placement.application.services, read anew at each use.
Ref services_of(PyObject* placement) {
    return getattr(getattr(placement, kApplication).get(), kServices);
}

// ---------------------------------------------------------------------------
// _get_remotes

Ref get_remotes(const Call& call, PyObject* placement) {
    Ref remotes = new_list();
    Ref services = services_of(placement);
    for_each(services.get(), [&](PyObject* service_id) {
        Ref node_name = call_method(placement, kServicePlacement, service_id);
        Ref ray = call.global(kRay);
        Ref get_actor = getattr(ray.get(), kGetActor);
        Ref infrastructure = getattr(placement, kInfrastructure);
        Ref infrastructure_id = getattr(infrastructure.get(), kId);
        Ref actor_name = join_text(infrastructure_id.get(), '/', node_name.get());
        Ref node = sorvane::call(get_actor.get(), actor_name.get());
        Ref service = getitem(services_of(placement).get(), service_id);
        Ref pair = check(PyTuple_Pack(2, node.get(), service.get()));
        append(remotes.get(), pair.get());
    });
    return remotes;
}

// ---------------------------------------------------------------------------
// What the four operations share

// node.ops_entrypoint.remote(RemoteOps.<member>, service_id=service.id[,
// service=service])
Ref submit(const Call& call, PyObject* node, PyObject* service, PyObject* member,
           PyObject* kwnames) {
    Ref entrypoint = getattr(node, kOpsEntrypoint);
    Ref remote = getattr(entrypoint.get(), kRemote);
    Ref ops = call.global(kRemoteOps);
    Ref op = getattr(ops.get(), member);
    Ref service_id = getattr(service, kId);
    // A spare slot in front lets a bound method prepend its self in place.
    PyObject* args[] = {nullptr, op.get(), service_id.get(), service};
    return check(
        PyObject_Vectorcall(remote.get(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// The work list of an operation and its answers.
struct Answers {
    Ref work;
    Ref results;
};

// Submits the operation for every (node, service) of the work list and waits
// for all the answers; `with_service` says whether the service itself is
// sent, besides its id.
Answers perform(const Call& call, PyObject* placement, PyObject* member, bool with_service) {
    Ref kwnames = check(with_service ? PyTuple_Pack(2, kServiceId.get(), kService.get())
                                     : PyTuple_Pack(1, kServiceId.get()));
    Ref ray_get = call.global(kRayGet);
    Ref refs = new_list();
    Ref cls = call.global(kRemoteSimRovel);
    Ref get_remotes_fn = getattr(cls.get(), kUnderGetRemotes);
    Answers answers{sorvane::call(get_remotes_fn.get(), placement), {}};
    for_each(answers.work.get(), [&](PyObject* entry) {
        Ref pair[2];
        unpack(entry, 2, pair);
        Ref ref = submit(call, pair[0].get(), pair[1].get(), member, kwnames.get());
        append(refs.get(), ref.get());
    });
    answers.results = sorvane::call(ray_get.get(), refs.get());
    return answers;
}

// The services whose answer is the error code, by node: {node: [service ids]},
// pairing the work list with the codes by position, and the note that says it.
Ref failures(const Call& call, PyObject* placement, PyObject* work, PyObject* codes, Ref& note) {
    Ref entries = check(PySequence_Tuple(work));
    Ref answers = check(PySequence_Tuple(codes));
    Ref failed = new_dict();
    Ref lines = new_list();
    const Py_ssize_t n = std::min(PyTuple_GET_SIZE(entries.get()), PyTuple_GET_SIZE(answers.get()));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!is_error(call, PyTuple_GET_ITEM(answers.get(), i))) {
            continue;
        }
        Ref pair[2];
        unpack(PyTuple_GET_ITEM(entries.get(), i), 2, pair);
        Ref service_id = getattr(pair[1].get(), kId);
        Ref node = call_method(placement, kServicePlacement, service_id.get());
        PyObject* ids = PyDict_GetItemWithError(failed.get(), node.get());  // borrowed
        if (ids == nullptr) {
            if (PyErr_Occurred()) {
                propagate();
            }
            Ref fresh = new_list();
            check(PyDict_SetItem(failed.get(), node.get(), fresh.get()));
            ids = fresh.get();
        }
        append(ids, service_id.get());
        Ref line =
            check(PyUnicode_FromFormat("service %R on node %R", service_id.get(), node.get()));
        append(lines.get(), line.get());
    }
    Ref separator = check(PyUnicode_FromString(", "));
    Ref joined = check(PyUnicode_Join(separator.get(), lines.get()));
    note = check(PyUnicode_FromFormat("failed: %U", joined.get()));
    return failed;
}

// With the ValueError of _handle_error set: adds to it the services that
// failed, by node. What goes wrong on the way is left out; the ValueError
// stays the error raised.
void tell_failures(const Call& call, PyObject* placement, PyObject* work, PyObject* codes) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
        return;
    }
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    try {
        Ref note;
        Ref failed = failures(call, placement, work, codes, note);
        check(PyObject_SetAttrString(exc.get(), "failed", failed.get()));
        PyErr_SetRaisedException(exc.dup().release());
        add_note(note.get());
        PyErr_Clear();
    } catch (...) {
        // Whatever failed, a C++ exception of any kind included, is left out.
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exc.release());
}

// _handle_error(results), telling which services failed if it raises.
void check_answers(const Call& call, PyObject* placement, const Answers& answers) {
    Ref handle_error = call.global(kUnderHandleError);
    Ref ok = Ref::steal(PyObject_CallOneArg(handle_error.get(), answers.results.get()));
    if (!ok) {
        tell_failures(call, placement, answers.work.get(), answers.results.get());
        propagate();
    }
}

// ---------------------------------------------------------------------------
// deploy, start, stop

Ref deploy(const Call& call, PyObject* placement) {
    check_answers(call, placement, perform(call, placement, kDEPLOY, true));
    setattr(placement, kUnderDeployed, Py_True);
    return Ref::borrow(Py_None);
}

Ref start(const Call& call, PyObject* placement) {
    check_answers(call, placement, perform(call, placement, kSTART, false));
    return Ref::borrow(Py_None);
}

Ref stop(const Call& call, PyObject* placement) {
    check_answers(call, placement, perform(call, placement, kSTOP, false));
    return Ref::borrow(Py_None);
}

// ---------------------------------------------------------------------------
// undeploy

// obj.<name>, or a null Ref when there is no such attribute.
Ref optional_attr(PyObject* obj, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(obj, name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return {};
    }
    return value ? std::move(value) : check(nullptr);
}

// How the interpreter names a callable in its call errors: "zip()" for a
// built-in, "module.qualname()" otherwise, str(callable) without a qualname.
Ref function_str(PyObject* callable) {
    Ref qualname = optional_attr(callable, kDunderQualname);
    if (!qualname) {
        return check(PyObject_Str(callable));
    }
    Ref module = optional_attr(callable, kDunderModule);
    if (module && module.get() != Py_None &&
        check(PyObject_RichCompareBool(module.get(), kBuiltins, Py_NE))) {
        return check(PyUnicode_FromFormat("%S.%S()", module.get(), qualname.get()));
    }
    return check(PyUnicode_FromFormat("%S()", qualname.get()));
}

// The positional arguments of zip(*results), made as a call with a starred
// argument makes them.
Ref star_args(const Call& call, PyObject* results) {
    if (PyTuple_CheckExact(results)) {
        return Ref::borrow(results);
    }
    if (Py_TYPE(results)->tp_iter == nullptr && !PySequence_Check(results)) {
        Ref shown = function_str(call.state<RovelState>().zip);
        PyErr_Format(PyExc_TypeError, "%U argument after * must be an iterable, not %.200s",
                     shown.get(), Py_TYPE(results)->tp_name);
        propagate();
    }
    return check(PySequence_Tuple(results));
}

// Stores each service a node handed back under its own id, or with
// `successes_only`, each whose code is not the error code; a node that hands
// back None (a service it no longer held) leaves the entry as it is.
void store_services(const Call& call, PyObject* placement, PyObject* codes, PyObject* new_services,
                    bool successes_only) {
    Ref code_iter = successes_only ? check(PyObject_GetIter(codes)) : Ref{};
    for_each(new_services, [&](PyObject* new_service) {
        if (successes_only) {
            Ref code = Ref::steal(PyIter_Next(code_iter.get()));
            if (!code) {
                check(PyErr_Occurred() ? -1 : 0);
                return;
            }
            if (is_error(call, code.get())) {
                return;
            }
        }
        if (new_service == Py_None) {
            return;
        }
        Ref services = services_of(placement);
        Ref service_id = getattr(new_service, kId);
        check(PyObject_SetItem(services.get(), service_id.get(), new_service));
    });
}

Ref undeploy(const Call& call, PyObject* placement) {
    Answers answers = perform(call, placement, kUNDEPLOY, false);

    // codes, new_services = zip(*results)
    Ref args = star_args(call, answers.results.get());
    Ref split[2];
    if (PyTuple_GET_SIZE(args.get()) == 0) {
        // zip() yields no rows at all, so unpacking it would fail for an
        // application with no services; nothing was undeployed, and nothing
        // failed.
        split[0] = check(PyTuple_New(0));
        split[1] = check(PyTuple_New(0));
    } else {
        Ref rows = check(PyObject_Call(call.state<RovelState>().zip, args.get(), nullptr));
        unpack(rows.get(), 2, split);
    }
    PyObject* codes = split[0].get();
    PyObject* new_services = split[1].get();

    // _handle_error(cast(List[ResponseCode], codes))
    Ref handle_error = call.global(kUnderHandleError);
    Ref cast = call.global(kCast);
    Ref list = call.global(kList);
    Ref response_code = call.global(kResponseCode);
    Ref codes_type = getitem(list.get(), response_code.get());
    Ref typed = sorvane::call(cast.get(), codes_type.get(), codes);
    if (!Ref::steal(PyObject_CallOneArg(handle_error.get(), typed.get()))) {
        if (PyErr_ExceptionMatches(PyExc_ValueError)) {
            // The services the other nodes removed are gone from them: their
            // last state is kept, whatever failed elsewhere.
            Ref exc = Ref::steal(PyErr_GetRaisedException());
            try {
                store_services(call, placement, codes, new_services, true);
            } catch (...) {
                set_error_from_current_exception();
                Ref lost = Ref::steal(PyErr_GetRaisedException());
                Ref note = Ref::steal(PyUnicode_FromFormat(
                    "storing the services that the other nodes handed back failed: %R",
                    lost.get()));
                PyErr_SetRaisedException(exc.dup().release());
                if (note) {
                    add_note(note.get());
                }
                PyErr_Clear();
            }
            PyErr_SetRaisedException(exc.release());
            tell_failures(call, placement, answers.work.get(), codes);
        }
        propagate();
    }

    // The nodes answer with the state the services had when they left, which
    // replaces the placement's own.
    store_services(call, placement, codes, new_services, false);
    setattr(placement, kUnderDeployed, Py_False);
    return Ref::borrow(Py_None);
}

// ---------------------------------------------------------------------------
// The class

constexpr Param kParams[] = {param("placement", "Placement")};

#define ARGS                                                                           \
    "\n"                                                                               \
    "        Args:\n"                                                                  \
    "            placement (Placement): The placement mapping of the services to the " \
    "nodes.\n"
#define RAISES                                                                             \
    "\n"                                                                                   \
    "        Raises:\n"                                                                    \
    "            ValueError: If any of the responses from the remote nodes is an error.\n" \
    "        "
#define OPERATION(op, summary)                                                                 \
    Signature {                                                                                \
        .qualname = "RemoteSimRovel." #op, .params = kParams, .doc = summary "\n" ARGS RAISES, \
        .body = body<op>,                                                                      \
    }

const Signature operation_signatures[] = {
    OPERATION(deploy,
              "Deploy the services to the remote nodes, according to the placement mapping."),
    OPERATION(start, "Start the deployed services on the remote nodes."),
    OPERATION(stop, "Stop the running services on the remote nodes."),
    OPERATION(undeploy, "Undeploy the services from the remote nodes."),
};

const Signature get_remotes_signature{
    .qualname = "RemoteSimRovel._get_remotes",
    .params = kParams,
    .returns = "List[Tuple[RemoteNode, Service]]",
    .doc = "Get the remote nodes (ray actors) and Services to perform the operation.\n" ARGS
           "\n"
           "        Returns:\n"
           "            List[Tuple[RemoteNode, Service]]: The list of tuples containing the remote "
           "nodes and\n"
           "                the services to perform the operation.\n"
           "        ",
    .body = body<get_remotes>,
};

#undef OPERATION
#undef RAISES
#undef ARGS

const char kClassDoc[] =
    "A RemoteSimRovel performs the operations on the remote nodes.\n"
    "\n"
    "    Available operations are: deploy, start, stop and undeploy.\n"
    "    ";

// ns[name] = staticmethod(<native function>)
void add_static(PyObject* ns, PyObject* module, RovelState& state, const Signature& s) {
    Ref fn = make_function(s, module);
    bind(ns, std::strrchr(s.qualname, '.') + 1, sorvane::call(state.staticmethod, fn.get()).get());
}

}  // namespace

Ref make_rovel_class(PyObject* module, RovelState& state) {
    Ref ns = class_namespace(module, "RemoteSimRovel", kClassDoc);
    for (const Signature& s : operation_signatures) {
        add_static(ns.get(), module, state, s);
    }
    add_static(ns.get(), module, state, get_remotes_signature);
    return make_class("RemoteSimRovel", ns.get());
}

}  // namespace sorvane::rovel
