"""Tidy rows from callback results: one row per result value of an activation.

A row holds ``tick``, ``event``, ``trigger`` (what activated the callback), the
key columns of the callback's type, then the value: a scalar in ``value``, a flat
mapping of scalars in one column per key, anything else as JSON text in
``value``. Interaction and link results, which the collectors key by text, get
their real source and target from the ends taken when the value was recorded.

The value columns of a result come from one function, :func:`value_cells`, for
the CSV and JSON-lines reports and for the tables made from the history alike.
Cells are plain Python scalars: ``str``, ``int``, ``float``, ``bool`` or None;
numpy's scalars become the Python scalar they hold.

JSON text (a value that is neither a scalar nor a flat mapping) is written so that
it can be read back: a mapping whose keys are all text becomes a JSON object; a
mapping with any other key becomes a list of ``[key, value]`` pairs (so
``{(0, 1): 2}`` is ``[[[0, 1], 2]]``: no key is lost or merged); tuples become
lists, sets sorted lists, numpy arrays nested lists; other objects their ``str``.

Data that hands out its rows column by column (the array-backed mappings of the
models, with a ``_report_columns()`` method) is read so by :func:`report_columns`,
in the same columns and cells that the rows made one by one would have.
"""

from __future__ import annotations

import json
import numbers
from collections.abc import Hashable, Iterator, Mapping, Sequence
from typing import Any

from sorvane_core.utils.types import EDGE_COLUMNS, KEY_COLUMNS

FIXED_COLUMNS = ("tick", "event", "trigger")
TAKEN = frozenset(FIXED_COLUMNS).union(*KEY_COLUMNS.values())

PLAIN = frozenset({str, int, float, bool, type(None)})  # scalars that need no conversion

Found = list[tuple[tuple[Any, ...], Any]]  # (key cells, value) of each result value

# Key cells, one sequence per key column, and value column name -> 1-d numpy array.
ColumnData = tuple[list[Sequence[Any]], dict[str, Any]]

# The numpy kinds whose ``item()`` is a plain scalar: bool, int, unsigned, float, text.
COLUMN_KINDS = frozenset("biufU")


def key_columns(kind: Any) -> tuple[str, ...]:
    """The key columns of a callback type (None and unknown types have none)."""
    try:
        return KEY_COLUMNS.get(kind, ())
    except TypeError:  # an unhashable type: no collector shape
        return ()


def keyed_values(kind: Any, data: Any, ends: Any = None) -> Found:
    """(key cells, value) for each result value of an activation by an event.

    ``ends`` are the ends of the edges walked, taken when the value was recorded:
    for a link callback, key text -> (source, target); for an interaction
    callback, application id -> that table. A key they do not know gets no ends.
    """
    columns = key_columns(kind)
    if not columns:
        return [((), data)]
    if not isinstance(data, Mapping):  # not a collector's result: one row as it is
        return [((None,) * len(columns), data)]
    nested = columns[0] == "application" and len(columns) > 1
    by_edge = columns[-2:] == EDGE_COLUMNS
    if not nested:  # the item's key, or its edge's ends
        if not by_edge:
            return [((key,), value) for key, value in data.items()]
        table = ends or {}
        return [(table.get(key, _NO_ENDS), value) for key, value in data.items()]
    found: Found = []
    for app_id, inner in data.items():  # application id -> inner dict
        if not isinstance(inner, Mapping):
            found.append(((app_id,) + (None,) * (len(columns) - 1), inner))
        elif not by_edge:
            found.extend([((app_id, key), value) for key, value in inner.items()])
        else:
            table = (ends or {}).get(app_id) or {}
            found.extend(
                [((app_id, *table.get(key, _NO_ENDS)), value) for key, value in inner.items()]
            )
    return found


_NO_ENDS = (None, None)


def pairs(kind: Any, data: Any, by_event: bool, ends: Any = None) -> Found:
    """(key cells, value) for each result value of an activation; by another
    callback, the single value with empty key cells."""
    if not by_event:
        return [((None,) * len(key_columns(kind)), data)]
    if report_columns(kind, data) is not None:  # a model's data: its rows carry their keys
        return columnar_values(data)
    return keyed_values(kind, data, ends)


def columnar_values(data: Any) -> Found:
    """(key cells, value) of a mapping over arrays (a model's data), from its columns:
    the key cells it gives for its rows, and each row's value as its mapping has it."""
    keys, values = data._report_columns()
    names = list(values)
    if names == ["value"]:
        cells: Any = values["value"].tolist()
    else:
        columns = [values[name].tolist() for name in names]
        cells = [dict(zip(names, row)) for row in zip(*columns)]
    return list(zip(zip(*keys), cells)) if keys else [((), cell) for cell in cells]


def report_columns(kind: Any, data: Any) -> ColumnData | None:
    """The key columns and the value columns of an activation's data by the event,
    when the data hands them out column by column (``_report_columns()``, told by
    duck typing so that numpy is not imported here), named as :func:`value_cells`
    names them; None for other data, and for column data whose rows made one by one
    would not be these (another number of key columns, ragged lengths, no value
    column, a name that is not text, an array of objects or of another kind).
    """
    method = getattr(type(data), "_report_columns", None)
    if method is None:
        return None
    keys, values = method(data)
    width = len(key_columns(kind))
    if not width or len(keys) != width or not values:
        return None
    rows = len(keys[0])
    if any(len(column) != rows for column in keys):
        return None
    for name, array in values.items():
        dtype = getattr(array, "dtype", None)
        if (type(name) is not str or getattr(dtype, "kind", None) not in COLUMN_KINDS
                or getattr(array, "ndim", None) != 1 or len(array) != rows):
            return None
    if len(values) == 1 and "value" in values:  # a scalar per row
        return list(keys), dict(values)
    # A dict per row, of scalars: a flat mapping, one column per key.
    return list(keys), {column(name): array for name, array in values.items()}


def _numpy_scalar(value: Any) -> bool:
    """A numpy scalar or 0-d array (told without importing numpy)."""
    return type(value).__module__ == "numpy" and getattr(value, "ndim", None) == 0


def is_scalar(value: Any) -> bool:
    return (
        type(value) in PLAIN
        or isinstance(value, (str, numbers.Real))
        or _numpy_scalar(value)
    )


def scalar(value: Any) -> Any:
    """A scalar as a plain Python value: numpy's become the bool, int, float or text
    they hold, other numbers int or float, text subclasses plain text."""
    if value is None or type(value) in (str, bool, int, float):
        return value
    if isinstance(value, str):
        return str.__str__(value)
    if _numpy_scalar(value):
        return scalar(value.item())
    if isinstance(value, numbers.Integral):
        return int(value)
    if isinstance(value, numbers.Real):
        return float(value)
    return str(value)


def json_text(value: Any) -> str:
    """JSON text of any value, in the forms the module docstring gives."""
    return json.dumps(_plain(value, set()), ensure_ascii=False)


def _plain(value: Any, path: set[int]) -> Any:
    """``value`` as what ``json.dumps`` writes: dicts with text keys, lists, scalars."""
    if value is None or type(value) in (str, int, float, bool):
        return value
    if is_scalar(value):
        return scalar(value)
    if id(value) in path:
        raise ValueError(f"a {type(value).__name__} that contains itself cannot be written")
    path.add(id(value))
    try:
        if isinstance(value, Mapping):
            if all(isinstance(k, str) for k in value):
                return {str.__str__(k): _plain(v, path) for k, v in value.items()}
            return [[_plain(k, path), _plain(v, path)] for k, v in value.items()]
        if isinstance(value, (list, tuple)):
            return [_plain(v, path) for v in value]
        if isinstance(value, (set, frozenset)):
            # Sorted by their text, so that a set is written the same in every run.
            items = [_plain(v, path) for v in value]
            return sorted(items, key=lambda item: json.dumps(item, ensure_ascii=False))
        if type(value).__module__ == "numpy" and hasattr(value, "tolist"):
            return _plain(value.tolist(), path)
        return str(value)
    finally:
        path.discard(id(value))


def flat(value: Any) -> bool:
    """Whether a value is a non-empty mapping of text keys to scalars."""
    return (
        isinstance(value, Mapping)
        and bool(value)
        and all(type(k) is str and is_scalar(v) for k, v in value.items())
    )


def column(key: str) -> str:
    """The column of a key of a flat mapping value."""
    return f"value.{key}" if key in TAKEN else key


def value_cells(value: Any) -> dict[str, Any]:
    """The value columns of one result value, each cell a plain scalar."""
    if type(value) in PLAIN:
        return {"value": value}
    if is_scalar(value):
        return {"value": scalar(value)}
    if flat(value):
        return {column(k): scalar(v) for k, v in value.items()}
    return {"value": json_text(value)}


def rows(
    kind: Any,
    data: Any,
    by_event: bool,
    tick: int,
    event: Hashable,
    trigger: Any,
    ends: Any = None,
) -> Iterator[dict[str, Any]]:
    """The rows of one activation of a callback of type ``kind``."""
    columns = key_columns(kind)
    head = {"tick": tick, "event": event, "trigger": getattr(trigger, "name", trigger)}
    for keys, value in pairs(kind, data, by_event, ends):
        row = dict(head)
        row.update(zip(columns, keys))
        row.update(value_cells(value))
        yield row
