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
Name a_type{"type"};
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

// self.type == type_name, as an `if` tests it: 1, 0, or -1 with an exception.
int type_is(PyObject* self, PyObject* type_name) {
    Ref type = callback_type(self);
    if (!type) {
        return -1;
    }
    if (type.get() == type_name) {
        return 1;  // the interned name itself: str.__eq__ would say so
    }
    Ref eq = Ref::steal(PyObject_RichCompare(type.get(), type_name, Py_EQ));
    return eq ? PyObject_IsTrue(eq.get()) : -1;
}

// self._remote, as an `if` tests it.
int is_remote(PyObject* self) {
    Ref remote = getattr(self, a_remote);
    return remote ? PyObject_IsTrue(remote.get()) : -1;
}

// collector(self.__call__, *state, **event.data), in the order of reads the
// dispatch specifies: the collector, then fn, then the event data.
Ref call_collector(PyObject* function, PyObject* self, PyObject* event, PyObject* collector_name,
                   std::initializer_list<PyObject*> state) {
    Ref collector = function_global(function, collector_name);
    if (!collector) {
        return {};
    }
    Ref fn = getattr(self, a_call);
    if (!fn) {
        return {};
    }
    Ref data = getattr(event, a_data);
    if (!data) {
        return {};
    }
    Ref kwargs;
    if (data.get() == Py_None) {
        PyErr_SetString(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
        return {};
    }
    if (PyDict_CheckExact(data.get())) {
        kwargs = Ref::steal(PyDict_Copy(data.get()));
    } else {
        kwargs = call_one(reinterpret_cast<PyObject*>(&PyDict_Type), data.get());
    }
    if (!kwargs) {
        return {};
    }
    PyObject* args[5] = {fn.get()};
    Py_ssize_t nargs = 1;
    for (PyObject* arg : state) {
        args[nargs++] = arg;
    }
    return Ref::steal(PyObject_VectorcallDict(collector.get(), args, nargs, kwargs.get()));
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
        Ref type = callback_type(self);
        if (!type) {
            return nullptr;
        }
        int run = type.get() == Py_None;
        if (!run) {
            run = type_is(self, t_simulation);
            if (run < 0) {
                return nullptr;
            }
        }
        if (run) {
            result = call_one(self, trigger);
            if (!result) {
                return nullptr;
            }
        }

        // Separate tests, not a chain: each reads self.type anew, and the
        // last branch taken gives the result.
        int hit = type_is(self, t_application);
        if (hit > 0) {
            result = call_collector(function, self, trigger, g_application_fn,
                                    {placements.get(), infr.get()});
        }
        if (hit < 0 || !result) {
            return nullptr;
        }
        hit = type_is(self, t_service);
        if (hit > 0) {
            const int remote = is_remote(self);
            if (remote < 0) {
                return nullptr;
            }
            result = call_collector(function, self, trigger,
                                    remote ? g_remote_service_fn : g_service_fn,
                                    {placements.get(), infr.get()});
        }
        if (hit < 0 || !result) {
            return nullptr;
        }
        hit = type_is(self, t_interaction);
        if (hit > 0) {
            result = call_collector(function, self, trigger, g_interaction_fn,
                                    {placements.get(), infr.get()});
        }
        if (hit < 0 || !result) {
            return nullptr;
        }
        hit = type_is(self, t_infrastructure);
        if (hit > 0) {
            result = call_collector(function, self, trigger, g_infrastructure_fn,
                                    {infr.get(), pv.get()});
        }
        if (hit < 0 || !result) {
            return nullptr;
        }
        hit = type_is(self, t_node);
        if (hit > 0) {
            const int remote = is_remote(self);
            if (remote < 0) {
                return nullptr;
            }
            result = remote ? call_collector(function, self, trigger, g_remote_node_fn,
                                             {infr.get()})
                            : call_collector(function, self, trigger, g_node_fn,
                                             {placements.get(), infr.get(), pv.get()});
        }
        if (hit < 0 || !result) {
            return nullptr;
        }
        hit = type_is(self, t_link);
        if (hit > 0) {
            result = call_collector(function, self, trigger, g_link_fn,
                                    {placements.get(), infr.get(), pv.get()});
        }
        if (hit < 0 || !result) {
            return nullptr;
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
        result = call_one(self, trigger);
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
