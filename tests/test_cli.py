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


def test_the_example_scenario_from_the_command_line(tmp_path):
    done = sorvane_sim("run", SCENARIO, "--ticks", 30, "--seed", 3, "--out", tmp_path / "a",
                       "--plot")
    assert done.returncode == 0, done.stderr
    assert "30 of 30 ticks in simulation" in done.stdout and "seed 3" in done.stdout
    files = {p.name for p in (tmp_path / "a").iterdir()}
    assert {"run.json", "node_load_pct.csv", "link_traffic_mbps.jsonl", "app_latency.csv",
            "app_latency.jsonl", "node_load_pct.png", "link_traffic_mbps.png",
            "app_latency.png"} <= files
    meta = json.loads((tmp_path / "a" / "run.json").read_text())
    assert (meta["status"], meta["seed"], meta["ticks_run"]) == ("finished", 3, 30)
    loads = pd.read_csv(tmp_path / "a" / "node_load_pct.csv")
    assert loads.groupby("tick").size().eq(13).all() and loads["tick"].max() == 29
    # The same seed, the same reports, byte for byte.
    again = sorvane_sim("run", SCENARIO, "--ticks", 30, "--seed", 3, "--out", tmp_path / "b")
    assert again.returncode == 0, again.stderr
    for report in (tmp_path / "a").glob("*.*sv*"):
        assert report.read_bytes() == (tmp_path / "b" / report.name).read_bytes(), report.name


@pytest.mark.parametrize("content, message", [
    (None, "no scenario file"),
    ("x = 1\n", "defines no build(seed) function"),
    ("def build(seed):\n    return 1, 2\n", "must return (infrastructure, placements, callbacks)"),
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
    report = tmp_path / "node_load_pct.csv"
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
