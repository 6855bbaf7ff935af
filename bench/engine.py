"""Whole runs through the simulator, and the simulator's own costs.

Each scenario runs with the native callback module and with its pure-Python twin
(tests/twins/callback.py) under the same host, so that the ratio shows what the native
module is worth in a run as users make them. Timings are the best of interleaved
rounds in shuffled order; the peak memory comes from fresh child interpreters.

    S1 "monitors"  24 callbacks that rarely activate + one of each local type every 50
                   ticks; 200 nodes, 50 applications x 5 services; 2000 ticks
    S2 "dense"     one callback of each local type every tick; 200 nodes, 50 x 5; 200 ticks
    S3 "large"     the same on 2000 nodes, 200 x 10; 20 ticks
"""

from __future__ import annotations

import json
import random
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import networkx as nx

from sorvane_core.graph import Application, Infrastructure
from sorvane_core.placement import Placement
from sorvane_core.simulation import Simulator
from sorvane_core.workflow.events import SorvaneEvent

HERE = Path(__file__).resolve().parent


def build_world(nodes: int, apps: int, services: int,
                seed: int = 7) -> tuple[Infrastructure, list[Placement]]:
    """A scale-free infrastructure (two links per new node) and chains of services
    with a shortcut, placed at random."""
    rng = random.Random(seed)
    topology = nx.barabasi_albert_graph(nodes, 2, seed=seed)
    infr = Infrastructure("bench")
    for n in topology.nodes:
        infr.add_node(f"n{n}", cpu=rng.randint(1, 64), mem=rng.randint(1, 256))
    for u, v in topology.edges:
        infr.add_edge(f"n{u}", f"n{v}", latency=rng.randint(1, 50),
                      bandwidth=rng.choice((1, 10, 100)))
    names = list(infr.nodes)
    placements = []
    for a in range(apps):
        app = Application(f"app{a}")
        for s in range(services):
            app.add_service(f"s{s}", cpu=rng.randint(1, 4))
        for s in range(services - 1):
            app.add_interaction(f"s{s}", f"s{s + 1}", rate=rng.randint(1, 10))
        if services > 2:
            app.add_interaction("s0", f"s{services - 1}", rate=1)
        mapping = {f"s{s}": rng.choice(names) for s in range(services)}
        placements.append(Placement(app, infr, mapping))
    return infr, placements


def local_callbacks(module: Any, every: int, lean: bool = False) -> list[Any]:
    """One callback of each local type, written as users write them: named arguments
    and ``**event_data`` (or, with ``lean``, the event's one key named instead)."""
    base = module.SorvaneCallback

    if lean:
        class Simulation(base):
            def __call__(self, event): return 1

        class App(base):
            def __call__(self, application, placement, infr, tick): return 1

        class ServiceCb(base):
            def __call__(self, service, requirements, placement, infr, tick): return 1

        class Interaction(base):
            def __call__(self, source, target, requirements, placement, infr, tick): return 1

        class Infra(base):
            def __call__(self, infr, placement_view, tick): return 1

        class NodeCb(base):
            def __call__(self, node, resources, placements, infr, placement_view, tick): return 1

        class Link(base):
            def __call__(self, source, target, resources, placements, infr, placement_view, tick):
                return 1
    else:
        class Simulation(base):  # type: ignore[no-redef]
            def __call__(self, event): return 1

        class App(base):  # type: ignore[no-redef]
            def __call__(self, application, placement, infr, **event_data): return 1

        class ServiceCb(base):  # type: ignore[no-redef]
            def __call__(self, service, requirements, placement, infr, **event_data): return 1

        class Interaction(base):  # type: ignore[no-redef]
            def __call__(self, source, target, requirements, placement, infr, **event_data):
                return 1

        class Infra(base):  # type: ignore[no-redef]
            def __call__(self, infr, placement_view, **event_data): return 1

        class NodeCb(base):  # type: ignore[no-redef]
            def __call__(self, node, resources, placements, infr, placement_view, **event_data):
                return 1

        class Link(base):  # type: ignore[no-redef]
            def __call__(self, source, target, resources, placements, infr, placement_view,
                         **event_data):
                return 1

    period = {"tick": every}
    return [cls(name, name, activates_every_n=dict(period)) for cls, name in [
        (Simulation, "simulation"), (App, "application"), (ServiceCb, "service"),
        (Interaction, "interaction"), (Infra, "infrastructure"), (NodeCb, "node"), (Link, "link")]]


def monitors(module: Any, count: int, period: int, idle: bool = False) -> list[Any]:
    """Simulation callbacks that activate once every ``period`` ticks (never, if ``idle``)."""

    class Monitor(module.SorvaneCallback):
        def __call__(self, event):
            return event.data["tick"]

    cbs = [Monitor(f"monitor{i}", "simulation", activates_every_n={"tick": period})
           for i in range(count)]
    if idle:
        for cb in cbs:
            cb._n_calls["tick"] = 1  # never again a multiple of the period
    return cbs


def best_of(cases: dict[str, Callable[[], float]], rounds: int) -> dict[str, float]:
    """Best seconds of each case over ``rounds`` rounds, the order shuffled every round."""
    best = {name: float("inf") for name in cases}
    order = list(cases)
    for r in range(rounds):
        random.Random(r).shuffle(order)
        for name in order:
            best[name] = min(best[name], cases[name]())
    return best


def timed_run(world: tuple[Infrastructure, list[Placement]], make: Callable[[], list[Any]],
              ticks: int) -> Callable[[], float]:
    def once() -> float:
        sim = Simulator(*world, make(), history=False)
        start = time.perf_counter()
        sim.run(ticks)
        return time.perf_counter() - start
    return once


def line(title: str, text: str) -> None:
    print(f"{title:<44} {text}")


def whole_run(label: str, world: Any, ticks: int, variants: dict[str, Any],
              make: Callable[[Any], list[Any]], rounds: int) -> dict[str, float]:
    runs = {name: timed_run(world, lambda m=m: make(m), ticks) for name, m in variants.items()}
    best = best_of(runs, rounds)
    per_tick = {name: seconds / ticks * 1e6 for name, seconds in best.items()}
    ratio = best["python"] / best["native"]
    text = (f"native {per_tick['native']:9.1f} us/tick | python {per_tick['python']:9.1f} us/tick"
            f" (x{ratio:.2f})")
    figures = {"native_us_per_tick": per_tick["native"], "python_us_per_tick": per_tick["python"],
               "ratio": ratio}
    if "before" in best:
        before = best["before"] / best["native"]
        text += f" | before {per_tick['before']:9.1f} us/tick (x{before:.2f})"
        figures.update(before_us_per_tick=per_tick["before"], before_ratio=before)
    line(label, text)
    return figures


def reports_cost(native: Any, world: Any, ticks: int, rounds: int) -> dict[str, float]:
    """S2 writing every value of every callback to a report, per row."""
    import tempfile

    def with_reports(kind: str | None) -> Callable[[], float]:
        def once() -> float:
            cbs = local_callbacks(native, 1)
            for cb in cbs:
                cb._report = [kind] if kind else []
            with tempfile.TemporaryDirectory() as out:
                sim = Simulator(*world, cbs, history=False, out=out if kind else None)
                start = time.perf_counter()
                sim.run(ticks)
                return time.perf_counter() - start
        return once

    best = best_of({kind or "none": with_reports(kind) for kind in (None, "csv", "jsonl")}, rounds)
    rows = ticks * sum(1 for _ in build_rows(world))
    per_row = {kind: (best[kind] - best["none"]) / rows * 1e9 for kind in ("csv", "jsonl")}
    line("S2 with reports, per row written",
         f"csv {per_row['csv']:7.0f} ns | jsonl {per_row['jsonl']:7.0f} ns "
         f"(run without reports {best['none'] / ticks * 1e6:.0f} us/tick)")
    return {"csv_ns_per_row": per_row["csv"], "jsonl_ns_per_row": per_row["jsonl"]}


def build_rows(world: Any) -> Any:
    """The result values of one S2 tick: one per callback of each type and item."""
    infr, placements = world
    yield from range(2 + len(placements) + infr.number_of_nodes() + infr.number_of_edges())
    for pl in placements:
        yield from range(pl.application.number_of_nodes() + pl.application.number_of_edges())


def host_costs(native: Any, rounds: int, quick: bool) -> dict[str, Any]:
    """What the simulator itself costs: per listening callback, and per tick."""
    world = build_world(200, 50, 5)
    count, ticks = 40, 1000 if quick else 2000

    def bare() -> float:
        cbs = monitors(native, count, 1 << 40, idle=True)
        event = SorvaneEvent("tick", Simulator(*world), {"tick": 0})
        start = time.perf_counter()
        for _ in range(ticks):
            for cb in cbs:
                cb._call(event)
        return time.perf_counter() - start

    best = best_of({
        "none": timed_run(world, lambda: [], ticks),
        "listening": timed_run(world, lambda: monitors(native, count, 1 << 40, idle=True), ticks),
        "bare": bare,
    }, rounds)
    marginal = (best["listening"] - best["none"]) / (count * ticks) * 1e9
    loop = best["bare"] / (count * ticks) * 1e9
    line("S1 host, per listening callback per tick",
         f"host {marginal:7.1f} ns | bare loop {loop:7.1f} ns "
         f"(x{marginal / loop:.2f}; target <= 1.5)")
    fixed = {}
    for apps in (50, 500, 4000):
        world = build_world(200, apps, 5)
        timing = best_of({"t": timed_run(world, lambda: [], 5000)}, max(3, rounds // 3))
        fixed[apps] = timing["t"] / 5000 * 1e6
    line("S1 host, tick without listeners",
         " | ".join(f"{apps} apps {us:5.2f} us" for apps, us in fixed.items())
         + " (target <= 5 us)")
    return {"marginal_ns": marginal, "bare_loop_ns": loop, "marginal_ratio": marginal / loop,
            "fixed_us_per_tick_by_apps": fixed}


def peak_memory(quick: bool) -> dict[str, float]:
    """Peak RSS of a node and a link callback run with history=False, in fresh interpreters."""
    nodes = 200 if quick else 600
    peaks = {}
    for ticks in (1000, 10000):
        out = subprocess.run([sys.executable, __file__, "--memory-child", str(ticks), str(nodes)],
                             check=True, capture_output=True, text=True).stdout
        peaks[ticks] = json.loads(out)["peak_mb"]
    line(f"S1 peak RSS, node+link on {nodes} nodes",
         f"1,000 ticks {peaks[1000]:.1f} MB | 10,000 ticks {peaks[10000]:.1f} MB "
         f"(x{peaks[10000] / peaks[1000]:.3f})")
    return {"nodes": nodes, "peak_mb_1000_ticks": peaks[1000], "peak_mb_10000_ticks": peaks[10000]}


def memory_child(ticks: int, nodes: int) -> None:
    import resource

    import sorvane_core.workflow.callbacks.callback as native

    world = build_world(nodes, 50, 5)
    cbs = [cb for cb in local_callbacks(native, 1) if cb.name in ("node", "link")]
    Simulator(*world, cbs, history=False).run(ticks)
    peak_kb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"peak_mb": peak_kb / 1024}))


def run(variants: dict[str, Any], rounds: int, quick: bool) -> dict[str, Any]:
    """All scenarios; returns the figures."""
    native = variants["native"]
    pair = {"native": native, "python": variants["python"]}
    if "before" in variants:
        pair["before"] = variants["before"]
    figures: dict[str, Any] = {}
    print()
    world = build_world(200, 50, 5)

    def s1(m: Any) -> list[Any]:
        return monitors(m, 24, 500) + local_callbacks(m, 50)

    figures["S1"] = whole_run("S1 monitors, whole run", world, 1000 if quick else 2000, pair, s1,
                              max(3, rounds // 4))
    figures["S1"].update(host_costs(native, max(3, rounds // 4), quick))
    figures["S1"].update(peak_memory(quick))
    figures["S2"] = whole_run("S2 dense, whole run", world, 100 if quick else 200, pair,
                              lambda m: local_callbacks(m, 1), max(3, rounds // 4))
    figures["S2 lean"] = whole_run("S2 dense, callees that name 'tick'", world,
                                   100 if quick else 200, pair,
                                   lambda m: local_callbacks(m, 1, lean=True), max(3, rounds // 4))
    figures["S2 reports"] = reports_cost(native, world, 100 if quick else 200, max(3, rounds // 4))
    large = build_world(2000, 200, 10)
    figures["S3"] = whole_run("S3 large, whole run", large, 10 if quick else 20, pair,
                              lambda m: local_callbacks(m, 1), max(3, rounds // 5))
    return figures


if __name__ == "__main__" and sys.argv[1:2] == ["--memory-child"]:
    memory_child(int(sys.argv[2]), int(sys.argv[3]))
