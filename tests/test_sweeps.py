"""Sweeps: one simulation per parameter set, as Ray tasks."""

import csv
import json
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
import ray

import sorvane_core
from sorvane_core import cli
from sorvane_core.graph import Application, Infrastructure
from sorvane_core.placement import Placement
from sorvane_core.sweeps import run_one
from sorvane_core.workflow.callbacks.callback import SorvaneCallback

ray.cloudpickle.register_pickle_by_value(sys.modules[__name__])

SCENARIO = Path(__file__).resolve().parent.parent / "examples" / "edge_cloud.py"


class Draw(SorvaneCallback):
    def __call__(self, event):
        return event.simulator.rng.randint(0, 1000)


def build(seed, nodes, fail=False):
    if fail:
        raise RuntimeError(f"no world with {nodes} nodes")
    infr = Infrastructure("sweep")
    infr.add_nodes_from(range(nodes))
    app = Application("app")
    app.add_service("s")
    callbacks = [Draw("draw", triggers={"stop": lambda v: v < 30})]
    return infr, [Placement(app, infr, {"s": 0})], callbacks


@pytest.mark.usefixtures("ray_session")
def test_a_sweep_runs_every_parameter_set_and_reports_failures(tmp_path):
    params = [{"seed": 1, "nodes": 2}, {"seed": 2, "nodes": 3, "fail": True},
              {"seed": 3, "nodes": 4}]
    rows = sorvane_core.sweep(build, params, 20, tmp_path)
    assert [(r["run"], r["status"], r["nodes"]) for r in rows] == [
        ("run-0000", "finished", 2), ("run-0001", "failed", 3), ("run-0002", "finished", 4)]
    assert rows[1]["error"] == "RuntimeError: no world with 3 nodes" and rows[1]["ticks_run"] == 0
    assert "RuntimeError" in (tmp_path / "run-0001" / "error.txt").read_text()
    assert all(r["wall_time_s"] > 0 for r in rows)
    with open(tmp_path / "sweep.csv", newline="") as f:
        table = list(csv.DictReader(f))
    assert [(t["run"], t["status"], t["seed"]) for t in table] == [
        ("run-0000", "finished", "1"), ("run-0001", "failed", "2"), ("run-0002", "finished", "3")]
    # A run of the sweep is the run made here with the same parameters, byte for byte.
    here = run_one(build, params[2], 20, str(tmp_path / "here"))
    assert (here["ticks_run"], here["stopped"]) == (rows[2]["ticks_run"], rows[2]["stopped"])
    assert ((tmp_path / "here" / "draw.csv").read_bytes()
            == (tmp_path / "run-0002" / "draw.csv").read_bytes())


@pytest.mark.usefixtures("ray_session")
def test_sweep_from_the_command_line(tmp_path, capsys):
    assert cli.main(["sweep", str(SCENARIO), "--param", "seed=1,2", "--ticks", "4",
                     "--out", str(tmp_path), "--no-progress"]) == 0
    out = capsys.readouterr().out
    assert "run-0000 (seed=1): finished, 4 ticks" in out and "run-0001 (seed=2)" in out
    assert (tmp_path / "run-0001" / "utilisation.csv").is_file()
    # build(seed, mode) with no seed swept: each run draws one, and the table says which.
    assert cli.main(["sweep", str(SCENARIO), "--ticks", "2", "--out", str(tmp_path / "drawn"),
                     "--no-progress"]) == 0
    with open(tmp_path / "drawn" / "sweep.csv", newline="") as f:
        (row,) = csv.DictReader(f)
    assert row["status"] == "finished" and int(row["seed"]) >= 0


@pytest.mark.usefixtures("ray_session")
def test_a_parameter_named_like_a_column_of_the_table_keeps_its_value(tmp_path, capsys):
    scenario = tmp_path / "clash.py"
    scenario.write_text(
        "from sorvane_core.graph import Application, Infrastructure\n"
        "from sorvane_core.placement import Placement\n"
        "def build(seed, status):\n"
        "    infr = Infrastructure('clash')\n"
        "    infr.add_node(0)\n"
        "    app = Application('app')\n"
        "    app.add_service('s')\n"
        "    return infr, [Placement(app, infr, {'s': 0})], []\n")
    assert cli.main(["sweep", str(scenario), "--param", "status=low", "--param", "seed=1",
                     "--ticks", "2", "--out", str(tmp_path / "out"), "--no-progress"]) == 0
    assert "run-0000 (status=low, seed=1): finished" in capsys.readouterr().out

@pytest.mark.parametrize("text, message", [
    ("seed", "expected NAME=V1,V2"), ("1x=2", "expected NAME=V1,V2"), ("=3", "expected NAME=V1,V2"),
    ("seed=", "seed: empty value in 'seed='"), ("seed=1,,2", "empty value"),
    ("x=[1,2", "is not valid JSON"),
])
def test_bad_parameters_are_usage_errors(text, message, capsys):
    with pytest.raises(SystemExit) as exit_:
        cli.main(["sweep", str(SCENARIO), "--param", text])
    assert exit_.value.code == 2 and message in capsys.readouterr().err


@pytest.mark.parametrize("text, values", [
    ("x=1,2.5,abc,-3", [1, 2.5, "abc", -3]),
    ("x=true,False,none,null", [True, False, None, None]),
    ('x=[1,2],{"a":[3,4]},"b,c"', [[1, 2], {"a": [3, 4]}, "b,c"]),
    ("x=1e-3,inf", [0.001, float("inf")]),
])
def test_parameter_values_are_typed(text, values):
    assert cli.parameter(text) == ("x", values)


LOCAL_MODULE = """\
import time

from sorvane_core.graph import Application, Infrastructure
from sorvane_core.placement import Placement
from sorvane_core.workflow.callbacks.callback import SorvaneCallback


class Tick(SorvaneCallback):
    def __init__(self, pause):
        super().__init__("tick_value")
        self.pause = pause

    def __call__(self, event):
        time.sleep(self.pause)
        return event.data["tick"]


def build(seed, nodes=1, pause=0.0):
    infr = Infrastructure("local")
    infr.add_nodes_from(range(nodes))
    app = Application("app")
    app.add_service("s")
    return infr, [Placement(app, infr, {"s": 0})], [Tick(pause)]
"""


@pytest.fixture
def local_module(tmp_path, monkeypatch):
    """A module importable here, as a user's own module beside a script is, but not by the
    Ray workers."""
    folder = tmp_path / "code"
    folder.mkdir()
    (folder / "my_local_scenario.py").write_text(LOCAL_MODULE)
    monkeypatch.syspath_prepend(str(folder))
    import importlib

    module = importlib.import_module("my_local_scenario")
    yield module
    sys.modules.pop("my_local_scenario", None)


@pytest.mark.usefixtures("ray_session")
def test_a_build_from_a_local_module_travels_and_a_seed_is_drawn_when_not_swept(tmp_path,
                                                                                local_module):
    rows = sorvane_core.sweep(local_module.build, [{"nodes": 1}, {"nodes": 2}], 3, tmp_path / "s")
    assert [r["status"] for r in rows] == ["finished", "finished"], rows
    seeds = [r["seed"] for r in rows]
    assert all(isinstance(s, int) for s in seeds)
    for row, seed in zip(rows, seeds):
        meta = json.loads((Path(row["out"]) / "run.json").read_text())
        assert (meta["seed"], meta["params"]) == (seed, {"nodes": row["nodes"]})
        assert meta["sweep"]["run"] == row["run"]
        assert meta["sweep"]["folder"] == str(tmp_path / "s") and meta["command"] == sys.argv


@pytest.mark.usefixtures("ray_session")
def test_a_used_sweep_folder_is_refused_unless_overwritten(tmp_path, local_module):
    out = tmp_path / "s"
    sorvane_core.sweep(local_module.build, [{"seed": s} for s in range(3)], 2, out)
    (out / "notes.txt").write_text("mine")
    with pytest.raises(FileExistsError, match="already holds a sweep or a run"):
        sorvane_core.sweep(local_module.build, [{"seed": 9}], 2, out)
    rows = sorvane_core.sweep(local_module.build, [{"seed": 9}], 2, out, overwrite=True)
    assert [r["status"] for r in rows] == ["finished"]
    assert sorted(p.name for p in out.iterdir()) == ["notes.txt", "run-0000", "sweep.csv"]
    with open(out / "sweep.csv", newline="") as f:
        assert [r["seed"] for r in csv.DictReader(f)] == ["9"]


@pytest.mark.usefixtures("ray_session")
def test_a_relative_folder_is_ours_not_the_workers(tmp_path, monkeypatch):
    # Ray started in another folder than this one, as a cluster's workers do: the runs
    # go beside their table all the same.
    monkeypatch.chdir(tmp_path)
    rows = sorvane_core.sweep(build, [{"seed": 1, "nodes": 2}], 3, "runs/relative")
    assert rows[0]["status"] == "finished" and rows[0]["out"] == "runs/relative/run-0000"
    assert json.loads((tmp_path / rows[0]["out"] / "run.json").read_text())["ticks_run"] == 3


@pytest.mark.usefixtures("ray_session")
@pytest.mark.parametrize("pause", [0.05, 3600], ids=["slow-ticks", "stuck"])
def test_a_run_past_its_timeout_is_ended_and_recorded(tmp_path, local_module, pause):
    rows = sorvane_core.sweep(local_module.build, [{"seed": 1, "pause": pause}, {"seed": 2}],
                              1000 if pause < 1 else 3, tmp_path / "s", run_timeout=1.0)
    assert [r["status"] for r in rows] == ["timeout", "finished"], rows
    assert "run_timeout=1.0" in rows[0]["error"]
    meta = json.loads((Path(rows[0]["out"]) / "run.json").read_text())
    assert meta["status"] == "timeout"


def test_sweep_takes_its_seeds_from_seed_and_refuses_repeated_names(tmp_path, capsys):
    for args, message in [(["--seed", "1,2", "--param", "seed=3"], "the seed is given twice"),
                          (["--param", "x=1", "--param", "x=2"], "--param x is given twice"),
                          (["--param", "cores=2"], "takes no parameter 'cores'")]:
        assert cli.main(["sweep", str(SCENARIO), "--out", str(tmp_path / "o"), *args]) == 2
        assert message in capsys.readouterr().err
    assert not (tmp_path / "o").exists()


def test_ctrl_c_during_a_sweep_writes_the_table_of_the_runs(tmp_path):
    script = tmp_path / "scenario.py"
    script.write_text(LOCAL_MODULE)
    child = subprocess.Popen(
        [sys.executable, "-m", "sorvane_core", "sweep", str(script), "--seed", "1,2,3,4",
         "--param", "pause=0.02", "--ticks", "100000", "--out", str(tmp_path / "s"),
         "--no-progress"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    runs = tmp_path / "s" / "run-0000" / "tick_value.csv"
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and not runs.exists():
        time.sleep(0.1)
    time.sleep(1)
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=120)
    assert child.returncode == 130 and "sweep interrupted" in err, err
    with open(tmp_path / "s" / "sweep.csv", newline="") as f:
        table = list(csv.DictReader(f))
    assert [r["seed"] for r in table] == ["1", "2", "3", "4"]
    assert {r["status"] for r in table} == {"interrupted"}
