"""Figures of reports (matplotlib and pandas: ``pip install 'sorvane_core[analysis]'``).

A report becomes one figure with one panel per numeric value column: a line per
entity (application, service, interaction, node or link) over the ticks for up
to a dozen entities, a heat map of entity by tick beyond that. Every row is
drawn: where one entity has several rows at a tick (a callback that listens to
two events, the tables of two runs put together), each becomes its own series,
named also by its event, its trigger or another text column that tells the rows
apart (a ``run`` column, say), and numbered if nothing does. Axis labels come
from the column names, with the unit of a name that ends in one, for example
``latency_ms`` gives "latency (ms)".

    from sorvane_core import plot
    fig = plot.figure(sim.results("load"), title="load")
    plot.save_all("runs/demo")   # one PNG per numeric report of a run's folder
    fig = plot.figure("runs/demo/load.parquet")   # a report file or Parquet folder

Figures are made without pyplot, so drawing them changes no global matplotlib
state (no backend is selected; PNGs are drawn with Agg).
"""

from __future__ import annotations

import json
import os
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
MAX_NAMED_ROWS = 40  # heat-map rows named on the axis: beyond, every k-th is

# Distinct colours for up to a dozen lines: tab20 in the order of its pairs' darker
# members, then the lighter.
_COLOURS = [
    "#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f",
    "#bcbd22", "#17becf", "#aec7e8", "#ffbb78", "#98df8a", "#ff9896", "#c5b0d5", "#c49c94",
    "#f7b6d2", "#c7c7c7", "#dbdb8d", "#9edae5",
]
_KEYS = list(dict.fromkeys(c for columns in KEY_COLUMNS.values() for c in columns))
# In this order, so that a callback's Parquet report wins, then its CSV.
_REPORTS = (".jsonl", ".csv", ".parquet")

# Units by their spelling in snake_case names, where case is often lost: a lower
# "m" is then mega (mbps, mwh), save for ms. The spellings in _CASED keep the case
# that tells them apart: mW is a milliwatt, Mb a megabit, MBps megabytes a second.
_UNITS = {
    "ns": "ns", "us": "µs", "ms": "ms", "s": "s", "sec": "s", "min": "min", "h": "h",
    "pct": "%", "percent": "%",
    "b": "B", "kb": "kB", "mb": "MB", "gb": "GB", "tb": "TB", "bytes": "B", "bits": "bit",
    "bps": "bit/s", "kbps": "kbit/s", "mbps": "Mbit/s", "gbps": "Gbit/s",
    "hz": "Hz", "khz": "kHz", "mhz": "MHz", "ghz": "GHz",
    "w": "W", "kw": "kW", "mw": "MW", "j": "J", "kj": "kJ", "mj": "MJ",
    "wh": "Wh", "kwh": "kWh", "mwh": "MWh", "rps": "req/s",
}
_CASED = {
    "mW": "mW", "mJ": "mJ", "mWh": "mWh",
    "Kb": "kbit", "Mb": "Mbit", "Gb": "Gbit", "Tb": "Tbit",
    "kBps": "kB/s", "KBps": "kB/s", "MBps": "MB/s", "GBps": "GB/s",
}
# A statistic after the unit, as in latency_ms_max: the unit is still the one before.
_STATISTICS = {"min", "max", "mean", "avg", "median", "sum", "total", "std", "p50", "p90",
               "p95", "p99"}


def _imports() -> tuple[Any, Any]:
    try:
        import pandas
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError(f"plots need pandas and matplotlib: {ANALYSIS}") from None
    return pandas, Figure


def _unit(word: str) -> str | None:
    return _CASED.get(word) or _UNITS.get(word.lower())


def label(name: str) -> str:
    """An axis label from a column or report name: words, and the unit in brackets.

    >>> [label(n) for n in ("latency_ms", "traffic_Mbps", "energy_kWh", "latency_ms_p95")]
    ['latency (ms)', 'traffic (Mbit/s)', 'energy (kWh)', 'latency p95 (ms)']
    >>> [label(n) for n in ("power_mW", "requests_per_s", "queue_length", "ms")]
    ['power (mW)', 'requests (/s)', 'queue length', 'ms']
    """
    words = re.split(r"[_\s.]+", name.strip("_ ."))
    if len(words) > 2 and words[-1].lower() in _STATISTICS and (unit := _unit(words[-2])):
        return f"{' '.join(words[:-2] + words[-1:])} ({unit})"
    if len(words) > 1 and (unit := _unit(words[-1])):
        if len(words) > 2 and words[-2].lower() == "per":
            return f"{' '.join(words[:-2])} (/{unit})"
        return f"{' '.join(words[:-1])} ({unit})"
    return " ".join(words)


def entity_columns(table: pandas.DataFrame) -> list[str]:
    return [c for c in _KEYS if c in table.columns and table[c].notna().any()]


def numeric_columns(table: pandas.DataFrame) -> list[str]:
    """The value columns to draw: numbers, including integers beyond int64 (which
    come in an object column)."""
    pandas, _ = _imports()
    return [
        c for c in table.columns
        if c not in TAKEN and table[c].notna().any()
        and (pandas.api.types.is_numeric_dtype(table[c]) or _big_integers(table[c]))
    ]


def _big_integers(column: pandas.Series) -> bool:
    return column.dtype == object and all(type(v) is int for v in column.dropna())


def _is_report(path: Path) -> bool:
    """A report's file, or a Parquet report's folder."""
    return path.is_dir() if path.suffix == ".parquet" else path.is_file()


def read(path: str | Path) -> pandas.DataFrame:
    """A report file (CSV or JSON lines) or Parquet report folder as a table."""
    _imports()
    return read_report(Path(path))


def series_of(table: pandas.DataFrame) -> tuple[pandas.Series, list[str]]:
    """The series each row of a report belongs to, and the columns that name them.

    A series is an entity (the key columns); where an entity has several rows at
    one tick, the event, the trigger, then any other text column that tells those
    rows apart is added to the name, and if rows still share a name and a tick,
    the series are numbered in the order the rows come: no two rows of one series
    fall on one tick.

    >>> import pandas
    >>> rows = pandas.DataFrame({"tick": [0, 0, 1, 1], "event": ["tick", "overload"] * 2,
    ...                          "trigger": "tick", "node": "a", "value": [1, 2, 3, 4]})
    >>> names, by = series_of(rows)
    >>> names.tolist(), by
    (['a / tick', 'a / overload', 'a / tick', 'a / overload'], ['node', 'event'])
    """
    pandas, _ = _imports()
    keys = entity_columns(table)
    named = {"tick": table["tick"]} | {c: table[c].astype(str) for c in keys}
    parts = list(keys)
    clash = pandas.DataFrame(named).duplicated(keep=False)
    if clash.any():
        values = set(numeric_columns(table))
        others = [c for c in table.columns if c not in TAKEN and c not in values
                  and not pandas.api.types.is_numeric_dtype(table[c])]
        for column in [c for c in ("event", "trigger") if c in table.columns] + others:
            cells = table[column].astype(str)
            groups = [named[c][clash] for c in named]
            if cells[clash].groupby(groups, dropna=False).nunique().gt(1).any():
                # It tells apart some of the rows that share a series and a tick.
                named[column] = cells
                parts.append(column)
                clash = pandas.DataFrame(named).duplicated(keep=False)
                if not clash.any():
                    break
    if parts:
        names = named[parts[0]]
        for column in parts[1:]:
            names = names + " / " + named[column]
    else:
        names = pandas.Series("value", index=table.index)
    # Numbered by the names themselves, so that no two rows of a series share a tick
    # even where two different sets of cells join to the same name.
    if pandas.DataFrame({"n": names, "t": table["tick"]}).duplicated().any():
        number = names.groupby([names, table["tick"]], sort=False, dropna=False).cumcount() + 1
        names = (names + " #" if parts else "#") + number.astype(str)
    return names, parts


def _height(series: int) -> float:
    """A panel's height in inches, for a heat map room for its named rows."""
    if series <= MAX_LINES:
        return 2.8
    return max(2.8, 0.12 * min(series, MAX_NAMED_ROWS) + 1.0)


def figure(table: pandas.DataFrame | str | Path, title: str | None = None) -> Figure:
    """A figure of a report's numeric columns over the ticks, every row drawn.

    ``table`` is a report table (``Simulator.results``), a report file or a Parquet
    report's folder. Raises
    ValueError if it has no numeric value column. Legends sit right of the panels.

    >>> import pandas
    >>> rows = pandas.DataFrame({"tick": [0, 0, 1, 1], "event": "tick", "trigger": "tick",
    ...                          "node": ["a", "b"] * 2, "load_pct": [10, 20, 30, 25]})
    >>> fig = figure(rows, title="node_load")
    >>> [line.get_label() for line in fig.axes[0].get_lines()]
    ['a', 'b']
    """
    pandas, figure_class = _imports()
    if not isinstance(table, pandas.DataFrame):
        title = title or Path(table).stem
        table = read(table)
    columns = numeric_columns(table)
    if not columns:
        named = f" {title!r}" if title else ""
        raise ValueError(f"the report{named} has no numeric value column to plot")
    names, parts = series_of(table)
    heading = " / ".join(parts) or None
    height = _height(names.nunique())
    fig = figure_class(figsize=(8, height * len(columns) + 0.6), layout="constrained")
    axes = fig.subplots(len(columns), 1, squeeze=False)[:, 0]
    for ax, column in zip(axes, columns):
        values = table[column].astype(float)
        points = pandas.DataFrame({"series": names, "tick": table["tick"], "v": values})
        points = points[values.notna()]
        # One cell per series and tick, which series_of makes sure of.
        grid = (points.set_index(["series", "tick"])["v"].unstack("tick")
                .reindex(pandas.unique(points["series"])))
        ylabel = label(title) if column == "value" and title else label(column)
        ticks = grid.columns.to_numpy()
        if len(grid) <= MAX_LINES:
            if len(grid) > len(_COLOURS) // 2:  # the default cycle repeats after ten
                ax.set_prop_cycle(color=_COLOURS[:len(grid)])
            for name, row in zip(grid.index, grid.to_numpy(dtype=float)):
                drawn = row == row  # the ticks of this series, without the gaps
                ax.plot(ticks[drawn], row[drawn], label=str(name),
                        marker="." if drawn.sum() < 40 else None)
            ax.set_ylabel(ylabel)
            if len(grid) > 1:
                ax.legend(title=heading, fontsize="small", title_fontsize="small",
                          loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0.0)
        else:
            image = ax.pcolormesh(ticks, range(len(grid)), grid.to_numpy(dtype=float),
                                  shading="nearest")
            ax.invert_yaxis()  # the first entity on top
            ax.set_ylabel(f"{heading or 'series'} ({len(grid)})")
            step = -(-len(grid) // MAX_NAMED_ROWS)
            shown = range(0, len(grid), step)
            ax.set_yticks(list(shown), [str(grid.index[i]) for i in shown], fontsize="x-small")
            fig.colorbar(image, ax=ax, label=ylabel)
        ax.set_xlabel("tick")
    if title:
        fig.suptitle(label(title))
    return cast("Figure", fig)


def save_all(folder: str | Path) -> list[Path]:
    """One PNG per numeric report of a run's folder; returns the files written.

    With a ``run.json``, the reports it lists, and no other file lying in the
    folder; without, every report there. A callback's Parquet report is drawn
    rather than its CSV, and its CSV rather than its JSON lines. The figures are
    recorded in run.json (``figures``, and in ``files``), even those written
    before a report that could not be drawn.
    """
    folder = Path(folder)
    record = folder / "run.json"
    run = _run_record(record) if record.is_file() else None
    if run is None:
        names = sorted(p.name for p in folder.iterdir() if p.suffix in _REPORTS and _is_report(p))
    else:
        names = _listed_reports(record, run)
    reports: dict[str, Path] = {}
    for suffix in _REPORTS:
        for name in names:
            if name.endswith(suffix) and _is_report(folder / name):
                reports[name[: -len(suffix)]] = folder / name
    written: list[Path] = []
    try:
        for stem, path in sorted(reports.items()):
            table = read(path) if path.is_dir() or path.stat().st_size else None
            if table is None or table.empty or not numeric_columns(table):
                continue
            target = folder / f"{stem}.png"
            figure(table, title=stem).savefig(target, dpi=100)
            written.append(target)
    finally:
        if run is not None:
            _record_figures(record, [p.name for p in written])
    return written


def _run_record(path: Path) -> dict[str, Any]:
    try:
        run = json.loads(path.read_text(encoding="utf-8"))
    except ValueError as exc:
        raise ValueError(f"{path} is not a run record: {exc}") from None
    if not isinstance(run, dict):
        raise ValueError(f"{path} is not a run record: not a JSON object")
    return run


def _listed_reports(path: Path, run: dict[str, Any]) -> list[str]:
    """The report files of a run record; folders of older versions list them only
    under each callback."""
    listed = run.get("reports")
    if listed is None:
        callbacks = run.get("callbacks") or []
        listed = [name for cb in callbacks if isinstance(cb, dict)
                  for name in cb.get("reports") or []]
    if not isinstance(listed, list):
        raise ValueError(f"{path}: 'reports' is not a list of file names")
    for name in listed:
        # A record names files in its own folder; anything else is not followed.
        if not isinstance(name, str) or Path(name).name != name or name in ("", ".", ".."):
            raise ValueError(f"{path} lists {name!r}, which is not a file name in its folder")
    return listed


def _record_figures(path: Path, figures: list[str]) -> None:
    # Read again now, so that what the run record says is kept as it is now.
    run = _run_record(path)
    owned = run.get("files")
    if not isinstance(owned, list):  # an older record: the files it implies
        owned = ["run.json", *_listed_reports(path, run)]
    run["figures"] = figures
    run["files"] = list(dict.fromkeys([*owned, *figures]))
    temporary = path.with_name(path.name + ".partial")
    temporary.write_text(json.dumps(run, indent=2) + "\n", encoding="utf-8")
    os.replace(temporary, path)
