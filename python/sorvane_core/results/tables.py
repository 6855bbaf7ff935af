"""A callback's results as a pandas DataFrame (pandas: an optional extra)."""

from __future__ import annotations

import json
import math
import os
import re
from collections.abc import Hashable
from pathlib import Path
from typing import TYPE_CHECKING, Any

from sorvane_core.results.reports import report_files
from sorvane_core.results.rows import FIXED_COLUMNS, key_columns, rows
from sorvane_core.utils.extras import ANALYSIS

if TYPE_CHECKING:
    import pandas

    from sorvane_core.simulation.simulator import Simulator

def import_pandas() -> Any:
    try:
        import pandas
    except ImportError:
        raise ImportError(f"tables need pandas: {ANALYSIS}") from None
    return pandas


def callback_named(simulator: Simulator, name: Hashable) -> Any:
    for cb in simulator.callbacks:
        if cb.name == name:
            return cb
    known = ", ".join(repr(cb.name) for cb in simulator.callbacks) or "none"
    raise KeyError(f"no callback named {name!r}; the simulator has {known}")


SOURCES = ("reports", "history")
PREFERRED = ("parquet", "csv", "jsonl")  # the report a table is read from, of those written


def _written(path: Path) -> bool:
    return path.is_dir() if path.suffix == ".parquet" else path.is_file()


def table(simulator: Simulator, name: Hashable, source: str | None = None) -> pandas.DataFrame:
    """The rows of callback ``name`` from the last run: from its report in the
    folder that run wrote into (Parquet preferred, then CSV, then JSON lines),
    otherwise from its history;
    ``source`` ("reports" or "history") chooses. ValueError, saying why, when
    the chosen source (or, unchosen, both) does not hold them."""
    if source is not None and source not in SOURCES:
        raise ValueError(f"source must be one of {SOURCES} or None, not {source!r}")
    import_pandas()
    cb = callback_named(simulator, name)
    folder = simulator.last_out
    if source != "history" and folder is not None:
        files = report_files(cb)
        paths = [folder / files[kind] for kind in PREFERRED if kind in files]
        found = read_first([path for path in paths if _written(path)])
        if found is not None:
            return found
    if source != "reports" and simulator._kept_history:
        return history_table(simulator, cb)
    reasons = []
    if source != "history":
        if folder is None:
            reasons.append("wrote no reports (it had no output folder)")
        elif not report_files(cb):
            reasons.append(f"wrote no report of it (report types {list(cb.report_types)!r})")
        else:
            reasons.append(f"left no report of it in {str(folder)!r}")
    if source != "reports":
        reasons.append("kept no history (history=False)")
    raise ValueError(f"no results of callback {name!r}: the last run {' and '.join(reasons)}")


def read_first(paths: list[Path]) -> pandas.DataFrame | None:
    """The first of the report files ``paths`` (one callback's, in the order of
    :data:`PREFERRED`) that can be read: without pyarrow, a Parquet report gives way
    to the CSV or JSON lines; None without any."""
    for path in paths:
        try:
            return read_report(path)
        except ImportError:
            if path == paths[-1]:
                raise
    return None


def read_report(path: str | os.PathLike[str]) -> pandas.DataFrame:
    """A report, CSV, JSON lines or Parquet by its suffix, as a table of the values written.

    Only an empty CSV cell is missing: text such as ``NA``, ``None`` or ``nan`` (a
    node's name, say) stays text, and only ``True`` and ``False`` are booleans.
    Integers beyond int64 come back as Python ints, in an object column. JSON lines
    are read with Python's ``json``, so their values come back as written. A Parquet
    report is a folder of parts (or one Parquet file), read in order as one table
    with the CSV's columns, the column types of its parts promoted (see
    :mod:`sorvane_core.results.parquet`); it needs pyarrow. A report without rows
    has the columns of its callback's type, found in the ``run.json`` beside it
    (``tick``, ``event`` and ``trigger`` alone without one).

    >>> import pathlib, tempfile
    >>> path = pathlib.Path(tempfile.mkdtemp()) / "load.csv"
    >>> _ = path.write_text("tick,event,trigger,node,value\\n0,tick,tick,NA,\\n")
    >>> read_report(path).to_dict("records")
    [{'tick': 0, 'event': 'tick', 'trigger': 'tick', 'node': 'NA', 'value': nan}]
    """
    pandas = import_pandas()
    path = Path(path)
    if path.suffix == ".parquet":
        frame = _read_parquet(pandas, path)
    elif path.suffix == ".jsonl":
        frame = _read_jsonl(pandas, path)
    else:
        frame = _read_csv(pandas, path)
    for place, dtype in enumerate(frame.dtypes):
        if dtype.kind == "u":  # beyond int64: Python ints, like those beyond uint64
            frame.isetitem(place, frame.iloc[:, place].astype(object))
    return frame


_CSV_OPTIONS: dict[str, Any] = {"keep_default_na": False, "na_values": [""]}
_INTEGER = re.compile(r"[+-]?\d+")
_EXACT = 2.0**53  # up to here a float holds every integer


def _read_csv(pandas: Any, path: Path) -> pandas.DataFrame:
    if path.stat().st_size == 0:  # a run killed before the report's first rows
        return _no_rows(pandas, path)
    frame = pandas.read_csv(path, **_CSV_OPTIONS)
    # pandas also reads true and TRUE as booleans, keeps integers beyond uint64 as
    # text when a negative one shares the column, and integers beside an empty cell
    # in floats, which round those beyond 2**53: such columns are read again as text.
    suspect = [place for place in range(frame.shape[1]) if _misread(pandas, frame.iloc[:, place])]
    if suspect:
        text = pandas.read_csv(path, usecols=suspect, dtype=str, **_CSV_OPTIONS)
        for i, place in enumerate(suspect):
            frame.isetitem(place, _as_written(pandas, frame.iloc[:, place], text.iloc[:, i]))
    return frame


def _misread(pandas: Any, column: pandas.Series) -> bool:
    if isinstance(column.dtype, pandas.StringDtype):  # text, unless its cells are integers
        first = column.first_valid_index()
        return first is not None and _INTEGER.fullmatch(column.loc[first]) is not None
    kind = column.dtype.kind
    if kind == "f":  # integers beside an empty cell: exact only up to 2**53
        size = column.abs()
        return bool(column.isna().any() and ((size >= _EXACT) & (size < math.inf)).any())
    return kind in ("b", "O")


def _as_written(pandas: Any, parsed: pandas.Series, text: pandas.Series) -> pandas.Series:
    """A column as its cells are written, given pandas' reading and the cells as text."""
    present = text.dropna()
    if present.isin(("True", "False")).all():
        return parsed
    if all(_INTEGER.fullmatch(cell) for cell in present):
        missing = text.isna()
        return pandas.Series([None if gap else int(cell) for gap, cell in zip(missing, text)],
                             index=parsed.index, name=parsed.name, dtype=object)
    return text if parsed.dtype.kind == "b" else parsed


def _read_parquet(pandas: Any, path: Path) -> pandas.DataFrame:
    from sorvane_core.results import parquet

    frame = parquet.read(pandas, path)
    return _no_rows(pandas, path) if frame is None else frame


def _read_jsonl(pandas: Any, path: Path) -> pandas.DataFrame:
    records: list[dict[str, Any]] = []
    with open(path, encoding="utf-8") as file:
        for number, line in enumerate(file, 1):
            if not line.strip():
                continue
            try:
                record = json.loads(line)
            except ValueError as exc:
                raise ValueError(f"{path}, line {number}: not JSON ({exc})") from None
            if not isinstance(record, dict):
                raise ValueError(f"{path}, line {number}: not a JSON object")
            records.append(record)
    if not records:
        return _no_rows(pandas, path)
    columns = list(dict.fromkeys(name for record in records for name in record))
    frame = pandas.DataFrame(records, columns=columns)
    for place, name in enumerate(columns):
        # Integers beside a missing value become floats, which round those beyond 2**53.
        column = frame.iloc[:, place]
        if column.dtype.kind == "f" and _misread(pandas, column):
            cells = [record.get(name) for record in records]
            if all(cell is None or type(cell) is int for cell in cells):
                frame.isetitem(place, pandas.Series(cells, index=frame.index, dtype=object))
    return frame


def _no_rows(pandas: Any, path: Path) -> pandas.DataFrame:
    """The empty table of a report without rows, with its callback's key columns."""
    return pandas.DataFrame(columns=[*FIXED_COLUMNS, *key_columns(_report_type(path))])


def _report_type(path: Path) -> Any:
    """The type of the callback whose report ``path`` is, by the run.json beside it."""
    try:
        run = json.loads(path.with_name("run.json").read_text(encoding="utf-8"))
    except (OSError, ValueError):  # no run record, or not one to rely on
        return None
    callbacks = run.get("callbacks") if isinstance(run, dict) else None
    for callback in callbacks if isinstance(callbacks, list) else ():
        if isinstance(callback, dict):
            reports = callback.get("reports")
            if isinstance(reports, list) and path.name in reports:
                return callback.get("type")
    return None


def history_table(simulator: Simulator, cb: Any) -> pandas.DataFrame:
    """The rows of ``cb`` from the history of the last run (which must keep one)."""
    pandas = import_pandas()
    kind = getattr(cb, "type", None)
    name = cb.name
    found: list[dict[str, Any]] = []
    for record in simulator.history:
        if name not in record["data"]:
            continue
        trigger = record["activated_by"][name]
        # Callback names are never event names, so a trigger that is the event is the event.
        by_event = trigger == record["event"]
        ends = getattr(record, "ends", {}).get(name)
        found.extend(rows(kind, record["data"][name], by_event, record["tick"], record["event"],
                          trigger, ends))
    columns = [*FIXED_COLUMNS, *key_columns(kind)]
    extra = [c for c in dict.fromkeys(c for r in found for c in r) if c not in columns]
    return pandas.DataFrame(found, columns=columns + extra)
