"""The callback logic written in plain Python: the baseline of the benchmarks.

The same algorithm as the native module, step for step, with the same reads. The
benchmark imports it twice: as it is (pure Python) and compiled by Cython.
"""

from collections import defaultdict

from sorvane_core.remote.utils import ray_get
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
        if report:
            self._report = [report] if isinstance(report, str) else report
        else:
            self._report = []
        self._n_calls = {k: 0 for k in self._activates_on}
        self._activated_by = None
        self._data = None

    def __call__(self, *args, **kwargs):
        raise NotImplementedError("not implemented")

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
                result = _application_fn(self.__call__, placements, infr, **dict(event.data))
            if self.type == "service":
                if self._remote:
                    result = _remote_service_fn(self.__call__, placements, infr,
                                                **dict(event.data))
                else:
                    result = _service_fn(self.__call__, placements, infr, **dict(event.data))
            if self.type == "interaction":
                result = _interaction_fn(self.__call__, placements, infr, **dict(event.data))
            if self.type == "infrastructure":
                result = _infrastructure_fn(self.__call__, infr, pv, **dict(event.data))
            if self.type == "node":
                if self._remote:
                    result = _remote_node_fn(self.__call__, infr, **dict(event.data))
                else:
                    result = _node_fn(self.__call__, placements, infr, pv, **dict(event.data))
            if self.type == "link":
                result = _link_fn(self.__call__, placements, infr, pv, **dict(event.data))
        if isinstance(trigger_obj, SorvaneCallback):
            result = self(trigger_obj)
        return result

    def _triggered_events(self):
        return [k for k in self._triggers if self._triggers[k](self._data)]

    @property
    def type(self):
        return self._type

    @property
    def name(self):
        return self._name

    @property
    def data(self):
        return self._data

    @property
    def activated_by(self):
        return self._activated_by

    @activated_by.setter
    def activated_by(self, value):
        self._activated_by = value

    @property
    def activates_on(self):
        return self._activates_on

    @property
    def n_calls(self):
        return self._n_calls

    @property
    def report_types(self):
        return self._report

    @property
    def remote(self):
        return self._remote


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


def _remote_service_fn(fn, placements, infr, **event_data):
    engines = defaultdict(lambda: None)
    remotes = []
    for pl in placements.values():
        if not pl.mapping:
            continue
        for s in pl.application.nodes:
            if engines[pl.mapping[s]] is None:
                engines[pl.mapping[s]] = ray.get_actor(f"{infr.id}/{pl.mapping[s]}")
            remotes.append(engines[pl.mapping[s]].entrypoint.remote(s, fn, **event_data))
    results = ray_get(remotes)
    out = {}
    for pl in placements.values():
        if pl.mapping:
            out[pl.application.id] = {s: results.pop(0) for s in pl.application.nodes}
    return out


def _remote_node_fn(fn, infr, **event_data):
    remotes = []
    for node in infr.nodes:
        engine = ray.get_actor(f"{infr.id}/{node}")
        remotes.append(engine.entrypoint.remote(None, fn, **event_data))
    results = ray_get(remotes)
    return {node: results.pop(0) for node in infr.nodes}


# Bound after the functions so that the benchmark can swap in a stand-in.
import ray  # noqa: E402
