// SorvaneCallback: the class, its construction, properties, activation and
// triggered events.
//
// The class is an ordinary Python class (made by `type`, base `object`, with
// an instance __dict__ and weak references); its state lives in instance
// attributes read and written by ordinary attribute access, so subclasses and
// the host can override or write any of it. Which reads a caller or subclass
// can observe is said in docs/design.md.
#include <climits>
#include <cstring>

#include "callback/callback.h"
#include "common/imports.h"

namespace sorvane::callback {

namespace {

// {key: value for key in iterable}
Ref dict_from_keys(PyObject* iterable, PyObject* value) {
    Ref iter = check(PyObject_GetIter(iterable));
    Ref dict = new_dict();
    for_each_item(iter.get(),
                  [&](PyObject* key) { check(PyDict_SetItem(dict.get(), key, value)); });
    return dict;
}

// ---------------------------------------------------------------------------
// __init__

Ref init(const Call&, PyObject* self, PyObject* name, PyObject* callback_type,
         PyObject* activates_on, PyObject* activates_every_n, PyObject* triggers, PyObject* report,
         PyObject* remote) {
    setattr(self, kUnderName, name);
    setattr(self, kUnderType, callback_type);
    Ref on = PyUnicode_Check(activates_on) ? list_of(activates_on) : Ref::borrow(activates_on);
    setattr(self, kUnderActivatesOn, on.get());

    Ref every;
    if (activates_every_n != Py_None) {
        every = Ref::borrow(activates_every_n);
    } else {
        // Built from the attribute as stored, as a subclass may intercept it.
        Ref stored = getattr(self, kUnderActivatesOn);
        every = dict_from_keys(stored.get(), integer(1).get());
    }
    setattr(self, kUnderActivatesEveryN, every.get());

    Ref trig = triggers != Py_None ? Ref::borrow(triggers) : new_dict();
    setattr(self, kUnderTriggers, trig.get());
    setattr(self, kUnderRemote, remote);

    Ref rep = !truth(report)            ? new_list()
              : PyUnicode_Check(report) ? list_of(report)
                                        : Ref::borrow(report);
    setattr(self, kUnderReport, rep.get());

    Ref stored = getattr(self, kUnderActivatesOn);
    Ref counts = dict_from_keys(stored.get(), integer(0).get());
    setattr(self, kUnderNCalls, counts.get());
    setattr(self, kUnderActivatedBy, Py_None);
    setattr(self, kUnderData, Py_None);
    return Ref::borrow(Py_None);
}

// ---------------------------------------------------------------------------
// __call__

Ref call_base(const Call&, PyObject*) {
    raise(PyExc_NotImplementedError,
          "The callback logic must be implemented in two main ways: 1. decorate a"
          "function or a class with a __call__ method; 2. subclass the SorvaneCallback"
          "class and implement the __call__ method.");
}

// ---------------------------------------------------------------------------
// _call

// trigger_obj.name. While the trigger's class uses the generic lookup and no
// class in its MRO defines `name`, that is a lookup in the instance __dict__,
// made directly. Only for triggers: reading a callback's own __dict__ would
// make it materialise one, where the interpreter keeps the attributes inline
// and reads them faster (design.md, "Shortcuts").
Ref trigger_name(CallbackState& state, PyObject* trigger) {
    const Facts* facts = facts_of(state, Py_TYPE(trigger));
    if (facts != nullptr && facts->generic && facts->name_absent) {
        Ref dict = check(PyObject_GenericGetDict(trigger, nullptr));
        PyObject* value = PyDict_GetItemWithError(dict.get(), kName);  // borrowed
        if (value != nullptr) {
            return Ref::borrow(value);
        }
        if (PyErr_Occurred()) {
            propagate();
        }
        // Missing: the ordinary read gives the exact AttributeError.
    }
    return getattr(trigger, kName);
}

// The value of an exact int that fits a machine word, without allocating;
// false for anything else.
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
bool activates(PyObject* count, PyObject* period) {
    long long c;
    long long n;
    if (small_int(count, &c) && small_int(period, &n) && n != 0) {
        // Floor and truncated remainders are zero together; a period of -1
        // divides everything (and LLONG_MIN % -1 would overflow).
        return n == -1 || c % n == 0;
    }
    Ref remainder = check(PyNumber_Remainder(count, period));
    return equals(remainder.get(), integer(0).get());
}

// counts[name] += 1
void increment(PyObject* counts, PyObject* name) {
    if (PyDict_CheckExact(counts)) {
        PyObject* value = PyDict_GetItemWithError(counts, name);  // borrowed
        long long v;
        if (value != nullptr && small_int(value, &v) && v < LLONG_MAX) {
            Ref next = check(PyLong_FromLongLong(v + 1));
            check(PyDict_SetItem(counts, name, next.get()));
            return;
        }
        if (value == nullptr && PyErr_Occurred()) {
            propagate();
        }
    }
    Ref value = getitem(counts, name);
    Ref next = check(PyNumber_InPlaceAdd(value.get(), integer(1).get()));
    setitem(counts, name, next.get());
}

Ref underscore_call(const Call& call, PyObject* self, PyObject* trigger) {
    Ref name = trigger_name(call.state<CallbackState>(), trigger);
    Ref counts = getattr(self, kUnderNCalls);
    Ref count = getitem(counts.get(), name.get());
    Ref periods = getattr(self, kUnderActivatesEveryN);
    Ref period = getitem(periods.get(), name.get());
    if (activates(count.get(), period.get())) {
        Ref data = call_method(self, kUnderCallByType, trigger);
        setattr(self, kUnderData, data.get());
        setattr(self, kUnderActivatedBy, name.get());
    } else {
        setattr(self, kUnderActivatedBy, Py_None);
    }
    // Read anew: the callback logic may have replaced the counts.
    counts = getattr(self, kUnderNCalls);
    increment(counts.get(), name.get());
    return Ref::borrow(Py_None);
}

// ---------------------------------------------------------------------------
// _triggered_events

Ref triggered_events(const Call&, PyObject* self) {
    Ref result = new_list();
    Ref triggers = getattr(self, kUnderTriggers);
    for_each(triggers.get(), [&](PyObject* key) {
        // self._triggers[key](self._data), both attributes read anew per key.
        Ref current = getattr(self, kUnderTriggers);
        Ref condition = getitem(current.get(), key);
        Ref data = getattr(self, kUnderData);
        Ref fired = call(condition.get(), data.get());
        if (truth(fired.get())) {
            append(result.get(), key);
        }
    });
    return result;
}

// ---------------------------------------------------------------------------
// Properties: each getter returns the stored attribute itself.

template <const Name& attr>
Ref getter(const Call&, PyObject* self) {
    return getattr(self, attr);
}

Ref set_activated_by(const Call&, PyObject* self, PyObject* value) {
    setattr(self, kUnderActivatedBy, value);
    return Ref::borrow(Py_None);
}

// ---------------------------------------------------------------------------
// Signatures

constexpr Param kSelf[] = {param("self")};
constexpr Param kSelfValue[] = {param("self"), param("value", "Optional[str]")};
constexpr Param kInitParams[] = {
    param("self"),
    param("name", "str"),
    param_or_none("callback_type", "Optional[CallbackType]"),
    param_or("activates_on", "Union[str, List[str]]", kTick),
    param_or_none("activates_every_n", "Optional[Dict[str, int]]"),
    param_or_none("triggers", "Optional[Dict[str, Callable]]"),
    param_or("report", "Optional[Union[str, List[str]]]", kCsv),
    param_or_false("remote", "bool"),
};

#define WRAP "                 "  // a wrapped line of the Args section

const Signature init_signature{
    .qualname = "SorvaneCallback.__init__",
    .params = kInitParams,
    .doc =
        "Initialize the Callback object.\n"
        "\n"
        "        Args:\n"
        "            callback_fn (Callable): The callback function.\n"
        "            callback_type (CallbackType): The type of the callback, used to determine" WRAP
        "the type of value it manages.\n"
        "            activates_on (Union[str, List[str]]): The event(s) that trigger the "
        "callback.\n"
        "            activates_every_n (Optional[Dict[str, int]]): The number of ticks between" WRAP
        "each call to the callback function.\n"
        "            triggers (Optional[Dict[str, Callable]]): The condition to trigger the" WRAP
        "callback.\n"
        "            remote (bool): Whether the simulation is local or remote "
        "(emulation), thus" WRAP
        "running using ray.\n"
        "            name (Optional[str]): The name of the callback.\n"
        "        ",
    .body = body<init>,
};

#undef WRAP

const Signature call_signature{
    .qualname = "SorvaneCallback.__call__",
    .params = kSelf,
    .varargs = "args",
    .varkw = "kwargs",
    .returns = "Dict[str, Any]",
    .doc = kSignatureOnly,
    .body = body<call_base>,
};

const Signature underscore_call_signature{
    .qualname = "SorvaneCallback._call",
    .params = kSelfTrigger,
    .doc =
        "Execute the callback function.\n"
        "\n"
        "        It is called at the end of the execution of the event.\n"
        "\n"
        "        Args:\n"
        "            trigger_obj (Union[SorvaneEvent, SorvaneCallback]): The trigger object.\n"
        "        ",
    .body = body<underscore_call>,
};

const Signature triggered_events_signature{
    .qualname = "SorvaneCallback._triggered_events",
    .params = kSelf,
    .returns = "List[str]",
    .doc =
        "Return the events that the callback is triggering.\n"
        "\n"
        "        Returns:\n"
        "            List[str]: The events that the callback is triggering.\n"
        "        ",
    .body = body<triggered_events>,
};

const Signature set_activated_by_signature{
    .qualname = "SorvaneCallback.activated_by",
    .params = kSelfValue,
    .doc = kSignatureOnly,
    .body = body<set_activated_by>,
};

struct Property {
    const char* name;
    Signature getter;
    const Signature* setter;
};

// A getter's docstring: signature line, summary and a Returns paragraph.
#define PROPERTY(prop, attr, ret, summary, set)                                                    \
    Property {                                                                                     \
        .name = prop,                                                                              \
        .getter =                                                                                  \
            {                                                                                      \
                .qualname = "SorvaneCallback." prop,                                               \
                .params = kSelf,                                                                   \
                .returns = ret,                                                                    \
                .doc = summary "\n\n        Returns:\n            " ret ": " summary "\n        ", \
                .body = body<getter<attr>>,                                                        \
            },                                                                                     \
        .setter = set,                                                                             \
    }

const Property properties[] = {
    PROPERTY("name", kUnderName, "str", "The name of the callback.", nullptr),
    PROPERTY("n_calls", kUnderNCalls, "Dict[str, int]",
             "The number of times the callback was called.", nullptr),
    PROPERTY("data", kUnderData, "Optional[Any]", "The value returned by the callback function.",
             nullptr),
    PROPERTY("type", kUnderType, "Optional[CallbackType]", "The type of the callback.", nullptr),
    PROPERTY("activates_on", kUnderActivatesOn, "Union[List[str]]",
             "The events that trigger the callback.", nullptr),
    PROPERTY("activated_by", kUnderActivatedBy, "Optional[str]",
             "Whether the callback was triggered.", &set_activated_by_signature),
    PROPERTY("report_types", kUnderReport, "List[str]", "The type of the report.", nullptr),
    PROPERTY("remote", kUnderRemote, "bool", "Whether the callback is local or remote (emulation).",
             nullptr),
};

#undef PROPERTY

const char kClassDoc[] =
    "A callback object that is called at every simulation tick or at the end of the\n"
    "    simulation.";

}  // namespace

Ref make_callback_class(PyObject* module, CallbackState& state) {
    Ref ns = class_namespace(module, "SorvaneCallback", kClassDoc);
    for (const Signature* s : {&init_signature, &call_signature, &underscore_call_signature,
                               &call_by_type_signature, &triggered_events_signature}) {
        bind(ns.get(), std::strrchr(s->qualname, '.') + 1, make_function(*s, module).get());
    }
    for (const Property& prop : properties) {
        Ref getter_fn = make_function(prop.getter, module);
        Ref setter_fn = prop.setter ? make_function(*prop.setter, module) : Ref::borrow(Py_None);
        Ref property =
            call(reinterpret_cast<PyObject*>(&PyProperty_Type), getter_fn.get(), setter_fn.get());
        bind(ns.get(), prop.name, property.get());
    }
    // The shortcuts of the dispatch recognise the base class by these.
    state.type_property = Py_NewRef(getitem(ns.get(), kType).get());
    Ref cls = make_class("SorvaneCallback", ns.get());
    state.call_slot = reinterpret_cast<ternaryfunc>(
        PyType_GetSlot(reinterpret_cast<PyTypeObject*>(cls.get()), Py_tp_call));
    return cls;
}

}  // namespace sorvane::callback
