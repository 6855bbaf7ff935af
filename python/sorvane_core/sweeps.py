"""Many runs at once: one simulation per set of parameters, each a Ray task.

    from sorvane_core import sweep
    runs = sweep(build, [{"seed": s, "nodes": n} for s in (1, 2) for n in (8, 32)],
                 ticks=500, out="runs/study")

``build(**params)`` returns the infrastructure, the placements and the callbacks
of one run, as a scenario's ``build`` does for the command line; a ``build``
that takes ``seed`` gets one in every run (drawn at random, and recorded, when
the parameters have none), and one that takes ``mode`` is told "simulation".
Each run writes its reports into its own sub-folder of ``out`` (``run-0000``,
...), with a ``run.json`` that holds its parameters, the sweep and the
scenario; a run that fails is reported with its error and does not stop the
others. The table of the runs (parameters, folder, status, error, wall time,
ticks run, whether a trigger stopped the run) is returned as a list of rows and
written to ``<out>/sweep.csv`` as the runs finish, and again if the sweep is
interrupted.

One folder holds one sweep: a folder that holds a sweep (or a run) is refused
unless ``overwrite=True``, which first removes the files of that sweep's runs
(those each ``run.json`` lists, and their ``error.txt``), its ``sweep.csv``,
and nothing else. The runs go to a local Ray (started quietly if this process
has none) or to the cluster at ``address``; ``build`` travels to the workers by
value, unless its module is installed where they can import it.
"""

from __future__ import annotations

import csv
import ctypes
import inspect
import os
import random
import re
import sys
import sysconfig
import threading
import time
import traceback
from collections.abc import Callable, Iterable, Mapping
from pathlib import Path
from types import ModuleType
from typing import Any

from sorvane_core.results.reports import (
    RUN_RECORD,
    check_folder,
    remove_run,
    write_record,
)
from sorvane_core.results.rows import scalar

RUN_COLUMNS = ("run", "status", "error", "wall_time_s", "ticks_run", "stopped", "out")
TABLE = "sweep.csv"
ERROR_FILE = "error.txt"
_RUN_FOLDER = re.compile(r"run-\d{4,}")

# After a run's time is up, how long it has to end by itself before its worker ends:
# its own time limit, between these bounds.
_GRACE_S = (1.0, 10.0)

_task: Any = None  # run_one as a Ray task, made at the first sweep


class RunTimeout(Exception):
    """A run of a sweep took longer than the sweep's ``run_timeout``."""


def takes(function: Callable[..., Any], name: str) -> bool:
    """Whether ``function`` has a parameter ``name`` (``**kwargs`` is not enough:
    a seed or a mode is passed only where it is asked for by name)."""
    try:
        parameters = inspect.signature(function).parameters
    except (TypeError, ValueError):
        return False
    found = parameters.get(name)
    return found is not None and found.kind is not inspect.Parameter.POSITIONAL_ONLY


def build_arguments(
    build: Callable[..., Any], params: Mapping[str, Any], seed: Any, mode: str
) -> dict[str, Any]:
    """The keywords of one call of ``build``: the parameters, the seed and the mode
    where ``build`` takes them and the parameters do not give them."""
    arguments = dict(params)
    if "seed" not in arguments and takes(build, "seed"):
        arguments["seed"] = seed
    if "mode" not in arguments and takes(build, "mode"):
        arguments["mode"] = mode
    return arguments


# What a build may give the simulator besides the world, as a fourth element.
SIMULATOR_OPTIONS = ("policies", "migration_cost")


def options_of(made: Any, source: str) -> tuple[Any, Any, Any, dict[str, Any]]:
    """(infrastructure, placements, callbacks, simulator options) from what a build
    returned: three things, or four, the fourth a dict of simulator options
    (``policies``, ``migration_cost``)."""
    if not (isinstance(made, (tuple, list)) and len(made) in (3, 4)):
        raise ValueError(
            f"{source} must return (infrastructure, placements, callbacks[, options]), "
            f"not {type(made).__name__}"
            + (f" of {len(made)}" if isinstance(made, (tuple, list)) else ""))
    options = made[3] if len(made) == 4 else {}
    if not isinstance(options, Mapping):
        raise ValueError(f"{source} returned {options!r} as its options; expected a dict of "
                         f"simulator options ({', '.join(SIMULATOR_OPTIONS)})")
    unknown = [k for k in options if k not in SIMULATOR_OPTIONS]
    if unknown:
        raise ValueError(f"{source} returned the option {unknown[0]!r}; the options a build may "
                         f"give are {', '.join(SIMULATOR_OPTIONS)}")
    return made[0], made[1], made[2], dict(options)


def new_seed() -> int:
    """A seed drawn at random, for a run that was given none."""
    return random.SystemRandom().randrange(2**32)


def run_one(
    build: Callable[..., Any],
    params: dict[str, Any],
    ticks: int,
    out: str,
    metadata: Mapping[str, Any] | None = None,
    run_timeout: float | None = None,
    overwrite: bool = False,
) -> dict[str, Any]:
    """One run of a sweep, wherever it executes; never raises but for an interrupt."""
    from sorvane_core.simulation import Simulator

    started = time.perf_counter()
    folder = Path(out)
    seed = params.get("seed", new_seed())
    record = {**(metadata or {}), "params": _plain_params(params), "seed": seed}
    row: dict[str, Any] = {"status": "finished", "error": None, "ticks_run": 0, "stopped": False,
                           "seed": seed}
    sim: Any = None
    watchdog = _Watchdog(run_timeout, folder, record) if run_timeout is not None else None
    try:
        try:
            infrastructure, placements, callbacks, options = options_of(
                build(**build_arguments(build, params, seed, "simulation")), "build()")
            sim = Simulator(infrastructure, placements, callbacks, history=False, out=folder,
                            overwrite=overwrite, seed=seed, progress=False, metadata=record,
                            **options)
            sim.run(ticks)
        finally:
            if watchdog is not None:
                watchdog.cancel()
            if sim is not None:
                row["ticks_run"], row["stopped"] = sim.ticks_run, sim.stopped
    except RunTimeout:
        row["status"] = "timeout"
        row["error"] = f"RunTimeout: took longer than run_timeout={run_timeout} s"
        _mark(folder, "timeout", row["error"])
    except Exception as err:
        row["status"] = "failed"
        row["error"] = f"{type(err).__name__}: {err}"
        folder.mkdir(parents=True, exist_ok=True)
        (folder / ERROR_FILE).write_text(traceback.format_exc(), encoding="utf-8")
        if sim is None or not (folder / RUN_RECORD).is_file():
            # build() failed, or the simulator refused the run: no run record yet.
            write_record(folder, {"status": "failed", "error": row["error"], **record,
                                  "files": [RUN_RECORD, ERROR_FILE]})
        else:
            _mark(folder, "failed", row["error"], also=ERROR_FILE)
    row["wall_time_s"] = round(time.perf_counter() - started, 6)
    return row


def _plain_params(params: Mapping[str, Any]) -> dict[str, Any]:
    return {k: v if v is None or isinstance(v, (str, int, float, bool, list, dict)) else str(v)
            for k, v in params.items()}


def _mark(folder: Path, status: str, error: str, also: str | None = None) -> None:
    """Set the status of the run recorded in ``folder``, and add ``also`` to its files."""
    import json

    path = folder / RUN_RECORD
    try:
        data = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return
    data["status"], data["error"] = status, error
    if also is not None and also not in data.get("files", []):
        data.setdefault("files", []).append(also)
    write_record(folder, data)


class _Watchdog:
    """Ends a run that takes too long: first as an exception raised in the thread that
    runs it (its teardown runs, its files are closed), then, if the run is stuck
    where no exception reaches it, by ending the worker, its run.json saying
    "timeout"."""

    def __init__(self, seconds: float, folder: Path, record: Mapping[str, Any]) -> None:
        self.seconds = seconds
        self.folder = folder
        self.record = dict(record)
        self.thread = threading.get_ident()
        self.done = threading.Event()
        self.timer = threading.Thread(target=self._watch, daemon=True)
        self.timer.start()

    def _watch(self) -> None:
        if self.done.wait(self.seconds):
            return
        ctypes.pythonapi.PyThreadState_SetAsyncExc(
            ctypes.c_ulong(self.thread), ctypes.py_object(RunTimeout))
        grace = min(max(self.seconds, _GRACE_S[0]), _GRACE_S[1])
        if self.done.wait(grace):
            return
        error = (f"RunTimeout: still running {self.seconds + grace:g} s after it started, "
                 f"past run_timeout={self.seconds} s; its worker was ended")
        try:
            _mark(self.folder, "timeout", error)
        finally:
            os._exit(3)

    def cancel(self) -> None:
        self.done.set()


def _ships_by_value(build: Callable[..., Any]) -> ModuleType | None:
    """The module of ``build`` when Ray's workers may not import it: one that is not
    installed (a script, a notebook, a test file, a module beside the caller)."""
    name = getattr(build, "__module__", None)
    if not isinstance(name, str) or name == "__main__" or name.split(".")[0] == "sorvane_core":
        return None  # __main__ already travels by value
    module = sys.modules.get(name)
    if module is None:
        return None
    file = getattr(module, "__file__", None)
    if file is None:
        return None
    installed = {sysconfig.get_paths()[k] for k in ("stdlib", "platstdlib", "purelib", "platlib")}
    where = Path(file).resolve()
    if any(where.is_relative_to(Path(p).resolve()) for p in installed):
        return None
    return module


def check_sweep_folder(folder: Path, overwrite: bool) -> None:
    """Raise, before anything starts, if ``folder`` cannot take a new sweep."""
    check_folder(folder, overwrite=True)  # a folder, and writable
    if overwrite:
        return
    held = [p.name for p in _earlier(folder)]
    if (folder / TABLE).exists() or (folder / RUN_RECORD).exists() or held:
        raise FileExistsError(
            f"output folder {str(folder)!r} already holds a sweep or a run; choose another "
            f"folder, or overwrite it (overwrite=True, --overwrite), which removes the files "
            f"of those runs and nothing else"
        )


def _earlier(folder: Path) -> list[Path]:
    """The run folders of an earlier sweep in ``folder``."""
    if not folder.is_dir():
        return []
    return sorted(p for p in folder.iterdir() if p.is_dir() and _RUN_FOLDER.fullmatch(p.name))


def clear_sweep(folder: Path) -> None:
    """Remove what an earlier sweep left in ``folder``: each run's files (those its
    run.json lists, and its error.txt), the run folders left empty, the table
    of the runs, and a single run recorded in the folder itself."""
    for run in _earlier(folder):
        remove_run(run)
        (run / ERROR_FILE).unlink(missing_ok=True)
        try:
            run.rmdir()
        except OSError:  # files of someone else's: left as they are
            pass
    (folder / TABLE).unlink(missing_ok=True)
    if (folder / RUN_RECORD).exists():
        remove_run(folder)


def sweep(
    build: Callable[..., Any],
    params: Iterable[Mapping[str, Any]],
    ticks: int,
    out: str | os.PathLike[str],
    address: str | None = None,
    *,
    progress: bool | None = None,
    ray_init: Mapping[str, Any] | None = None,
    overwrite: bool = False,
    run_timeout: float | None = None,
    metadata: Mapping[str, Any] | None = None,
) -> list[dict[str, Any]]:
    """Run ``build(**p)`` for each ``p`` of ``params`` for ``ticks`` ticks, in parallel
    on Ray; return one row per run, in the order of ``params``.

    ``run_timeout`` (seconds) ends a run that takes longer, recorded as
    "timeout". ``metadata`` adds fields to every run's run.json (the command
    line records the scenario file there). Ctrl-C cancels the runs not yet
    done, writes the table of the runs, and is raised.
    """
    import ray

    from sorvane_core.simulation._emulation import init_ray
    from sorvane_core.simulation.progress import tqdm_for

    runs = [dict(p) for p in params]
    folder = Path(out)
    check_sweep_folder(folder, overwrite)  # before Ray starts
    if overwrite:
        clear_sweep(folder)
    folder.mkdir(parents=True, exist_ok=True)
    names = [f"run-{i:04d}" for i in range(len(runs))]
    rows: list[dict[str, Any]] = [
        _row(p, name, str(folder / name), {"status": "pending"}) for p, name in zip(runs, names)]
    _write_table(folder / TABLE, rows)
    init_ray(address, ray_init)
    global _task
    if _task is None:
        _task = ray.remote(num_cpus=1, max_retries=0)(run_one)
    by_value = _ships_by_value(build)
    pickler: Any = ray.cloudpickle
    if by_value is not None:
        pickler.register_pickle_by_value(by_value)
    try:
        shipped = ray.put(build)  # once, not in every task's arguments
    finally:
        if by_value is not None:
            pickler.unregister_pickle_by_value(by_value)
    common = {"command": sys.argv, "sweep": {"folder": str(folder), "runs": len(runs)},
              **(metadata or {})}
    # The workers' working folder is not ours (Ray's, or that of the cluster's `ray
    # start`): a relative folder would put the runs' reports elsewhere than the table.
    where = folder.absolute()
    pending = {
        _task.remote(shipped, p, ticks, str(where / name),
                     {**common, "sweep": {**common["sweep"], "run": name}}, run_timeout,
                     overwrite): i
        for i, (p, name) in enumerate(zip(runs, names))
    }
    tqdm = tqdm_for(progress)
    bar = tqdm(total=len(runs), unit="run", file=sys.stderr, desc="sweep") if tqdm else None
    waiting = list(pending)
    try:
        while waiting:
            done, waiting = ray.wait(waiting, num_returns=1)
            for ref in done:
                i = pending[ref]
                try:
                    result = ray.get(ref)
                except Exception as err:  # the worker itself died
                    result = _lost(Path(rows[i]["out"]), err)
                rows[i] = _row(runs[i], names[i], rows[i]["out"], result)
                _write_table(folder / TABLE, rows)
                if bar is not None:
                    bar.update(1)
    except BaseException:
        # Ctrl-C: the runs not yet done do not go on writing into `out`.
        for ref in waiting:
            ray.cancel(ref)
        for ref in waiting:
            i = pending[ref]
            rows[i] = _row(runs[i], names[i], rows[i]["out"],
                           {"status": "interrupted", "error": None})
        _write_table(folder / TABLE, rows)
        raise
    finally:
        if bar is not None:
            bar.close()
    return rows


def _lost(folder: Path, error: BaseException) -> dict[str, Any]:
    """The row of a run whose worker ended: a timeout if its run.json says so."""
    from sorvane_core.results.reports import read_record

    record = read_record(folder)
    status = "timeout" if record.get("status") == "timeout" else "failed"
    return {"status": status, "error": record.get("error") or f"{type(error).__name__}: {error}",
            "wall_time_s": record.get("wall_time_s"), "ticks_run": record.get("ticks_run", 0),
            "stopped": record.get("stopped", False), "seed": record.get("seed")}


def param_column(name: str) -> str:
    """The column of a parameter in the table of the runs."""
    return f"param.{name}" if name in RUN_COLUMNS else name


def _row(params: dict[str, Any], name: str, out: str, result: dict[str, Any]) -> dict[str, Any]:
    row = {param_column(k): v for k, v in params.items()}
    seed = result.get("seed")
    row.update({"run": name, "out": out, "status": None, "error": None, "wall_time_s": None,
                "ticks_run": None, "stopped": None})
    row.update({k: v for k, v in result.items() if k != "seed"})
    if "seed" not in params and seed is not None:
        row[param_column("seed")] = seed  # drawn by the run: the table says which
    return row


def _write_table(path: Path, rows: list[dict[str, Any]]) -> None:
    """The table of the runs, written to a temporary file that replaces it: a reader
    never sees half of it."""
    columns = list(dict.fromkeys(c for row in rows for c in row))
    temporary = path.with_name(path.name + ".partial")
    with open(temporary, "w", newline="", encoding="utf-8") as f:
        writer = csv.DictWriter(f, columns, lineterminator="\n")
        writer.writeheader()
        plain_types = (str, int, float, bool)
        writer.writerows({k: scalar(v) if v is None or isinstance(v, plain_types) else str(v)
                          for k, v in row.items()} for row in rows)
    os.replace(temporary, path)
