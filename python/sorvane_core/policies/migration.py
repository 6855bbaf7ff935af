"""Migration policies: what to move between two ticks.

A migration policy is called with the simulator between ticks (after every
``every`` ticks, see ``Simulator(..., policies=[...])``) and returns the moves to
make, ``(application, service, node, reason)``; the simulator makes them as
``migrate`` does, so they are costed and recorded like any move. The built-in
ones read the arrays the models share (see ``sorvane_core.models``): the current
demands (a workload included) and the shortest-path latencies, and look at each
node or service with array operations.

- ``relieve_overload(threshold=1.0)``: for each node whose utilisation is above
  ``threshold``, the most demanding service on it goes to the node where it
  fits (utilisation at most ``threshold`` after the move) that leaves the fewest
  of the services it talks to without a path to it, then adds the least latency
  to its interactions (the sum, over the services it talks to with a path to
  both nodes, of the shortest-path latency from their node to the new one, less
  that to the old one); among equals, the first node in the infrastructure's
  order.
- ``consolidate(threshold)``: each node in use at most ``threshold`` (the least
  used first) is emptied when all its services fit on nodes already in use
  (utilisation at most ``max_utilisation`` after the moves; each service to the
  fullest node it fits, best fit), so that the emptied node can be switched off.
"""

from __future__ import annotations

import math
from collections.abc import Hashable
from typing import Any

import numpy as np

from sorvane_core.models.network import Attributes, Needs, Network, latencies_from, network_of

Move = tuple[Hashable, Hashable, Hashable, str]


class _Policy:
    """What the built-in policies share: the resource they look at, the network."""

    name = "policy"

    def __init__(self, every: int, resource: str | None, attributes: Attributes | None) -> None:
        if type(every) is bool or not isinstance(every, int) or every < 1:
            raise ValueError(f"{self.name}: every must be a whole number of ticks, 1 or more, "
                             f"not {every!r}")
        self.every = every
        self.attributes = Attributes() if attributes is None else attributes
        self.resource = self.attributes.cpu if resource is None else resource

    def _network(self, simulator: Any, routes: bool) -> Network:
        network = network_of(simulator, self.attributes, None)
        network.require(Needs(resources=frozenset([self.resource]), routes=routes))
        network.at(simulator, simulator.tick)
        return network

    def _state(self, network: Network) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        """(capacity, demand asked of each node, each service's node, its demand), the
        last three the policy's own copies, changed as it plans moves."""
        infra = network.infra
        assert infra is not None
        capacity = infra.capacity[self.resource]
        demand = network.demand(self.resource)
        node = network.service_node.copy()
        placed = node >= 0
        asked = np.bincount(node[placed], weights=demand[placed], minlength=len(capacity))
        return capacity, asked, node, demand

    def _move(self, network: Network, service: int, target: int) -> Move:
        infra = network.infra
        assert infra is not None
        app = network.apps[int(network.service_app[service])]
        return app, network.service_ids[service], infra.nodes[target], self.name

    def __repr__(self) -> str:
        return f"{self.name}(every={self.every})"


def _use(asked: np.ndarray, capacity: np.ndarray) -> np.ndarray:
    out = np.where(asked > 0, np.inf, 0.0)
    np.divide(asked, capacity, out=out, where=capacity > 0)
    return out


class relieve_overload(_Policy):  # noqa: N801 - used as the function it stands for
    """Move the most demanding service off each node above ``threshold`` (see the
    module docstring)."""

    name = "relieve_overload"

    def __init__(
        self, threshold: float = 1.0, *, every: int = 1, resource: str | None = None,
        attributes: Attributes | None = None,
    ) -> None:
        super().__init__(every, resource, attributes)
        self.threshold = _positive("threshold", threshold)

    def __call__(self, simulator: Any) -> list[Move]:
        network = self._network(simulator, routes=True)
        use = network.utilisation(self.resource)
        over = np.flatnonzero(use > self.threshold)
        if not len(over):
            return []
        capacity, asked, node, demand = self._state(network)
        distances: dict[int, np.ndarray] = {}
        moves = []
        for n in over[np.argsort(-use[over], kind="stable")].tolist():
            on = np.flatnonzero(node == n)
            if not len(on):
                continue
            service = int(on[np.argmax(demand[on])])
            asked_more = demand[service]
            room = _use(asked + asked_more, capacity) <= self.threshold
            room[n] = False
            candidates = np.flatnonzero(room)
            if not len(candidates):
                continue
            cut, added = self._added_latency(network, node, service, n, candidates, distances)
            # The fewest cut off, then the least added; lexsort is stable: the first.
            target = int(candidates[np.lexsort((added, cut))[0]])
            asked[n] -= asked_more
            asked[target] += asked_more
            node[service] = target
            moves.append(self._move(network, service, target))
        return moves

    def _added_latency(
        self, network: Network, node: np.ndarray, service: int, source: int,
        candidates: np.ndarray, distances: dict[int, np.ndarray],
    ) -> tuple[np.ndarray, np.ndarray]:
        """For each candidate node, if ``service`` moved there from ``source``: how
        many of the services it talks to would have no path to it, and the latency
        added to its interactions with those that have a path to both nodes."""
        src, dst = network.inter_src, network.inter_dst
        touching = np.flatnonzero((src == service) | (dst == service))
        peers = np.where(src[touching] == service, dst[touching], src[touching])
        peer_nodes = node[peers]
        cut = np.zeros(len(candidates), dtype=np.int64)
        added = np.zeros(len(candidates))
        for p in peer_nodes[peer_nodes >= 0].tolist():
            far = distances.get(p)
            if far is None:
                far = distances[p] = _distances_from(network, p)
            there = far[candidates]
            reached = np.isfinite(there)
            cut += ~reached
            if math.isfinite(far[source]):
                added += np.where(reached, there - far[source], 0.0)
        return cut, added

    def __repr__(self) -> str:
        return f"relieve_overload({self.threshold!r}, every={self.every})"


class consolidate(_Policy):  # noqa: N801
    """Empty the nodes in use at most ``threshold`` whose services fit elsewhere (see
    the module docstring)."""

    name = "consolidate"

    def __init__(
        self, threshold: float, *, max_utilisation: float = 1.0, every: int = 1,
        resource: str | None = None, attributes: Attributes | None = None,
    ) -> None:
        super().__init__(every, resource, attributes)
        self.threshold = _positive("threshold", threshold)
        self.max_utilisation = _positive("max_utilisation", max_utilisation)

    def __call__(self, simulator: Any) -> list[Move]:
        network = self._network(simulator, routes=False)
        use = network.utilisation(self.resource)
        light = np.flatnonzero((use > 0) & (use <= self.threshold))
        if not len(light):
            return []
        capacity, asked, node, demand = self._state(network)
        moves = []
        emptied = np.zeros(len(capacity), dtype=bool)
        for n in light[np.argsort(use[light], kind="stable")].tolist():
            if emptied[n] or not _use(asked[n:n + 1], capacity[n:n + 1])[0] <= self.threshold:
                continue  # filled by the moves planned so far
            on = np.flatnonzero(node == n)
            plan_asked = asked.copy()
            plan: list[tuple[int, int]] = []
            for service in on[np.argsort(-demand[on], kind="stable")].tolist():
                after = _use(plan_asked + demand[service], capacity)
                fits = (after <= self.max_utilisation) & (plan_asked > 0) & ~emptied
                fits[n] = False
                if not fits.any():
                    plan = []
                    break
                target = int(np.flatnonzero(fits)[np.argmax(after[fits])])
                plan_asked[n] -= demand[service]
                plan_asked[target] += demand[service]
                plan.append((service, target))
            if not plan:
                continue
            asked = plan_asked
            emptied[n] = True
            for service, target in plan:
                node[service] = target
                moves.append(self._move(network, service, target))
        return moves

    def __repr__(self) -> str:
        return (f"consolidate({self.threshold!r}, max_utilisation={self.max_utilisation!r}, "
                f"every={self.every})")


def _distances_from(network: Network, source: int) -> np.ndarray:
    """The shortest-path latency from node ``source`` to every node (inf: no path)."""
    infra = network.infra
    assert infra is not None
    return latencies_from(source, infra.indptr, infra.neighbours, infra.weights,
                          infra.entry_links, infra.graph, infra.nodes,
                          network.attributes.latency)


def _positive(name: str, value: Any) -> float:
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a number, not {value!r}") from None
    if not number > 0 or math.isinf(number):
        raise ValueError(f"{name} must be a finite number above 0, not {value!r}")
    return number
