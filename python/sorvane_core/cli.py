"""The command line: ``sorvane-sim`` (also ``python -m sorvane_core``).

    sorvane-sim run SCENARIO.py [--ticks N] [--emulation] [--address ADDR] [--out DIR]
                                [--overwrite] [--plot] [--seed S] [--param NAME=V ...]
                                [--no-progress]
    sorvane-sim sweep SCENARIO.py [--param NAME=V1,V2 ...] [--seed S1,S2,...] [--ticks N]
                                  [--out DIR] [--overwrite] [--address ADDR]
                                  [--run-timeout SECONDS] [--no-progress]
    sorvane-sim compare SOURCE... --metric NAME [--by PARAM] [--stat mean]
                                  [--per-tick mean] [--kind ticks|summary] [--event E]
                                  [--out DIR] [--include-failed]

A scenario is a Python file that defines ``build(seed)``, returning the
infrastructure, the placements and the callbacks of a run. A ``build`` that also
takes ``mode`` is told whether the run is a "simulation" or an "emulation"
(remote callbacks exist only in emulation); one that takes other parameters gets
them from ``--param``. A sweep calls ``build`` for every combination of the
values given with ``--param`` and ``--seed``. ``compare`` reads a metric of the
runs of sweep and run folders and writes a table of statistics per run, with
``--by`` one per value of a parameter, and a figure (see ``sorvane_core.compare``).

``--param NAME=V1,V2,...``: each value is an int, a float, ``true`` or ``false``,
``none``, a JSON list, object or string (``[1,2]``, ``{"a":1}``, ``"a,b"``), and
otherwise text; commas inside brackets or quotes do not separate values. A name
is given once, no value is empty, and ``run`` takes one value per name.

Exit codes: 0 when every run finished (for ``compare``: when the files are
written), 1 when a run failed, 2 for a mistake in the command or the scenario,
130 after Ctrl-C.
"""

from __future__ import annotations

import argparse
import importlib.util
import inspect
import itertools
import json
import platform
import sys
import traceback
from collections.abc import Iterable, Mapping, Sequence
from pathlib import Path
from types import ModuleType
from typing import Any, cast

from sorvane_core import __version__
from sorvane_core.simulation import Simulator
from sorvane_core.sweeps import new_seed, options_of, takes

INTERRUPTED = 130


class ScenarioError(Exception):
    """A scenario file, or a command, that cannot be used, with the reason."""


# -- scenarios -----------------------------------------------------------------------


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
    try:
        spec.loader.exec_module(module)
    except SyntaxError as err:
        sys.modules.pop(name, None)
        raise ScenarioError(f"{err.filename or path}, line {err.lineno}: {err.msg}") from None
    except Exception as err:
        sys.modules.pop(name, None)
        raise ScenarioError(f"{path} failed to load: {_told(err, path)}") from None
    if not callable(getattr(module, "build", None)):
        raise ScenarioError(f"{str(path)!r} defines no build(seed) function")
    return module


def _told(error: BaseException, path: Path) -> str:
    """An error in one line, with the last line of the scenario file it passed."""
    where = ""
    wanted = str(Path(path).resolve())
    for frame in traceback.extract_tb(error.__traceback__):
        if frame.filename and str(Path(frame.filename).resolve()) == wanted:
            where = f" ({path.name}, line {frame.lineno})"
    return f"{type(error).__name__}: {error}{where}"


def build(
    module: ModuleType, seed: Any, mode: str, params: Mapping[str, Any] | None = None
) -> tuple[Any, Any, list[Any], dict[str, Any]]:
    """Call the scenario's build(seed[, mode], **params) and check what it returns."""
    path = Path(cast(str, module.__file__))
    check_params(module, params or {})
    try:
        made = ScenarioBuild(module.build)(seed, mode, **(params or {}))
    except Exception as err:
        raise ScenarioError(f"build() of {path.name} raised {_told(err, path)}") from None
    return checked(made, path)


class ScenarioBuild:
    """A scenario's ``build`` as a sweep calls it: the seed first, by position, then
    ``mode`` if it takes one, then the parameters."""

    def __init__(self, function: Any) -> None:
        self.function = function

    def __call__(self, seed: Any, mode: str = "simulation", **params: Any) -> Any:
        if takes(self.function, "mode") or _any_keyword(self.function):
            params["mode"] = mode
        return self.function(seed, **params)


def check_params(module: ModuleType, params: Iterable[str]) -> None:
    """Every parameter given is one that the scenario's build() takes."""
    function = module.build
    unknown = [p for p in params if not takes(function, p) and not _any_keyword(function)]
    if unknown:
        path = Path(cast(str, module.__file__))
        raise ScenarioError(f"build() of {path.name} takes no parameter {unknown[0]!r}")


def _any_keyword(function: Any) -> bool:
    try:
        parameters = inspect.signature(function).parameters.values()
    except (TypeError, ValueError):
        return False
    return any(p.kind is p.VAR_KEYWORD for p in parameters)


def checked(made: Any, path: Path) -> tuple[Any, Any, list[Any], dict[str, Any]]:
    """What build() returned, if it is (infrastructure, placements, callbacks[, options])."""
    from sorvane_core.graph import Infrastructure
    from sorvane_core.placement import Placement

    source = f"build() of {path.name}"
    try:
        infrastructure, placements, callbacks, options = options_of(made, source)
    except ValueError as err:
        raise ScenarioError(str(err)) from None
    if not isinstance(infrastructure, Infrastructure):
        raise ScenarioError(
            f"{source} returned a {type(infrastructure).__name__} as the infrastructure; "
            f"expected an Infrastructure"
        )
    items = placements.values() if isinstance(placements, Mapping) else placements
    try:
        items = list(items)
    except TypeError:
        raise ScenarioError(
            f"{source} returned a {type(placements).__name__} as the placements; expected "
            f"a list of Placement objects"
        ) from None
    wrong = [type(p).__name__ for p in items if not isinstance(p, Placement)]
    if wrong:
        raise ScenarioError(
            f"{source} returned a {wrong[0]} among the placements; expected Placement objects"
        )
    try:
        callbacks = list(callbacks)
    except TypeError:
        raise ScenarioError(
            f"{source} returned a {type(callbacks).__name__} as the callbacks; expected a list"
        ) from None
    return infrastructure, placements, callbacks, options


# -- parameters ----------------------------------------------------------------------


def parameter(text: str) -> tuple[str, list[Any]]:
    """NAME=V1,V2,... with each value typed (see the module docstring)."""
    name, sep, values = text.partition("=")
    if not sep or not name.isidentifier():
        raise argparse.ArgumentTypeError(f"expected NAME=V1,V2,..., not {text!r}")
    parts = split_values(values)
    if any(not part.strip() for part in parts):
        raise argparse.ArgumentTypeError(f"{name}: empty value in {text!r}")
    try:
        return name, [typed(part.strip()) for part in parts]
    except ValueError as err:
        raise argparse.ArgumentTypeError(f"{name}: {err}") from None


def split_values(text: str) -> list[str]:
    """``text`` split at the commas outside brackets, braces and double quotes."""
    parts, depth, quoted, escaped, start = [], 0, False, False, 0
    for i, char in enumerate(text):
        if quoted:
            if escaped:
                escaped = False
            elif char == "\\":
                escaped = True
            elif char == '"':
                quoted = False
        elif char == '"':
            quoted = True
        elif char in "[{":
            depth += 1
        elif char in "]}":
            depth -= 1
        elif char == "," and depth == 0:
            parts.append(text[start:i])
            start = i + 1
    parts.append(text[start:])
    return parts


_WORDS = {"true": True, "false": False, "none": None, "null": None}


def typed(text: str) -> Any:
    """One value of --param: int, float, true/false, none, JSON, or text."""
    word = _WORDS.get(text.lower(), text)
    if word is not text:
        return word
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    if text[:1] in '[{"':
        try:
            return json.loads(text)
        except ValueError as err:
            raise ValueError(f"{text!r} is not valid JSON ({err})") from None
    return text


def gathered(
    given: Iterable[tuple[str, list[Any]]], seeds: list[Any] | None
) -> dict[str, list[Any]]:
    """The --param lists by name, and --seed as the parameter "seed"; a name twice
    is a mistake."""
    found: dict[str, list[Any]] = {}
    for name, values in given:
        if name in found:
            raise ScenarioError(f"--param {name} is given twice; give all its values at once")
        found[name] = values
    if seeds is not None:
        if "seed" in found:
            raise ScenarioError("the seed is given twice, by --seed and by --param seed")
        found["seed"] = seeds
    return found


def seeds(text: str) -> list[Any]:
    """--seed of a sweep: one or more seeds, with the --param grammar."""
    return parameter(f"seed={text}")[1]


# -- commands ------------------------------------------------------------------------


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="sorvane-sim", description=__doc__.split("\n\n")[0])
    top.add_argument("--version", action="version",
                     version=f"sorvane-sim {__version__} (Python {platform.python_version()})")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    run = commands.add_parser("run", help="run a scenario and write its reports",
                              description="Run a scenario and write its reports, run.json and, "
                                          "with --plot, one PNG per numeric report.")
    run.add_argument("scenario", type=Path, help="Python file that defines build(seed)")
    run.add_argument("--ticks", type=int, default=100, help="ticks to run (default 100)")
    run.add_argument("--emulation", action="store_true", help="one Ray actor per node")
    run.add_argument("--address", help="Ray cluster to join in emulation (default: a local Ray)")
    run.add_argument("--out", type=Path, help="output folder (default runs/<scenario name>)")
    run.add_argument("--overwrite", action="store_true",
                     help="replace the run already in the output folder (its files only)")
    run.add_argument("--plot", action="store_true", help="also write a PNG per numeric report")
    run.add_argument("--seed", type=int, help="seed of build() and of simulator.rng "
                                              "(default: drawn at random, written to run.json)")
    run.add_argument("--param", action="append", default=[], type=parameter, metavar="NAME=V",
                     help="a parameter of build() and its value; repeatable")
    run.add_argument("--no-progress", action="store_true", help="no progress bar")
    sweep = commands.add_parser("sweep", help="run a scenario for every combination of parameters",
                                description="Run build() of a scenario for every combination of "
                                            "the --param and --seed values, as Ray tasks, each "
                                            "into a sub-folder of --out, and write sweep.csv "
                                            "there.")
    sweep.add_argument("scenario", type=Path, help="Python file that defines build(seed, ...)")
    sweep.add_argument("--param", action="append", default=[], type=parameter, metavar="NAME=V1,V2",
                       help="a parameter of build() and its values; repeatable")
    sweep.add_argument("--seed", type=seeds, metavar="S1,S2",
                       help="seeds to sweep (default: one drawn at random for each run)")
    sweep.add_argument("--ticks", type=int, default=100, help="ticks per run (default 100)")
    sweep.add_argument("--out", type=Path,
                       help="output folder (default runs/<scenario name>-sweep)")
    sweep.add_argument("--overwrite", action="store_true",
                       help="replace the sweep already in the output folder (its files only)")
    sweep.add_argument("--address", help="Ray cluster to run on (default: a local Ray)")
    sweep.add_argument("--run-timeout", type=float, metavar="SECONDS",
                       help="end a run that takes longer, recorded as 'timeout'")
    sweep.add_argument("--no-progress", action="store_true", help="no progress bar")
    compare = commands.add_parser(
        "compare", help="compare a metric across the runs of sweeps and run folders",
        description="Read a metric of every run of the sources and write, into --out, the "
                    "statistics of each run (compare-<metric>.csv), with --by those per value "
                    "of a parameter with their 95 % confidence intervals "
                    "(compare-<metric>-by-<param>.csv), and a figure (compare-<metric>.png).")
    compare.add_argument("sources", nargs="+", type=Path, metavar="SOURCE",
                         help="a sweep folder, a run folder, or a run.json or sweep.csv")
    compare.add_argument("--metric", required=True,
                         help="<report>.<column>, e.g. energy.energy_j; a bare <report> is its "
                              "value column")
    compare.add_argument("--by", metavar="PARAM",
                         help="a parameter of the runs: statistics and figure per value of it, "
                              "over the runs (seeds) that share it")
    compare.add_argument("--stat", default="mean",
                         help="the statistic the summary figure shows, and one more column of "
                              "the tables: mean, median, min, max, std, total, first, last or "
                              "pNN (default mean)")
    compare.add_argument("--per-tick", default="mean", choices=("mean", "sum", "max", "min"),
                         help="how the rows of a tick (the entities of a per-node metric, say) "
                              "become one value (default mean)")
    compare.add_argument("--kind", default="ticks", choices=("ticks", "summary"),
                         help="the figure: the metric over the ticks, or --stat per run or per "
                              "value of --by (default ticks)")
    compare.add_argument("--event", help="only the rows of this event (default: every row)")
    compare.add_argument("--out", type=Path,
                         help="folder of the files written (default: the first source folder)")
    compare.add_argument("--include-failed", action="store_true",
                         help="compare the runs that did not finish too, as far as they went")
    return top


def run(args: argparse.Namespace) -> int:
    params = gathered(args.param, None)
    if "seed" in params:
        raise ScenarioError("give the seed with --seed, not --param seed")
    several = [name for name, values in params.items() if len(values) != 1]
    if several:
        raise ScenarioError(
            f"run takes one value per parameter, and --param {several[0]} has "
            f"{len(params[several[0]])}; sweep runs every combination"
        )
    module = load_scenario(args.scenario)
    mode = "emulation" if args.emulation else "simulation"
    seed = args.seed if args.seed is not None else new_seed()
    infrastructure, placements, callbacks, options = build(
        module, seed, mode, {name: values[0] for name, values in params.items()})
    out = args.out if args.out is not None else Path("runs") / args.scenario.stem
    metadata = {"command": args.command_line, "scenario": str(args.scenario),
                "params": {name: values[0] for name, values in params.items()}}
    try:
        sim = Simulator(infrastructure, placements, callbacks, mode=mode, address=args.address,
                        history=False, out=out, overwrite=args.overwrite, seed=seed,
                        progress=False if args.no_progress else None, metadata=metadata,
                        **options)
        steps = sim.iter(args.ticks)
    except ValueError as err:
        raise ScenarioError(f"{args.scenario.name}: {err}") from None
    if args.emulation:
        import ray

        # The node actors cannot import the scenario file: its callbacks travel by value.
        cast(Any, ray.cloudpickle).register_pickle_by_value(module)
    try:
        for _ in steps:
            pass
    except KeyboardInterrupt:
        from sorvane_core.results.reports import read_record

        written = read_record(out).get("ticks_run", sim.ticks_run)
        held = f"ticks 0-{written - 1}" if written else "no tick"
        print(f"sorvane-sim: interrupted at tick {sim.tick}; the reports in {out}/ hold {held}, "
              f"as {out / 'run.json'} records", file=sys.stderr)
        return INTERRUPTED
    ended = "stopped by a trigger" if sim.stopped else "ran to the end"
    print(f"{args.scenario.name}: {sim.ticks_run} of {args.ticks} ticks in {mode}, {ended}; "
          f"seed {seed}")
    from sorvane_core.results.reports import RUN_RECORD, read_record

    reports = read_record(out).get("reports", [])
    print(f"reports in {out}/: " + ", ".join([*reports, RUN_RECORD]))
    if args.plot:
        from sorvane_core import plot

        pictures = plot.save_all(out)
        print(f"plots: {', '.join(p.name for p in pictures) or 'none (no numeric report)'}")
    return 0


def sweep(args: argparse.Namespace) -> int:
    from sorvane_core.sweeps import param_column, sweep as run_sweep

    params = gathered(args.param, args.seed)
    module = load_scenario(args.scenario)
    check_params(module, [p for p in params if p != "seed"])
    # The Ray workers cannot import the scenario file: build() travels by value.
    import ray

    cast(Any, ray.cloudpickle).register_pickle_by_value(module)
    names = list(params)
    grid = [dict(zip(names, values)) for values in itertools.product(*params.values())]
    out = args.out if args.out is not None else Path("runs") / f"{args.scenario.stem}-sweep"
    try:
        rows = run_sweep(ScenarioBuild(module.build), grid, args.ticks, out, address=args.address,
                         progress=False if args.no_progress else None,
                         overwrite=args.overwrite, run_timeout=args.run_timeout,
                         metadata={"command": args.command_line,
                                   "scenario": str(args.scenario)})
    except KeyboardInterrupt:
        print(f"sorvane-sim: sweep interrupted; the runs that finished are in "
              f"{out / 'sweep.csv'}", file=sys.stderr)
        return INTERRUPTED
    for row in rows:
        shown = ", ".join(f"{k}={row.get(param_column(k))}" for k in names)
        ended = row["error"] if row["status"] != "finished" else (
            "stopped by a trigger" if row["stopped"] else "ran to the end")
        print(f"{row['run']} ({shown}): {row['status']}, {row['ticks_run']} ticks, "
              f"{_seconds(row['wall_time_s'])}; {ended}")
    print(f"table of the runs: {out / 'sweep.csv'}")
    return 0 if all(row["status"] == "finished" for row in rows) else 1


def _seconds(value: float | None) -> str:
    """A run's wall time as people read it: 0.025 s, 3.21 s, 1234 s."""
    if value is None:
        return "time unknown"
    return f"{value:.3g} s" if value < 100 else f"{value:.0f} s"


def compare(args: argparse.Namespace) -> int:
    from sorvane_core import compare as comparing
    from sorvane_core.results.reports import file_stem

    comparison = comparing.Comparison(args.sources, args.metric, per_tick=args.per_tick,
                                      event=args.event, include_failed=args.include_failed)
    # Every mistake is found before anything is written.
    stats = list(dict.fromkeys([*comparing.STATS, comparing.check_stat(args.stat)]))
    if args.by is not None:
        comparison.by_column(args.by)
    if not comparison.compared:
        raise comparing.CompareError(comparing.nothing_to_compare(comparison.runs))
    first = args.sources[0]
    out = args.out if args.out is not None else first.parent if first.is_file() else first
    out.mkdir(parents=True, exist_ok=True)
    name = f"compare-{file_stem(args.metric)}"
    per_run = out / f"{name}.csv"
    comparison.summary(stats).to_csv(per_run, index=False)
    written = [("per run", per_run)]
    if args.by is not None:
        grouped = out / f"{name}-by-{file_stem(args.by)}.csv"
        comparison.grouped(args.by, stats).to_csv(grouped, index=False)
        written.append((f"by {args.by}", grouped))
    picture = out / f"{name}.png"
    comparison.figure(args.by, args.kind, args.stat).savefig(picture, dpi=100)
    written.append(("figure", picture))
    print(f"{comparison.describe()}: {len(comparison.compared)} of {len(comparison.runs)} runs "
          f"compared")
    if comparison.left_out:
        shown = ", ".join(f"{run.name} ({run.status})" for run in comparison.left_out)
        print(f"left out of the statistics and the figure, as they did not finish: {shown} "
              f"(--include-failed takes them in)")
    for what, path in written:
        print(f"{what}: {path}")
    return 0


COMMANDS = {"run": run, "sweep": sweep, "compare": compare}


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    # What run.json records as the command: this one, however main was reached.
    args.command_line = list(sys.argv) if argv is None else ["sorvane-sim", *argv]
    from sorvane_core.compare import CompareError

    try:
        return COMMANDS[args.command](args)
    except (ScenarioError, CompareError) as err:
        print(f"sorvane-sim: {err}", file=sys.stderr)
        return 2
    except (FileExistsError, NotADirectoryError, PermissionError) as err:
        # The output folder, refused before anything ran.
        print(f"sorvane-sim: {err}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("sorvane-sim: interrupted", file=sys.stderr)
        return INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
