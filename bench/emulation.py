"""Emulation on a real local Ray, and sweeps (part of ``make bench``, with --ray).

    start-up       node actors for 8, 32 and 64 nodes: seconds and memory (PSS) per node
    64 nodes       128 services, remote service and node callbacks: seconds per tick
    remote calls   one remote service callback activation per call, against a bare Ray
                   actor call with the same event data and a trivial function, on the
                   same actors, with 10 and 2,000 services of previous data
    concurrency    calls per second of the node actor, threaded (max_concurrency=4) and
                   async variants
    sweep          8 runs of S2 as Ray tasks against the same runs one after another
"""

from __future__ import annotations

import logging
import os
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import engine
import ray

from sorvane_core.graph import Application, Infrastructure
from sorvane_core.placement import Placement
from sorvane_core.remote._node import RemoteNode, start_node_actors, stop_node_actors
from sorvane_core.remote.service import Service
from sorvane_core.remote.utils import RemoteOps
from sorvane_core.simulation import Simulator
from sorvane_core.sweeps import run_one, sweep
from sorvane_core.workflow.callbacks.callback import SorvaneCallback
from sorvane_core.workflow.events import SorvaneEvent

line = engine.line


class ServiceState(SorvaneCallback):
    def __call__(self, service_id: Any, service: Any, **event_data: Any) -> Any:
        return service.running


class NodeState(SorvaneCallback):
    def __call__(self, node: Any, attributes: dict[str, Any], **event_data: Any) -> Any:
        return attributes["cpu"]


def trivial(service_id: Any, service: Any, **event_data: Any) -> Any:
    return service.running


def memory_mb(pid: int) -> tuple[float, float]:
    """PSS and RSS of a process, in MB."""
    values = {}
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for entry in f:
            key, _, rest = entry.partition(":")
            if key in ("Pss", "Rss"):
                values[key] = int(rest.split()[0]) / 1024
    return values["Pss"], values["Rss"]


def world(nodes: int, services: int, name: str) -> tuple[Infrastructure, Placement]:
    infr = Infrastructure(name)
    for n in range(nodes):
        infr.add_node(f"n{n}", cpu=n % 8 + 1)
    app = Application("app")
    for s in range(services):
        app.add_service(f"s{s}", cpu=1)
    return infr, Placement(app, infr, {f"s{s}": f"n{s % nodes}" for s in range(services)})


def start_up(sizes: list[int]) -> dict[int, dict[str, float]]:
    found = {}
    for nodes in sizes:
        infr, _ = world(nodes, 0, f"startup-{nodes}")
        start = time.perf_counter()
        handles = start_node_actors(infr)
        seconds = time.perf_counter() - start
        pids = ray.get([h.__ray_call__.remote(lambda self: os.getpid()) for h in handles.values()])
        pss, rss = (sum(m) / nodes for m in zip(*(memory_mb(p) for p in pids)))
        stop_node_actors(infr)
        found[nodes] = {"s_per_node": seconds / nodes, "pss_mb_per_node": pss,
                        "rss_mb_per_node": rss}
    line("emulation start-up, per node", " | ".join(
        f"{n} nodes {v['s_per_node']:.3f} s {v['pss_mb_per_node']:.0f} MB"
        for n, v in found.items())
        + " (PSS; RSS " + f"{next(iter(found.values()))['rss_mb_per_node']:.0f} MB)")
    return found


def big_emulation(ticks: int) -> dict[str, float]:
    infr, pl = world(64, 128, "bench-64")
    cbs = [ServiceState("services", "service", remote=True),
           NodeState("nodes", "node", remote=True)]
    sim = Simulator(infr, [pl], cbs, mode="emulation", history=False, progress=False)
    start = time.perf_counter()
    steps = sim.iter(ticks)
    next(steps)  # set-up and the first tick
    first = time.perf_counter() - start
    start = time.perf_counter()
    for _ in steps:
        pass
    per_tick = (time.perf_counter() - start) / max(1, ticks - 1)
    line("emulation, 64 nodes, 128 services",
         f"set-up + first tick {first:.1f} s | {per_tick:.3f} s/tick "
         f"(192 remote calls a tick)")
    return {"setup_s": first, "s_per_tick": per_tick}


def remote_calls(rounds: int) -> dict[str, dict[str, float]]:
    infr, pl = world(4, 128, "bench-calls")
    sim = Simulator(infr, [pl], [], mode="emulation", history=False, progress=False)
    steps = sim.iter(1 << 30)
    next(steps)
    handles = sim._emulation.actors  # type: ignore[union-attr]
    found = {}
    try:
        for previous in (10, 2000):
            cb = ServiceState("calls", "service", remote=True)
            sim._emulation.ship([cb])  # type: ignore[union-attr]
            data = {"app": {f"s{i}": (i, "running") for i in range(previous)}}
            event = SorvaneEvent("tick", sim, {"tick": 1})

            def activation() -> float:
                cb._data = data  # what the last activation left, every time
                start = time.perf_counter()
                cb._call(event)
                return time.perf_counter() - start

            def bare() -> float:
                start = time.perf_counter()
                ray.get([handles[node].entrypoint.remote(s, trivial, tick=1)
                         for s, node in pl.mapping.items()])
                return time.perf_counter() - start

            def whole() -> float:
                # As before the callbacks went by reference: pickled whole into every call.
                shipper = sim._emulation._shipper  # type: ignore[union-attr]
                shipper.unregister()
                try:
                    return activation()
                finally:
                    shipper.register([ServiceState])

            best = engine.best_of({"callback": activation, "bare": bare, "whole": whole}, rounds)
            per_call = {k: v / 128 * 1e3 for k, v in best.items()}
            found[previous] = {"callback_ms": per_call["callback"], "bare_ms": per_call["bare"],
                               "ratio": per_call["callback"] / per_call["bare"],
                               "whole_callback_ms": per_call["whole"],
                               "bytes_per_call": shipped_bytes(cb, data),
                               "whole_bytes_per_call": shipped_bytes(cb, data, sim)}
    finally:
        steps.close()
    line("remote call, callback against bare Ray call", " | ".join(
        f"{p} services of data {v['callback_ms']:.3f} vs {v['bare_ms']:.3f} ms (x{v['ratio']:.2f})"
        for p, v in found.items()) + " (target <= 1.3)")
    line("  the same, the callback pickled into every call", " | ".join(
        f"{p} services of data {v['whole_callback_ms']:.3f} ms" for p, v in found.items()))
    line("  bytes per call, by reference | whole", " | ".join(
        f"{p} services of data {v['bytes_per_call']} | {v['whole_bytes_per_call']}"
        for p, v in found.items()))
    return found


def shipped_bytes(cb: Any, data: Any, unshipped: Any = None) -> int:
    """Bytes Ray serializes for the callable of one remote call; with ``unshipped``,
    a simulator, without its emulation's shipping."""
    cb._data = data
    cb._n_calls["tick"] += 1
    context = ray._private.worker.global_worker.get_serialization_context()
    if unshipped is None:
        return int(context.serialize(cb.__call__).total_bytes)
    shipper = unshipped._emulation._shipper
    shipper.unregister()
    try:
        return int(context.serialize(cb.__call__).total_bytes)
    finally:
        shipper.register([type(cb)])


@ray.remote
class AsyncNode:
    """The node actor's entrypoint as an async method."""

    def __init__(self) -> None:
        self.services = {f"s{i}": Service(f"s{i}", True, True) for i in range(128)}

    async def entrypoint(self, service_id: Any, fn: Any, **event_data: Any) -> Any:
        return fn(service_id, self.services[service_id], **event_data)


def concurrency(rounds: int) -> dict[str, float]:
    makers = {
        "sync": lambda: RemoteNode.options(num_cpus=0).remote("n", {}),  # type: ignore[attr-defined]
        "threaded": lambda: RemoteNode.options(num_cpus=0, max_concurrency=4).remote("n", {}),  # type: ignore[attr-defined]
        "async": lambda: AsyncNode.options(num_cpus=0).remote(),  # type: ignore[attr-defined]
    }
    actors = {}
    for kind, make in makers.items():
        actors[kind] = [make() for _ in range(4)]
        if kind != "async":
            ray.get([h.ops_entrypoint.remote(RemoteOps.DEPLOY, f"s{i}", Service(f"s{i}"))
                     for h in actors[kind] for i in range(128)])

    def calls(handles: list[Any]) -> Any:
        def once() -> float:
            start = time.perf_counter()
            ray.get([handles[i % 4].entrypoint.remote(f"s{i % 128}", trivial, tick=1)
                     for i in range(512)])
            return time.perf_counter() - start
        return once

    best = engine.best_of({kind: calls(handles) for kind, handles in actors.items()}, rounds)
    for handles in actors.values():
        for h in handles:
            ray.kill(h)
    per_second = {kind: 512 / seconds for kind, seconds in best.items()}
    line("node actor calls per second", " | ".join(f"{k} {v:.0f}" for k, v in per_second.items()))
    return per_second


def s2_build(seed: int) -> tuple[Any, Any, Any]:
    """S2 as a scenario: one callback of each local type every tick, CSV reports."""
    import sorvane_core.workflow.callbacks.callback as native

    infr, placements = engine.build_world(200, 50, 5, seed=seed)
    return infr, placements, engine.local_callbacks(native, 1)


def sweeps(ticks: int, rounds: int) -> dict[str, float]:
    params = [{"seed": s} for s in range(8)]
    with tempfile.TemporaryDirectory() as out:
        # workers up and imported
        sweep(s2_build, params, ticks, Path(out) / "warm-up", progress=False)

        def parallel() -> float:
            start = time.perf_counter()
            sweep(s2_build, params, ticks, Path(out) / "sweep", progress=False, overwrite=True)
            return time.perf_counter() - start

        def one_by_one() -> float:
            start = time.perf_counter()
            for i, p in enumerate(params):
                run_one(s2_build, p, ticks, str(Path(out) / f"seq-{i}"), overwrite=True)
            return time.perf_counter() - start

        best = engine.best_of({"sweep": parallel, "one by one": one_by_one}, rounds)
    ratio = best["one by one"] / best["sweep"]
    line("sweep of 8 S2 runs",
         f"sweep {best['sweep']:.2f} s | one by one {best['one by one']:.2f} s "
         f"(x{ratio:.2f}; target >= 1.6)")
    return {"sweep_s": best["sweep"], "one_by_one_s": best["one by one"], "ratio": ratio}


def run(rounds: int, quick: bool) -> dict[str, Any]:
    print()
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, logging_level=logging.ERROR)
    # The actors and workers cannot import bench/: what they run travels by value.
    ray.cloudpickle.register_pickle_by_value(engine)
    ray.cloudpickle.register_pickle_by_value(sys.modules[__name__])
    try:
        return {
            "start_up": start_up([8, 32] if quick else [8, 32, 64]),
            "64_nodes": big_emulation(5 if quick else 10),
            "remote_calls": remote_calls(max(5, rounds // 2)),
            "actor_calls_per_s": concurrency(max(3, rounds // 4)),
            "sweep": sweeps(100 if quick else 200, 2 if quick else 3),
        }
    finally:
        ray.shutdown()
