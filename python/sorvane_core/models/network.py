"""The columnar state that the models of one run share.

People keep their study in graphs and placements; the models keep a snapshot of
it as arrays: one entry per node, link, service and interaction, the routes of
the interactions, and what the workload makes of them tick by tick. A tick
touches the arrays only. The snapshot is rebuilt only for what changed:

- a change of the infrastructure (any networkx mutator, or
  ``attributes_changed()`` after an attribute was changed in place) rebuilds
  everything and routes every interaction again;
- a change of an application graph, or of the placements dict, lays the
  services and interactions out again, reusing the routes already known;
- a service moved to another node (a change of a placement's mapping) updates
  its own entries and routes again the interactions it takes part in.

All the models of a simulator with the same attribute names and route function
share one :class:`Network`, so that a tick routes and loads the links once,
whatever the number of models that read them.

Arrays handed out (in a model's data) are never changed afterwards: a tick
makes new ones, so that the history keeps what was measured.
"""

from __future__ import annotations

import itertools
import math
import weakref
from collections.abc import Callable, Hashable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from sorvane_core.graph import GRAPH_CHANGES, edge_key
from sorvane_core.placement import CHANGES, changed_since
from sorvane_core.utils.types import is_number

if TYPE_CHECKING:
    from sorvane_core.graph import Application, Infrastructure
    from sorvane_core.models.meters import Workload

Route = Callable[[Any, Hashable, Hashable], Any]


@dataclass(frozen=True)
class Attributes:
    """The attribute names the models read, each with its default.

    Nodes: a capacity per resource (``cpu``, and any other key a model is given
    in ``resources``), ``idle_power_w`` and ``max_power_w``. Services: a demand
    under the same resource keys, and ``processing_ms`` (optional, 0). Links:
    ``latency_ms``, ``bandwidth_mbps``, ``energy_per_bit_j``. Interactions:
    ``rate_mbps``. Applications (a graph attribute): ``max_latency_ms``
    (optional: the SLA covers the applications that have one).
    """

    cpu: str = "cpu"
    idle_power: str = "idle_power_w"
    max_power: str = "max_power_w"
    latency: str = "latency_ms"
    bandwidth: str = "bandwidth_mbps"
    energy_per_bit: str = "energy_per_bit_j"
    rate: str = "rate_mbps"
    processing: str = "processing_ms"
    max_latency: str = "max_latency_ms"


@dataclass(frozen=True)
class Needs:
    """What a model reads; the network validates and keeps only what its models need."""

    resources: frozenset[str] = frozenset()
    power: bool = False  # node idle and max power
    routes: bool = False  # link latency, and the routes of the interactions
    bandwidth: bool = False
    energy: bool = False  # link energy per bit
    rates: bool = False  # interaction rates
    latency: bool = False  # service processing time, application bounds, acyclic graphs

    def __or__(self, other: Needs) -> Needs:
        return Needs(
            self.resources | other.resources, self.power or other.power,
            self.routes or other.routes, self.bandwidth or other.bandwidth,
            self.energy or other.energy, self.rates or other.rates,
            self.latency or other.latency,
        )


class Shared:
    """What the models of one simulator share, whatever their attribute names and
    route functions: their networks, and the workload that all of them read."""

    def __init__(self) -> None:
        self.networks: dict[Any, Network] = {}
        self.workload: Workload | None = None


_SHARED: weakref.WeakKeyDictionary[Any, Shared] = weakref.WeakKeyDictionary()
_TOKENS = itertools.count()


def network_of(simulator: Any, attributes: Attributes, route: Route | None) -> Network:
    """The network that the models of ``simulator`` with these attribute names and
    this route function share."""
    shared = _SHARED.get(simulator)
    if shared is None:
        shared = _SHARED[simulator] = Shared()
    key = (attributes, route)
    network = shared.networks.get(key)
    if network is None:
        network = shared.networks[key] = Network(attributes, route, shared)
    return network


def latencies_from(
    source: int, indptr: np.ndarray, neighbours: np.ndarray, weights: np.ndarray,
    links: np.ndarray, graph: Any, nodes: Sequence[Hashable], attribute: str,
) -> np.ndarray:
    """The shortest-path latency from node ``source`` to every node (inf: no path), the
    nodes by their index in ``nodes``, the order of the adjacency (``indptr``,
    ``neighbours``, ``weights``, ``links``, as the routing kernel reads it): a search
    of the kernel, or of networkx over ``graph`` by ``attribute`` in a build without it."""
    try:
        from sorvane_core.models._routes import shortest_routes
    except ImportError:  # a build without the kernel: networkx, slowly
        import networkx as nx

        found = nx.single_source_dijkstra_path_length(graph, nodes[source], weight=attribute)
        return np.array([found.get(n, math.inf) for n in nodes], dtype=np.float64)
    count = len(nodes)
    _, _, latency = shortest_routes(
        indptr, neighbours, weights, links, np.full(count, source, dtype=np.int64),
        np.arange(count, dtype=np.int64), bidirectional=False)
    return np.frombuffer(latency, dtype=np.float64)


def _numbers(
    items: Sequence[tuple[str, Mapping[str, Any]]], attribute: str, default: float | None = None,
    minimum: float | None = None,
) -> np.ndarray:
    """The values of ``attribute`` of each item as floats; ValueError naming the first
    item that lacks it (when there is no default) or whose value is not a number."""
    values = np.empty(len(items), dtype=np.float64)
    for i, (what, data) in enumerate(items):
        value = data.get(attribute, default)
        if value is None:
            raise ValueError(f"{what} has no {attribute!r} attribute, which the models need")
        if type(value) is not float and not is_number(value):
            raise ValueError(
                f"{what} has {attribute}={value!r}; the models need a number there")
        value = float(value)
        if minimum is not None and not value >= minimum:
            raise ValueError(
                f"{what} has {attribute}={value!r}; the models need a number of at least "
                f"{minimum:g} there")
        values[i] = value
    return values


def _divide(numerator: np.ndarray, denominator: np.ndarray) -> np.ndarray:
    """numerator / denominator, where nothing over nothing is 0 and something over
    nothing is infinite (an overload of a node or link with no capacity)."""
    out = np.where(numerator > 0, np.inf, 0.0)
    np.divide(numerator, denominator, out=out, where=denominator > 0)
    return out


class _Infrastructure:
    """The infrastructure as arrays: nodes, links, and the adjacency for routing."""

    def __init__(self, infr: Infrastructure, attributes: Attributes, needs: Needs) -> None:
        self.graph = infr
        nodes = list(infr.nodes(data=True))
        self.nodes = tuple(n for n, _ in nodes)
        self.node_index = {n: i for i, n in enumerate(self.nodes)}
        named = [(f"node {n!r}", data) for n, data in nodes]
        self.capacity = {r: _numbers(named, r, minimum=0) for r in sorted(needs.resources)}
        if needs.power:
            self.idle = _numbers(named, attributes.idle_power)
            self.peak = _numbers(named, attributes.max_power)
        links = list(infr.edges(data=True))
        self.sources = [u for u, _, _ in links]
        self.targets = [v for _, v, _ in links]
        index = self.node_index
        self.link_ends = np.array([(index[u], index[v]) for u, v, _ in links],
                                  dtype=np.int64).reshape(-1, 2)
        named_links = [(f"link {u!r}-{v!r}", data) for u, v, data in links]
        if needs.routes:
            self.latency = _numbers(named_links, attributes.latency, minimum=0)
        if needs.bandwidth:
            self.bandwidth = _numbers(named_links, attributes.bandwidth, minimum=0)
        if needs.energy:
            self.energy = _numbers(named_links, attributes.energy_per_bit, minimum=0)
        # The data of the link models is keyed by "source,target" text, as the
        # collectors' is: where two links share a text, the one walked later
        # holds the key, at the place of the first.
        keys = [edge_key(u, v) for u, v, _ in links]
        last = {key: i for i, key in enumerate(keys)}
        if len(last) == len(keys):
            self.link_rows: np.ndarray | None = None
            self.link_keys = keys
        else:
            order = list(dict.fromkeys(keys))
            self.link_rows = np.array([last[k] for k in order], dtype=np.int64)
            self.link_keys = order
        self.link_index = {key: i for i, key in enumerate(self.link_keys)}
        rows = range(len(links)) if self.link_rows is None else self.link_rows.tolist()
        self.link_key_columns = [[self.sources[r] for r in rows], [self.targets[r] for r in rows]]
        if needs.routes:
            self._adjacency(infr)

    def _adjacency(self, infr: Infrastructure) -> None:
        """The adjacency in networkx's order, as the routing kernel reads it: for each
        node its neighbours, in the order of ``infr._adj[node]``, with the latency
        and the id of the link to each."""
        index = self.node_index
        link_id: dict[tuple[int, int], int] = {}
        for i, (u, v) in enumerate(self.link_ends.tolist()):
            link_id[(u, v)] = link_id[(v, u)] = i
        indptr = [0]
        neighbours: list[int] = []
        links: list[int] = []
        for node in self.nodes:
            u = index[node]
            for other in infr._adj[node]:
                v = index[other]
                neighbours.append(v)
                links.append(link_id[(u, v)])
            indptr.append(len(neighbours))
        self.indptr = np.array(indptr, dtype=np.int64)
        self.neighbours = np.array(neighbours, dtype=np.int64)
        self.entry_links = np.array(links, dtype=np.int64)
        self.weights = self.latency[self.entry_links] if links else np.empty(0)
        self.link_id = link_id


class _Routes:
    """The route of every interaction, as link entries that one ``bincount`` turns
    into the load of every link.

    Each interaction owns a run of entries; routing one again marks its old
    entries dead (their owner becomes the padding interaction, whose rate is 0)
    and appends the new ones, so that moving a service costs the length of the
    routes it changes, not a rebuild. Dead entries are swept out once they are
    half of them.
    """

    def __init__(self, count: int, links: int) -> None:
        self.count = count
        self.links = links
        self.start = np.zeros(count, dtype=np.int64)
        self.length = np.zeros(count, dtype=np.int64)
        self.latency = np.full(count, np.nan)  # nan: not routed (an end not placed)
        self.link = np.zeros(16, dtype=np.int64)
        self.owner = np.full(16, count, dtype=np.int64)
        self.fill = 0
        self.dead = 0

    def assign(self, which: Sequence[int], routes: Sequence[tuple[np.ndarray, float]]) -> None:
        """Give the interactions ``which`` these routes (links, latency)."""
        latency = self.latency.copy()  # the old array may be in a model's data
        needed = self.fill + sum(len(links) for links, _ in routes)
        if needed > len(self.link):
            self._grow(needed)
        for k, (links, total) in zip(which, routes):
            start, length = int(self.start[k]), int(self.length[k])
            if length:
                self.owner[start:start + length] = self.count
                self.dead += length
            n = len(links)
            self.link[self.fill:self.fill + n] = links
            self.owner[self.fill:self.fill + n] = k
            self.start[k], self.length[k] = self.fill, n
            self.fill += n
            latency[k] = total
        self.latency = latency
        if self.dead > 1024 and self.dead * 2 > self.fill:
            self.sweep()

    def unassign(self, which: Sequence[int]) -> None:
        """The interactions ``which`` are routed no more (an end is not placed)."""
        latency = self.latency.copy()
        for k in which:
            start, length = int(self.start[k]), int(self.length[k])
            self.owner[start:start + length] = self.count
            self.dead += length
            self.length[k] = 0
            latency[k] = np.nan
        self.latency = latency

    def _grow(self, needed: int) -> None:
        size = max(needed, 2 * len(self.link))
        link = np.zeros(size, dtype=np.int64)
        owner = np.full(size, self.count, dtype=np.int64)
        link[:self.fill] = self.link[:self.fill]
        owner[:self.fill] = self.owner[:self.fill]
        self.link, self.owner = link, owner

    def sweep(self) -> None:
        """Drop the dead entries and put the rest in the order of the interactions."""
        live = self.owner[:self.fill] != self.count
        link, owner = self.link[:self.fill][live], self.owner[:self.fill][live]
        order = np.argsort(owner, kind="stable")
        link, owner = link[order], owner[order]
        self.fill = len(link)
        self.link[:self.fill], self.owner[:self.fill] = link, owner
        self.owner[self.fill:] = self.count
        self.dead = 0
        starts = np.searchsorted(owner, np.arange(self.count))
        self.start = np.where(self.length > 0, starts, 0)

    def load(self, rates: np.ndarray) -> np.ndarray:
        """The traffic on every link: the sum of the rates of the interactions routed
        over it."""
        weights = np.append(rates, 0.0)[self.owner[:self.fill]]
        return np.bincount(self.link[:self.fill], weights=weights, minlength=self.links)[
            :self.links].astype(np.float64, copy=False)


class Network:
    """The arrays of one run's world, shared by the models of a simulator."""

    def __init__(self, attributes: Attributes, route: Route | None, shared: Shared) -> None:
        self.attributes = attributes
        self.route = route
        self.needs = Needs()
        self.shared = shared
        self.token = f"sorvane_core.models.{next(_TOKENS)}"  # marks the graphs snapshot
        self.infra: _Infrastructure | None = None
        self.version = 0  # advanced by every change of the arrays
        self.layout_version = 0  # advanced when services and interactions are laid out anew
        self.placed_version = 0  # advanced when a service is placed or unplaced
        self._run = -1
        self._seen = (-1, -1)  # (GRAPH_CHANGES, CHANGES) when last in step
        self._placements: Any = None
        self._placements_version: int | None = None
        self._pairs: dict[tuple[int, int], tuple[np.ndarray, float]] = {}
        self._memo: dict[str, Any] = {}  # this tick's quantities
        self._memo_at: tuple[int, int] = (-1, -1)  # (tick, version) they are of
        self._still: dict[str, Any] = {}  # quantities that only a change of the arrays changes
        self._still_at = -1
        self._unavailable: Mapping[Any, int] | None = None  # the simulator's, this tick
        self.tick = 0

    # -- what the models need --------------------------------------------------------

    def require(self, needs: Needs) -> None:
        joined = self.needs | needs
        if joined != self.needs:
            self.needs = joined
            self.infra = None  # columns to read: everything again

    @property
    def workload(self) -> Workload | None:
        """The workload of the simulator's models, if it has one."""
        return self.shared.workload

    def attach(self, workload: Workload) -> None:
        current = self.shared.workload
        if current is not None and current is not workload:
            raise ValueError(
                f"callbacks {current.name!r} and {workload.name!r} are both workloads of the "
                f"same simulator; a run has one workload")
        self.shared.workload = workload

    # -- keeping the arrays in step with the graphs -------------------------------------

    def check(self, simulator: Any) -> None:
        """Bring the arrays in step with the simulator's graphs and placements: every
        missing or malformed attribute is a ValueError now, before the run."""
        self._step(simulator)

    def at(self, simulator: Any, tick: int) -> None:
        """Make the arrays those of ``tick`` of the current run."""
        if (GRAPH_CHANGES.value, CHANGES.value) != self._seen or (
                simulator.placements is not self._placements
                or simulator.infrastructure is not getattr(self.infra, "graph", None)):
            self._step(simulator)
        if simulator.runs != self._run:
            self._run = simulator.runs
            if self.workload is not None:
                self.workload.begin_run(simulator)
            # A run's sums are made in the order a fresh simulator makes them,
            # whatever the moves of the runs before.
            self.routes.sweep()
            self.version += 1
        self.tick = tick
        self._unavailable = getattr(simulator, "unavailable", None)
        if self._memo_at != (tick, self.version):
            self._memo = {}
            self._memo_at = (tick, self.version)
        if self._still_at != self.version:
            self._still = {}
            self._still_at = self.version

    def _marked(self, graph: Any) -> bool:
        cache = graph.__dict__.get("__networkx_cache__")
        return cache is not None and cache.get(self.token) is self

    def _mark(self, graph: Any) -> None:
        cache = graph.__dict__.get("__networkx_cache__")
        if cache is not None:
            cache[self.token] = self

    def _step(self, simulator: Any) -> None:
        infr = simulator.infrastructure
        placements = simulator.placements
        # Only a change of some graph can have changed one of ours: each graph
        # read carries the mark that networkx clears when it changes.
        graphs_changed = GRAPH_CHANGES.value != self._seen[0]
        version = getattr(placements, "version", None)
        if self.infra is None or self.infra.graph is not infr or (
                graphs_changed and not self._marked(infr)):
            self.infra = _Infrastructure(infr, self.attributes, self.needs)
            self._mark(infr)
            self._pairs = {}
            self._layout(placements)
        elif (placements is not self._placements or version is None
              or version != self._placements_version) and (
                list(placements) != self.apps
                or any(pl is not old for pl, old in zip(placements.values(), self.placed))):
            self._layout(placements)
        elif graphs_changed and any(not self._marked(pl.application) for pl in self.placed):
            self._layout(placements)
        else:
            self._moves(placements)
        self._placements = placements
        self._placements_version = version
        self._seen = (GRAPH_CHANGES.value, CHANGES.value)

    def _layout(self, placements: Mapping[Hashable, Any]) -> None:
        """Lay out every service and interaction of the placements anew."""
        attributes, needs, infra = self.attributes, self.needs, self.infra
        assert infra is not None
        self.apps = list(placements)
        self.placed = list(placements.values())
        self.mappings = [(pl.mapping, getattr(pl.mapping, "version", None)) for pl in self.placed]
        self.mapping_at = {id(mapping): a for a, (mapping, _) in enumerate(self.mappings)}
        services: list[tuple[str, Mapping[str, Any]]] = []
        service_ids: list[Any] = []
        service_app: list[int] = []
        service_node: list[int] = []
        sizes: list[int] = []
        interactions: list[tuple[str, Mapping[str, Any]]] = []
        inter_app: list[int] = []
        inter_ends: list[tuple[int, int]] = []
        inter_sizes: list[int] = []
        bounds: list[float] = []
        levels: list[int] = []
        self.service_offsets: list[int] = []
        for a, (app_id, pl) in enumerate(placements.items()):
            app: Application = pl.application
            mapping = pl.mapping
            offset = len(service_ids)
            self.service_offsets.append(offset)
            position = {}
            for sid, data in app.nodes(data=True):
                position[sid] = len(service_ids)
                services.append((f"service {sid!r} of application {app_id!r}", data))
                service_ids.append(sid)
                service_app.append(a)
                service_node.append(self._node_of(app_id, sid, mapping))
            sizes.append(len(service_ids) - offset)
            if needs.latency:
                generation = self._generations(app, app_id)
            count = 0
            for u, v, data in app.edges(data=True):
                interactions.append(
                    (f"interaction {u!r} -> {v!r} of application {app_id!r}", data))
                inter_app.append(a)
                inter_ends.append((position[u], position[v]))
                if needs.latency:
                    levels.append(generation[u])
                count += 1
            inter_sizes.append(count)
            if needs.latency:
                bound = app.graph.get(attributes.max_latency)
                if bound is not None and not is_number(bound):
                    raise ValueError(
                        f"application {app_id!r} has {attributes.max_latency}={bound!r}; the "
                        f"models need a number there")
                bounds.append(math.nan if bound is None else float(bound))
            self._mark(app)
        self.service_ids = service_ids
        self.service_app = np.array(service_app, dtype=np.int64)
        self.service_node = np.array(service_node, dtype=np.int64)
        self.service_sizes = sizes
        self.static_demand = {r: _numbers(services, r, minimum=0) for r in sorted(needs.resources)}
        self.processing = (_numbers(services, attributes.processing, default=0.0, minimum=0)
                           if needs.latency else np.zeros(len(services)))
        self.inter_app = np.array(inter_app, dtype=np.int64)
        ends = np.array(inter_ends, dtype=np.int64).reshape(-1, 2)
        self.inter_src, self.inter_dst = ends[:, 0].copy(), ends[:, 1].copy()
        self.inter_sizes = inter_sizes
        self.rate = (_numbers(interactions, attributes.rate, minimum=0) if needs.rates
                     else np.zeros(len(interactions)))
        self.bound = np.array(bounds, dtype=np.float64)
        self.inter_level = np.array(levels, dtype=np.int64)
        self.inter_offsets = np.concatenate(([0], np.cumsum(inter_sizes, dtype=np.int64)))
        self.layouts: dict[Any, Any] = {}  # made by the models, per layout
        self.routes = _Routes(len(interactions), len(infra.link_ends))
        if needs.routes:
            everything = np.arange(len(interactions))
            self._route(everything)
        self.version += 1
        self.layout_version += 1
        self.placed_version += 1

    def _node_of(self, app_id: Hashable, sid: Hashable, mapping: Mapping[Hashable, Any]) -> int:
        node = mapping.get(sid, _UNPLACED)
        if node is _UNPLACED:
            return -1
        found = self.infra.node_index.get(node)  # type: ignore[union-attr]
        if found is None:
            raise ValueError(
                f"service {sid!r} of application {app_id!r} is placed on {node!r}, which is not "
                f"a node of the infrastructure")
        return found

    def _generations(self, app: Application, app_id: Hashable) -> dict[Hashable, int]:
        import networkx as nx

        try:
            return {n: g for g, nodes in enumerate(nx.topological_generations(app)) for n in nodes}
        except nx.NetworkXUnfeasible:
            raise ValueError(
                f"application {app_id!r} has a cycle of interactions; the end-to-end latency "
                f"is the longest path from its sources to its sinks, which a cycle does not "
                f"have") from None

    def _moves(self, placements: Mapping[Hashable, Any]) -> None:
        """Apply the services moved since the last look: their entries, and the
        routes of the interactions they take part in."""
        changed_services: list[int] = []
        placed_changed = False
        node = self.service_node
        which: Any = range(len(self.placed))
        changed = changed_since(self._seen[1])
        if changed is not None:  # the log says which dicts changed: look at those alone
            at = [self.mapping_at.get(ident) for ident in changed]
            if None not in at:  # else a mapping replaced, or another dict: look at all
                which = sorted(set(at))
        apps = self.apps
        for a in which:
            app_id, pl = apps[a], self.placed[a]
            mapping = pl.mapping
            version = getattr(mapping, "version", None)
            old, seen = self.mappings[a]
            if mapping is old and version is not None and version == seen:
                continue
            self.mappings[a] = (mapping, version)
            if mapping is not old:
                self.mapping_at.pop(id(old), None)
                self.mapping_at[id(mapping)] = a
            offset = self.service_offsets[a]
            for i, sid in enumerate(self.service_ids[offset:offset + self.service_sizes[a]]):
                now = self._node_of(app_id, sid, mapping)
                before = node[offset + i]
                if now != before:
                    if node is self.service_node:
                        node = node.copy()  # the old array may be in a model's data
                    node[offset + i] = now
                    changed_services.append(offset + i)
                    if (now < 0) != (before < 0):
                        placed_changed = True
        if not changed_services:
            return
        self.service_node = node
        if placed_changed:
            self.placed_version += 1
        moved = np.zeros(len(node), dtype=bool)
        moved[changed_services] = True
        touched = np.flatnonzero(moved[self.inter_src] | moved[self.inter_dst])
        if self.needs.routes and len(touched):
            self._route(touched)
        self.version += 1

    # -- routing -------------------------------------------------------------------------

    def _route(self, which: np.ndarray) -> None:
        """Route the interactions ``which`` between the nodes of their services."""
        src = self.service_node[self.inter_src[which]]
        dst = self.service_node[self.inter_dst[which]]
        placed = (src >= 0) & (dst >= 0)
        unplaced = which[~placed]
        if len(unplaced):
            self.routes.unassign(unplaced.tolist())
        which, src, dst = which[placed], src[placed], dst[placed]
        pairs = list(zip(src.tolist(), dst.tolist()))
        missing = list(dict.fromkeys(p for p in pairs if p not in self._pairs))
        if missing:
            self._pairs.update(zip(missing, self._find(missing)))
        self.routes.assign(which.tolist(), [self._pairs[p] for p in pairs])

    def _find(self, pairs: list[tuple[int, int]]) -> list[tuple[np.ndarray, float]]:
        infra = self.infra
        assert infra is not None
        if self.route is not None:
            return [self._custom(u, v) for u, v in pairs]
        sources = np.array([u for u, _ in pairs], dtype=np.int64)
        targets = np.array([v for _, v in pairs], dtype=np.int64)
        try:
            from sorvane_core.models._routes import shortest_routes
        except ImportError:  # a build without the kernel: networkx itself, slowly
            return self._networkx(pairs)
        # The search from both ends: among routes of equal latency, the one that
        # networkx.shortest_path takes.
        offsets, links, latency = (
            np.frombuffer(b, dtype=t) for b, t in zip(
                shortest_routes(infra.indptr, infra.neighbours, infra.weights,
                                infra.entry_links, sources, targets, bidirectional=True),
                (np.int64, np.int64, np.float64)))
        bounds = offsets.tolist()
        return [(links[bounds[k]:bounds[k + 1]], float(latency[k])) for k in range(len(pairs))]

    def _networkx(self, pairs: list[tuple[int, int]]) -> list[tuple[np.ndarray, float]]:
        import networkx as nx

        infra = self.infra
        assert infra is not None
        found = []
        for u, v in pairs:
            try:
                path = nx.shortest_path(infra.graph, infra.nodes[u], infra.nodes[v],
                                        weight=self.attributes.latency)
            except nx.NetworkXNoPath:
                found.append((np.empty(0, dtype=np.int64), math.inf))
                continue
            # Summed from the source, as the kernel sums it: networkx's own length of a
            # search from both ends adds two halves, which may differ in the last bits.
            links = self._links_of(path)
            total = 0.0
            for link in links.tolist():
                total += float(infra.latency[link])
            found.append((links, total))
        return found

    def _custom(self, u: int, v: int) -> tuple[np.ndarray, float]:
        import networkx as nx

        infra = self.infra
        assert infra is not None and self.route is not None
        if u == v:
            return np.empty(0, dtype=np.int64), 0.0
        try:
            path = self.route(infra.graph, infra.nodes[u], infra.nodes[v])
        except nx.NetworkXNoPath:
            path = None
        if path is None:
            return np.empty(0, dtype=np.int64), math.inf
        links = self._links_of(list(path))
        total = 0.0
        for link in links.tolist():
            total += float(infra.latency[link])
        return links, total

    def _links_of(self, path: list[Any]) -> np.ndarray:
        infra = self.infra
        assert infra is not None
        index = infra.node_index
        links = []
        for a, b in zip(path, path[1:]):
            link = infra.link_id.get((index.get(a, -1), index.get(b, -1)))
            if link is None:
                raise ValueError(
                    f"the route {path!r} goes from {a!r} to {b!r}, which no link joins")
            links.append(link)
        return np.array(links, dtype=np.int64)

    # -- a tick's quantities, each made once per tick -------------------------------------

    def _memoised(self, name: str, make: Callable[[], Any], still: bool = False) -> Any:
        memo = self._still if still else self._memo
        found = memo.get(name, _UNPLACED)
        if found is _UNPLACED:
            found = memo[name] = make()
        return found

    def demand(self, resource: str) -> np.ndarray:
        """Each service's current demand of ``resource``."""
        def make() -> np.ndarray:
            static = self.static_demand[resource]
            workload = self.workload
            if workload is None or workload.resource != resource:
                return static
            return static * workload.factors(self)[0]
        return self._memoised(f"demand:{resource}", make)

    def rates(self) -> np.ndarray:
        """Each interaction's current rate; none while an end is being moved."""
        def make() -> np.ndarray:
            workload = self.workload
            rates = self.rate if workload is None else self.rate * workload.factors(self)[1]
            down = self._down()
            return rates if down is None else np.where(down, 0.0, rates)
        return self._memoised("rates", make)

    def _down(self) -> np.ndarray | None:
        """Which interactions have an end being moved this tick (None: none)."""
        def make() -> np.ndarray | None:
            unavailable = self._unavailable
            if not unavailable:
                return None
            index = self._service_index()
            moving = np.zeros(len(self.service_ids), dtype=bool)
            for key in unavailable:
                found = index.get(key)
                if found is not None:
                    moving[found] = True
            return moving[self.inter_src] | moving[self.inter_dst]
        return self._memoised("down", make)

    def _service_index(self) -> dict[tuple[Any, Any], int]:
        found = self.layouts.get("service_index")
        if found is None:
            apps = self.apps
            found = self.layouts["service_index"] = {
                (apps[a], sid): i for i, (a, sid) in enumerate(
                    zip(self.service_app.tolist(), self.service_ids))}
        return found

    def utilisation(self, resource: str) -> np.ndarray:
        """Each node's demand of ``resource`` over its capacity."""
        def make() -> np.ndarray:
            infra = self.infra
            assert infra is not None
            node = self.service_node
            placed = node >= 0
            asked = np.bincount(node[placed], weights=self.demand(resource)[placed],
                                minlength=len(infra.nodes))
            return _divide(asked, infra.capacity[resource])
        return self._memoised(f"utilisation:{resource}", make)

    def link_load(self) -> np.ndarray:
        return self._memoised(
            "load", lambda: self.routes.load(self.rates()))

    def node_power(self) -> np.ndarray:
        def make() -> np.ndarray:
            infra = self.infra
            assert infra is not None
            busy = np.minimum(1.0, self.utilisation(self.attributes.cpu))
            return infra.idle + (infra.peak - infra.idle) * busy
        return self._memoised("node_power", make)

    def link_power(self) -> np.ndarray:
        def make() -> np.ndarray:
            infra = self.infra
            assert infra is not None
            return infra.energy * self.link_load() * 1e6
        return self._memoised("link_power", make)

    def interaction_latency(self) -> np.ndarray:
        """Each interaction's latency: its route's, plus the target's processing
        time; nan where an end is not placed, inf while an end is being moved."""
        still = self._memoised(
            "latency", lambda: self.routes.latency + self.processing[self.inter_dst], still=True)
        down = self._down()
        if down is None:
            return still
        return self._memoised(
            "latency now", lambda: np.where(down & ~np.isnan(still), np.inf, still))

    def end_to_end(self) -> np.ndarray:
        """Each application's longest path of interaction latencies from its sources
        to its sinks; nan for an application not wholly placed."""
        if self._down() is not None:  # this tick's, with its unavailable interactions
            return self._memoised("e2e now", self._longest)
        return self._memoised("e2e", self._longest, still=True)

    def _longest(self) -> np.ndarray:
        weight = self.interaction_latency()
        reach = np.zeros(len(self.service_ids))
        levels = self.inter_level
        # fmax: an interaction with an end not placed (nan) leaves the rest as they
        # are; its application is not reported anyway.
        for level in range(int(levels.max()) + 1 if len(levels) else 0):
            at = np.flatnonzero(levels == level)
            np.fmax.at(reach, self.inter_dst[at], reach[self.inter_src[at]] + weight[at])
        longest = np.zeros(len(self.apps))
        np.fmax.at(longest, self.service_app, reach)
        unplaced = np.zeros(len(self.apps), dtype=bool)
        unplaced[self.service_app[self.service_node < 0]] = True
        longest[unplaced] = np.nan
        return longest


_UNPLACED = object()
