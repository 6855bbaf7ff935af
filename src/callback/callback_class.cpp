// SorvaneCallback: the class, its construction, properties, activation and
// triggered events.
//
// The class is an ordinary Python class (made by `type`, base `object`, with
// an instance __dict__ and weak references); its state lives in instance
// attributes read and written by ordinary attribute access, so subclasses and
// the host can override or write any of it.
#include <climits>

#include "callback/callback.h"
#include "callback/fastattr.h"
#include "common/names.h"
#include "common/object.h"

namespace sorvane::callback {

namespace {

Name s_name{"_name"};
Name s_type{"_type"};
Name s_activates_on{"_activates_on"};
Name s_activates_every_n{"_activates_every_n"};
Name s_triggers{"_triggers"};
Name s_remote{"_remote"};
Name s_report{"_report"};
Name s_n_calls{"_n_calls"};
Name s_activated_by{"_activated_by"};
Name s_data{"_data"};
Name s_call_by_type{"_call_by_type"};

// {key: value for key in iterable}
Ref dict_from_keys(PyObject* iterable, PyObject* value) {
    Ref iter = Ref::steal(PyObject_GetIter(iterable));
    Ref dict = Ref::steal(PyDict_New());
    if (!iter || !dict) {
        return {};
    }
    while (Ref key = Ref::steal(PyIter_Next(iter.get()))) {
        if (PyDict_SetItem(dict.get(), key.get(), value) < 0) {
            return {};
        }
    }
    if (PyErr_Occurred()) {
        return {};
    }
    return dict;
}

// ---------------------------------------------------------------------------
// __init__

PyObject* init_impl(PyObject*, PyObject* const* p, PyObject*, PyObject*) {
    PyObject* self = p[0];
    PyObject* name = p[1];
    PyObject* callback_type = p[2];
    PyObject* activates_on = p[3];
    PyObject* activates_every_n = p[4];
    PyObject* triggers = p[5];
    PyObject* report = p[6];
    PyObject* remote = p[7];

    if (!setattr(self, s_name, name) || !setattr(self, s_type, callback_type)) {
        return nullptr;
    }
    Ref on = PyUnicode_Check(activates_on) ? list_of(activates_on) : Ref::borrow(activates_on);
    if (!on || !setattr(self, s_activates_on, on.get())) {
        return nullptr;
    }

    Ref every;
    if (activates_every_n != Py_None) {
        every = Ref::borrow(activates_every_n);
    } else {
        // Built from the attribute as stored, as a subclass may intercept it.
        Ref stored = getattr(self, s_activates_on);
        Ref one = Ref::steal(PyLong_FromLong(1));
        if (!stored || !one) {
            return nullptr;
        }
        every = dict_from_keys(stored.get(), one.get());
    }
    if (!every || !setattr(self, s_activates_every_n, every.get())) {
        return nullptr;
    }

    Ref trig = triggers != Py_None ? Ref::borrow(triggers) : Ref::steal(PyDict_New());
    if (!trig || !setattr(self, s_triggers, trig.get()) || !setattr(self, s_remote, remote)) {
        return nullptr;
    }

    const int truth = PyObject_IsTrue(report);
    if (truth < 0) {
        return nullptr;
    }
    Ref rep = !truth                   ? Ref::steal(PyList_New(0))
              : PyUnicode_Check(report) ? list_of(report)
                                        : Ref::borrow(report);
    if (!rep || !setattr(self, s_report, rep.get())) {
        return nullptr;
    }

    Ref stored = getattr(self, s_activates_on);
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!stored || !zero) {
        return nullptr;
    }
    Ref counts = dict_from_keys(stored.get(), zero.get());
    if (!counts || !setattr(self, s_n_calls, counts.get()) ||
        !setattr(self, s_activated_by, Py_None) || !setattr(self, s_data, Py_None)) {
        return nullptr;
    }
    return new_none();
}

// ---------------------------------------------------------------------------
// __call__

PyObject* call_impl(PyObject*, PyObject* const*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError,
                    "The callback logic must be implemented in two main ways: 1. decorate a"
                    "function or a class with a __call__ method; 2. subclass the SorvaneCallback"
                    "class and implement the __call__ method.");
    return nullptr;
}

// ---------------------------------------------------------------------------
// _call

// The value of an exact int that fits a machine word, without allocating;
// false (and no exception) for anything else.
bool small_int(PyObject* obj, long long* value) {
    if (!PyLong_CheckExact(obj)) {
        return false;
    }
    PyLongObject* v = reinterpret_cast<PyLongObject*>(obj);
    if (PyUnstable_Long_IsCompact(v)) {
        *value = PyUnstable_Long_CompactValue(v);
        return true;
    }
    int overflow;
    *value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    return overflow == 0;  // an exact int cannot make this fail otherwise
}

// count % period == 0, with the interpreter's semantics. Exact ints that fit
// a machine word take a machine-integer path; everything else (big ints,
// floats, objects with their own __mod__ or __eq__, a zero period and its
// ZeroDivisionError) goes through the number protocol.
int activates(PyObject* count, PyObject* period) {
    long long c;
    long long n;
    if (small_int(count, &c) && small_int(period, &n) && n != 0) {
        // Floor and truncated remainders are zero together; a period of -1
        // divides everything (and LLONG_MIN % -1 would overflow).
        return n == -1 || c % n == 0;
    }
    Ref rem = Ref::steal(PyNumber_Remainder(count, period));
    if (!rem) {
        return -1;
    }
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) {
        return -1;
    }
    Ref eq = Ref::steal(PyObject_RichCompare(rem.get(), zero.get(), Py_EQ));
    return eq ? PyObject_IsTrue(eq.get()) : -1;
}

// counts[name] += 1
bool increment(PyObject* counts, PyObject* name) {
    if (PyDict_CheckExact(counts)) {
        PyObject* value = PyDict_GetItemWithError(counts, name);  // borrowed
        long long v;
        if (value != nullptr && small_int(value, &v) && v < LLONG_MAX) {
            Ref next = Ref::steal(PyLong_FromLongLong(v + 1));
            return next && PyDict_SetItem(counts, name, next.get()) == 0;
        }
        if (value == nullptr && PyErr_Occurred()) {
            return false;
        }
    }
    Ref value = getitem(counts, name);
    if (!value) {
        return false;
    }
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) {
        return false;
    }
    Ref next = Ref::steal(PyNumber_InPlaceAdd(value.get(), one.get()));
    return next && PyObject_SetItem(counts, name, next.get()) == 0;
}

PyObject* underscore_call_impl(PyObject*, PyObject* const* p, PyObject*, PyObject*) {
    PyObject* self = p[0];
    PyObject* trigger = p[1];

    Ref name = read_attr(trigger, Attr::name);
    if (!name) {
        return nullptr;
    }
    Ref counts = getattr(self, s_n_calls);
    if (!counts) {
        return nullptr;
    }
    Ref count = getitem(counts.get(), name.get());
    if (!count) {
        return nullptr;
    }
    Ref periods = getattr(self, s_activates_every_n);
    if (!periods) {
        return nullptr;
    }
    Ref period = getitem(periods.get(), name.get());
    if (!period) {
        return nullptr;
    }
    const int due = activates(count.get(), period.get());
    if (due < 0) {
        return nullptr;
    }
    if (due) {
        Ref data = call_method(self, s_call_by_type, trigger);
        if (!data || !setattr(self, s_data, data.get()) ||
            !setattr(self, s_activated_by, name.get())) {
            return nullptr;
        }
    } else if (!setattr(self, s_activated_by, Py_None)) {
        return nullptr;
    }
    // Read anew: the callback logic may have replaced the counts.
    counts = getattr(self, s_n_calls);
    if (!counts || !increment(counts.get(), name.get())) {
        return nullptr;
    }
    return new_none();
}

// ---------------------------------------------------------------------------
// _triggered_events

PyObject* triggered_events_impl(PyObject*, PyObject* const* p, PyObject*, PyObject*) {
    PyObject* self = p[0];
    Ref result = Ref::steal(PyList_New(0));
    Ref triggers = getattr(self, s_triggers);
    if (!result || !triggers) {
        return nullptr;
    }
    Ref iter = Ref::steal(PyObject_GetIter(triggers.get()));
    if (!iter) {
        return nullptr;
    }
    while (Ref key = Ref::steal(PyIter_Next(iter.get()))) {
        // self._triggers[key](self._data), both attributes read anew per key.
        Ref current = getattr(self, s_triggers);
        if (!current) {
            return nullptr;
        }
        Ref condition = getitem(current.get(), key.get());
        if (!condition) {
            return nullptr;
        }
        Ref data = getattr(self, s_data);
        if (!data) {
            return nullptr;
        }
        Ref fired = call_one(condition.get(), data.get());
        if (!fired) {
            return nullptr;
        }
        const int truth = PyObject_IsTrue(fired.get());
        if (truth < 0 || (truth && PyList_Append(result.get(), key.get()) < 0)) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    return result.release();
}

// ---------------------------------------------------------------------------
// Properties: each getter returns the stored attribute itself.

template <const Name& attr>
PyObject* getter_impl(PyObject*, PyObject* const* p, PyObject*, PyObject*) {
    return getattr(p[0], attr).release();
}

PyObject* set_activated_by_impl(PyObject*, PyObject* const* p, PyObject*, PyObject*) {
    if (!setattr(p[0], s_activated_by, p[1])) {
        return nullptr;
    }
    return new_none();
}

// ---------------------------------------------------------------------------
// Specs

constexpr const char* kSelf[] = {"self"};
constexpr const char* kSelfTrigger[] = {"self", "trigger_obj"};
constexpr const char* kSelfValue[] = {"self", "value"};
constexpr const char* kInitParams[] = {"self",   "name",     "callback_type", "activates_on",
                                       "activates_every_n", "triggers", "report",
                                       "remote"};

constexpr Annotation kInitAnnotations[] = {
    {"name", "str"},
    {"callback_type", "Optional[CallbackType]"},
    {"activates_on", "Union[str, List[str]]"},
    {"activates_every_n", "Optional[Dict[str, int]]"},
    {"triggers", "Optional[Dict[str, Callable]]"},
    {"report", "Optional[Union[str, List[str]]]"},
    {"remote", "bool"},
};
constexpr Annotation kCallAnnotations[] = {{"return", "Dict[str, Any]"}};
constexpr Annotation kTriggerAnnotations[] = {
    {"trigger_obj", "Union[SorvaneEvent, SorvaneCallback]"}};
constexpr Annotation kTriggeredAnnotations[] = {{"return", "List[str]"}};
constexpr Annotation kSetActivatedByAnnotations[] = {{"value", "Optional[str]"}};

#define WRAP "                 "  // a wrapped line of the Args section

const FunctionSpec init_spec{
    "__init__",
    "SorvaneCallback.__init__",
    "SorvaneCallback.__init__(self, name: str, callback_type: Optional[CallbackType] = None, "
    "activates_on: Union[str, List[str]] = 'tick', activates_every_n: Optional[Dict[str, int]] "
    "= None, triggers: Optional[Dict[str, Callable]] = None, report: Optional[Union[str, "
    "List[str]]] = 'csv', remote: bool = False)\n"
    "Initialize the Callback object.\n"
    "\n"
    "        Args:\n"
    "            callback_fn (Callable): The callback function.\n"
    "            callback_type (CallbackType): The type of the callback, used to determine" WRAP
    "the type of value it manages.\n"
    "            activates_on (Union[str, List[str]]): The event(s) that trigger the callback.\n"
    "            activates_every_n (Optional[Dict[str, int]]): The number of ticks between" WRAP
    "each call to the callback function.\n"
    "            triggers (Optional[Dict[str, Callable]]): The condition to trigger the" WRAP
    "callback.\n"
    "            remote (bool): Whether the simulation is local or remote (emulation), thus" WRAP
    "running using ray.\n"
    "            name (Optional[str]): The name of the callback.\n"
    "        ",
    kInitParams,
    nullptr,
    nullptr,
    kInitAnnotations,
    init_impl,
};

#undef WRAP

const FunctionSpec call_spec{
    "__call__",
    "SorvaneCallback.__call__",
    "SorvaneCallback.__call__(self, *args, **kwargs) -> Dict[str, Any]",
    kSelf,
    "args",
    "kwargs",
    kCallAnnotations,
    call_impl,
};

const FunctionSpec underscore_call_spec{
    "_call",
    "SorvaneCallback._call",
    "SorvaneCallback._call(self, trigger_obj: Union[SorvaneEvent, SorvaneCallback])\n"
    "Execute the callback function.\n"
    "\n"
    "        It is called at the end of the execution of the event.\n"
    "\n"
    "        Args:\n"
    "            trigger_obj (Union[SorvaneEvent, SorvaneCallback]): The trigger object.\n"
    "        ",
    kSelfTrigger,
    nullptr,
    nullptr,
    kTriggerAnnotations,
    underscore_call_impl,
};

const FunctionSpec triggered_events_spec{
    "_triggered_events",
    "SorvaneCallback._triggered_events",
    "SorvaneCallback._triggered_events(self) -> List[str]\n"
    "Return the events that the callback is triggering.\n"
    "\n"
    "        Returns:\n"
    "            List[str]: The events that the callback is triggering.\n"
    "        ",
    kSelf,
    nullptr,
    nullptr,
    kTriggeredAnnotations,
    triggered_events_impl,
};

struct PropertySpec {
    const char* name;
    const Name& attr;
    FunctionSpec getter;
};

// The getter docstring: signature line, summary and a Returns paragraph.
#define GETTER(prop, attr, ret, summary)                                             \
    PropertySpec {                                                                   \
        prop, attr, {                                                                \
            prop, "SorvaneCallback." prop,                                           \
                "SorvaneCallback." prop "(self) -> " ret "\n" summary "\n"           \
                "\n"                                                                 \
                "        Returns:\n"                                                 \
                "            " ret ": " summary "\n"                                 \
                "        ",                                                          \
                kSelf, nullptr, nullptr, kReturn_##attr, getter_impl<attr>,         \
        }                                                                            \
    }

constexpr Annotation kReturn_s_name[] = {{"return", "str"}};
constexpr Annotation kReturn_s_n_calls[] = {{"return", "Dict[str, int]"}};
constexpr Annotation kReturn_s_data[] = {{"return", "Optional[Any]"}};
constexpr Annotation kReturn_s_type[] = {{"return", "Optional[CallbackType]"}};
constexpr Annotation kReturn_s_activates_on[] = {{"return", "Union[List[str]]"}};
constexpr Annotation kReturn_s_activated_by[] = {{"return", "Optional[str]"}};
constexpr Annotation kReturn_s_report[] = {{"return", "List[str]"}};
constexpr Annotation kReturn_s_remote[] = {{"return", "bool"}};

const PropertySpec properties[] = {
    GETTER("name", s_name, "str", "The name of the callback."),
    GETTER("n_calls", s_n_calls, "Dict[str, int]", "The number of times the callback was called."),
    GETTER("data", s_data, "Optional[Any]", "The value returned by the callback function."),
    GETTER("type", s_type, "Optional[CallbackType]", "The type of the callback."),
    GETTER("activates_on", s_activates_on, "Union[List[str]]",
           "The events that trigger the callback."),
    GETTER("activated_by", s_activated_by, "Optional[str]", "Whether the callback was triggered."),
    GETTER("report_types", s_report, "List[str]", "The type of the report."),
    GETTER("remote", s_remote, "bool", "Whether the callback is local or remote (emulation)."),
};

#undef GETTER

const FunctionSpec set_activated_by_spec{
    "activated_by",
    "SorvaneCallback.activated_by",
    "SorvaneCallback.activated_by(self, value: Optional[str])",
    kSelfValue,
    nullptr,
    nullptr,
    kSetActivatedByAnnotations,
    set_activated_by_impl,
};

const char kClassDoc[] =
    "A callback object that is called at every simulation tick or at the end of the\n"
    "    simulation.";

bool add(PyObject* ns, const char* key, Ref value) {
    return value && PyDict_SetItemString(ns, key, value.get()) == 0;
}

bool add_function(PyObject* ns, PyObject* globals, const FunctionSpec& spec,
                  PyObject* defaults = nullptr) {
    return add(ns, spec.name, make_function(spec, globals, defaults));
}

}  // namespace

Ref make_callback_class(PyObject* globals) noexcept {
    Ref ns = Ref::steal(PyDict_New());
    if (!ns) {
        return {};
    }
    Ref module_name = Ref::borrow(PyDict_GetItemString(globals, "__name__"));
    if (!module_name) {
        PyErr_SetString(PyExc_SystemError, "module has no __name__");
        return {};
    }
    // Interned like the constants of a `def`: "tick" becomes the key of the
    // counts, and the host's event names are interned literals.
    Ref tick = Ref::steal(PyUnicode_InternFromString("tick"));
    Ref csv = Ref::steal(PyUnicode_InternFromString("csv"));
    Ref init_defaults = tick && csv ? Ref::steal(PyTuple_Pack(6, Py_None, tick.get(), Py_None,
                                                              Py_None, csv.get(), Py_False))
                                    : Ref{};
    if (!add(ns.get(), "__module__", std::move(module_name)) ||
        !add(ns.get(), "__qualname__", Ref::steal(PyUnicode_FromString("SorvaneCallback"))) ||
        !add(ns.get(), "__doc__", Ref::steal(PyUnicode_FromString(kClassDoc))) || !init_defaults ||
        !add_function(ns.get(), globals, init_spec, init_defaults.get()) ||
        !add_function(ns.get(), globals, call_spec) ||
        !add_function(ns.get(), globals, underscore_call_spec) ||
        !add_function(ns.get(), globals, call_by_type_spec) ||
        !add_function(ns.get(), globals, triggered_events_spec)) {
        return {};
    }
    for (const PropertySpec& prop : properties) {
        Ref getter = make_function(prop.getter, globals);
        if (!getter) {
            return {};
        }
        Ref setter;
        if (&prop.attr == &s_activated_by) {
            setter = make_function(set_activated_by_spec, globals);
            if (!setter) {
                return {};
            }
        }
        PyObject* args[] = {getter.get(), setter ? setter.get() : Py_None};
        Ref property = Ref::steal(
            PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyProperty_Type), args, 2, nullptr));
        if (property && &prop.attr == &s_type) {
            set_type_property(property.get());
        }
        if (!add(ns.get(), prop.name, std::move(property))) {
            return {};
        }
    }
    Ref bases = Ref::steal(PyTuple_New(0));
    Ref name = Ref::steal(PyUnicode_FromString("SorvaneCallback"));
    if (!bases || !name) {
        return {};
    }
    PyObject* args[] = {name.get(), bases.get(), ns.get()};
    Ref cls = Ref::steal(
        PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), args, 3, nullptr));
    if (cls) {
        set_call_slot(cls.get());
    }
    return cls;
}

}  // namespace sorvane::callback
