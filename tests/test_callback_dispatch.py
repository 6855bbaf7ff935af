"""_call_by_type: dispatch by callback type, and whole runs through the host simulator."""

import collections
import types

import pytest

from sorvane_core.graph import Application, Infrastructure
from sorvane_core.placement import Placement, PlacementView
from sorvane_core.simulation import Simulator
from sorvane_core.utils.types import CallbackType
from sorvane_core.workflow.callbacks import callback as m
from sorvane_core.workflow.callbacks.callback import SorvaneCallback
from sorvane_core.workflow.events import SorvaneEvent

COLLECTORS = ["_application_fn", "_service_fn", "_remote_service_fn", "_interaction_fn",
              "_infrastructure_fn", "_node_fn", "_remote_node_fn", "_link_fn"]


class Logged:
    """Attribute reads are logged by name; values come from the constructor."""

    def __init__(self, log, **attrs):
        object.__setattr__(self, "_log", log)
        object.__setattr__(self, "_attrs", attrs)

    def __getattr__(self, name):
        self._log.append(name)
        return self._attrs[name]


class Echo(SorvaneCallback):
    def __call__(self, *args, **kwargs):
        return ("self", args, kwargs)


@pytest.fixture
def collectors(monkeypatch):
    """Replaces the module's collectors with recorders; returns their call log."""
    calls = []

    def recorder(name):
        def collect(*args, **kwargs):
            calls.append((name, args, kwargs))
            return name
        return collect

    for name in COLLECTORS:
        monkeypatch.setattr(m, name, recorder(name))
    return calls


def make_event(log=None, data=None):
    log = [] if log is None else log
    sim = Logged(log, placements="P", infrastructure="I", placement_view="V")
    return SorvaneEvent("tick", sim, {"tick": 1} if data is None else data), log


ROWS = {
    "application": ("_application_fn", ("P", "I")), "service": ("_service_fn", ("P", "I")),
    "interaction": ("_interaction_fn", ("P", "I")),
    "infrastructure": ("_infrastructure_fn", ("I", "V")),
    "node": ("_node_fn", ("P", "I", "V")), "link": ("_link_fn", ("P", "I", "V")),
}
REMOTE_ROWS = {"service": ("_remote_service_fn", ("P", "I")), "node": ("_remote_node_fn", ("I",))}


@pytest.mark.parametrize("remote", [False, True, 0, "yes"])
@pytest.mark.parametrize("cb_type", [None, "simulation", *CallbackType, "other", 3, "Node"])
def test_event_dispatch_by_type(collectors, cb_type, remote):
    cb = Echo("x", cb_type, remote=remote)
    ev, log = make_event()
    result = cb._call_by_type(ev)
    assert log == ["placements", "infrastructure", "placement_view"]
    row = (REMOTE_ROWS if remote else {}).get(cb_type) or ROWS.get(cb_type)
    if cb_type in (None, "simulation"):
        assert result == ("self", (ev,), {}) and collectors == []
    elif row is None:
        assert result is None and collectors == []
    else:
        [(name, (fn, *state), kwargs)] = collectors
        assert (result, name, tuple(state), kwargs) == (row[0], row[0], row[1], {"tick": 1})
        assert fn == cb.__call__ and fn.__self__ is cb


class Shifting(Echo):
    """Its type changes at every read."""

    @property
    def type(self):
        return next(self.types)


def test_type_is_read_anew_for_every_test(collectors):
    cb = Shifting("x")
    cb.types = iter(["x", "x", "application", "x", "x", "x", "x", "link"])
    assert cb._call_by_type(make_event()[0]) == "_link_fn"
    assert [c[0] for c in collectors] == ["_application_fn", "_link_fn"]
    # None: no second read for "simulation"
    cb.types = iter([None, "x", "x", "x", "x", "node", "x"])
    assert cb._call_by_type(make_event()[0]) == "_node_fn"
    assert [c[0] for c in collectors] == ["_application_fn", "_link_fn", "_node_fn"]


@pytest.mark.parametrize("data, expected", [
    ({"tick": 3, "x": None}, {"tick": 3, "x": None}),
    (collections.UserDict(tick=4), {"tick": 4}),
    (types.MappingProxyType({"a": 1}), {"a": 1}),
    ([("tick", 5)], {"tick": 5}),
    ({}, {}),
])
def test_event_data_is_passed_as_a_new_dict(collectors, data, expected):
    ev, _ = make_event(data=data)
    Echo("x", "link")._call_by_type(ev)
    [(_, _, kwargs)] = collectors
    assert kwargs == expected and kwargs is not data


@pytest.mark.parametrize("data, error, message", [
    (None, TypeError, r"^argument after \*\* must be a mapping, not NoneType$"),
    ({1: 2}, TypeError, "keywords must be strings"),
    (5, TypeError, "not iterable"),
    ({"fn": 1}, TypeError, "multiple values for argument 'fn'"),
])
def test_unusable_event_data_raises(data, error, message):
    ev = SorvaneEvent("tick", types.SimpleNamespace(placements={}, infrastructure=None,
                                                    placement_view=None), data)
    with pytest.raises(error, match=message):
        Echo("x", "application")._call_by_type(ev)


def test_instance_call_attribute_is_the_collected_function(collectors):
    cb = Echo("x", "infrastructure")
    cb.__call__ = own = lambda *a, **k: "own"
    cb._call_by_type(make_event()[0])
    assert collectors[0][1][0] is own


@pytest.mark.parametrize("make_call, expected", [
    (lambda: staticmethod(lambda ev: "static"), lambda ev: "static"),
    (lambda: classmethod(lambda cls, ev: cls.__name__), lambda ev: "Swapped"),
    (lambda: repr, repr),  # a builtin does not bind: it is called without self
])
def test_the_simulation_branch_calls_the_class_call_as_the_interpreter_does(make_call, expected):
    class Swapped(Echo):
        pass

    cb = Swapped("x", "simulation")
    cb.__call__ = lambda *a: "instance attribute, never called"
    event = make_event()[0]
    assert cb._call_by_type(event) == ("self", (event,), {})
    Swapped.__call__ = make_call()  # a change to the class takes effect at once
    assert cb._call_by_type(event) == expected(event)
    del Swapped.__call__
    assert cb._call_by_type(event) == ("self", (event,), {})


class Both(SorvaneEvent, Echo):
    """A trigger that is an event and a callback at once."""

    def __init__(self, simulator):
        Echo.__init__(self, "both", "node")
        self.simulator, self._data = simulator, {}  # `data` is the callback's property here


def test_callback_and_other_triggers(collectors, monkeypatch):
    cb = Echo("x", "node")
    other = Echo("other")
    assert cb._call_by_type(other) == ("self", (other,), {}) and collectors == []
    for trigger in [object(), None, types.SimpleNamespace(simulator=None, name="tick")]:
        assert cb._call_by_type(trigger) is None
    both = Both(Logged([], placements="P", infrastructure="I", placement_view="V"))
    assert cb._call_by_type(both) == ("self", (both,), {})
    assert [c[0] for c in collectors] == ["_node_fn"]
    # The classes are looked up when the call happens.
    monkeypatch.setattr(m, "SorvaneEvent", types.SimpleNamespace)
    monkeypatch.setattr(m, "SorvaneCallback", object)
    stand_in = types.SimpleNamespace(simulator=Logged([], placements="P", infrastructure="I",
                                                      placement_view="V"),
                                     data={})
    assert cb._call_by_type(stand_in) == ("self", (stand_in,), {})
    assert [c[0] for c in collectors] == ["_node_fn", "_node_fn"]
    assert cb._call_by_type(make_event()[0])[0] == "self"


def test_replaced_collector_takes_effect_at_the_next_dispatch(monkeypatch):
    cb = Echo("x", "node")
    ev = SorvaneEvent("tick", types.SimpleNamespace(placements={},
                                                    infrastructure=Infrastructure("i"),
                                                    placement_view=None), {})
    assert cb._call_by_type(ev) == {}
    monkeypatch.setattr(m, "_node_fn", lambda *a, **k: "replaced")
    assert cb._call_by_type(ev) == "replaced"
    monkeypatch.delattr(m, "_node_fn")
    with pytest.raises(NameError, match="name '_node_fn' is not defined"):
        cb._call_by_type(ev)


# --- whole runs through the host simulator ------------------------------------------------------

class Ticker(SorvaneCallback):
    def __call__(self, trigger):
        return trigger.data["tick"] * 10


class Listener(SorvaneCallback):
    def __call__(self, trigger):
        return (trigger.name, trigger.data + 1)


@pytest.fixture
def world():
    infr = Infrastructure("dc")
    infr.add_node("n1", cpu=4)
    infr.add_node("n2", cpu=2)
    infr.add_edge("n1", "n2", bw=10)
    shop, blog = Application("shop"), Application("blog")
    shop.add_service("web", cpu=1)
    shop.add_interaction("web", "db", lat=5)
    blog.add_service("page", cpu=2)
    placements = [Placement(shop, infr, {"web": "n1", "db": "n2"}), Placement(blog, infr, {})]
    return infr, placements


def test_simulation_callbacks_with_period_listener_and_stop(world):
    ticker = Ticker("ticker", "simulation", ["tick", "end"], {"tick": 2, "end": 1},
                    triggers={"stop": lambda d: d >= 40, "never": lambda d: False})
    listener = Listener("listener", activates_on="ticker")
    sim = Simulator(*world, [ticker, listener])
    history = sim.run(10)
    got = [(h["event"], h["tick"], h["data"], h["triggered"]) for h in history]
    fired = lambda t: {"ticker": 10 * t, "listener": ("ticker", 10 * t + 1)}  # noqa: E731
    assert got == [("tick", 0, fired(0), []), ("tick", 1, {}, []), ("tick", 2, fired(2), []),
                   ("tick", 3, {}, []), ("tick", 4, fired(4), ["stop"]),
                   ("end", 4, fired(4), ["stop"])]
    assert sim.stopped and ticker.n_calls == {"tick": 5, "end": 1}
    assert listener.n_calls == {"ticker": 4}
    assert ticker.activated_by == "end" and listener.data == ("ticker", 41)


def describe(arg):
    if isinstance(arg, Placement):
        return ("pl", arg.application.id)
    if isinstance(arg, PlacementView):
        return ("view", arg.tick)
    if isinstance(arg, (Application, Infrastructure)):
        return arg.id
    if isinstance(arg, dict) and arg and all(isinstance(v, Placement) for v in arg.values()):
        return "placements"
    return arg


class Probe(SorvaneCallback):
    def __call__(self, *args, **kwargs):
        return (*map(describe, args), kwargs["tick"])


def test_each_local_collector_type_over_a_run(world):
    infr, placements = world
    cbs = [Probe(t, t)
           for t in ["application", "service", "interaction", "infrastructure", "node", "link"]]
    history = Simulator(infr, placements, cbs).run(3)
    for t, record in enumerate(history[:3]):
        shop, blog, view = ("pl", "shop"), ("pl", "blog"), ("view", t)
        assert record["data"] == {
            "application": {"shop": ("shop", shop, "dc", t), "blog": ("blog", blog, "dc", t)},
            "service": {"shop": {"web": ("web", {"cpu": 1}, shop, "dc", t),
                                 "db": ("db", {}, shop, "dc", t)},
                        "blog": {"page": ("page", {"cpu": 2}, blog, "dc", t)}},
            "interaction": {"shop": {"web,db": ("web", "db", {"lat": 5}, shop, "dc", t)},
                            "blog": {}},
            "infrastructure": ("dc", view, t),
            "node": {"n1": ("n1", {"cpu": 4}, "placements", "dc", view, t),
                     "n2": ("n2", {"cpu": 2}, "placements", "dc", view, t)},
            "link": {"n1,n2": ("n1", "n2", {"bw": 10}, "placements", "dc", view, t)},
        }
    assert [h["event"] for h in history] == ["tick"] * 3 + ["end"]
    assert history[3]["data"] == {}
