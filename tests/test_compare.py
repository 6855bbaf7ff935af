"""Runs compared: their parameters, a metric's tables, statistics, figures, the command."""

import csv
import functools
import math
import shutil
import sys

import numpy as np
import pandas as pd
import pytest

from sorvane_core import cli, compare
from sorvane_core.graph import Application, Infrastructure
from sorvane_core.placement import Placement
from sorvane_core.sweeps import _row, _write_table, run_one
from sorvane_core.workflow.callbacks.callback import SorvaneCallback

TICKS = 6
NODES = 3
SLOPE = {"greedy": 1.0, "spread": 0.5}
FINISHED = [{"seed": s, "policy": p} for p in SLOPE for s in (1, 2, 3)]
FAILED = {"seed": 4, "policy": "spread", "fail_at": 3}  # ticks 0-2 written, then it fails


def load(seed, policy, tick, node):
    # Highest at the first tick: its last value is not its maximum.
    return SLOPE[policy] * (tick - 3.5) ** 2 + (seed * (node + 1)) % 4 + 0.25 * node


def energy(seed, policy, tick):
    return seed * SLOPE[policy] * (tick + 1) ** 1.5


class Load(SorvaneCallback):
    def __init__(self, params, report):
        super().__init__("load", "node", report=report)
        self.params = params

    def __call__(self, node, resources, placements, infr, view, tick):
        if tick == self.params.get("fail_at"):
            raise RuntimeError("the load broke")
        return load(self.params["seed"], self.params["policy"], tick, node)


class Meter(SorvaneCallback):
    def __init__(self, params, report):
        super().__init__("meter", report=report)
        self.params = params

    def __call__(self, event):
        tick = event.data["tick"]
        return {"energy_j": energy(self.params["seed"], self.params["policy"], tick),
                "violated": tick % 3 == 0, "note": f"tick {tick}"}


def build(seed, policy, fail_at=None, report="csv", **extra):
    infr = Infrastructure("compare")
    infr.add_nodes_from(range(NODES))
    app = Application("app")
    app.add_service("s")
    params = {"seed": seed, "policy": policy, "fail_at": fail_at}
    return infr, [Placement(app, infr, {"s": 0})], [Load(params, report), Meter(params, report)]


def make_sweep(folder, report="csv"):
    """A sweep's folder as sweeps write it, its runs made here, without Ray."""
    rows = []
    for i, params in enumerate([*FINISHED, FAILED]):
        name = f"run-{i:04d}"
        result = run_one(functools.partial(build, report=report), params, TICKS,
                         str(folder / name), {"sweep": {"folder": str(folder), "run": name}})
        rows.append(_row(params, name, str(folder / name), result))
    _write_table(folder / "sweep.csv", rows)
    return folder


@pytest.fixture(scope="module")
def sweep_csv(tmp_path_factory):
    return make_sweep(tmp_path_factory.mktemp("sweep"))


@pytest.fixture(scope="module", params=["csv", "jsonl", "parquet"])
def swept(request, tmp_path_factory):
    return make_sweep(tmp_path_factory.mktemp(request.param), request.param)


def expected_series(params, metric, per_tick="mean", ticks=TICKS):
    reduce = {"mean": np.mean, "sum": np.sum, "max": np.max}[per_tick]
    if metric == "load":
        return np.array([reduce([load(params["seed"], params["policy"], t, n)
                                 for n in range(NODES)]) for t in range(ticks)])
    return np.array([energy(params["seed"], params["policy"], t) for t in range(ticks)])


@pytest.mark.parametrize("source", [
    lambda folder, tmp: folder,
    lambda folder, tmp: folder / "sweep.csv",
    lambda folder, tmp: sorted(folder.glob("run-*")),
    # A sweep folder without its table: its run-* folders that hold a run.json.
    lambda folder, tmp: shutil.copytree(folder, tmp / "copy", ignore=shutil.ignore_patterns(
        "sweep.csv")),
], ids=["sweep", "table", "run-folders", "no-table"])
def test_runs_reads_parameters_and_statuses(sweep_csv, tmp_path, source):
    table = compare.runs(source(sweep_csv, tmp_path))
    assert list(table.columns) == ["run", "out", "status", "error", "seed", "ticks_run",
                                   "policy", "fail_at"]
    assert list(table["run"]) == [f"run-{i:04d}" for i in range(7)]
    assert list(table["status"]) == ["finished"] * 6 + ["failed"]
    assert list(table["seed"]) == [p["seed"] for p in [*FINISHED, FAILED]]
    assert list(table["policy"]) == [p["policy"] for p in [*FINISHED, FAILED]]
    assert list(table["ticks_run"]) == [TICKS] * 6 + [3]
    assert "the load broke" in table["error"].iloc[-1]


def test_runs_tell_apart_folders_of_one_name_and_read_runs_the_table_alone_knows(tmp_path):
    for sweep in ("a", "b"):
        run_one(build, {"seed": 1, "policy": "greedy", "status": "x"}, 2,
                str(tmp_path / sweep / "run-0000"))
    both = compare.runs([tmp_path / "a" / "run-0000", tmp_path / "b"])
    assert list(both["run"]) == ["a/run-0000", "b/run-0000"]
    assert list(both["param.status"]) == ["x", "x"]  # named like a column: prefixed
    # Ctrl-C: a run whose record still says "running" once the sweep is over, and one
    # cancelled before it started, which left no run.json, only its row in the table.
    record = tmp_path / "b" / "run-0000" / "run.json"
    record.write_text(record.read_text().replace('"finished"', '"running"'))
    (tmp_path / "b" / "sweep.csv").write_text(
        "seed,policy,run,out,status,error\n1,greedy,run-0000,,interrupted,\n"
        "7,spread,run-0001,,interrupted,\n")
    table = compare.runs(tmp_path / "b")
    assert table[["run", "status", "seed", "policy"]].values.tolist() == [
        ["run-0000", "interrupted", 1, "greedy"], ["run-0001", "interrupted", 7, "spread"]]


@pytest.mark.parametrize("name, column, keyed", [
    ("load", "value", True), ("load.value", "value", True), ("meter.energy_j", "energy_j", False),
])
@pytest.mark.parametrize("include_failed", [False, True])
def test_metric_is_one_long_table_of_every_run(swept, name, column, keyed, include_failed):
    table = compare.metric(swept, name, include_failed=include_failed)
    keys = ["node"] if keyed else []
    params = ["policy", "fail_at"] if include_failed else ["policy"]  # those of the runs read
    assert list(table.columns) == ["run", "status", "seed", *params, "tick", "event", *keys,
                                   column]
    runs = [*FINISHED, FAILED] if include_failed else FINISHED
    metric = "load" if keyed else "energy"
    for i, params in enumerate(runs):
        rows = table[table["run"] == f"run-{i:04d}"]
        assert set(rows["policy"]) == {params["policy"]} and set(rows["seed"]) == {params["seed"]}
        ticks = params.get("fail_at", TICKS)
        if keyed:
            assert list(rows["node"]) == list(range(NODES)) * ticks
            assert rows[column].tolist() == pytest.approx(
                [load(params["seed"], params["policy"], t, n)
                 for t in range(ticks) for n in range(NODES)])
        else:
            assert rows[column].tolist() == pytest.approx(list(expected_series(params, metric,
                                                                                ticks=ticks)))
    assert set(table["run"]) == {f"run-{i:04d}" for i in range(len(runs))}


@pytest.mark.parametrize("per_tick", ["mean", "sum", "max"])
@pytest.mark.parametrize("name", ["load", "meter.energy_j"])
def test_summary_statistics_per_run_are_those_of_the_per_tick_values(swept, per_tick, name):
    table = compare.summary(swept, name, per_tick=per_tick)
    assert list(table.columns)[-5:] == ["mean", "p95", "max", "total", "last"]
    for i, params in enumerate(FINISHED):
        values = expected_series(params, name.split(".")[0].replace("meter", "energy"), per_tick)
        row = table.iloc[i]
        assert [row["mean"], row["p95"], row["max"], row["total"], row["last"]] == pytest.approx(
            [values.mean(), np.percentile(values, 95), values.max(), values.sum(), values[-1]])
    failed = table.iloc[-1]
    assert failed["status"] == "failed" and np.isnan(failed[["mean", "last"]].astype(float)).all()


def test_runs_that_did_not_finish_count_when_asked_for(sweep_csv):
    table = compare.summary(sweep_csv, "load", stats=["total", "last", "p50"],
                            include_failed=True)
    values = expected_series(FAILED, "load", ticks=3)
    assert table.iloc[-1][["total", "last", "p50"]].tolist() == pytest.approx(
        [values.sum(), values[-1], np.median(values)])


def test_the_grouped_table_is_the_mean_std_and_interval_over_the_seeds(sweep_csv):
    per_run, grouped = compare.summary(sweep_csv, "meter.energy_j", stats=["mean", "total"],
                                       by="policy")
    assert list(grouped.columns) == [
        "policy", "n", "mean", "mean_std", "mean_ci_low", "mean_ci_high",
        "total", "total_std", "total_ci_low", "total_ci_high"]
    assert list(grouped["policy"]) == ["greedy", "spread"] and list(grouped["n"]) == [3, 3]
    t2 = 0.95 * math.sqrt(2) / math.sqrt(1 - 0.95**2)  # Student's t, 2 degrees of freedom
    for policy, row in zip(SLOPE, grouped.itertuples()):
        totals = np.array([expected_series(p, "energy").sum() for p in FINISHED
                           if p["policy"] == policy])
        half = t2 * totals.std(ddof=1) / math.sqrt(3)
        assert [row.total, row.total_std, row.total_ci_low, row.total_ci_high] == pytest.approx(
            [totals.mean(), totals.std(ddof=1), totals.mean() - half, totals.mean() + half])
    # The failed run (spread, seed 4) is in the per-run table, and in no group.
    assert len(per_run) == 7


@pytest.mark.parametrize("df, expected", [
    (1, math.tan(0.475 * math.pi)), (2, 0.95 * math.sqrt(2) / math.sqrt(1 - 0.95**2)),
    (3, 3.182446305284263), (4, 2.776445105197793), (9, 2.262157162798205),
    (10, 2.228138851986274), (30, 2.042272456301238),
])
def test_t_quantiles(df, expected):
    assert compare.t_quantile(df) == pytest.approx(expected, rel=1e-10)


def test_t_quantiles_meet_where_the_expansion_takes_over():
    exact, expanded = compare.t_quantile(1000), compare.t_quantile(1001)
    assert 0 < exact - expanded < 3e-6 and compare.t_quantile(10**7) == pytest.approx(
        1.959963984540054, abs=1e-6)


def test_a_ticks_figure_draws_a_line_and_band_per_value(sweep_csv):
    fig = compare.figure(sweep_csv, "meter.energy_j", by="policy")
    (ax,) = fig.axes
    assert [line.get_label() for line in ax.get_lines()] == ["greedy", "spread"]
    assert len(ax.collections) == 2  # a band each: three seeds per policy
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("tick", "energy (J)")
    assert ax.get_legend().get_title().get_text() == "policy"
    greedy = np.mean([expected_series(p, "energy") for p in FINISHED[:3]], axis=0)
    assert ax.get_lines()[0].get_ydata() == pytest.approx(greedy)
    # Without by: a line per finished run, no band.
    fig = compare.figure(sweep_csv, "load")
    (ax,) = fig.axes
    assert len(ax.get_lines()) == 6 and not ax.collections
    assert fig._suptitle.get_text() == "load, mean over nodes per tick"


@pytest.mark.parametrize("by, bars", [("policy", 2), (None, 6), ("seed", 3)])
def test_a_summary_figure_draws_a_bar_per_value_with_its_interval(sweep_csv, by, bars):
    fig = compare.figure(sweep_csv, "meter.energy_j", by=by, kind="summary", stat="total")
    (ax,) = fig.axes
    assert len(ax.patches) == bars and ax.get_ylabel() == "total energy (J)"
    assert ax.get_xlabel() == (by or "run")
    if by == "policy":
        _, grouped = compare.summary(sweep_csv, "meter.energy_j", ["total"], by="policy")
        assert [p.get_height() for p in ax.patches] == pytest.approx(list(grouped["total"]))
        (errors,) = next(c for c in ax.containers if hasattr(c, "has_yerr")).lines[2]
        spans = [segment[1, 1] - segment[0, 1] for segment in errors.get_segments()]
        assert spans == pytest.approx(list(grouped["total_ci_high"] - grouped["total_ci_low"]))
        assert [t.get_text() for t in ax.get_xticklabels()] == ["greedy", "spread"]


def test_figures_without_matplotlib_name_the_extra(sweep_csv, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    with pytest.raises(ImportError, match=r"pip install 'sorvane_core\[analysis\]'"):
        compare.figure(sweep_csv, "load")


def test_the_command_writes_the_tables_and_the_figure(sweep_csv, tmp_path, capsys):
    assert cli.main(["compare", str(sweep_csv), "--metric", "meter.energy_j", "--by", "policy",
                     "--stat", "p50", "--kind", "summary", "--out", str(tmp_path)]) == 0
    out = capsys.readouterr().out
    per_run = pd.read_csv(tmp_path / "compare-meter.energy_j.csv")
    grouped = pd.read_csv(tmp_path / "compare-meter.energy_j-by-policy.csv")
    assert (tmp_path / "compare-meter.energy_j.png").read_bytes()[:4] == b"\x89PNG"
    assert list(per_run.columns)[-6:] == ["mean", "p95", "max", "total", "last", "p50"]
    assert list(per_run["status"]) == ["finished"] * 6 + ["failed"]
    assert list(grouped["n"]) == [3, 3]
    assert "left out of the statistics and the figure" in out and "run-0006 (failed)" in out
    for name in ("compare-meter.energy_j.csv", "compare-meter.energy_j-by-policy.csv",
                 "compare-meter.energy_j.png"):
        assert str(tmp_path / name) in out


@pytest.mark.parametrize("args, message", [
    (["--metric", "nowhere"], "no report for metric 'nowhere' in the runs; their reports: "
                              "load, meter"),
    (["--metric", "meter.power"], "report 'meter' has no column 'power'; its columns: "
                                  "energy_j, violated, note"),
    (["--metric", "meter.note"], "metric 'meter.note' is not a number: run run-0000 has "
                                 "'tick 0'"),
    (["--metric", "load", "--by", "cores"], "the runs have no parameter 'cores'; their "
                                            "parameters: seed, policy, fail_at"),
    (["--metric", "load", "--stat", "p101"], "no statistic 'p101'"),
    (["--metric", "load", "--event", "overload"], "report 'load' has no rows of event "
                                                  "'overload'; its events: tick"),
])
def test_command_mistakes_are_one_line_and_write_nothing(sweep_csv, tmp_path, capsys, args,
                                                         message):
    assert cli.main(["compare", str(sweep_csv), *args, "--out", str(tmp_path / "o")]) == 2
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1, err
    assert not (tmp_path / "o").exists()


@pytest.mark.parametrize("source, message", [
    (lambda sweep, tmp: tmp, "no runs in"),
    (lambda sweep, tmp: tmp / "missing", "no such folder"),
    (lambda sweep, tmp: sweep / "run-0006", "none of the 1 runs finished (run-0006 (failed))"),
])
def test_sources_without_runs_to_compare_are_one_line(sweep_csv, tmp_path, capsys, source,
                                                      message):
    assert cli.main(["compare", str(source(sweep_csv, tmp_path)), "--metric", "load"]) == 2
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1, err


def test_a_sweep_table_naming_a_folder_elsewhere_is_refused(tmp_path):
    with open(tmp_path / "sweep.csv", "w", newline="") as f:
        csv.writer(f).writerows([["run", "status"], ["../elsewhere", "finished"]])
    with pytest.raises(compare.CompareError, match="outside its folder"):
        compare.runs(tmp_path)


def test_the_examples_of_the_docstrings_run(tmp_path, monkeypatch):
    import doctest
    import tempfile

    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))  # their folders land here
    assert doctest.testmod(compare).failed == 0
