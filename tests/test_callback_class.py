"""SorvaneCallback: module load, class shape, construction, activation, triggered events."""

import collections
import copy
import pickle
import subprocess
import sys
import typing
import weakref

import cloudpickle
import pytest
import ray
from hypothesis import given, settings, strategies as st

from sorvane_core.remote.utils import ray_get
from sorvane_core.utils.types import CallbackType
from sorvane_core.workflow.callbacks import callback as m
from sorvane_core.workflow.callbacks.callback import SorvaneCallback
from sorvane_core.workflow.events import SorvaneEvent

MODULE = "sorvane_core.workflow.callbacks.callback"
PROPS = {"name": "_name", "n_calls": "_n_calls", "data": "_data", "type": "_type",
         "activates_on": "_activates_on", "activated_by": "_activated_by",
         "report_types": "_report", "remote": "_remote"}
ATTRS = ["_name", "_type", "_activates_on", "_activates_every_n", "_triggers", "_remote", "_report",
         "_n_calls", "_activated_by", "_data"]


class Tagged(SorvaneCallback):
    """Counts its dispatches and returns a token for each, instead of running a collector."""

    def _call_by_type(self, trigger_obj):
        self.dispatched = getattr(self, "dispatched", 0) + 1
        return ("data", self.dispatched)


def event(name="tick"):
    return SorvaneEvent(name, None, {"tick": 0})


@pytest.mark.native_only
def test_module_binds_exactly_its_names_in_order():
    assert [k for k in vars(m) if not k.startswith("__")] == [
        "defaultdict", "TYPE_CHECKING", "Any", "Callable", "Dict", "List", "Optional", "Union",
        "ray", "ray_get", "CallbackType", "SorvaneEvent", "SorvaneCallback", "_application_fn",
        "_service_fn", "_remote_service_fn", "_interaction_fn", "_infrastructure_fn", "_node_fn",
        "_remote_node_fn", "_link_fn"]
    assert (m.defaultdict, m.Union, m.TYPE_CHECKING, m.ray, m.ray_get, m.CallbackType,
            m.SorvaneEvent) == (collections.defaultdict, typing.Union, False, ray, ray_get,
                                CallbackType, SorvaneEvent)


@pytest.mark.parametrize("setup", [
    *[f"sys.modules[{name!r}] = None" for name in
      ["ray", "collections", "sorvane_core.remote.utils", "sorvane_core.utils.types",
       "sorvane_core.workflow.events"]],
    "import sorvane_core.utils.types as t; del t.CallbackType",
    "import sorvane_core.remote.utils as u; del u.ray_get",
    "import sorvane_core.workflow.events as e; del e.SorvaneEvent",
])
def test_import_fails_with_import_error_when_a_dependency_is_missing(setup):
    code = (f"import sys\n{setup}\ntry:\n import {MODULE}\n"
            f"except ImportError as e:\n print({MODULE!r} in sys.modules)\n")
    if setup.startswith("sys.modules"):  # the dependency comes back: a retry succeeds
        code += f"del {setup.split(' = ')[0]}\nimport {MODULE}\nprint('retried')\n"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    retried = ["retried"] if setup.startswith("sys.modules") else []
    assert out.stdout.split() == ["False"] + retried


@pytest.mark.native_only
def test_class_shape():
    C = SorvaneCallback
    assert type(C) is type and C.__bases__ == (object,)
    assert (C.__module__, C.__qualname__) == (MODULE, "SorvaneCallback")
    assert C.__doc__ == ("A callback object that is called at every simulation tick or at the end "
                         "of the\n    simulation.")
    implicit = ("__module__", "__doc__", "__dict__", "__weakref__")
    assert [k for k in vars(C) if k not in implicit] == [
        "__init__", "__call__", "_call", "_call_by_type", "_triggered_events", *PROPS]
    cb = C("x")
    assert weakref.ref(cb)() is cb and type(cb.__dict__) is dict
    assert (C.__repr__, C.__eq__, C.__hash__) == (object.__repr__, object.__eq__,
                                                  object.__hash__)


@pytest.mark.parametrize("prop, attr", PROPS.items())
def test_properties_return_the_stored_object_and_only_activated_by_is_settable(prop, attr):
    cb = SorvaneCallback("x")
    marker = object()
    setattr(cb, attr, marker)
    assert getattr(cb, prop) is marker
    if prop == "activated_by":
        cb.activated_by = marker = "tick"
    else:
        with pytest.raises(AttributeError):
            setattr(cb, prop, 1)
    with pytest.raises(AttributeError):
        delattr(cb, prop)
    assert getattr(cb, attr) is marker


TRIG = {"stop": bool}


@pytest.mark.parametrize("args, kwargs, expected", [
    (("n",), {}, dict(_name="n", _type=None, _activates_on=["tick"], _activates_every_n={"tick": 1},
                      _triggers={}, _remote=False, _report=["csv"], _n_calls={"tick": 0},
                      _activated_by=None, _data=None)),
    (("n", CallbackType.NODE, "end", None, TRIG, "json", 1), {},
     dict(_type="node", _activates_on=["end"], _activates_every_n={"end": 1}, _report=["json"],
          _n_calls={"end": 0})),
    ((7,), dict(activates_on=("a", 3, "a"), activates_every_n={"z": 0}, report=["csv", "x"],
                remote="yes"),
     dict(_name=7, _activates_every_n={"z": 0}, _n_calls={"a": 0, 3: 0})),
    (("n",), dict(activates_on={"a": 5}, report=None),
     dict(_activates_every_n={"a": 1}, _report=[])),
    (("n",), dict(activates_on=iter(["a"]), report=()),
     dict(_activates_every_n={"a": 1}, _n_calls={}, _report=[])),
])
def test_construction(args, kwargs, expected):
    cb = SorvaneCallback(*args, **kwargs)
    assert list(vars(cb)) == ATTRS and {k: vars(cb)[k] for k in expected} == expected
    for given_obj in [*args[2:], *kwargs.values()]:  # anything but a str is stored as it is
        if given_obj and not isinstance(given_obj, str):
            assert any(v is given_obj for v in vars(cb).values()), given_obj


def test_construction_stores_in_order_and_reads_activates_on_back():
    class Widening(SorvaneCallback):
        def __setattr__(self, name, value):
            self.__dict__.setdefault("log", []).append(name)
            super().__setattr__(name, [*value, "extra"] if name == "_activates_on" else value)

    cb = Widening("w", activates_on="tick")
    assert cb.log == ATTRS
    assert cb.n_calls == {"tick": 0, "extra": 0} == {
        k: v - 1 for k, v in cb._activates_every_n.items()}


@pytest.mark.parametrize("kwargs, kept", [
    (dict(activates_on=5), 3), (dict(activates_on=5, activates_every_n={}), 7),
    (dict(activates_on=[["no"]]), 3),
])
def test_failed_construction_keeps_what_was_set(kwargs, kept):
    cb = SorvaneCallback.__new__(SorvaneCallback)
    with pytest.raises(TypeError):
        cb.__init__("x", **kwargs)
    assert list(vars(cb)) == ATTRS[:kept]


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {"tick": 1}),
                                          ((event(),), {"args": 2})])
def test_base_call_asks_for_an_implementation(args, kwargs):
    with pytest.raises(NotImplementedError) as info:
        SorvaneCallback("x")(*args, **kwargs)
    assert str(info.value) == (
        "The callback logic must be implemented in two main ways: 1. decorate afunction or a class "
        "with a __call__ method; 2. subclass the SorvaneCallbackclass and implement the __call__ "
        "method.")


@settings(max_examples=200, deadline=None)
@given(periods=st.dictionaries(st.sampled_from("abc"),
                               st.integers() | st.sampled_from([0, -1, 2**64]), min_size=1),
       starts=st.dictionaries(st.sampled_from("abc"), st.integers()),
       calls=st.lists(st.sampled_from("abcd")))
def test_activation_schedule_matches_a_reference_model(periods, starts, calls):
    cb = Tagged("x", activates_on=list(periods), activates_every_n=dict(periods))
    cb._n_calls.update({k: v for k, v in starts.items() if k in periods})
    counts = dict(cb._n_calls)
    for name in calls:
        before = copy.deepcopy(vars(cb))
        if name not in periods or periods[name] == 0:  # nothing changes on failure
            with pytest.raises(KeyError if name not in periods else ZeroDivisionError):
                cb._call(event(name))
            assert vars(cb) == before
            continue
        due = counts[name] % periods[name] == 0
        counts[name] += 1
        assert cb._call(event(name)) is None and cb.n_calls == counts
        assert (cb.activated_by, cb.data) == ((name, ("data", cb.dispatched)) if due
                                              else (None, before["_data"]))


class Mod:
    """A count with its own arithmetic: its remainder is itself and equals 0 when even."""

    def __init__(self, n):
        self.n = n

    def __mod__(self, period):
        return self

    def __eq__(self, other):
        return self.n % 2 == 0

    def __add__(self, other):
        return Mod(self.n + other)


@pytest.mark.parametrize("count, period, due, after", [
    (2**100, 2**50, True, 2**100 + 1), (2**100 + 1, 2**50, False, 2**100 + 2),
    (-4, 2, True, -3), (-4, 3, False, -3), (3, -3, True, 4), (4, -3, False, 5),
    (5, 2**63, False, 6), (5.0, 2.5, True, 6.0), (1, 0.5, True, 2), (0.5, 1, False, 1.5),
    (True, 1, True, 2), (Mod(2), 7, True, 3), (Mod(3), 7, False, 4),
])
def test_activation_with_any_numbers(count, period, due, after):
    cb = Tagged("x", activates_every_n={"tick": period})
    cb._n_calls["tick"] = count
    cb._call(event())
    got = cb.n_calls["tick"]
    assert (cb.activated_by == "tick") is due and (got.n if isinstance(got, Mod) else got) == after
    assert type(got) in (type(after), Mod)


def test_failed_dispatch_changes_nothing_and_counts_are_read_anew():
    class Failing(Tagged):
        def _call_by_type(self, trigger_obj):
            if trigger_obj.name == "bad":
                raise LookupError("no")
            self._n_calls = {"tick": 10}  # the logic replaces the counts
            return "ok"

    cb = Failing("x", activates_on=["tick", "bad"])
    old_counts = cb._n_calls
    with pytest.raises(LookupError):
        cb._call(event("bad"))
    assert cb.n_calls == {"tick": 0, "bad": 0} and cb.data is None and cb.activated_by is None
    cb._call(event())
    assert old_counts == {"tick": 0, "bad": 0} and cb.n_calls == {"tick": 11} and cb.data == "ok"


def test_triggered_events_evaluate_every_condition_in_order_reading_state_anew():
    seen = []

    def cond(key, result, action=lambda: None):
        return lambda data: seen.append((key, data)) or action() or result

    cb = SorvaneCallback("x")
    late = {"a": cond("a", True), "b": cond("b'", 1), "c": cond("c'", [])}
    cb._triggers = {"a": cond("a", True, lambda: setattr(cb, "_data", "new")),
                    "b": cond("b", 0, lambda: setattr(cb, "_triggers", late)), "c": cond("c", "")}
    cb._data = "old"
    first = cb._triggered_events()
    assert first == ["a"] and seen == [("a", "old"), ("b", "new"), ("c'", "new")]
    again = cb._triggered_events()
    assert again == ["a", "b"] and again is not first
    cb._triggers = {"a": lambda d: cb._triggers.update(z=bool)}
    with pytest.raises(RuntimeError, match="changed size"):
        cb._triggered_events()


class Doubler(SorvaneCallback):
    def __call__(self, trigger):
        return 2 * trigger


@pytest.mark.parametrize("dumps, loads", [(pickle.dumps, pickle.loads),
                                          (cloudpickle.dumps, cloudpickle.loads)])
@pytest.mark.parametrize("cls", [Doubler, SorvaneCallback])
def test_instances_and_bound_call_pickle(dumps, loads, cls):
    cb = cls("x", "node", ["tick", "end"], {"tick": 2, "end": 1}, None, ["csv"], True)
    cb._n_calls["tick"], cb._data, cb.activated_by = 3, {"n1": [1.5]}, "tick"
    clone = loads(dumps(cb))
    assert type(clone) is cls and vars(clone) == vars(cb)
    bound = loads(dumps(cb.__call__))
    assert vars(bound.__self__) == vars(cb) and bound.__func__ is cls.__call__
    if cls is Doubler:
        assert bound(21) == 42
