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
// and in its attribute `failed`, a dict of node -> [service ids].
#include <algorithm>

#include "common/names.h"
#include "common/object.h"
#include "common/text.h"
#include "common/unpack.h"
#include "rovel/rovel.h"

namespace sorvane::rovel {

namespace {

Name g_ray{"ray"};
Name g_ray_get{"ray_get"};
Name g_remote_sim_rovel{"RemoteSimRovel"};
Name g_remote_ops{"RemoteOps"};
Name g_handle_error{"_handle_error"};
Name g_cast{"cast"};
Name g_list{"List"};
Name g_response_code{"ResponseCode"};
Name a_application{"application"};
Name a_services{"services"};
Name a_service_placement{"service_placement"};
Name a_get_actor{"get_actor"};
Name a_infrastructure{"infrastructure"};
Name a_id{"id"};
Name a_get_remotes{"_get_remotes"};
Name a_ops_entrypoint{"ops_entrypoint"};
Name a_remote{"remote"};
Name a_deployed{"_deployed"};
Name op_deploy{"DEPLOY"};
Name op_start{"START"};
Name op_stop{"STOP"};
Name op_undeploy{"UNDEPLOY"};
Name k_service_id{"service_id"};
Name k_service{"service"};
Name a_qualname{"__qualname__"};
Name a_module{"__module__"};
Name a_add_note{"add_note"};
Name s_name{"__name__"};
Name s_builtins{"builtins"};

// placement.application.services, read anew at each use.
Ref services_of(PyObject* placement) {
    Ref application = getattr(placement, a_application);
    return application ? getattr(application.get(), a_services) : Ref{};
}

// ---------------------------------------------------------------------------
// _get_remotes

PyObject* get_remotes_impl(PyObject* function, PyObject* const* p, PyObject*, PyObject*) {
    PyObject* placement = p[0];
    Ref remotes = Ref::steal(PyList_New(0));
    if (!remotes) {
        return nullptr;
    }
    Ref services = services_of(placement);
    if (!services) {
        return nullptr;
    }
    Ref iter = Ref::steal(PyObject_GetIter(services.get()));
    if (!iter) {
        return nullptr;
    }
    while (Ref service_id = Ref::steal(PyIter_Next(iter.get()))) {
        Ref node_name = call_method(placement, a_service_placement, service_id.get());
        if (!node_name) {
            return nullptr;
        }
        Ref ray = function_global(function, g_ray);
        if (!ray) {
            return nullptr;
        }
        Ref get_actor = getattr(ray.get(), a_get_actor);
        if (!get_actor) {
            return nullptr;
        }
        Ref infrastructure = getattr(placement, a_infrastructure);
        if (!infrastructure) {
            return nullptr;
        }
        Ref infrastructure_id = getattr(infrastructure.get(), a_id);
        if (!infrastructure_id) {
            return nullptr;
        }
        Ref actor_name = join_text(infrastructure_id.get(), '/', node_name.get());
        if (!actor_name) {
            return nullptr;
        }
        Ref node = call_one(get_actor.get(), actor_name.get());
        if (!node) {
            return nullptr;
        }
        Ref current = services_of(placement);
        if (!current) {
            return nullptr;
        }
        Ref service = getitem(current.get(), service_id.get());
        if (!service) {
            return nullptr;
        }
        Ref pair = Ref::steal(PyTuple_Pack(2, node.get(), service.get()));
        if (!pair || PyList_Append(remotes.get(), pair.get()) < 0) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    return remotes.release();
}

// ---------------------------------------------------------------------------
// What the four operations share

// node.ops_entrypoint.remote(RemoteOps.<member>, service_id=service.id[,
// service=service])
Ref submit(PyObject* function, PyObject* node, PyObject* service, PyObject* member,
           PyObject* kwnames) {
    Ref entrypoint = getattr(node, a_ops_entrypoint);
    if (!entrypoint) {
        return {};
    }
    Ref remote = getattr(entrypoint.get(), a_remote);
    if (!remote) {
        return {};
    }
    Ref ops = function_global(function, g_remote_ops);
    if (!ops) {
        return {};
    }
    Ref op = getattr(ops.get(), member);
    if (!op) {
        return {};
    }
    Ref service_id = getattr(service, a_id);
    if (!service_id) {
        return {};
    }
    // A spare slot in front lets a bound method prepend its self in place.
    PyObject* args[] = {nullptr, op.get(), service_id.get(), service};
    return Ref::steal(PyObject_Vectorcall(remote.get(), args + 1,
                                          1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// Submits the operation for every (node, service) of the work list, which it
// keeps in `work`, and waits for all the answers; `kwnames` says whether the
// service itself is sent.
Ref perform(PyObject* function, PyObject* placement, PyObject* member, PyObject* kwnames,
            Ref& work) {
    Ref ray_get = function_global(function, g_ray_get);
    if (!ray_get) {
        return {};
    }
    Ref refs = Ref::steal(PyList_New(0));
    if (!refs) {
        return {};
    }
    Ref cls = function_global(function, g_remote_sim_rovel);
    if (!cls) {
        return {};
    }
    Ref get_remotes = getattr(cls.get(), a_get_remotes);
    if (!get_remotes) {
        return {};
    }
    work = call_one(get_remotes.get(), placement);
    if (!work) {
        return {};
    }
    Ref iter = Ref::steal(PyObject_GetIter(work.get()));
    if (!iter) {
        return {};
    }
    while (Ref entry = Ref::steal(PyIter_Next(iter.get()))) {
        Ref pair[2];
        if (!unpack(entry.get(), 2, pair)) {
            return {};
        }
        Ref ref = submit(function, pair[0].get(), pair[1].get(), member, kwnames);
        if (!ref || PyList_Append(refs.get(), ref.get()) < 0) {
            return {};
        }
    }
    if (PyErr_Occurred()) {
        return {};
    }
    return call_one(ray_get.get(), refs.get());
}

// The keyword names of one submission: service_id alone, or with service.
Ref keywords(bool with_service) {
    return Ref::steal(with_service ? PyTuple_Pack(2, k_service_id.get(), k_service.get())
                                   : PyTuple_Pack(1, k_service_id.get()));
}

// The services whose answer is the error code, by node: {node: [service ids]},
// pairing the work list with the codes by position, and the note that says
// it. Null, with an exception set, if anything on the way fails.
Ref failures(PyObject* function, PyObject* placement, PyObject* work, PyObject* codes,
             Ref& note) {
    Ref entries = Ref::steal(PySequence_Tuple(work));
    Ref answers = entries ? Ref::steal(PySequence_Tuple(codes)) : Ref{};
    Ref failed = Ref::steal(PyDict_New());
    Ref lines = Ref::steal(PyList_New(0));
    if (!answers || !failed || !lines) {
        return {};
    }
    const Py_ssize_t n = std::min(PyTuple_GET_SIZE(entries.get()), PyTuple_GET_SIZE(answers.get()));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const int error = is_error(function, PyTuple_GET_ITEM(answers.get(), i));
        if (error <= 0) {
            if (error < 0) {
                return {};
            }
            continue;
        }
        Ref pair[2];
        if (!unpack(PyTuple_GET_ITEM(entries.get(), i), 2, pair)) {
            return {};
        }
        Ref service_id = getattr(pair[1].get(), a_id);
        Ref node = service_id ? call_method(placement, a_service_placement, service_id.get()) : Ref{};
        if (!node) {
            return {};
        }
        PyObject* ids = PyDict_GetItemWithError(failed.get(), node.get());  // borrowed
        if (ids == nullptr) {
            Ref fresh = PyErr_Occurred() ? Ref{} : Ref::steal(PyList_New(0));
            if (!fresh || PyDict_SetItem(failed.get(), node.get(), fresh.get()) < 0) {
                return {};
            }
            ids = fresh.get();
        }
        Ref line = Ref::steal(PyUnicode_FromFormat("service %R on node %R", service_id.get(), node.get()));
        if (PyList_Append(ids, service_id.get()) < 0 || !line ||
            PyList_Append(lines.get(), line.get()) < 0) {
            return {};
        }
    }
    Ref separator = Ref::steal(PyUnicode_FromString(", "));
    Ref joined = separator ? Ref::steal(PyUnicode_Join(separator.get(), lines.get())) : Ref{};
    note = joined ? Ref::steal(PyUnicode_FromFormat("failed: %U", joined.get())) : Ref{};
    return note ? std::move(failed) : Ref{};
}

// With the ValueError of _handle_error set: adds to it the services that
// failed, by node. What goes wrong on the way is left out; the ValueError
// stays the error raised.
void tell_failures(PyObject* function, PyObject* placement, PyObject* work, PyObject* codes) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
        return;
    }
    PyObject* exc = PyErr_GetRaisedException();
    Ref note;
    Ref failed = failures(function, placement, work, codes, note);
    if (!failed || PyObject_SetAttrString(exc, "failed", failed.get()) < 0 ||
        !call_method(exc, a_add_note, note.get())) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exc);
}

// _handle_error(results), telling which services failed if it raises.
bool check(PyObject* function, PyObject* placement, PyObject* work, PyObject* results) {
    Ref handle_error = function_global(function, g_handle_error);
    if (!handle_error) {
        return false;
    }
    if (call_one(handle_error.get(), results)) {
        return true;
    }
    tell_failures(function, placement, work, results);
    return false;
}

// The operations whose answers are response codes: submit, wait, check.
bool perform_checked(PyObject* function, PyObject* placement, PyObject* member,
                     bool with_service) {
    Ref kwnames = keywords(with_service);
    if (!kwnames) {
        return false;
    }
    Ref work;
    Ref results = perform(function, placement, member, kwnames.get(), work);
    return results && check(function, placement, work.get(), results.get());
}

// ---------------------------------------------------------------------------
// deploy, start, stop

PyObject* deploy_impl(PyObject* function, PyObject* const* p, PyObject*, PyObject*) {
    if (!perform_checked(function, p[0], op_deploy, true) ||
        !setattr(p[0], a_deployed, Py_True)) {
        return nullptr;
    }
    return new_none();
}

PyObject* start_impl(PyObject* function, PyObject* const* p, PyObject*, PyObject*) {
    return perform_checked(function, p[0], op_start, false) ? new_none() : nullptr;
}

PyObject* stop_impl(PyObject* function, PyObject* const* p, PyObject*, PyObject*) {
    return perform_checked(function, p[0], op_stop, false) ? new_none() : nullptr;
}

// ---------------------------------------------------------------------------
// undeploy

// obj.<name>, or a null Ref without an exception when there is no such
// attribute; false with the exception set on any other failure.
bool optional_attr(PyObject* obj, PyObject* name, Ref& out) {
    out = getattr(obj, name);
    if (out || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return static_cast<bool>(out);
    }
    PyErr_Clear();
    return true;
}

// How the interpreter names a callable in its call errors: "zip()" for a
// built-in, "module.qualname()" otherwise, str(callable) without a qualname.
Ref function_str(PyObject* callable) {
    Ref qualname;
    if (!optional_attr(callable, a_qualname, qualname)) {
        return {};
    }
    if (!qualname) {
        return Ref::steal(PyObject_Str(callable));
    }
    Ref module;
    if (!optional_attr(callable, a_module, module)) {
        return {};
    }
    if (module && module.get() != Py_None) {
        const int other = PyObject_RichCompareBool(module.get(), s_builtins, Py_NE);
        if (other < 0) {
            return {};
        }
        if (other) {
            return Ref::steal(PyUnicode_FromFormat("%S.%S()", module.get(), qualname.get()));
        }
    }
    return Ref::steal(PyUnicode_FromFormat("%S()", qualname.get()));
}

// The positional arguments of zip(*results), made as a call with a starred
// argument makes them.
Ref star_args(PyObject* results) {
    if (PyTuple_CheckExact(results)) {
        return Ref::borrow(results);
    }
    if (Py_TYPE(results)->tp_iter == nullptr && !PySequence_Check(results)) {
        Ref shown = function_str(bound.zip);
        if (shown) {
            PyErr_Format(PyExc_TypeError, "%U argument after * must be an iterable, not %.200s",
                         shown.get(), Py_TYPE(results)->tp_name);
        }
        return {};
    }
    return Ref::steal(PySequence_Tuple(results));
}

// Stores each service a node handed back under its own id, or with
// `successes_only`, each whose code is not the error code; a node that hands
// back None (a service it no longer held) leaves the entry as it is.
bool store_services(PyObject* function, PyObject* placement, PyObject* codes,
                    PyObject* new_services, bool successes_only) {
    Ref iter = Ref::steal(PyObject_GetIter(new_services));
    Ref code_iter = successes_only ? Ref::steal(PyObject_GetIter(codes)) : Ref{};
    if (!iter || (successes_only && !code_iter)) {
        return false;
    }
    while (Ref new_service = Ref::steal(PyIter_Next(iter.get()))) {
        if (successes_only) {
            Ref code = Ref::steal(PyIter_Next(code_iter.get()));
            if (!code) {
                return !PyErr_Occurred();
            }
            const int error = is_error(function, code.get());
            if (error) {
                if (error < 0) {
                    return false;
                }
                continue;
            }
        }
        if (new_service.get() == Py_None) {
            continue;
        }
        Ref services = services_of(placement);
        if (!services) {
            return false;
        }
        Ref service_id = getattr(new_service.get(), a_id);
        if (!service_id ||
            PyObject_SetItem(services.get(), service_id.get(), new_service.get()) < 0) {
            return false;
        }
    }
    return !PyErr_Occurred();
}

PyObject* undeploy_impl(PyObject* function, PyObject* const* p, PyObject*, PyObject*) {
    PyObject* placement = p[0];
    Ref kwnames = keywords(false);
    if (!kwnames) {
        return nullptr;
    }
    Ref work;
    Ref results = perform(function, placement, op_undeploy, kwnames.get(), work);
    if (!results) {
        return nullptr;
    }

    // codes, new_services = zip(*results)
    Ref args = star_args(results.get());
    if (!args) {
        return nullptr;
    }
    Ref split[2];
    if (PyTuple_GET_SIZE(args.get()) == 0) {
        // zip() yields no rows at all, so unpacking it would fail for an
        // application with no services; nothing was undeployed, and nothing
        // failed.
        split[0] = Ref::steal(PyTuple_New(0));
        split[1] = Ref::steal(PyTuple_New(0));
        if (!split[0] || !split[1]) {
            return nullptr;
        }
    } else {
        Ref rows = Ref::steal(PyObject_Call(bound.zip, args.get(), nullptr));
        if (!rows || !unpack(rows.get(), 2, split)) {
            return nullptr;
        }
    }
    PyObject* codes = split[0].get();
    PyObject* new_services = split[1].get();

    // _handle_error(cast(List[ResponseCode], codes))
    Ref handle_error = function_global(function, g_handle_error);
    if (!handle_error) {
        return nullptr;
    }
    Ref cast = function_global(function, g_cast);
    if (!cast) {
        return nullptr;
    }
    Ref list = function_global(function, g_list);
    if (!list) {
        return nullptr;
    }
    Ref response_code = function_global(function, g_response_code);
    if (!response_code) {
        return nullptr;
    }
    Ref codes_type = getitem(list.get(), response_code.get());
    if (!codes_type) {
        return nullptr;
    }
    PyObject* cast_args[] = {nullptr, codes_type.get(), codes};
    Ref typed = Ref::steal(PyObject_Vectorcall(cast.get(), cast_args + 1,
                                               2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!typed) {
        return nullptr;
    }
    if (!call_one(handle_error.get(), typed.get())) {
        if (PyErr_ExceptionMatches(PyExc_ValueError)) {
            // The services the other nodes removed are gone from them: their
            // last state is kept, whatever failed elsewhere.
            PyObject* exc = PyErr_GetRaisedException();
            if (!store_services(function, placement, codes, new_services, true)) {
                Ref lost = Ref::steal(PyErr_GetRaisedException());
                Ref note = Ref::steal(PyUnicode_FromFormat(
                    "storing the services that the other nodes handed back failed: %R", lost.get()));
                if (!note || !call_method(exc, a_add_note, note.get())) {
                    PyErr_Clear();
                }
            }
            PyErr_SetRaisedException(exc);
            tell_failures(function, placement, work.get(), codes);
        }
        return nullptr;
    }

    // The nodes answer with the state the services had when they left, which
    // replaces the placement's own.
    if (!store_services(function, placement, codes, new_services, false) ||
        !setattr(placement, a_deployed, Py_False)) {
        return nullptr;
    }
    return new_none();
}

// ---------------------------------------------------------------------------
// The class

constexpr const char* kParams[] = {"placement"};
constexpr Annotation kAnnotations[] = {{"placement", "Placement"}};
constexpr Annotation kGetRemotesAnnotations[] = {
    {"placement", "Placement"},
    {"return", "List[Tuple[RemoteNode, Service]]"},
};

#define ARGS                                                                              \
    "\n"                                                                                  \
    "        Args:\n"                                                                     \
    "            placement (Placement): The placement mapping of the services to the "    \
    "nodes.\n"
#define RAISES                                                                            \
    "\n"                                                                                  \
    "        Raises:\n"                                                                   \
    "            ValueError: If any of the responses from the remote nodes is an error.\n" \
    "        "
#define OPERATION(op, impl, summary)                                                       \
    FunctionSpec {                                                                         \
        op, "RemoteSimRovel." op,                                                          \
            "RemoteSimRovel." op "(placement: Placement)\n" summary "\n" ARGS RAISES,      \
            kParams, nullptr, nullptr, kAnnotations, impl,                                 \
    }

const FunctionSpec operation_specs[] = {
    OPERATION("deploy", deploy_impl,
              "Deploy the services to the remote nodes, according to the placement mapping."),
    OPERATION("start", start_impl, "Start the deployed services on the remote nodes."),
    OPERATION("stop", stop_impl, "Stop the running services on the remote nodes."),
    OPERATION("undeploy", undeploy_impl, "Undeploy the services from the remote nodes."),
};

const FunctionSpec get_remotes_spec{
    "_get_remotes",
    "RemoteSimRovel._get_remotes",
    "RemoteSimRovel._get_remotes(placement: Placement) -> List[Tuple[RemoteNode, Service]]\n"
    "Get the remote nodes (ray actors) and Services to perform the operation.\n" ARGS
    "\n"
    "        Returns:\n"
    "            List[Tuple[RemoteNode, Service]]: The list of tuples containing the remote "
    "nodes and\n"
    "                the services to perform the operation.\n"
    "        ",
    kParams,
    nullptr,
    nullptr,
    kGetRemotesAnnotations,
    get_remotes_impl,
};

#undef OPERATION
#undef RAISES
#undef ARGS

const char kClassDoc[] =
    "A RemoteSimRovel performs the operations on the remote nodes.\n"
    "\n"
    "    Available operations are: deploy, start, stop and undeploy.\n"
    "    ";

bool add(PyObject* ns, const char* key, Ref value) {
    return value && PyDict_SetItemString(ns, key, value.get()) == 0;
}

// ns[name] = staticmethod(<native function>)
bool add_static(PyObject* ns, PyObject* globals, const FunctionSpec& spec) {
    Ref fn = make_function(spec, globals);
    return fn && add(ns, spec.name, call_one(bound.staticmethod, fn.get()));
}

}  // namespace

Ref make_rovel_class(PyObject* globals) noexcept {
    Ref ns = Ref::steal(PyDict_New());
    if (!ns) {
        return {};
    }
    Ref module_name = Ref::borrow(PyDict_GetItemWithError(globals, s_name));
    if (!module_name) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "module has no __name__");
        }
        return {};
    }
    if (!add(ns.get(), "__module__", std::move(module_name)) ||
        !add(ns.get(), "__qualname__", Ref::steal(PyUnicode_FromString("RemoteSimRovel"))) ||
        !add(ns.get(), "__doc__", Ref::steal(PyUnicode_FromString(kClassDoc)))) {
        return {};
    }
    for (const FunctionSpec& spec : operation_specs) {
        if (!add_static(ns.get(), globals, spec)) {
            return {};
        }
    }
    if (!add_static(ns.get(), globals, get_remotes_spec)) {
        return {};
    }
    Ref bases = Ref::steal(PyTuple_New(0));
    Ref name = Ref::steal(PyUnicode_FromString("RemoteSimRovel"));
    if (!bases || !name) {
        return {};
    }
    PyObject* args[] = {name.get(), bases.get(), ns.get()};
    return Ref::steal(
        PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), args, 3, nullptr));
}

}  // namespace sorvane::rovel
