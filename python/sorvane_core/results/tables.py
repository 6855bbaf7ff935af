"""A callback's results as a pandas DataFrame (pandas: an optional extra)."""

from __future__ import annotations

from collections.abc import Hashable
from typing import TYPE_CHECKING, Any

from sorvane_core.results.reports import report_files
from sorvane_core.results.rows import FIXED_COLUMNS, key_columns, rows

if TYPE_CHECKING:
    import pandas

    from sorvane_core.simulation.simulator import Simulator

EXTRA = "pip install 'sorvane_core[analysis]'"


def import_pandas() -> Any:
    try:
        import pandas
    except ImportError:
        raise ImportError(f"tables need pandas: {EXTRA}") from None
    return pandas


def callback_named(simulator: Simulator, name: Hashable) -> Any:
    for cb in simulator.callbacks:
        if cb.name == name:
            return cb
    known = ", ".join(repr(cb.name) for cb in simulator.callbacks) or "none"
    raise KeyError(f"no callback named {name!r}; the simulator has {known}")


def table(simulator: Simulator, name: Hashable) -> pandas.DataFrame:
    """The rows of callback ``name``: from its report in ``simulator.out`` if the
    last run wrote one (CSV preferred), otherwise from the simulator's history."""
    pandas = import_pandas()
    cb = callback_named(simulator, name)
    if simulator.out is not None:
        files = report_files(cb)
        for kind in ("csv", "jsonl"):
            path = simulator.out / files[kind] if kind in files else None
            if path is not None and path.is_file():
                if kind == "csv":
                    return pandas.read_csv(path)
                return pandas.read_json(path, lines=True, dtype=False)
    return history_table(simulator, cb)


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
        found.extend(rows(kind, record["data"][name], trigger == record["event"], record["tick"],
                          record["event"], trigger, simulator.placements, simulator.infrastructure))
    columns = [*FIXED_COLUMNS, *key_columns(kind)]
    extra = sorted({c for r in found for c in r} - set(columns), key=_first_seen(found))
    return pandas.DataFrame(found, columns=columns + extra)


def _first_seen(found: list[dict[str, Any]]) -> Any:
    order: dict[str, int] = {}
    for row in found:
        for column in row:
            order.setdefault(column, len(order))
    return order.__getitem__
