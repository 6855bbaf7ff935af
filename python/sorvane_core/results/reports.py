"""Reports streamed to files as a run goes, and the run's metadata.

For each callback whose ``report_types`` holds "csv" (or "jsonl"), a run with an
output folder writes ``<out>/<callback name>.csv`` (or ``.jsonl``): the rows of a
tick are written in one piece and flushed when the tick and the events it
triggered are done, so that memory stays bounded and a run that is killed leaves
every finished tick in its files, well formed. ``<out>/run.json`` describes the
run; it says "running" until the run ends.
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
from collections.abc import Callable, Hashable, Sequence
from datetime import UTC, datetime
from json.encoder import encode_basestring
from pathlib import Path
from typing import TYPE_CHECKING, Any

import sorvane_core
from sorvane_core.results.rows import (
    FIXED_COLUMNS,
    PLAIN,
    column,
    flat,
    is_scalar,
    json_text,
    key_columns,
    pairs,
    scalar,
    value_cells,
)
from sorvane_core.simulation.observers import Activation, Record

if TYPE_CHECKING:
    from sorvane_core.simulation.simulator import Simulator

SUFFIXES = {"csv": ".csv", "jsonl": ".jsonl"}


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
    return {kind: stem + SUFFIXES[kind] for kind in dict.fromkeys(kinds) if kind in SUFFIXES}


Head = tuple[Any, Any, Any]  # tick, event, trigger
Found = Sequence[tuple[tuple[Any, ...], Any]]  # (key cells, value) of each result value


class _CsvFile:
    """Rows as CSV. The header grows with new value columns: the file is then
    written anew (to a temporary file that replaces it), with empty cells in
    the new columns of the rows already written."""

    def __init__(self, path: Path, kind: Any) -> None:
        self.path = path
        self.fixed = [*FIXED_COLUMNS, *key_columns(kind)]
        self.values: dict[str, int] = {}  # value column -> its place after the fixed ones
        self.header = 0  # columns in the file's header; 0 before the first rows
        self.pending: list[Sequence[Any]] = []
        self.ragged = False
        self.file = open(path, "w", newline="", encoding="utf-8")

    def _place(self, column: str) -> int:
        place = self.values.get(column)
        if place is None:
            place = self.values[column] = len(self.values)
        return place

    def add(self, head: Head, found: Found) -> None:
        if self.values.keys() == {"value"} and all(type(value) in PLAIN for _, value in found):
            # The usual shape: one scalar per row, in the one value column.
            self.pending.extend([(*head, *keys, value) for keys, value in found])
            return
        fixed = len(self.fixed)
        for keys, value in found:
            cells = {self._place(c): cell for c, cell in value_cells(value).items()}
            row: list[Any] = [*head, *keys, *[""] * len(self.values)]
            for place, cell in cells.items():
                row[fixed + place] = cell
            self.pending.append(row)
            self.ragged = True  # rows already pending may be narrower

    def flush(self) -> None:
        if not self.pending:
            return
        width = len(self.fixed) + len(self.values)
        out = io.StringIO()
        writer = csv.writer(out, lineterminator="\n")
        if self.header != width:
            if self.header:
                self._rewrite(width)
            else:
                writer.writerow([*self.fixed, *self.values])
            self.header = width
        if self.ragged:
            self.pending = [
                r if len(r) == width else [*r, *[""] * (width - len(r))] for r in self.pending
            ]
            self.ragged = False
        writer.writerows(self.pending)
        self.pending.clear()
        self.file.write(out.getvalue())
        self.file.flush()

    def _rewrite(self, width: int) -> None:
        self.file.close()
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
        self.file = open(self.path, "a", newline="", encoding="utf-8")

    def close(self) -> None:
        try:
            self.flush()
            if not self.header:  # a callback that never activated: an empty table
                self.file.write(",".join([*self.fixed, *self.values]) + "\n")
                self.header = len(self.fixed)
        finally:
            self.file.close()


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
    return encode(value) if encode is not None else json_text(value)


class _JsonlFile:
    """Rows as JSON objects, one per line, as ``json.dumps`` writes them."""

    def __init__(self, path: Path, kind: Any) -> None:
        self.path = path
        self.keys = [f", {_json(c)}: " for c in key_columns(kind)]
        self.pending: list[str] = []
        self.file = open(path, "w", encoding="utf-8")

    def add(self, head: Head, found: Found) -> None:
        tick, event, trigger = head
        start = f'{{"tick": {_json(tick)}, "event": {_json(event)}, "trigger": {_json(trigger)}'
        for keys, value in found:
            parts = [start]
            for name, key in zip(self.keys, keys):
                parts.append(name)
                parts.append(_json(key))
            if type(value) in PLAIN or is_scalar(value):
                parts.append(', "value": ')
                parts.append(_json(scalar(value)))
            elif flat(value):
                for k, v in value.items():
                    parts.append(f", {_json(column(k))}: {_json(scalar(v))}")
            else:
                parts.append(', "value": ')
                parts.append(_json(json_text(value)))
            parts.append("}")
            self.pending.append("".join(parts))

    def flush(self) -> None:
        if self.pending:
            self.pending.append("")
            self.file.write("\n".join(self.pending))
            self.pending.clear()
            self.file.flush()

    def close(self) -> None:
        try:
            self.flush()
        finally:
            self.file.close()


_WRITERS = {"csv": _CsvFile, "jsonl": _JsonlFile}


class Reports:
    """Observer that writes the reports of a run, and its run.json, into ``out``."""

    def __init__(self, out: str | os.PathLike[str]) -> None:
        self.out = Path(out)
        self._files: dict[Hashable, list[Any]] = {}  # callback name -> its open reports
        self._names: dict[str, Hashable] = {}  # file name -> callback name
        self._simulator: Any = None
        self._ticks = 0
        self._started_at = ""
        self._clock = 0.0

    def started(self, simulator: Simulator, ticks: int) -> None:
        self._simulator, self._ticks = simulator, ticks
        self._started_at = datetime.now(UTC).isoformat(timespec="seconds")
        self._clock = time.perf_counter()
        # Every name is checked before any file is opened; a clash is then
        # recorded in run.json like any other failure.
        self.out.mkdir(parents=True, exist_ok=True)
        plans = [(cb, report_files(cb)) for cb in simulator.callbacks]
        for cb, files in plans:
            self._claim(cb.name, files)
        for cb, files in plans:
            self._open(cb, files)
        self._write_metadata("running", None)

    def _claim(self, name: Hashable, files: dict[str, str]) -> None:
        for file in files.values():
            other = self._names.setdefault(file, name)
            if other != name:
                raise ValueError(
                    f"callbacks {other!r} and {name!r} would both write {file!r}; "
                    f"rename one of them"
                )

    def _open(self, cb: Any, files: dict[str, str]) -> list[Any]:
        kind = getattr(cb, "type", None)
        opened = self._files[cb.name] = [_WRITERS[k](self.out / f, kind) for k, f in files.items()]
        return opened

    def recorded(self, record: Record, activations: Sequence[Activation]) -> None:
        sim = self._simulator
        for cb, by_event in activations:
            files = self._files.get(cb.name)
            if files is None:  # added during the run
                planned = report_files(cb)
                self._claim(cb.name, planned)
                files = self._open(cb, planned)
            if not files:
                continue
            name = cb.name
            trigger = record["activated_by"][name]
            head = (record["tick"], record["event"], getattr(trigger, "name", trigger))
            found = pairs(getattr(cb, "type", None), record["data"][name], by_event,
                          sim.placements, sim.infrastructure)
            for file in files:
                file.add(head, found)

    def step_done(self) -> None:
        for files in self._files.values():
            for file in files:
                file.flush()

    def finished(self, simulator: Simulator, error: BaseException | None) -> None:
        # Every file is closed and run.json written whatever fails on the way;
        # a report that could not be written fails the run.
        failure: Exception | None = None
        for files in self._files.values():
            for file in files:
                try:
                    file.close()
                except Exception as exc:
                    failure = failure or exc
        if isinstance(error, GeneratorExit):
            self._write_metadata("closed", None)
        else:
            cause = error if error is not None else failure
            self._write_metadata("failed" if cause is not None else "finished", cause)
        if failure is not None:
            raise failure

    def _write_metadata(self, status: str, error: BaseException | None) -> None:
        sim = self._simulator
        data = {
            "status": status,
            "error": None if error is None else f"{type(error).__name__}: {error}",
            "sorvane_core": sorvane_core.__version__,
            "python": platform.python_version(),
            "platform": platform.platform(),
            "command": sys.argv,
            "mode": sim.mode,
            "ray_address": _ray_address(sim),
            "seed": sim.seed,
            "seed_given": sim.given_seed is not None,
            "ticks_asked": self._ticks,
            "ticks_run": sim.ticks_run,
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
        }
        temporary = self.out / "run.json.partial"
        temporary.write_text(json.dumps(data, indent=2, default=str) + "\n", encoding="utf-8")
        os.replace(temporary, self.out / "run.json")


def _describe(cb: Any) -> dict[str, Any]:
    kind = getattr(cb, "type", None)
    return {
        "name": cb.name,
        "type": getattr(kind, "value", kind),
        "activates_on": list(cb.activates_on),
        "periods": dict(getattr(cb, "_activates_every_n", {}) or {}),
        "remote": bool(getattr(cb, "remote", False)),
        "report_types": list(getattr(cb, "report_types", ())),
        "reports": list(report_files(cb).values()),
    }


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
