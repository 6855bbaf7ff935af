"""Parquet reports: folders of parts of whole ticks, read back as the CSV reads."""

import json
import os
import signal
import subprocess
import sys
import time
from contextlib import closing

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("pyarrow")

from test_results import Attribute, Value, chain, world  # noqa: E402

from sorvane_core import plot  # noqa: E402
from sorvane_core.graph import Infrastructure, edge_key  # noqa: E402
from sorvane_core.models.columns import Columns, Grouped, GroupLayout  # noqa: E402
from sorvane_core.results import parquet, read_report, reports, tables  # noqa: E402
from sorvane_core.results.reports import UnwritableValueError  # noqa: E402
from sorvane_core.simulation import Simulator  # noqa: E402
from sorvane_core.workflow.callbacks.callback import SorvaneCallback  # noqa: E402

BOTH = ["csv", "parquet"]


def parts(folder):
    return sorted(p.name for p in folder.iterdir())


def ticks_in(path):
    return sorted(set(read_report(path)["tick"]))


@pytest.fixture
def part_per_tick(monkeypatch):
    monkeypatch.setattr(parquet, "PART_EVERY_S", 0.0)


def test_values_of_any_kind_read_back_as_from_the_csv(tmp_path):
    infr = Infrastructure("dc")
    names = ["NA", "N/A", "None", "null", "nan"]
    mixed = [1, "a", 2.5, True, None]
    for i, name in enumerate(names):
        infr.add_node(name, flag=np.bool_(i % 2), big=2**70 + i, nan=float("nan"), none=None,
                      flat={"up": np.bool_(i), "load": np.float32(i / 2), "tick": i},
                      keyed={(0, i): 2, "a": {3, 1, 2}}, mixed=mixed[i], number=[1, 2.5][i % 2],
                      long=2**60 + i)
    kinds = ["flag", "big", "nan", "none", "flat", "keyed", "mixed", "number", "long"]
    sim = Simulator(infr, [], [Attribute(k, "node", report=BOTH) for k in kinds], out=tmp_path)
    sim.run(2)
    read = {k: read_report(tmp_path / f"{k}.parquet") for k in kinds}
    for kind in kinds:
        pd.testing.assert_frame_equal(read[kind], read_report(tmp_path / f"{kind}.csv"))
        assert read[kind]["node"].tolist() == names * 2
    assert read["flag"]["value"].dtype == bool
    assert read["big"]["value"].tolist() == [2**70 + i for i in range(5)] * 2
    assert read["long"]["value"].tolist() == [2**60 + i for i in range(5)] * 2
    assert read["nan"]["value"].isna().all() and read["none"]["value"].isna().all()
    assert list(read["flat"].columns)[4:] == ["up", "load", "value.tick"]
    assert read["number"]["value"].tolist() == [1.0, 2.5, 1.0, 2.5, 1.0] * 2
    assert read["mixed"]["value"].tolist()[:4] == ["1", "a", "2.5", "True"]
    assert [json.loads(v) for v in read["keyed"]["value"][:2]] == [
        [[[0, i], 2], ["a", [1, 2, 3]]] for i in range(2)]
    # The types of the file itself, for readers other than this one.
    schema = parquet.import_pyarrow()[1].read_schema(tmp_path / "big.parquet/part-000000.parquet")
    assert str(schema.field("value").type) == "string"
    assert str(schema.field("tick").type) == "int64"


@pytest.mark.parametrize("values", [
    [1, 2.5, None],  # ints, then floats: promoted to floats
    [1, "x", 2],  # a number, then text: the CSV's text
    [2**70, 1, None],  # beyond int64, then within: whole ints
    [True, 3],
    [{"a": 1}, {"a": 2, "b": "x"}, 3],  # columns that come later
    [None, 1.5],
])
def test_parts_of_different_types_read_back_as_one_column(tmp_path, part_per_tick, values):
    cb = Value("v", None, lambda ev: values[ev.data["tick"]], report=BOTH)
    Simulator(*world(), [cb], out=tmp_path).run(len(values))
    assert parts(tmp_path / "v.parquet") == [f"part-00000{i}.parquet" for i in range(len(values))]
    pd.testing.assert_frame_equal(read_report(tmp_path / "v.parquet"),
                                  read_report(tmp_path / "v.csv"))


def test_a_tick_that_fails_half_way_leaves_no_row(tmp_path):
    def fail(ev):
        if ev.data["tick"] == 3:
            raise RuntimeError("boom")
    link = Value("link", "link", lambda u, v, res, *a, **k: res["bw"], report="parquet")
    sim = Simulator(*chain(), [link, Value("fail", None, fail)], out=tmp_path)
    with pytest.raises(RuntimeError):
        sim.run(10)
    assert ticks_in(tmp_path / "link.parquet") == [0, 1, 2]


@pytest.mark.parametrize("stop_at, kept", [("tick", [0, 1]), ("alarm", [0, 1, 2])])
def test_a_stepping_run_closed_keeps_the_ticks_it_finished(tmp_path, part_per_tick, stop_at,
                                                           kept):
    source = Value("source", None, lambda ev: ev.data["tick"], triggers={"alarm": bool},
                   report="parquet")
    sim = Simulator(*chain(), [source], out=tmp_path)
    with closing(sim.iter(10)) as steps:
        for record in steps:
            if record["tick"] == 2 and record["event"] == stop_at:
                break
    assert ticks_in(tmp_path / "source.parquet") == kept


@pytest.mark.parametrize("stall", [0.0, 0.2], ids=["written", "still-writing"])
def test_ctrl_c_while_a_part_is_handed_over_writes_it_once(tmp_path, part_per_tick, monkeypatch,
                                                           stall):
    from sorvane_core.results import parquet

    write, wait = parquet._write, parquet.ParquetReport._wait
    calls = []

    def slow(table, final, texts):
        time.sleep(stall)
        write(table, final, texts)

    def interrupted(self):  # Ctrl-C as the second part is handed over
        calls.append(1)
        if len(calls) == 2:
            raise KeyboardInterrupt
        wait(self)
    monkeypatch.setattr(parquet, "_write", slow)
    monkeypatch.setattr(parquet.ParquetReport, "_wait", interrupted)
    node = Value("node", "node", lambda n, *a, **k: 1, report="parquet")
    with pytest.raises(KeyboardInterrupt):
        Simulator(*chain(), [node], out=tmp_path).run(5)
    rows = read_report(tmp_path / "node.parquet")
    assert rows.groupby("tick").size().to_dict() == {0: 4, 1: 4}
    assert json.loads((tmp_path / "run.json").read_text())["status"] == "interrupted"


KILLED = """\
from sorvane_core.graph import Infrastructure
from sorvane_core.results import parquet
from sorvane_core.simulation import Simulator
from sorvane_core.workflow.callbacks.callback import SorvaneCallback

parquet.PART_ROWS = 50  # ten ticks a part

class Load(SorvaneCallback):
    def __call__(self, node, res, placements, infr, view, tick, **event_data):
        return tick * 1.5

infr = Infrastructure("dc")
for i in range(5):
    infr.add_node(f"n{{i}}")
Simulator(infr, [], [Load("load", "node", report="parquet")], out={out!r}).run(10**9)
"""


def test_a_killed_run_keeps_its_parts_readable_and_of_whole_ticks(tmp_path):
    folder = tmp_path / "load.parquet"
    child = subprocess.Popen([sys.executable, "-c", KILLED.format(out=str(tmp_path))],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and child.poll() is None and (
            not folder.exists() or len(parquet.parts_of(folder)) < 20):
        time.sleep(0.01)
    os.kill(child.pid, signal.SIGKILL)
    _, errors = child.communicate()
    assert child.returncode == -signal.SIGKILL, errors.decode()
    loads = read_report(folder)
    ticks = loads.groupby("tick").size()
    assert len(ticks) >= 200 and ticks.eq(5).all()
    assert list(ticks.index) == list(range(len(ticks)))
    assert (loads["value"] == loads["tick"] * 1.5).all()


@pytest.mark.parametrize("make, value_type", [
    (lambda: (lambda loop: loop.append(loop) or loop)([]), "list"),
    (lambda: "text \ud800 with a lone surrogate", "str"),
    (lambda: {"text": "\udcff"}, "str"),
])
def test_a_value_that_cannot_be_written_is_named(tmp_path, make, value_type):
    def produce(ev):
        return make() if ev.data["tick"] == 2 else {"text": str(ev.data["tick"])}
    sim = Simulator(*world(), [Value("bad", None, produce, report="parquet")], out=tmp_path)
    with pytest.raises(UnwritableValueError, match=f"callback 'bad' produced at tick 2 a value "
                                                   f"of type {value_type} that cannot be written "
                                                   f"to bad.parquet"):
        sim.run(5)
    assert ticks_in(tmp_path / "bad.parquet") == [0, 1]
    assert json.loads((tmp_path / "run.json").read_text())["status"] == "failed"


def test_overwriting_removes_the_listed_folders_parts_and_nothing_else(tmp_path, part_per_tick):
    first = [Value(n, None, lambda ev: 1, report="parquet") for n in ("kept", "gone", "shared")]
    Simulator(*world(), first, out=tmp_path).run(3)
    (tmp_path / "shared.parquet" / "notes.txt").write_text("mine")
    (tmp_path / "gone.parquet" / "part-000009.parquet.partial").write_text("cut short")
    second = Simulator(*world(), [Value("kept", None, lambda ev: 2, report="parquet")],
                       out=tmp_path)
    second.run(1, overwrite=True)
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "kept.parquet", "migrations.csv", "run.json", "shared.parquet"]
    assert parts(tmp_path / "shared.parquet") == ["notes.txt"]
    assert read_report(tmp_path / "kept.parquet")["value"].tolist() == [2]
    # Parts that no run.json lists are someone else's: refused, not mixed in, not removed.
    (tmp_path / "run.json").unlink()
    (tmp_path / "shared.parquet" / "part-000000.parquet").write_text("not ours")
    with pytest.raises(FileExistsError, match="shared.parquet' holds parts that the folder's "
                                              "run.json does not list"):
        Simulator(*world(), [Value("shared", None, bool, report="parquet")], out=tmp_path).run(1)
    assert (tmp_path / "shared.parquet" / "part-000000.parquet").read_text() == "not ours"
    assert "shared.parquet" not in json.loads((tmp_path / "run.json").read_text())["files"]


class Arrays(SorvaneCallback):
    """Hands out its data as the models do, column by column; ``plain=True`` hands out
    the same data as dicts, which the reports write row by row."""

    def __init__(self, name, kind, values, plain=False):
        super().__init__(name, kind, report=["csv", "jsonl", "parquet"])
        self.values, self.plain = values, plain

    def _call_by_type(self, trigger):
        sim = trigger.simulator
        tick = trigger.data["tick"]
        if self.type == "service":
            services = {app: list(pl.application.services) for app, pl in sim.placements.items()}
            ids = [sid for app in services for sid in services[app]]
            layout = GroupLayout(list(services), [len(v) for v in services.values()], ids)
            data = Grouped(layout, self.values(tick, len(ids)))
            return {a: dict(c) for a, c in data.items()} if self.plain else data
        if self.type == "link":
            ends = list(sim.infrastructure.edges)
            keys = [edge_key(u, v) for u, v in ends]
            data = columns(keys, self.values(tick, len(keys)),
                           key_columns=[[u for u, _ in ends], [v for _, v in ends]])
        else:
            nodes = list(sim.infrastructure.nodes)
            data = columns(nodes, self.values(tick, len(nodes)))
        return dict(data) if self.plain else data


def columns(keys, values, key_columns=None):
    return Columns(keys, {k: i for i, k in enumerate(keys)}, values, key_columns)


def scalars(tick, n):
    load = np.arange(n, dtype=float) * tick
    load[tick % n] = np.nan
    return {"value": load}


def records(tick, n):
    return {"load": np.linspace(0, 1, n, dtype=np.float32) + tick, "up": np.arange(n) % 2 == 0,
            "count": np.arange(n, dtype=np.int64) + 2**40, "name": np.array(["a", "NA"] * n)[:n],
            "tick": np.full(n, tick, dtype=np.uint8)}


@pytest.mark.parametrize("kind, values", [
    ("node", scalars), ("node", records), ("service", records), ("link", scalars)])
def test_column_data_writes_the_rows_that_dicts_write(tmp_path, monkeypatch, kind, values):
    row_by_row = []
    pairs = reports.pairs
    monkeypatch.setattr(reports, "pairs", lambda k, data, *a: row_by_row.append(data)
                        or pairs(k, data, *a))
    sim = Simulator(*chain(), [Arrays("fast", kind, values),
                               Arrays("slow", kind, values, plain=True)], out=tmp_path)
    sim.run(3)
    assert len(row_by_row) == 3 and all(type(d) is dict for d in row_by_row)
    for suffix in (".csv", ".jsonl"):
        fast, slow = (tmp_path / f"{name}{suffix}" for name in ("fast", "slow"))
        assert fast.read_bytes() == slow.read_bytes(), suffix
    fast, slow = (read_report(tmp_path / f"{n}.parquet") for n in ("fast", "slow"))
    pd.testing.assert_frame_equal(fast, slow)
    pd.testing.assert_frame_equal(fast, read_report(tmp_path / "fast.csv"), check_dtype=False)
    assert len(fast) == 3 * {"node": 4, "service": 3, "link": 3}[kind]


def test_tables_and_plots_read_the_parquet_report_first(tmp_path, monkeypatch):
    node = Value("load_pct", "node", lambda n, res, pls, infr, pv, tick: 1.5 * tick,
                 report=["jsonl", "csv", "parquet"])
    sim = Simulator(*chain(), [node], out=tmp_path)
    sim.run(3)
    read = []
    monkeypatch.setattr(tables, "read_report", lambda path: read.append(path.name)
                        or read_report(path))
    for remove in (parquet.remove_parts, os.unlink, None):
        table = sim.results("load_pct")
        assert len(table) == 12 and table["value"].max() == 3.0
        if remove is not None:
            remove(tmp_path / read[-1])
    assert read == ["load_pct.parquet", "load_pct.csv", "load_pct.jsonl"]
    sim.run(3, overwrite=True)
    assert [p.name for p in plot.save_all(tmp_path)] == ["load_pct.png"]
    fig = plot.figure(tmp_path / "load_pct.parquet")
    assert len(fig.axes[0].get_lines()) == 4 and fig.axes[0].get_ylabel() == "load (%)"


def test_an_empty_report_reads_back_with_its_columns(tmp_path):
    never = Value("never", "link", bool, activates_on="nothing", report="parquet")
    Simulator(*chain(), [never], out=tmp_path).run(2)
    frame = read_report(tmp_path / "never.parquet")
    assert frame.empty and list(frame.columns) == ["tick", "event", "trigger", "source", "target"]


def test_without_pyarrow_parquet_reports_are_refused_up_front_and_csv_read(tmp_path,
                                                                           monkeypatch):
    sim = Simulator(*world(), [Value("v", None, lambda ev: 1, report=BOTH)])
    sim.run(2, out=tmp_path / "before")
    with monkeypatch.context() as patched:
        patched.setattr(parquet, "import_pyarrow", lambda: __import__("no_such_module"))
        assert sim.results("v")["value"].tolist() == [1, 1]  # from the CSV
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    with pytest.raises(ImportError, match=r"pip install 'sorvane_core\[analysis\]'"):
        sim.run(1, out=tmp_path / "out")
    assert not (tmp_path / "out").exists()
    assert len(sim.run(1)) == 2  # nothing to write, nothing needed
    with pytest.raises(ImportError, match=r"Parquet reports need pyarrow: pip install"):
        read_report(tmp_path / "before" / "v.parquet")


def test_a_part_of_many_ticks_of_column_data_keeps_every_key(tmp_path, monkeypatch):
    # More ticks in one part than the keys a report remembers: the keys of the nodes, a
    # tuple the layout owns, must be the same object tick after tick.
    from sorvane_core import models
    from sorvane_core.results import parquet

    monkeypatch.setattr(parquet, "PART_ROWS", 10**9)
    monkeypatch.setattr(parquet, "PART_EVERY_S", 10**9)
    infr = Infrastructure("dc")
    for n in range(3):
        infr.add_node(f"n{n}", cpu=4)
    sim = Simulator(infr, [], [models.NodeUtilisation(report="parquet")], out=tmp_path)
    sim.run(parquet._Known.LIMIT + 6)
    rows = read_report(tmp_path / "utilisation.parquet")
    assert len(rows) == 3 * (parquet._Known.LIMIT + 6)
    assert rows["node"].tolist()[:3] == ["n0", "n1", "n2"]
