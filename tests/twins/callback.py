"""The callback module written in plain Python: what the native module does, read for read.

Every attribute read, global lookup, call and message of the native module happens here
in the same order, so the same tests pass against both (``pytest --twin``), a
differential test compares them on random inputs, and the benchmarks time it, as it is
and compiled by Cython, as the baseline of the native module. The departures of the
native module from the plain algorithm (docs/design.md, "Departures") are written out
too: the copy of the event data, the pairing check of the remote answers.
"""

from collections import defaultdict
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Union

import ray

from sorvane_core.remote.utils import ray_get
from sorvane_core.utils.types import CallbackType
from sorvane_core.workflow.events import SorvaneEvent


class SorvaneCallback:
    def __init__(self, name, callback_type=None, activates_on="tick", activates_every_n=None,
                 triggers=None, report="csv", remote=False):
        self._name = name
        self._type = callback_type
        self._activates_on = [activates_on] if isinstance(activates_on, str) else activates_on
        self._activates_every_n = (activates_every_n if activates_every_n is not None
                                   else {k: 1 for k in self._activates_on})
        self._triggers = triggers if triggers is not None else {}
        self._remote = remote
        if not report:
            self._report = []
        else:
            self._report = [report] if isinstance(report, str) else report
        self._n_calls = {k: 0 for k in self._activates_on}
        self._activated_by = None
        self._data = None

    def __call__(self, *args, **kwargs):
        raise NotImplementedError(
            "The callback logic must be implemented in two main ways: 1. decorate a"
            "function or a class with a __call__ method; 2. subclass the SorvaneCallback"
            "class and implement the __call__ method.")

    def _call(self, trigger_obj):
        name = trigger_obj.name
        if self._n_calls[name] % self._activates_every_n[name] == 0:
            self._data = self._call_by_type(trigger_obj)
            self._activated_by = name
        else:
            self._activated_by = None
        self._n_calls[name] += 1

    def _call_by_type(self, trigger_obj):
        result = None
        if isinstance(trigger_obj, SorvaneEvent):
            event = trigger_obj
            simulator = event.simulator
            placements = simulator.placements
            infr = simulator.infrastructure
            pv = simulator.placement_view
            if self.type is None or self.type == "simulation":
                result = self(event)
            if self.type == "application":
                result = _application_fn(self.__call__, placements, infr, **_event_data(event))
            if self.type == "service":
                if self._remote:
                    result = _remote_service_fn(self.__call__, placements, infr,
                                                **_event_data(event))
                else:
                    result = _service_fn(self.__call__, placements, infr, **_event_data(event))
            if self.type == "interaction":
                result = _interaction_fn(self.__call__, placements, infr, **_event_data(event))
            if self.type == "infrastructure":
                result = _infrastructure_fn(self.__call__, infr, pv, **_event_data(event))
            if self.type == "node":
                if self._remote:
                    result = _remote_node_fn(self.__call__, infr, **_event_data(event))
                else:
                    result = _node_fn(self.__call__, placements, infr, pv, **_event_data(event))
            if self.type == "link":
                result = _link_fn(self.__call__, placements, infr, pv, **_event_data(event))
        if isinstance(trigger_obj, SorvaneCallback):
            result = self(trigger_obj)
        return result

    def _triggered_events(self):
        return [k for k in self._triggers if self._triggers[k](self._data)]

    @property
    def name(self):
        return self._name

    @property
    def n_calls(self):
        return self._n_calls

    @property
    def data(self):
        return self._data

    @property
    def type(self):
        return self._type

    @property
    def activates_on(self):
        return self._activates_on

    @property
    def activated_by(self):
        return self._activated_by

    @activated_by.setter
    def activated_by(self, value):
        self._activated_by = value

    @property
    def report_types(self):
        return self._report

    @property
    def remote(self):
        return self._remote


def _event_data(event):
    """A copy of event.data for a `**` argument: the collector never shares the event's dict."""
    data = event.data
    if data is None:
        raise TypeError("argument after ** must be a mapping, not NoneType")
    return data.copy() if type(data) is dict else dict(data)


def _application_fn(fn, placements, infr, **event_data):
    return {pl.application.id: fn(pl.application, pl, infr, **event_data)
            for pl in placements.values()}


def _service_fn(fn, placements, infr, **event_data):
    return {pl.application.id: {s: fn(s, req, pl, infr, **event_data)
                                for s, req in pl.application.nodes(data=True)}
            for pl in placements.values()}


def _interaction_fn(fn, placements, infr, **event_data):
    return {pl.application.id: {f"{u},{v}": fn(u, v, req, pl, infr, **event_data)
                                for u, v, req in pl.application.edges(data=True)}
            for pl in placements.values()}


def _infrastructure_fn(fn, infr, placement_view, **event_data):
    return fn(infr, placement_view, **event_data)


def _node_fn(fn, placements, infr, placement_view, **event_data):
    return {node: fn(node, res, placements, infr, placement_view, **event_data)
            for node, res in infr.nodes(data=True)}


def _link_fn(fn, placements, infr, placement_view, **event_data):
    return {f"{u},{v}": fn(u, v, res, placements, infr, placement_view, **event_data)
            for u, v, res in infr.edges(data=True)}


class _Submitted:
    """What the first pass of a remote collector submitted for; the second pass must meet
    the same items in the same order, or the answers would go to the wrong ones."""

    def __init__(self, what):
        self.what = what
        self.items = []
        self.next = 0

    def meet(self, item, equal):
        if self.next < len(self.items):
            expected = self.items[self.next]
            if expected is item or (equal and expected == item):
                self.next += 1
                return
        self.changed()

    def end(self):
        if self.next != len(self.items):
            self.changed()

    def changed(self):
        raise RuntimeError(f"{self.what} changed while the remote calls were awaited; "
                           "their answers cannot be paired")


def _remote_service_fn(fn, placements, infr, **event_data):
    engines = defaultdict(lambda: None)
    remotes = []
    submitted = _Submitted("the placements")
    for pl in placements.values():
        if not pl.mapping:
            continue
        for s in pl.application.nodes:
            if engines[pl.mapping[s]] is None:
                engines[pl.mapping[s]] = ray.get_actor(f"{infr.id}/{pl.mapping[s]}")
            remotes.append(engines[pl.mapping[s]].entrypoint.remote(s, fn, **event_data))
            submitted.items += (pl, s)
    results = ray_get(remotes)
    out = {}
    for pl in placements.values():
        if not pl.mapping:
            continue
        key = pl.application.id
        inner = {}
        for s in pl.application.nodes:
            submitted.meet(pl, False)
            submitted.meet(s, True)
            inner[s] = results.pop(0)
        out[key] = inner
    submitted.end()
    return out


def _remote_node_fn(fn, infr, **event_data):
    remotes = []
    submitted = _Submitted("the infrastructure's nodes")
    for node in infr.nodes:
        engine = ray.get_actor(f"{infr.id}/{node}")
        remotes.append(engine.entrypoint.remote(None, fn, **event_data))
        submitted.items.append(node)
    results = ray_get(remotes)
    out = {}
    for node in infr.nodes:
        submitted.meet(node, True)
        out[node] = results.pop(0)
    submitted.end()
    return out
