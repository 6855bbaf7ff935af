"""Benchmarks of the native callback module against the same logic in pure Python and
compiled with Cython (its twin, tests/twins/callback.py), measured in the same run.

    make bench            # or: .venv/bin/python bench/run.py [--quick] [--json [FILE]]

The first part times the hot paths one call at a time; the second (bench/engine.py)
times whole simulator runs and the simulator's own costs. Each line prints the time
of every variant and the ratio of each baseline to the native module (above 1.00:
the native module is faster). Timings are the best of several interleaved rounds,
so that a busy machine slows every variant alike; instruction-level claims belong to
callgrind, not to this script.
"""

from __future__ import annotations

import argparse
import importlib
import json
import shutil
import subprocess
import sys
import timeit
from collections.abc import Callable
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import sorvane_core.workflow.callbacks.callback as native
from sorvane_core.graph import Application, Infrastructure
from sorvane_core.placement import Placement
from sorvane_core.workflow.events import SorvaneEvent

HERE = Path(__file__).resolve().parent
BUILD = HERE.parent / "build" / "bench"
TWINS = HERE.parent / "tests" / "twins"

sys.path.insert(0, str(HERE))
import engine  # noqa: E402  (bench/engine.py, next to this file)


def load_baselines() -> dict[str, Any]:
    """The pure-Python twin of the module, and the same file compiled by Cython."""
    sys.path.insert(0, str(TWINS.parent))
    variants = {"python": importlib.import_module("twins.callback")}
    BUILD.mkdir(parents=True, exist_ok=True)
    source = BUILD / "reference_cy.py"
    shutil.copyfile(TWINS / "callback.py", source)
    subprocess.run(
        [sys.executable, "-m", "cython", "-3", "--fast-fail", str(source.name)],
        cwd=BUILD, check=True,
    )
    subprocess.run(
        [sys.executable, str(HERE / "build_ext.py"), "build_ext", "--inplace", "-q"],
        cwd=BUILD, check=True, stdout=subprocess.DEVNULL,
    )
    sys.path.insert(0, str(BUILD))
    variants["cython"] = importlib.import_module("reference_cy")
    return variants


def load_before(site: Path) -> Any:
    """The callback module of another build, loaded beside this one under its own name
    (and not registered in sys.modules), so that both run in the same process."""
    from importlib.machinery import ExtensionFileLoader
    from importlib.util import module_from_spec, spec_from_loader

    (path,) = (site / "sorvane_core" / "workflow" / "callbacks").glob("callback.*.so")
    name = native.__name__
    spec = spec_from_loader(name, ExtensionFileLoader(name, str(path)))
    assert spec is not None
    module = module_from_spec(spec)
    spec.loader.exec_module(module)  # type: ignore[union-attr]
    return module


def compare(title: str, cases: dict[str, Callable[[], Any]], number: int,
            rounds: int) -> dict[str, float]:
    """Best time per operation of each case; the order of the cases changes every round."""
    timed = {name: (lambda c=case: timeit.timeit(c, number=1)) for name, case in cases.items()}
    best = {name: s / number * 1e9 for name, s in engine.best_of(timed, rounds).items()}
    native_ns = best["native"]
    cells = []
    for name, ns in best.items():
        cell = f"{name} {ns:9.1f} ns"
        if name != "native":
            cell += f" (x{ns / native_ns:.2f})"
        cells.append(cell)
    print(f"{title:<44} " + " | ".join(cells))
    return {f"{name}_ns": ns for name, ns in best.items()}


# --- fixtures --------------------------------------------------------------------------

class Sim:
    def __init__(self, placements, infrastructure, placement_view=None):
        self.placements = placements
        self.infrastructure = infrastructure
        self.placement_view = placement_view


def world(nodes: int, apps: int, services: int) -> Sim:
    infr = Infrastructure("bench")
    for n in range(nodes):
        infr.add_node(f"n{n}", cpu=n)
    for n in range(nodes - 1):
        infr.add_edge(f"n{n}", f"n{n + 1}", latency=n)
    placements = {}
    for a in range(apps):
        app = Application(f"app{a}")
        for s in range(services):
            app.add_service(f"s{s}", cpu=s)
        for s in range(services - 1):
            app.add_interaction(f"s{s}", f"s{s + 1}", rate=s)
        mapping = {f"s{s}": f"n{s % nodes}" for s in range(services)}
        placements[app.id] = Placement(app, infr, mapping)
    return Sim(placements, infr)


def callback_class(module: Any):
    class Callback(module.SorvaneCallback):
        def __call__(self, *args, **kwargs):
            return 1
    return Callback


def loop_calls(cb, event, n):
    for _ in range(n):
        cb._call(event)


def loop_empty(cb, event, n):
    for _ in range(n):
        pass


# --- stand-in for Ray -----------------------------------------------------------------

class FakeRemote:
    __slots__ = ()

    def remote(self, first, fn, **kwargs):
        return first


class FakeHandle:
    __slots__ = ("entrypoint",)

    def __init__(self):
        self.entrypoint = FakeRemote()


def fake_ray() -> tuple[Any, Callable[[list], list]]:
    handle = FakeHandle()
    return SimpleNamespace(get_actor=lambda name: handle), lambda refs: list(refs)


class Probe:
    """What the actors run: the service id back, after a little work."""

    def __call__(self, service_id, service, **event_data):
        return sum(range(200)), service_id


def real_ray_gather(rounds: int) -> None:
    """One gather for all services against one ray.get per service, on real actors."""
    import ray

    from sorvane_core.remote._node import start_node_actors, stop_node_actors
    from sorvane_core.remote.utils import RemoteOps, ray_get

    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    try:
        s = world(3, 1, 300)
        s.infrastructure.id = "bench-ray"
        handles = start_node_actors(s.infrastructure)  # held for the whole run
        (pl,) = s.placements.values()
        ray.get([handles[node].ops_entrypoint.remote(RemoteOps.DEPLOY, sid,
                                                     pl.application.services[sid])
                 for sid, node in pl.mapping.items()])
        fn = Probe()
        saved = native.ray, native.ray_get
        native.ray, native.ray_get = ray, ray_get

        def one_by_one():
            return {sid: ray.get(handles[node].entrypoint.remote(sid, fn))
                    for sid, node in pl.mapping.items()}

        try:
            compare("real Ray, 300 services on 3 actors",
                    {"native": lambda: native._remote_service_fn(fn, s.placements,
                                                                 s.infrastructure),
                     "get-each": one_by_one},
                    len(pl.mapping), max(3, rounds // 4))
        finally:
            native.ray, native.ray_get = saved
            stop_node_actors(s.infrastructure)
    finally:
        ray.shutdown()


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer rounds")
    parser.add_argument("--ray", action="store_true",
                        help="also time emulation on a real local Ray, and sweeps")
    parser.add_argument("--json", nargs="?", const=str(HERE.parent / "build" / "bench.json"),
                        metavar="FILE",
                        help="also write the figures as JSON (default build/bench.json)")
    parser.add_argument("--only", choices=("calls", "runs", "models", "placement", "rl"),
                        help="only the per-call benchmarks, the whole runs, the models, the "
                             "placement policies, or the reinforcement-learning environment")
    parser.add_argument("--before", metavar="SITE",
                        help="also time the callback module of another build, installed in SITE "
                             "(pip install --target SITE), as the variant 'before'")
    args = parser.parse_args()
    rounds = 10 if args.quick else 40

    # The twin and the Cython build are the baselines of the calls and the runs alone.
    baselines = args.only in (None, "calls", "runs")
    variants = {"native": native, **(load_baselines() if baselines else {})}
    if args.before:
        variants["before"] = load_before(Path(args.before))
    print(f"Python {sys.version.split()[0]}; best of {rounds} interleaved rounds")
    figures: dict[str, Any] = {"python": sys.version.split()[0], "quick": args.quick}
    if args.only in (None, "calls"):
        figures["calls"] = per_call(variants, rounds, args.ray)
    if args.only in (None, "runs"):
        figures["runs"] = engine.run(variants, rounds, args.quick)
    if args.only in (None, "models"):
        import meter

        figures["models"] = meter.run(rounds, args.quick)
    if args.only in (None, "placement"):
        import placement

        figures["placement"] = placement.run(rounds, args.quick)
    if args.only in (None, "rl"):
        import rl_env

        figures["rl"] = rl_env.run(rounds, args.quick)
    if args.ray:
        import emulation

        figures["emulation"] = emulation.run(rounds, args.quick)
    if args.json:
        path = Path(args.json)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(json.dumps(figures, indent=2) + "\n")
        print(f"\nfigures written to {path}")


def per_call(variants: dict[str, Any], rounds: int, with_ray: bool) -> dict[str, Any]:
    """The hot paths one call at a time, against the Python and Cython builds."""
    figures: dict[str, Any] = {}
    print()

    # _call: a tick that does not activate, and a "simulation" activation.
    sim = world(4, 1, 4)
    event = SorvaneEvent("tick", sim, {"tick": 0})
    n = 50_000
    idle, active = {}, {}
    for name, module in variants.items():
        cls = callback_class(module)
        cb = cls("idle", activates_every_n={"tick": 1 << 40})
        cb._n_calls["tick"] = 1
        idle[name] = (lambda cb=cb: loop_calls(cb, event, n))
        cb = cls("active", "simulation")
        active[name] = (lambda cb=cb: loop_calls(cb, event, n))
    # The loop itself is timed too, and comes off every variant alike.
    loop = min(timeit.repeat(lambda: loop_empty(None, event, n), number=1, repeat=rounds)) / n
    print(f"(loop overhead {loop * 1e9:.1f} ns per call, included below)")
    figures["_call, no activation"] = compare("_call, no activation", idle, n, rounds)
    figures["_call, simulation dispatch"] = compare("_call, simulation dispatch", active, n, rounds)

    # Local collectors, per item, against the same calls made by a plain `map` over
    # the same items (no unpacking into names, no result dict).
    node_world = world(1000, 1, 2)
    service_world = world(10, 1, 1000)
    fn = callback_class(native)("x").__call__
    for label, collector, s, state, items in [
        ("_node_fn, per node", "_node_fn", node_world,
         lambda s: (s.placements, s.infrastructure, None),
         lambda s: s.infrastructure.nodes(data=True)),
        ("_link_fn, per link", "_link_fn", node_world,
         lambda s: (s.placements, s.infrastructure, None),
         lambda s: s.infrastructure.edges(data=True)),
        ("_service_fn, per service", "_service_fn", service_world,
         lambda s: (s.placements, s.infrastructure),
         lambda s: next(iter(s.placements.values())).application.nodes(data=True)),
    ]:
        size = len(list(items(s)))
        args = state(s)
        cases = {name: (lambda m=m, a=args: getattr(m, collector)(fn, *a, tick=1))
                 for name, m in variants.items()}
        rest = state(s)
        cases["map"] = lambda s=s, items=items, rest=rest: list(
            map(lambda item: fn(*item, *rest, tick=1), items(s)))
        figures[label] = compare(label, cases, size, rounds)

    # Remote service collector with an in-process stand-in for Ray: per-service cost
    # must stay flat from 1,000 to 100,000 services.
    saved = {name: (m.ray, m.ray_get) for name, m in variants.items()}
    for size in (1000, 100_000):
        s = world(8, 1, size)
        fn = callback_class(native)("x").__call__
        cases = {}
        for name, m in variants.items():
            if name == "python" and size > 10_000 or name == "cython" and size > 10_000:
                continue  # results.pop(0) is quadratic: minutes at this size
            m.ray, m.ray_get = fake_ray()
            cases[name] = (lambda m=m: m._remote_service_fn(fn, s.placements, s.infrastructure))
        label = f"_remote_service_fn, {size} services"
        figures[label] = compare(label, cases, size, rounds if size <= 1000 else 2)
    for name, m in variants.items():
        m.ray, m.ray_get = saved[name]

    if with_ray:
        real_ray_gather(rounds)
    return figures


if __name__ == "__main__":
    main()
