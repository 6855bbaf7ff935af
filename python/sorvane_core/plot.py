"""Figures of reports (matplotlib and pandas: ``pip install 'sorvane_core[analysis]'``).

A report becomes one figure with one panel per numeric value column: a line per
entity (application, service, interaction, node or link) over the ticks for up
to a dozen entities, a heat map of entity by tick beyond that. Axis labels come
from the column names, with the unit of a name that ends in one, for example
``latency_ms`` gives "latency (ms)".

    from sorvane_core import plot
    fig = plot.figure(sim.results("load"), title="load")
    plot.save_all("runs/demo")   # one PNG per numeric report of a run's folder

Figures are made without pyplot, so drawing them changes no global matplotlib
state (no backend is selected; PNGs are drawn with Agg).
"""

from __future__ import annotations

import re
from pathlib import Path
from typing import TYPE_CHECKING, Any, cast

from sorvane_core.results.rows import TAKEN
from sorvane_core.results.tables import read_report
from sorvane_core.utils.extras import ANALYSIS
from sorvane_core.utils.types import KEY_COLUMNS

if TYPE_CHECKING:
    import pandas
    from matplotlib.figure import Figure

MAX_LINES = 12

_KEYS = list(dict.fromkeys(c for columns in KEY_COLUMNS.values() for c in columns))
MAX_NAMED_ROWS = 40  # heat-map rows named on the axis, up to this many
_UNITS = {
    "ns": "ns", "us": "µs", "ms": "ms", "s": "s", "min": "min", "h": "h",
    "pct": "%", "percent": "%", "b": "B", "kb": "kB", "mb": "MB", "gb": "GB", "bytes": "B",
    "bps": "bit/s", "kbps": "kbit/s", "mbps": "Mbit/s", "gbps": "Gbit/s",
    "hz": "Hz", "mhz": "MHz", "ghz": "GHz", "w": "W", "kw": "kW", "j": "J", "rps": "req/s",
}


def _imports() -> tuple[Any, Any]:
    try:
        import pandas
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError(f"plots need pandas and matplotlib: {ANALYSIS}") from None
    return pandas, Figure


def label(name: str) -> str:
    """An axis label from a column or report name: words, and the unit in brackets."""
    words = re.split(r"[_\s.]+", name.strip("_ ."))
    if len(words) > 1 and words[-1].lower() in _UNITS:
        return f"{' '.join(words[:-1])} ({_UNITS[words[-1].lower()]})"
    return " ".join(words)


def entity_columns(table: pandas.DataFrame) -> list[str]:
    return [c for c in _KEYS if c in table.columns and table[c].notna().any()]


def numeric_columns(table: pandas.DataFrame) -> list[str]:
    pandas, _ = _imports()
    return [
        c for c in table.columns
        if c not in TAKEN and pandas.api.types.is_numeric_dtype(table[c]) and table[c].notna().any()
    ]


def read(path: str | Path) -> pandas.DataFrame:
    """A report file (CSV or JSON lines) as a table."""
    _imports()
    return read_report(Path(path))


def figure(table: pandas.DataFrame | str | Path, title: str | None = None) -> Figure:
    """A figure of a report's numeric columns over the ticks.

    ``table`` is a report table (``Simulator.results``) or a report file. Raises
    ValueError if it has no numeric value column.
    """
    pandas, figure_class = _imports()
    if not isinstance(table, pandas.DataFrame):
        title = title or Path(table).stem
        table = read(table)
    columns = numeric_columns(table)
    if not columns:
        named = f" {title!r}" if title else ""
        raise ValueError(f"the report{named} has no numeric value column to plot")
    keys = entity_columns(table)
    entity = (table[keys].astype(str).agg(" / ".join, axis=1) if keys
              else pandas.Series("value", index=table.index))
    fig = figure_class(figsize=(8, 2.8 * len(columns) + 0.6), layout="constrained")
    axes = fig.subplots(len(columns), 1, squeeze=False)[:, 0]
    for ax, column in zip(axes, columns):
        # One value per entity and tick: the last, where a tick delivered several events.
        grid = (pandas.DataFrame({"entity": entity, "tick": table["tick"], "v": table[column]})
                .dropna(subset=["v"])
                .pivot_table(index="entity", columns="tick", values="v", aggfunc="last",
                             sort=False))
        ylabel = label(title) if column == "value" and title else label(column)
        if len(grid) <= MAX_LINES:
            for name, series in grid.iterrows():
                ax.plot(series.index, series.to_numpy(dtype=float), label=str(name),
                        marker="." if series.size < 40 else None)
            ax.set_ylabel(ylabel)
            if keys and len(grid) > 1:
                ax.legend(fontsize="small", ncols=2 if len(grid) > 6 else 1, title=" / ".join(keys))
        else:
            image = ax.pcolormesh(grid.columns.to_numpy(), range(len(grid)),
                                  grid.to_numpy(dtype=float), shading="nearest")
            ax.invert_yaxis()  # the first entity on top
            ax.set_ylabel(" / ".join(keys) + f" ({len(grid)})")
            if len(grid) <= MAX_NAMED_ROWS:
                ax.set_yticks(range(len(grid)), [str(name) for name in grid.index],
                              fontsize="small")
            else:
                ax.set_yticks([])
            fig.colorbar(image, ax=ax, label=ylabel)
        ax.set_xlabel("tick")
    if title:
        fig.suptitle(label(title))
    return cast("Figure", fig)


def save_all(folder: str | Path) -> list[Path]:
    """One PNG per report of ``folder`` that has a numeric column (CSV preferred
    over JSON lines for the same callback); returns the files written."""
    folder = Path(folder)
    reports: dict[str, Path] = {}
    for path in sorted(folder.glob("*.jsonl")) + sorted(folder.glob("*.csv")):
        reports[path.stem] = path  # the CSV, if there is one, replaces the JSON lines
    written = []
    for stem, path in sorted(reports.items()):
        table = read(path) if path.stat().st_size else None
        if table is None or table.empty or not numeric_columns(table):
            continue
        target = folder / f"{stem}.png"
        figure(table, title=stem).savefig(target, dpi=100)
        written.append(target)
    return written
