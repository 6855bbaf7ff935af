"""The command line, the example scenario, and a run killed mid-way."""

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pandas as pd
import pytest

from sorvane_core import cli

ROOT = Path(__file__).resolve().parent.parent
SCENARIO = ROOT / "examples" / "edge_cloud.py"


def sorvane_sim(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "sorvane_core", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=300)


def test_version_is_the_installed_packages(capsys):
    from importlib.metadata import version

    with pytest.raises(SystemExit) as done:
        cli.main(["--version"])
    assert done.value.code == 0
    assert capsys.readouterr().out.startswith(f"sorvane-sim {version('sorvane_core')} (Python ")


def test_the_example_scenario_from_the_command_line(tmp_path):
    done = sorvane_sim("run", SCENARIO, "--ticks", 30, "--seed", 3, "--out", tmp_path / "a",
                       "--plot")
    assert done.returncode == 0, done.stderr
    assert "30 of 30 ticks in simulation" in done.stdout and "seed 3" in done.stdout
    files = {p.name for p in (tmp_path / "a").iterdir()}
    assert {"run.json", "utilisation.csv", "link_load.jsonl", "sla.csv", "sla.jsonl",
            "utilisation.png", "link_load.png", "sla.png", "energy.png"} <= files
    meta = json.loads((tmp_path / "a" / "run.json").read_text())
    assert (meta["status"], meta["seed"], meta["ticks_run"]) == ("finished", 3, 30)
    loads = pd.read_csv(tmp_path / "a" / "utilisation.csv")
    assert loads.groupby("tick").size().eq(13).all() and loads["tick"].max() == 29
    # The same seed, the same reports, byte for byte.
    again = sorvane_sim("run", SCENARIO, "--ticks", 30, "--seed", 3, "--out", tmp_path / "b")
    assert again.returncode == 0, again.stderr
    for report in (tmp_path / "a").glob("*.*sv*"):
        assert report.read_bytes() == (tmp_path / "b" / report.name).read_bytes(), report.name


@pytest.mark.parametrize("content, message", [
    (None, "no scenario file"),
    ("x = 1\n", "defines no build(seed) function"),
    ("def build(seed):\n    return 1, 2\n",
     "must return (infrastructure, placements, callbacks[, options]), not tuple of 2"),
])
def test_unusable_scenarios_are_refused_with_the_reason(tmp_path, content, message):
    path = tmp_path / "scenario.py"
    if content is not None:
        path.write_text(content)
    done = sorvane_sim("run", path, "--out", tmp_path / "out")
    assert done.returncode == 2 and message in done.stderr and not (tmp_path / "out").exists()


@pytest.mark.usefixtures("ray_session")
def test_the_example_scenario_emulated(tmp_path, capsys):
    assert cli.main(["run", str(SCENARIO), "--ticks", "3", "--seed", "3", "--emulation",
                     "--out", str(tmp_path), "--no-progress"]) == 0
    assert "3 of 3 ticks in emulation" in capsys.readouterr().out
    meta = json.loads((tmp_path / "run.json").read_text())
    assert meta["mode"] == "emulation" and meta["ray_address"] and meta["status"] == "finished"
    services = pd.read_csv(tmp_path / "service_cpu.csv")
    assert len(services) == 3 * 14 and (services["value"] > 0).all()  # answered by running services


def test_a_killed_run_leaves_every_finished_tick_well_formed(tmp_path):
    child = subprocess.Popen([sys.executable, "-m", "sorvane_core", "run", str(SCENARIO), "--ticks",
                              "1000000", "--seed", "1", "--out", str(tmp_path), "--no-progress"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    report = tmp_path / "utilisation.csv"
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and (not report.exists() or report.stat().st_size < 200_000):
        time.sleep(0.05)
    os.kill(child.pid, signal.SIGKILL)
    child.wait()
    assert json.loads((tmp_path / "run.json").read_text())["status"] == "running"
    loads = pd.read_csv(report)
    ticks = loads.groupby("tick").size()
    assert len(ticks) > 100 and ticks.eq(13).all()  # every tick written is whole
    assert list(ticks.index) == list(range(len(ticks)))
    for jsonl in tmp_path.glob("*.jsonl"):
        rows = [json.loads(line) for line in jsonl.read_text().splitlines()]
        assert rows and rows[-1]["tick"] >= ticks.index[-1] - 1


def scenario(tmp_path, body):
    path = tmp_path / "scenario.py"
    path.write_text(body)
    return path


PARAMETRIC = """\
from sorvane_core.graph import Application, Infrastructure
from sorvane_core.placement import Placement
from sorvane_core.workflow.callbacks.callback import SorvaneCallback

class Echo(SorvaneCallback):
    def __init__(self, value):
        super().__init__("echo", report="jsonl")
        self.value = value

    def __call__(self, event):
        return self.value

def build(seed, nodes=1, migrate=True, weights=None):
    infr = Infrastructure("p")
    infr.add_nodes_from(range(nodes))
    app = Application("a")
    app.add_service("s")
    value = {"seed": seed, "nodes": nodes, "migrate": migrate, "weights": weights}
    return infr, [Placement(app, infr, {"s": 0})], [Echo(value)]
"""


def test_run_takes_typed_parameters_and_records_them(tmp_path, capsys):
    path = scenario(tmp_path, PARAMETRIC)
    assert cli.main(["run", str(path), "--ticks", "1", "--seed", "4", "--out", str(tmp_path / "o"),
                     "--param", "nodes=3", "--param", "migrate=false",
                     "--param", 'weights={"a": [1, 2.5]}']) == 0
    value = {"seed": 4, "nodes": 3, "migrate": False, "weights": {"a": [1, 2.5]}}
    echoed = json.loads((tmp_path / "o" / "echo.jsonl").read_text().splitlines()[0])
    assert json.loads(echoed["value"]) == value
    meta = json.loads((tmp_path / "o" / "run.json").read_text())
    assert meta["params"] == {"nodes": 3, "migrate": False, "weights": {"a": [1, 2.5]}}
    assert meta["scenario"] == str(path) and meta["command"][:2] == ["sorvane-sim", "run"]


@pytest.mark.parametrize("args, message", [
    (["--param", "nodes=1,2"], "run takes one value per parameter, and --param nodes has 2"),
    (["--param", "nodes=1", "--param", "nodes=2"], "--param nodes is given twice"),
    (["--param", "cores=2"], "build() of scenario.py takes no parameter 'cores'"),
    (["--param", "seed=2"], "give the seed with --seed"),
])
def test_run_parameter_mistakes_are_one_line(tmp_path, capsys, args, message):
    path = scenario(tmp_path, PARAMETRIC)
    assert cli.main(["run", str(path), "--out", str(tmp_path / "o"), *args]) == 2
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1 and not (tmp_path / "o").exists()


@pytest.mark.parametrize("body, message", [
    ("def build(seed):\n    return (\n", "scenario.py, line 2: '(' was never closed"),
    ("import nowhere_to_be_found\n", "scenario.py failed to load: ModuleNotFoundError"),
    ("def build(seed):\n    raise RuntimeError('no world')\n",
     "build() of scenario.py raised RuntimeError: no world (scenario.py, line 2)"),
    ("def build(seed):\n    return [], [], []\n",
     "build() of scenario.py returned a list as the infrastructure; expected an Infrastructure"),
    ("from sorvane_core.graph import Infrastructure\n"
     "def build(seed):\n    return Infrastructure('x'), [1], []\n",
     "build() of scenario.py returned a int among the placements; expected Placement objects"),
])
def test_scenario_mistakes_are_one_line_naming_the_file(tmp_path, capsys, body, message):
    path = scenario(tmp_path, body)
    assert cli.main(["run", str(path), "--out", str(tmp_path / "o")]) == 2
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1 and not (tmp_path / "o").exists()


def test_output_folders_are_checked_before_the_run(tmp_path, capsys):
    path = scenario(tmp_path, PARAMETRIC)
    (tmp_path / "file").write_text("")
    for command in ("run", "sweep"):
        assert cli.main([command, str(path), "--out", str(tmp_path / "file")]) == 2
        assert "is a file, not a folder" in capsys.readouterr().err
    out = str(tmp_path / "o")
    assert cli.main(["run", str(path), "--ticks", "2", "--out", out]) == 0
    assert cli.main(["run", str(path), "--ticks", "2", "--out", out]) == 2
    assert "already holds a run" in capsys.readouterr().err
    assert cli.main(["run", str(path), "--ticks", "3", "--out", out, "--overwrite"]) == 0
    assert json.loads((tmp_path / "o" / "run.json").read_text())["ticks_run"] == 3


@pytest.mark.parametrize("delay", [0.5, 1.0, 1.7, 2.6])
def test_ctrl_c_ends_a_run_with_whole_ticks_one_line_and_code_130(tmp_path, delay):
    # SIGINT at its default in the child, whatever the parent ignores.
    child = subprocess.Popen([sys.executable, "-m", "sorvane_core", "run", str(SCENARIO),
                              "--ticks", "1000000", "--seed", "1", "--out", str(tmp_path),
                              "--no-progress"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and not (tmp_path / "utilisation.csv").exists():
        time.sleep(0.05)
    time.sleep(delay)
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=60)
    assert child.returncode == 130, err
    assert err.count("\n") == 1 and "interrupted at tick" in err, err
    meta = json.loads((tmp_path / "run.json").read_text())
    assert meta["status"] == "interrupted" and meta["error"] is None
    ticks = meta["ticks_run"]
    assert f"hold ticks 0-{ticks - 1}" in err and ticks > 0
    loads = pd.read_csv(tmp_path / "utilisation.csv")
    assert loads.groupby("tick").size().eq(13).all()
    assert list(loads["tick"].unique()) == list(range(ticks))
    links = [json.loads(line) for line in (tmp_path / "link_load.jsonl").open()]
    per_tick = pd.Series([r["tick"] for r in links]).value_counts()
    assert sorted(per_tick.index) == list(range(ticks)) and per_tick.nunique() == 1


WITH_OPTIONS = """\
from sorvane_core.graph import Application, Infrastructure
from sorvane_core.placement import Placement

def hop(sim):
    return [("a", "s", 1 - sim.placements["a"].mapping["s"], "hop")]

def build(seed, option="policies"):
    infr = Infrastructure("o")
    infr.add_nodes_from([0, 1])
    app = Application("a")
    app.add_service("s")
    return infr, [Placement(app, infr, {"s": 0})], [], {option: [hop]}
"""


@pytest.mark.parametrize("option, code", [("policies", 0), ("colour", 2)])
def test_a_build_may_give_the_simulator_options(tmp_path, capsys, option, code):
    path = scenario(tmp_path, WITH_OPTIONS)
    assert cli.main(["run", str(path), "--ticks", "3", "--out", str(tmp_path / "o"),
                     "--param", f"option={option}"]) == code
    if code:
        assert "the options a build may give are policies, migration_cost" in \
            capsys.readouterr().err
    else:
        assert json.loads((tmp_path / "o" / "run.json").read_text())["migrations"] == 2
