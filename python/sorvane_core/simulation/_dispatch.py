"""Delivery of one event to the callbacks that listen to it.

The index is built once per run (and again when the callbacks change): a list of
listeners per trigger name, so that an event costs a dict lookup plus one
``_call`` per listener, and callbacks that do not listen cost nothing.
"""

from __future__ import annotations

import itertools
from collections import deque
from collections.abc import Hashable, Iterable, Mapping
from types import MappingProxyType
from typing import Any

from sorvane_core.simulation._checks import listened_names
from sorvane_core.simulation.observers import Activation, Ends, Record
from sorvane_core.utils.types import CallbackType
from sorvane_core.workflow.events import SorvaneEvent

_NONE: Mapping[Hashable, Hashable] = MappingProxyType({})
_LINK = CallbackType.LINK.value
_INTERACTION = CallbackType.INTERACTION.value

# The callback module's own activated_by property returns the attribute
# _activated_by, which a plain read reaches in a fraction of the time.
_NATIVE_GETTER = ("sorvane_core.workflow.callbacks.callback", "SorvaneCallback.activated_by")


def _stores_activation(cb: Any) -> bool:
    """Whether ``cb.activated_by`` is the base class's property over ``_activated_by``."""
    getter = getattr(getattr(type(cb), "activated_by", None), "fget", None)
    origin = (getattr(getter, "__module__", None), getattr(getter, "__qualname__", None))
    return origin == _NATIVE_GETTER


def _edge_kind(cb: Any) -> str | None:
    kind = getattr(cb, "type", None)
    return kind if kind in (_LINK, _INTERACTION) else None


def _keyed(data: Any) -> bool:
    """Whether a result is keyed by "source,target" text alone: not a mapping over
    arrays, which carries the ends of its rows itself."""
    return getattr(type(data), "_report_columns", None) is None


def _ends(kind: str, simulator: Any) -> Ends:
    """The ends of the edges that a callback of ``kind`` has just walked."""
    from sorvane_core.graph import edge_ends  # networkx, once a run has edge callbacks

    if kind == _LINK:
        return edge_ends(simulator.infrastructure)
    return {app: edge_ends(pl.application) for app, pl in simulator.placements.items()}


_VERSIONS = itertools.count(1)


class CallbackList(list[Any]):
    """The simulator's callbacks: a list that notes each of its changes.

    ``version`` changes with every change in place (an item replaced, added,
    removed or moved), and no two lists share one, so that the simulator finds
    out in one comparison, between two ticks, that its index of listeners is
    out of date, whatever the change.
    """

    __slots__ = ("version",)

    def __init__(self, callbacks: Iterable[Any] = ()) -> None:
        super().__init__(callbacks)
        self.version = next(_VERSIONS)

    def _changed(self) -> None:
        self.version = next(_VERSIONS)

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (list(self),))


def _tracking(name: str) -> Any:
    method = getattr(list, name)

    def changing(self: CallbackList, *args: Any) -> Any:
        result = method(self, *args)
        self._changed()
        return self if result is NotImplemented else result

    changing.__name__ = name
    return changing


for _name in ("__setitem__", "__delitem__", "__iadd__", "__imul__", "append", "extend",
              "insert", "pop", "remove", "clear", "sort", "reverse"):
    setattr(CallbackList, _name, _tracking(_name))


class Listeners:
    """The callbacks of a run by the trigger names they listen to.

    Callback names are unique in a run (the simulator checks it), so a
    callback's name identifies it in the bookkeeping of a cascade.
    """

    def __init__(self, callbacks: list[Any]) -> None:
        # What the index was built from: the list, and its version if it tracks changes.
        self.source = callbacks
        self.version = getattr(callbacks, "version", None)
        by_name: dict[Hashable, list[Any]] = {}
        edges: dict[Hashable, dict[int, str]] = {}
        for cb in callbacks:
            kind = _edge_kind(cb)
            for name in listened_names(cb):
                by_name.setdefault(name, []).append(cb)
                if kind is not None:
                    edges.setdefault(name, {})[id(cb)] = kind
        self.by_name = by_name
        self.edges = edges  # trigger name -> the link and interaction callbacks among its listeners
        self.stored = all(_stores_activation(cb) for cb in callbacks)
        names = {cb.name for cb in callbacks}
        # Callbacks that other callbacks listen to: name -> [(listener name, listener)].
        self.cascades = {
            name: [(listener.name, listener) for listener in listeners]
            for name, listeners in by_name.items()
            if name in names
        }

    def current(self, callbacks: Any) -> bool:
        """Whether the index still describes ``callbacks``."""
        return callbacks is self.source and getattr(callbacks, "version", None) == self.version

    def deliver(
        self, simulator: Any, name: Hashable, tick: int
    ) -> tuple[dict[str, Any], list[Activation]]:
        """Deliver the event ``name`` at ``tick``, then its cascade; return its record
        and the callbacks that activated on it.

        The record is ``{"event", "tick", "data", "activated_by", "triggered"}``:
        ``data`` maps the name of each callback that activated to its data, in
        the order of first activation, ``activated_by`` maps it to what
        triggered its latest activation (the event's name, or another
        callback's), and ``triggered`` lists the events that they raise.
        """
        listeners = self.by_name.get(name)
        if listeners is None:  # an event that nobody hears needs no object
            return _empty(name, tick), []
        event = SorvaneEvent(name, simulator, {"tick": tick})
        activated: list[Any] = []
        edges = self.edges.get(name)
        ends: dict[Hashable, Ends] = {}
        # The ends of a link or interaction result are taken as soon as the value
        # is recorded: a later listener may change the graphs.
        if self.stored:
            for cb in listeners:
                cb._call(event)
                if cb._activated_by is not None:
                    activated.append(cb)
                    if edges is not None and id(cb) in edges and _keyed(cb._data):
                        ends[cb.name] = _ends(edges[id(cb)], simulator)
        else:
            for cb in listeners:
                cb._call(event)
                if cb.activated_by is not None:
                    activated.append(cb)
                    if edges is not None and id(cb) in edges and _keyed(cb.data):
                        ends[cb.name] = _ends(edges[id(cb)], simulator)
        if not activated:
            return _empty(name, tick), []
        cascaded = self._cascade(activated) if self.cascades else _NONE
        triggered: list[Hashable] = []
        for cb in activated:
            for raised in _triggered_events(cb):
                if raised not in triggered:
                    triggered.append(raised)
        names = [cb.name for cb in activated]
        record = Record(
            event=name,
            tick=tick,
            data={n: cb.data for n, cb in zip(names, activated)},
            activated_by={n: cascaded.get(n, name) for n in names},
            triggered=triggered,
        )
        if ends:
            # A callback that activated again in the cascade holds a single value.
            ends = {n: found for n, found in ends.items() if n not in cascaded}
            if ends:
                record.ends = ends
        activations = [
            Activation(cb, n not in cascaded, ends.get(n)) for n, cb in zip(names, activated)
        ]
        return record, activations

    def _cascade(self, activated: list[Any]) -> dict[Hashable, Hashable]:
        """Call the listeners of each activated callback with it, breadth first;
        return the name of each callback that activated on the way, mapped to
        the name of the callback that triggered its latest activation.

        Each (trigger, listener) pair fires at most once per event, so cycles
        end. Callbacks that activate on the way join ``activated`` once.
        """
        cascades = self.cascades
        pending = deque(activated)
        active = {cb.name for cb in activated}
        fired: set[tuple[Hashable, Hashable]] = set()
        cascaded: dict[Hashable, Hashable] = {}
        while pending:
            trigger = pending.popleft()
            trigger_name = trigger.name
            for listener_name, cb in cascades.get(trigger_name, ()):
                pair = (trigger_name, listener_name)
                if pair in fired:
                    continue
                fired.add(pair)
                cb._call(trigger)
                if cb.activated_by is not None:
                    if listener_name not in active:
                        active.add(listener_name)
                        activated.append(cb)
                    cascaded[listener_name] = trigger_name
                    pending.append(cb)
        return cascaded


def _empty(name: Hashable, tick: int) -> dict[str, Any]:
    return {"event": name, "tick": tick, "data": {}, "activated_by": {}, "triggered": []}


def _triggered_events(cb: Any) -> Any:
    """``cb._triggered_events()``; a condition that raises is named in a note."""
    try:
        return cb._triggered_events()
    except Exception as exc:
        exc.add_note(_condition_note(cb, exc))
        raise


def _condition_note(cb: Any, exc: BaseException) -> str:
    """Which trigger condition of ``cb`` raised ``exc``, found by its code in the traceback."""
    triggers = getattr(cb, "_triggers", None)
    codes: dict[Any, Hashable] = {}
    if isinstance(triggers, Mapping):
        for event, condition in triggers.items():
            code = getattr(condition, "__code__", None)
            if code is None and callable(condition):  # a callable object: its method's code
                code = getattr(type(condition).__call__, "__code__", None)
            if code is not None:
                codes.setdefault(code, event)
    tb = exc.__traceback__
    while tb is not None:
        event = codes.get(tb.tb_frame.f_code, _UNKNOWN)
        if event is not _UNKNOWN:
            return f"raised by the condition of trigger {event!r} of callback {cb.name!r}"
        tb = tb.tb_next
    return f"raised by a trigger condition of callback {cb.name!r}"


_UNKNOWN = object()
