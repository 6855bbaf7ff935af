"""Tick-by-tick run of placed applications, locally or emulated on Ray."""

from __future__ import annotations

from collections import deque
from collections.abc import Generator, Iterable, Iterator, Mapping
from typing import TYPE_CHECKING, Any, Hashable, Protocol

from sorvane_core.placement import Placement, PlacementView, TrackedDict, ViewCache
from sorvane_core.simulation._checks import (
    check_callbacks,
    check_free,
    check_placements,
    check_ticks,
)
from sorvane_core.simulation._dispatch import Listeners, Record

if TYPE_CHECKING:
    from sorvane_core.graph import Infrastructure
    from sorvane_core.simulation._emulation import Emulation

MODES = ("simulation", "emulation")


class Callback(Protocol):
    """What the simulator needs from a callback."""

    @property
    def name(self) -> str: ...

    @property
    def activates_on(self) -> Iterable[str]: ...

    @property
    def activated_by(self) -> Any: ...

    @property
    def data(self) -> Any: ...

    def _call(self, trigger: Any) -> Any: ...

    def _triggered_events(self) -> Iterable[str]: ...


class Simulator:
    """Runs placed applications on an infrastructure and notifies callbacks each tick.

    In ``"simulation"`` mode everything happens in this process. In
    ``"emulation"`` mode each infrastructure node becomes a Ray actor and the
    placed services are deployed and started on them for the run.

    Each tick is one ``"tick"`` event, delivered to the callbacks that listen
    to it, then to the callbacks that listen to those that activated (each
    pair once, so cycles end). The events that the activated callbacks
    trigger are then delivered in the same tick, each name at most once per
    tick; a triggered ``"stop"`` ends the run after the tick. An ``"end"``
    event follows the last tick.

    Attributes:
        infrastructure: the infrastructure.
        placements: application id -> Placement.
        placement_view: snapshot of the placements at the current tick.
        callbacks: callbacks, notified in this order.
        mode: ``"simulation"`` or ``"emulation"``.
        tick: the current (after a run, the last) tick.
        history: one record per delivered event of the last run, unless the
            run keeps no history.
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
        history: bool = True,
    ) -> None:
        if mode not in MODES:
            raise ValueError(f"mode must be one of {MODES}, not {mode!r}")
        self.infrastructure = infrastructure
        self.placements: dict[Hashable, Placement] = TrackedDict(_by_application(placements))
        self.callbacks: list[Callback] = list(callbacks)
        self.mode = mode
        self.address = address
        self.keep_history = history
        self.tick = 0
        self.history: list[Record] = []
        self.stopped = False
        self._views = ViewCache()
        self._views.refresh(self.placements)
        self.placement_view = PlacementView._sharing(0, self._views.frozen)
        self._listeners: Listeners | None = None  # set while a run is active
        self._emulation: Emulation | None = None  # set while services are deployed
        self._check()

    # -- running -------------------------------------------------------------------

    def run(self, ticks: int, *, history: bool | None = None) -> list[Record]:
        """Run ``ticks`` ticks, then emit ``"end"``; return the history of this run.

        Each history record is ``{"event", "tick", "data", "triggered"}``, where
        ``data`` maps the name of each callback that activated on that event to
        its data and ``triggered`` lists the events those callbacks raised.
        With ``history=False`` (here or on the simulator) nothing is kept and
        the result is empty: for long runs whose results go elsewhere.
        """
        deque(self.iter(ticks, history=history), maxlen=0)
        return self.history

    def iter(self, ticks: int, *, history: bool | None = None) -> Generator[Record, None, None]:
        """Run step by step: a generator of the record of each event as it happens.

        Set-up (in emulation: the node actors, deploying and starting the
        services) happens at the first step, and teardown when the generator
        is exhausted or closed, or fails. Between two steps the simulation
        may be changed, for example with :meth:`migrate`; close a generator
        that is not run to its end (``contextlib.closing``), so that an
        emulation is taken down at once.
        """
        ticks = check_ticks(ticks)
        keep = self.keep_history if history is None else bool(history)
        self._check()
        return self._steps(ticks, keep)

    def add_callback(self, callback: Callback) -> None:
        """Add a callback, also between the steps of a run."""
        check_callbacks([*self.callbacks, callback], self.mode)
        self.callbacks.append(callback)
        if self._listeners is not None:
            self._listeners = Listeners(self.callbacks)

    def migrate(self, app_id: Hashable, service_id: Hashable, node: Hashable) -> None:
        """Move service ``service_id`` of application ``app_id`` to ``node``.

        In simulation this changes the mapping; while an emulation runs, the
        service is also stopped and undeployed on its node, then deployed and
        started on ``node``. The placement view of the next tick shows the
        move. A failed move raises MigrationError and leaves the service where
        it was, running.
        """
        pl = self.placements.get(app_id)
        if pl is None:
            raise KeyError(f"no placement for application {app_id!r}")
        if service_id not in pl.application:
            raise KeyError(f"application {app_id!r} has no service {service_id!r}")
        if node not in self.infrastructure:
            raise ValueError(f"node {node!r} is not in infrastructure {self.infrastructure.id!r}")
        if service_id not in pl.mapping:
            raise ValueError(
                f"service {service_id!r} of application {app_id!r} is not placed; "
                f"set its node in the placement's mapping instead"
            )
        emulation = self._emulation
        if emulation is None:
            if self.mode == "emulation":
                check_free(self.placements, app_id, service_id, node)
            pl.mapping[service_id] = node
            return
        emulation.sync(self.placements)  # earlier changes first, so that the record is current
        check_free(emulation._live_mappings(), app_id, service_id, node)
        emulation.move(app_id, service_id, node)
        pl.mapping[service_id] = node

    def _check(self) -> None:
        check_callbacks(self.callbacks, self.mode)
        check_placements(self.infrastructure, self.placements, self.mode)

    def _steps(self, ticks: int, keep: bool) -> Iterator[Record]:
        if self._listeners is not None:
            raise RuntimeError("this simulator is already running; finish or close that run first")
        self._listeners = Listeners(self.callbacks)
        self.history = history = []
        self.stopped = False
        self.tick = 0
        try:
            if self.mode == "emulation":
                from sorvane_core.simulation._emulation import Emulation

                self._emulation = Emulation(self.infrastructure, self.address)
                self._emulation.start(self.placements)
            views = self._views
            for tick in range(ticks):
                self.tick = tick
                if views.stale(self.placements):
                    self._placements_changed()
                self.placement_view = PlacementView._sharing(tick, views.frozen)
                listeners = self._listeners
                if len(self.callbacks) != listeners.size:  # appended to directly
                    self._check()
                    listeners = self._listeners = Listeners(self.callbacks)
                record = listeners.deliver(self, "tick", tick)
                if keep:
                    history.append(record)
                yield record
                if record["triggered"] and (yield from self._triggered(record, keep)):
                    self.stopped = True
                    break
            record = self._listeners.deliver(self, "end", self.tick)
            if keep:
                history.append(record)
            yield record
            if record["triggered"]:
                yield from self._triggered(record, keep)
        except GeneratorExit:
            # Closed between two steps: a failed teardown is the caller's error.
            self._finish(None)
            raise
        except BaseException as exc:
            self._finish(exc)
            raise
        self._finish(None)

    def _triggered(self, first: Record, keep: bool) -> Generator[Record, None, bool]:
        """Deliver the events that ``first`` and its followers trigger, each name once;
        return whether one of them was ``"stop"``."""
        delivered = {first["event"]}
        queue = list(first["triggered"])
        stop = False
        for name in queue:  # grows as the events trigger others
            if name == "stop":
                stop = True
                continue
            if name in delivered:
                continue
            delivered.add(name)
            record = self._listeners.deliver(self, name, self.tick)  # type: ignore[union-attr]
            if keep:
                self.history.append(record)
            yield record
            queue.extend(record["triggered"])
        return stop

    def _placements_changed(self) -> None:
        if self._emulation is not None:
            self._emulation.sync(self.placements)
        if not isinstance(self.placements, TrackedDict):
            self.placements = TrackedDict(self.placements)
        self._views.refresh(self.placements)

    def _finish(self, error: BaseException | None) -> None:
        """End the run: take down the emulation, if any.

        Cleanup errors go as notes on ``error``, the one that ended the run;
        without one they are raised, since a run whose services could not be
        taken down must not look successful.
        """
        self._listeners = None
        emulation, self._emulation = self._emulation, None
        if emulation is None:
            return
        errors = emulation.close()
        if error is not None:
            for err in errors:
                error.add_note(f"emulation cleanup also failed: {err!r}")
        elif errors:
            for err in errors[1:]:
                errors[0].add_note(f"emulation cleanup also failed: {err!r}")
            raise errors[0]

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

