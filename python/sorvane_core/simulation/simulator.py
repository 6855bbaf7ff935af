"""Tick-by-tick run of placed applications, locally or emulated on Ray."""

from __future__ import annotations

import os
import random
from collections import deque
from collections.abc import Generator, Hashable, Iterable, Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any, Protocol

from sorvane_core.placement import CHANGES, Placement, PlacementView, TrackedDict, ViewCache
from sorvane_core.remote.timeouts import set_remote_timeout
from sorvane_core.simulation._checks import (
    check_callbacks,
    check_free,
    check_placements,
    check_ticks,
)
from sorvane_core.simulation._dispatch import Listeners
from sorvane_core.simulation.observers import Observer, Record, hooks

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
        ticks_run: how many ticks the last run delivered.
        out: the folder that runs write their reports into, or None.
        seed: the seed of the current (or last) run: the one given, or one
            drawn at random when the run started, so that any run can be
            repeated.
        rng: a ``random.Random`` seeded with ``seed`` at the start of every
            run, for callbacks to draw from (``event.simulator.rng``).
        observers: objects told about every run (see ``observers.Observer``).
        ray_init: keyword arguments for ``ray.init`` when an emulation starts
            Ray itself, over the quiet defaults (``logging_level=ERROR``,
            ``log_to_driver=False``, no dashboard): ``{"log_to_driver": True}``
            shows what the actors print.
        remote_timeout: how long, in seconds, a run waits for the node actors
            to answer one batch of remote calls (None: for ever); past it,
            TimeoutError names the actors still busy and the run ends, its
            actors killed.
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
        out: str | os.PathLike[str] | None = None,
        seed: int | None = None,
        progress: bool | None = None,
        observers: Iterable[Observer] = (),
        ray_init: Mapping[str, Any] | None = None,
        remote_timeout: float | None = 300.0,
    ) -> None:
        if mode not in MODES:
            raise ValueError(f"mode must be one of {MODES}, not {mode!r}")
        self.infrastructure = infrastructure
        self.placements: dict[Hashable, Placement] = TrackedDict(_by_application(placements))
        self.callbacks: list[Callback] = list(callbacks)
        self.mode = mode
        self.address = address
        self.ray_init = dict(ray_init or {})
        self.remote_timeout = remote_timeout
        self._saved_timeout: float | None = None
        self.keep_history = history
        self.out = None if out is None else Path(out)
        self.given_seed = seed
        self.seed = seed
        self.rng = random.Random(seed)
        self.progress = progress
        self.observers: list[Observer] = list(observers)
        self.tick = 0
        self.ticks_run = 0
        self.history: list[Record] = []
        self.stopped = False
        self._views = ViewCache()
        self._views.refresh(self.placements)
        self._view: PlacementView | None = None  # made when first read in a tick
        self._listeners: Listeners | None = None  # set while a run is active
        self._emulation: Emulation | None = None  # set while services are deployed
        self._watching: list[Observer] = []  # the observers of the active run
        self._check()

    # -- running -------------------------------------------------------------------

    def run(
        self,
        ticks: int,
        *,
        history: bool | None = None,
        out: str | os.PathLike[str] | None = None,
        progress: bool | None = None,
    ) -> list[Record]:
        """Run ``ticks`` ticks, then emit ``"end"``; return the history of this run.

        Each history record is ``{"event", "tick", "data", "activated_by",
        "triggered"}``: ``data`` maps the name of each callback that activated on
        that event to its data, ``activated_by`` to the name of what triggered it
        (the event, or another callback), and ``triggered`` lists the events those
        callbacks raised. With ``history=False`` (here or on the simulator)
        nothing is kept and the result is empty: for long runs whose results go
        to reports. ``out`` and ``progress`` override the simulator's own.
        """
        deque(self.iter(ticks, history=history, out=out, progress=progress), maxlen=0)
        return self.history

    def iter(
        self,
        ticks: int,
        *,
        history: bool | None = None,
        out: str | os.PathLike[str] | None = None,
        progress: bool | None = None,
    ) -> Generator[Record, None, None]:
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
        if out is not None:
            self.out = Path(out)
        self._check()
        watching = self._observers_for(self.progress if progress is None else progress)
        return self._steps(ticks, keep, watching)

    def results(self, name: str) -> Any:
        """The results of callback ``name`` as a pandas DataFrame, one row per value.

        Read from its report in ``out`` when the last run wrote one, otherwise
        from the history. Needs pandas (``pip install 'sorvane_core[analysis]'``).
        """
        if hooks.table is None:
            raise RuntimeError("tables need sorvane_core.results, which the package loads")
        return hooks.table(self, name)

    def add_callback(self, callback: Callback) -> None:
        """Add a callback, also between the steps of a run."""
        check_callbacks([*self.callbacks, callback], self.mode)
        self.callbacks.append(callback)
        if self._listeners is not None:
            self._callbacks_changed()

    def _callbacks_changed(self) -> None:
        self._check()
        self._listeners = Listeners(self.callbacks)
        if self._emulation is not None:
            self._emulation.ship(self.callbacks)

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

    def _observers_for(self, progress: bool | None) -> list[Observer]:
        """This run's observers: the simulator's, the reports, the progress bar."""
        watching = list(self.observers)
        if self.out is not None:
            if hooks.reports is None:
                raise RuntimeError("reports need sorvane_core.results, which the package loads")
            watching.append(hooks.reports(self.out))
        if progress is not False:
            from sorvane_core.simulation.progress import ProgressBar, tqdm_for

            tqdm = tqdm_for(progress)
            if tqdm is not None:
                watching.append(ProgressBar(tqdm))
        return watching

    def _steps(
        self, ticks: int, keep: bool, watching: list[Observer]
    ) -> Generator[Record, None, None]:
        if self._listeners is not None:
            raise RuntimeError("this simulator is already running; finish or close that run first")
        self._listeners = Listeners(self.callbacks)
        self._watching = watching
        self.history = history = []
        self.stopped = False
        self.tick = self.ticks_run = 0
        self._saved_timeout = set_remote_timeout(self.remote_timeout)
        self.seed = (
            self.given_seed
            if self.given_seed is not None
            else random.SystemRandom().randrange(2**63)
        )
        self.rng.seed(self.seed)
        try:
            for observer in watching:
                observer.started(self, ticks)
            if self.mode == "emulation":
                from sorvane_core.simulation._emulation import Emulation

                self._emulation = Emulation(self.infrastructure, self.address, self.ray_init)
                self._emulation.start(self.placements, self.callbacks)
            views = self._views
            for tick in range(ticks):
                self.tick = tick
                self._view = None
                if CHANGES.value != views.seen or self.placements is not views.source:
                    self._placements_changed()
                listeners = self._listeners
                if len(self.callbacks) != listeners.size:  # appended to directly
                    self._callbacks_changed()
                    listeners = self._listeners
                record = listeners.deliver(self, "tick", tick)
                if keep:
                    history.append(record)
                if watching:
                    self._tell(record)
                yield record
                self.ticks_run = tick + 1
                stop = False
                if record["triggered"]:
                    stop = yield from self._triggered(record, keep)
                if watching:
                    for observer in watching:
                        observer.step_done()
                if stop:
                    self.stopped = True
                    break
            record = self._listeners.deliver(self, "end", self.tick)
            if keep:
                history.append(record)
            if watching:
                self._tell(record)
            yield record
            if record["triggered"]:
                yield from self._triggered(record, keep)
            if watching:
                for observer in watching:
                    observer.step_done()
        except BaseException as exc:
            # GeneratorExit too: closed between two steps, a failed teardown is the caller's error.
            self._finish(exc)
            raise
        self._finish(None)

    def _tell(self, record: Record) -> None:
        activations = self._listeners.activations()  # type: ignore[union-attr]
        for observer in self._watching:
            observer.recorded(record, activations)

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
            if self._watching:
                self._tell(record)
            yield record
            queue.extend(record["triggered"])
        return stop

    @property
    def placement_view(self) -> PlacementView:
        """The read-only snapshot of the placements at the current tick."""
        view = self._view
        if view is None:
            view = self._view = PlacementView._sharing(self.tick, self._views.frozen)
        return view

    def _placements_changed(self) -> None:
        if self._emulation is not None:
            self._emulation.sync(self.placements)
        if not isinstance(self.placements, TrackedDict):
            self.placements = TrackedDict(self.placements)
        self._views.refresh(self.placements)

    def _finish(self, error: BaseException | None) -> None:
        """End the run: take down the emulation, if any, then tell the observers.

        Errors on the way go as notes on ``error``, the one that ended the run
        (a GeneratorExit when the run was closed early: then they are raised);
        without one they are raised, since a run whose services could not be
        taken down, or whose reports could not be written, must not look
        successful.
        """
        self._listeners = None
        watching, self._watching = self._watching, []
        emulation, self._emulation = self._emulation, None
        errors: list[BaseException] = []
        interrupted: BaseException | None = None
        try:
            if emulation is not None:
                errors.extend(emulation.close(error))
        except BaseException as exc:  # Ctrl-C during the teardown: raised once all is done
            interrupted = exc
        finally:
            set_remote_timeout(self._saved_timeout)
        ended_by = error if error is not None and not isinstance(error, GeneratorExit) else None
        reason = ended_by or interrupted or (errors[0] if errors else error)
        for observer in watching:
            try:
                observer.finished(self, reason)
            except Exception as failure:
                errors.append(failure)
        if interrupted is not None:
            for other in errors:
                interrupted.add_note(f"also failed while ending the run: {other!r}")
            raise interrupted
        if not errors:
            return
        if ended_by is not None:
            for other in errors:
                ended_by.add_note(f"also failed while ending the run: {other!r}")
            return
        for other in errors[1:]:
            errors[0].add_note(f"also failed while ending the run: {other!r}")
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

