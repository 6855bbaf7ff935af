"""Reports streamed to files, run.json, tables, seeds and the progress bar."""

import csv
import io
import json
import sys
from contextlib import closing

import pandas as pd
import pytest

from sorvane_core.graph import Application, Infrastructure
from sorvane_core.placement import Placement
from sorvane_core.results import read_report
from sorvane_core.results.reports import file_stem
from sorvane_core.simulation import Simulator
from sorvane_core.utils.types import CallbackType
from sorvane_core.workflow.callbacks.callback import SorvaneCallback


class Value(SorvaneCallback):
    """Returns ``fn(*args)``; any type, any report types."""

    def __init__(self, name, kind, fn, report=("csv", "jsonl"), **kwargs):
        super().__init__(name, kind, report=[report] if isinstance(report, str) else list(report),
                         **kwargs)
        self.fn = fn

    def __call__(self, *args, **event_data):
        return self.fn(*args, **event_data)


def world():
    """Tuple node ids and names with commas: edge keys that text alone cannot split."""
    infr = Infrastructure("dc")
    infr.add_edge((0, 1), "a,b", bw=10)
    infr.add_edge("a", "b,c", bw=20)
    infr.add_edge("a,b", "c", bw=30)  # same key text "a,b,c" as the link before
    app = Application("web")
    app.add_interaction("front", "api", rate=5)
    app.add_interaction("api", "db,1", rate=7)
    return infr, [Placement(app, infr, {"front": (0, 1), "api": "a", "db,1": "c"})]


def callbacks():
    return [
        Value("sim", None, lambda ev: {"tick": ev.data["tick"], "ok": True}),
        Value("apps", "application", lambda app, pl, infr, tick: len(app)),
        Value("svc", "service", lambda s, req, pl, infr, tick: None if s == "db,1" else [s, tick]),
        Value("inter", CallbackType.INTERACTION,
              lambda u, v, req, pl, infr, tick: req["rate"] * tick),
        Value("infra", "infrastructure", lambda infr, pv, tick: {"nodes": len(infr), "t": tick}),
        Value("node", "node", lambda n, res, pls, infr, pv, tick: 1.5 * tick),
        Value("link", "link", lambda u, v, res, pls, infr, pv, tick: res["bw"]),
    ]


def read_csv(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def read_jsonl(path):
    return [json.loads(line) for line in path.read_text().splitlines()]


def test_reports_have_one_row_per_value_with_the_keys_of_the_type(tmp_path):
    sim = Simulator(*world(), callbacks(), out=tmp_path)
    sim.run(2)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        [f"{n}.{k}" for n in ("sim", "apps", "svc", "inter", "infra", "node", "link")
         for k in ("csv", "jsonl")]
        + ["run.json", "migrations.csv"])
    assert read_jsonl(tmp_path / "sim.jsonl")[1] == {"tick": 1, "event": "tick", "trigger": "tick",
                                                     "value.tick": 1, "ok": True}
    assert read_csv(tmp_path / "apps.csv")[0] == {"tick": "0", "event": "tick", "trigger": "tick",
                                                  "application": "web", "value": "3"}
    svc = read_jsonl(tmp_path / "svc.jsonl")
    assert [(r["service"], r["value"]) for r in svc if r["tick"] == 1] == [
        ("front", '["front", 1]'), ("api", '["api", 1]'), ("db,1", None)]
    # Edges come back as the real (source, target), never by splitting "u,v".
    inter = read_jsonl(tmp_path / "inter.jsonl")
    assert [(r["source"], r["target"], r["value"]) for r in inter if r["tick"] == 1] == [
        ("front", "api", 5), ("api", "db,1", 7)]
    links = read_jsonl(tmp_path / "link.jsonl")[:2]
    # ("a,b", "c") and ("a", "b,c") share the key "a,b,c": the link walked later wins, as in
    # the collector's own result, at the place of the first.
    assert [(r["source"], r["target"], r["value"]) for r in links] == [
        ([0, 1], "a,b", 10), ("a", "b,c", 20)]
    assert read_csv(tmp_path / "node.csv")[0]["node"] == "(0, 1)"
    assert list(read_csv(tmp_path / "infra.csv")[0]) == ["tick", "event", "trigger", "nodes", "t"]


def test_tables_from_reports_equal_tables_from_history(tmp_path):
    sim = Simulator(*world(), callbacks(), out=tmp_path)
    sim.run(3)
    for name in ("apps", "inter", "node", "infra", "sim"):
        from_files = sim.results(name)
        from_history = sim.results(name, source="history")
        # CSV keeps text: the tuple node (0, 1) comes back as "(0, 1)".
        pd.testing.assert_frame_equal(from_files.astype(str), from_history.astype(str))
    with pytest.raises(KeyError, match="no callback named 'nope'; the simulator has 'sim', 'apps'"):
        sim.results("nope")


def test_a_header_that_grows_rewrites_the_earlier_rows(tmp_path):
    shapes = [{"a": 1}, {"a": 2, "b": "x"}, 3]
    cb = Value("grow", None, lambda ev: shapes[ev.data["tick"]], report=["csv"])
    Simulator(*world(), [cb], out=tmp_path).run(3)
    assert (tmp_path / "grow.csv").read_text().splitlines() == [
        "tick,event,trigger,a,b,value", "0,tick,tick,1,,", "1,tick,tick,2,x,", "2,tick,tick,,,3"]


def test_cascaded_activations_report_their_single_value_and_trigger(tmp_path):
    source = Value("source", None, lambda ev: ev.data["tick"], report=[])
    follower = Value("follower", "node", lambda trigger: trigger.data * 10, activates_on="source")
    sim = Simulator(*world(), [source, follower], out=tmp_path)
    sim.run(2)
    assert read_csv(tmp_path / "follower.csv") == [
        {"tick": "0", "event": "tick", "trigger": "source", "node": "", "value": "0"},
        {"tick": "1", "event": "tick", "trigger": "source", "node": "", "value": "10"}]
    assert not (tmp_path / "source.csv").exists()
    assert sim.results("follower")["value"].tolist() == [0, 10]


@pytest.mark.parametrize("make, match", [
    (lambda: [Value("x", None, bool, report=["csv", "xlsx"])],
     "callback 'x' asks for report types \\['xlsx'\\]; known types: 'csv', 'jsonl', 'parquet'"),
    (lambda: [Value("a/b", None, bool), Value("a_b", None, bool)],
     "callbacks 'a/b' and 'a_b' would both write 'a_b.csv'"),
])
def test_report_mistakes_are_caught_before_anything_is_written(tmp_path, make, match):
    out = tmp_path / "out"
    with pytest.raises(ValueError, match=match):
        Simulator(*world(), make(), out=out).run(1)
    assert not out.exists() or not any(p.suffix in (".csv", ".jsonl") for p in out.iterdir())


@pytest.mark.parametrize("name, stem", [("load", "load"), ("../../etc/passwd", "_.._etc_passwd"),
                                         (".hidden", "hidden"), ("", "_"), (("a", 1), "__a___1_")])
def test_callback_names_become_safe_file_names(name, stem):
    assert file_stem(name) == stem


def test_without_an_output_folder_nothing_is_written(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    Simulator(*world(), callbacks()).run(2)
    assert list(tmp_path.iterdir()) == []


def test_run_json_describes_the_run(tmp_path):
    stopper = Value("stopper", None, lambda ev: ev.data["tick"],
                    triggers={"stop": lambda t: t == 2}, activates_every_n={"tick": 1})
    sim = Simulator(*world(), [stopper, Value("node", "node", lambda *a, **k: 1, report="jsonl")],
                    out=tmp_path, seed=5)
    sim.run(10)
    meta = json.loads((tmp_path / "run.json").read_text())
    assert {k: meta[k] for k in ("status", "error", "mode", "ray_address", "seed", "seed_given",
                                 "ticks_asked", "ticks_run", "stopped")} == {
        "status": "finished", "error": None, "mode": "simulation", "ray_address": None, "seed": 5,
        "seed_given": True, "ticks_asked": 10, "ticks_run": 3, "stopped": True}
    assert meta["callbacks"][1] == {"name": "node", "type": "node", "activates_on": ["tick"],
                                    "periods": {"tick": 1}, "remote": False,
                                    "report_types": ["jsonl"], "reports": ["node.jsonl"]}
    assert meta["infrastructure"] == {"id": "dc", "nodes": 5, "links": 3}
    assert meta["placements"] == {"applications": 1, "placed_applications": 1, "services": 3,
                                  "placed_services": 3, "interactions": 2}
    version = sys.version_info
    assert meta["python"] == f"{version.major}.{version.minor}.{version.micro}"


def test_run_json_says_how_a_run_ended(tmp_path):
    def fail(ev):
        if ev.data["tick"] == 1:
            raise RuntimeError("boom")
    sim = Simulator(*world(), [Value("bad", None, fail)], out=tmp_path)
    with pytest.raises(RuntimeError):
        sim.run(5)
    meta = json.loads((tmp_path / "run.json").read_text())
    assert (meta["status"], meta["error"], meta["ticks_run"]) == ("failed", "RuntimeError: boom", 1)
    assert len(read_csv(tmp_path / "bad.csv")) == 1  # tick 0 was written before the failure
    steps = sim.iter(5, overwrite=True)
    next(steps)
    assert json.loads((tmp_path / "run.json").read_text())["status"] == "running"
    steps.close()
    assert json.loads((tmp_path / "run.json").read_text())["status"] == "closed"



def test_a_report_that_cannot_be_written_fails_the_run_and_closes_the_others(tmp_path,
                                                                              monkeypatch):
    from sorvane_core.results import reports

    def full_disk(self):
        self.file.close()
        raise OSError(28, "No space left on device")
    monkeypatch.setattr(reports._JsonlFile, "close", full_disk)
    node = Value("node", "node", lambda *a, **k: 1, report=("jsonl", "csv"))
    sim = Simulator(*world(), [node, Value("never", "node", bool, activates_on="overload")],
                    out=tmp_path)
    with pytest.raises(OSError, match="No space left"):
        sim.run(2)
    assert len(read_csv(tmp_path / "node.csv")) == 2 * 5
    assert (tmp_path / "never.csv").read_text() == "tick,event,trigger,node\n"  # closed whole
    meta = json.loads((tmp_path / "run.json").read_text())
    assert meta["status"] == "failed" and "No space left" in meta["error"]

def test_the_same_seed_gives_the_same_reports(tmp_path):
    def draw(ev):
        return ev.simulator.rng.random()
    files = []
    for run, seed in enumerate([11, 11, 12]):
        sim = Simulator(*world(), [Value("draw", None, draw)], out=tmp_path / str(run), seed=seed)
        sim.run(5)
        files.append((tmp_path / str(run) / "draw.csv").read_bytes())
    assert files[0] == files[1] != files[2]
    unseeded = Simulator(*world(), [Value("draw", None, draw)])
    first = [r["data"]["draw"] for r in unseeded.run(3)[:-1]]
    seed = unseeded.seed
    assert [r["data"]["draw"] for r in Simulator(*world(), [Value("draw", None, draw)], seed=seed)
            .run(3)[:-1]] == first  # the drawn seed repeats the run


def test_progress_bar_only_when_asked_or_on_a_terminal(capsys, monkeypatch):
    Simulator(*world(), [], progress=True).run(3)
    assert "3/3" in capsys.readouterr().err
    Simulator(*world(), []).run(3)  # stderr is not a terminal here
    assert capsys.readouterr().err == ""
    monkeypatch.setattr(sys, "stderr", type("Tty", (io.StringIO,), {"isatty": lambda self: True})())
    Simulator(*world(), []).run(2, progress=False)
    assert sys.stderr.getvalue() == ""


@pytest.mark.parametrize("module, call", [
    ("pandas", lambda sim: sim.results("sim")),
    ("tqdm", lambda sim: sim.run(1, progress=True)),
])
def test_missing_extras_name_the_extra(monkeypatch, module, call):
    monkeypatch.setitem(sys.modules, module, None)
    sim = Simulator(*world(), [Value("sim", None, lambda ev: 1)])
    sim.run(1)
    with pytest.raises(ImportError, match=r"pip install 'sorvane_core\[analysis\]'"):
        call(sim)


def chain():
    """Links n0-n1-n2-n3 and an application of two interactions."""
    infr = Infrastructure("dc")
    for i in range(3):
        infr.add_edge(f"n{i}", f"n{i + 1}", bw=i)
    app = Application("web")
    app.add_interaction("a", "b", rate=1)
    app.add_interaction("b", "c", rate=2)
    return infr, [Placement(app, infr, {"a": "n0", "b": "n1", "c": "n2"})]


def ticks_in(path):
    rows = read_jsonl(path) if path.suffix == ".jsonl" else read_csv(path)
    return sorted({int(r["tick"]) for r in rows})


def test_a_tick_that_fails_half_way_leaves_no_row(tmp_path):
    def fail(ev):
        if ev.data["tick"] == 3:
            raise RuntimeError("boom")
    link = Value("link", "link", lambda u, v, res, *a, **k: res["bw"])
    sim = Simulator(*chain(), [link, Value("fail", None, fail)], out=tmp_path)
    with pytest.raises(RuntimeError):
        sim.run(10)
    meta = json.loads((tmp_path / "run.json").read_text())
    assert (meta["status"], meta["ticks_run"], sim.ticks_run) == ("failed", 3, 3)
    assert ticks_in(tmp_path / "link.csv") == ticks_in(tmp_path / "link.jsonl") == [0, 1, 2]


@pytest.mark.parametrize("stop_at, whole", [("tick", False), ("alarm", True)])
def test_a_stepping_run_closed_keeps_the_ticks_it_finished(tmp_path, stop_at, whole):
    """Closed at tick 2's own record, the tick is not over (its "alarm" is still to come);
    closed at the alarm, its last record, it is."""
    source = Value("source", None, lambda ev: ev.data["tick"], triggers={"alarm": bool})
    alarm = Value("on_alarm", None, lambda ev: ev.name, activates_on="alarm")
    sim = Simulator(*chain(), [source, alarm], out=tmp_path)
    with closing(sim.iter(10)) as steps:
        for record in steps:
            if record["tick"] == 2 and record["event"] == stop_at:
                break
    kept = [0, 1, 2] if whole else [0, 1]
    assert sim.ticks_run == len(kept)
    assert json.loads((tmp_path / "run.json").read_text())["ticks_run"] == len(kept)
    assert ticks_in(tmp_path / "source.csv") == kept
    assert ticks_in(tmp_path / "on_alarm.csv") == [t for t in kept if t]


def test_edge_rows_keep_the_ends_they_were_measured_on(tmp_path):
    def cut(ev):  # after the link and interaction callbacks of the same tick
        sim = ev.simulator
        if ev.data["tick"] == 1:
            sim.infrastructure.remove_edge("n0", "n1")
            sim.placements["web"].application.remove_edge("a", "b")
    link = Value("link", "link", lambda u, v, res, *a, **k: res["bw"])
    inter = Value("inter", "interaction", lambda u, v, req, *a, **k: req["rate"])
    sim = Simulator(*chain(), [link, inter, Value("cut", None, cut)], out=tmp_path)
    sim.run(3)
    whole = {("n0", "n1"), ("n1", "n2"), ("n2", "n3")}
    expected_links = {0: whole, 1: whole, 2: whole - {("n0", "n1")}}
    for source in ("reports", "history"):
        links = sim.results("link", source=source)
        assert {t: set(zip(g["source"], g["target"])) for t, g in links.groupby("tick")} == \
            expected_links, source
        inters = sim.results("inter", source=source)
        assert list(zip(inters["tick"], inters["source"], inters["target"])) == [
            (0, "a", "b"), (0, "b", "c"), (1, "a", "b"), (1, "b", "c"), (2, "b", "c")], source


def test_out_given_to_a_run_is_for_that_run_only(tmp_path):
    sim = Simulator(*world(), [Value("node", "node", lambda *a, **k: 1)])
    sim.run(2, out=tmp_path / "first")
    assert sim.out is None and sim.last_out == tmp_path / "first"
    before = (tmp_path / "first" / "node.csv").read_bytes()
    sim.run(3)
    assert (tmp_path / "first" / "node.csv").read_bytes() == before and sim.last_out is None
    assert len(sim.results("node")) == 3 * 5  # from this run's history


def test_a_folder_holding_a_run_is_refused_unless_overwritten(tmp_path):
    first = Simulator(*world(), [Value("old", None, lambda ev: 1),
                                 Value("kept", None, lambda ev: 1)], out=tmp_path)
    first.run(2)
    (tmp_path / "notes.txt").write_text("mine")
    second = Simulator(*world(), [Value("kept", None, lambda ev: 2)], out=tmp_path)
    with pytest.raises(FileExistsError, match=f"output folder '{tmp_path}' already holds a run "
                                              "\\(its run.json says 'finished'\\)"):
        second.run(2)
    second.run(2, overwrite=True)
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "kept.csv", "kept.jsonl", "migrations.csv", "notes.txt", "run.json"]  # notes.txt stayed
    assert json.loads((tmp_path / "run.json").read_text())["files"] == [
        "run.json", "migrations.csv", "kept.csv", "kept.jsonl"]


class Attribute(SorvaneCallback):
    """A node callback that returns one attribute of each node."""

    def __call__(self, node, res, placements, infr, view, **event_data):
        return res[self.name]


def test_values_of_any_kind_are_written_and_read_back(tmp_path):
    import numpy as np

    infr = Infrastructure("dc")
    names = ["NA", "N/A", "None", "null", "nan"]  # read as missing values by default
    for i, name in enumerate(names):
        infr.add_node(name, flag=np.bool_(i % 2), big=2**70 + i, nan=float("nan"),
                      flat={"up": np.bool_(i), "load": np.float32(i / 2)},
                      keyed={(0, i): 2, "a": {3, 1, 2}})
    kinds = ["flag", "big", "nan", "flat", "keyed"]
    sim = Simulator(infr, [], [Attribute(k, "node", report=["csv", "jsonl"]) for k in kinds]
                    + [Value("never", "node", bool, activates_on="nothing")], out=tmp_path)
    sim.run(1)
    for suffix in (".csv", ".jsonl"):
        tables = {k: read_report(tmp_path / f"{k}{suffix}") for k in kinds}
        for table in tables.values():
            assert table["node"].tolist() == names, suffix  # none read as missing
        assert tables["flag"]["value"].tolist() == [False, True, False, True, False]
        assert tables["big"]["value"].tolist() == [2**70 + i for i in range(5)]
        assert tables["nan"]["value"].isna().all()
        assert tables["flat"]["up"].tolist() == [False, True, True, True, True]
        assert tables["flat"]["load"].tolist() == [0, 0.5, 1, 1.5, 2]
        assert [json.loads(v) for v in tables["keyed"]["value"]] == [
            [[[0, i], 2], ["a", [1, 2, 3]]] for i in range(5)]
    never = read_report(tmp_path / "never.jsonl")
    assert list(never.columns) == ["tick", "event", "trigger", "node"] and never.empty


@pytest.mark.parametrize("value, kind", [
    ((lambda: (lambda loop: loop.append(loop) or loop)([])), "list"),
    ((lambda: "text \ud800 with a lone surrogate"), "str"),
])
def test_a_value_that_cannot_be_written_is_named_and_ends_the_run_cleanly(tmp_path, value, kind):
    from sorvane_core.results.reports import UnwritableValueError

    def produce(ev):
        return value() if ev.data["tick"] == 2 else ev.data["tick"]
    sim = Simulator(*world(), [Value("bad", None, produce, report=["jsonl"]),
                               Value("good", None, lambda ev: 1, report=["csv"])], out=tmp_path)
    with pytest.raises(UnwritableValueError, match=f"callback 'bad' produced at tick 2 a value of "
                                                   f"type {kind} that cannot be written"):
        sim.run(5)
    meta = json.loads((tmp_path / "run.json").read_text())
    assert meta["status"] == "failed" and "UnwritableValueError" in meta["error"]
    assert meta["ticks_run"] == 2 == len(read_csv(tmp_path / "good.csv"))
    assert ticks_in(tmp_path / "bad.jsonl") == [0, 1]
