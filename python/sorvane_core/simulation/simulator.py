"""Tick-by-tick run of placed applications, locally or emulated on Ray."""

from __future__ import annotations

import operator
from collections import deque
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, Any, Hashable, Protocol

from sorvane_core.placement import Placement, PlacementView
from sorvane_core.workflow.events import SorvaneEvent

if TYPE_CHECKING:
    from sorvane_core.graph import Infrastructure

MODES = ("simulation", "emulation")


class Callback(Protocol):
    """What the simulator needs from a callback."""

    name: str
    activates_on: Iterable[str]
    activated_by: Any
    data: Any

    def _call(self, trigger: Any) -> Any: ...

    def _triggered_events(self) -> Iterable[str]: ...


class Simulator:
    """Runs placed applications on an infrastructure and notifies callbacks each tick.

    In ``"simulation"`` mode everything happens in this process. In
    ``"emulation"`` mode each infrastructure node becomes a Ray actor and the
    placed services are deployed and started on them for the run.

    Attributes:
        infrastructure: the infrastructure.
        placements: application id -> Placement.
        placement_view: snapshot of the placements at the current tick.
        callbacks: callbacks, notified in this order.
        mode: ``"simulation"`` or ``"emulation"``.
        tick: the current (after a run, the last) tick.
        history: one record per emitted event of the last run.
        stopped: whether a triggered ``"stop"`` ended the last run early.
    """

    def __init__(
        self,
        infrastructure: Infrastructure,
        placements: Mapping[Hashable, Placement] | Iterable[Placement],
        callbacks: Iterable[Callback] = (),
        *,
        mode: str = "simulation",
        address: str | None = None,
    ) -> None:
        if mode not in MODES:
            raise ValueError(f"mode must be one of {MODES}, not {mode!r}")
        self.infrastructure = infrastructure
        self.placements = _by_application(placements)
        self.callbacks: list[Callback] = list(callbacks)
        self.mode = mode
        self.address = address
        self.tick = 0
        self.placement_view = PlacementView.of(self.placements, self.tick)
        self.history: list[dict[str, Any]] = []
        self.stopped = False
        self._node_actors: dict[Hashable, Any] = {}

    def run(self, ticks: int) -> list[dict[str, Any]]:
        """Run ``ticks`` ticks, then emit ``"end"``; return the history of this run.

        Each history record is ``{"event", "tick", "data", "triggered"}``, where
        ``data`` maps the name of each callback that activated on that event to
        its data and ``triggered`` lists the events those callbacks raised.
        """
        ticks = operator.index(ticks)
        if ticks < 0:
            raise ValueError(f"ticks must be >= 0, not {ticks}")
        names = [cb.name for cb in self.callbacks]
        duplicates = sorted({n for n in names if names.count(n) > 1}, key=str)
        if duplicates:
            # Their data would overwrite one another in the history.
            raise ValueError(f"callback names must be unique; repeated: {duplicates!r}")
        self.history = []
        self.stopped = False
        self.tick = 0
        if self.mode == "emulation":
            self._run_emulated(ticks)
        else:
            self._run_ticks(ticks)
        return self.history

    def _run_ticks(self, ticks: int) -> None:
        for t in range(ticks):
            self.tick = t
            self.placement_view = PlacementView.of(self.placements, t)
            if "stop" in self._emit("tick", {"tick": t}):
                self.stopped = True
                break
        self._emit("end", {"tick": self.tick})

    def _emit(self, name: str, data: dict[str, Any]) -> list[str]:
        """Deliver an event, cascade to listening callbacks, record it; return triggered events."""
        event = SorvaneEvent(name, self, data=data)
        activated: dict[int, Callback] = {}  # by id(), in activation order
        pending: deque[Callback] = deque()

        def call(cb: Callback, trigger: Any) -> None:
            cb._call(trigger)
            if cb.activated_by is not None:
                activated.setdefault(id(cb), cb)
                pending.append(cb)

        for cb in self.callbacks:
            if name in cb.activates_on:
                call(cb, event)
        # Each (trigger, listener) pair fires at most once, so cycles terminate.
        fired: set[tuple[int, int]] = set()
        while pending:
            trigger = pending.popleft()
            for cb in self.callbacks:
                pair = (id(trigger), id(cb))
                if pair not in fired and trigger.name in cb.activates_on:
                    fired.add(pair)
                    call(cb, trigger)

        triggered: list[str] = []
        for cb in activated.values():
            for ev in cb._triggered_events():
                if ev not in triggered:
                    triggered.append(ev)
        self.history.append(
            {
                "event": name,
                "tick": self.tick,
                "data": {cb.name: cb.data for cb in activated.values()},
                "triggered": triggered,
            }
        )
        return triggered

    def _run_emulated(self, ticks: int) -> None:
        import ray

        from sorvane_core.remote._node import start_node_actors

        placed = [pl for pl in self.placements.values() if pl.mapping]
        rovel = None
        if placed:
            # Imported before any Ray side effect, so a missing module leaves nothing running.
            from sorvane_core.simulation._simulator.rovel import RemoteSimRovel as rovel
        if not ray.is_initialized():
            ray.init(address=self.address)
        # Ray ends an actor once its last handle is gone, name or not: hold them for the run.
        self._node_actors = start_node_actors(self.infrastructure)
        deployed: list[Placement] = []
        started: list[Placement] = []
        try:
            for pl in placed:
                rovel.deploy(pl)
                deployed.append(pl)
                rovel.start(pl)
                started.append(pl)
            self._run_ticks(ticks)
        except BaseException as exc:
            for err in self._teardown(rovel, deployed, started):
                exc.add_note(f"emulation cleanup also failed: {err!r}")
            raise
        errors = self._teardown(rovel, deployed, started)
        if errors:
            # A run whose services could not be taken down must not look successful.
            for err in errors[1:]:
                errors[0].add_note(f"emulation cleanup also failed: {err!r}")
            raise errors[0]

    def _teardown(
        self, rovel: Any, deployed: list[Placement], started: list[Placement]
    ) -> list[Exception]:
        """Stop and undeploy what was set up, then stop the node actors; return the errors."""
        from sorvane_core.remote._node import stop_node_actors

        errors: list[Exception] = []
        for pl in deployed:
            steps = ([rovel.stop] if pl in started else []) + [rovel.undeploy]
            for step in steps:
                try:
                    step(pl)
                except Exception as err:
                    errors.append(err)
        try:
            stop_node_actors(self.infrastructure)
        except Exception as err:
            errors.append(err)
        self._node_actors = {}
        return errors

    def __repr__(self) -> str:
        return (
            f"Simulator(mode={self.mode!r}, infrastructure={self.infrastructure.id!r}, "
            f"applications={list(self.placements)!r}, tick={self.tick})"
        )


def _by_application(
    placements: Mapping[Hashable, Placement] | Iterable[Placement],
) -> dict[Hashable, Placement]:
    if isinstance(placements, Mapping):
        return dict(placements)
    result: dict[Hashable, Placement] = {}
    for pl in placements:
        app_id = pl.application.id
        if app_id in result:
            raise ValueError(f"two placements for application {app_id!r}")
        result[app_id] = pl
    return result
