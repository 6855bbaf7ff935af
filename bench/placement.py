"""The placement policies at scale, on the world of the "meter" scenario.

10,000 nodes (about 20,000 links), 10,000 applications of 10 services in chains:
100,000 services to place. Each node gets a tier by its size (64 CPUs: cloud, 32:
fog, less: edge) and each application a random ``source_node``. Printed: each
policy's time for the whole placement, beside its target where it has one, and
for ``latency_aware`` the number of latency searches it made.
"""

from __future__ import annotations

import random
import time
from collections.abc import Callable
from typing import Any

from sorvane_core import policies
from sorvane_core.graph import Application, Infrastructure
from sorvane_core.policies import placement as placing

try:
    from engine import best_of, line
    from meter import build_meter
except ImportError:  # run from elsewhere
    from bench.engine import best_of, line  # type: ignore[no-redef]
    from bench.meter import build_meter  # type: ignore[no-redef]

TARGETS = {"first_fit": 2.0, "best_fit": 2.0, "latency_aware": 20.0}
TIERS = {64: "cloud", 32: "fog"}


def build_world(nodes: int, apps: int, services: int = 10,
                seed: int = 11) -> tuple[Infrastructure, list[Application]]:
    """The meter world without its placements, with tiers and source nodes."""
    infr, placements = build_meter(nodes, apps, services, seed)
    for _, data in infr.nodes(data=True):
        data["tier"] = TIERS.get(data["cpu"], "edge")
    infr.attributes_changed()
    rng = random.Random(seed + 1)
    applications = [pl.application for pl in placements]
    for app in applications:
        app.graph["source_node"] = rng.randrange(nodes)
    return infr, applications


def run(rounds: int, quick: bool) -> dict[str, Any]:
    nodes = apps = 10_000
    print(f"\nplacement policies: {apps * 10:,} services on {nodes:,} nodes")
    infr, applications = build_world(nodes, apps)
    # The latency searches of the last latency_aware call, read from its cache.
    caches: list[Any] = []
    real = placing._Latencies.row

    def counted(self: Any, node: int) -> Any:
        if not caches or caches[-1] is not self:
            caches.append(self)
        return real(self, node)

    def timed(policy: Callable[..., Any]) -> Callable[[], float]:
        def once() -> float:
            start = time.perf_counter()
            placed = policy(applications, infr, rng=1)
            seconds = time.perf_counter() - start
            assert len(placed) == apps
            return seconds
        return once

    names = ["first_fit", "best_fit", "worst_fit", "random", "cloud_only", "edge_first"]
    fast = best_of({name: timed(getattr(policies, name)) for name in names},
                   1 if quick else max(1, rounds // 20))
    placing._Latencies.row = counted  # type: ignore[method-assign]
    try:
        slow = best_of({"latency_aware": timed(policies.latency_aware)}, 1)
    finally:
        placing._Latencies.row = real  # type: ignore[method-assign]
    searches = caches[-1].searches if caches else 0
    figures: dict[str, Any] = {}
    for name, seconds in {**fast, **slow}.items():
        target = TARGETS.get(name)
        text = f"{seconds:6.2f} s" + (f" (target <= {target:g} s)" if target else "")
        if name == "latency_aware":
            text += f", {searches:,} latency searches"
        line(f"placement, {name}", text)
        figures[f"{name}_s"] = seconds
    figures["latency_searches"] = searches
    return figures


if __name__ == "__main__":
    import sys

    run(10, "--quick" in sys.argv)
