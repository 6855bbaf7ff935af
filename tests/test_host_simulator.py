from collections import Counter
from collections.abc import Callable
from contextlib import closing
from typing import Any

import pytest

from sorvane_core.graph import Application, Infrastructure
from sorvane_core.placement import Placement
from sorvane_core.simulation import Simulator
from sorvane_core.simulation._emulation import Emulation
from sorvane_core.utils.types import CallbackType
from sorvane_core.workflow.callbacks.callback import SorvaneCallback


class FakeCallback:
    """Pure-Python stand-in for the native callback.

    Activates on every ``every``-th call per trigger name, stores ``fn(trigger)``
    as its data, and raises each event of ``events`` whose condition holds on it.
    """

    def __init__(
        self,
        name: str,
        activates_on: list[str],
        every: int = 1,
        fn: Callable[[Any], Any] | None = None,
        events: dict[str, Callable[[Any], bool]] | None = None,
        log: list | None = None,
    ) -> None:
        self.name, self.activates_on, self.every = name, activates_on, every
        self.fn = fn or (lambda trigger: trigger.name)
        self.events = events or {}
        self.log = log if log is not None else []
        self.counts: Counter[str] = Counter()
        self.activated_by: Any = None
        self.data: Any = None

    def _call(self, trigger: Any) -> None:
        self.log.append((self.name, trigger.name))
        self.counts[trigger.name] += 1
        if self.counts[trigger.name] % self.every:
            self.activated_by = None
            return
        self.activated_by = trigger
        self.data = self.fn(trigger)

    def _triggered_events(self) -> list[str]:
        return [ev for ev, cond in self.events.items() if cond(self.data)]


def tick_of(trigger: Any) -> int:
    return trigger.data["tick"]


@pytest.fixture
def infra_and_placements() -> tuple[Infrastructure, list[Placement]]:
    infr = Infrastructure("dc")
    infr.add_nodes_from(["n1", "n2"])
    app = Application("app")
    app.add_service("s")
    return infr, [Placement(app, infr, {"s": "n1"})]


def run(env, callbacks, ticks):
    sim = Simulator(*env, callbacks)
    return sim, sim.run(ticks)


def events_of(history):
    return [(h["event"], h["tick"]) for h in history]


def test_every_nth_tick_and_end(infra_and_placements):
    sim, history = run(infra_and_placements, [FakeCallback("cb", ["tick"], every=2, fn=tick_of)], 5)
    assert [(h["event"], h["tick"], h["data"]) for h in history] == [
        ("tick", 0, {}), ("tick", 1, {"cb": 1}), ("tick", 2, {}),
        ("tick", 3, {"cb": 3}), ("tick", 4, {}), ("end", 4, {}),
    ]
    assert sim.history is history and not sim.stopped and sim.placement_view.tick == 4


def test_listener_cascade_in_list_order(infra_and_placements):
    log: list = []
    view_ticks: list = []
    cbs = [
        FakeCallback("c", ["b"], fn=lambda t: t.activated_by.name, log=log),
        FakeCallback("a", ["tick"], fn=lambda t: view_ticks.append(t.simulator.placement_view.tick),
                     log=log),
        FakeCallback("b", ["a", "tick"], every=2, log=log),
    ]
    _, history = run(infra_and_placements, cbs, 2)
    # Tick 1: b activates on its second call from the tick and from a; c hears b only once.
    assert log[3:] == [("a", "tick"), ("b", "tick"), ("b", "a"), ("c", "b")]
    assert history[1]["data"] == {"a": None, "b": "a", "c": "a"}
    assert view_ticks == [0, 1]


def test_cycle_fires_each_pair_once(infra_and_placements):
    log: list = []
    cbs = [FakeCallback("a", ["tick", "b"], log=log), FakeCallback("b", ["a"], log=log)]
    run(infra_and_placements, cbs, 1)
    assert log == [("a", "tick"), ("b", "a"), ("a", "b")]


@pytest.mark.parametrize("ticks, stop_at, expected_last", [(10, 2, 2), (3, 99, 2), (0, 0, 0)])
def test_stop_ends_run_after_the_tick_and_end_is_emitted(infra_and_placements, ticks, stop_at,
                                                          expected_last):
    stopper = FakeCallback("stopper", ["tick"], fn=tick_of,
                           events={"stop": lambda d: d >= stop_at, "warn": bool})
    # Idle on even ticks, when its stale data must not raise events.
    idle = FakeCallback("idle", ["tick"], every=2, events={"late": lambda d: d is not None})
    warned = FakeCallback("warned", ["warn"], fn=tick_of)
    sim, history = run(infra_and_placements, [stopper, idle, warned], ticks)
    roots = [h for h in history if h["event"] in ("tick", "end")]
    assert [h["event"] for h in roots] == ["tick"] * (len(roots) - 1) + ["end"]
    assert roots[-1]["tick"] == expected_last
    assert sim.stopped is (stop_at < ticks)
    assert all(("late" in h["triggered"]) == (h["tick"] % 2 == 1) for h in roots[:-1])
    # "warn" is delivered after its tick (from tick 1 on, when the data is truthy), "late"
    # on odd ticks; the stopping tick still delivers them before the run ends.
    for h in roots[:-1]:
        after = [e["event"] for e in history
                 if e["tick"] == h["tick"] and e["event"] not in ("tick", "end")]
        assert after == (["warn"] if h["tick"] else []) + (["late"] if h["tick"] % 2 else [])
    assert all(e["data"] == {"warned": e["tick"]} for e in history if e["event"] == "warn")
    if stop_at < ticks:
        assert roots[-2]["triggered"] == ["stop", "warn"]


def test_triggered_events_cascade_once_per_name_per_tick(infra_and_placements):
    """overload -> alarm -> overload again and tick: each name is delivered once a tick."""
    log: list = []
    source = FakeCallback("source", ["tick"], fn=tick_of, events={"overload": lambda d: d >= 1},
                          log=log)
    handler = FakeCallback("handler", ["overload"],
                           events={"alarm": bool, "overload": bool, "tick": bool}, log=log)
    pager = FakeCallback("pager", ["alarm"],
                         fn=lambda t: (t.name, t.data, type(t.simulator).__name__),
                         events={"overload": bool}, log=log)
    sim, history = run(infra_and_placements, [source, handler, pager], 3)
    assert events_of(history) == [("tick", 0), ("tick", 1), ("overload", 1), ("alarm", 1),
                                  ("tick", 2), ("overload", 2), ("alarm", 2), ("end", 2)]
    assert history[3]["data"] == {"pager": ("alarm", {"tick": 1}, "Simulator")}
    assert history[2]["triggered"] == ["alarm", "overload", "tick"]
    assert Counter(log)[("handler", "overload")] == 2 and Counter(log)[("pager", "alarm")] == 2


def test_stop_raised_by_a_triggered_event_ends_the_run(infra_and_placements):
    source = FakeCallback("source", ["tick"], fn=tick_of, events={"check": lambda d: d == 1})
    judge = FakeCallback("judge", ["check"], events={"stop": bool})
    sim, history = run(infra_and_placements, [source, judge], 5)
    assert events_of(history) == [("tick", 0), ("tick", 1), ("check", 1), ("end", 1)]
    assert sim.stopped


class TickValue(SorvaneCallback):
    def __call__(self, event):
        return event.data["tick"]


class Counted(SorvaneCallback):
    def __call__(self, trigger):
        return (trigger.name, trigger.data)


def test_native_callbacks_hear_triggered_events(infra_and_placements):
    cbs = [TickValue("load", CallbackType.SIMULATION, triggers={"overload": lambda d: d % 2 == 1}),
           Counted("reaction", activates_on=["overload", "load"])]
    sim, history = run(infra_and_placements, cbs, 4)
    # It hears the tick through the cascade from "load", and "overload" as an event of its own.
    assert [(h["event"], h["data"]) for h in history if h["event"] != "end"] == [
        ("tick", {"load": 0, "reaction": ("load", 0)}),
        ("tick", {"load": 1, "reaction": ("load", 1)}),
        ("overload", {"reaction": ("overload", {"tick": 1})}),
        ("tick", {"load": 2, "reaction": ("load", 2)}),
        ("tick", {"load": 3, "reaction": ("load", 3)}),
        ("overload", {"reaction": ("overload", {"tick": 3})}),
    ]
    assert cbs[1].n_calls == {"overload": 2, "load": 4}


def test_stepping_yields_records_as_they_happen(infra_and_placements):
    seen: list = []
    sim = Simulator(*infra_and_placements,
                    [FakeCallback("cb", ["tick", "end"], fn=tick_of, log=seen)])
    steps = sim.iter(3)
    assert seen == []  # nothing runs before the first step
    first = next(steps)
    assert first == {"event": "tick", "tick": 0, "data": {"cb": 0}, "activated_by": {"cb": "tick"},
                     "triggered": []}
    assert (sim.tick, seen) == (0, [("cb", "tick")])
    rest = list(steps)
    assert [r["event"] for r in rest] == ["tick", "tick", "end"] and sim.history == [first, *rest]
    again = Simulator(*infra_and_placements, [FakeCallback("cb", ["tick", "end"], fn=tick_of)])
    assert again.run(3) == sim.history


def test_closing_a_run_early_ends_it_without_end_event(infra_and_placements):
    cb = FakeCallback("cb", ["tick", "end"])
    sim = Simulator(*infra_and_placements, [cb])
    with closing(sim.iter(10)) as steps:
        for record in steps:
            if record["tick"] == 2:
                break
    assert [r["event"] for r in sim.history] == ["tick"] * 3
    assert sim.run(1)[-1]["event"] == "end"  # the simulator is free again


def test_one_run_at_a_time(infra_and_placements):
    sim = Simulator(*infra_and_placements)
    steps = sim.iter(3)
    next(steps)
    with pytest.raises(RuntimeError, match="already running"):
        sim.run(1)
    assert [r["tick"] for r in steps] == [1, 2, 2]


@pytest.mark.parametrize("where", ["init", "run"])
def test_history_false_keeps_nothing(infra_and_placements, where):
    cb = FakeCallback("cb", ["tick"], fn=tick_of)
    sim = Simulator(*infra_and_placements, [cb], history=where != "init")
    assert sim.run(5, **({"history": False} if where == "run" else {})) == [] and sim.history == []
    assert cb.data == 4
    assert [r["tick"] for r in sim.iter(2, history=False)] == [0, 1, 1] and sim.history == []


def world_of_two():
    infr = Infrastructure("dc")
    infr.add_nodes_from(["a", "b", "c"])
    web, db = Application("web"), Application("db")
    web.add_service("front")
    web.add_service("api")
    db.add_service("store")
    return infr, [Placement(web, infr, {"front": "a", "api": "b"}),
                  Placement(db, infr, {"store": "c"})]


def test_migration_between_steps_shows_in_the_next_view():
    infr, placements = world_of_two()
    views = []
    cb = FakeCallback("cb", ["tick"], fn=lambda t: views.append(t.simulator.placement_view) or None)
    sim = Simulator(infr, placements, [cb])
    steps = sim.iter(4)
    next(steps)
    sim.migrate("web", "api", "c")
    assert views[0].mapping["web"]["api"] == "b"  # the view of tick 0 is a snapshot
    next(steps)
    next(steps)
    assert [dict(v.mapping["web"]) for v in views[:3]] == [
        {"front": "a", "api": "b"}, {"front": "a", "api": "c"}, {"front": "a", "api": "c"}]
    assert [v.tick for v in views[:3]] == [0, 1, 2]
    # Unchanged ticks share one frozen mapping; the untouched application keeps its snapshot.
    assert views[1].mapping is views[2].mapping and views[0].mapping["db"] is views[1].mapping["db"]
    placements[1].mapping["store"] = "a"  # in place, outside migrate: seen next tick too
    list(steps)
    assert sim.placement_view.mapping["db"] == {"store": "a"}


@pytest.mark.parametrize("args, error, match", [
    (("shop", "front", "a"), KeyError, "no placement for application 'shop'"),
    (("web", "cache", "a"), KeyError, "application 'web' has no service 'cache'"),
    (("web", "front", "z"), ValueError, "node 'z' is not in infrastructure 'dc'"),
])
def test_migrate_rejects_unknown_things(args, error, match):
    infr, placements = world_of_two()
    sim = Simulator(infr, placements)
    with pytest.raises(error, match=match):
        sim.migrate(*args)
    assert placements[0].mapping == {"front": "a", "api": "b"}


def test_migrate_an_unplaced_service_is_refused():
    infr, placements = world_of_two()
    placements[0].application.add_service("cache")
    with pytest.raises(ValueError, match="service 'cache' of application 'web' is not placed"):
        Simulator(infr, placements).migrate("web", "cache", "a")


def test_callbacks_added_during_a_run_hear_the_next_tick(infra_and_placements):
    sim = Simulator(*infra_and_placements, [FakeCallback("a", ["tick"])])
    steps = sim.iter(3)
    next(steps)
    sim.add_callback(FakeCallback("b", ["tick"]))
    sim.callbacks.append(FakeCallback("c", ["tick"]))  # directly, too
    assert [list(r["data"]) for r in steps] == [["a", "b", "c"], ["a", "b", "c"], []]
    with pytest.raises(ValueError, match="repeated: \\['a'\\]"):
        sim.add_callback(FakeCallback("a", ["end"]))


class Node(SorvaneCallback):
    def __call__(self, *args, **kwargs):
        return 1


def other_world():
    infr = Infrastructure("elsewhere")
    infr.add_node("n1")
    return infr


@pytest.mark.parametrize("make, mode, match", [
    (lambda e: [Node("load", "Node")], "simulation",
     "callback 'load' has type 'Node'; expected None or one of 'simulation', 'application'"),
    (lambda e: [Node("load", "nodes")], "simulation", "has type 'nodes'"),
    (lambda e: [Node("traffic", "link", remote=True)], "emulation",
     "callback 'traffic' has type 'link' and remote=True; only 'service' and 'node'"),
    (lambda e: [Node("load", CallbackType.NODE, remote=True)], "simulation",
     "callback 'load' has remote=True, which needs mode='emulation'"),
    (lambda e: [FakeCallback("x", ["tick"]), FakeCallback("x", ["end"])], "simulation",
     "callback names must be unique; repeated: \\['x'\\]"),
], ids=["type-case", "type-plural", "remote-link", "remote-in-simulation", "duplicate-names"])
def test_callback_mistakes_are_caught_up_front(infra_and_placements, make, mode, match):
    with pytest.raises(ValueError, match=match):
        Simulator(*infra_and_placements, make(infra_and_placements), mode=mode)
    sim = Simulator(*infra_and_placements, mode=mode)
    sim.callbacks.extend(make(infra_and_placements))
    with pytest.raises(ValueError, match=match):
        sim.iter(1)  # checked again when a run starts, before its first step


def shared_api():
    infr = Infrastructure("dc")
    infr.add_nodes_from(["n1", "n2"])
    a, b = Application("shop"), Application("blog")
    a.add_service("api")
    b.add_service("api")
    return infr, a, b


@pytest.mark.parametrize("build, match", [
    (lambda: (lambda i, a, b: (i, [Placement(a, i, {"api": "n1"}),
                                   Placement(b, i, {"api": "n1"})]))(*shared_api()),
     "applications 'shop' and 'blog' both place service 'api' on node 'n1'"),
    (lambda: (lambda i, a, b: (i, [Placement(a, other_world(), {"api": "n1"})]))(*shared_api()),
     "placement of application 'shop' is on infrastructure 'elsewhere', not on the simulator's"),
    (lambda: (lambda i, a, b: (i, {"other": Placement(a, i, {"api": "n1"})}))(*shared_api()),
     "placement of application 'shop' is stored under 'other'"),
    (lambda: (lambda i, a, b: (a.add_node("db"),
                               (i, [Placement(a, i, {"api": "n1"})]))[1])(*shared_api()),
     "application 'shop' is placed but services \\['db'\\] have no node"),
], ids=["same-service-same-node", "other-infrastructure", "wrong-key", "partly-placed"])
def test_placement_mistakes_are_caught_before_ray(monkeypatch, build, match):
    monkeypatch.setattr(Emulation, "start", lambda *a: pytest.fail("Ray was touched"))
    infr, placements = build()
    with pytest.raises(ValueError, match=match):
        Simulator(infr, placements, mode="emulation")


def test_emulation_only_checks_stay_out_of_simulation():
    infr, a, b = shared_api()
    a.add_node("db")
    sim = Simulator(infr, [Placement(a, infr, {"api": "n1"}), Placement(b, infr, {"api": "n1"})])
    assert sim.run(1)[-1]["event"] == "end"
    with pytest.raises(ValueError, match="cannot move service 'api' of application 'blog' to "
                                         "node 'n1': application 'shop' has"):
        Simulator(infr, [Placement(a, infr, {"api": "n1", "db": "n2"}),
                         Placement(b, infr, {"api": "n2"})],
                  mode="emulation").migrate("blog", "api", "n1")
