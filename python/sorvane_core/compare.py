"""Runs compared: a metric of many runs, per run and per value of a parameter.

A source is a sweep folder (its runs, in the order of its ``sweep.csv``, or its
``run-*`` folders that hold a ``run.json``), a single run's folder, a ``run.json``
or ``sweep.csv`` file, or a list of those. A metric is ``<report>.<column>``
(``energy.energy_j``, ``link_load.load_mbps``, ``sla.violated``); a bare
``<report>`` means its ``value`` column. It is read from the report the run's
``run.json`` lists, Parquet rather than CSV, CSV rather than JSON lines.

    from sorvane_core import compare
    compare.runs("runs/study")                          # one row per run
    compare.metric("runs/study", "utilisation")         # every row of every run
    per_run, by_policy = compare.summary("runs/study", "energy.energy_j", by="policy")
    compare.figure("runs/study", "utilisation", by="policy").savefig("utilisation.png")

How the numbers are made:

- **Per tick.** A run's rows at one tick (one per entity for a per-node, per-link,
  ... metric, and one per event that activated the callback) are first reduced to
  one number, by ``per_tick``: "mean" (the default), "sum", "max" or "min".
  ``event="tick"`` keeps the rows of that event alone. Missing values are skipped;
  a tick without any value is no tick of the series. Booleans count as 0 and 1, so
  the mean of ``sla.violated`` is the share of applications over their bound.
- **Per run**, over the ticks of that series: ``mean``, ``median``, ``min``, ``max``,
  ``std`` (over ticks, ddof=1), ``total`` (the sum over ticks), ``first`` and
  ``last`` (the value at the first and last tick), and ``pNN`` (the NN-th
  percentile, as ``numpy.percentile`` computes it by default: linear between the
  closest ranks), for example ``p95``.
- **Per value of a parameter** (``by=``), over the runs that share it (usually
  seeds): for each statistic, its mean over the runs, its standard deviation
  (ddof=1), and a 95 % confidence interval of that mean, mean ± t·sd/√n with
  Student's t quantile for n - 1 degrees of freedom (:func:`t_quantile`); with a
  single run the standard deviation and the interval are missing.

Runs that did not finish (failed, interrupted, timed out, closed, or still
"running") are listed with their status by :func:`runs` and in the per-run table
of :func:`summary`, with empty statistics, and left out of the rest, unless
``include_failed=True``. pandas and matplotlib: ``pip install 'sorvane_core[analysis]'``.
"""

from __future__ import annotations

import csv
import json
import math
import os
import re
from collections import Counter
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, replace
from functools import lru_cache
from pathlib import Path
from statistics import NormalDist
from typing import TYPE_CHECKING, Any, cast

import numpy as np

from sorvane_core.plot import _COLOURS, label
from sorvane_core.results.reports import RUN_RECORD, read_record
from sorvane_core.results.rows import TAKEN
from sorvane_core.results.tables import PREFERRED, import_pandas, read_first
from sorvane_core.sweeps import RUN_COLUMNS, TABLE, _earlier as run_folders
from sorvane_core.utils.extras import ANALYSIS
from sorvane_core.utils.types import KEY_COLUMNS, REPORT_SUFFIXES

if TYPE_CHECKING:
    import pandas
    from matplotlib.figure import Figure

Source = str | os.PathLike[str] | Iterable[str | os.PathLike[str]]

FINISHED = "finished"
RUN_FIELDS = ("run", "out", "status", "error", "seed", "ticks_run")
STATS = ("mean", "p95", "max", "total", "last")
PER_TICK = ("mean", "sum", "max", "min")
KINDS = ("ticks", "summary")
CONFIDENCE = 0.95

_NAMED_STATS = ("mean", "median", "min", "max", "std", "total", "first", "last")
_PERCENTILE = re.compile(r"p(\d+(?:\.\d+)?)")
_KEYS = list(dict.fromkeys(c for columns in KEY_COLUMNS.values() for c in columns))
_ENTITIES = {columns: f"{kind}s" for kind, columns in KEY_COLUMNS.items() if columns}
# Names a parameter cannot take in a table without hiding another column: those of
# the sweep's table, as sweeps prefix them, and the seed.
_RESERVED = frozenset({*RUN_COLUMNS, *RUN_FIELDS})


class CompareError(ValueError):
    """Runs that cannot be compared as asked: none found, a metric, a parameter or a
    statistic that they do not have. The message names what there is instead."""


# -- the runs ------------------------------------------------------------------------


@dataclass(frozen=True)
class Run:
    """One run found in a source: its folder, how it ended and its parameters."""

    name: str
    folder: Path
    status: str
    error: str | None
    seed: Any
    ticks_run: Any
    params: dict[str, Any]
    reports: tuple[str, ...]  # the report files its run.json lists

    @property
    def finished(self) -> bool:
        return self.status == FINISHED


def find_runs(source: Source) -> list[Run]:
    """The runs of ``source`` (see the module docstring), each named by its folder;
    folders that share a name are told apart by the folders above them."""
    items = [source] if isinstance(source, (str, os.PathLike)) else list(source)
    if not items:
        raise CompareError("no runs to compare: no folder was given")
    found: list[Run] = []
    seen: set[Path] = set()
    for item in items:
        for run in _runs_in(Path(item)):
            where = run.folder.resolve()
            if where not in seen:
                seen.add(where)
                found.append(run)
    names = _unique_names([run.folder.resolve() for run in found])
    return [replace(run, name=name) for run, name in zip(found, names)]


def _runs_in(path: Path) -> list[Run]:
    if path.is_file() and path.name in (RUN_RECORD, TABLE):
        path = path.parent
    if not path.is_dir():
        raise CompareError(f"no runs in {str(path)!r}: no such folder")
    if (path / TABLE).is_file():
        found = _sweep_runs(path)
        if not found:
            raise CompareError(f"no runs in {str(path)!r}: its {TABLE} lists none")
        return found
    if (path / RUN_RECORD).is_file():
        return [_run(path, read_record(path))]
    folders = [folder for folder in run_folders(path) if (folder / RUN_RECORD).is_file()]
    if not folders:
        raise CompareError(f"no runs in {str(path)!r}: it holds no run.json, no {TABLE} "
                           f"and no run-* folder with a run.json")
    return [_run(folder, read_record(folder)) for folder in folders]


def _run(folder: Path, record: Mapping[str, Any]) -> Run:
    params = record.get("params")
    return Run(
        name=folder.name, folder=folder, status=str(record.get("status") or "unknown"),
        error=record.get("error"), seed=record.get("seed"), ticks_run=record.get("ticks_run"),
        params=dict(params) if isinstance(params, dict) else {}, reports=_reports_of(record),
    )


def _reports_of(record: Mapping[str, Any]) -> tuple[str, ...]:
    listed = record.get("reports")
    if not isinstance(listed, list):  # a record of an older version: under each callback
        listed = [name for cb in record.get("callbacks") or () if isinstance(cb, dict)
                  for name in cb.get("reports") or ()]
    # Plain names in the run's own folder: a record is never a way to reach elsewhere.
    return tuple(name for name in listed if isinstance(name, str) and _plain_name(name))


def _plain_name(name: str) -> bool:
    return name not in ("", ".", "..") and Path(name).name == name and "\\" not in name


def _sweep_runs(folder: Path) -> list[Run]:
    """The runs of a sweep's table; a run that left no run.json (cancelled before it
    started) is described by its row."""
    with open(folder / TABLE, newline="", encoding="utf-8") as file:
        rows = list(csv.DictReader(file))
    found = []
    for row in rows:
        name = row.get("run") or ""
        if not _plain_name(name):
            raise CompareError(f"{folder / TABLE} names a run {name!r} outside its folder")
        run_folder = folder / name
        table_status = row.get("status") or "unknown"
        if (run_folder / RUN_RECORD).is_file():
            run = _run(run_folder, read_record(run_folder))
            if run.status == "running" and table_status not in ("running", "pending"):
                # The sweep is over and the run's record was never closed: its worker died.
                run = replace(run, status=table_status, error=row.get("error") or run.error)
            found.append(run)
            continue
        params = {(column[len("param."):] if column.startswith("param.") else column): _cell(text)
                  for column, text in row.items() if column not in RUN_COLUMNS}
        seed = params.pop("seed", None)
        found.append(Run(name=name, folder=run_folder, status=table_status,
                         error=row.get("error") or None, seed=seed,
                         ticks_run=_cell(row.get("ticks_run") or ""), params=params, reports=()))
    return found


def _cell(text: str) -> Any:
    """A cell of the sweep's table as the value it was written from."""
    if text == "":
        return None
    if text in ("True", "False"):
        return text == "True"
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    return text


def _unique_names(folders: Sequence[Path]) -> list[str]:
    depth = [1] * len(folders)
    while True:
        names = ["/".join(folder.parts[-d:]) for folder, d in zip(folders, depth)]
        counts = Counter(names)
        clash = [i for i, name in enumerate(names)
                 if counts[name] > 1 and depth[i] < len(folders[i].parts)]
        if not clash:
            return names
        for i in clash:
            depth[i] += 1


def _plain_value(value: Any) -> Any:
    """A parameter as a table cell: lists and dicts as their JSON text."""
    return json.dumps(value, sort_keys=True) if isinstance(value, (list, dict)) else value


def _param_names(found: Sequence[Run]) -> list[str]:
    return list(dict.fromkeys(name for run in found for name in run.params))


def _param_columns(found: Sequence[Run], taken: Iterable[str]) -> dict[str, str]:
    """Parameter -> its column, ``param.<name>`` where the name is taken."""
    taken = _RESERVED.union(taken)
    columns = {}
    for name in _param_names(found):
        if name == "seed" and all(run.params.get("seed", run.seed) == run.seed for run in found):
            continue  # the runs' own seeds, in the seed column already
        columns[name] = f"param.{name}" if name in taken else name
    return columns


def _run_rows(found: Sequence[Run], taken: Iterable[str] = ()) -> list[dict[str, Any]]:
    columns = _param_columns(found, taken)
    rows = []
    for run in found:
        row: dict[str, Any] = {"run": run.name, "out": str(run.folder), "status": run.status,
                               "error": run.error, "seed": run.seed, "ticks_run": run.ticks_run}
        row.update({column: _plain_value(run.params.get(name)) for name, column in columns.items()})
        rows.append(row)
    return rows


def runs(source: Source) -> pandas.DataFrame:
    """One row per run of ``source``: ``run`` (its folder's name), ``out`` (its folder),
    ``status``, ``error``, ``seed``, ``ticks_run``, then its parameters (the ``params``
    of its run.json; one named like a column before it is ``param.<name>``, as in a
    sweep's table; lists and dicts as JSON text).

    >>> import tempfile
    >>> from sorvane_core.sweeps import run_one
    >>> from sorvane_core.graph import Application, Infrastructure
    >>> from sorvane_core.placement import Placement
    >>> def build(seed, policy):
    ...     infr = Infrastructure("x"); infr.add_node(0)
    ...     app = Application("a"); app.add_service("s")
    ...     return infr, [Placement(app, infr, {"s": 0})], []
    >>> folder = tempfile.mkdtemp()
    >>> _ = run_one(build, {"seed": 1, "policy": "greedy"}, 3, folder + "/run-0000")
    >>> runs(folder)[["run", "status", "seed", "ticks_run", "policy"]].to_dict("records")
    [{'run': 'run-0000', 'status': 'finished', 'seed': 1, 'ticks_run': 3, 'policy': 'greedy'}]
    """
    pandas = import_pandas()
    found = find_runs(source)
    return pandas.DataFrame(_run_rows(found), columns=_columns(found, ()))


def _columns(found: Sequence[Run], taken: Iterable[str]) -> list[str]:
    return [*RUN_FIELDS, *_param_columns(found, taken).values()]


# -- a metric ------------------------------------------------------------------------


def _stem(file: str) -> str:
    for suffix in REPORT_SUFFIXES.values():
        if file.endswith(suffix):
            return file[: -len(suffix)]
    return file


def _metric_name(name: str, found: Sequence[Run]) -> tuple[str, str]:
    """(report stem, column) of a metric, the longest report name that fits first."""
    stems = list(dict.fromkeys(_stem(file) for run in found for file in run.reports))
    if name in stems:
        return name, "value"
    for place in sorted((i for i, c in enumerate(name) if c == "."), reverse=True):
        if name[:place] in stems and name[place + 1:]:
            return name[:place], name[place + 1:]
    there = ", ".join(sorted(stems)) or "none"
    raise CompareError(f"no report for metric {name!r} in the runs; their reports: {there}")


def _report_path(run: Run, stem: str) -> list[Path]:
    """The run's report files of ``stem`` that it wrote, in the order they are read."""
    paths = [run.folder / (stem + REPORT_SUFFIXES[kind]) for kind in PREFERRED
             if stem + REPORT_SUFFIXES[kind] in run.reports]
    return [path for path in paths if (path.is_dir() if path.suffix == ".parquet"
                                       else path.is_file())]


def _read(run: Run, stem: str) -> pandas.DataFrame | None:
    return read_first(_report_path(run, stem))


@dataclass
class _Read:
    """A metric's rows of each run that was read, and the value columns seen."""

    stem: str
    column: str
    frames: dict[str, pandas.DataFrame]  # run name -> tick, event, keys, the column
    keys: list[str]


def _read_metric(found: Sequence[Run], chosen: Sequence[Run], name: str,
                 event: str | None) -> _Read:
    """The metric's rows of the ``chosen`` runs; its name is resolved against the
    reports of all those ``found``."""
    stem, column = _metric_name(name, found)
    frames: dict[str, Any] = {}
    seen: dict[str, None] = {}
    keys: dict[str, None] = {}
    events: dict[Any, None] = {}
    had = False
    for run in chosen:
        table = _read(run, stem)
        if table is None:
            continue
        seen.update(dict.fromkeys(c for c in table.columns if c not in TAKEN))
        if column not in table.columns:
            if not table.empty:
                continue
            table = table.assign(**{column: []})
        had = True
        if event is not None:
            events.update(dict.fromkeys(table["event"]))
            table = table[table["event"] == event]
        kept = [c for c in _KEYS if c in table.columns]
        keys.update(dict.fromkeys(kept))
        frames[run.name] = table[["tick", "event", *kept, column]].reset_index(drop=True)
    if not had and seen:
        there = ", ".join(seen)
        raise CompareError(f"report {stem!r} has no column {column!r}; its columns: {there}")
    if events and event not in events:
        there = ", ".join(map(str, events))
        raise CompareError(f"report {stem!r} has no rows of event {event!r}; its events: {there}")
    return _Read(stem, column, frames, list(keys))


def metric(source: Source, name: str, *, event: str | None = None,
           include_failed: bool = False) -> pandas.DataFrame:
    """One long table of metric ``name`` over the ticks of every finished run of
    ``source`` (every run that left rows, with ``include_failed``): ``run``,
    ``status``, ``seed``, the parameters, then the report's ``tick``, ``event``, key
    columns (``node`` for a per-node metric) and the metric's column as it is named in
    the report (``value`` for a bare report name). ``event`` keeps the rows of that
    event alone.

    >>> import tempfile
    >>> from sorvane_core.sweeps import run_one
    >>> from sorvane_core.graph import Application, Infrastructure
    >>> from sorvane_core.placement import Placement
    >>> from sorvane_core.workflow.callbacks.callback import SorvaneCallback
    >>> class Load(SorvaneCallback):
    ...     def __call__(self, node, resources, placements, infr, view, tick):
    ...         return tick * resources["cpu"]
    >>> def build(seed, policy):
    ...     infr = Infrastructure("x"); infr.add_node("a", cpu=1); infr.add_node("b", cpu=2)
    ...     app = Application("app"); app.add_service("s")
    ...     return infr, [Placement(app, infr, {"s": "a"})], [Load("load", "node")]
    >>> folder = tempfile.mkdtemp()
    >>> _ = run_one(build, {"seed": 1, "policy": "spread"}, 2, folder + "/run-0000")
    >>> metric(folder, "load").drop(columns="status").to_dict("records")[-2:]
    ... # doctest: +NORMALIZE_WHITESPACE
    [{'run': 'run-0000', 'seed': 1, 'policy': 'spread', 'tick': 1, 'event': 'tick',
      'node': 'a', 'value': 1}, {'run': 'run-0000', 'seed': 1, 'policy': 'spread',
      'tick': 1, 'event': 'tick', 'node': 'b', 'value': 2}]
    """
    pandas = import_pandas()
    found = find_runs(source)
    chosen = [run for run in found if include_failed or run.finished]
    read = _read_metric(found, chosen, name, event)
    head = ["tick", "event", *read.keys, read.column]
    params = _param_columns(chosen, ["run", "status", "seed", *head])
    pieces = []
    for run in chosen:
        frame = read.frames.get(run.name)
        if frame is None or frame.empty:
            continue
        cells = {"run": run.name, "status": run.status, "seed": run.seed}
        cells.update({column: _plain_value(run.params.get(p)) for p, column in params.items()})
        piece = frame.reindex(columns=head)
        for place, (column, cell) in enumerate(cells.items()):
            piece.insert(place, column, [cell] * len(piece))
        pieces.append(piece)
    columns = ["run", "status", "seed", *params.values(), *head]
    if not pieces:
        return pandas.DataFrame(columns=columns)
    return pandas.concat(pieces, ignore_index=True)[columns]


# -- statistics ----------------------------------------------------------------------


def check_stat(stat: str) -> str:
    """``stat`` if it names a statistic; CompareError naming those there are if not."""
    found = _PERCENTILE.fullmatch(stat)
    if stat in _NAMED_STATS or (found is not None and 0 <= float(found.group(1)) <= 100):
        return stat
    raise CompareError(f"no statistic {stat!r}; choose one of {', '.join(_NAMED_STATS)}, "
                       f"or pNN for a percentile (p95)")


def _statistic(values: np.ndarray[Any, Any], stat: str) -> float:
    """``stat`` of a run's per-tick values, in tick order."""
    if not len(values):
        return math.nan
    found = _PERCENTILE.fullmatch(stat)
    if found is not None:
        return float(np.percentile(values, float(found.group(1))))
    if stat == "total":
        return float(values.sum())
    if stat == "first":
        return float(values[0])
    if stat == "last":
        return float(values[-1])
    if stat == "std":
        return float(values.std(ddof=1)) if len(values) > 1 else math.nan
    return float(getattr(np, stat)(values))


@lru_cache(maxsize=256)
def t_quantile(df: int, confidence: float = CONFIDENCE) -> float:
    """The half-width, in standard errors, of a two-sided ``confidence`` interval of a
    mean with ``df`` degrees of freedom: Student's t quantile at (1 + confidence) / 2.

    Exact up to 1,000 degrees of freedom (the closed forms of the t distribution for
    whole degrees of freedom, inverted by bisection); beyond, the Cornish-Fisher
    expansion, within 1e-12 there.

    >>> [round(t_quantile(df), 4) for df in (1, 2, 4, 10, 30)]
    [12.7062, 4.3027, 2.7764, 2.2281, 2.0423]
    """
    if df < 1 or int(df) != df:
        raise ValueError(f"degrees of freedom must be a whole number >= 1, not {df!r}")
    if not 0 < confidence < 1:
        raise ValueError(f"confidence must lie between 0 and 1, not {confidence!r}")
    if df > 1000:
        z = NormalDist().inv_cdf((1 + confidence) / 2)
        terms = [
            (z**3 + z) / 4,
            (5 * z**5 + 16 * z**3 + 3 * z) / 96,
            (3 * z**7 + 19 * z**5 + 17 * z**3 - 15 * z) / 384,
            (79 * z**9 + 776 * z**7 + 1482 * z**5 - 1920 * z**3 - 945 * z) / 92160,
        ]
        return z + sum(term / float(df) ** (k + 1) for k, term in enumerate(terms))
    low, high = 0.0, 1.0
    while _within(high, df) < confidence:
        low, high = high, high * 2
    for _ in range(200):
        middle = (low + high) / 2
        if middle in (low, high):
            break
        if _within(middle, df) < confidence:
            low = middle
        else:
            high = middle
    return high


def _within(t: float, df: int) -> float:
    """P(|T| <= t) for Student's T with ``df`` degrees of freedom (Abramowitz and
    Stegun 26.7.3 and 26.7.4)."""
    theta = math.atan(t / math.sqrt(df))
    c, s = math.cos(theta), math.sin(theta)
    if df % 2:
        if df == 1:
            return 2 * theta / math.pi
        term = total = c
        for k in range(3, df - 1, 2):
            term *= c * c * (k - 1) / k
            total += term
        return 2 / math.pi * (theta + s * total)
    term = total = 1.0
    for k in range(2, df - 1, 2):
        term *= c * c * (k - 1) / k
        total += term
    return s * total


def _interval(values: Sequence[float]) -> tuple[float, float, float, float, int]:
    """Mean, standard deviation, and the confidence interval of the mean, of the
    values that are there, and how many they are."""
    there = np.asarray([v for v in values if v == v], dtype=float)
    n = len(there)
    if not n:
        return math.nan, math.nan, math.nan, math.nan, 0
    mean = float(there.mean())
    if n < 2:
        return mean, math.nan, math.nan, math.nan, n
    sd = float(there.std(ddof=1))
    half = t_quantile(n - 1) * sd / math.sqrt(n)
    return mean, sd, mean - half, mean + half, n


# -- a comparison --------------------------------------------------------------------


def _numbers(pd: Any, column: pandas.Series, name: str, run: str) -> pandas.Series:
    """A metric's column as floats; booleans as 0 and 1."""
    types = pd.api.types
    if types.is_bool_dtype(column) or types.is_numeric_dtype(column):
        return column.astype(float)
    cells = []
    for cell in column.tolist():
        if cell is None or cell is pd.NA or (isinstance(cell, float) and cell != cell):
            cells.append(math.nan)
        elif isinstance(cell, (bool, int, float, np.number)):
            cells.append(float(cell))
        else:
            raise CompareError(f"metric {name!r} is not a number: run {run} has {cell!r}")
    return pd.Series(cells, index=column.index, dtype=float)


class Comparison:
    """A metric of the runs of a source, read once and reduced per tick; what
    :func:`summary` and :func:`figure` are made from (see the module docstring).

    ``series`` holds, for each run compared, its per-tick values (a Series indexed
    by tick); ``left_out`` the runs that did not finish, when they are left out.
    """

    def __init__(self, source: Source, metric: str, *, per_tick: str = "mean",
                 event: str | None = None, include_failed: bool = False) -> None:
        if per_tick not in PER_TICK:
            raise CompareError(f"per_tick must be one of {', '.join(PER_TICK)}, "
                               f"not {per_tick!r}")
        pd = import_pandas()
        self.metric = metric
        self.per_tick = per_tick
        self.event = event
        self.runs = find_runs(source)
        self.compared = [run for run in self.runs if include_failed or run.finished]
        self.left_out = [run for run in self.runs if not (include_failed or run.finished)]
        read = _read_metric(self.runs, self.compared, metric, event)
        self.stem, self.column, self.keys = read.stem, read.column, read.keys
        self.series: dict[str, pandas.Series] = {}
        for run in self.compared:
            frame = read.frames.get(run.name)
            if frame is None:
                self.series[run.name] = pd.Series(dtype=float)
                continue
            values = _numbers(pd, frame[self.column], metric, run.name)
            grouped = values.groupby(frame["tick"].to_numpy())
            # A tick whose values are all missing has no value, not a sum of 0.
            reduced = (grouped.sum(min_count=1) if per_tick == "sum"
                       else getattr(grouped, per_tick)())
            self.series[run.name] = reduced.dropna().sort_index()

    @property
    def name(self) -> str:
        """What the metric's values are, for labels: the column, or the report's name
        for a ``value`` column."""
        return self.stem if self.column == "value" else self.column

    def describe(self) -> str:
        """The metric and how it was reduced, in a few words."""
        text = self.metric
        if self.keys:
            entities = _ENTITIES.get(tuple(self.keys), " / ".join(self.keys))
            text += f", {self.per_tick} over {entities} per tick"
        if self.event is not None:
            text += f", {self.event} rows"
        return text

    def by_column(self, by: str) -> str:
        """The parameter that ``by`` names: a parameter of the runs, ``param.<name>``,
        or the seed."""
        names = _param_names(self.runs)
        name = by[len("param."):] if by.startswith("param.") and by[6:] in names else by
        if name in names or name == "seed":
            return name
        there = ", ".join(names) or "none (their run.json files hold no params)"
        raise CompareError(f"the runs have no parameter {by!r}; their parameters: {there}")

    def _value(self, run: Run, by: str) -> Any:
        if by == "seed" and "seed" not in run.params:
            return run.seed
        return _plain_value(run.params.get(by))

    def groups(self, by: str | None) -> list[tuple[Any, list[str]]]:
        """(value of ``by``, names of the runs compared that have it), sorted by value
        where the values can be sorted; without ``by``, each run on its own."""
        if by is None:
            return [(run.name, [run.name]) for run in self.compared]
        by = self.by_column(by)
        found: dict[Any, list[str]] = {}
        for run in self.compared:
            value = self._value(run, by)
            found.setdefault(None if value != value else value, []).append(run.name)
        keys = [k for k in found if k is not None]
        try:
            keys.sort()
        except TypeError:  # values of different types: in the order the runs come
            pass
        return [(k, found[k]) for k in keys + ([None] if None in found else [])]

    def statistics(self, run: str, stats: Sequence[str]) -> dict[str, float]:
        values = self.series[run].to_numpy(dtype=float)
        return {stat: _statistic(values, stat) for stat in stats}

    def summary(self, stats: Sequence[str] = STATS) -> pandas.DataFrame:
        """One row per run: the columns of :func:`runs`, then each statistic (empty for
        a run left out)."""
        pandas = import_pandas()
        stats = [check_stat(stat) for stat in dict.fromkeys(stats)]
        rows = _run_rows(self.runs, stats)
        for run, row in zip(self.runs, rows):
            compared = run.name in self.series
            row.update(self.statistics(run.name, stats) if compared
                       else dict.fromkeys(stats, math.nan))
        return pandas.DataFrame(rows, columns=[*_columns(self.runs, stats), *stats])

    def grouped(self, by: str, stats: Sequence[str] = STATS) -> pandas.DataFrame:
        """One row per value of parameter ``by``: ``n`` (the runs with values), then for
        each statistic its mean over those runs, ``<stat>_std``, ``<stat>_ci_low``
        and ``<stat>_ci_high`` (the 95 % confidence interval of the mean)."""
        pandas = import_pandas()
        stats = [check_stat(stat) for stat in dict.fromkeys(stats)]
        column = _param_columns(self.runs, ["n", *self._grouped_columns(stats)]).get(
            self.by_column(by), self.by_column(by))
        per_run = {run: self.statistics(run, stats) for run in self.series}
        rows = []
        for value, names in self.groups(by):
            row: dict[str, Any] = {column: value}
            n = 0
            for stat in stats:
                mean, sd, low, high, n = _interval([per_run[name][stat] for name in names])
                row.update({stat: mean, f"{stat}_std": sd, f"{stat}_ci_low": low,
                            f"{stat}_ci_high": high})
            row["n"] = n  # the same for every statistic: a run has values or none
            rows.append(row)
        return pandas.DataFrame(rows, columns=[column, "n", *self._grouped_columns(stats)])

    @staticmethod
    def _grouped_columns(stats: Sequence[str]) -> list[str]:
        return [f"{stat}{end}" for stat in stats for end in ("", "_std", "_ci_low", "_ci_high")]

    def figure(self, by: str | None = None, kind: str = "ticks", stat: str = "mean",
               title: str | None = None) -> Figure:
        """See :func:`figure`."""
        if kind not in KINDS:
            raise CompareError(f"kind must be one of {', '.join(KINDS)}, not {kind!r}")
        stat = check_stat(stat)
        groups = self.groups(by)
        if not groups:
            raise CompareError(nothing_to_compare(self.runs))
        figure_class = _figure_class()
        fig = figure_class(figsize=(8, 3.6), layout="constrained")
        ax = fig.subplots()
        if len(groups) > len(_COLOURS) // 2:  # matplotlib's cycle repeats after ten
            ax.set_prop_cycle(color=[_COLOURS[i % len(_COLOURS)] for i in range(len(groups))])
        heading = by if by is not None else "run"
        if kind == "ticks":
            self._draw_ticks(ax, groups, by is not None)
            ax.xaxis.get_major_locator().set_params(integer=True)
            ax.set_xlabel("tick")
            ax.set_ylabel(label(self.name))
            if 1 < len(groups) <= len(_COLOURS):
                ax.legend(title=heading, fontsize="small", title_fontsize="small",
                          loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0.0)
        else:
            self._draw_summary(ax, groups, stat)
            ax.set_xlabel(heading)
            ax.set_ylabel(f"{stat} {label(self.name)}")
        fig.suptitle(title if title is not None else self.describe(), fontsize="medium")
        return cast("Figure", fig)

    def _draw_ticks(self, ax: Any, groups: list[tuple[Any, list[str]]], banded: bool) -> None:
        pandas = import_pandas()
        for value, names in groups:
            values = pandas.DataFrame({name: self.series[name] for name in names}).sort_index()
            ticks = values.index.to_numpy()
            mean = values.mean(axis=1).to_numpy()
            drawn = mean == mean
            (line,) = ax.plot(ticks[drawn], mean[drawn], label=str(value),
                              marker="." if drawn.sum() < 40 else None)
            if not banded:
                continue
            n = values.count(axis=1).to_numpy()
            sd = values.std(axis=1, ddof=1).to_numpy()
            half = np.array([t_quantile(int(k) - 1) if k > 1 else math.nan for k in n])
            half = half * sd / np.sqrt(np.maximum(n, 1))
            banded_ticks = half == half
            if banded_ticks.any():
                ax.fill_between(ticks, mean - half, mean + half, where=banded_ticks,
                                color=line.get_color(), alpha=0.2, linewidth=0)

    def _draw_summary(self, ax: Any, groups: list[tuple[Any, list[str]]], stat: str) -> None:
        heights, errors = [], []
        for _, names in groups:
            mean, _, low, _, _ = _interval([self.statistics(name, [stat])[stat]
                                            for name in names])
            heights.append(mean)
            errors.append(mean - low)
        places = np.arange(len(groups))
        shown = [error for error in errors if error == error]
        ax.bar(places, heights, yerr=errors if shown else None, capsize=4,
               color=[f"C{i % 10}" for i in range(len(groups))] if len(groups) <= 10 else "C0")
        names = [str(value) for value, _ in groups]
        ax.set_xticks(places, names, rotation=45 if sum(map(len, names)) > 60 else 0,
                      ha="right" if sum(map(len, names)) > 60 else "center")


def nothing_to_compare(found: Sequence[Run]) -> str:
    statuses = ", ".join(f"{run.name} ({run.status})" for run in found)
    return (f"none of the {len(found)} runs finished ({statuses}); "
            f"include_failed=True (--include-failed) compares them as they are")


def _figure_class() -> Any:
    try:
        import_pandas()
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError(f"figures need pandas and matplotlib: {ANALYSIS}") from None
    return Figure


def summary(
    source: Source, metric: str, stats: Sequence[str] = STATS, by: str | None = None, *,
    per_tick: str = "mean", event: str | None = None, include_failed: bool = False,
) -> pandas.DataFrame | tuple[pandas.DataFrame, pandas.DataFrame]:
    """Statistics of ``metric`` over the ticks of each run of ``source``: the table of
    :func:`runs` with one column per statistic of ``stats`` (see the module docstring:
    the values are first reduced per tick by ``per_tick``). With ``by``, a parameter's
    name, the pair (that table, the grouped table): for each value of the parameter,
    ``n`` and for each statistic its mean over the runs, ``<stat>_std`` and the 95 %
    confidence interval of the mean, ``<stat>_ci_low`` and ``<stat>_ci_high``.

    >>> import tempfile
    >>> from sorvane_core.sweeps import run_one
    >>> from sorvane_core.graph import Application, Infrastructure
    >>> from sorvane_core.placement import Placement
    >>> from sorvane_core.workflow.callbacks.callback import SorvaneCallback
    >>> class Cost(SorvaneCallback):
    ...     def __call__(self, event):
    ...         return event.data["tick"] * event.simulator.seed
    >>> def build(seed, policy):
    ...     infr = Infrastructure("x"); infr.add_node(0)
    ...     app = Application("a"); app.add_service("s")
    ...     return infr, [Placement(app, infr, {"s": 0})], [Cost("cost")]
    >>> folder = tempfile.mkdtemp()
    >>> for i, seed in enumerate((1, 2, 3)):
    ...     _ = run_one(build, {"seed": seed, "policy": "p"}, 4, f"{folder}/run-{i:04d}")
    >>> per_run, by_policy = summary(folder, "cost", stats=["total", "last"], by="policy")
    >>> per_run[["run", "total", "last"]].to_dict("records")  # 0 + 1 + 2 + 3 = 6 ticks*seed
    ... # doctest: +NORMALIZE_WHITESPACE
    [{'run': 'run-0000', 'total': 6.0, 'last': 3.0}, {'run': 'run-0001', 'total': 12.0,
      'last': 6.0}, {'run': 'run-0002', 'total': 18.0, 'last': 9.0}]
    >>> by_policy[["policy", "n", "total", "total_std"]].to_dict("records")
    [{'policy': 'p', 'n': 3, 'total': 12.0, 'total_std': 6.0}]
    """
    comparison = Comparison(source, metric, per_tick=per_tick, event=event,
                            include_failed=include_failed)
    per_run = comparison.summary(stats)
    return per_run if by is None else (per_run, comparison.grouped(by, stats))


def figure(
    source: Source, metric: str, by: str | None = None, kind: str = "ticks",
    stat: str = "mean", *, per_tick: str = "mean", event: str | None = None,
    include_failed: bool = False, title: str | None = None,
) -> Figure:
    """A figure of ``metric`` across the runs of ``source``, made without pyplot.

    ``kind="ticks"``: the metric over the ticks (reduced per tick by ``per_tick``),
    one line per value of parameter ``by``, the mean over the runs that share it,
    in a band of the 95 % confidence interval of that mean (where two runs or more
    have the tick); without ``by``, one line per run. ``kind="summary"``: a bar per
    value of ``by`` of statistic ``stat`` (the mean over its runs), with the 95 %
    confidence interval as error bars; without ``by``, a bar per run. Runs that did
    not finish are left out, unless ``include_failed``.
    """
    comparison = Comparison(source, metric, per_tick=per_tick, event=event,
                            include_failed=include_failed)
    return comparison.figure(by, kind, stat, title)


__all__ = ["CompareError", "Comparison", "Run", "figure", "find_runs", "metric", "runs",
           "summary", "t_quantile"]
