"""The "meter" scenario: the models of sorvane_core.models at scale.

10,000 nodes joined by a random tree plus one random extra link per node (about
20,000 links), 10,000 applications of 10 services in chains with rates, placed at
random, a random-walk workload and the whole standard set of models. Printed, each
against a baseline measured in the same run:

- ticks per second with reports off, and with Parquet reports;
- the same arithmetic done by numpy over prebuilt arrays (the floor);
- moving one service (its interactions routed again) against a full rebuild;
- the same metering written as ordinary "node" and "link" callbacks.
"""

from __future__ import annotations

import random
import tempfile
import time
from collections.abc import Callable
from typing import Any

import numpy as np

from sorvane_core import models
from sorvane_core.graph import Application, Infrastructure
from sorvane_core.models.network import network_of
from sorvane_core.placement import Placement
from sorvane_core.simulation import Simulator
from sorvane_core.workflow.callbacks.callback import SorvaneCallback

try:
    from engine import best_of, line
except ImportError:  # run from elsewhere
    from bench.engine import best_of, line  # type: ignore[no-redef]


def build_meter(nodes: int, apps: int, services: int = 10,
                seed: int = 11) -> tuple[Infrastructure, list[Placement]]:
    rng = random.Random(seed)
    infr = Infrastructure("meter")
    for n in range(nodes):
        cpu = rng.choice((8, 16, 32, 64))
        infr.add_node(n, cpu=cpu, idle_power_w=2.0 * cpu, max_power_w=5.0 * cpu)

    def link(u: int, v: int) -> None:
        infr.add_edge(u, v, latency_ms=rng.uniform(0.5, 20.0),
                      bandwidth_mbps=rng.choice((100.0, 1000.0, 10000.0)),
                      energy_per_bit_j=rng.choice((1e-8, 2e-8, 5e-8)))
    for n in range(1, nodes):
        link(n, rng.randrange(n))
    for n in range(nodes):
        m = rng.randrange(nodes)
        if m != n and not infr.has_edge(n, m):
            link(n, m)
    placements = []
    for a in range(apps):
        app = Application(f"app{a}", max_latency_ms=rng.choice((50.0, 100.0, 200.0)))
        chain = [f"a{a}s{s}" for s in range(services)]
        for s in chain:
            app.add_service(s, cpu=rng.choice((0.5, 1.0, 2.0)))
        for first, second in zip(chain, chain[1:]):
            app.add_interaction(first, second, rate_mbps=rng.choice((1.0, 5.0, 10.0)))
        placements.append(Placement(app, infr, {s: rng.randrange(nodes) for s in chain}))
    return infr, placements


def standard_set(report: Any = None) -> list[Any]:
    return models.standard(models.random_walk(0.05, 0.2, 3.0), report=report)


_OPEN: list[Any] = []  # the runs under way, closed when the bench is done


def ticks_per_second(sim: Simulator, ticks: int) -> Callable[[], float]:
    """Seconds per tick of ``ticks`` ticks of a run whose set-up is already done."""
    steps = sim.iter(10**9)
    _OPEN.append(steps)
    next(steps)  # set-up and the first tick

    def once() -> float:
        start = time.perf_counter()
        for _ in range(ticks):
            next(steps)
        return (time.perf_counter() - start) / ticks
    return once


def floor(network: Any, seed: int = 5) -> Callable[[], float]:
    """The arithmetic of the standard set over prebuilt arrays: a random-walk step,
    node demand and utilisation, link load, node and link power, energy."""
    infra, routes = network.infra, network.routes
    rng = np.random.default_rng(seed)
    services, interactions = len(network.service_ids), len(network.rate)
    walk_s, walk_i = np.ones(services), np.ones(interactions)
    node, demand, rate = network.service_node, network.static_demand["cpu"], network.rate
    link, owner, fill = routes.link, routes.owner, routes.fill
    capacity, idle, peak = infra.capacity["cpu"], infra.idle, infra.peak
    energy_bit, bandwidth = infra.energy, infra.bandwidth
    state = {"energy": 0.0}

    def once() -> float:
        nonlocal walk_s, walk_i
        start = time.perf_counter()
        walk_s = np.clip(walk_s + rng.normal(0, 0.05, services), 0.2, 3.0)
        walk_i = np.clip(walk_i + rng.normal(0, 0.05, interactions), 0.2, 3.0)
        asked = np.bincount(node, weights=demand * walk_s, minlength=len(capacity))
        use = asked / capacity
        load = np.bincount(link[:fill], weights=np.append(rate * walk_i, 0.0)[owner[:fill]],
                           minlength=len(bandwidth))
        share = load / bandwidth
        power = idle + (peak - idle) * np.minimum(1.0, use)
        link_power = energy_bit * load * 1e6
        state["energy"] += float(power.sum() + link_power.sum())
        del share
        return time.perf_counter() - start
    return once


class NodeMeter(SorvaneCallback):
    """Utilisation as a user writes it: a call per node, over services grouped by node."""

    def __init__(self, hosted: dict[Any, list[float]]) -> None:
        super().__init__("user_utilisation", "node", report=None)
        self.hosted = hosted

    def __call__(self, node: Any, res: Any, placements: Any, infr: Any, view: Any,
                 **event_data: Any) -> float:
        return sum(self.hosted.get(node, ())) / res["cpu"]


class LinkMeter(SorvaneCallback):
    """Link load as a user writes it: a call per link, over the rates routed on it."""

    def __init__(self, carried: dict[tuple[Any, Any], list[float]]) -> None:
        super().__init__("user_link_load", "link", report=None)
        self.carried = carried

    def __call__(self, u: Any, v: Any, res: Any, placements: Any, infr: Any, view: Any,
                 **event_data: Any) -> dict[str, float]:
        load = sum(self.carried.get((u, v), ()))
        return {"load_mbps": load, "utilisation": load / res["bandwidth_mbps"]}


def user_callbacks(network: Any, placements: list[Placement]) -> list[Any]:
    infra, routes = network.infra, network.routes
    hosted: dict[Any, list[float]] = {}
    for pl in placements:
        for s, n in pl.mapping.items():
            hosted.setdefault(n, []).append(pl.application.nodes[s]["cpu"])
    carried: dict[tuple[Any, Any], list[float]] = {}
    owner, link = routes.owner[:routes.fill].tolist(), routes.link[:routes.fill].tolist()
    rate = network.rate.tolist()
    for k, ln in zip(owner, link):
        if k < len(rate):
            ends = (infra.sources[ln], infra.targets[ln])
            carried.setdefault(ends, []).append(rate[k])
    return [NodeMeter(hosted), LinkMeter(carried)]


def run(rounds: int, quick: bool) -> dict[str, Any]:
    nodes = apps = 2_000 if quick else 10_000
    figures: dict[str, Any] = {"nodes": nodes, "applications": apps}
    print()
    start = time.perf_counter()
    infr, placements = build_meter(nodes, apps)
    built = time.perf_counter() - start
    start = time.perf_counter()
    sim = Simulator(infr, placements, standard_set(), history=False, progress=False, seed=1)
    setup = time.perf_counter() - start
    network = network_of(sim, models.Attributes(), None)
    links = infr.number_of_edges()
    line(f"meter: {nodes} nodes, {links} links",
         f"{apps} applications x 10; graphs {built:.1f} s, models' set-up and routing "
         f"{setup:.1f} s")
    figures.update(links=links, build_s=built, setup_s=setup)

    ticks = 5 if quick else 20
    cases: dict[str, Callable[[], float]] = {
        "models": ticks_per_second(sim, ticks),
        "floor": floor(network),
    }
    users = Simulator(infr, placements, user_callbacks(network, placements), history=False,
                      progress=False, seed=1)
    cases["user callbacks"] = ticks_per_second(users, 2)
    parquet_dir = None
    try:
        import pyarrow  # noqa: F401

        from sorvane_core.utils.types import REPORT_TYPES

        if "parquet" not in REPORT_TYPES:
            raise ImportError("no Parquet reports in this build")
        parquet_dir = tempfile.TemporaryDirectory()
        with_reports = Simulator(infr, placements, standard_set(report="parquet"), history=False,
                                 progress=False, seed=1, out=parquet_dir.name)
        cases["parquet"] = ticks_per_second(with_reports, ticks)
    except ImportError:
        pass
    best = best_of(cases, max(2, rounds // 10))
    per_second = {name: 1.0 / seconds for name, seconds in best.items()}
    ratio = best["models"] / best["floor"]
    text = (f"models {per_second['models']:.0f} ticks/s (target >= 100) | numpy floor "
            f"{per_second['floor']:.0f} ticks/s (x{ratio:.2f}; target <= 3)")
    line("meter, standard set, reports off", text)
    if "parquet" in per_second:
        line("meter, standard set, Parquet reports",
             f"{per_second['parquet']:.0f} ticks/s (target >= 50)")
    line("meter, node and link user callbacks",
         f"{per_second['user callbacks']:.1f} ticks/s (the same metering without the models)")
    figures.update({f"{name}_ticks_per_s": value for name, value in per_second.items()},
                   models_over_floor=ratio)

    # A policy pass that finds no move, against a tick of the models.
    from sorvane_core.policies import consolidate, relieve_overload

    def idle_pass(policy: Any) -> Callable[[], float]:
        def once() -> float:
            start = time.perf_counter()
            assert not policy(sim)
            return time.perf_counter() - start
        return once
    passes = best_of({"relieve_overload": idle_pass(relieve_overload(1e9)),
                      "consolidate": idle_pass(consolidate(1e-9))}, 10)
    line("meter, a policy pass that moves nothing",
         " | ".join(f"{name} {seconds * 1e3:.2f} ms ({seconds / best['models'] * 100:.1f} % "
                    f"of a tick)" for name, seconds in passes.items()) + " (target <= 5 %)")
    figures.update({f"{name}_pass_share": seconds / best["models"]
                    for name, seconds in passes.items()})

    # One service moved: its interactions routed again, against a full rebuild.
    rng = random.Random(3)

    def move() -> float:
        pl = placements[rng.randrange(len(placements))]
        service = rng.choice(list(pl.mapping))
        target = rng.randrange(nodes)
        start = time.perf_counter()
        sim.migrate(pl.application.id, service, target)
        network.at(sim, sim.tick)
        return time.perf_counter() - start

    def rebuild() -> float:
        start = time.perf_counter()
        network.infra = None  # everything again, routes included
        network.at(sim, sim.tick)
        return time.perf_counter() - start
    moves = best_of({"move": move}, 20)["move"]
    full = best_of({"rebuild": rebuild}, 1)["rebuild"]
    line("meter, one service moved", f"{moves * 1e3:.2f} ms (target <= 1) | full rebuild "
                                     f"{full:.2f} s")
    figures.update(move_ms=moves * 1e3, rebuild_s=full)
    for steps in _OPEN:
        steps.close()
    _OPEN.clear()
    if parquet_dir is not None:
        parquet_dir.cleanup()
    return figures


if __name__ == "__main__":
    import sys

    run(10, "--quick" in sys.argv)
