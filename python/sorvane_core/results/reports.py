"""Reports streamed to files as a run goes, and the run's record, ``run.json``.

For each callback whose ``report_types`` holds "csv" (or "jsonl"), a run with an
output folder writes ``<out>/<callback name>.csv`` (or ``.jsonl``). A tick's rows
reach the files only once the tick and the events it triggered are done, in one
write per file, flushed; the rows of a tick that does not finish (an error, an
interrupt, a run closed half-way) are dropped. So the files hold whole ticks
only, as many as ``run.json`` says were run, and a run that is killed leaves
every finished tick in its files, well formed. For "parquet", the report is a
folder ``<out>/<callback name>.parquet`` of parts, each a Parquet file of whole
ticks (see :mod:`sorvane_core.results.parquet`): finished ticks wait for a part
to be written, so a killed run keeps the parts already written, well formed, and
loses the finished ticks of its last few seconds.

Every report file follows one protocol: rows wait in ``pending`` (``add``, or
``add_columns`` for data handed out column by column) until the tick is done; then
``prepare`` makes them ready to write, and may fail without writing anything, and
``commit`` writes them, exactly once even when called again after Ctrl-C;
``discard`` drops the rows of an unfinished tick, and ``close`` ends the report.

``<out>/run.json`` records the run: its status ("running" until it ends, then
"finished", "failed" with the error, "interrupted" or "closed"), what ran and
with what, and every file that the run owns in the folder. One folder holds one
run: a folder that holds a run already is refused unless the caller asks to
overwrite it, which first removes that run's own files, those its ``run.json``
lists, and nothing else.
"""

from __future__ import annotations

import csv
import io
import json
import math
import os
import platform
import re
import sys
import time
from collections.abc import Callable, Hashable, Iterable, Mapping, Sequence
from datetime import UTC, datetime
from itertools import repeat
from json.encoder import encode_basestring
from pathlib import Path
from typing import TYPE_CHECKING, Any

import sorvane_core
from sorvane_core.results.rows import (
    FIXED_COLUMNS,
    PLAIN,
    Found,
    key_columns,
    pairs,
    report_columns,
    value_cells,
)
from sorvane_core.simulation.migrations import MIGRATION_COLUMNS, Migration
from sorvane_core.simulation.observers import Activation
from sorvane_core.utils.types import REPORT_SUFFIXES

if TYPE_CHECKING:
    from sorvane_core.simulation.simulator import Simulator

RUN_RECORD = "run.json"
MIGRATIONS = "migrations.csv"  # the report of the moves of a run
_MOVES = object()  # the owner of that report among the callbacks' names

# How often, in seconds, run.json is brought up to date while a run goes.
_RECORD_EVERY_S = 2.0


def file_stem(name: Any) -> str:
    """A callback's name as a file name: only letters, digits, '.', '-' and '_',
    never a path, never hidden."""
    stem = re.sub(r"[^\w.-]", "_", str(name), flags=re.ASCII).lstrip(".")
    return stem or "_"


def report_files(callback: Any) -> dict[str, str]:
    """Report type -> file name, for the report types the callback asks for."""
    kinds = getattr(callback, "report_types", ())
    kinds = [kinds] if isinstance(kinds, str) else kinds
    stem = file_stem(callback.name)
    return {
        kind: stem + REPORT_SUFFIXES[kind] for kind in dict.fromkeys(kinds)
        if kind in REPORT_SUFFIXES
    }


class UnwritableValueError(ValueError):
    """A callback's value that a report cannot hold.

    Attributes:
        callback: the callback's name.
        tick: the tick of the value.
        value_type: the name of the value's type.
    """

    def __init__(self, callback: Hashable, tick: Any, value: Any, file: str, reason: Any) -> None:
        self.callback = callback
        self.tick = tick
        self.value_type = type(value).__name__
        super().__init__(
            f"callback {callback!r} produced at tick {tick} a value of type "
            f"{self.value_type} that cannot be written to {file}: {reason}"
        )


Head = tuple[Any, Any, Any]  # tick, event, trigger


class _ReportFile:
    """What both kinds of report share: rows wait in ``pending`` until the tick is
    done, then are made into bytes (``prepare``, which may fail without writing
    anything) and written in one piece (``commit``)."""

    def __init__(self, path: Path, kind: Any, callback: Hashable) -> None:
        self.path = path
        self.callback = callback
        self.keys = key_columns(kind)
        self.ready = b""
        self.file = open(path, "wb")
        self.written = 0  # bytes in the file, as of the last commit

    def failed(self, head: Head, value: Any, reason: Any) -> UnwritableValueError:
        return UnwritableValueError(self.callback, head[0], value, self.path.name, reason)

    def discard(self) -> None:
        """Drop the rows of a tick that did not finish."""
        raise NotImplementedError

    def commit(self) -> None:
        """Write the prepared bytes, once: called again after an interrupt, it
        finishes what the first call began, by where the file ends."""
        if self.ready:
            if self.file.tell() == self.written:
                self.file.write(self.ready)
            self.written += len(self.ready)
            self.ready = b""
            self.file.flush()

    def close(self) -> None:
        self.discard()
        self.file.close()


def _csv_cell(cell: Any) -> Any:
    # NaN as an empty cell, read back as missing; the text "nan" stays text.
    return None if type(cell) is float and cell != cell else cell


def _csv_cells(array: Any) -> list[Any]:
    """The cells of a numpy column as the rows made one by one hold them."""
    cells: list[Any] = array.tolist()
    if array.dtype.kind == "f" and (array != array).any():
        cells = [None if cell != cell else cell for cell in cells]
    return cells


class _CsvFile(_ReportFile):
    """Rows as CSV. The header grows with new value columns: the file is then
    written anew (to a temporary file that replaces it), with empty cells in
    the new columns of the rows already written."""

    def __init__(self, path: Path, kind: Any, callback: Hashable) -> None:
        super().__init__(path, kind, callback)
        self.fixed = [*FIXED_COLUMNS, *self.keys]
        self.values: dict[str, int] = {}  # value column -> its place after the fixed ones
        self.header = 0  # columns in the file's header; 0 before the first rows
        self.pending: list[Sequence[Any]] = []
        self.ragged = False  # whether pending rows may be narrower than the header

    def _place(self, column: str) -> int:
        place = self.values.get(column)
        if place is None:
            place = self.values[column] = len(self.values)
        return place

    def add(self, head: Head, found: Found) -> None:
        if self.values.keys() == {"value"} and all(type(value) in PLAIN for _, value in found):
            # The usual shape: one scalar per row, in the one value column; only NaN
            # differs from itself, and is written as an empty cell.
            self.pending.extend(
                [(*head, *keys, value if value == value else None) for keys, value in found]
            )
            return
        fixed = len(self.fixed)
        for keys, value in found:
            try:
                cells = {self._place(c): cell for c, cell in value_cells(value).items()}
            except Exception as err:
                raise self.failed(head, value, err) from err
            row: list[Any] = [*head, *keys, *[None] * len(self.values)]
            for place, cell in cells.items():
                row[fixed + place] = _csv_cell(cell)
            self.pending.append(row)
            self.ragged = True

    def add_columns(self, head: Head, keys: list[Sequence[Any]], values: dict[str, Any]) -> None:
        rows = len(keys[0])
        if not rows:
            return
        width = len(self.values)
        places = [self._place(column) for column in values]
        cells: list[Iterable[Any]] = [repeat(None, rows) for _ in self.values]
        for place, array in zip(places, values.values()):
            cells[place] = _csv_cells(array)
        self.pending.extend(zip(*[repeat(cell, rows) for cell in head], *keys, *cells))
        if len(self.values) > width:  # the rows before are narrower
            self.ragged = True

    def discard(self) -> None:
        self.pending.clear()
        self.ready = b""
        self.ragged = False
        # Columns that only the dropped rows had never reach the header.
        kept = self.header - len(self.fixed) if self.header else 0
        for column in list(self.values)[kept:]:
            del self.values[column]

    def prepare(self) -> None:
        if not self.pending:
            return
        width = len(self.fixed) + len(self.values)
        out = io.StringIO()
        writer = csv.writer(out, lineterminator="\n")
        if not self.header:
            writer.writerow([*self.fixed, *self.values])
        rows = self.pending
        if self.ragged:  # rows made before a value column was added are narrower
            rows = [r if len(r) == width else [*r, *[None] * (width - len(r))] for r in rows]
        writer.writerows(rows)
        self.ready = _encoded(out.getvalue(), self.pending, self)
        self.pending.clear()
        self.ragged = False

    def commit(self) -> None:
        if not self.ready:
            return
        width = len(self.fixed) + len(self.values)
        if self.header and self.header != width:
            self._rewrite(width)
        self.header = width
        super().commit()

    def _rewrite(self, width: int) -> None:
        # The file stays open until the new one is in place: called again after an
        # interrupt, this does the same again.
        self.file.flush()
        temporary = self.path.with_name(self.path.name + ".partial")
        with open(self.path, newline="", encoding="utf-8") as old, \
                open(temporary, "w", newline="", encoding="utf-8") as new:
            reader = csv.reader(old)
            writer = csv.writer(new, lineterminator="\n")
            next(reader, None)
            writer.writerow([*self.fixed, *self.values])
            for row in reader:
                writer.writerow(row + [""] * (width - len(row)))
        os.replace(temporary, self.path)
        replaced, self.file = self.file, open(self.path, "ab")
        self.written = self.file.tell()
        replaced.close()

    def close(self) -> None:
        try:
            self.discard()
            if not self.header:  # a callback that never activated: an empty table
                self.file.write((",".join([*self.fixed, *self.values]) + "\n").encode())
                self.header = len(self.fixed)
        finally:
            self.file.close()


def _encoded(text: str, rows: Sequence[Any], report: _ReportFile) -> bytes:
    """``text`` as UTF-8; text that has no UTF-8 form (a lone surrogate) is an error
    that names the callback, the tick and the row's value."""
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError as err:
        for row in rows:
            line = row if isinstance(row, str) else repr(list(row))
            try:
                line.encode("utf-8")
            except UnicodeEncodeError:
                tick = json.loads(row)["tick"] if isinstance(row, str) else row[0]
                value = row if isinstance(row, str) else row[-1]
                raise report.failed((tick, None, None), value, err) from err
        raise


def _float(value: float) -> str:
    return float.__repr__(value) if math.isfinite(value) else json.dumps(value)


# JSON text of the plain scalars, without json.dumps's set-up for each of them.
_JSON: dict[type, Callable[[Any], str]] = {
    str: encode_basestring,
    int: int.__repr__,
    float: _float,
    bool: lambda value: "true" if value else "false",
    type(None): lambda value: "null",
}


def _json(value: Any) -> str:
    encode = _JSON.get(type(value))
    return encode(value) if encode is not None else json.dumps(value, ensure_ascii=False)


def _writes(value: Any) -> bool:
    try:
        _json(value)
    except Exception:
        return False
    return True


class _JsonlFile(_ReportFile):
    """Rows as JSON objects, one per line, as ``json.dumps`` writes them."""

    def __init__(self, path: Path, kind: Any, callback: Hashable) -> None:
        super().__init__(path, kind, callback)
        self.names = [f", {_json(c)}: " for c in self.keys]
        self.pending: list[str] = []

    def add(self, head: Head, found: Found) -> None:
        tick, event, trigger = head
        start = f'{{"tick": {_json(tick)}, "event": {_json(event)}, "trigger": {_json(trigger)}'
        for keys, value in found:
            parts = [start]
            try:
                for name, key in zip(self.names, keys):
                    parts.append(name)
                    parts.append(_json(key))
                if type(value) in PLAIN:
                    parts.append(', "value": ')
                    parts.append(_json(value))
                else:
                    for column, cell in value_cells(value).items():
                        parts.append(f", {_json(column)}: {_json(cell)}")
            except Exception as err:
                raise self.failed(head, value, err) from err
            parts.append("}")
            self.pending.append("".join(parts))

    def add_columns(self, head: Head, keys: list[Sequence[Any]], values: dict[str, Any]) -> None:
        tick, event, trigger = head
        rows = len(keys[0])
        if not rows:
            return
        start = f'{{"tick": {_json(tick)}, "event": {_json(event)}, "trigger": {_json(trigger)}'
        parts: list[Iterable[str]] = [repeat(start, rows)]
        try:
            for name, column in zip(self.names, keys):
                parts.append(repeat(name, rows))
                parts.append([_json(key) for key in column])
        except Exception as err:
            bad = next((key for column in keys for key in column if not _writes(key)), None)
            raise self.failed(head, bad, err) from err
        for name, array in values.items():
            parts.append(repeat(f", {_json(name)}: ", rows))
            parts.append(list(map(_json, array.tolist())))
        parts.append(repeat("}", rows))
        self.pending.extend(map("".join, zip(*parts)))

    def discard(self) -> None:
        self.pending.clear()
        self.ready = b""

    def prepare(self) -> None:
        if self.pending:
            self.ready = _encoded("\n".join(self.pending) + "\n", self.pending, self)
            self.pending.clear()


def _parquet_file(path: Path, kind: Any, callback: Hashable) -> Any:
    from sorvane_core.results.parquet import ParquetReport  # pyarrow: only when asked for

    return ParquetReport(path, kind, callback)


_WRITERS: dict[str, Callable[[Path, Any, Hashable], Any]] = {
    "csv": _CsvFile, "jsonl": _JsonlFile, "parquet": _parquet_file,
}
_PARQUET = REPORT_SUFFIXES["parquet"]


def check_writers(callbacks: Iterable[Any]) -> None:
    """Raise ImportError, before a run that writes reports, when a callback asks for
    a report whose writer needs an extra that is not installed."""
    if any("parquet" in report_files(cb) for cb in callbacks):
        from sorvane_core.results.parquet import import_pyarrow

        import_pyarrow()


def _check_targets(out: Path, files: Mapping[str, str]) -> None:
    """Raise if a report folder cannot be written where it would go."""
    if "parquet" in files:
        from sorvane_core.results.parquet import check_target

        check_target(out / files["parquet"])


# -- the folder of a run --------------------------------------------------------------


def check_folder(out: Path, overwrite: bool) -> None:
    """Raise, before anything is written, if ``out`` cannot take a new run: it is
    not a folder, it holds a run already (unless ``overwrite``), or it cannot
    be written."""
    if out.exists() and not out.is_dir():
        raise NotADirectoryError(f"output folder {str(out)!r} is a file, not a folder")
    record = out / RUN_RECORD
    if record.exists() and not overwrite:
        status = read_record(out).get("status", "unknown")
        raise FileExistsError(
            f"output folder {str(out)!r} already holds a run (its run.json says "
            f"{status!r}); choose another folder, or overwrite it (overwrite=True, "
            f"--overwrite), which removes that run's files and nothing else"
        )
    existing = out
    while not existing.exists() and existing != existing.parent:
        existing = existing.parent
    if not existing.is_dir() or not os.access(existing, os.W_OK | os.X_OK):
        raise PermissionError(f"cannot write into output folder {str(out)!r}")


def read_record(folder: Path) -> dict[str, Any]:
    try:
        found = json.loads((folder / RUN_RECORD).read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return {}
    return found if isinstance(found, dict) else {}


def run_files(record: Mapping[str, Any]) -> list[str]:
    """The files a run record says its run owns: ``files``, or for a record written
    before it listed them, run.json, the reports and the figures."""
    listed = record.get("files")
    if not isinstance(listed, list):
        listed = [RUN_RECORD]
        for cb in record.get("callbacks", ()):
            if isinstance(cb, dict):
                listed.extend(cb.get("reports", ()))
        listed.extend(record.get("figures", ()))
    # Plain names in the folder only: a record is never a way to reach elsewhere.
    return [
        name for name in dict.fromkeys(listed)
        if isinstance(name, str) and name not in ("", ".", "..") and Path(name).name == name
        and "\\" not in name
    ]


def remove_run(folder: Path) -> None:
    """Remove the files of the run recorded in ``folder`` (those its run.json lists),
    run.json last, and nothing else: of a listed Parquet report folder, its parts
    and temporary files, then the folder if that empties it; any other folder stays."""
    names = run_files(read_record(folder))
    if RUN_RECORD in names:  # last: a removal cut short still knows what is left
        names.remove(RUN_RECORD)
        names.append(RUN_RECORD)
    for name in names:
        path = folder / name
        if path.is_symlink() or not path.is_dir():
            path.unlink(missing_ok=True)
        elif name.endswith(_PARQUET):
            from sorvane_core.results.parquet import remove_parts

            remove_parts(path)


def write_record(folder: Path, data: Mapping[str, Any]) -> None:
    """Write ``folder/run.json`` atomically: a reader sees the old or the new one."""
    temporary = folder / (RUN_RECORD + ".partial")
    temporary.write_text(json.dumps(data, indent=2, default=str) + "\n", encoding="utf-8")
    os.replace(temporary, folder / RUN_RECORD)


def status_of(error: BaseException | None) -> str:
    """How a run ended, as its record says it."""
    if error is None:
        return "finished"
    if isinstance(error, GeneratorExit):
        return "closed"
    if isinstance(error, KeyboardInterrupt):
        return "interrupted"
    return "failed"


def error_text(error: BaseException | None) -> str | None:
    if error is None or isinstance(error, (GeneratorExit, KeyboardInterrupt)):
        return None
    return f"{type(error).__name__}: {error}"


# -- the observer --------------------------------------------------------------------


class Reports:
    """Observer that writes the reports of a run, and its run.json, into ``out``.

    The folder is checked when this is made (before the run): a folder that
    holds a run is refused unless ``overwrite``, and one that cannot be written
    is refused. ``metadata`` adds fields to run.json.
    """

    def __init__(
        self, out: str | os.PathLike[str], *, overwrite: bool = False,
        metadata: Mapping[str, Any] | None = None,
    ) -> None:
        self.out = Path(out)
        self.overwrite = overwrite
        self.metadata = dict(metadata or {})
        check_folder(self.out, overwrite)
        self._files: dict[Hashable, list[Any]] = {}  # callback name -> its open reports
        self._names: dict[str, Hashable] = {}  # file name -> callback name
        self._simulator: Any = None
        self._ticks = 0
        self._started_at = ""
        self._clock = 0.0
        self._recorded_at = 0.0
        self._block: dict[str, Any] | None = None  # the first record of the block under way
        self._moves: Any = None  # the migrations report, open while the run goes
        self._ticks_written = 0  # ticks whose rows are all in the files

    def started(self, simulator: Simulator, ticks: int) -> None:
        self._simulator, self._ticks = simulator, ticks
        self._started_at = datetime.now(UTC).isoformat(timespec="seconds")
        self._clock = time.perf_counter()
        # Every name is checked before any file is opened; a clash is then
        # recorded in run.json like any other failure.
        self.out.mkdir(parents=True, exist_ok=True)
        if (self.out / RUN_RECORD).exists():
            check_folder(self.out, self.overwrite)  # taken since the run was made
            remove_run(self.out)
        self._write_record("running", None)
        plans = [(cb, report_files(cb)) for cb in simulator.callbacks]
        for _, files in plans:
            _check_targets(self.out, files)
        self._claim(_MOVES, {"csv": MIGRATIONS})
        for cb, files in plans:
            self._claim(cb.name, files)
        self._moves = open(self.out / MIGRATIONS, "w", newline="", encoding="utf-8")
        self._moves.write(",".join(MIGRATION_COLUMNS) + "\n")
        self._moves.flush()
        for cb, files in plans:
            self._open(cb, files)
        self._write_record("running", None)

    def migrated(self, migration: Migration) -> None:
        """A service moved: its row goes to the migrations report at once, flushed."""
        if self._moves is not None:
            out = io.StringIO()
            csv.writer(out, lineterminator="\n").writerow(migration)
            self._moves.write(out.getvalue())
            self._moves.flush()

    def _claim(self, name: Hashable, files: dict[str, str]) -> None:
        for file in files.values():
            other = self._names.setdefault(file, name)
            if other is _MOVES and name is not _MOVES:
                raise ValueError(
                    f"callback {name!r} would write {file!r}, the report of the run's "
                    f"migrations; rename the callback"
                )
            if other != name:
                raise ValueError(
                    f"callbacks {other!r} and {name!r} would both write {file!r}; "
                    f"rename one of them"
                )

    def _open(self, cb: Any, files: dict[str, str]) -> list[Any]:
        kind = getattr(cb, "type", None)
        opened = self._files[cb.name] = [
            _WRITERS[k](self.out / f, kind, cb.name) for k, f in files.items()
        ]
        return opened

    def recorded(self, record: dict[str, Any], activations: Sequence[Activation]) -> None:
        if self._block is None:
            self._block = record
        for cb, by_event, ends in activations:
            files = self._files.get(cb.name)
            if files is None:  # added during the run
                planned = report_files(cb)
                _check_targets(self.out, planned)
                self._claim(cb.name, planned)
                files = self._open(cb, planned)
            if not files:
                continue
            name = cb.name
            trigger = record["activated_by"][name]
            head = (record["tick"], record["event"], getattr(trigger, "name", trigger))
            kind, data = getattr(cb, "type", None), record["data"][name]
            # Data handed out column by column is written so, without a row object per item.
            columns = report_columns(kind, data) if by_event else None
            if columns is not None:
                for file in files:
                    file.add_columns(head, *columns)
                continue
            found = pairs(kind, data, by_event, ends)
            for file in files:
                file.add(head, found)

    def step_done(self) -> None:
        # Ctrl-C in the middle of a tick's writes does not leave it half written:
        # they are finished (each exactly once), then the interrupt goes on.
        interrupted: BaseException | None = None
        while True:
            try:
                self._write_block()
                break
            except KeyboardInterrupt as exc:
                interrupted = exc
        if interrupted is not None:
            raise interrupted
        if time.perf_counter() - self._recorded_at > _RECORD_EVERY_S:
            self._write_record("running", None)

    def _write_block(self) -> None:
        """Write the rows of the block (a tick, or the end, with the events they
        triggered); called again after an interrupt, it does what is left."""
        # Every file's bytes first, so that a value that cannot be written stops
        # the tick before any file holds part of it.
        opened = [file for files in self._files.values() for file in files]
        for file in opened:
            file.prepare()
        for file in opened:
            file.commit()
        root = self._block
        if root is not None and root["event"] == "tick":
            self._ticks_written = root["tick"] + 1
        self._block = None

    def finished(self, simulator: Simulator, error: BaseException | None) -> None:
        # Every file is closed and run.json written whatever fails on the way;
        # a report that could not be written fails the run. Closing a Parquet report
        # writes its last part: Ctrl-C then is raised once all is closed.
        failure: Exception | None = None
        interrupted: KeyboardInterrupt | None = None
        for files in self._files.values():
            for file in files:
                try:
                    file.close()
                except Exception as exc:
                    failure = failure or exc
                except KeyboardInterrupt as exc:
                    interrupted = interrupted or exc
        if self._moves is not None:
            self._moves.close()
        cause = error if error is not None else failure or interrupted
        self._write_record(status_of(cause), cause)
        if interrupted is not None:
            raise interrupted
        if failure is not None:
            raise failure

    def _files_owned(self) -> list[str]:
        return [RUN_RECORD, *self._names]

    def _write_record(self, status: str, error: BaseException | None) -> None:
        sim = self._simulator
        self._recorded_at = time.perf_counter()
        data = {
            "status": status,
            "error": error_text(error),
            "sorvane_core": sorvane_core.__version__,
            "python": platform.python_version(),
            "platform": platform.platform(),
            "command": sys.argv,
            "mode": sim.mode,
            "ray_address": _ray_address(sim),
            "seed": sim.seed,
            "seed_given": sim.given_seed is not None,
            "ticks_asked": self._ticks,
            "ticks_run": self._ticks_written,
            "stopped": sim.stopped,
            "started_at": self._started_at,
            "wall_time_s": round(time.perf_counter() - self._clock, 6),
            "callbacks": [_describe(cb) for cb in sim.callbacks],
            "infrastructure": {
                "id": sim.infrastructure.id,
                "nodes": sim.infrastructure.number_of_nodes(),
                "links": sim.infrastructure.number_of_edges(),
            },
            "placements": _placement_sizes(sim),
            "reports": list(self._names),
            "files": self._files_owned(),
            "migrations": len(getattr(sim, "migrations", ())),
        }
        data.update(self.metadata)
        write_record(self.out, data)


def _describe(cb: Any) -> dict[str, Any]:
    kind = getattr(cb, "type", None)
    return {
        "name": cb.name,
        "type": getattr(kind, "value", kind),
        "activates_on": _listed(cb.activates_on),
        "periods": dict(getattr(cb, "_activates_every_n", {}) or {}),
        "remote": bool(getattr(cb, "remote", False)),
        "report_types": _listed(getattr(cb, "report_types", ())),
        "reports": list(report_files(cb).values()),
    }


def _listed(names: Any) -> list[Any]:
    return [names] if isinstance(names, str) else list(names)


def _placement_sizes(sim: Any) -> dict[str, int]:
    placed = [pl for pl in sim.placements.values() if pl.mapping]
    return {
        "applications": len(sim.placements),
        "placed_applications": len(placed),
        "services": sum(pl.application.number_of_nodes() for pl in sim.placements.values()),
        "placed_services": sum(len(pl.mapping) for pl in placed),
        "interactions": sum(pl.application.number_of_edges() for pl in sim.placements.values()),
    }


def _ray_address(sim: Any) -> str | None:
    if sim.mode != "emulation":
        return None
    ray = sys.modules.get("ray")
    if ray is not None and ray.is_initialized():
        try:
            return str(ray.get_runtime_context().gcs_address)
        except Exception:  # an older Ray, or a client connection: the address given
            pass
    return sim.address  # type: ignore[no-any-return]
