"""Tidy rows from callback results: one row per result value of an activation.

A row holds ``tick``, ``event``, ``trigger`` (what activated the callback), the
key columns of the callback's type, then the value: a scalar in ``value``, a flat
mapping of scalars in one column per key, anything else as JSON text in
``value``. Interaction and link results, which the collectors key by text, get
their real source and target back from the graphs the collectors walked.
"""

from __future__ import annotations

import json
import numbers
from collections.abc import Hashable, Iterator, Mapping
from typing import Any

from sorvane_core.utils.types import KEY_COLUMNS

FIXED_COLUMNS = ("tick", "event", "trigger")
TAKEN = frozenset(FIXED_COLUMNS).union(*KEY_COLUMNS.values())

def key_columns(kind: Any) -> tuple[str, ...]:
    """The key columns of a callback type (None and unknown types have none)."""
    try:
        return KEY_COLUMNS.get(kind, ())
    except TypeError:  # an unhashable type: no collector shape
        return ()


def keyed_values(
    kind: Any, data: Any, placements: Mapping[Hashable, Any], infrastructure: Any
) -> list[tuple[tuple[Any, ...], Any]]:
    """(key cells, value) for each result value of an activation by an event."""
    columns = key_columns(kind)
    if not columns:
        return [((), data)]
    if not isinstance(data, Mapping):  # not a collector's result: one row as it is
        return [((None,) * len(columns), data)]
    nested = columns[0] == "application" and len(columns) > 1
    by_edge = columns[-2:] == _EDGE
    if not nested:  # the item's key, or its edge's endpoints in the infrastructure
        if not by_edge:
            return [((key,), value) for key, value in data.items()]
        ends = _edge_ends(infrastructure)
        return [(ends.get(key, _NO_ENDS), value) for key, value in data.items()]
    found: list[tuple[tuple[Any, ...], Any]] = []
    for app_id, inner in data.items():  # application id -> inner dict
        if not isinstance(inner, Mapping):
            found.append(((app_id,) + (None,) * (len(columns) - 1), inner))
        elif not by_edge:
            found.extend([((app_id, key), value) for key, value in inner.items()])
        else:
            pl = placements.get(app_id)
            ends = _edge_ends(pl.application) if pl is not None else {}
            found.extend(
                [((app_id, *ends.get(key, _NO_ENDS)), value) for key, value in inner.items()]
            )
    return found


def _edge_ends(graph: Any) -> Mapping[str, tuple[Any, Any]]:
    # Imported when first needed: the graphs import networkx, which importing
    # the package leaves out.
    from sorvane_core.graph import edge_ends

    return edge_ends(graph)


_EDGE = ("source", "target")
_NO_ENDS = (None, None)


PLAIN = frozenset({str, int, float, bool, type(None)})  # scalars that need no conversion


def pairs(
    kind: Any, data: Any, by_event: bool, placements: Mapping[Hashable, Any], infrastructure: Any
) -> list[tuple[tuple[Any, ...], Any]]:
    """(key cells, value) for each result value of an activation; by another
    callback, the single value with empty key cells."""
    if by_event:
        return keyed_values(kind, data, placements, infrastructure)
    return [((None,) * len(key_columns(kind)), data)]


def is_scalar(value: Any) -> bool:
    return type(value) in PLAIN or isinstance(value, (str, bool, numbers.Real))


def scalar(value: Any) -> Any:
    """A scalar as a plain Python value (numpy's become int or float)."""
    if value is None or type(value) in (str, bool, int, float):
        return value
    if isinstance(value, numbers.Integral):
        return int(value)
    if isinstance(value, numbers.Real):
        return float(value)
    return str(value)


def json_text(value: Any) -> str:
    return json.dumps(value, default=str, ensure_ascii=False)


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
    """The value columns of one result value."""
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
    placements: Mapping[Hashable, Any],
    infrastructure: Any,
) -> Iterator[dict[str, Any]]:
    """The rows of one activation of a callback of type ``kind``."""
    columns = key_columns(kind)
    head = {"tick": tick, "event": event, "trigger": getattr(trigger, "name", trigger)}
    for keys, value in pairs(kind, data, by_event, placements, infrastructure):
        row = dict(head)
        row.update(zip(columns, keys))
        row.update(value_cells(value))
        yield row
