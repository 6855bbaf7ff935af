// SorvaneCallback._call_by_type: runs the callback's logic once, by type.
//
// An event trigger reads the simulation state from its simulator and then,
// by the callback's type, calls the callback itself or hands its bound
// __call__ to one of the module's collectors (collector_types, in
// local_collectors.cpp). A callback trigger calls the callback with the
// triggering callback. Every collaborator (SorvaneEvent, SorvaneCallback, the
// collectors) is looked up in the module globals when it is needed, and
// `self.type` is read for every test (design.md, "What callers can observe").
#include "callback/callback.h"

namespace sorvane::callback {

namespace {

// self(arg), as the interpreter calls an instance. While the class calls its
// instances through the base class's slot (which looks `__call__` up on the
// class) and the `__call__` found in its MRO is a function that binds as a
// method, that function is called with (self, arg) directly, which is all
// the slot does, without packing the argument into a tuple first.
Ref call_instance(CallbackState& state, PyObject* self, PyObject* arg) {
    const Facts* facts = facts_of(state, Py_TYPE(self));
    if (facts != nullptr && facts->call != nullptr) {
        // Owned for the call: the call may rebind the class's __call__.
        Ref method = Ref::borrow(facts->call);
        PyObject* args[] = {self, arg};
        return check(PyObject_Vectorcall(method.get(), args, 2, nullptr));
    }
    return call(self, arg);
}

// The reads of `self.type` by the dispatch tests. Every test reads it anew,
// which a subclass may rely on; when a read is pure and nothing that could
// run code has happened since the previous one, that read would return the
// same object, so the previous value stands in for it.
class TypeReads {
public:
    TypeReads(CallbackState& state, PyObject* self) noexcept : state_(state), self_(self) {}

    // self.type, as the interpreter reads it. While `type` resolves through
    // the instance's MRO to the base class's own property, and the class uses
    // the generic lookup, the read goes straight to `self._type`, which is all
    // that property's getter does. When, besides, no class in the MRO defines
    // `_type`, the read runs no code beyond a lookup in the instance, and the
    // value is kept for the next test.
    Ref read() {
        if (last_) {
            return last_.dup();
        }
        const Facts* facts = facts_of(state_, Py_TYPE(self_));
        const bool direct = facts != nullptr && facts->type_direct;
        // Decided before the read, which may run code that refills the cache.
        const bool pure = direct && facts->under_type_absent;
        Ref type = getattr(self_, direct ? kUnderType : kType);
        if (pure) {
            last_ = type.dup();
        }
        return type;
    }

    // self.type == type_name, as an `if` tests it.
    bool equals(PyObject* type_name) {
        Ref type = read();
        if (type.get() == type_name) {
            return true;  // the interned name itself: str.__eq__ would say so
        }
        if (PyUnicode_CheckExact(type.get()) && PyUnicode_CHECK_INTERNED(type.get())) {
            return false;  // two distinct interned strs are never equal
        }
        // None and exact strs compare without running any code; anything
        // else may, and the next test must then read the attribute again.
        if (type.get() != Py_None && !PyUnicode_CheckExact(type.get())) {
            forget();
        }
        return sorvane::equals(type.get(), type_name);
    }

    // After anything that may have run code.
    void forget() noexcept { last_.reset(); }

private:
    CallbackState& state_;
    PyObject* self_;
    Ref last_;
};

// collector(self.__call__, *state, **event.data), in the order of reads the
// dispatch makes them: the collector, then fn, then the event data.
Ref call_collector(const Call& call, PyObject* self, PyObject* event, PyObject* collector,
                   unsigned state_args, PyObject* const state[3]) {
    Ref callable = call.global(collector);
    Ref fn = getattr(self, kDunderCall);
    PyObject* args[4] = {fn.get()};
    Py_ssize_t nargs = 1;
    for (unsigned i = 0; i < 3; ++i) {
        if (state_args & (1u << i)) {
            args[nargs++] = state[i];
        }
    }
    Ref data = getattr(event, kData);
    if (data.get() == Py_None) {
        raise(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
    }
    // A copy either way: the collector must not share the event's dict.
    Ref kwargs = PyDict_CheckExact(data.get())
                     ? check(PyDict_Copy(data.get()))
                     : sorvane::call(reinterpret_cast<PyObject*>(&PyDict_Type), data.get());
    return check(PyObject_VectorcallDict(callable.get(), args, nargs, kwargs.get()));
}

Ref call_by_type(const Call& call, PyObject* self, PyObject* trigger) {
    CallbackState& state = call.state<CallbackState>();
    Ref result = Ref::borrow(Py_None);

    Ref event_type = call.global(kSorvaneEvent);
    if (check(PyObject_IsInstance(trigger, event_type.get()))) {
        Ref simulator = getattr(trigger, kSimulator);
        Ref placements = getattr(simulator.get(), kPlacements);
        Ref infr = getattr(simulator.get(), kInfrastructure);
        Ref view = getattr(simulator.get(), kPlacementView);

        // `self.type is None or self.type == "simulation"`: two reads unless
        // the first one is None.
        TypeReads type(state, self);
        if (type.read().get() == Py_None || type.equals(kSimulation)) {
            result = call_instance(state, self, trigger);
            type.forget();
        }

        // Separate tests, not a chain: each reads self.type anew, and the
        // last branch taken gives the result.
        PyObject* const simulation_state[] = {placements.get(), infr.get(), view.get()};
        for (std::size_t i = 0; i < collector_types.size(); ++i) {
            const CollectorType& kind = collector_types[i];
            if (!type.equals(kind.type_name)) {
                continue;
            }
            PyObject* collector = state.collector_names[i][0];
            unsigned state_args = kind.state_args;
            if (kind.remote != nullptr) {
                const bool remote = truth(getattr(self, kUnderRemote).get());
                type.forget();
                if (remote) {
                    collector = state.collector_names[i][1];
                    state_args = kind.remote_state_args;
                }
            }
            result = call_collector(call, self, trigger, collector, state_args, simulation_state);
            type.forget();
        }
    }

    Ref callback_class = call.global(kSorvaneCallback);
    if (check(PyObject_IsInstance(trigger, callback_class.get()))) {
        result = call_instance(state, self, trigger);
    }
    return result;
}

}  // namespace

const Signature call_by_type_signature{
    .qualname = "SorvaneCallback._call_by_type",
    .params = kSelfTrigger,
    .doc =
        "Execute the callback function according to the type of the trigger object.\n"
        "\n"
        "        Args:\n"
        "            trigger_obj (Union[SorvaneEvent, SorvaneCallback]): The trigger object.\n"
        "\n"
        "        Returns:\n"
        "            Any: The value returned by the callback function.\n"
        "        ",
    .body = body<call_by_type>,
};

}  // namespace sorvane::callback
