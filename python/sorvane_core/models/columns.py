"""Read-only mappings backed by arrays: the data of the models.

A model computes a tick as arrays, one entry per node, link, service or
interaction, and hands out its data as one of these instead of a dict built
item by item. They are mappings like the dicts of the collectors (same keys, in
the same order, same values: Python scalars, or for a flat dict value a dict of
them), compare equal to them, pickle as them, and never change once made: a tick
makes new arrays, so what the history holds stays what was measured.

Reports read them column by column through ``_report_columns()``: the key columns
of the callback's type and the value columns, without a Python row per item.
"""

from __future__ import annotations

from collections.abc import ItemsView, Iterator, Mapping, Sequence
from typing import Any

import numpy as np

VALUE = "value"  # the column of a scalar value


class Columns(Mapping[Any, Any]):
    """``{key: value}`` over arrays: row ``i`` is ``keys[i]``.

    ``values`` maps column names to arrays of one entry per row: a single column
    named ``"value"`` makes each value a scalar; other names make each value a
    dict of those columns (in their order). ``index`` maps each key to its row
    (shared by all the mappings made from one snapshot, so that making one costs
    nothing per row). ``key_columns`` are the key cells of the rows as the
    reports write them (for a link, its source and its target), by default the
    keys themselves.
    """

    __slots__ = ("_keys", "_index", "_values", "_key_columns")

    def __init__(
        self,
        keys: Sequence[Any],
        index: Mapping[Any, int],
        values: Mapping[str, np.ndarray],
        key_columns: Sequence[Sequence[Any]] | None = None,
    ) -> None:
        self._keys = keys
        self._index = index
        self._values = dict(values)
        self._key_columns = [keys] if key_columns is None else list(key_columns)

    def __getitem__(self, key: Any) -> Any:
        row = self._index[key]
        values = self._values
        if len(values) == 1 and VALUE in values:
            return values[VALUE].item(row)
        return {name: column.item(row) for name, column in values.items()}

    def __iter__(self) -> Iterator[Any]:
        return iter(self._keys)

    def __len__(self) -> int:
        return len(self._keys)

    def __contains__(self, key: object) -> bool:
        try:
            return key in self._index
        except TypeError:  # unhashable: not a key
            return False

    def items(self) -> ItemsView[Any, Any]:
        return _Items(self)

    def _rows(self) -> Iterator[tuple[Any, Any]]:
        values = self._values
        if len(values) == 1 and VALUE in values:
            return zip(self._keys, values[VALUE].tolist())
        names = list(values)
        columns = [column.tolist() for column in values.values()]
        return zip(self._keys, (dict(zip(names, row)) for row in zip(*columns)))

    def _report_columns(self) -> tuple[list[Sequence[Any]], dict[str, np.ndarray]]:
        """The key cells and the value columns of the rows, column by column."""
        return self._key_columns, self._values

    def __reduce__(self) -> tuple[Any, ...]:
        return (dict, (list(self._rows()),))

    def __repr__(self) -> str:
        return repr(dict(self._rows()))

    __hash__ = None  # type: ignore[assignment]


class Grouped(Mapping[Any, Any]):
    """``{group: Columns}``: the nested data of the per-application types, each
    application's entries a slice of the same arrays."""

    __slots__ = ("_groups",)

    def __init__(self, groups: Mapping[Any, Columns]) -> None:
        self._groups = dict(groups)

    def __getitem__(self, key: Any) -> Columns:
        return self._groups[key]

    def __iter__(self) -> Iterator[Any]:
        return iter(self._groups)

    def __len__(self) -> int:
        return len(self._groups)

    def _report_columns(self) -> tuple[list[Sequence[Any]], dict[str, np.ndarray]]:
        """The group key, then each group's own key cells; the value columns."""
        parts = [(group, *columns._report_columns()) for group, columns in self._groups.items()]
        if not parts:
            return [[]], {}
        width = len(parts[0][1])
        keys: list[list[Any]] = [[] for _ in range(width + 1)]
        for group, key_columns, values in parts:
            rows = len(next(iter(values.values()))) if values else len(key_columns[0])
            keys[0].extend([group] * rows)
            for target, column in zip(keys[1:], key_columns):
                target.extend(column)
        names = list(parts[0][2])
        values = {name: np.concatenate([p[2][name] for p in parts]) for name in names}
        return keys, values  # type: ignore[return-value]

    def __reduce__(self) -> tuple[Any, ...]:
        return (dict, (list(self._groups.items()),))

    def __repr__(self) -> str:
        return repr(self._groups)

    __hash__ = None  # type: ignore[assignment]


class _Items(ItemsView[Any, Any]):
    """The items of a Columns, made column by column rather than key by key."""

    _mapping: Columns

    def __iter__(self) -> Iterator[tuple[Any, Any]]:
        return self._mapping._rows()
