"""Sweeps: one simulation per parameter set, as Ray tasks."""

import csv
import sys
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
    assert (tmp_path / "run-0001" / "node_load_pct.csv").is_file()


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
