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


class GroupLayout:
    """Where each group's rows are among the rows of a tick's arrays: the
    applications of the per-application types, made once per layout and shared
    by every tick's :class:`Grouped`.

    Rows are ordered by group; ``groups[g]`` owns rows ``starts[g]:stops[g]``.
    ``keys`` are the inner keys of all rows (unique within a group), and
    ``key_columns`` their key cells for the reports (by default the keys).
    """

    def __init__(
        self,
        groups: Sequence[Any],
        sizes: Sequence[int],
        keys: Sequence[Any],
        key_columns: Sequence[Sequence[Any]] | None = None,
    ) -> None:
        self.groups = tuple(groups)
        self.index = {group: g for g, group in enumerate(self.groups)}
        stops = np.cumsum(np.asarray(sizes, dtype=np.int64))
        self.stops = stops.tolist()
        self.starts = [0, *self.stops[:-1]] if self.stops else []
        self.keys = list(keys)
        self.key_columns = [self.keys] if key_columns is None else [list(c) for c in key_columns]
        self._indexes: dict[int, dict[Any, int]] = {}
        self._report_keys: list[list[Any]] | None = None

    def inner(self, g: int) -> tuple[list[Any], dict[Any, int], list[list[Any]], slice]:
        """The keys, key index, key cells and rows of group ``g``."""
        start, stop = self.starts[g], self.stops[g]
        keys = self.keys[start:stop]
        index = self._indexes.get(g)
        if index is None:
            index = self._indexes[g] = {key: i for i, key in enumerate(keys)}
        return keys, index, [c[start:stop] for c in self.key_columns], slice(start, stop)

    def report_keys(self) -> list[list[Any]]:
        """The group column, then the inner key cells, row by row."""
        if self._report_keys is None:
            group_column: list[Any] = []
            for group, start, stop in zip(self.groups, self.starts, self.stops):
                group_column.extend([group] * (stop - start))
            self._report_keys = [group_column, *self.key_columns]
        return self._report_keys


class Grouped(Mapping[Any, Any]):
    """``{group: {key: value}}``: the nested data of the per-application types,
    each group's mapping a :class:`Columns` over its slice of the arrays, made
    when it is looked up."""

    __slots__ = ("_layout", "_values")

    def __init__(self, layout: GroupLayout, values: Mapping[str, np.ndarray]) -> None:
        self._layout = layout
        self._values = dict(values)

    def __getitem__(self, group: Any) -> Columns:
        layout = self._layout
        keys, index, key_columns, rows = layout.inner(layout.index[group])
        return Columns(keys, index, {n: v[rows] for n, v in self._values.items()}, key_columns)

    def __iter__(self) -> Iterator[Any]:
        return iter(self._layout.groups)

    def __len__(self) -> int:
        return len(self._layout.groups)

    def __contains__(self, group: object) -> bool:
        try:
            return group in self._layout.index
        except TypeError:
            return False

    def _report_columns(self) -> tuple[list[Sequence[Any]], dict[str, np.ndarray]]:
        """The group key, then each group's own key cells; the value columns."""
        return list(self._layout.report_keys()), self._values

    def __reduce__(self) -> tuple[Any, ...]:
        return (dict, ([(group, dict(self[group]._rows())) for group in self],))

    def __repr__(self) -> str:
        return repr({group: dict(self[group]._rows()) for group in self})

    __hash__ = None  # type: ignore[assignment]


class Frozen(dict[str, Any]):
    """A dict that cannot be changed: the data of a "simulation" model, kept in the
    history as it was measured. It pickles as a plain dict."""

    __slots__ = ()

    def _refuse(self, *args: Any, **kwargs: Any) -> Any:
        raise TypeError("the data of a model is read-only; copy it with dict(data)")

    __setitem__ = __delitem__ = update = pop = popitem = clear = setdefault = _refuse
    __ior__ = _refuse

    def __reduce__(self) -> tuple[Any, ...]:
        return (dict, (dict(self),))


class _Items(ItemsView[Any, Any]):
    """The items of a Columns, made column by column rather than key by key."""

    _mapping: Columns

    def __iter__(self) -> Iterator[tuple[Any, Any]]:
        return self._mapping._rows()
