"""Placement policies: where each service of a set of applications goes.

Every policy is a function ``policy(applications, infrastructure, *, rng=None,
**options) -> list[Placement]`` that returns one :class:`Placement` per
application, in the order given, with every service placed, and changes neither
the applications nor the infrastructure. The rules are those of ``docs/policies.md``:

- **Resources.** By default the resources are the attributes that the services
  ask for and that some node has as a number (``cpu``, ``mem``, ... but not
  ``processing_ms``, which nodes do not have), in the order the services first
  name them; ``resources=("cpu", "mem")`` chooses. Every node and every service
  must then have each resource as a number of at least 0 (capacities may be
  ``inf``, demands not). A node's remaining capacity starts at its attribute and
  goes down by the demand of each service placed on it; a service fits on a node
  where it leaves no resource below 0.
- **Order.** Applications in the order given; within one, its services in
  ``app.nodes`` order (``latency_aware``: a topological order of the
  interactions, ``app.nodes`` order for an application with a cycle).
- **Ties** go to the first node in ``infrastructure.nodes`` order.
- **A service that fits nowhere** is a ``ValueError`` naming the application,
  the service and the resource that is short: the node closest to fitting is
  the one with the least total shortfall (each resource's shortfall divided by
  the largest capacity of that resource, as in the score of :func:`best_fit`),
  the first among ties, and the resource named is the one with the largest such
  shortfall on that node.
- **Seeds.** ``rng`` is None (:data:`DEFAULT_SEED`), an int seed, a
  ``numpy.random.Generator`` or a ``random.Random``; only :func:`random` draws,
  the other policies are deterministic whatever it is.

Each service's choice is a few numpy operations over the remaining capacity
of every node at once; the infrastructure and the services are read into
arrays once per call.

>>> from sorvane_core.graph import Application, Infrastructure
>>> infr = Infrastructure("dc")
>>> infr.add_node("small", cpu=2)
>>> infr.add_node("big", cpu=8)
>>> app = Application("shop")
>>> for service, cpu in [("front", 1), ("api", 2), ("db", 4)]:
...     _ = app.add_service(service, cpu=cpu)
>>> [dict(pl.mapping) for pl in first_fit([app], infr)]
[{'front': 'small', 'api': 'big', 'db': 'big'}]
>>> [dict(pl.mapping) for pl in worst_fit([app], infr)]
[{'front': 'big', 'api': 'big', 'db': 'big'}]
"""

from __future__ import annotations

import math
import numbers
from bisect import bisect_right
from collections import OrderedDict
from collections.abc import Callable, Hashable, Iterable, Sequence
from random import Random
from typing import TYPE_CHECKING, Any

import networkx as nx
import numpy as np

from sorvane_core.models.network import Attributes, latencies_from
from sorvane_core.placement import Placement
from sorvane_core.utils.types import is_number

if TYPE_CHECKING:
    from sorvane_core.graph import Application, Infrastructure

__all__ = [
    "DEFAULT_SEED", "EDGE_FIRST_TIERS", "SOURCE_NODE", "TIER", "best_fit", "cloud_only",
    "edge_first", "first_fit", "latency_aware", "random", "worst_fit",
]

DEFAULT_SEED = 0
"""The seed of ``rng=None``."""

TIER = "tier"
"""The node attribute that :func:`cloud_only` and :func:`edge_first` read."""

EDGE_FIRST_TIERS = ("edge", "fog", "cloud")
"""The order of the tiers that :func:`edge_first` tries by default."""

SOURCE_NODE = "source_node"
"""The application graph attribute near which :func:`latency_aware` places the first
services of an application."""

RngLike = int | np.random.Generator | Random | None
Resources = str | Sequence[str] | None

_MISSING = object()


def _picker(rng: RngLike) -> Callable[[int], int]:
    """A function that draws an index below ``n``, from the generator ``rng`` stands for."""
    if rng is None or (isinstance(rng, numbers.Integral) and not isinstance(rng, bool)):
        rng = np.random.default_rng(DEFAULT_SEED if rng is None else int(rng))
    if isinstance(rng, np.random.Generator):
        generator = rng
        return lambda n: int(generator.integers(n))
    if isinstance(rng, Random):
        return rng.randrange
    raise TypeError(
        f"rng must be None, an int seed, a numpy.random.Generator or a random.Random, "
        f"not {type(rng).__name__}")


# -- reading the world ----------------------------------------------------------------


def _applications(applications: Iterable[Application]) -> list[Application]:
    if isinstance(applications, nx.Graph):
        raise TypeError(
            f"applications must be an iterable of applications, not the graph "
            f"{getattr(applications, 'id', None)!r} itself (pass [app] for one)")
    apps = list(applications)
    for app in apps:
        if not isinstance(app, nx.DiGraph):
            raise TypeError(f"applications must be Application graphs, not {app!r}")
    return apps


def _amount(value: Any, resource: Hashable, what: str, demand: bool) -> float:
    """``value`` of ``resource`` as a float; ValueError naming ``what`` unless it is a
    number of at least 0 (and finite, for a demand)."""
    if value is _MISSING:
        hint = f" (give it {resource}=0 if it needs none, or choose resources=...)" if (
            demand) else ""
        raise ValueError(
            f"{what} has no {resource!r} attribute, which placement reads as a resource{hint}")
    if not is_number(value):
        raise ValueError(f"{what} has {resource}={value!r}; placement needs a number there")
    amount = float(value)
    if not amount >= 0 or (demand and amount == math.inf):
        bound = "a finite number" if demand else "a number"
        raise ValueError(
            f"{what} has {resource}={value!r}; placement needs {bound} of at least 0 there")
    return amount


def _column(items: list[Any], resource: Hashable, named: Callable[[int], str],
            demand: bool) -> np.ndarray:
    """The amounts of ``resource`` in the attribute dicts ``items``; ValueError naming
    (by ``named(position)``) the first item whose amount is not a valid one."""
    values = [data.get(resource, _MISSING) for data in items]
    if set(map(type, values)) <= {int, float}:  # the usual case, checked in bulk
        try:
            column = np.array(values, dtype=np.float64)
        except OverflowError:  # an int too large for a float: said below
            pass
        else:
            bad = ~(column >= 0) | (np.isinf(column) if demand else False)
            if not bad.any():
                return column + 0.0  # -0.0 as 0.0: the slacks' signs must mean room
    column = np.empty(len(values))
    for i, value in enumerate(values):
        column[i] = _amount(value, resource, named(i), demand)
    return column + 0.0


class _World:
    """The infrastructure's capacities and the services' demands, as arrays.

    ``capacity`` is (resources x nodes); ``demand`` holds one row per service, the
    services of application ``a`` being rows ``offsets[a]`` to ``offsets[a + 1]``
    in the order ``order[a]`` of the policy.
    """

    def __init__(self, apps: list[Application], infrastructure: Infrastructure,
                 resources: Resources,
                 order: Callable[[Application], list[Hashable]] | None = None) -> None:
        self.apps = apps
        self.infrastructure = infrastructure
        node_data = infrastructure._node  # networkx's node -> attribute dict
        self.nodes = list(node_data)
        self.order = [list(app._node) if order is None else order(app) for app in apps]
        offsets = [0]
        for sequence in self.order:
            offsets.append(offsets[-1] + len(sequence))
        self.offsets = offsets
        services = [data for app, sequence in zip(apps, self.order)
                    for data in map(app._node.__getitem__, sequence)]
        if resources is None:
            self.resources = self._default_resources(services, list(node_data.values()))
        elif isinstance(resources, str):
            self.resources = (resources,)
        else:
            self.resources = tuple(dict.fromkeys(resources))
        nodes = list(node_data.values())
        self.capacity = np.array(
            [_column(nodes, r, lambda j: f"node {self.nodes[j]!r}", demand=False)
             for r in self.resources], dtype=np.float64).reshape(len(self.resources), len(nodes))
        self.demand = np.array(
            [_column(services, r, self._service_name, demand=True) for r in self.resources],
            dtype=np.float64).reshape(len(self.resources), len(services)).T.copy()

    def _service_name(self, s: int) -> str:
        a = bisect_right(self.offsets, s) - 1
        sid = self.order[a][s - self.offsets[a]]
        return f"service {sid!r} of application {self.apps[a].id!r}"

    @staticmethod
    def _default_resources(services: list[Any], nodes: list[Any]) -> tuple[Hashable, ...]:
        held = {k for data in nodes for k, v in data.items() if is_number(v)}
        # Each name held by a node, where a service first names it; the names in that
        # order (a service's own names in their order). A service that gives one of
        # them as anything but a number is then told so, rather than left unchecked.
        first: dict[Hashable, tuple[int, int]] = {}
        for name in held:
            for s, data in enumerate(services):
                if name in data:
                    first[name] = (s, list(data).index(name))
                    break
        return tuple(sorted(first, key=first.__getitem__))

    def scale(self) -> np.ndarray:
        """Per resource, the largest finite capacity of a node (1 where none is above
        0): what makes amounts of different resources comparable."""
        scale = np.ones(len(self.resources))
        for r, row in enumerate(self.capacity):
            finite = row[np.isfinite(row)]
            if len(finite) and finite.max() > 0:
                scale[r] = finite.max()
        return scale

    def placements(self, mappings: list[dict[Hashable, Hashable]]) -> list[Placement]:
        # Each mapping in the application's own node order, whatever the order of placing.
        return [Placement(app, self.infrastructure, {sid: mapping[sid] for sid in app.nodes})
                for app, mapping in zip(self.apps, mappings)]


class _Nodes:
    """The remaining capacity of some nodes (all, or those of some tiers, in the
    order they are tried), and the choice of one for a service.

    A service is given by its row ``s`` in the world's demands. Its slack on a node
    is the least, over the resources it asks for, of ``remaining - demand``: it
    fits where the slack is at least 0. The difference of two non-negative numbers
    is never -0.0, so the sign bit of the slack alone says whether a service fits,
    and copying that sign onto a score of 0 or more lets one integer view of the
    array both mask and rank it.
    """

    def __init__(self, world: _World, which: np.ndarray | None = None,
                 scored: bool = False) -> None:
        self.world = world
        self.which = which  # positions in infrastructure order, or None for all
        capacity = world.capacity if which is None else world.capacity[:, which]
        self.remaining = np.ascontiguousarray(capacity, dtype=np.float64)
        self.count = self.remaining.shape[1]
        self.slack_buffer = np.empty(self.count)
        self.buffer = np.empty(self.count)
        self.scale = world.scale()
        demand = world.demand
        self.rows: list[list[float]] = demand.tolist()
        # Which resources each service asks for (the others cannot stop it), as one
        # shared list per combination.
        positive = demand > 0
        if demand.shape[1] < 63:
            bits = positive @ (1 << np.arange(demand.shape[1], dtype=np.int64))
            kinds = {int(b): [r for r in range(demand.shape[1]) if int(b) >> r & 1]
                     for b in np.unique(bits).tolist()}
            self.asks: list[list[int]] = [kinds[b] for b in bits.tolist()]
        else:
            self.asks = [np.flatnonzero(row).tolist() for row in positive]
        self.key: np.ndarray | None = None
        if scored and len(world.resources) != 1:
            # The score of best and worst fit for several resources: the remaining
            # capacities summed, each over its scale; a node's key is made again from
            # its capacities, in the same order of operations, after each placing.
            key = np.zeros(self.count)
            for r in range(len(self.scale)):
                key = key + self.remaining[r] / self.scale[r]
            self.key = key

    def slack(self, s: int) -> np.ndarray | None:
        """Each node's slack for service ``s``; None when it asks for nothing (it fits
        everywhere)."""
        row = self.rows[s]
        remaining = self.remaining
        out: np.ndarray | None = None
        for r in self.asks[s]:
            if out is None:
                out = np.subtract(remaining[r], row[r], out=self.slack_buffer)
            else:
                np.minimum(out, np.subtract(remaining[r], row[r], out=self.buffer), out=out)
        return out

    def fits(self, j: int, s: int) -> bool:
        row = self.rows[s]
        return all(self.remaining[r, j] >= row[r] for r in self.asks[s])

    def take(self, j: int, s: int) -> None:
        row = self.rows[s]
        remaining = self.remaining
        for r in self.asks[s]:
            remaining[r, j] -= row[r]
        if self.key is not None:
            key = 0.0
            for r, scale in enumerate(self.scale.tolist()):
                key = key + float(remaining[r, j]) / scale
            self.key[j] = key

    def node(self, j: int) -> Hashable:
        node: Hashable = self.world.nodes[j if self.which is None else int(self.which[j])]
        return node

    # -- the rules: each returns a position among these nodes, or -1 ------------------

    def first(self, s: int) -> int:
        if not self.count:
            return -1
        if len(self.scale) == 1:  # one resource: one comparison
            fits = self.remaining[0] >= self.rows[s][0]
            j = int(fits.argmax())
            return j if fits[j] else -1
        slack = self.slack(s)
        if slack is None:
            return 0
        fits = slack >= 0
        j = int(fits.argmax())
        return j if fits[j] else -1

    def best(self, s: int) -> int:
        if not self.count:
            return -1
        if self.key is None:  # one resource: the least remaining after placing
            after = np.subtract(self.remaining[0], self.rows[s][0], out=self.buffer)
            j = int(after.view(np.uint64).argmin())  # negatives (no room) rank last
            return j if after[j] >= 0 else -1
        slack = self.slack(s)
        if slack is None:
            return int(self.key.argmin())
        ranked = np.copysign(self.key, slack, out=self.buffer)
        j = int(ranked.view(np.uint64).argmin())
        return j if slack[j] >= 0 else -1

    def worst(self, s: int) -> int:
        if not self.count:
            return -1
        if self.key is None:  # one resource: the most remaining before is the most after
            j = int(self.remaining[0].argmax())
            return j if self.remaining[0, j] >= self.rows[s][0] else -1
        slack = self.slack(s)
        if slack is None:
            return int(self.key.argmax())
        ranked = np.copysign(self.key, slack, out=self.buffer)
        j = int(ranked.view(np.int64).argmax())  # negatives (no room) rank first
        return j if slack[j] >= 0 else -1

    def any(self, s: int, pick: Callable[[int], int]) -> int:
        if not self.count:
            return -1
        slack = self.slack(s)
        if slack is None:
            return pick(self.count)
        fitting = np.flatnonzero(slack >= 0)
        return int(fitting[pick(len(fitting))]) if len(fitting) else -1

    def nearest(self, s: int, cost: np.ndarray) -> int:
        """The node of least ``cost`` (0 or more, perhaps inf) that service ``s`` fits on."""
        if not self.count:
            return -1
        slack = self.slack(s)
        if slack is None:
            return int(cost.argmin())
        ranked = np.copysign(cost, slack, out=self.buffer)
        j = int(ranked.view(np.uint64).argmin())
        return j if slack[j] >= 0 else -1

    # -- a service that fits nowhere ---------------------------------------------------

    def refuse(self, app: Application, sid: Hashable, s: int, where: str = "") -> ValueError:
        what = f"service {sid!r} of application {app.id!r}"
        if not self.count:
            return ValueError(f"{what} fits on no node{where}: there is none")
        resources = self.world.resources
        demand = self.world.demand[s]
        short = np.maximum(demand[:, None] - self.remaining, 0) / self.scale[:, None]
        j = int(short.sum(axis=0).argmin())
        r = int(short[:, j].argmax())
        asked = ", ".join(f"{res}={float(d):g}" for res, d in zip(resources, demand))
        return ValueError(
            f"{what} fits on no node{where}: short of {resources[r]!r}; it asks for "
            f"{asked}, and the node closest to fitting, {self.node(j)!r}, has "
            f"{resources[r]}={float(self.remaining[r, j]):g} left")


def _place(world: _World, nodes: _Nodes, choose: Callable[[int], int],
           where: str = "") -> list[Placement]:
    mappings: list[dict[Hashable, Hashable]] = []
    for a, app in enumerate(world.apps):
        mapping: dict[Hashable, Hashable] = {}
        for s, sid in enumerate(world.order[a], world.offsets[a]):
            j = choose(s)
            if j < 0:
                raise nodes.refuse(app, sid, s, where)
            nodes.take(j, s)
            mapping[sid] = nodes.node(j)
        mappings.append(mapping)
    return world.placements(mappings)


# -- the policies -----------------------------------------------------------------------


def random(applications: Iterable[Application], infrastructure: Infrastructure, *,
           rng: RngLike = None, resources: Resources = None) -> list[Placement]:
    """Each service on a node drawn uniformly among those it fits on.

    >>> from sorvane_core.graph import Application, Infrastructure
    >>> infr = Infrastructure("dc")
    >>> for n in "abc":
    ...     infr.add_node(n, cpu=4)
    >>> app = Application("a")
    >>> for s in ("x", "y"):
    ...     _ = app.add_service(s, cpu=3)
    >>> placed = random([app], infr, rng=7)[0].mapping
    >>> placed["x"] != placed["y"]
    True
    """
    pick = _picker(rng)
    world = _World(_applications(applications), infrastructure, resources)
    nodes = _Nodes(world)
    return _place(world, nodes, lambda s: nodes.any(s, pick))


def first_fit(applications: Iterable[Application], infrastructure: Infrastructure, *,
              rng: RngLike = None, resources: Resources = None) -> list[Placement]:
    """Each service on the first node, in ``infrastructure.nodes`` order, with room."""
    _picker(rng)
    world = _World(_applications(applications), infrastructure, resources)
    nodes = _Nodes(world)
    return _place(world, nodes, nodes.first)


def best_fit(applications: Iterable[Application], infrastructure: Infrastructure, *,
             rng: RngLike = None, resources: Resources = None) -> list[Placement]:
    """Each service on the node it fits on most tightly: with one resource, the least
    remaining capacity after placing; with several, the least sum over the resources
    of the remaining capacity after placing divided by the resource's largest
    capacity among the nodes (its largest finite one; 1 if none is above 0).

    >>> from sorvane_core.graph import Application, Infrastructure
    >>> infr = Infrastructure("dc")
    >>> for n, cpu in [("a", 8), ("b", 3), ("c", 4)]:
    ...     infr.add_node(n, cpu=cpu)
    >>> app = Application("a")
    >>> _ = app.add_service("x", cpu=3)
    >>> best_fit([app], infr)[0].mapping["x"]
    'b'
    """
    _picker(rng)
    world = _World(_applications(applications), infrastructure, resources)
    nodes = _Nodes(world, scored=True)
    return _place(world, nodes, nodes.best)


def worst_fit(applications: Iterable[Application], infrastructure: Infrastructure, *,
              rng: RngLike = None, resources: Resources = None) -> list[Placement]:
    """Each service on the node it leaves the most room on: the score of
    :func:`best_fit`, the greatest."""
    _picker(rng)
    world = _World(_applications(applications), infrastructure, resources)
    nodes = _Nodes(world, scored=True)
    return _place(world, nodes, nodes.worst)


def _tier_groups(world: _World, tiers: Sequence[str]) -> list[list[int]]:
    """The positions of the nodes of each tier of ``tiers``, in infrastructure order,
    and last those of the nodes of any other tier or of none."""
    groups: dict[str, list[int]] = {tier: [] for tier in tiers}
    rest: list[int] = []
    for j, data in enumerate(world.infrastructure._node.values()):
        tier = data.get(TIER)
        group = groups.get(tier) if isinstance(tier, str) else None
        (rest if group is None else group).append(j)
    return [*groups.values(), rest]


def cloud_only(applications: Iterable[Application], infrastructure: Infrastructure, *,
               rng: RngLike = None, resources: Resources = None,
               tier: str = "cloud") -> list[Placement]:
    """Each service on the first node with room among those whose ``tier`` attribute is
    ``tier`` (``"cloud"``), in ``infrastructure.nodes`` order."""
    _picker(rng)
    world = _World(_applications(applications), infrastructure, resources)
    which = np.array(_tier_groups(world, (tier,))[0], dtype=np.int64)
    if not len(which):
        for app, sequence in zip(world.apps, world.order):
            if sequence:
                raise ValueError(
                    f"no node of infrastructure {infrastructure.id!r} has {TIER}={tier!r}, "
                    f"so service {sequence[0]!r} of application {app.id!r} has nowhere to go")
    nodes = _Nodes(world, which)
    return _place(world, nodes, nodes.first, f" of {TIER} {tier!r}")


def edge_first(applications: Iterable[Application], infrastructure: Infrastructure, *,
               rng: RngLike = None, resources: Resources = None,
               tiers: Sequence[str] = EDGE_FIRST_TIERS) -> list[Placement]:
    """Each service on the first node with room, trying the nodes by their ``tier``
    attribute: those of ``tiers[0]`` (``"edge"``) first, then ``tiers[1]`` (``"fog"``),
    and so on, then the nodes of any other tier or of none; within each group, in
    ``infrastructure.nodes`` order."""
    _picker(rng)
    if isinstance(tiers, str):
        tiers = (tiers,)
    world = _World(_applications(applications), infrastructure, resources)
    which = np.array([j for group in _tier_groups(world, tuple(tiers)) for j in group],
                     dtype=np.int64)
    nodes = _Nodes(world, which)
    return _place(world, nodes, nodes.first)


# -- latency_aware ------------------------------------------------------------------------


def _topological(app: Application) -> list[Hashable]:
    """networkx.topological_sort's order (generation by generation, each in the order
    networkx makes it), over the graph's dicts; ``app.nodes`` order for a graph
    with a cycle."""
    succ = app._succ
    waiting = {v: len(p) for v, p in app._pred.items() if p}
    generation = [v for v, p in app._pred.items() if not p]
    order: list[Hashable] = []
    while generation:
        order += generation
        following = []
        for node in generation:
            for child in succ[node]:
                waiting[child] -= 1
                if not waiting[child]:
                    following.append(child)
                    del waiting[child]
        generation = following
    return list(app._node) if waiting else order


class _Latencies:
    """Shortest-path latencies from a node to every node, one search per node asked
    about, kept (the most recently used first) up to a memory budget."""

    def __init__(self, infrastructure: Infrastructure, index: dict[Hashable, int],
                 attribute: str, cache_mb: float) -> None:
        count = len(index)
        self.count = count
        self.graph = infrastructure
        self.attribute = attribute
        sources, targets, latency = [], [], []
        for u, v, data in infrastructure.edges(data=True):
            value = data.get(attribute, _MISSING)
            what = f"link {u!r}-{v!r}"
            if value is _MISSING:
                raise ValueError(f"{what} has no {attribute!r} attribute, which "
                                 f"latency_aware needs")
            if not is_number(value) or not float(value) >= 0:
                raise ValueError(f"{what} has {attribute}={value!r}; latency_aware needs a "
                                 f"number of at least 0 there")
            sources.append(index[u])
            targets.append(index[v])
            latency.append(float(value))
        ends = np.array([sources, targets], dtype=np.int64).reshape(2, -1)
        weights = np.array(latency, dtype=np.float64)
        # The adjacency both ways, as the routing kernel reads it.
        tails = np.concatenate((ends[0], ends[1]))
        order = np.argsort(tails, kind="stable")
        self.indptr = np.concatenate(([0], np.cumsum(np.bincount(tails, minlength=count))))
        self.neighbours = np.concatenate((ends[1], ends[0]))[order]
        self.weights = np.concatenate((weights, weights))[order]
        links = np.arange(len(weights), dtype=np.int64)
        self.links = np.concatenate((links, links))[order]
        self.nodes = list(index)  # node ids in index order
        self.rows: OrderedDict[int, np.ndarray] = OrderedDict()
        self.capacity = max(1, int(cache_mb * 2**20 // max(1, 8 * count)))
        self.alone = self._alone(ends, weights)
        self.searches = 0

    def _alone(self, ends: np.ndarray, weights: np.ndarray) -> np.ndarray:
        """Per node: no node before it is at latency 0 from it (joined by links of
        latency 0 alone), so that it wins the tie for a cost of 0 from itself."""
        alone = np.ones(self.count, dtype=bool)
        zero = np.flatnonzero(weights == 0)
        if not len(zero):
            return alone
        parent = list(range(self.count))

        def root(x: int) -> int:
            while parent[x] != x:
                parent[x] = parent[parent[x]]
                x = parent[x]
            return x

        for u, v in ends[:, zero].T.tolist():
            ru, rv = root(u), root(v)
            if ru != rv:
                parent[max(ru, rv)] = min(ru, rv)  # the root is a group's first node
        roots = np.array([root(x) for x in range(self.count)], dtype=np.int64)
        alone &= roots == np.arange(self.count)
        return alone

    def row(self, node: int) -> np.ndarray:
        rows = self.rows
        found = rows.get(node)
        if found is not None:
            rows.move_to_end(node)
            return found
        self.searches += 1
        found = latencies_from(node, self.indptr, self.neighbours, self.weights, self.links,
                               self.graph, self.nodes, self.attribute)
        rows[node] = found
        if len(rows) > self.capacity:
            rows.popitem(last=False)
        return found


def _rate(data: Any, attribute: str, u: Hashable, v: Hashable, app: Application) -> float:
    value = data.get(attribute, _MISSING)
    what = f"interaction {u!r}->{v!r} of application {app.id!r}"
    if value is _MISSING:
        raise ValueError(f"{what} has no {attribute!r} attribute, which latency_aware "
                         f"weighs its latency by (weighted=True)")
    if not is_number(value) or not 0 <= float(value) < math.inf:
        raise ValueError(f"{what} has {attribute}={value!r}; latency_aware needs a finite "
                         f"number of at least 0 there")
    return float(value)


def latency_aware(applications: Iterable[Application], infrastructure: Infrastructure, *,
                  rng: RngLike = None, resources: Resources = None, weighted: bool = False,
                  attributes: Attributes | None = None,
                  cache_mb: float = 512.0) -> list[Placement]:
    """Each service near the services it interacts with.

    The services of an application are taken in a topological order of its
    interactions (``app.nodes`` order if they have a cycle). Each goes on the node,
    among those it fits on, of least cost: the sum, over its interactions in either
    direction with services of its application already placed, of the latency of
    the shortest path (by the links' ``latency_ms``) between the node and theirs;
    with ``weighted=True`` each interaction's latency counts times its
    ``rate_mbps`` (an interaction of rate 0 does not count). A service with no
    placed partner (the first of its application, say) goes near the application's
    ``source_node`` graph attribute when it has one: the cost is the latency from
    that node. Unreachable nodes cost ``inf``; ties (all nodes, for a service with
    nothing to be near) go to the first node in ``infrastructure.nodes`` order.

    ``attributes`` renames ``latency_ms`` and ``rate_mbps`` as for the models. The
    latencies from each node of interest to every node come from one search each,
    kept for the call within ``cache_mb`` megabytes (8 bytes per node per search).

    >>> from sorvane_core.graph import Application, Infrastructure
    >>> infr = Infrastructure("dc")
    >>> for n in ("edge", "fog", "cloud"):
    ...     infr.add_node(n, cpu=2)
    >>> infr.add_edge("edge", "fog", latency_ms=5)
    >>> infr.add_edge("fog", "cloud", latency_ms=20)
    >>> app = Application("shop", source_node="cloud")
    >>> for s in ("front", "api", "db"):
    ...     _ = app.add_service(s, cpu=1)
    >>> app.add_interaction("front", "api")
    >>> app.add_interaction("api", "db")
    >>> dict(latency_aware([app], infr)[0].mapping)
    {'front': 'cloud', 'api': 'cloud', 'db': 'fog'}
    """
    _picker(rng)
    if not cache_mb >= 0:
        raise ValueError(f"cache_mb must be a number of megabytes, at least 0, not {cache_mb!r}")
    names = Attributes() if attributes is None else attributes
    apps = _applications(applications)
    world = _World(apps, infrastructure, resources, order=_topological)
    index = {n: j for j, n in enumerate(world.nodes)}
    latencies = _Latencies(infrastructure, index, names.latency, cache_mb)
    nodes = _Nodes(world)
    count = nodes.count
    mappings: list[dict[Hashable, Hashable]] = []
    for a, app in enumerate(apps):
        sequence = world.order[a]
        position = {sid: i for i, sid in enumerate(sequence)}
        partners: list[list[tuple[int, float]]] = [[] for _ in sequence]
        for u, targets in app._succ.items():  # the interactions in app.edges order
            for v, data in targets.items():
                weight = _rate(data, names.rate, u, v, app) if weighted else 1.0
                partners[position[u]].append((position[v], weight))
                partners[position[v]].append((position[u], weight))
        source = app.graph.get(SOURCE_NODE)
        if source is not None and (not isinstance(source, Hashable) or source not in index):
            raise ValueError(f"application {app.id!r} has {SOURCE_NODE}={source!r}, which is "
                             f"not a node of infrastructure {infrastructure.id!r}")
        placed = [-1] * len(sequence)
        mapping: dict[Hashable, Hashable] = {}
        for i, sid in enumerate(sequence):
            s = world.offsets[a] + i
            near: dict[int, float] = {}
            has_partner = False
            for other, weight in partners[i]:
                at = placed[other]
                if at >= 0:
                    has_partner = True
                    if weight > 0:
                        near[at] = near.get(at, 0.0) + weight
            if not has_partner and source is not None:
                near = {index[source]: 1.0}
            if not near:
                j = nodes.first(s)
            elif len(near) == 1:
                (at,) = near
                # Its own node costs 0 and wins unless an earlier node is at 0 too.
                if latencies.alone[at] and nodes.fits(at, s):
                    j = at
                else:
                    j = nodes.nearest(s, latencies.row(at))
            else:
                cost = np.zeros(count)
                for at, weight in near.items():
                    row = latencies.row(at)
                    cost += row if weight == 1.0 else row * weight
                j = nodes.nearest(s, cost)
            if j < 0:
                raise nodes.refuse(app, sid, s)
            nodes.take(j, s)
            placed[i] = j
            mapping[sid] = world.nodes[j]
        mappings.append(mapping)
    return world.placements(mappings)
