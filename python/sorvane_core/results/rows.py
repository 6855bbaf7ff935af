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
from collections.abc import Iterator, Mapping
from typing import Any, Hashable

# Key columns by callback type; a callback activated by another callback gets
# one row with its single value and empty key columns.
KEY_COLUMNS: dict[str | None, tuple[str, ...]] = {
    None: (),
    "simulation": (),
    "infrastructure": (),
    "application": ("application",),
    "service": ("application", "service"),
    "interaction": ("application", "source", "target"),
    "node": ("node",),
    "link": ("source", "target"),
}
FIXED_COLUMNS = ("tick", "event", "trigger")
_TAKEN = frozenset(FIXED_COLUMNS).union(*KEY_COLUMNS.values())

# Where a graph keeps its key text -> (source, target) table; networkx clears
# its __networkx_cache__ on every change of the graph.
_ENDPOINTS_KEY = "sorvane_core.edge_keys"


def key_columns(kind: Any) -> tuple[str, ...]:
    """The key columns of a callback type (None and unknown types have none)."""
    try:
        return KEY_COLUMNS.get(kind, ())
    except TypeError:  # an unhashable type: no collector shape
        return ()


def edge_key(source: Any, target: Any) -> str:
    """The text key under which the collectors store an edge's result."""
    return f"{_text(source)},{_text(target)}"


def _text(value: Any) -> str:
    return value if type(value) is str else format(value, "")


def endpoints(graph: Any) -> dict[str, tuple[Any, Any]]:
    """Key text -> (source, target) for the edges of ``graph``, in walk order: where
    two edges share a key, the one walked later wins, as in the collectors."""
    state = getattr(graph, "__dict__", {})
    cache = state.get("__networkx_cache__")
    if cache is not None and "_graph" not in state:
        found = cache.get(_ENDPOINTS_KEY)
        if found is not None:
            return found  # type: ignore[no-any-return]
    table = {edge_key(u, v): (u, v) for u, v, _ in graph.edges(data=True)}
    if cache is not None and "_graph" not in state:
        cache[_ENDPOINTS_KEY] = table
    return table


def keyed_values(
    kind: Any, data: Any, placements: Mapping[Hashable, Any], infrastructure: Any
) -> Iterator[tuple[tuple[Any, ...], Any]]:
    """(key cells, value) for each result value of an activation by an event."""
    columns = key_columns(kind)
    if not columns:
        yield (), data
        return
    if not isinstance(data, Mapping):  # not a collector's result: one row as it is
        yield (None,) * len(columns), data
        return
    if kind == "application" or kind == "node":
        for key, value in data.items():
            yield (key,), value
    elif kind == "link":
        ends = endpoints(infrastructure)
        for key, value in data.items():
            yield ends.get(key, (None, None)), value
    else:  # service and interaction: application id -> inner dict
        for app_id, inner in data.items():
            if not isinstance(inner, Mapping):
                yield (app_id,) + (None,) * (len(columns) - 1), inner
            elif kind == "service":
                for service, value in inner.items():
                    yield (app_id, service), value
            else:
                pl = placements.get(app_id)
                ends = endpoints(pl.application) if pl is not None else {}
                for key, value in inner.items():
                    yield (app_id, *ends.get(key, (None, None))), value


def is_scalar(value: Any) -> bool:
    return value is None or isinstance(value, (str, bool, numbers.Real))


def scalar(value: Any) -> Any:
    """A scalar as a plain Python value (numpy's become int or float)."""
    if value is None or type(value) in (str, bool, int, float):
        return value
    if isinstance(value, bool):
        return bool(value)
    if isinstance(value, numbers.Integral):
        return int(value)
    if isinstance(value, numbers.Real):
        return float(value)
    return str(value)


def json_text(value: Any) -> str:
    return json.dumps(value, default=str, ensure_ascii=False)


def value_cells(value: Any) -> dict[str, Any]:
    """The value columns of one result value."""
    if is_scalar(value):
        return {"value": scalar(value)}
    if (
        isinstance(value, Mapping)
        and value
        and all(type(k) is str and is_scalar(v) for k, v in value.items())
    ):
        return {(f"value.{k}" if k in _TAKEN else k): scalar(v) for k, v in value.items()}
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
    if by_event:
        pairs: Iterator[tuple[tuple[Any, ...], Any]] = keyed_values(kind, data, placements, infrastructure)
    else:
        pairs = iter([((None,) * len(columns), data)])
    for keys, value in pairs:
        row = dict(head)
        row.update(zip(columns, keys))
        row.update(value_cells(value))
        yield row
