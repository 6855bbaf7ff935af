"""The reinforcement-learning environment at a moderate size: what a step costs.

The meter world at 2,000 nodes and 2,000 applications of 10 services, under a random
walk. One ``PlacementEnv.step`` that moves nothing, and one that moves a service,
against one tick of a plain Simulator whose callbacks are the models the observations
and the default reward read (utilisation, link load, node and link power, SLA), without
a move and after one ``sim.migrate``: the target is a step within x1.5 of such a tick.
"""

from __future__ import annotations

import random
import time
from collections.abc import Callable
from typing import Any

from sorvane_core import models
from sorvane_core.simulation import Simulator

try:
    from engine import best_of, line
    from meter import build_meter
except ImportError:  # run from elsewhere
    from bench.engine import best_of, line  # type: ignore[no-redef]
    from bench.meter import build_meter  # type: ignore[no-redef]

NODES = APPS = 2_000


def measured() -> list[Any]:
    """The models that the observations and the default reward read."""
    return [models.Workload(models.random_walk(0.05, 0.2, 3.0), report=None),
            models.NodeUtilisation(report=None), models.LinkLoad(report=None),
            models.NodePower(report=None), models.LinkPower(report=None),
            models.SLA(report=None)]


def build(seed: int) -> tuple[Any, Any, list[Any]]:
    infr, placements = build_meter(NODES, APPS)  # the same world whatever the seed
    return infr, placements, measured()


def run(rounds: int, quick: bool) -> dict[str, Any]:
    try:
        from sorvane_core.rl import PlacementEnv
    except ImportError as err:
        print(f"\nrl environment: skipped ({err})")
        return {}
    print()
    start = time.perf_counter()
    env = PlacementEnv(build, ticks=10**6, seed=1)
    env.reset(seed=1)
    made = time.perf_counter() - start
    plain = Simulator(*build(1), seed=1, history=False, progress=False)
    steps = plain.iter(10**6)
    next(steps)  # set-up and the first tick
    services, nodes = env.sizes["services"], env.sizes["nodes"]
    line(f"rl env: {nodes} nodes, {env.sizes['links']} links",
         f"{services} services; environment made and reset in {made:.1f} s")

    per = 3 if quick else 5
    rng = random.Random(7)

    def tick() -> float:
        start = time.perf_counter()
        for _ in range(per):
            target = plain.ticks_run + 1
            while plain.ticks_run < target:
                next(steps)
        return (time.perf_counter() - start) / per

    pairs = [(pl.application.id, service) for pl in plain.placements.values()
             for service in pl.application]
    targets = list(plain.infrastructure)

    def tick_moving() -> float:
        moves = [(*rng.choice(pairs), rng.choice(targets)) for _ in range(per)]
        start = time.perf_counter()
        for app, service, node in moves:
            plain.migrate(app, service, node)
            target = plain.ticks_run + 1
            while plain.ticks_run < target:
                next(steps)
        return (time.perf_counter() - start) / per

    def still() -> float:
        start = time.perf_counter()
        for _ in range(per):
            env.step(0)
        return (time.perf_counter() - start) / per

    def moving() -> float:
        actions = [1 + rng.randrange(services * nodes) for _ in range(per)]
        start = time.perf_counter()
        for action in actions:
            env.step(action)
        return (time.perf_counter() - start) / per

    cases: dict[str, Callable[[], float]] = {"tick": tick, "tick+move": tick_moving,
                                             "step": still, "move": moving}
    best = best_of(cases, max(3, rounds // 4))
    ratio, moved = best["step"] / best["tick"], best["move"] / best["tick+move"]
    line("rl env, one step without a move",
         f"{best['step'] * 1e3:.2f} ms | simulator tick {best['tick'] * 1e3:.2f} ms "
         f"(x{ratio:.2f}; target <= 1.5)")
    line("rl env, one step with a move",
         f"{best['move'] * 1e3:.2f} ms | simulator tick after sim.migrate "
         f"{best['tick+move'] * 1e3:.2f} ms (x{moved:.2f}; target <= 1.5)")
    steps.close()
    env.close()
    return {"nodes": nodes, "services": services, "tick_ms": best["tick"] * 1e3,
            "tick_with_move_ms": best["tick+move"] * 1e3, "step_ms": best["step"] * 1e3,
            "move_step_ms": best["move"] * 1e3, "step_over_tick": ratio,
            "move_step_over_tick": moved}


if __name__ == "__main__":
    import sys

    run(10, "--quick" in sys.argv)
