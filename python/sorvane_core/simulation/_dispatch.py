"""Delivery of one event to the callbacks that listen to it.

The index is built once per run (and again when callbacks are added): a list of
listeners per trigger name, so that an event costs a dict lookup plus one
``_call`` per listener, and callbacks that do not listen cost nothing.
"""

from __future__ import annotations

from collections import deque
from collections.abc import Hashable, Iterable, Mapping
from types import MappingProxyType
from typing import Any

from sorvane_core.simulation.observers import Activation, Record
from sorvane_core.workflow.events import SorvaneEvent

_NONE: Mapping[Hashable, Hashable] = MappingProxyType({})


# The callback module's own activated_by property returns the attribute
# _activated_by, which a plain read reaches in a fraction of the time.
_NATIVE_GETTER = ("sorvane_core.workflow.callbacks.callback", "SorvaneCallback.activated_by")


def _stores_activation(cb: Any) -> bool:
    """Whether ``cb.activated_by`` is the base class's property over ``_activated_by``."""
    getter = getattr(getattr(type(cb), "activated_by", None), "fget", None)
    origin = (getattr(getter, "__module__", None), getattr(getter, "__qualname__", None))
    return origin == _NATIVE_GETTER


def _listened(cb: Any) -> Iterable[Hashable]:
    names = cb.activates_on
    # Each name once per callback, whatever the list repeats.
    return dict.fromkeys([names] if isinstance(names, str) else names)


class Listeners:
    """The callbacks of a run by the trigger names they listen to.

    Callback names are unique in a run (the simulator checks it), so a
    callback's name identifies it in the bookkeeping of a cascade.
    """

    def __init__(self, callbacks: list[Any]) -> None:
        self.size = len(callbacks)
        # The callbacks that activated on the last event, and the names of those
        # whose latest activation came from another callback: for observers.
        self.activated: list[Any] = []
        self.cascaded: Mapping[Hashable, Hashable] = _NONE
        by_name: dict[Hashable, list[Any]] = {}
        for cb in callbacks:
            for name in _listened(cb):
                by_name.setdefault(name, []).append(cb)
        self.by_name = by_name
        self.stored = all(_stores_activation(cb) for cb in callbacks)
        names = {cb.name for cb in callbacks}
        # Callbacks that other callbacks listen to: name -> [(listener name, listener)].
        self.cascades = {
            name: [(listener.name, listener) for listener in listeners]
            for name, listeners in by_name.items()
            if name in names
        }

    def deliver(self, simulator: Any, name: Hashable, tick: int) -> Record:
        """Deliver the event ``name`` at ``tick``, then its cascade; return its record.

        The record is ``{"event", "tick", "data", "activated_by", "triggered"}``:
        ``data`` maps the name of each callback that activated to its data, in
        the order of first activation, ``activated_by`` maps it to what
        triggered its latest activation (the event's name, or another
        callback's), and ``triggered`` lists the events that they raise.
        """
        listeners = self.by_name.get(name)
        activated = self.activated = []
        if listeners is not None:  # an event that nobody hears needs no object
            event = SorvaneEvent(name, simulator, {"tick": tick})
            if self.stored:
                for cb in listeners:
                    cb._call(event)
                    if cb._activated_by is not None:
                        activated.append(cb)
            else:
                for cb in listeners:
                    cb._call(event)
                    if cb.activated_by is not None:
                        activated.append(cb)
        if not activated:
            self.cascaded = _NONE
            return {"event": name, "tick": tick, "data": {}, "activated_by": {}, "triggered": []}
        cascaded = self.cascaded = self._cascade(activated) if self.cascades else _NONE
        triggered: list[Hashable] = []
        for cb in activated:
            for raised in cb._triggered_events():
                if raised not in triggered:
                    triggered.append(raised)
        names = [cb.name for cb in activated]
        return {
            "event": name,
            "tick": tick,
            "data": {n: cb.data for n, cb in zip(names, activated)},
            "activated_by": {n: cascaded.get(n, name) for n in names},
            "triggered": triggered,
        }

    def activations(self) -> list[Activation]:
        """The callbacks that activated on the last event delivered."""
        cascaded = self.cascaded
        return [Activation(cb, cb.name not in cascaded) for cb in self.activated]

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
