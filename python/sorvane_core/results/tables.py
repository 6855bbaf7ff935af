"""A callback's results as a pandas DataFrame (pandas: an optional extra)."""

from __future__ import annotations

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


def table(simulator: Simulator, name: Hashable) -> pandas.DataFrame:
    """The rows of callback ``name``: from its report in ``simulator.out`` if the
    last run wrote one (CSV preferred), otherwise from the simulator's history."""
    import_pandas()
    cb = callback_named(simulator, name)
    if simulator.out is not None:
        files = report_files(cb)
        for kind in ("csv", "jsonl"):
            if kind in files and (path := simulator.out / files[kind]).is_file():
                return read_report(path)
    return history_table(simulator, cb)


def read_report(path: Path) -> pandas.DataFrame:
    """A report file, CSV or JSON lines by its suffix, as a table."""
    pandas = import_pandas()
    if path.suffix == ".jsonl":
        return pandas.read_json(path, lines=True, dtype=False)
    return pandas.read_csv(path)


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
    extra = [c for c in dict.fromkeys(c for r in found for c in r) if c not in columns]
    return pandas.DataFrame(found, columns=columns + extra)
