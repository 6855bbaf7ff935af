"""The models against a plain-Python reference (tests/support/models_oracle.py).

Random worlds from hypothesis: infrastructures of up to 12 nodes, in one piece
or several, with latencies that tie (small integers) or not (floats); chains,
trees and DAGs with several sources and sinks; services placed together, apart
or not at all. Every model is compared with the reference at every tick, with
moves between the steps and changes of the infrastructure between runs; the
workload patterns, the errors and the data mappings are checked on their own.
"""

from __future__ import annotations

import copy
import json
import math
import pickle
import statistics
from collections.abc import Callable, Hashable, Mapping
from pathlib import Path
from typing import Any

import networkx as nx
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, note, settings, strategies as st
from support.models_oracle import (
    Oracle,
    compare,
    constant_factors,
    diurnal_factors,
    plain,
    trace_factors,
)

from sorvane_core import models
from sorvane_core.graph import Application, Infrastructure, edge_key
from sorvane_core.placement import Placement
from sorvane_core.simulation.simulator import Simulator

TICKS = 5
SETTINGS = settings(max_examples=60, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
FEWER = settings(SETTINGS, max_examples=30)
ALL = ["utilisation", "link_load", "node_power_w", "link_power_w", "energy", "latency_ms",
       "e2e_latency_ms", "sla"]


def floats(low: float, high: float) -> st.SearchStrategy[float]:
    return st.floats(low, high, allow_nan=False, allow_infinity=False, allow_subnormal=False)


LATENCIES = {
    "ties": st.integers(0, 3),
    "floats": floats(0, 10),
    "mixed": st.one_of(st.integers(0, 3), floats(0, 10)),
}
CAPACITY = st.one_of(st.just(0), st.integers(1, 8), floats(0.5, 8))
DEMAND = st.one_of(st.integers(0, 4), floats(0, 4))
POWER = st.one_of(st.integers(0, 200), floats(0, 200))
RATE = st.one_of(st.integers(0, 50), floats(0, 100))
BANDWIDTH = st.one_of(st.just(0), st.integers(1, 100), floats(1, 1000))
ENERGY_PER_BIT = st.sampled_from([0, 1e-9, 2.5e-9, 1e-8])
FACTOR = st.one_of(st.integers(0, 3), floats(0, 3))


class World:
    def __init__(self, infr: Infrastructure, apps: list[Application],
                 mappings: dict[Hashable, dict[Hashable, Hashable]]) -> None:
        self.infr, self.apps, self.mappings = infr, apps, mappings

    def placements(self) -> list[Placement]:
        return [Placement(app, self.infr, self.mappings[app.id]) for app in self.apps]

    def __repr__(self) -> str:  # what a failing example prints: enough to build it again
        return "World(nodes={}, links={}, apps={}, mappings={})".format(
            list(self.infr.nodes(data=True)), list(self.infr.edges(data=True)),
            [(a.id, a.graph, list(a.nodes(data=True)), list(a.edges(data=True)))
             for a in self.apps], self.mappings)


@st.composite
def infrastructures(draw: Any, latencies: str | None = None) -> Infrastructure:
    n = draw(st.integers(1, 12))
    order = draw(st.permutations(range(n)))
    parts = draw(st.integers(1, min(3, n)))
    latency = LATENCIES[latencies or draw(st.sampled_from(sorted(LATENCIES)))]
    infr = Infrastructure("dc")
    for node in order:
        infr.add_node(node, cpu=draw(CAPACITY), mem=draw(CAPACITY), idle_power_w=draw(POWER),
                      max_power_w=draw(POWER))
    pairs = []
    for part in range(parts):  # a spanning tree in each part, then more links within it
        group = order[part::parts]
        pairs += [(group[k], group[draw(st.integers(0, k - 1))]) for k in range(1, len(group))]
        if len(group) > 1:
            pairs += draw(st.lists(st.tuples(st.sampled_from(group), st.sampled_from(group))
                                   .filter(lambda p: p[0] != p[1]), max_size=len(group)))
    for u, v in draw(st.permutations(pairs)):
        infr.add_edge(u, v, latency_ms=draw(latency), bandwidth_mbps=draw(BANDWIDTH),
                      energy_per_bit_j=draw(ENERGY_PER_BIT))
    return infr


@st.composite
def applications(draw: Any, index: int, nodes: list[Hashable]) -> tuple[Application, dict]:
    n = draw(st.integers(1, 6))
    shape = draw(st.sampled_from(["chain", "out-tree", "in-tree", "dag", "lonely"]))
    if shape == "chain":
        pairs = [(i, i + 1) for i in range(n - 1)]
    elif shape.endswith("tree"):
        pairs = [(draw(st.integers(0, i - 1)), i) for i in range(1, n)]
        pairs = pairs if shape == "out-tree" else [(i, p) for p, i in pairs]
    elif shape == "dag" and n > 1:
        pairs = draw(st.lists(st.sampled_from([(i, j) for i in range(n) for j in range(i + 1, n)]),
                              unique=True))
    else:
        pairs = []
    # Names and insertion orders apart from the topological order.
    names = draw(st.permutations([f"s{i}" for i in range(n)]))
    bound = draw(st.one_of(st.none(), st.integers(0, 20), floats(0, 30)))
    app = Application(f"a{index}", **({} if bound is None else {"max_latency_ms": bound}))
    for i in draw(st.permutations(range(n))):
        processing = draw(st.one_of(st.none(), DEMAND))
        app.add_service(names[i], cpu=draw(DEMAND), mem=draw(DEMAND),
                        **({} if processing is None else {"processing_ms": processing}))
    for i, j in draw(st.permutations(pairs)):
        app.add_interaction(names[i], names[j], rate_mbps=draw(RATE))
    partial = draw(st.integers(0, 3)) == 0
    where = st.one_of(st.sampled_from(nodes), st.none()) if partial else st.sampled_from(nodes)
    mapping = {}
    for name in names:
        node = draw(where)
        if node is not None:
            mapping[name] = node
    return app, mapping


@st.composite
def worlds(draw: Any) -> World:
    infr = draw(infrastructures())
    drawn = [draw(applications(i, list(infr.nodes))) for i in range(draw(st.integers(1, 4)))]
    return World(infr, [app for app, _ in drawn], {app.id: mapping for app, mapping in drawn})


@st.composite
def patterns(draw: Any, apps: list[Hashable]) -> tuple[Any, Any]:
    """A pattern whose factors the reference knows, and its factor function."""
    kind = draw(st.sampled_from(["none", "constant", "diurnal", "trace"]))
    if kind == "none":
        return None, None
    if kind == "constant":
        value = draw(FACTOR)
        return models.constant(value), constant_factors(value)
    if kind == "diurnal":
        period, low = draw(st.integers(1, 8)), draw(FACTOR)
        high, phase = low + draw(FACTOR), draw(st.integers(-4, 4))
        return models.diurnal(period, low, high, phase), diurnal_factors(period, low, high, phase)
    rows = draw(st.lists(st.tuples(
        st.integers(0, TICKS), st.sampled_from([*apps, "ghost"]),
        st.sampled_from([None, "s0", "s1", "s2", "s9"]), FACTOR), max_size=10))
    table = pd.DataFrame(rows, columns=["tick", "application", "service", "factor"])
    if all(service is None for _, _, service, _ in rows) and draw(st.booleans()):
        table = table.drop(columns="service")
    return models.trace(table), trace_factors(rows)


def moves(world: World) -> st.SearchStrategy[list[list[tuple[Any, Any]]]]:
    """Between two ticks: services moved (migrated, placed, or unplaced: None)."""
    services = [(app.id, s) for app in world.apps for s in app.nodes]
    nodes = list(world.infr.nodes)
    move = st.tuples(st.sampled_from(services), st.one_of(st.sampled_from(nodes), st.none()))
    return st.lists(st.lists(move, max_size=2), min_size=TICKS - 1, max_size=TICKS - 1)


def apply(sim: Simulator, step: list[tuple[Any, Any]]) -> None:
    for (app, service), node in step:
        mapping = sim.placements[app].mapping
        if node is None:
            mapping.pop(service, None)
        elif service in mapping:
            sim.migrate(app, service, node)
        else:
            mapping[service] = node


def check_run(sim: Simulator, oracle: Oracle, names: list[str], ticks: int = TICKS,
              between: Callable[[int], None] | None = None, every: int = 1) -> None:
    """Run ``sim`` step by step against ``oracle``, its models activating every
    ``every`` ticks; then the history must still hold what each tick handed out."""
    handed: list[tuple[Any, Any]] = []
    for record in sim.iter(ticks):
        if record["event"] != "tick":
            continue
        tick = record["tick"]
        if tick % every:
            assert not record["data"]
        else:
            assert compare(record["data"], oracle.measure(tick, names), tick) == []
        handed.append((record["data"], plain(record["data"])))
        if between is not None and tick < ticks - 1:
            between(tick)
    assert [plain(data) for data, _ in handed] == [snapshot for _, snapshot in handed]


# -- the models, tick by tick -------------------------------------------------------------


@SETTINGS
@given(world=worlds(), data=st.data())
def test_every_model_follows_the_reference_with_moves_between_steps(world: World, data: Any):
    pattern, factor = data.draw(patterns([app.id for app in world.apps]), label="pattern")
    resources = data.draw(st.sampled_from([("cpu",), ("cpu", "mem"), ("mem", "cpu")]))
    every, backwards = data.draw(st.sampled_from([1, 2, 3])), data.draw(st.booleans())
    steps = data.draw(moves(world), label="moves")
    callbacks = models.standard(pattern, resources=resources, tick_seconds=0.5,
                                activates_every_n={"tick": every})
    sim = Simulator(world.infr, world.placements(), callbacks[::-1] if backwards else callbacks,
                    seed=3)
    oracle = Oracle(sim, factor=factor, resources=resources, tick_seconds=0.5)
    names = ALL if pattern is None else ["workload", *ALL]
    check_run(sim, oracle, names, between=lambda tick: apply(sim, steps[tick]), every=every)


@FEWER
@given(world=worlds(), data=st.data())
def test_a_change_of_the_infrastructure_between_runs_is_measured_afresh(world: World, data: Any):
    pattern, factor = data.draw(patterns([app.id for app in world.apps]), label="pattern")
    change = data.draw(st.sampled_from(["link removed", "latency changed in place"]))
    links = list(world.infr.edges)
    sim = Simulator(world.infr, world.placements(), models.standard(pattern), seed=5)
    oracle = Oracle(sim, factor=factor)
    names = ALL if pattern is None else ["workload", *ALL]
    check_run(sim, oracle, names)
    if links:
        u, v = data.draw(st.sampled_from(links), label="link")
        if change == "link removed":
            world.infr.remove_edge(u, v)
        else:
            world.infr.edges[u, v]["latency_ms"] = data.draw(LATENCIES["mixed"])
            world.infr.attributes_changed()
    oracle.restart()
    check_run(sim, oracle, names)
    fresh = Simulator(world.infr, list(sim.placements.values()), models.standard(pattern), seed=5)
    assert [plain(r["data"]) for r in fresh.run(TICKS)] == [plain(r["data"]) for r in sim.history]


def test_a_tie_takes_the_route_of_networkx_shortest_path():
    # 0-1-3 and 0-2-3 both take 4 ms.
    infr = Infrastructure("square")
    infr.add_nodes_from(range(4))
    for u, v, latency in [(0, 1, 3), (0, 2, 2), (1, 3, 1), (2, 3, 2)]:
        infr.add_edge(u, v, latency_ms=latency, bandwidth_mbps=10)
    assert nx.shortest_path(infr, 0, 3, weight="latency_ms") == [0, 1, 3]
    app = Application("pair")
    app.add_interaction("s", "t", rate_mbps=1)
    sim = Simulator(infr, [Placement(app, infr, {"s": 0, "t": 3})], [models.LinkLoad()])
    loads = {key: row["load_mbps"] for key, row in sim.run(1)[0]["data"]["link_load"].items()}
    assert loads == {"0,1": 1, "0,2": 0, "1,3": 1, "2,3": 0}


@SETTINGS
@given(infr=infrastructures(latencies="ties"))
def test_tied_routes_are_those_of_networkx_shortest_path(infr: Infrastructure):
    note(repr(World(infr, [], {})))
    # A service on every node and an interaction between every two: many ties to settle.
    app = Application("mesh")
    nodes = list(infr.nodes)
    for i, u in enumerate(nodes):
        for v in nodes[i + 1:]:
            app.add_interaction(f"on{u}", f"on{v}", rate_mbps=1)
    app.add_nodes_from(f"on{u}" for u in nodes)
    sim = Simulator(infr, [Placement(app, infr, {f"on{u}": u for u in nodes})],
                    [models.LinkLoad(), models.Latency()])
    oracle = Oracle(sim)
    assert compare(sim.run(1)[0]["data"], oracle.measure(0, ["link_load", "latency_ms"]), 0) == []


def fewest_hops(infr: Infrastructure, u: Hashable, v: Hashable) -> list[Hashable]:
    return nx.shortest_path(infr, u, v)


def widest_links(infr: Infrastructure, u: Hashable, v: Hashable) -> list[Hashable]:
    return nx.shortest_path(infr, u, v, weight=lambda a, b, d: 1 / (1 + d["bandwidth_mbps"]))


@FEWER
@given(world=worlds(), data=st.data(), route=st.sampled_from([fewest_hops, widest_links]))
def test_a_route_function_replaces_the_shortest_paths(world: World, data: Any, route: Any):
    pattern, factor = data.draw(patterns([app.id for app in world.apps]), label="pattern")
    steps = data.draw(moves(world), label="moves")
    sim = Simulator(world.infr, world.placements(), models.standard(pattern, route=route), seed=1)
    oracle = Oracle(sim, factor=factor, route=route)
    names = ALL if pattern is None else ["workload", *ALL]
    check_run(sim, oracle, names, between=lambda tick: apply(sim, steps[tick]))


RENAMED = models.Attributes(
    cpu="vcpu", idle_power="p_idle", max_power="p_max", latency="delay", bandwidth="capacity",
    energy_per_bit="j_per_bit", rate="traffic", processing="service_time", max_latency="deadline")


def renamed(world: World, names: models.Attributes) -> World:
    """The world with every attribute the models read under the names ``names``."""
    default = models.Attributes()
    table = {getattr(default, f): getattr(names, f) for f in default.__dataclass_fields__}
    for items in (world.infr.nodes.values(), (d for *_, d in world.infr.edges(data=True)),
                  *(app.nodes.values() for app in world.apps),
                  *((d for *_, d in app.edges(data=True)) for app in world.apps),
                  (app.graph for app in world.apps)):
        for data in items:
            for old in [k for k in data if k in table]:
                data[table[old]] = data.pop(old)
    world.infr.attributes_changed()
    for app in world.apps:
        app.attributes_changed()
    return world


@pytest.mark.parametrize("how", ["attributes alone", "attributes and resources"])
@FEWER
@given(world=worlds(), data=st.data())
def test_attributes_rename_what_the_models_read(world: World, data: Any, how: str):
    # Attributes(cpu=...) names the cpu that the power and the default resource read:
    # a study whose nodes only have "vcpu" needs nothing else.
    pattern, factor = data.draw(patterns([app.id for app in world.apps]), label="pattern")
    world = renamed(world, RENAMED)
    options: dict[str, Any] = {"attributes": RENAMED}
    if how == "attributes and resources":
        options["resources"] = ("vcpu",)
    sim = Simulator(world.infr, world.placements(), models.standard(pattern, **options), seed=2)
    oracle = Oracle(sim, factor=factor, attributes=RENAMED)
    check_run(sim, oracle, ALL if pattern is None else ["workload", *ALL])


# -- a small world made by hand -------------------------------------------------------------


def sample_world() -> World:
    """Two parts (n5 alone), latencies that tie, a chain, a tree placed partly
    together, a DAG with two sources and two sinks, and an application placed in
    part."""
    infr = Infrastructure("dc")
    for i, cpu in enumerate([4, 8, 2, 0, 4, 4]):
        infr.add_node(f"n{i}", cpu=cpu, mem=16, idle_power_w=50 + i, max_power_w=200)
    for u, v, latency in [(0, 1, 1), (1, 2, 1), (0, 3, 1), (3, 2, 1), (2, 4, 2.5), (1, 4, 5)]:
        infr.add_edge(f"n{u}", f"n{v}", latency_ms=latency, bandwidth_mbps=100,
                      energy_per_bit_j=1e-9)
    chain = Application("chain", max_latency_ms=4)
    tree = Application("tree", max_latency_ms=100)
    dag = Application("dag")
    partial = Application("partial", max_latency_ms=1)
    for app, edges in [(chain, ["ab", "bc"]), (tree, ["ab", "ac", "cd"]),
                       (dag, ["ac", "bc", "cd", "ce", "be"]), (partial, ["ab"])]:
        for u, v in edges:
            for s in (u, v):
                app.add_service(s, cpu=1.5, mem=2, processing_ms=0.25)
            app.add_interaction(u, v, rate_mbps=10)
    mappings = {
        "chain": {"a": "n0", "b": "n2", "c": "n4"},
        "tree": {"a": "n1", "b": "n1", "c": "n3", "d": "n5"},  # d unreachable
        "dag": {"a": "n0", "b": "n1", "c": "n2", "d": "n2", "e": "n4"},
        "partial": {"a": "n0"},
    }
    return World(infr, [chain, tree, dag, partial], mappings)


def test_the_sample_world_follows_the_reference():
    # The reference itself, on one case worked out by hand: among the tied routes networkx
    # picks n0-n1-n2 for the chain (then n2-n4: 2 + 2.5 ms, plus 0.25 at each target) and
    # for the dag's a->c, and n1-n0-n3 for the tree's a->c: n0-n1 carries three, n2-n3 none.
    world = sample_world()
    sim = Simulator(world.infr, world.placements(), models.standard(), seed=0)
    oracle = Oracle(sim)
    expected = oracle.measure(0, ALL)
    assert expected["latency_ms"]["chain"] == {"a,b": 2.25, "b,c": 2.75}
    assert expected["e2e_latency_ms"] == {"chain": 5.0, "tree": math.inf, "dag": 5.0}
    assert expected["sla"]["chain"]["violated"] and expected["sla"]["tree"]["violated"]
    assert expected["link_load"]["n0,n1"]["load_mbps"] == 30
    assert expected["link_load"]["n2,n3"]["load_mbps"] == 0
    assert expected["utilisation"]["n3"] == math.inf
    check_run(sim, Oracle(sim), ALL, ticks=2)


# -- the workload patterns ------------------------------------------------------------------


def probe_world(apps: dict[str, int]) -> World:
    """A star: each application's hub service on the hub node, and one service per
    leaf, each with its own link, so that a leaf's link load is the factor of its
    interaction (static rates and demands are 1)."""
    infr = Infrastructure("star")
    infr.add_node("hub", cpu=1e6, idle_power_w=0, max_power_w=0)
    world = World(infr, [], {})
    for name, leaves in apps.items():
        app = Application(name)
        app.add_service("hub", cpu=1)
        mapping = {"hub": "hub"}
        for i in range(leaves):
            leaf, service = f"{name}{i}", f"s{i}"
            infr.add_node(leaf, cpu=1e6, idle_power_w=0, max_power_w=0)
            infr.add_edge("hub", leaf, latency_ms=1, bandwidth_mbps=1e6, energy_per_bit_j=0)
            app.add_service(service, cpu=1)
            app.add_interaction("hub", service, rate_mbps=1)
            mapping[service] = leaf
        world.apps.append(app)
        world.mappings[name] = mapping
    return world


def factors_by_tick(world: World, history: list[dict[str, Any]]) -> dict[int, dict[Any, float]]:
    """{tick: {(app, service) or (app, "hub->service"): factor}} from the data of a probe
    world's run, at the ticks that had both."""
    owner = {leaf: (app, service) for app, mapping in world.mappings.items()
             for service, leaf in mapping.items() if leaf != "hub"}
    found = {}
    for record in history:
        data = record["data"]
        if record["event"] != "tick" or not data:
            continue
        factors = {(app, s): d for app, demands in data["workload"].items()
                   for s, d in demands.items()}
        for u, v in world.infr.edges:
            app, service = owner[v if u == "hub" else u]
            factors[(app, f"hub->{service}")] = data["link_load"][edge_key(u, v)]["load_mbps"]
        found[record["tick"]] = factors
    return found


def run_probe(pattern: models.Pattern, ticks: int, *, seed: int = 0,
              apps: dict[str, int] | None = None) -> dict[int, dict[Any, float]]:
    world = probe_world(apps or {"a": 8})
    sim = Simulator(world.infr, world.placements(),
                    [models.Workload(pattern), models.LinkLoad()], seed=seed)
    return factors_by_tick(world, sim.run(ticks))


def _series(factors: dict[int, dict[Any, float]]) -> dict[Any, list[float]]:
    return {key: [factors[t][key] for t in sorted(factors)] for key in factors[0]}


@pytest.mark.parametrize("pattern, check", [
    pytest.param(models.constant(0.3), lambda s: all(f == 0.3 for v in s.values() for f in v),
                 id="constant"),
    pytest.param(models.uniform(0.5, 2), "uniform", id="uniform"),
    pytest.param(models.random_walk(0.1, 0.5, 1.5), "walk", id="random_walk"),
    pytest.param(models.random_walk(0.2, 1.2, 3), lambda s: all(v[0] == 1.2 for v in s.values()),
                 id="random_walk-starts-clipped"),
    pytest.param(models.random_walk(0, 0, 2), lambda s: all(f == 1 for v in s.values() for f in v),
                 id="random_walk-still"),
    pytest.param(models.poisson(4), "poisson", id="poisson"),
])
def test_random_patterns_follow_their_law(pattern: models.Pattern, check: Any):
    series = _series(run_probe(pattern, 40))
    values = [f for v in series.values() for f in v]
    if callable(check):
        assert check(series)
        return
    # Every service and every interaction draws its own factors.
    assert len({tuple(v) for v in series.values()}) == len(series)
    if check == "uniform":
        assert all(0.5 <= f <= 2 for f in values)
        assert statistics.fmean(values) == pytest.approx(1.25, abs=0.1)
        assert sum(v[t] == v[t + 1] for v in series.values() for t in range(39)) == 0
    elif check == "walk":
        assert all(v[0] == 1 for v in series.values())
        assert all(0.5 <= f <= 1.5 for f in values)
        steps = [b - a for v in series.values() for a, b in zip(v, v[1:])
                 if 0.5 < a < 1.5 and 0.5 < b < 1.5]
        assert 0.08 < statistics.pstdev(steps) < 0.12
    else:
        assert all(f * 4 == int(f * 4) and f >= 0 for f in values)
        assert statistics.fmean(values) == pytest.approx(1, abs=0.1)


def test_diurnal_is_a_sine_wave_between_its_bounds():
    # Period 8, phase 2: middle and rising at tick -2 (so 6), top at 0, middle at 2,
    # bottom at 4; every service and interaction alike.
    factors = run_probe(models.diurnal(8, 0.5, 1.5, phase=2), 9, apps={"a": 2})
    expected = {0: 1.5, 2: 1.0, 4: 0.5, 6: 1.0, 8: 1.5}
    for tick, value in expected.items():
        assert factors[tick] == pytest.approx(dict.fromkeys(factors[tick], value))
    assert factors[1][("a", "s0")] == pytest.approx(1 + 0.5 * math.sin(math.pi * 3 / 4))


TRACE = [  # tick, application, service (None: the application's row), factor
    (3, "a", None, 0.5),  # out of tick order in the table
    (0, "a", None, 2.0),
    (2, "a", "s1", 3.0),
    (1, "b", None, 4.0),
    (1, "b", "s9", 9.0),  # no such service: no effect
    (0, "ghost", None, 7.0),  # no such application: no effect
    (5, "a", "s0", 0.25),
]
TRACE_EXPECTED = {  # tick: factors of a's hub, a's s0, a's s1, a's interactions, b's all
    0: (2.0, 2.0, 2.0, 2.0, 1.0),
    1: (2.0, 2.0, 2.0, 2.0, 4.0),
    2: (2.0, 2.0, 3.0, 2.0, 4.0),
    3: (0.5, 0.5, 3.0, 0.5, 4.0),  # s1 keeps its own row
    5: (0.5, 0.25, 3.0, 0.5, 4.0),
}


def _trace_source(kind: str, folder: Path) -> Any:
    table = pd.DataFrame(TRACE, columns=["tick", "application", "service", "factor"])
    if kind == "table":
        return table
    path = folder / f"trace.{kind}"
    if kind == "csv":
        table.to_csv(path, index=False)
    elif kind == "jsonl":
        table.to_json(path, orient="records", lines=True)
    else:
        pytest.importorskip("pyarrow")
        table.to_parquet(path)
    return str(path)


@pytest.mark.parametrize("kind", ["table", "csv", "jsonl", "parquet"])
def test_trace_rows_hold_until_the_next_row_of_their_application_or_service(
        kind: str, tmp_path: Path):
    factors = run_probe(models.trace(_trace_source(kind, tmp_path)), 6, apps={"a": 2, "b": 1})
    for tick, (hub, s0, s1, inter, b) in TRACE_EXPECTED.items():
        assert factors[tick] == {
            ("a", "hub"): hub, ("a", "s0"): s0, ("a", "s1"): s1, ("a", "hub->s0"): inter,
            ("a", "hub->s1"): inter, ("b", "hub"): b, ("b", "s0"): b, ("b", "hub->s0"): b}


def test_a_trace_row_before_the_first_tick_holds_from_the_start():
    table = pd.DataFrame([(-1, "a", None, 2.0), (-3, "a", "s0", 5.0), (2, "a", None, 3.0)],
                         columns=["tick", "application", "service", "factor"])
    factors = run_probe(models.trace(table), 3, apps={"a": 1})
    assert [factors[t][("a", "hub")] for t in range(3)] == [2.0, 2.0, 3.0]
    assert [factors[t][("a", "s0")] for t in range(3)] == [5.0, 5.0, 5.0]


@pytest.mark.parametrize("pattern", [
    models.uniform(0.5, 1.5), models.random_walk(0.2, 0.1, 3), models.poisson(3),
    models.diurnal(5, 0.5, 1.5)], ids=repr)
def test_factors_do_not_depend_on_which_ticks_are_read(pattern: models.Pattern):
    # The same seed: a workload and models read at every tick, every third tick with the
    # workload listed last, and the workload every fifth with the models every tick.
    world = probe_world({"a": 4, "b": 2})

    def run(*callbacks: Any) -> dict[int, dict[Any, float]]:
        sim = Simulator(world.infr, world.placements(), list(callbacks), seed=11)
        history = sim.run(12)
        return {r["tick"]: plain(r["data"]) for r in history if r["event"] == "tick"}

    every = run(models.Workload(pattern), models.LinkLoad(), models.NodeUtilisation())
    third = run(models.LinkLoad(activates_every_n={"tick": 3}),
                models.NodeUtilisation(activates_every_n={"tick": 3}),
                models.Workload(pattern, activates_every_n={"tick": 3}))
    fifth = run(models.LinkLoad(), models.NodeUtilisation(),
                models.Workload(pattern, activates_every_n={"tick": 5}))
    assert sorted(t for t, d in third.items() if d) == [0, 3, 6, 9]
    for tick, data in [*third.items(), *fifth.items()]:
        assert data == {name: every[tick][name] for name in data}


# -- one run's workload for every model ----------------------------------------------------


def hops(infr: Infrastructure, u: Hashable, v: Hashable) -> list[Hashable]:
    return nx.shortest_path(infr, u, v)


@pytest.mark.parametrize("other", [
    pytest.param({"route": hops}, id="own-route"),
    pytest.param({"attributes": models.Attributes(max_latency="deadline")}, id="own-attributes"),
])
def test_models_with_their_own_route_or_attributes_read_the_workload(other: dict[str, Any]):
    world = sample_world()
    callbacks = [models.Workload(models.constant(2)), models.LinkLoad("load", **other),
                 models.NodeUtilisation("cpu", **other), models.Latency("latency", **other)]
    sim = Simulator(world.infr, world.placements(), callbacks, seed=0)
    oracle = Oracle(sim, factor=constant_factors(2), route=other.get("route"))
    data = sim.run(1)[0]["data"]
    expected = oracle.measure(0, ["link_load", "utilisation", "latency_ms"])
    assert compare({"link_load": data["load"], "utilisation": data["cpu"],
                    "latency_ms": data["latency"]}, expected, 0) == []


# -- determinism ---------------------------------------------------------------------------


def _reports(folder: Path) -> dict[str, Any]:
    found: dict[str, Any] = {}
    for path in sorted(folder.iterdir()):
        if path.name == "run.json":
            run = json.loads(path.read_text())
            for volatile in ("started_at", "wall_time_s"):
                run.pop(volatile)
            found[path.name] = run
        else:
            found[path.name] = path.read_bytes()
    return found


@pytest.mark.parametrize("pattern", [
    models.uniform(0.5, 1.5), models.random_walk(0.1, 0.2, 2), models.poisson(2),
    models.diurnal(6, 0.5, 2, phase=1),
    models.trace(pd.DataFrame({"tick": [1, 2], "application": ["dag", "chain"],
                               "factor": [0.5, 3.0]}))], ids=repr)
def test_the_same_seed_gives_the_same_data_and_reports(pattern: models.Pattern, tmp_path: Path):
    def run(folder: str, *, order: int = 1, seed: int = 42) -> Any:
        world = sample_world()
        callbacks = models.standard(pattern, resources=("cpu", "mem"))[::order]
        sim = Simulator(world.infr, world.placements(), callbacks, seed=seed,
                        out=tmp_path / folder)
        history = []
        for record in sim.iter(6):
            history.append(plain(record["data"]))
            if record["tick"] == 2 and record["event"] == "tick":
                sim.migrate("chain", "b", "n1")
        return sim, history

    first = run("a")[1]
    assert run("b")[1] == first
    assert _reports(tmp_path / "a") == _reports(tmp_path / "b")
    assert run("c", order=-1)[1] == first  # the order of the callbacks changes nothing
    if not isinstance(pattern, (models.diurnal, models.trace)):
        assert run("d", seed=43)[1] != first


@pytest.mark.parametrize("pattern", [None, models.uniform(0.5, 1.5)], ids=repr)
def test_a_second_run_is_the_run_of_a_fresh_simulator(pattern: Any, tmp_path: Path):
    # A run depends on its seed and its world only, not on what the simulator did before:
    # here a service moved during the first run.
    def simulator(moved: bool) -> Simulator:
        world = sample_world()
        if moved:
            world.mappings["chain"]["b"] = "n1"
        return Simulator(world.infr, world.placements(), models.standard(pattern), seed=42)

    used = simulator(moved=False)
    for record in used.iter(3):
        if record["tick"] == 1:
            used.migrate("chain", "b", "n1")
    again = used.run(4, out=tmp_path / "again")
    fresh = simulator(moved=True).run(4, out=tmp_path / "fresh")
    assert [plain(r["data"]) for r in again] == [plain(r["data"]) for r in fresh]
    assert _reports(tmp_path / "again") == _reports(tmp_path / "fresh")


# -- errors --------------------------------------------------------------------------------

MISSING = object()


def _where(world: World, kind: str) -> tuple[dict[str, Any], list[str]]:
    """An attribute dict of the sample world, and what an error about it must name."""
    infr, dag = world.infr, world.apps[2]
    return {
        "node": (infr.nodes["n2"], ["n2"]),
        "link": (infr.edges["n2", "n4"], ["n2", "n4"]),
        "service": (dag.nodes["c"], ["'c'", "dag"]),
        "interaction": (dag.edges["b", "e"], ["'b'", "'e'", "dag"]),
        "application": (dag.graph, ["dag"]),
    }[kind]


@pytest.mark.parametrize("kind, attribute, value", [
    *[("node", a, v) for a in ("cpu", "mem", "idle_power_w", "max_power_w")
      for v in (MISSING, "fast")],
    *[("link", a, v) for a in ("latency_ms", "bandwidth_mbps", "energy_per_bit_j")
      for v in (MISSING, "fast")],
    ("service", "cpu", MISSING), ("service", "mem", "fast"), ("service", "processing_ms", "x"),
    ("interaction", "rate_mbps", MISSING), ("interaction", "rate_mbps", [1]),
    ("application", "max_latency_ms", "soon"),
])
def test_a_missing_or_malformed_attribute_fails_before_the_run(
        kind: str, attribute: str, value: Any):
    world = sample_world()
    data, named = _where(world, kind)
    if value is MISSING:
        data.pop(attribute, None)
    else:
        data[attribute] = value
    with pytest.raises(ValueError) as error:
        Simulator(world.infr, world.placements(),
                  models.standard(models.constant(1), resources=("cpu", "mem")))
    for text in [*named, attribute]:
        assert text in str(error.value)


def test_an_attribute_removed_between_runs_fails_before_the_next_run():
    world = sample_world()
    sim = Simulator(world.infr, world.placements(), models.standard())
    sim.run(1)
    del world.infr.edges["n2", "n4"]["latency_ms"]
    world.infr.attributes_changed()
    with pytest.raises(ValueError, match="n2.*n4.*latency_ms"):
        sim.run(1)


@pytest.mark.parametrize("callbacks, stripped", [
    pytest.param(lambda: [models.Latency(), models.EndToEnd(), models.SLA()],
                 ["cpu", "idle_power_w", "bandwidth_mbps", "rate_mbps"], id="latencies"),
    pytest.param(lambda: [models.NodeUtilisation()],
                 ["latency_ms", "bandwidth_mbps", "idle_power_w", "rate_mbps"], id="utilisation"),
])
def test_only_what_the_models_of_the_run_read_is_needed(callbacks: Any, stripped: list[str]):
    world = sample_world()
    items = [*world.infr.nodes.values(), *(d for *_, d in world.infr.edges(data=True)),
             *(d for app in world.apps for *_, d in app.edges(data=True))]
    for data in items:
        for attribute in stripped:
            data.pop(attribute, None)
    assert Simulator(world.infr, world.placements(), callbacks()).run(1)[0]["data"]


@pytest.mark.parametrize("cycle", [["ab", "ba"], ["ab", "bc", "cd", "db"], ["aa"]],
                         ids=["two", "three-behind-a-source", "self-loop"])
def test_an_application_with_a_cycle_is_refused_before_the_run(cycle: list[str]):
    world = sample_world()
    loop = Application("loop")
    for u, v in cycle:
        loop.add_interaction(u, v, rate_mbps=1)
    for s in loop.nodes:
        loop.add_service(s, cpu=1)
    world.apps.append(loop)
    world.mappings["loop"] = dict.fromkeys(loop.nodes, "n0")
    with pytest.raises(ValueError, match="'loop'.*cycle"):
        Simulator(world.infr, world.placements(), [models.EndToEnd()])


BAD = {
    "constant-text": lambda: models.constant("x"),
    "constant-inf": lambda: models.constant(math.inf),
    "uniform-upside-down": lambda: models.uniform(2, 1),
    "uniform-nan": lambda: models.uniform(0, math.nan),
    "walk-negative-sigma": lambda: models.random_walk(-0.1),
    "walk-upside-down": lambda: models.random_walk(0.1, 2, 1),
    "diurnal-no-period": lambda: models.diurnal(0, 0, 1),
    "diurnal-negative-period": lambda: models.diurnal(-4, 0, 1),
    "diurnal-upside-down": lambda: models.diurnal(4, 1, 0),
    "diurnal-nan-phase": lambda: models.diurnal(4, 0, 1, phase=math.nan),
    "poisson-zero": lambda: models.poisson(0),
    "poisson-negative": lambda: models.poisson(-1),
    "trace-no-factor": lambda: models.trace(pd.DataFrame({"tick": [0], "application": ["a"]})),
    "trace-half-tick": lambda: models.trace(
        pd.DataFrame({"tick": [0.5], "application": ["a"], "factor": [1]})),
    "trace-text-factor": lambda: models.trace(
        pd.DataFrame({"tick": [0], "application": ["a"], "factor": ["x"]})),
    "trace-no-file": lambda: models.trace("/nonexistent/trace.csv"),
    "trace-not-a-table": lambda: models.trace(42),
    "workload-not-a-pattern": lambda: models.Workload("uniform"),
    "energy-no-tick": lambda: models.Energy(tick_seconds=0),
    "utilisation-no-resource": lambda: models.NodeUtilisation(resources=()),
}


@pytest.mark.parametrize("make", BAD.values(), ids=BAD.keys())
def test_bad_pattern_and_model_arguments_are_refused(make: Callable[[], Any]):
    with pytest.raises(ValueError):
        make()


# -- the data --------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def handed_out() -> list[tuple[dict[str, Any], dict[str, Any]]]:
    """The data of a run with a workload and moves, and a plain copy of each taken
    when it was handed out."""
    world = sample_world()
    sim = Simulator(world.infr, world.placements(),
                    models.standard(models.uniform(0.5, 1.5), resources=("cpu", "mem")), seed=4)
    handed = []
    for record in sim.iter(4):
        if record["event"] == "tick":
            handed.append((record["data"], plain(record["data"])))
            sim.migrate("chain", "b", f"n{record['tick']}")
    return handed


@pytest.mark.parametrize("name", ["workload", *ALL])
def test_data_are_mappings_equal_to_dicts_that_pickle_as_dicts(handed_out: Any, name: str):
    for data, snapshot in ((d[name], s[name]) for d, s in handed_out):
        assert data == snapshot and snapshot == data
        unpickled = pickle.loads(pickle.dumps(data))
        assert type(unpickled) is dict and unpickled == snapshot
        assert all(type(v) is dict for v in unpickled.values() if isinstance(v, Mapping))
        assert copy.deepcopy(data) == snapshot


@pytest.mark.parametrize("name", ["workload", *ALL])
def test_data_stay_as_they_were_measured(handed_out: Any, name: str):
    for data, snapshot in ((d[name], s[name]) for d, s in handed_out):
        assert plain(data) == snapshot  # after the later ticks and moves
        with pytest.raises(TypeError):
            data["new"] = 1
        for key in data:
            if isinstance(data[key], dict):
                data[key].clear()  # what a reader took out is its own
        assert plain(data) == snapshot
