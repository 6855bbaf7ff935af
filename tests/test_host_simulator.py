from collections import Counter
from typing import Any, Callable

import pytest

from sorvane_core.graph import Application, Infrastructure
from sorvane_core.placement import Placement
from sorvane_core.simulation import Simulator


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
        FakeCallback("a", ["tick"], fn=lambda t: view_ticks.append(t.simulator.placement_view.tick), log=log),
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
def test_stop_ends_run_but_end_is_emitted(infra_and_placements, ticks, stop_at, expected_last):
    stopper = FakeCallback("stopper", ["tick"], fn=tick_of, events={"stop": lambda d: d >= stop_at, "warn": bool})
    # Idle on even ticks, when its stale data must not raise events.
    idle = FakeCallback("idle", ["tick"], every=2, events={"late": lambda d: d is not None})
    sim, history = run(infra_and_placements, [stopper, idle], ticks)
    assert [h["event"] for h in history] == ["tick"] * (len(history) - 1) + ["end"]
    assert history[-1]["tick"] == expected_last
    assert sim.stopped is (stop_at < ticks)
    assert all(("late" in h["triggered"]) == (h["tick"] % 2 == 1) for h in history[:-1])
    if stop_at < ticks:
        assert history[-2]["triggered"] == ["stop", "warn"]


@pytest.mark.parametrize(
    "kwargs, callbacks",
    [({"mode": "local"}, []), ({}, [FakeCallback("x", ["tick"]), FakeCallback("x", ["end"])])],
)
def test_rejects_bad_configuration(infra_and_placements, kwargs, callbacks):
    with pytest.raises(ValueError):
        Simulator(*infra_and_placements, callbacks, **kwargs).run(1)
    infr, pls = infra_and_placements
    with pytest.raises(ValueError):  # two placements of one application
        Simulator(infr, pls * 2)
