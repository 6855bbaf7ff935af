"""Many runs at once: one simulation per set of parameters, each a Ray task.

    from sorvane_core import sweep
    runs = sweep(build, [{"seed": s, "nodes": n} for s in (1, 2) for n in (8, 32)],
                 ticks=500, out="runs/study")

``build(**params)`` returns the infrastructure, the placements and the callbacks
of one run, as a scenario's ``build`` does for the command line. Each run writes
its reports into its own sub-folder of ``out`` (``run-0000``, ...); a run that
fails is reported with its error and does not stop the others. The table of the
runs (parameters, folder, status, error, wall time, ticks run, whether a trigger
stopped the run) is returned as a list of rows and written to
``<out>/sweep.csv``. The runs go to a local Ray (started quietly if this
process has none) or to the cluster at ``address``; ``build`` travels to the
workers with cloudpickle, so it may be defined in a script or a notebook.
"""

from __future__ import annotations

import csv
import os
import sys
import time
import traceback
from collections.abc import Callable, Iterable, Mapping
from pathlib import Path
from typing import Any

from sorvane_core.results.rows import scalar

RUN_COLUMNS = ("run", "status", "error", "wall_time_s", "ticks_run", "stopped", "out")

_task: Any = None  # run_one as a Ray task, made at the first sweep


def run_one(
    build: Callable[..., Any], params: dict[str, Any], ticks: int, out: str
) -> dict[str, Any]:
    """One run of a sweep, wherever it executes; never raises."""
    from sorvane_core.simulation import Simulator

    started = time.perf_counter()
    row: dict[str, Any] = {"status": "finished", "error": None, "ticks_run": 0, "stopped": False}
    try:
        infrastructure, placements, callbacks = build(**params)
        sim = Simulator(infrastructure, placements, callbacks, history=False, out=out,
                        seed=params.get("seed"), progress=False)
        try:
            sim.run(ticks)
        finally:
            row["ticks_run"], row["stopped"] = sim.ticks_run, sim.stopped
    except Exception as err:
        row["status"] = "failed"
        row["error"] = f"{type(err).__name__}: {err}"
        Path(out).mkdir(parents=True, exist_ok=True)
        (Path(out) / "error.txt").write_text(traceback.format_exc(), encoding="utf-8")
    row["wall_time_s"] = round(time.perf_counter() - started, 6)
    return row


def sweep(
    build: Callable[..., Any],
    params: Iterable[Mapping[str, Any]],
    ticks: int,
    out: str | os.PathLike[str],
    address: str | None = None,
    *,
    progress: bool | None = None,
    ray_init: Mapping[str, Any] | None = None,
) -> list[dict[str, Any]]:
    """Run ``build(**p)`` for each ``p`` of ``params`` for ``ticks`` ticks, in parallel
    on Ray; return one row per run, in the order of ``params``."""
    import ray

    from sorvane_core.simulation._emulation import init_ray
    from sorvane_core.simulation.progress import tqdm_for

    runs = [dict(p) for p in params]
    folder = Path(out)
    folder.mkdir(parents=True, exist_ok=True)
    names = [f"run-{i:04d}" for i in range(len(runs))]
    init_ray(address, ray_init)
    global _task
    if _task is None:
        _task = ray.remote(num_cpus=1, max_retries=0)(run_one)
    shipped = ray.put(build)  # once, not in every task's arguments
    pending = {_task.remote(shipped, p, ticks, str(folder / name)): i
               for i, (p, name) in enumerate(zip(runs, names))}
    found: list[dict[str, Any]] = [{}] * len(runs)
    tqdm = tqdm_for(progress)
    bar = tqdm(total=len(runs), unit="run", file=sys.stderr, desc="sweep") if tqdm else None
    waiting = list(pending)
    try:
        while waiting:
            done, waiting = ray.wait(waiting, num_returns=1)
            for ref in done:
                i = pending[ref]
                try:
                    found[i] = ray.get(ref)
                except Exception as err:  # the worker itself died
                    found[i] = {"status": "failed", "error": f"{type(err).__name__}: {err}",
                                "wall_time_s": None, "ticks_run": 0, "stopped": False}
                if bar is not None:
                    bar.update(1)
    except BaseException:
        # Ctrl-C: the runs not yet done do not go on writing into `out`.
        for ref in waiting:
            ray.cancel(ref)
        raise
    finally:
        if bar is not None:
            bar.close()
    rows = [_row(p, name, str(folder / name), result)
            for p, name, result in zip(runs, names, found)]
    _write_table(folder / "sweep.csv", rows)
    return rows


def param_column(name: str) -> str:
    """The column of a parameter in the table of the runs."""
    return f"param.{name}" if name in RUN_COLUMNS else name


def _row(params: dict[str, Any], name: str, out: str, result: dict[str, Any]) -> dict[str, Any]:
    row = {param_column(k): v for k, v in params.items()}
    row.update({"run": name, "out": out, **result})
    return row


def _write_table(path: Path, rows: list[dict[str, Any]]) -> None:
    columns = list(dict.fromkeys(c for row in rows for c in row))
    with open(path, "w", newline="", encoding="utf-8") as f:
        writer = csv.DictWriter(f, columns, lineterminator="\n")
        writer.writeheader()
        plain_types = (str, int, float, bool)
        writer.writerows({k: scalar(v) if v is None or isinstance(v, plain_types) else str(v)
                          for k, v in row.items()} for row in rows)

