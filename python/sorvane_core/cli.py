"""The command line: ``sorvane-sim`` (also ``python -m sorvane_core``).

    sorvane-sim run SCENARIO.py [--ticks N] [--emulation] [--address ADDR]
                                [--out DIR] [--plot] [--seed S] [--no-progress]
    sorvane-sim sweep SCENARIO.py --param NAME=V1,V2 ... [--ticks N] [--out DIR]
                                  [--address ADDR] [--no-progress]

A scenario is a Python file that defines ``build(seed)``, returning the
infrastructure, the placements and the callbacks of a run. A ``build`` that also
takes ``mode`` is told whether the run is a "simulation" or an "emulation"
(remote callbacks exist only in emulation). A sweep calls ``build(**params)``
for every combination of the values given with ``--param``.
"""

from __future__ import annotations

import argparse
import importlib.util
import inspect
import itertools
import random
import sys
from collections.abc import Sequence
from pathlib import Path
from types import ModuleType
from typing import Any, cast

from sorvane_core.simulation import Simulator


class ScenarioError(Exception):
    """A scenario file that cannot be used, with the reason."""


def load_scenario(path: Path) -> ModuleType:
    """Import a scenario file as a module of its own."""
    if not path.is_file():
        raise ScenarioError(f"no scenario file {str(path)!r}")
    name = f"sorvane_scenario_{path.stem}"
    spec = importlib.util.spec_from_file_location(name, path)
    if spec is None or spec.loader is None:
        raise ScenarioError(f"{str(path)!r} cannot be imported as a Python file")
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module  # pickling its callbacks by reference finds it
    spec.loader.exec_module(module)
    if not callable(getattr(module, "build", None)):
        raise ScenarioError(f"{str(path)!r} defines no build(seed) function")
    return module


def build(module: ModuleType, seed: int, mode: str) -> tuple[Any, Any, list[Any]]:
    """Call the scenario's build(seed[, mode]) and check what it returns."""
    params = inspect.signature(module.build).parameters
    takes_mode = "mode" in params or any(p.kind is p.VAR_KEYWORD for p in params.values())
    made = module.build(seed, mode=mode) if takes_mode else module.build(seed)
    if not (isinstance(made, (tuple, list)) and len(made) == 3):
        raise ScenarioError(
            f"build() of {module.__file__!r} must return (infrastructure, placements, callbacks), "
            f"not {type(made).__name__}"
        )
    infrastructure, placements, callbacks = made
    return infrastructure, placements, list(callbacks)


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="sorvane-sim", description=__doc__.split("\n\n")[0])
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    run = commands.add_parser("run", help="run a scenario and write its reports",
                              description="Run a scenario and write its reports, run.json and, "
                                          "with --plot, one PNG per numeric report.")
    run.add_argument("scenario", type=Path, help="Python file that defines build(seed)")
    run.add_argument("--ticks", type=int, default=100, help="ticks to run (default 100)")
    run.add_argument("--emulation", action="store_true", help="one Ray actor per node")
    run.add_argument("--address", help="Ray cluster to join in emulation (default: a local Ray)")
    run.add_argument("--out", type=Path, help="output folder (default runs/<scenario name>)")
    run.add_argument("--plot", action="store_true", help="also write a PNG per numeric report")
    run.add_argument("--seed", type=int, help="seed of build() and of simulator.rng "
                                              "(default: drawn at random, written to run.json)")
    run.add_argument("--no-progress", action="store_true", help="no progress bar")
    sweep = commands.add_parser("sweep", help="run a scenario for every combination of parameters",
                                description="Run build(**params) of a scenario for every "
                                            "combination of the --param values, as Ray "
                                            "tasks, each into a sub-folder of --out, and "
                                            "write sweep.csv there.")
    sweep.add_argument("scenario", type=Path, help="Python file that defines build(...)")
    sweep.add_argument("--param", action="append", default=[], type=parameter, metavar="NAME=V1,V2",
                       help="a parameter of build() and its values (numbers or text); repeatable")
    sweep.add_argument("--ticks", type=int, default=100, help="ticks per run (default 100)")
    sweep.add_argument("--out", type=Path,
                       help="output folder (default runs/<scenario name>-sweep)")
    sweep.add_argument("--address", help="Ray cluster to run on (default: a local Ray)")
    sweep.add_argument("--no-progress", action="store_true", help="no progress bar")
    return top


def parameter(text: str) -> tuple[str, list[Any]]:
    """NAME=V1,V2,... with each value read as an int, a float, or else text."""
    name, sep, values = text.partition("=")
    if not sep or not name.isidentifier() or not values:
        raise argparse.ArgumentTypeError(f"expected NAME=V1,V2,..., not {text!r}")
    return name, [_value(v) for v in values.split(",")]


def _value(text: str) -> Any:
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    return text


def run(args: argparse.Namespace) -> int:
    module = load_scenario(args.scenario)
    mode = "emulation" if args.emulation else "simulation"
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(2**32)
    infrastructure, placements, callbacks = build(module, seed, mode)
    out = args.out if args.out is not None else Path("runs") / args.scenario.stem
    if args.emulation:
        import ray

        # The node actors cannot import the scenario file: its callbacks travel by value.
        cast(Any, ray.cloudpickle).register_pickle_by_value(module)
    sim = Simulator(infrastructure, placements, callbacks, mode=mode, address=args.address,
                    history=False, out=out, seed=seed,
                    progress=False if args.no_progress else None)
    sim.run(args.ticks)
    ended = "stopped by a trigger" if sim.stopped else "ran to the end"
    print(f"{args.scenario.name}: {sim.ticks_run} of {args.ticks} ticks in {mode}, {ended}; "
          f"seed {seed}")
    print(f"reports in {out}/: " + ", ".join(sorted(p.name for p in out.iterdir() if p.is_file())))
    if args.plot:
        from sorvane_core import plot

        pictures = plot.save_all(out)
        print(f"plots: {', '.join(p.name for p in pictures) or 'none (no numeric report)'}")
    return 0


def sweep(args: argparse.Namespace) -> int:
    import ray

    from sorvane_core.sweeps import param_column, sweep as run_sweep

    module = load_scenario(args.scenario)
    # The Ray workers cannot import the scenario file: build() travels by value.
    cast(Any, ray.cloudpickle).register_pickle_by_value(module)
    names = [name for name, _ in args.param]
    grid = [dict(zip(names, values)) for values in itertools.product(*(v for _, v in args.param))]
    out = args.out if args.out is not None else Path("runs") / f"{args.scenario.stem}-sweep"
    rows = run_sweep(module.build, grid, args.ticks, out, address=args.address,
                     progress=False if args.no_progress else None)
    for row in rows:
        params = ", ".join(f"{k}={row.get(param_column(k))}" for k in names)
        ended = row["error"] if row["status"] == "failed" else (
            "stopped by a trigger" if row["stopped"] else "ran to the end")
        print(f"{row['run']} ({params}): {row['status']}, {row['ticks_run']} ticks, "
              f"{row['wall_time_s']} s; {ended}")
    print(f"table of the runs: {out / 'sweep.csv'}")
    return 0 if all(row["status"] == "finished" for row in rows) else 1


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        return sweep(args) if args.command == "sweep" else run(args)
    except ScenarioError as err:
        print(f"sorvane-sim: {err}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
