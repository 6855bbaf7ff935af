"""The models: callbacks that measure a placement study over the shared arrays.

Each model is a ``SorvaneCallback`` of the type its data has the shape of (a
"node" model's data is ``{node: value}``, an "interaction" model's ``{app:
{"source,target": value}}``, ...), so that reports, tables and plots treat it as
any callback of that type. Instead of a Python call per node, link or service,
it computes a tick with array operations (its ``_call_by_type`` does the whole
tick) and hands out a read-only mapping over the arrays.
"""

from __future__ import annotations

import math
import weakref
from collections.abc import Mapping, Sequence
from typing import Any, ClassVar, cast

import numpy as np

from sorvane_core.models.columns import VALUE, Columns, Frozen, Grouped, GroupLayout
from sorvane_core.models.network import Attributes, Needs, Network, Route, network_of
from sorvane_core.models.workload import Pattern, factor_keys, series_for
from sorvane_core.utils.types import CallbackType
from sorvane_core.workflow.callbacks.callback import SorvaneCallback
from sorvane_core.workflow.events import SorvaneEvent


class Model(SorvaneCallback):
    """A callback that measures over the arrays its simulator's models share.

    Takes the usual callback options (``report``, ``activates_on``,
    ``activates_every_n``, ``triggers``), the attribute names to read
    (``attributes=Attributes(...)``) and the route function (``route=``; by
    default the shortest path by latency).
    """

    kind: ClassVar[str]
    needs: ClassVar[Needs] = Needs()

    def __init__(
        self,
        name: str,
        *,
        attributes: Attributes | None = None,
        route: Route | None = None,
        report: Any = "csv",
        activates_on: Any = "tick",
        activates_every_n: Mapping[str, int] | None = None,
        triggers: Mapping[str, Any] | None = None,
    ) -> None:
        super().__init__(name, self.kind, activates_on, cast(Any, activates_every_n),
                         cast(Any, triggers), report)
        self.attributes = Attributes() if attributes is None else attributes
        self.route = route
        self._simulator: Any = None  # a weak reference to the simulator it last ran in
        self._cached: Any = None  # (weak reference to a simulator, its network)
        self._run = -1

    def _needs(self) -> Needs:
        return type(self).needs

    def _network(self, simulator: Any) -> Network:
        cached = self._cached
        if cached is not None and cached[0]() is simulator:
            return cached[1]
        network = network_of(simulator, self.attributes, self.route)
        network.require(self._needs())
        self._cached = (weakref.ref(simulator), network)
        return network

    def _check_run(self, simulator: Any) -> None:
        """Read the graphs now: a missing or malformed attribute fails before the run."""
        self._simulator = weakref.ref(simulator)
        # What every model of the run needs first, so that the arrays are read once.
        for cb in simulator.callbacks:
            if isinstance(cb, Model):
                cb._network(simulator)
        self._network(simulator).check(simulator)

    def _call_by_type(self, trigger: Any) -> Any:
        if isinstance(trigger, SorvaneEvent) and trigger.simulator is not None:
            simulator = trigger.simulator
            data = trigger.data
            tick = data["tick"] if isinstance(data, Mapping) and "tick" in data else simulator.tick
        else:  # another callback: the tick under way
            simulator = self._simulator() if self._simulator is not None else None
            if simulator is None:
                raise RuntimeError(f"model {self.name!r} was called outside of a run")
            tick = simulator.tick
        network = self._network(simulator)
        network.at(simulator, tick)
        if simulator.runs != self._run:
            self._run = simulator.runs
            self.restart(network)
        return self.measure(network)

    def restart(self, network: Network) -> None:
        """Forget what the last run accumulated."""

    def measure(self, network: Network) -> Any:
        raise NotImplementedError

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        raise TypeError(f"model {self.name!r} measures whole ticks; the simulator runs it")


# -- the shapes of the data ------------------------------------------------------------


def by_node(network: Network, values: Mapping[str, np.ndarray]) -> Columns:
    infra = network.infra
    assert infra is not None
    return Columns(infra.nodes, infra.node_index, values)


def by_link(network: Network, values: Mapping[str, np.ndarray]) -> Columns:
    infra = network.infra
    assert infra is not None
    rows = infra.link_rows
    if rows is not None:  # links that share a key: the later one's values
        values = {name: column[rows] for name, column in values.items()}
    return Columns(infra.link_keys, infra.link_index, values, infra.link_key_columns)


def by_application(network: Network, rows: np.ndarray, values: Mapping[str, np.ndarray]) -> Columns:
    """The values of the applications ``rows`` (positions among the placements),
    ``values`` holding one entry per row."""
    key = ("applications", rows.tobytes())
    found = network.layouts.get(key)
    if found is None:
        apps = [network.apps[a] for a in rows.tolist()]
        found = network.layouts[key] = (apps, {app: i for i, app in enumerate(apps)})
    apps, index = found
    return Columns(apps, index, values)


def _services_layout(network: Network) -> GroupLayout:
    found = network.layouts.get("services")
    if found is None:
        found = network.layouts["services"] = GroupLayout(
            network.apps, network.service_sizes, network.service_ids)
    return found


def _interactions_layout(network: Network) -> tuple[GroupLayout, np.ndarray]:
    """The layout of the interactions whose ends are both placed, keyed by
    "source,target" text within their application, and their rows."""
    from sorvane_core.graph import edge_key

    key = ("interactions", network.placed_version)
    found = network.layouts.get(key)
    if found is None:
        node, ids = network.service_node, network.service_ids
        src, dst = network.inter_src, network.inter_dst
        routed = np.flatnonzero((node[src] >= 0) & (node[dst] >= 0))
        sizes = np.bincount(network.inter_app[routed], minlength=len(network.apps))
        keys: list[str] = []
        sources: list[Any] = []
        targets: list[Any] = []
        rows: list[int] = []
        for a, size in enumerate(sizes.tolist()):
            start = len(rows)
            group = routed[np.searchsorted(routed, network.inter_offsets[a]):][:size].tolist()
            texts = [edge_key(ids[src[k]], ids[dst[k]]) for k in group]
            last = {text: k for text, k in zip(texts, group)}
            if len(last) != len(texts):  # "source,target" shared: the later one holds it
                group = [last[t] for t in dict.fromkeys(texts)]
                texts = list(dict.fromkeys(texts))
                sizes[a] = len(group)
            rows.extend(group)
            keys.extend(texts)
            sources.extend(ids[src[k]] for k in rows[start:])
            targets.extend(ids[dst[k]] for k in rows[start:])
        found = network.layouts[key] = (
            GroupLayout(network.apps, sizes.tolist(), keys, [sources, targets]),
            np.array(rows, dtype=np.int64))
    return found


def _placed_applications(network: Network) -> np.ndarray:
    key = ("placed", network.placed_version)
    found = network.layouts.get(key)
    if found is None:
        unplaced = np.zeros(len(network.apps), dtype=bool)
        unplaced[network.service_app[network.service_node < 0]] = True
        found = network.layouts[key] = np.flatnonzero(~unplaced)
    return found


# -- the models ----------------------------------------------------------------------


class NodeUtilisation(Model):
    """Each node's demand over its capacity, for one resource (``{node: fraction}``)
    or several (``{node: {resource: fraction}}``); above 1 is an overload."""

    kind = CallbackType.NODE.value

    def __init__(
        self, name: str = "utilisation", *, resources: Sequence[str] | None = None,
        **options: Any,
    ) -> None:
        super().__init__(name, **options)
        if resources is None:  # the resource the attributes call cpu
            resources = (self.attributes.cpu,)
        elif isinstance(resources, str):
            resources = (resources,)
        self.resources = tuple(resources)
        if not self.resources:
            raise ValueError(f"model {name!r} needs at least one resource")

    def _needs(self) -> Needs:
        return Needs(resources=frozenset(self.resources))

    def measure(self, network: Network) -> Columns:
        if len(self.resources) == 1:
            return by_node(network, {VALUE: network.utilisation(self.resources[0])})
        return by_node(network, {r: network.utilisation(r) for r in self.resources})


class LinkLoad(Model):
    """Each link's traffic and its share of the bandwidth:
    ``{"u,v": {"load_mbps": ..., "utilisation": load / bandwidth}}``."""

    kind = CallbackType.LINK.value
    needs = Needs(routes=True, bandwidth=True, rates=True)

    def __init__(self, name: str = "link_load", **options: Any) -> None:
        super().__init__(name, **options)

    def measure(self, network: Network) -> Columns:
        infra = network.infra
        assert infra is not None
        load = network.link_load()
        return by_link(network, {"load_mbps": load,
                                 "utilisation": _share(load, infra.bandwidth)})


class NodePower(Model):
    """Each node's power: ``idle + (max - idle) * min(1, cpu utilisation)``, in W."""

    kind = CallbackType.NODE.value

    def __init__(self, name: str = "node_power_w", **options: Any) -> None:
        super().__init__(name, **options)

    def _needs(self) -> Needs:
        return Needs(resources=frozenset([self.attributes.cpu]), power=True)

    def measure(self, network: Network) -> Columns:
        return by_node(network, {VALUE: network.node_power()})


class LinkPower(Model):
    """Each link's power: ``energy_per_bit_j * load_mbps * 1e6``, in W."""

    kind = CallbackType.LINK.value
    needs = Needs(routes=True, energy=True, rates=True)

    def __init__(self, name: str = "link_power_w", **options: Any) -> None:
        super().__init__(name, **options)

    def measure(self, network: Network) -> Columns:
        return by_link(network, {VALUE: network.link_power()})


class Energy(Model):
    """The power of all nodes and links, and the energy used so far in the run:
    ``{"power_w", "energy_j", "energy_wh"}``.

    Each activation counts the ticks since the one before (the first, its own
    tick) at the power of its tick, each ``tick_seconds`` long.
    """

    kind = CallbackType.SIMULATION.value

    def __init__(self, name: str = "energy", *, tick_seconds: float = 1.0, **options: Any) -> None:
        seconds = float(tick_seconds)
        if not math.isfinite(seconds) or seconds <= 0:
            raise ValueError(f"model {name!r}: tick_seconds must be more than 0, not "
                             f"{tick_seconds!r}")
        self.tick_seconds = seconds
        super().__init__(name, **options)
        self._energy_j = 0.0
        self._last: int | None = None

    def _needs(self) -> Needs:
        return Needs(resources=frozenset([self.attributes.cpu]), power=True, routes=True,
                     energy=True, rates=True)

    def restart(self, network: Network) -> None:
        self._energy_j, self._last = 0.0, None

    def measure(self, network: Network) -> Frozen:
        power = float(network.node_power().sum() + network.link_power().sum())
        ticks = 1 if self._last is None else max(network.tick - self._last, 0)
        self._last = network.tick
        self._energy_j += power * self.tick_seconds * ticks
        return Frozen(power_w=power, energy_j=self._energy_j, energy_wh=self._energy_j / 3600)


class Latency(Model):
    """Each interaction's latency: the ``latency_ms`` of the links along its route,
    plus the ``processing_ms`` of its target service, ``{app: {"s,t": ms}}``;
    ``inf`` when no route joins its ends. Interactions with an end not placed are
    left out."""

    kind = CallbackType.INTERACTION.value
    needs = Needs(routes=True, latency=True)

    def __init__(self, name: str = "latency_ms", **options: Any) -> None:
        super().__init__(name, **options)

    def measure(self, network: Network) -> Grouped:
        layout, rows = _interactions_layout(network)
        return Grouped(layout, {VALUE: network.interaction_latency()[rows]})


class EndToEnd(Model):
    """Each application's end-to-end latency: the longest path through its graph
    from its sources to its sinks, each interaction weighing its latency,
    ``{app: ms}``. Applications with a service not placed are left out; a graph
    with a cycle of interactions is refused before the run."""

    kind = CallbackType.APPLICATION.value
    needs = Needs(routes=True, latency=True)

    def __init__(self, name: str = "e2e_latency_ms", **options: Any) -> None:
        super().__init__(name, **options)

    def measure(self, network: Network) -> Columns:
        rows = _placed_applications(network)
        return by_application(network, rows, {VALUE: network.end_to_end()[rows]})


class SLA(Model):
    """For each application with a ``max_latency_ms``:
    ``{app: {"e2e_latency_ms", "bound_ms", "violated", "violations"}}``, where
    ``violations`` counts the activations of this run that found it violated,
    this one included. An unreachable service violates it."""

    kind = CallbackType.APPLICATION.value
    needs = Needs(routes=True, latency=True)

    def __init__(self, name: str = "sla", **options: Any) -> None:
        super().__init__(name, **options)
        self._counts = np.zeros(0, dtype=np.int64)  # per application of the layout
        self._laid_out = -1

    def restart(self, network: Network) -> None:
        self._counts = np.zeros(len(network.apps), dtype=np.int64)
        self._laid_out = network.layout_version

    def measure(self, network: Network) -> Columns:
        if self._laid_out != network.layout_version:  # applications laid out anew: by id
            before = dict(zip(getattr(self, "_apps", ()), self._counts.tolist()))
            self._counts = np.array([before.get(app, 0) for app in network.apps], dtype=np.int64)
            self._laid_out = network.layout_version
        self._apps = network.apps
        placed = _placed_applications(network)
        rows = placed[~np.isnan(network.bound[placed])]
        e2e, bound = network.end_to_end()[rows], network.bound[rows]
        violated = e2e > bound
        counts = self._counts.copy()  # the last array may be in the history
        counts[rows[violated]] += 1
        self._counts = counts
        return by_application(network, rows, {"e2e_latency_ms": e2e, "bound_ms": bound,
                                              "violated": violated, "violations": counts[rows]})


class Workload(Model):
    """Each service's current demand of ``resource``: its static demand times the
    factor that ``pattern`` gives it this tick (``{app: {service: demand}}``);
    interactions' rates follow their own factors. With a workload, the other
    models of the simulator read the current values, whatever the order of the
    callbacks."""

    kind = CallbackType.SERVICE.value

    def __init__(
        self, pattern: Pattern, name: str = "workload", *, resource: str | None = None,
        **options: Any,
    ) -> None:
        if not isinstance(pattern, Pattern):
            raise ValueError(f"model {name!r}: {pattern!r} is not a workload pattern; use one of "
                             f"constant, uniform, random_walk, diurnal, poisson, trace")
        self.pattern = pattern
        super().__init__(name, **options)
        self.resource = self.attributes.cpu if resource is None else resource
        # Per network read: (its layout version, the series of its services and interactions).
        self._series: dict[int, tuple[int, Any, Any]] = {}
        self._seed: Any = None
        self._begun = -1

    def _needs(self) -> Needs:
        return Needs(resources=frozenset([self.resource]))

    def _network(self, simulator: Any) -> Network:
        network = super()._network(simulator)
        network.attach(self)
        return network

    def begin_run(self, simulator: Any) -> None:
        """Start the factors afresh for a new run of ``simulator`` (its networks call
        it when a run begins, before any model reads a factor; the first call of a
        run does it)."""
        if simulator.runs != self._begun:
            self._begun = simulator.runs
            self._seed = simulator.seed
            self._series = {}

    def factors(self, network: Network) -> tuple[np.ndarray, np.ndarray]:
        """The factors of the services and of the interactions at the network's tick.

        Every network of the simulator reads the same factors: their series are
        drawn alike, from the same seed, over the same entries."""
        found = self._series.get(id(network))
        if found is None or found[0] != network.layout_version:
            services, interactions = factor_keys(network)
            if found is None:
                made = (series_for(self.pattern, self._seed, self.name, 0, services),
                        series_for(self.pattern, self._seed, self.name, 1, interactions))
            else:
                made = (found[1].relaid(services), found[2].relaid(interactions))
            found = self._series[id(network)] = (network.layout_version, *made)
        return found[1].at(network.tick), found[2].at(network.tick)

    def measure(self, network: Network) -> Grouped:
        return Grouped(_services_layout(network), {VALUE: network.demand(self.resource)})


def _share(part: np.ndarray, whole: np.ndarray) -> np.ndarray:
    out = np.where(part > 0, np.inf, 0.0)
    np.divide(part, whole, out=out, where=whole > 0)
    return out


def standard(
    pattern: Pattern | None = None,
    *,
    resources: Sequence[str] | None = None,
    tick_seconds: float = 1.0,
    **options: Any,
) -> list[Model]:
    """Every model, for a study in one line: a :class:`Workload` of ``pattern`` (if
    one is given), :class:`NodeUtilisation` over ``resources``, :class:`LinkLoad`,
    :class:`NodePower`, :class:`LinkPower`, :class:`Energy`, :class:`Latency`,
    :class:`EndToEnd` and :class:`SLA`, with their default names. ``options``
    (``attributes``, ``route``, ``report``, ``activates_every_n``, ...) go to each.

    >>> [m.name for m in standard()]
    ['utilisation', 'link_load', 'node_power_w', 'link_power_w', 'energy', 'latency_ms', \
'e2e_latency_ms', 'sla']
    """
    def own(value: Any) -> Any:  # each callback keeps its own dicts and lists
        return dict(value) if isinstance(value, Mapping) else (
            list(value) if isinstance(value, list) else value)

    def each() -> dict[str, Any]:
        return {key: own(value) for key, value in options.items()}

    models: list[Model] = []
    if pattern is not None:
        resource = None if not resources else (
            resources if isinstance(resources, str) else resources[0])
        models.append(Workload(pattern, resource=resource, **each()))
    models += [
        NodeUtilisation(resources=resources, **each()),
        LinkLoad(**each()),
        NodePower(**each()),
        LinkPower(**each()),
        Energy(tick_seconds=tick_seconds, **each()),
        Latency(**each()),
        EndToEnd(**each()),
        SLA(**each()),
    ]
    return models
