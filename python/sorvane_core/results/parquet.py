"""Parquet reports: a folder of parts, each a Parquet file of whole ticks.

A callback with "parquet" among its report types writes ``<out>/<stem>.parquet/``,
a folder of parts ``part-000000.parquet``, ``part-000001.parquet``, ... that
:func:`read` (and ``read_report``) reads in that order, as one table. A Parquet
file can be read only once its footer is written, so the rows of finished ticks
wait in memory and go out as a part once they reach about 100,000 rows
(``PART_ROWS``) or a few seconds after the last part (``PART_EVERY_S``), and the
rest when the run ends, however it ends. Each part holds whole ticks and is
written under a temporary name (``part-NNNNNN.parquet.partial``), then renamed into
place: a run that is killed leaves every part already written whole and readable,
and loses only the finished ticks of its last few seconds.

The columns are those of the CSV report: ``tick``, ``event``, ``trigger``, the key
columns of the callback's type, the value columns. A column whose values share one
type keeps it: int64, float64, bool or string; None is null, and NaN stays NaN in
a float column. Integers beside floats make a float64 column when every integer is
exact in a float. A column that mixes other types, or holds integers beyond int64,
becomes a string column of the same text the CSV holds (floats as Python's repr,
NaN as null, booleans ``True`` and ``False``, other keys as their ``str``); the
field of integers beyond int64 is marked, so that :func:`read` gives them back as
Python ints. A part keeps the column types of the parts before it where its values
allow (None in an int column, integers in a float or string column); where not,
:func:`read` promotes: int64 and float64 to float64, anything else to that text.

Data handed out column by column (see ``rows.report_columns``) becomes the part's
columns from its arrays, without a Python object per row.

pyarrow comes with ``pip install 'sorvane_core[analysis]'`` and is imported only
here, when a Parquet report is written or read.
"""

from __future__ import annotations

import os
import re
import time
from collections.abc import Hashable, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from itertools import chain
from pathlib import Path
from typing import TYPE_CHECKING, Any

from sorvane_core.results.reports import Head, UnwritableValueError
from sorvane_core.results.rows import (
    FIXED_COLUMNS,
    PLAIN,
    Found,
    is_scalar,
    key_columns,
    scalar,
    value_cells,
)
from sorvane_core.utils.extras import ANALYSIS

if TYPE_CHECKING:
    import pandas

PART_ROWS = 100_000  # buffered rows that make a part
PART_EVERY_S = 5.0  # seconds after the last part that make one, whatever the rows

PART = re.compile(r"part-(\d+)\.parquet")
PARTIAL = re.compile(r"part-\d+\.parquet\.partial")

# The field metadata of a string column of integers beyond int64.
_INTEGERS = {b"sorvane_core": b"integers"}

_EXACT = 2**53  # up to here a float holds every integer
_INT64 = (-(2**63), 2**63 - 1)

# The kinds of a column, what its cells share: "null" (None alone), "bool", "int"
# (int64, every integer exact in a float), "long" (int64, some not), "big"
# (integers beyond int64, written as text), "float", "str", and "text" (mixed
# types, written as the CSV's text).


def import_pyarrow() -> tuple[Any, Any]:
    """pyarrow and pyarrow.parquet, or an ImportError naming the extra."""
    try:
        import pyarrow
        import pyarrow.parquet
    except ImportError:
        raise ImportError(f"Parquet reports need pyarrow: {ANALYSIS}") from None
    return pyarrow, pyarrow.parquet


def part_name(number: int) -> str:
    return f"part-{number:06d}.parquet"


def parts_of(folder: Path) -> list[Path]:
    """The parts of a report folder, in their order (temporary files left out)."""
    found = []
    for path in folder.iterdir():
        match = PART.fullmatch(path.name)
        if match is not None and path.is_file():
            found.append((int(match.group(1)), path))
    return [path for _, path in sorted(found)]


def _own(path: Path) -> bool:
    return PART.fullmatch(path.name) is not None or PARTIAL.fullmatch(path.name) is not None


def check_target(path: Path) -> None:
    """Raise if a report folder cannot be written at ``path``: something that is not
    a folder is there, or a folder holding parts that no run recorded (they would
    be read as part of the new report)."""
    if path.exists() and not path.is_dir():
        raise FileExistsError(
            f"{str(path)!r} is in the way of a Parquet report, which is a folder; move it "
            f"or choose another output folder"
        )
    if path.is_dir() and any(_own(p) for p in path.iterdir()):
        raise FileExistsError(
            f"report folder {str(path)!r} holds parts that the folder's run.json does not "
            f"list; remove them or choose another output folder"
        )


def remove_parts(folder: Path) -> None:
    """Remove the parts and temporary files of a report folder, then the folder if
    that empties it; any other file stays, and the folder with it."""
    for path in folder.iterdir():
        if _own(path) and (path.is_symlink() or path.is_file()):
            path.unlink(missing_ok=True)
    try:
        folder.rmdir()
    except OSError:  # not empty: files of someone else's
        pass


# -- writing ---------------------------------------------------------------------

# Statistics, which nothing here reads, are not written; only columns of text that
# repeat (the event, the trigger, keys with few distinct values) are written with a
# dictionary: numbers and unique keys seldom repeat, and trying one costs more than
# the rest of their writing.
_OPTIONS = {"write_statistics": False}
_TEXT_KINDS = ("str", "text", "big")

_WRITER: ThreadPoolExecutor | None = None


def _writer() -> ThreadPoolExecutor:
    """The threads that write the parts of every report: pyarrow lets the run go on
    while it encodes and compresses. A report has one part in flight at a time, so
    its parts are written in order; parts of different reports are written side by
    side, two at least (the encoder is what a run with large reports waits for)."""
    global _WRITER
    if _WRITER is None:
        workers = min(4, max(2, os.cpu_count() or 2))
        _WRITER = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="sorvane-parquet")
    return _WRITER


def _write(table: Any, final: Path, texts: list[str]) -> None:
    """Write a part under a temporary name, then put it in place."""
    _, pq = import_pyarrow()
    temporary = final.with_name(final.name + ".partial")
    pq.write_table(table, temporary, use_dictionary=texts, **_OPTIONS)
    os.replace(temporary, final)



class _Same:
    """A column of ``rows`` times one cell: the tick, event and trigger of an activation."""

    __slots__ = ("cell", "rows")

    def __init__(self, cell: Any, rows: int) -> None:
        self.cell = cell
        self.rows = rows


class _Keys:
    """The key cells of column data: a list that the data's layout owns and never
    changes, handed out again tick after tick, so that what is learnt of it (its
    plain cells, its kind, its Arrow array) is learnt once."""

    __slots__ = ("cells",)

    def __init__(self, cells: Sequence[Any]) -> None:
        self.cells = cells


class _Known:
    """What a report learnt of the key lists it was given, by identity (holding them,
    so that an identity is not reused while known)."""

    LIMIT = 64

    def __init__(self) -> None:
        self.lists: dict[int, tuple[Sequence[Any], list[Any], str]] = {}
        self.arrays: dict[tuple[int, str], tuple[Sequence[Any], Any]] = {}
        self.distinct: dict[int, int] = {}  # distinct cells of a list learnt

    def learn(self, keys: _Keys, check: Any) -> tuple[list[Any], str]:
        found = self.lists.get(id(keys.cells))
        if found is None or found[0] is not keys.cells:
            plain = _plain(list(keys.cells))
            kind = _kind(plain)
            if kind in ("str", "text"):
                check(plain)
            if len(self.lists) >= self.LIMIT:
                self.lists.clear()
                self.arrays.clear()
                self.distinct.clear()
            found = self.lists[id(keys.cells)] = (keys.cells, plain, kind)
            try:
                self.distinct[id(keys.cells)] = len(set(plain))
            except TypeError:  # unhashable cells: as many as there are
                self.distinct[id(keys.cells)] = len(plain)
        return found[1], found[2]

    def repeats(self, pieces: list[tuple[int, Any]]) -> bool:
        """Whether a column of these pieces repeats its text enough for a dictionary
        to pay: each piece one cell repeated, or a key list with few distinct keys."""
        for _, piece in pieces:
            if isinstance(piece, _Same):
                continue
            if not isinstance(piece, _Keys) or (
                    self.distinct.get(id(piece.cells), len(piece.cells)) * 4
                    > len(piece.cells)):
                return False
        return True

    def arrow(self, pa: Any, keys: _Keys, kind: str) -> Any:
        key = (id(keys.cells), kind)
        found = self.arrays.get(key)
        if found is None or found[0] is not keys.cells:
            known = self.lists.get(id(keys.cells))
            plain = known[1] if known is not None and known[0] is keys.cells \
                else _plain(list(keys.cells))
            cells = [_text(cell) for cell in plain] if kind in ("text", "big") else plain
            found = self.arrays[key] = (keys.cells, pa.array(cells, type=_arrow_type(pa, kind)))
        return found[1]


class _Chunk:
    """The rows of one activation, column by column: a list of cells, a numpy array,
    one cell repeated (:class:`_Same`) or the key list of column data
    (:class:`_Keys`) per column; ``kinds`` once the tick is done."""

    __slots__ = ("tick", "rows", "columns", "kinds")

    def __init__(self, tick: Any, rows: int, columns: dict[str, Any]) -> None:
        self.tick = tick
        self.rows = rows
        self.columns = columns
        self.kinds: dict[str, str] = {}


class _Tick:
    __slots__ = ("chunks", "rows")

    def __init__(self, chunks: list[_Chunk]) -> None:
        self.chunks = chunks
        self.rows = sum(chunk.rows for chunk in chunks)


class _Batch:
    """Finished ticks not yet in a part, the number of the part they will make,
    and the column kinds of the parts written before it."""

    __slots__ = ("number", "types", "ticks", "rows")

    def __init__(self, number: int, types: dict[str, str]) -> None:
        self.number = number
        self.types = types
        self.ticks: list[_Tick] = []
        self.rows = 0


def _is_array(cells: Any) -> bool:
    return hasattr(cells, "dtype") and hasattr(cells, "tolist")


def _plain(cells: list[Any]) -> list[Any]:
    """Cells as plain scalars: numpy's as the Python scalar they hold, other keys
    (a tuple node id, say) as their text in the CSV."""
    if set(map(type, cells)) <= PLAIN:
        return cells
    return [
        cell if type(cell) in PLAIN else scalar(cell) if is_scalar(cell) else str(cell)
        for cell in cells
    ]


def _int_kind(low: int, high: int) -> str:
    if -_EXACT <= low and high <= _EXACT:
        return "int"
    if _INT64[0] <= low and high <= _INT64[1]:
        return "long"
    return "big"


_ONE_TYPE = {bool: "bool", float: "float", str: "str"}


def _kind(cells: Any) -> str:
    """What the cells of a column share: a numpy array, or a list of plain scalars."""
    if _is_array(cells):
        kind = cells.dtype.kind
        if kind in "iu":
            return _int_kind(int(cells.min()), int(cells.max()))
        return {"b": "bool", "f": "float"}.get(kind, "str")
    types = set(map(type, cells))
    types.discard(type(None))
    if not types:
        return "null"
    if types == {int}:
        present = [cell for cell in cells if cell is not None]
        return _int_kind(min(present), max(present))
    if len(types) == 1:
        return _ONE_TYPE[types.pop()]
    if types == {int, float}:
        ints = [cell for cell in cells if type(cell) is int]
        return "float" if _int_kind(min(ints), max(ints)) == "int" else "text"
    return "text"


def _unify(kinds: set[str]) -> str:
    """The kind of a column whose pieces are of ``kinds``."""
    kinds = kinds - {"null"}
    if not kinds:
        return "null"
    if len(kinds) == 1:
        return kinds.pop()
    if kinds <= {"int", "long"}:
        return "long"
    if kinds <= {"int", "float"}:
        return "float"
    if kinds <= {"int", "long", "big"}:
        return "big"
    return "text"


def _text(cell: Any) -> str | None:
    """A cell as the CSV report writes it; None (and NaN) as null."""
    if cell is None or type(cell) is str:
        return cell
    if type(cell) is float:
        return None if cell != cell else float.__repr__(cell)
    return str(cell)


def _arrow_type(pa: Any, kind: str) -> Any:
    if kind == "null":
        return pa.null()
    if kind == "bool":
        return pa.bool_()
    if kind in ("int", "long"):
        return pa.int64()
    if kind == "float":
        return pa.float64()
    return pa.string()


_NUMPY_TYPES = {"bool": "bool", "int": "int64", "long": "int64", "float": "float64"}


def _column(pa: Any, pieces: list[tuple[int, Any]], kind: str, known: _Known) -> Any:
    """One column of a part, of ``kind``, from its pieces: (rows, cells or None), each
    made an Arrow array on its own (a repeated cell, a known key list and a numpy
    array without a Python object per row), then joined."""
    rows = sum(count for count, _ in pieces)
    if kind == "null":
        return pa.nulls(rows)
    arrow_type = _arrow_type(pa, kind)
    textual = kind in ("text", "big")
    arrays = []
    for count, piece in pieces:
        if piece is None:
            arrays.append(pa.nulls(count, type=arrow_type))
        elif isinstance(piece, _Same):
            cell = _text(piece.cell) if textual else piece.cell
            arrays.append(pa.repeat(pa.scalar(cell, type=arrow_type), count))
        elif isinstance(piece, _Keys):
            arrays.append(known.arrow(pa, piece, kind))
        elif _is_array(piece) and kind in _NUMPY_TYPES:
            arrays.append(pa.array(piece.astype(_NUMPY_TYPES[kind], copy=False)))
        else:
            cells = piece.tolist() if _is_array(piece) else piece
            if textual:
                cells = [_text(cell) for cell in cells]
            arrays.append(pa.array(cells, type=arrow_type))
    return pa.concat_arrays(arrays) if len(arrays) != 1 else arrays[0]


class ParquetReport:
    """A report as a folder of Parquet parts; the protocol of the CSV and JSON-lines
    reports (``add``, ``add_columns``, ``prepare``, ``commit``, ``discard``,
    ``close``), with finished ticks held until they make a part."""

    def __init__(self, path: Path, kind: Any, callback: Hashable) -> None:
        import_pyarrow()
        self.path = path
        self.callback = callback
        self.keys = key_columns(kind)
        check_target(path)
        path.mkdir(exist_ok=True)
        self.pending: list[_Chunk] = []  # the rows of the tick under way
        self.ready: _Tick | None = None  # the rows of the finished tick, checked
        self.batch = _Batch(0, {})
        self.since = time.monotonic()  # when the last part was written
        self.known = _Known()
        self.writing: Future[None] | None = None  # the part in a writer thread

    def failed(self, head: Head, value: Any, reason: Any) -> UnwritableValueError:
        return UnwritableValueError(self.callback, head[0], value, self.path.name, reason)

    def _start(self, head: Head, rows: int) -> dict[str, Any]:
        return {name: _Same(cell, rows) for name, cell in zip(FIXED_COLUMNS, head)}

    def add(self, head: Head, found: Found) -> None:
        rows = len(found)
        if not rows:
            return
        columns = self._start(head, rows)
        if self.keys:
            for name, key_cells in zip(self.keys, zip(*[keys for keys, _ in found])):
                columns[name] = list(key_cells)
        values = [value for _, value in found]
        if set(map(type, values)) <= PLAIN:
            columns["value"] = values
        else:
            for row, value in enumerate(values):
                try:
                    cells_of_row = value_cells(value)
                except Exception as err:
                    raise self.failed(head, value, err) from err
                for name, cell in cells_of_row.items():
                    cells = columns.get(name)
                    if cells is None:
                        cells = columns[name] = [None] * rows
                    cells[row] = cell
        self.pending.append(_Chunk(head[0], rows, columns))

    def add_columns(self, head: Head, keys: list[Sequence[Any]], values: dict[str, Any]) -> None:
        rows = len(keys[0])
        if not rows:
            return
        columns = self._start(head, rows)
        for name, key_cells in zip(self.keys, keys):
            cells: Any = key_cells
            if _is_array(cells):
                columns[name] = cells.copy() if cells.dtype.kind in "biufU" else cells.tolist()
            else:  # the layout's own list, never changed: kept as it is
                columns[name] = _Keys(cells)
        # Copied: the part is written seconds later, and must hold what was measured.
        columns.update({name: array.copy() for name, array in values.items()})
        self.pending.append(_Chunk(head[0], rows, columns))

    def discard(self) -> None:
        self.pending = []
        self.ready = None

    def prepare(self) -> None:
        """Check the rows of the finished tick: their cells, their kinds, and text that
        has a UTF-8 form; may fail, and then nothing of the tick is kept."""
        if not self.pending:
            return
        for chunk in self.pending:
            for name, cells in chunk.columns.items():
                if isinstance(cells, _Keys):
                    chunk.kinds[name] = self.known.learn(
                        cells, lambda plain, chunk=chunk: self._check_text(chunk, plain))[1]
                    continue
                if isinstance(cells, _Same):
                    cells.cell = _plain([cells.cell])[0]
                    sample: Any = [cells.cell]
                elif not _is_array(cells):
                    sample = cells = chunk.columns[name] = _plain(cells)
                else:
                    sample = cells
                kind = chunk.kinds[name] = _kind(sample)
                if kind in ("str", "text"):
                    self._check_text(chunk, sample)
        self.ready = _Tick(self.pending)
        self.pending = []

    def _check_text(self, chunk: _Chunk, cells: Any) -> None:
        texts = cells.tolist() if _is_array(cells) else [c for c in cells if type(c) is str]
        try:
            "".join(texts).encode("utf-8")
        except UnicodeEncodeError as err:
            for text in texts:
                try:
                    text.encode("utf-8")
                except UnicodeEncodeError:
                    raise self.failed((chunk.tick, None, None), text, err) from err
            raise

    def commit(self) -> None:
        """Add the finished tick to the batch, once: called again after an interrupt,
        it does not add it twice; write a part when the batch is due."""
        ready = self.ready
        if ready is not None:
            ticks = self.batch.ticks
            if not ticks or ticks[-1] is not ready:
                ticks.append(ready)
                self.batch.rows += ready.rows
            self.ready = None
        batch = self.batch
        if batch.ticks and (
            batch.rows >= PART_ROWS or time.monotonic() - self.since >= PART_EVERY_S
        ):
            self._write_part()

    def _write_part(self) -> None:
        """Hand the batch over as the next part. The table is made here, from what
        was measured; the writing goes on in a writer thread, while the run goes
        on. Called again after an interrupt, it hands the same part over again:
        the batch moves on in one step, once the part is handed over."""
        batch = self.batch
        if not batch.ticks:
            return
        self._wait()  # one part of this report in flight at a time, in order
        pa, _ = import_pyarrow()
        table, types = self._table(pa, batch)
        final = self.path / part_name(batch.number)
        self.writing = _writer().submit(_write, table, final, self.dictionary)
        self.batch = _Batch(batch.number + 1, types)
        self.since = time.monotonic()

    def _wait(self) -> None:
        """Wait for the part in flight; its failure (a full disk, say) is raised here."""
        writing, self.writing = self.writing, None
        if writing is not None:
            try:
                writing.result()
            except BaseException:
                if not writing.done():  # an interrupt while waiting: wait again later
                    self.writing = writing
                raise

    def _table(self, pa: Any, batch: _Batch) -> tuple[Any, dict[str, str]]:
        chunks = [chunk for tick in batch.ticks for chunk in tick.chunks]
        # Every column the report has had, in the order they came, in every part.
        names = list(dict.fromkeys(chain(
            FIXED_COLUMNS, self.keys, batch.types, *(chunk.columns for chunk in chunks))))
        types = dict(batch.types)
        fields, arrays = [], []
        dictionary: list[str] = []  # the columns of text worth a dictionary
        self.dictionary = dictionary
        for name in names:
            kinds = {chunk.kinds.get(name, "null") for chunk in chunks}
            if name in batch.types:
                kinds.add(batch.types[name])
            kind = types[name] = _unify(kinds)
            pieces = [(chunk.rows, chunk.columns.get(name)) for chunk in chunks]
            arrays.append(_column(pa, pieces, kind, self.known))
            if kind in _TEXT_KINDS and self.known.repeats(pieces):
                dictionary.append(name)
            metadata = _INTEGERS if kind == "big" else None
            fields.append(pa.field(name, _arrow_type(pa, kind), metadata=metadata))
        return pa.Table.from_arrays(arrays, schema=pa.schema(fields)), types

    def close(self) -> None:
        """Drop the tick under way and write the finished ticks still held; Ctrl-C
        meanwhile does not cut that write short, and is raised once it is done."""
        self.discard()
        interrupted: BaseException | None = None
        while True:
            try:
                self._write_part()
                self._wait()
                break
            except KeyboardInterrupt as exc:
                interrupted = exc
        if interrupted is not None:
            raise interrupted


# -- reading ---------------------------------------------------------------------


def _stored_kind(pc: Any, field: Any, column: Any) -> str:
    """The kind of a column read from a part."""
    pa_type = field.type
    name = str(pa_type)
    if name == "null":
        return "null"
    if name == "bool":
        return "bool"
    if name.startswith(("int", "uint")):
        if column.null_count == len(column):
            return "null"
        bounds = pc.min_max(column)
        return _int_kind(bounds["min"].as_py(), bounds["max"].as_py())
    if name in ("float", "double", "halffloat"):
        return "float"
    if name in ("string", "large_string"):
        return "big" if (field.metadata or {}) == _INTEGERS else "str"
    return name  # another tool's type: kept as it is where every part has it


def _as_kind(pa: Any, column: Any, kind: str, target: str, target_type: Any) -> Any:
    """A column of a part, of ``kind``, as ``target``: the kind of the column in the
    whole report, of arrow type ``target_type``."""
    if column.type == target_type:
        return column
    if kind == target or kind == "null" or target in ("int", "long", "float"):
        return column.cast(target_type)
    if kind in ("str", "big"):  # another tool's large_string, say, is text as well
        return column.cast(target_type)
    if kind in ("bool", "float"):  # as the CSV writes them, which arrow's cast does not
        return pa.array([_text(cell) for cell in column.to_pylist()], pa.string())
    return column.cast(pa.string())


def read(pandas_module: Any, path: Path) -> pandas.DataFrame | None:
    """A Parquet report (a folder of parts, or one Parquet file) as a table with the
    values written, the parts' column types promoted as the module docstring says;
    None for a folder without parts."""
    pa, pq = import_pyarrow()
    import pyarrow.compute as pc

    parts = parts_of(path) if path.is_dir() else [path]
    tables = []
    for part in parts:
        with pq.ParquetFile(part) as file:
            tables.append(file.read())
    if not tables:
        return None
    names = list(dict.fromkeys(name for table in tables for name in table.column_names))
    rows = [table.num_rows for table in tables]
    found: dict[str, Any] = {}
    for name in names:
        pieces: list[tuple[str, Any] | None] = []
        for table in tables:
            place = table.schema.get_field_index(name)
            if place < 0:
                pieces.append(None)
            else:
                column = table.column(place)
                pieces.append((_stored_kind(pc, table.schema.field(place), column), column))
        present = [piece for piece in pieces if piece is not None]
        target = _unify({kind for kind, _ in present})
        # Another tool's type, the same in every part, stays as it is.
        target_type = _arrow_type(pa, target) if target in _KNOWN else present[0][1].type
        chunks = [
            pa.nulls(count, target_type) if piece is None
            else _as_kind(pa, piece[1], piece[0], target, target_type)
            for count, piece in zip(rows, pieces)
        ]
        merged = pa.chunked_array(
            [chunk for part in chunks for chunk in getattr(part, "chunks", [part])],
            type=target_type,
        )
        found[name] = _series(pandas_module, merged, target)
    return pandas_module.DataFrame(found)


_KNOWN = ("null", "bool", "int", "long", "float", "str", "text", "big")


def _series(pandas_module: Any, column: Any, kind: str) -> Any:
    """A column as pandas reads the same column of the CSV report: integers whole,
    a column without a value as floats."""
    if kind == "big":
        return pandas_module.Series(
            [None if cell is None else int(cell) for cell in column.to_pylist()], dtype=object)
    if kind == "null":
        return pandas_module.Series([float("nan")] * len(column), dtype="float64")
    if kind == "long" and column.null_count:  # floats would round them
        return pandas_module.Series(column.to_pylist(), dtype=object)
    return column.to_pandas()
