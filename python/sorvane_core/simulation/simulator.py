"""Tick-by-tick run of placed applications, locally or emulated on Ray."""

from __future__ import annotations

import contextvars
import os
import random
from collections import deque
from collections.abc import Callable, Generator, Hashable, Iterable, Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any, Protocol

from sorvane_core.placement import CHANGES, Placement, PlacementView, TrackedDict
from sorvane_core.remote.timeouts import set_remote_timeout, waiting_at_most
from sorvane_core.simulation._checks import (
    check_callbacks,
    check_free,
    check_placements,
    check_policy,
    check_ticks,
)
from sorvane_core.simulation._dispatch import CallbackList, Listeners
from sorvane_core.simulation._views import Changes, ViewCache
from sorvane_core.simulation.migrations import NO_COST, Migration, MigrationCost
from sorvane_core.simulation.observers import Observer

if TYPE_CHECKING:
    from sorvane_core.graph import Infrastructure
    from sorvane_core.simulation._emulation import Emulation

MODES = ("simulation", "emulation")
_NOTHING: set[Hashable] = set()  # never added to: stands for no event delivered yet


# A migration policy: called between ticks with the simulator, it returns the moves to
# make, (application, service, node, reason); an attribute ``every`` (default 1) says
# after how many ticks it is called again.
Policy = Callable[[Any], Iterable[tuple[Hashable, Hashable, Hashable, str]]]


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
        callbacks: callbacks, notified in this order. Any change to the list (an
            item added, removed or replaced, or a new list) takes effect at the
            next tick, after the new callbacks are checked.
        mode: ``"simulation"`` or ``"emulation"``.
        tick: the current (after a run, the last) tick.
        history: one record per delivered event of the last run, unless the
            run keeps no history.
        stopped: whether a triggered ``"stop"`` ended the last run early.
        ticks_run: how many ticks the last run completed: delivered with every
            event they triggered.
        runs: how many runs have started, this one included.
        out: the folder that runs write their reports into by default, or None.
        overwrite: whether a run may replace the run already recorded in its
            output folder (only that run's files are removed).
        last_out: the folder the last run wrote its reports into, or None.
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
            actors killed. Each run has its own: runs stepped in turn, or in
            other threads, do not change each other's.
        metadata: fields added to the run.json of every run with an output
            folder (a sweep records a run's parameters there).
        policies: migration policies, called between ticks (see
            ``sorvane_core.policies``): each returns the moves to make.
        migration_cost: how a move is costed (``MigrationCost``; True: its
            defaults; False: moves cost nothing).
        migrations: the services moved during the current (or last) run, each a
            ``Migration``, also in the history (``"migration"`` records) and in
            the ``migrations`` report.
        unavailable: (application, service) -> the tick from which a service
            being moved is available again.
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
        overwrite: bool = False,
        seed: int | None = None,
        progress: bool | None = None,
        observers: Iterable[Observer] = (),
        ray_init: Mapping[str, Any] | None = None,
        remote_timeout: float | None = 300.0,
        metadata: Mapping[str, Any] | None = None,
        policies: Iterable[Policy] = (),
        migration_cost: MigrationCost | bool | None = True,
    ) -> None:
        if mode not in MODES:
            raise ValueError(f"mode must be one of {MODES}, not {mode!r}")
        self.infrastructure = infrastructure
        self.placements: dict[Hashable, Placement] = TrackedDict(_by_application(placements))
        self.callbacks = callbacks  # the setter makes it a list that tracks its changes
        self.mode = mode
        self.address = address
        self.ray_init = dict(ray_init or {})
        self.remote_timeout = remote_timeout
        self.keep_history = history
        self.out = None if out is None else Path(out)
        self.overwrite = overwrite
        self.last_out: Path | None = None
        self.given_seed = seed
        self.seed = seed
        self.rng = random.Random(seed)
        self.progress = progress
        self.observers: list[Observer] = list(observers)
        self.metadata = dict(metadata or {})
        self.policies: list[Policy] = list(policies)
        for policy in self.policies:
            check_policy(policy)
        if migration_cost is True:
            migration_cost = MigrationCost()
        self.migration_cost: MigrationCost | None = migration_cost or None
        self.migrations: list[Migration] = []
        # (application, service) -> the first tick at which it is available again.
        self.unavailable: dict[tuple[Hashable, Hashable], int] = {}
        self._made: dict[tuple[Hashable, Hashable], Hashable] = {}  # moves made by migrate
        self._next_tick = 0  # the first tick that sees a move made now
        self.tick = 0
        self.ticks_run = 0
        self.runs = 0
        self.history: list[dict[str, Any]] = []
        self.stopped = False
        self._kept_history = False  # whether the last run kept its history
        self._views = ViewCache()
        self._views.refresh(self.placements)
        self._view: PlacementView | None = None  # made when first read in a tick
        self._listeners: Listeners | None = None  # set while a run is active
        self._emulation: Emulation | None = None  # set while services are deployed
        self._watching: list[Observer] = []  # the observers of the active run
        self._check()

    @property
    def callbacks(self) -> CallbackList:
        """The callbacks, in the order they are notified."""
        return self._callbacks

    @callbacks.setter
    def callbacks(self, callbacks: Iterable[Callback]) -> None:
        self._callbacks = (
            callbacks if isinstance(callbacks, CallbackList) else CallbackList(callbacks)
        )

    # -- running -------------------------------------------------------------------

    def run(
        self,
        ticks: int,
        *,
        history: bool | None = None,
        out: str | os.PathLike[str] | None = None,
        overwrite: bool | None = None,
        progress: bool | None = None,
    ) -> list[dict[str, Any]]:
        """Run ``ticks`` ticks, then emit ``"end"``; return the history of this run.

        Each history record is ``{"event", "tick", "data", "activated_by",
        "triggered"}``: ``data`` maps the name of each callback that activated on
        that event to its data, ``activated_by`` to the name of what triggered it
        (the event, or another callback), and ``triggered`` lists the events those
        callbacks raised. With ``history=False`` (here or on the simulator)
        nothing is kept and the result is empty: for long runs whose results go
        to reports. ``out``, ``overwrite`` and ``progress`` apply to this run
        only, over the simulator's own.
        """
        deque(
            self.iter(ticks, history=history, out=out, overwrite=overwrite, progress=progress),
            maxlen=0,
        )
        return self.history

    def iter(
        self,
        ticks: int,
        *,
        history: bool | None = None,
        out: str | os.PathLike[str] | None = None,
        overwrite: bool | None = None,
        progress: bool | None = None,
    ) -> Generator[dict[str, Any], None, None]:
        """Run step by step: a generator of the record of each event as it happens.

        Set-up (in emulation: the node actors, deploying and starting the
        services) happens at the first step, and teardown when the generator
        is exhausted or closed, or fails. Between two steps the simulation
        may be changed, for example with :meth:`migrate`; close a generator
        that is not run to its end (``contextlib.closing``), so that an
        emulation is taken down at once. A tick counts, in ``ticks_run`` and in
        the reports, once its last record (its own, or that of the last event
        it triggered) has been handed out.
        """
        ticks = check_ticks(ticks)
        if self._listeners is not None:
            raise RuntimeError("this simulator is already running; finish or close that run first")
        keep = self.keep_history if history is None else bool(history)
        folder = self.out if out is None else Path(out)
        self._check()
        watching = self._observers_for(
            self.progress if progress is None else progress,
            folder,
            self.overwrite if overwrite is None else bool(overwrite),
        )
        steps = self._steps(ticks, keep, watching, folder)
        # Without remote calls there is no timeout to keep apart from other runs'.
        return steps if self.mode != "emulation" else self._in_context(steps)

    def results(self, name: str, *, source: str | None = None) -> Any:
        """The results of callback ``name`` as a pandas DataFrame, one row per value.

        Read from its report in the folder of the last run when that run wrote
        one, otherwise from the history of the last run; ``source="reports"``
        or ``source="history"`` chooses. Raises ValueError when neither holds
        them. Needs pandas (``pip install 'sorvane_core[analysis]'``).
        """
        from sorvane_core.results.tables import table

        return table(self, name, source)

    def add_callback(self, callback: Callback) -> None:
        """Add a callback, also between the steps of a run (from the next tick on)."""
        check_callbacks([*self._callbacks, callback], self.mode)
        self._callbacks.append(callback)

    def migrate(
        self, app_id: Hashable, service_id: Hashable, node: Hashable, *, reason: str = "migrate"
    ) -> None:
        """Move service ``service_id`` of application ``app_id`` to ``node``.

        In simulation this changes the mapping; while an emulation runs, the
        service is also stopped and undeployed on its node, then deployed and
        started on ``node``. The placement view of the next tick shows the
        move. During a run the move is recorded (``reason`` says why) and
        costed (see ``migration_cost``). A failed move raises MigrationError
        and leaves the service where it was, running; Ctrl-C during a move puts
        the service back (trying for a few seconds at most) and is raised as
        KeyboardInterrupt.
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
        source = pl.mapping[service_id]
        running = self._listeners is not None
        cost = self._cost(pl, service_id, source, node) if running else None
        emulation = self._emulation
        if emulation is None:
            if self.mode == "emulation":
                check_free(self.placements, app_id, service_id, node)
        else:
            with waiting_at_most(self.remote_timeout):
                emulation.sync(self.placements)  # earlier changes first: the record is current
                emulation.migrate(app_id, service_id, node)
        pl.mapping[service_id] = node
        if running and source != node:
            assert cost is not None
            self._made[(app_id, service_id)] = node
            self._migrated(
                Migration(self._next_tick, app_id, service_id, source, node, reason, *cost))

    def _cost(
        self, pl: Placement, service: Hashable, source: Hashable, target: Hashable
    ) -> tuple[int, float, float]:
        if self.migration_cost is None or source == target:
            return NO_COST
        return self.migration_cost.of(self.infrastructure, pl.application, service, source, target)

    def _migrated(self, migration: Migration) -> None:
        """Keep the record of a move: in ``migrations``, the history and the observers
        that take moves; the service unavailable for its downtime."""
        self.migrations.append(migration)
        if migration.downtime_ticks:
            self.unavailable[(migration.application, migration.service)] = (
                migration.tick + migration.downtime_ticks)
        if self._kept_history:
            self.history.append({"event": "migration", "tick": migration.tick,
                                 "data": migration._asdict(), "activated_by": {},
                                 "triggered": []})
        for observer in self._watching:
            migrated = getattr(observer, "migrated", None)
            if migrated is not None:
                migrated(migration)

    def _record_moves(self, tick: int, changes: Changes) -> None:
        """Record the moves among ``changes`` (application, mapping before, mapping
        now) that ``migrate`` did not make: changes of a placement's mapping."""
        for app, before, now in changes:
            pl = self.placements[app]
            for service, node in now.items():
                old = before.get(service, _ABSENT)
                if old is _ABSENT or old == node:
                    continue  # newly placed, or where it was
                made = self._made.pop((app, service), _ABSENT)
                if made == node:
                    continue  # recorded when migrate made it
                source = old if made is _ABSENT else made
                self._migrated(Migration(tick, app, service, source, node, "mapping",
                                         *self._cost(pl, service, source, node)))

    def _apply_policies(self, tick: int) -> None:
        """Make the moves that the policies due after ``tick`` ask for."""
        for policy in self.policies:
            if (tick + 1) % getattr(policy, "every", 1):
                continue
            try:
                for move in policy(self) or ():
                    app, service, node, reason = _move(move)
                    self.migrate(app, service, node, reason=reason)
            except Exception as exc:
                exc.add_note(f"in migration policy {_named(policy)}, after tick {tick}")
                raise

    def _check(self) -> None:
        check_callbacks(self._callbacks, self.mode)
        check_placements(self.infrastructure, self.placements, self.mode)
        # Callbacks that read the graphs for themselves check them now, before the run.
        for cb in self._callbacks:
            check_run = getattr(cb, "_check_run", None)
            if check_run is not None:
                check_run(self)

    def _observers_for(
        self, progress: bool | None, folder: Path | None, overwrite: bool
    ) -> list[Observer]:
        """This run's observers: the simulator's, the reports, the progress bar."""
        watching = list(self.observers)
        if folder is not None:
            from sorvane_core.results.reports import Reports, check_writers

            # Checks the folder now: a used or unwritable folder fails before the run,
            # and so does a report type whose extra is missing.
            check_writers(self._callbacks)
            watching.append(Reports(folder, overwrite=overwrite, metadata=self.metadata))
        if progress is not False:
            from sorvane_core.simulation.progress import ProgressBar, tqdm_for

            tqdm = tqdm_for(progress)
            if tqdm is not None:
                watching.append(ProgressBar(tqdm))
        return watching

    # -- the run -------------------------------------------------------------------

    def _in_context(
        self, body: Generator[dict[str, Any], None, None]
    ) -> Generator[dict[str, Any], None, None]:
        """The steps of ``body``, each taken in the run's own context, where the
        remote timeout is this run's, whoever steps it and from which thread."""
        context = contextvars.copy_context()
        context.run(set_remote_timeout, self.remote_timeout)
        while True:
            try:
                record = context.run(next, body)
            except StopIteration:
                return
            try:
                yield record
            except BaseException as exc:  # closed (GeneratorExit), or thrown into
                context.run(body.throw, exc)
                raise

    def _steps(
        self, ticks: int, keep: bool, watching: list[Observer], folder: Path | None
    ) -> Generator[dict[str, Any], None, None]:
        if self._listeners is not None:
            raise RuntimeError("this simulator is already running; finish or close that run first")
        self._listeners = Listeners(self._callbacks)
        self._watching = watching
        self._kept_history = keep
        self.runs += 1
        self.history = []
        self.last_out = folder
        self.stopped = False
        self.tick = self.ticks_run = self._next_tick = 0
        self.migrations = []
        self.unavailable = {}
        self._made = {}
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
                self._emulation.start(self.placements, self._callbacks)
            views = self._views
            self._placements_changed(0, record=False)  # changes before the run are no moves
            if "start" in self._listeners.by_name:
                self.stopped = yield from self._block("start", 0, keep)
            for tick in range(0 if self.stopped else ticks):
                self.tick = tick
                self._view = None
                if self.unavailable:
                    self.unavailable = {k: t for k, t in self.unavailable.items() if t > tick}
                if CHANGES.value != views.seen or self.placements is not views.source:
                    self._placements_changed(tick)
                callbacks, listeners = self._callbacks, self._listeners
                if callbacks is not listeners.source or callbacks.version != listeners.version:
                    self._callbacks_changed()
                self._next_tick = tick + 1
                if (yield from self._block("tick", tick, keep)):
                    self.stopped = True
                    break
                if self.policies and tick + 1 < ticks:
                    self._apply_policies(tick)
            if CHANGES.value != views.seen or self.placements is not views.source:
                self._placements_changed(self._next_tick)
            yield from self._block("end", self.tick, keep)
        except BaseException as exc:
            # GeneratorExit too: closed between two steps, a failed teardown is the caller's error.
            self._finish(exc)
            raise
        self._finish(None)

    def _block(self, name: str, tick: int, keep: bool) -> Generator[dict[str, Any], None, bool]:
        """Deliver the event ``name`` and the events it triggers, each name once, in
        the order they are raised; yield each record. The block is done once the
        last record is known, and is committed then, before that record is
        yielded: a run closed after it keeps the block. Return whether one of
        the events raised ``"stop"``.
        """
        deliver = self._listeners.deliver  # type: ignore[union-attr]
        watching = self._watching
        record, activations = deliver(self, name, tick)
        # Events raised and not yet delivered, in the order raised; made only for a
        # block that raises some, as most do not.
        pending: list[Hashable] | None = None
        delivered: set[Hashable] = _NOTHING
        stop = False
        while True:
            if keep:
                self.history.append(record)
            for observer in watching:
                observer.recorded(record, activations)
            if record["triggered"]:
                if pending is None:
                    pending, delivered = [], {name}
                for raised in record["triggered"]:
                    if raised == "stop":
                        stop = True
                    elif raised not in delivered:
                        delivered.add(raised)
                        pending.append(raised)
            if not pending:
                break
            yield record
            record, activations = deliver(self, pending.pop(0), tick)
        for observer in watching:
            observer.step_done()
        if name == "tick":
            self.ticks_run = tick + 1
        yield record
        return stop

    def _callbacks_changed(self) -> None:
        self._check()
        self._listeners = Listeners(self._callbacks)
        if self._emulation is not None:
            self._emulation.ship(self._callbacks)

    @property
    def placement_view(self) -> PlacementView:
        """The read-only snapshot of the placements at the current tick."""
        view = self._view
        if view is None:
            view = self._view = PlacementView._sharing(self.tick, self._views.frozen)
        return view

    def _placements_changed(self, tick: int, record: bool = True) -> None:
        """Apply the changes of the placements since they were last seen: to the node
        actors of an emulation, to the placement view, and (``record``) as
        migrations, the first tick to see them being ``tick``."""
        if self._emulation is not None:
            self._emulation.sync(self.placements)
        if not isinstance(self.placements, TrackedDict):
            self.placements = TrackedDict(self.placements)
        changes = self._views.refresh(self.placements)
        if record and changes:
            self._record_moves(tick, changes)

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


_ABSENT = object()


def _move(move: Any) -> tuple[Hashable, Hashable, Hashable, str]:
    """A move a policy returned: (application, service, node, reason)."""
    try:
        app, service, node, reason = move
    except (TypeError, ValueError):
        raise ValueError(
            f"a migration policy returned {move!r}; a move is (application, service, node, "
            f"reason)") from None
    return app, service, node, str(reason)


def _named(policy: Any) -> str:
    name = getattr(policy, "__name__", None) or type(policy).__name__
    return repr(getattr(policy, "name", name))


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
