"""What the models must hand out, computed the slow and obvious way.

Everything here is plain Python over the graphs, item by item: node and link
attributes read with ``nodes(data=True)`` and ``edges(data=True)``, routes from
``nx.shortest_path`` (or the route function under test), longest paths by a
walk in topological order. No arrays and nothing shared with the models, so
that a fault in their bookkeeping cannot hide in the reference as well.

Workload factors come from a function ``factor(tick, app, service)``, where
``service`` is None for an interaction (which follows its application): the
deterministic patterns have one below; the random ones are checked apart.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Hashable, Mapping, Sequence
from typing import Any

import networkx as nx

from sorvane_core.graph import edge_key
from sorvane_core.models import Attributes

Factor = Callable[[int, Hashable, Hashable], float]


def constant_factors(value: float) -> Factor:
    return lambda tick, app, service: float(value)


def diurnal_factors(period: float, low: float, high: float, phase: float = 0.0) -> Factor:
    def factor(tick: int, app: Hashable, service: Hashable) -> float:
        wave = math.sin(2 * math.pi * (tick + phase) / period)
        return low + (high - low) * (1 + wave) / 2
    return factor


def trace_factors(rows: Sequence[tuple[int, Hashable, Hashable, float]]) -> Factor:
    """Rows ``(tick, application, service or None, factor)`` in table order: the
    latest row in force (by tick, then by place in the table) of the service,
    else of its application, else 1."""
    def factor(tick: int, app: Hashable, service: Hashable) -> float:
        own = by_app = None
        for row_tick, row_app, row_service, value in rows:
            if row_app != app or row_tick > tick:
                continue
            if row_service is None:
                if by_app is None or row_tick >= by_app[0]:
                    by_app = (row_tick, value)
            elif service is not None and row_service == service:
                if own is None or row_tick >= own[0]:
                    own = (row_tick, value)
        chosen = own or by_app
        return 1.0 if chosen is None else float(chosen[1])
    return factor


def divide(part: float, whole: float) -> float:
    if whole > 0:
        return part / whole
    return math.inf if part > 0 else 0.0


class Oracle:
    """The data of every model of ``standard()``, by its default name, for the
    simulator's graphs and placements as they are when :meth:`measure` is called.

    Energy and SLA violation counts accumulate over the calls, as the models do
    over the activations of a run; :meth:`restart` starts a new run.
    """

    def __init__(
        self,
        simulator: Any,
        *,
        factor: Factor | None = None,
        resource: str | None = None,
        resources: Sequence[str] | None = None,
        attributes: Attributes | None = None,
        route: Callable[[Any, Hashable, Hashable], Any] | None = None,
        tick_seconds: float = 1.0,
    ) -> None:
        self.sim = simulator
        self.names = attributes or Attributes()
        self.factor = factor
        self.resources = tuple(resources or (self.names.cpu,))
        self.resource = resource or self.resources[0]
        self.route = route
        self.tick_seconds = tick_seconds
        self.restart()

    def restart(self) -> None:
        self.energy_j = 0.0
        self.last: int | None = None
        self.violations: dict[Hashable, int] = {}

    # -- the world, read afresh at every call ---------------------------------------------

    def demand(self, tick: int, app: Hashable, service: Hashable, resource: str) -> float:
        data = self.sim.placements[app].application.nodes[service]
        value = float(data[resource])
        if self.factor is not None and resource == self.resource:
            value *= self.factor(tick, app, service)
        return value

    def rate(self, tick: int, app: Hashable, data: Mapping[str, Any]) -> float:
        value = float(data[self.names.rate])
        if self.factor is not None:
            value *= self.factor(tick, app, None)
        return value

    def path(self, source: Hashable, target: Hashable) -> list[Hashable] | None:
        """The nodes an interaction goes through, or None when it cannot."""
        if source == target:
            return [source]
        infr = self.sim.infrastructure
        try:
            if self.route is not None:
                return list(self.route(infr, source, target))
            return nx.shortest_path(infr, source, target, weight=self.names.latency)
        except nx.NetworkXNoPath:
            return None

    def routed(self, tick: int) -> list[tuple[Hashable, Hashable, Hashable, dict, Any]]:
        """(app, source, target, data, path or None) of every interaction whose ends
        are both placed."""
        found = []
        for app, pl in self.sim.placements.items():
            mapping = pl.mapping
            for u, v, data in pl.application.edges(data=True):
                if u in mapping and v in mapping:
                    found.append((app, u, v, data, self.path(mapping[u], mapping[v])))
        return found

    def route_latency(self, path: list[Hashable] | None) -> float:
        if path is None:
            return math.inf
        links = self.sim.infrastructure.edges
        return sum(float(links[a, b][self.names.latency]) for a, b in zip(path, path[1:]))

    # -- the models ---------------------------------------------------------------------

    def workload(self, tick: int) -> dict:
        return {app: {s: self.demand(tick, app, s, self.resource)
                      for s in pl.application.nodes}
                for app, pl in self.sim.placements.items()}

    def shares(self, tick: int, resources: Sequence[str]) -> dict:
        """{node: {resource: demand of the services placed there / capacity}}."""
        infr = self.sim.infrastructure
        asked = {node: dict.fromkeys(resources, 0.0) for node in infr.nodes}
        for app, pl in self.sim.placements.items():
            for service, node in pl.mapping.items():
                for r in resources:
                    asked[node][r] += self.demand(tick, app, service, r)
        return {node: {r: divide(asked[node][r], float(data[r])) for r in resources}
                for node, data in infr.nodes(data=True)}

    def utilisation(self, tick: int) -> dict:
        share = self.shares(tick, self.resources)
        if len(self.resources) == 1:
            return {node: fractions[self.resources[0]] for node, fractions in share.items()}
        return share

    def link_load(self, tick: int) -> dict:
        load: dict[frozenset, float] = {}
        for app, _, _, data, path in self.routed(tick):
            if path is not None:
                for a, b in zip(path, path[1:]):
                    link = frozenset((a, b))
                    load[link] = load.get(link, 0.0) + self.rate(tick, app, data)
        out = {}
        for u, v, data in self.sim.infrastructure.edges(data=True):
            mbps = load.get(frozenset((u, v)), 0.0)
            out[edge_key(u, v)] = {
                "load_mbps": mbps, "utilisation": divide(mbps, float(data[self.names.bandwidth]))}
        return out

    def node_power(self, tick: int) -> dict:
        cpu = self.names.cpu
        busy = self.shares(tick, (cpu,))
        out = {}
        for node, data in self.sim.infrastructure.nodes(data=True):
            idle, peak = float(data[self.names.idle_power]), float(data[self.names.max_power])
            out[node] = idle + (peak - idle) * min(1.0, busy[node][cpu])
        return out

    def link_power(self, tick: int) -> dict:
        load = self.link_load(tick)
        return {edge_key(u, v): float(data[self.names.energy_per_bit])
                * load[edge_key(u, v)]["load_mbps"] * 1e6
                for u, v, data in self.sim.infrastructure.edges(data=True)}

    def latency(self, tick: int) -> dict:
        out: dict = {app: {} for app in self.sim.placements}
        for app, u, v, _, path in self.routed(tick):
            target = self.sim.placements[app].application.nodes[v]
            processing = float(target.get(self.names.processing, 0.0))
            out[app][edge_key(u, v)] = self.route_latency(path) + processing
        return out

    def end_to_end(self, tick: int) -> dict:
        weights = self.latency(tick)
        out = {}
        for app, pl in self.sim.placements.items():
            graph = pl.application
            if any(s not in pl.mapping for s in graph.nodes):
                continue
            reach = dict.fromkeys(graph.nodes, 0.0)
            for u in nx.topological_sort(graph):
                for v in graph.successors(u):
                    reach[v] = max(reach[v], reach[u] + weights[app][edge_key(u, v)])
            out[app] = max(reach.values(), default=0.0)
        return out

    def sla(self, tick: int) -> dict:
        out = {}
        for app, e2e in self.end_to_end(tick).items():
            bound = self.sim.placements[app].application.graph.get(self.names.max_latency)
            if bound is None:
                continue
            violated = e2e > bound
            self.violations[app] = self.violations.get(app, 0) + violated
            out[app] = {"e2e_latency_ms": e2e, "bound_ms": float(bound), "violated": violated,
                        "violations": self.violations[app]}
        return out

    def energy(self, tick: int) -> dict:
        power = sum(self.node_power(tick).values()) + sum(self.link_power(tick).values())
        ticks = 1 if self.last is None else tick - self.last
        self.last = tick
        self.energy_j += power * self.tick_seconds * ticks
        return {"power_w": power, "energy_j": self.energy_j, "energy_wh": self.energy_j / 3600}

    def measure(self, tick: int, names: Sequence[str] | None = None) -> dict[str, Any]:
        """The data of the models ``names`` (all of them by default) at ``tick``."""
        makers = {
            "workload": self.workload, "utilisation": self.utilisation,
            "link_load": self.link_load, "node_power_w": self.node_power,
            "link_power_w": self.link_power, "energy": self.energy,
            "latency_ms": self.latency, "e2e_latency_ms": self.end_to_end, "sla": self.sla,
        }
        return {name: makers[name](tick) for name in (names or makers)}


# -- comparing ---------------------------------------------------------------------------

ORDERED = ("utilisation", "link_load", "node_power_w", "link_power_w")  # graph order


def plain(data: Any) -> Any:
    """``data`` with every mapping made a dict, walked as a reader would."""
    if isinstance(data, Mapping):
        return {key: plain(value) for key, value in data.items()}
    return data


def same(actual: Any, expected: Any, where: str = "", ordered: bool = False) -> list[str]:
    """The differences between a model's data and the reference: keys (in order, if
    ``ordered``), value types, and floats to a relative 1e-9."""
    if isinstance(expected, Mapping):
        if not isinstance(actual, Mapping):
            return [f"{where}: {actual!r} is not a mapping"]
        keys, wanted = list(actual), list(expected)
        if (keys != wanted) if ordered else (set(keys) != set(wanted)):
            return [f"{where}: keys {keys!r}, expected {wanted!r}"]
        found = []
        for key in wanted:
            found += same(actual[key], expected[key], f"{where}[{key!r}]", ordered)
        return found
    if isinstance(expected, bool) or isinstance(expected, int):
        if type(actual) is not type(expected) or actual != expected:
            return [f"{where}: {actual!r}, expected {expected!r}"]
        return []
    if type(actual) is not float:
        return [f"{where}: {actual!r} is a {type(actual).__name__}, not a float"]
    if math.isnan(expected) and math.isnan(actual):
        return []
    if not math.isclose(actual, expected, rel_tol=1e-9, abs_tol=1e-9):
        return [f"{where}: {actual!r}, expected {expected!r}"]
    return []


def compare(data: Mapping[str, Any], expected: Mapping[str, Any], tick: int) -> list[str]:
    """The differences between the data of a record and the reference, model by model."""
    found = []
    for name, wanted in expected.items():
        if name not in data:
            found.append(f"tick {tick}: no data from {name!r}")
            continue
        found += same(data[name], wanted, f"tick {tick} {name}", ordered=name in ORDERED)
    return found
