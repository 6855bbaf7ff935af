// SorvaneCallback._call_by_type: runs the callback's logic once, by type.
//
// An event trigger reads the simulation state from its simulator and then,
// by the callback's type, calls the callback itself or hands its bound
// __call__ to one of the module's collectors. A callback trigger calls the
// callback with the triggering callback. Every collaborator (SorvaneEvent,
// SorvaneCallback, the collectors) is looked up in the module globals when it
// is needed, and `self.type` is read anew for every test.
#include "callback/callback.h"
#include "callback/fastattr.h"
#include "common/names.h"
#include "common/object.h"

namespace sorvane::callback {

namespace {

Name SorvaneEvent{"SorvaneEvent"};
Name SorvaneCallback{"SorvaneCallback"};
Name a_simulator{"simulator"};
Name a_placements{"placements"};
Name a_infrastructure{"infrastructure"};
Name a_placement_view{"placement_view"};
Name a_data{"data"};
Name a_remote{"_remote"};
Name a_call{"__call__"};

Name t_simulation{"simulation"};
Name t_application{"application"};
Name t_service{"service"};
Name t_interaction{"interaction"};
Name t_infrastructure{"infrastructure"};
Name t_node{"node"};
Name t_link{"link"};

Name g_application_fn{"_application_fn"};
Name g_service_fn{"_service_fn"};
Name g_remote_service_fn{"_remote_service_fn"};
Name g_interaction_fn{"_interaction_fn"};
Name g_infrastructure_fn{"_infrastructure_fn"};
Name g_node_fn{"_node_fn"};
Name g_remote_node_fn{"_remote_node_fn"};
Name g_link_fn{"_link_fn"};

// The reads of `self.type` by the dispatch tests. Every test reads it anew,
// which a subclass may rely on; when a read is pure (see type_read_is_pure)
// and nothing that could run code has happened since the previous one, that
// read would return the same object, so the previous value stands in for it.
class TypeReads {
public:
    explicit TypeReads(PyObject* self) noexcept : self_(self) {}

    Ref read() noexcept {
        if (last_) {
            return last_.dup();
        }
        const bool pure = type_read_is_pure(self_);
        Ref type = callback_type(self_);
        if (pure && type) {
            last_ = type.dup();
        }
        return type;
    }

    // self.type == type_name, as an `if` tests it: 1, 0, or -1 on error.
    int equals(PyObject* type_name) noexcept {
        Ref type = read();
        if (!type) {
            return -1;
        }
        if (type.get() == type_name) {
            return 1;  // the interned name itself: str.__eq__ would say so
        }
        // None and exact strs compare without running any code; anything
        // else may, and the next test must then read the attribute again.
        if (type.get() != Py_None && !PyUnicode_CheckExact(type.get())) {
            forget();
        }
        Ref eq = Ref::steal(PyObject_RichCompare(type.get(), type_name, Py_EQ));
        return eq ? PyObject_IsTrue(eq.get()) : -1;
    }

    // After anything that may have run code.
    void forget() noexcept { last_.reset(); }

private:
    PyObject* self_;
    Ref last_;
};

// self._remote, as an `if` tests it.
int is_remote(PyObject* self) {
    Ref remote = getattr(self, a_remote);
    return remote ? PyObject_IsTrue(remote.get()) : -1;
}

// Which of the simulation state a collector takes after `fn`.
enum Arg : unsigned { P = 1, I = 2, V = 4 };  // placements, infr, placement_view

struct Collector {
    const Name* name;
    unsigned args;
};

struct Branch {
    const Name& type_name;
    Collector local;
    Collector remote;  // name null: no remote variant, `_remote` is not read
};

const Branch branches[] = {
    {t_application, {&g_application_fn, P | I}, {}},
    {t_service, {&g_service_fn, P | I}, {&g_remote_service_fn, P | I}},
    {t_interaction, {&g_interaction_fn, P | I}, {}},
    {t_infrastructure, {&g_infrastructure_fn, I | V}, {}},
    {t_node, {&g_node_fn, P | I | V}, {&g_remote_node_fn, I}},
    {t_link, {&g_link_fn, P | I | V}, {}},
};

// collector(self.__call__, *state, **event.data), in the order of reads the
// dispatch makes them: the collector, then fn, then the event data.
Ref call_collector(PyObject* function, PyObject* self, PyObject* event,
                   const Collector& collector, PyObject* const state[3]) {
    Ref callable = function_global(function, *collector.name);
    if (!callable) {
        return {};
    }
    PyObject* args[4];
    Ref fn = getattr(self, a_call);
    if (!fn) {
        return {};
    }
    args[0] = fn.get();
    Py_ssize_t nargs = 1;
    for (unsigned i = 0; i < 3; ++i) {
        if (collector.args & (1u << i)) {
            args[nargs++] = state[i];
        }
    }
    Ref data = getattr(event, a_data);
    if (!data) {
        return {};
    }
    if (data.get() == Py_None) {
        PyErr_SetString(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
        return {};
    }
    // A copy either way: the collector must not share the event's dict.
    Ref kwargs = PyDict_CheckExact(data.get())
                     ? Ref::steal(PyDict_Copy(data.get()))
                     : call_one(reinterpret_cast<PyObject*>(&PyDict_Type), data.get());
    if (!kwargs) {
        return {};
    }
    return Ref::steal(PyObject_VectorcallDict(callable.get(), args, nargs, kwargs.get()));
}

PyObject* call_by_type_impl(PyObject* function, PyObject* const* p, PyObject*, PyObject*) {
    PyObject* self = p[0];
    PyObject* trigger = p[1];
    Ref result = Ref::borrow(Py_None);

    Ref event_type = function_global(function, SorvaneEvent);
    if (!event_type) {
        return nullptr;
    }
    const int is_event = PyObject_IsInstance(trigger, event_type.get());
    if (is_event < 0) {
        return nullptr;
    }
    if (is_event) {
        Ref simulator = getattr(trigger, a_simulator);
        if (!simulator) {
            return nullptr;
        }
        Ref placements = getattr(simulator.get(), a_placements);
        if (!placements) {
            return nullptr;
        }
        Ref infr = getattr(simulator.get(), a_infrastructure);
        if (!infr) {
            return nullptr;
        }
        Ref pv = getattr(simulator.get(), a_placement_view);
        if (!pv) {
            return nullptr;
        }

        // `self.type is None or self.type == "simulation"`: two reads unless
        // the first one is None.
        TypeReads type(self);
        Ref first = type.read();
        if (!first) {
            return nullptr;
        }
        int run = first.get() == Py_None;
        if (!run) {
            run = type.equals(t_simulation);
            if (run < 0) {
                return nullptr;
            }
        }
        if (run) {
            result = call_instance(self, trigger);
            type.forget();
            if (!result) {
                return nullptr;
            }
        }

        // Separate tests, not a chain: each reads self.type anew, and the
        // last branch taken gives the result.
        PyObject* const state[] = {placements.get(), infr.get(), pv.get()};
        for (const Branch& branch : branches) {
            const int hit = type.equals(branch.type_name);
            if (hit <= 0) {
                if (hit < 0) {
                    return nullptr;
                }
                continue;
            }
            const Collector* collector = &branch.local;
            if (branch.remote.name != nullptr) {
                const int remote = is_remote(self);
                type.forget();
                if (remote < 0) {
                    return nullptr;
                }
                if (remote) {
                    collector = &branch.remote;
                }
            }
            result = call_collector(function, self, trigger, *collector, state);
            type.forget();
            if (!result) {
                return nullptr;
            }
        }
    }

    Ref callback_class = function_global(function, SorvaneCallback);
    if (!callback_class) {
        return nullptr;
    }
    const int is_callback = PyObject_IsInstance(trigger, callback_class.get());
    if (is_callback < 0) {
        return nullptr;
    }
    if (is_callback) {
        result = call_instance(self, trigger);
    }
    return result.release();
}

constexpr const char* kParams[] = {"self", "trigger_obj"};
constexpr Annotation kAnnotations[] = {{"trigger_obj", "Union[SorvaneEvent, SorvaneCallback]"}};

}  // namespace

const FunctionSpec call_by_type_spec{
    "_call_by_type",
    "SorvaneCallback._call_by_type",
    "SorvaneCallback._call_by_type(self, trigger_obj: Union[SorvaneEvent, SorvaneCallback])\n"
    "Execute the callback function according to the type of the trigger object.\n"
    "\n"
    "        Args:\n"
    "            trigger_obj (Union[SorvaneEvent, SorvaneCallback]): The trigger object.\n"
    "\n"
    "        Returns:\n"
    "            Any: The value returned by the callback function.\n"
    "        ",
    kParams,
    nullptr,
    nullptr,
    kAnnotations,
    call_by_type_impl,
};

}  // namespace sorvane::callback
