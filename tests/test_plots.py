"""Figures of reports, and report files read back as they were written."""

import json
import math
import sys

import numpy as np
import pandas as pd
import pytest
from matplotlib.backends.backend_agg import FigureCanvasAgg

from sorvane_core import plot
from sorvane_core.results.tables import read_report


def table(entities, ticks=5, column="load_pct"):
    return pd.DataFrame([{"tick": t, "event": "tick", "trigger": "tick", "node": f"n{e}",
                          column: e * t}
                         for t in range(ticks) for e in range(entities)])


def two_events(entities, ticks=6):
    """Every entity at every tick, and again at the even ticks for an overload."""
    rows = []
    for t in range(ticks):
        for e in range(entities):
            rows.append({"tick": t, "event": "tick", "trigger": "tick", "node": f"n{e}",
                         "load_pct": e * t})
            if t % 2 == 0:
                rows.append({"tick": t, "event": "overload", "trigger": "tick", "node": f"n{e}",
                             "load_pct": e * t + 100})
    return pd.DataFrame(rows)


def data_axes(fig):
    return [ax for ax in fig.axes if ax.get_label() != "<colorbar>"]


def points_drawn(ax):
    """Line vertices, or coloured heat-map cells."""
    if ax.get_lines():
        return sum(int(np.isfinite(line.get_ydata()).sum()) for line in ax.get_lines())
    (mesh,) = ax.collections
    return int(np.isfinite(np.ma.filled(mesh.get_array().astype(float), np.nan)).sum())


def keyless(frame):
    return frame.drop(columns="node")


@pytest.mark.parametrize("rows, first_series", [
    (two_events(3), ["n0 / tick", "n0 / overload"]),
    (pd.concat([two_events(3).assign(run="a"), two_events(3).assign(run="b")]),
     ["n0 / tick / a", "n0 / overload / a"]),
    (pd.concat([table(3), table(3)]), ["n0 #1", "n0 #2"]),
    (table(1), ["n0"]),
    (keyless(two_events(1)), ["tick", "overload"]),
    (pd.concat([keyless(table(1)), keyless(table(1))]), ["#1", "#2"]),
    (two_events(20), None),  # 40 series: a heat map
])
def test_every_row_is_drawn(rows, first_series):
    rows = rows.reset_index(drop=True)
    rows.loc[3, "load_pct"] = np.nan  # a gap is no point, and hides no other
    fig = plot.figure(rows, title="load")
    (ax,) = data_axes(fig)
    assert points_drawn(ax) == rows["load_pct"].notna().sum()
    if first_series is not None:
        labels = [line.get_label() for line in ax.get_lines()]
        assert set(first_series) <= set(labels) and len(set(labels)) == len(labels)


@pytest.mark.parametrize("entities, named", [(30, 30), (100, 34), (1000, 40)])
def test_heat_maps_name_their_rows_thinned_to_about_forty(entities, named):
    fig = plot.figure(table(entities, ticks=3))
    (ax,) = data_axes(fig)
    places, labels = ax.get_yticks(), [t.get_text() for t in ax.get_yticklabels()]
    assert len(labels) == named and ax.get_ylabel() == f"node ({entities})"
    assert labels == [f"n{int(p)}" for p in places]  # each name on its own row


@pytest.mark.parametrize("rows", [
    table(3),
    table(12, column="a_rather_long_column_name_ms").assign(
        node=lambda t: "a-node-with-a-long-name-" + t["node"], other_pct=1.0),
    keyless(two_events(1)),
])
def test_legends_sit_outside_the_data(rows):
    fig = plot.figure(rows, title="load")
    FigureCanvasAgg(fig).draw()
    for ax in data_axes(fig):
        box = ax.get_legend().get_window_extent()
        assert not box.overlaps(ax.get_window_extent())
        assert fig.bbox.x0 <= box.x0 and box.x1 <= fig.bbox.x1  # not cut off either


@pytest.mark.parametrize("name, text", [
    ("latency_ms", "latency (ms)"), ("traffic_Mbps", "traffic (Mbit/s)"), ("value", "value"),
    ("queue_length", "queue length"), ("load_pct", "load (%)"), ("uptime_s", "uptime (s)"),
    ("energy_kj", "energy (kJ)"), ("energy_mj", "energy (MJ)"), ("energy_mJ", "energy (mJ)"),
    ("energy_wh", "energy (Wh)"), ("energy_kwh", "energy (kWh)"), ("energy_kWh", "energy (kWh)"),
    ("energy_mwh", "energy (MWh)"), ("power_w", "power (W)"), ("power_kW", "power (kW)"),
    ("power_mW", "power (mW)"), ("energy_j", "energy (J)"), ("link_gbps", "link (Gbit/s)"),
    ("link_kbps", "link (kbit/s)"), ("disk_MBps", "disk (MB/s)"), ("size_Mb", "size (Mbit)"),
    ("size_MB", "size (MB)"), ("latency_ms_p95", "latency p95 (ms)"),
    ("requests_per_s", "requests (/s)"), ("ms", "ms"), ("_s_", "s"),
])
def test_axis_labels_take_units_from_column_names(name, text):
    assert plot.label(name) == text


def report(path, entities=2, column="value"):
    table(entities, column=column).to_csv(path, index=False)


@pytest.mark.parametrize("record", [
    {"reports": ["load.csv", "load.jsonl", "lat.jsonl"],
     "files": ["run.json", "load.csv", "load.jsonl", "lat.jsonl"]},
    # A folder of an older version lists the reports only under each callback.
    {"callbacks": [{"name": "load", "type": "node", "reports": ["load.csv", "load.jsonl"]},
                   {"name": "lat", "type": "node", "reports": ["lat.jsonl"]}]},
])
def test_save_all_draws_the_reports_of_the_run_and_records_its_figures(tmp_path, record):
    run = {"status": "finished", "seed": 3, **record}
    (tmp_path / "run.json").write_text(json.dumps(run))
    report(tmp_path / "load.csv", 3)
    (tmp_path / "load.jsonl").write_text("")  # the CSV is drawn, not this
    table(2).to_json(tmp_path / "lat.jsonl", orient="records", lines=True)
    report(tmp_path / "old.csv")  # a stale report of an earlier run
    assert [p.name for p in plot.save_all(tmp_path)] == ["lat.png", "load.png"]
    assert not (tmp_path / "old.png").exists() and not (tmp_path / "run.json.partial").exists()
    after = json.loads((tmp_path / "run.json").read_text())
    assert after["figures"] == ["lat.png", "load.png"]
    assert after["files"] == ["run.json", "load.csv", "load.jsonl", "lat.jsonl", "lat.png",
                              "load.png"]
    assert {k: after[k] for k in run if k != "files"} == {k: v for k, v in run.items()
                                                         if k != "files"}  # the rest as it was


def test_save_all_records_the_figures_drawn_before_a_report_that_fails(tmp_path):
    (tmp_path / "run.json").write_text(json.dumps({"reports": ["a.csv", "b.jsonl"]}))
    report(tmp_path / "a.csv")
    (tmp_path / "b.jsonl").write_text('{"tick": 0, "event": "tick", "trigger": "tick"}\n{"tick')
    with pytest.raises(ValueError, match=r"b.jsonl, line 2: not JSON"):
        plot.save_all(tmp_path)
    assert json.loads((tmp_path / "run.json").read_text())["figures"] == ["a.png"]


@pytest.mark.parametrize("listed", [["../outside.csv"], ["/tmp/x.csv"], "load.csv"])
def test_save_all_follows_no_path_out_of_the_folder(tmp_path, listed):
    (tmp_path / "run.json").write_text(json.dumps({"reports": listed}))
    with pytest.raises(ValueError, match="run.json"):
        plot.save_all(tmp_path)


def test_save_all_without_a_run_record_draws_every_report(tmp_path):
    report(tmp_path / "load.csv", 3)
    table(2, column="value").to_json(tmp_path / "both.jsonl", orient="records", lines=True)
    report(tmp_path / "both.csv")
    pd.DataFrame({"tick": [0], "event": ["tick"], "trigger": ["tick"], "value": ["text"]}).to_csv(
        tmp_path / "words.csv", index=False)
    assert [p.name for p in plot.save_all(tmp_path)] == ["both.png", "load.png"]
    assert (tmp_path / "load.png").read_bytes()[:4] == b"\x89PNG"
    assert not (tmp_path / "run.json").exists()
    with pytest.raises(ValueError, match="the report 'words' has no numeric value column"):
        plot.figure(tmp_path / "words.csv")


@pytest.mark.parametrize("entities, lines", [(3, 3), (12, 12), (13, 0)])
def test_plots_draw_lines_up_to_a_dozen_entities_then_a_heat_map(entities, lines):
    fig = plot.figure(table(entities), title="node_load")
    (ax,) = data_axes(fig)
    assert len(ax.get_lines()) == lines and ax.get_xlabel() == "tick"
    assert (ax.get_ylabel() == "load (%)") if lines else ax.get_ylabel() == "node (13)"
    assert fig._suptitle.get_text() == "node load"
    colours = [line.get_color() for line in ax.get_lines()]
    assert len(set(colours)) == len(colours)


def test_plots_without_matplotlib_name_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    with pytest.raises(ImportError, match=r"pip install 'sorvane_core\[analysis\]'"):
        plot.figure(table(2))


BIG = 2**64 + 1  # beyond uint64 too
CSV = f"""tick,event,trigger,node,value,flag,big,sparse,word
0,tick,tick,NA,1.5,True,{BIG},{2**53 + 1},true
0,tick,tick,None,,False,-1,,TRUE
1,tick,tick,null,0.30000000000000004,,{2**63},,False
1,tick,tick,nan,inf,True,5,7,
2,tick,tick,"a,b",-inf,False,0,,N/A
"""
JSONL = f"""{{"tick": 0, "event": "2024-01-01", "trigger": "tick", "node": "NA", "value": 1.5}}
{{"tick": 0, "event": "tick", "trigger": "tick", "node": "None", "value": null, "flag": false}}
{{"tick": 1, "event": "tick", "trigger": "tick", "node": "null", "value": NaN, "big": {BIG}}}
{{"tick": 1, "event": "tick", "trigger": "tick", "node": "nan", "value": Infinity, "big": -1}}
{{"tick": 2, "event": "tick", "trigger": "tick", "node": "N/A", "value": -Infinity, "flag": true}}
"""


def cells(column):
    """A column's values as Python sees them, every missing value as None."""
    return [None if v is None or (isinstance(v, float) and math.isnan(v)) else v
            for v in column.tolist()]


def test_csv_reports_read_back_as_written(tmp_path):
    (tmp_path / "r.csv").write_text(CSV)
    frame = read_report(tmp_path / "r.csv")
    assert list(frame.columns) == CSV.splitlines()[0].split(",")
    assert repr(cells(frame["node"])) == repr(["NA", "None", "null", "nan", "a,b"])
    assert repr(cells(frame["value"])) == repr([1.5, None, 0.30000000000000004, math.inf,
                                                 -math.inf])
    assert repr(cells(frame["flag"])) == repr([True, False, None, True, False])
    assert repr(cells(frame["big"])) == repr([BIG, -1, 2**63, 5, 0])
    assert frame["big"].dtype == object
    assert repr(cells(frame["sparse"])) == repr([2**53 + 1, None, None, 7, None])
    assert repr(cells(frame["word"])) == repr(["true", "TRUE", "False", None, "N/A"])


def test_json_lines_reports_read_back_as_written(tmp_path):
    (tmp_path / "r.jsonl").write_text(JSONL)
    frame = read_report(tmp_path / "r.jsonl")
    assert list(frame.columns) == ["tick", "event", "trigger", "node", "value", "flag", "big"]
    assert cells(frame["event"])[0] == "2024-01-01"
    assert repr(cells(frame["node"])) == repr(["NA", "None", "null", "nan", "N/A"])
    assert repr(cells(frame["value"])) == repr([1.5, None, None, math.inf, -math.inf])
    assert repr(cells(frame["flag"])) == repr([None, False, None, None, True])
    assert repr(cells(frame["big"])) == repr([None, None, BIG, -1, None])


@pytest.mark.parametrize("name", ["links.jsonl", "links.csv"])
@pytest.mark.parametrize("record, columns", [
    ({"callbacks": [{"name": "l", "type": "link", "reports": ["links.csv", "links.jsonl"]}]},
     ["tick", "event", "trigger", "source", "target"]),
    ({"callbacks": [{"name": "other", "type": "node", "reports": ["other.jsonl"]}]},
     ["tick", "event", "trigger"]),
    (None, ["tick", "event", "trigger"]),
])
def test_reports_without_rows_have_the_columns_of_their_callback(tmp_path, name, record,
                                                                  columns):
    # An empty CSV is a run killed before the report's first rows.
    (tmp_path / name).write_text("")
    if record is not None:
        (tmp_path / "run.json").write_text(json.dumps(record))
    frame = read_report(tmp_path / name)
    assert frame.empty and list(frame.columns) == columns
