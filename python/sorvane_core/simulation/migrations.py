"""What a move of a service costs, and the record it leaves.

A migration carries the service's state over the network: ``state_mb`` (a service
attribute, 0 by default) travels over the route between the two nodes (the
shortest path by ``latency_ms``), at the bandwidth of its narrowest link
(``bandwidth_mbps``). The service is unavailable for the ticks the transfer
takes, ``ceil(transfer_s / tick_seconds)``, and at least ``downtime_ticks``; the
models count its interactions as unavailable meanwhile (latency ``inf``, no
traffic, the SLA violated).
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Hashable
from dataclasses import dataclass
from typing import Any, NamedTuple

from sorvane_core.utils.types import is_number


class Migration(NamedTuple):
    """A service moved during a run.

    ``tick`` is the first tick that sees the service on its new node; the service
    is unavailable from it for ``downtime_ticks`` ticks. ``bytes`` of state took
    ``transfer_s`` seconds to travel.
    """

    tick: int
    application: Hashable
    service: Hashable
    source: Hashable
    target: Hashable
    reason: str
    downtime_ticks: int
    bytes: float
    transfer_s: float


MIGRATION_COLUMNS = Migration._fields


@dataclass(frozen=True)
class MigrationCost:
    """How the cost of a move is counted; ``Simulator(..., migration_cost=...)``.

    Attributes:
        tick_seconds: how long a tick lasts, in seconds.
        downtime_ticks: the fewest ticks a moved service is unavailable, however
            small its state.
        state: the service attribute of its state, in MB (10**6 bytes; 0 if absent).
        bandwidth: the link attribute of its bandwidth, in Mbit/s.
        latency: the link attribute that routes are shortest by.
    """

    tick_seconds: float = 1.0
    downtime_ticks: int = 0
    state: str = "state_mb"
    bandwidth: str = "bandwidth_mbps"
    latency: str = "latency_ms"

    def __post_init__(self) -> None:
        if not (isinstance(self.tick_seconds, numbers.Real) and self.tick_seconds > 0):
            raise ValueError(f"tick_seconds must be a number above 0, not {self.tick_seconds!r}")
        if type(self.downtime_ticks) is bool or not isinstance(self.downtime_ticks, int) \
                or self.downtime_ticks < 0:
            raise ValueError(
                f"downtime_ticks must be a whole number, 0 or more, not {self.downtime_ticks!r}")

    def of(
        self, infrastructure: Any, application: Any, service: Hashable, source: Hashable,
        target: Hashable,
    ) -> tuple[int, float, float]:
        """(downtime ticks, bytes, transfer seconds) of moving ``service`` of
        ``application`` from ``source`` to ``target``."""
        import networkx as nx

        state = application.nodes[service].get(self.state, 0)
        if not is_number(state) or state < 0:
            raise ValueError(
                f"service {service!r} of application {application.id!r} has {self.state}="
                f"{state!r}; a migration needs a number of MB, 0 or more")
        size = float(state) * 1e6
        seconds = 0.0
        if size > 0 and source != target:
            try:
                path = nx.shortest_path(infrastructure, source, target, weight=self.latency)
            except nx.NetworkXNoPath:
                raise ValueError(
                    f"no route from {source!r} to {target!r} to carry the {state!r} MB of state "
                    f"of service {service!r} of application {application.id!r}") from None
            narrowest = math.inf
            for u, v in zip(path, path[1:]):
                bandwidth = infrastructure.edges[u, v].get(self.bandwidth)
                if not is_number(bandwidth) or bandwidth < 0:
                    raise ValueError(
                        f"link {u!r}-{v!r} has {self.bandwidth}={bandwidth!r}; moving service "
                        f"{service!r} of application {application.id!r} needs a number there")
                narrowest = min(narrowest, float(bandwidth))
            seconds = math.inf if narrowest == 0 else size * 8 / (narrowest * 1e6)
        downtime = max(self.downtime_ticks, _ticks(seconds / self.tick_seconds))
        return downtime, size, seconds


def _ticks(duration: float) -> int:
    if math.isinf(duration):
        raise ValueError("a migration over a link of no bandwidth would never end")
    return math.ceil(duration - 1e-12) if duration > 0 else 0


NO_COST = (0, 0.0, 0.0)
