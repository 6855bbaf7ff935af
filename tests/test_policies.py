"""The placement policies against plain-Python references of their rules.

Random small worlds from hypothesis: up to 7 nodes with one to three resources and
a tier, links whose latencies tie or are 0, up to three applications whose
interactions form DAGs or cycles, with or without a source node. Capacities are
powers of two and demands multiples of 1/2, so that every sum and score is exact
and the references can compare choices, ties included, with the policies.
"""

from __future__ import annotations

import doctest
import math
import random as stdlib_random
import sys
from collections import Counter
from collections.abc import Callable, Hashable
from typing import Any

import networkx as nx
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from sorvane_core import policies
from sorvane_core.graph import Application, Infrastructure
from sorvane_core.policies import placement as placing

SETTINGS = settings(max_examples=60, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
POLICIES = ["random", "first_fit", "best_fit", "worst_fit", "latency_aware", "cloud_only",
            "edge_first"]
CAPACITY = st.sampled_from([0, 1, 2, 4, 8, 16, 0.5])
DEMAND = st.sampled_from([0, 0.5, 1, 1.5, 2, 3])
TIERS = st.sampled_from(["edge", "fog", "cloud", "lab", None])


class World:
    def __init__(self, infr: Infrastructure, apps: list[Application],
                 resources: tuple[str, ...]) -> None:
        self.infr, self.apps, self.resources = infr, apps, resources

    def __repr__(self) -> str:  # what a failing example prints: enough to build it again
        return "World(nodes={}, links={}, apps={})".format(
            list(self.infr.nodes(data=True)), list(self.infr.edges(data=True)),
            [(a.id, a.graph, list(a.nodes(data=True)), list(a.edges(data=True)))
             for a in self.apps])


@st.composite
def worlds(draw: Any, cycles: bool = True) -> World:
    resources = draw(st.sampled_from([("cpu",), ("cpu", "mem"), ("cpu", "mem", "gpu")]))
    names = [f"n{i}" for i in range(draw(st.integers(1, 7)))]
    infr = Infrastructure("w")
    for name in names:
        attrs: dict[str, Any] = {r: draw(CAPACITY) for r in resources}
        tier = draw(TIERS)
        if tier is not None:
            attrs["tier"] = tier
        infr.add_node(name, idle_power_w=10, **attrs)
    for _ in range(draw(st.integers(0, 2 * len(names)))):
        u, v = draw(st.sampled_from(names)), draw(st.sampled_from(names))
        if u != v:
            infr.add_edge(u, v, latency_ms=draw(st.integers(0, 5)))
    apps = []
    for a in range(draw(st.integers(1, 3))):
        app = Application(f"a{a}")
        count = draw(st.integers(1, 6))
        order = draw(st.permutations(range(count)))  # app.nodes order is not the topology
        for s in order:
            app.add_service(f"s{s}", processing_ms=2, **{r: draw(DEMAND) for r in resources})
        for _ in range(draw(st.integers(0, count + 1))):
            u, v = sorted(draw(st.lists(st.integers(0, count - 1), min_size=2, max_size=2,
                                        unique=True)) if count > 1 else [0, 0])
            if u != v:
                app.add_interaction(f"s{u}", f"s{v}", rate_mbps=draw(st.integers(0, 3)))
        if cycles and count > 1 and draw(st.booleans()):
            app.add_interaction(f"s{count - 1}", "s0", rate_mbps=1)
        source = draw(st.one_of(st.none(), st.sampled_from(names)))
        if source is not None:
            app.graph["source_node"] = source
        apps.append(app)
    return World(infr, apps, resources)


# -- the references ------------------------------------------------------------------------


def candidates(world: World, policy: str, tiers: tuple[str, ...] = ("edge", "fog", "cloud")
               ) -> list[Hashable]:
    nodes = list(world.infr.nodes)
    tier = nx.get_node_attributes(world.infr, "tier")
    if policy == "cloud_only":
        return [n for n in nodes if tier.get(n) == "cloud"]
    if policy == "edge_first":
        return ([n for t in tiers for n in nodes if tier.get(n) == t]
                + [n for n in nodes if tier.get(n) not in tiers])
    return nodes


def scales(world: World) -> dict[str, float]:
    return {r: max([c for _, c in world.infr.nodes(data=r)] + [0]) or 1.0
            for r in world.resources}


def distance(infr: Infrastructure, u: Hashable, v: Hashable) -> float:
    try:
        return nx.shortest_path_length(infr, u, v, weight="latency_ms")
    except nx.NetworkXNoPath:
        return math.inf


def reference(world: World, policy: str, weighted: bool = False,
              tiers: tuple[str, ...] = ("edge", "fog", "cloud")) -> Any:
    """Each application's mapping, or ("short", application, service, node, resource)
    for the first service that fits nowhere."""
    infr, resources, scale = world.infr, world.resources, scales(world)
    left = {n: {r: data[r] for r in resources} for n, data in infr.nodes(data=True)}
    nodes = candidates(world, policy, tiers)
    mappings = []
    for app in world.apps:
        if policy == "latency_aware":
            try:
                order = list(nx.topological_sort(app))
            except nx.NetworkXUnfeasible:
                order = list(app.nodes)
        else:
            order = list(app.nodes)
        mapping: dict[Hashable, Hashable] = {}
        for sid in order:
            asked = app.nodes[sid]
            fitting = [n for n in nodes if all(left[n][r] >= asked[r] for r in resources)]
            if not fitting:
                if not nodes:
                    return ("none", app.id, sid)
                short = {n: {r: max(0, asked[r] - left[n][r]) / scale[r] for r in resources}
                         for n in nodes}
                closest = min(nodes, key=lambda n: sum(short[n].values()))
                resource = max(resources, key=lambda r: short[closest][r])
                return ("short", app.id, sid, closest, resource)

            def score(n: Hashable) -> float:
                after = [left[n][r] - asked[r] for r in resources]
                return after[0] if len(resources) == 1 else sum(
                    a / scale[r] for a, r in zip(after, resources))

            if policy in ("first_fit", "cloud_only", "edge_first"):
                chosen = fitting[0]
            elif policy == "best_fit":
                chosen = min(fitting, key=score)
            elif policy == "worst_fit":
                chosen = max(fitting, key=score)
            else:
                near: list[tuple[Hashable, float]] = []
                partners = [(t, d) for _, t, d in app.out_edges(sid, data=True)] + [
                    (t, d) for t, _, d in app.in_edges(sid, data=True)]
                placed = [(mapping[t], d) for t, d in partners if t in mapping]
                for node, data in placed:
                    weight = data["rate_mbps"] if weighted else 1
                    if weight > 0:
                        near.append((node, weight))
                if not placed and "source_node" in app.graph:
                    near = [(app.graph["source_node"], 1)]
                chosen = min(fitting, key=lambda n: sum(
                    w * distance(infr, m, n) for m, w in near))
            for r in resources:
                left[chosen][r] -= asked[r]
            mapping[sid] = chosen
        mappings.append(mapping)
    return mappings


def outcome(policy: Callable[..., Any], world: World, **options: Any) -> Any:
    try:
        placed = policy(world.apps, world.infr, **options)
    except ValueError as error:
        return error
    return [dict(pl.mapping) for pl in placed]


def agrees(got: Any, expected: Any) -> None:
    if isinstance(expected, list):
        assert got == expected
        return
    assert isinstance(got, ValueError), got
    text = str(got)
    assert f"service {expected[2]!r} of application {expected[1]!r}" in text
    if expected[0] == "short":
        assert f"short of {expected[4]!r}" in text
        assert f"closest to fitting, {expected[3]!r}" in text


# -- every policy ---------------------------------------------------------------------------


@pytest.mark.parametrize("name", POLICIES)
@SETTINGS
@given(world=worlds(), seed=st.integers(0, 2**32))
def test_every_service_is_placed_within_every_capacity(name, world, seed):
    policy = getattr(policies, name)
    before = (list(world.infr.nodes(data=True)), [list(a.nodes(data=True)) for a in world.apps])
    got = outcome(policy, world, rng=seed)
    assert before == (list(world.infr.nodes(data=True)),
                      [list(a.nodes(data=True)) for a in world.apps])
    if isinstance(got, ValueError):
        assert "of application" in str(got)
        return
    used = {n: dict.fromkeys(world.resources, 0.0) for n in world.infr}
    for app, mapping in zip(world.apps, got):
        assert list(mapping) == list(app.nodes)
        for sid, node in mapping.items():
            for r in world.resources:
                used[node][r] += app.nodes[sid][r]
    for node, amounts in used.items():
        for r, amount in amounts.items():
            assert amount <= world.infr.nodes[node][r], (node, r)
    if name == "cloud_only":
        assert all(world.infr.nodes[n]["tier"] == "cloud" for m in got for n in m.values())
    assert outcome(policy, world, rng=seed) == got  # the same seed, the same placements


@pytest.mark.parametrize("name", ["first_fit", "best_fit", "worst_fit", "cloud_only",
                                  "edge_first"])
@SETTINGS
@given(world=worlds())
def test_fit_policies_follow_their_rule(name, world):
    agrees(outcome(getattr(policies, name), world), reference(world, name))


@SETTINGS
@given(world=worlds(), tiers=st.lists(TIERS.filter(bool), unique=True, max_size=4))
def test_edge_first_tries_the_tiers_in_the_order_given(world, tiers):
    agrees(outcome(policies.edge_first, world, tiers=tuple(tiers)),
           reference(world, "edge_first", tiers=tuple(tiers)))


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("search", ["kernel", "networkx", "one row kept"])
@settings(SETTINGS, max_examples=40)
@given(world=worlds())
def test_latency_aware_goes_nearest(world, weighted, search):
    options: dict[str, Any] = {"weighted": weighted}
    with pytest.MonkeyPatch.context() as patched:
        if search == "networkx":  # a build without the routing kernel
            patched.setitem(sys.modules, "sorvane_core.models._routes", None)
        elif search == "one row kept":
            options["cache_mb"] = 0
        got = outcome(policies.latency_aware, world, **options)
    agrees(got, reference(world, "latency_aware", weighted=weighted))


def line(latencies: list[float]) -> Infrastructure:
    infr = Infrastructure("line")
    for i in range(len(latencies) + 1):
        infr.add_node(i, cpu=1)
    for i, latency in enumerate(latencies):
        infr.add_edge(i, i + 1, latency_ms=latency)
    return infr


def chain(name: str, services: int, **graph: Any) -> Application:
    app = Application(name, **graph)
    for s in range(services):
        app.add_service(f"s{s}", cpu=1)
    for s in range(services - 1):
        app.add_interaction(f"s{s}", f"s{s + 1}", rate_mbps=1)
    return app


@pytest.mark.parametrize("latencies, source, expected", [
    # From node 2 of 0 -1- 1 -1- 2 -3- 3: 2, then 1 (1 ms from 2), 0 (1 ms from 1).
    ([1, 1, 3], 2, [2, 1, 0, 3]),
    # A link of 0 ms: nodes 0 and 1 are both 0 ms from 1, and 0 comes first.
    ([0, 5], 1, [0, 1, 2]),
    # Node 3 cannot be reached: it costs inf, and goes last.
    ([2, 2], 2, [2, 1, 0]),
])
def test_latency_aware_ties_and_unreachable_nodes(latencies, source, expected):
    infr = line(latencies)
    if source == 2 and len(latencies) == 2:
        infr.add_node(3, cpu=1)
    app = chain("c", len(expected), source_node=source)
    mapping = policies.latency_aware([app], infr)[0].mapping
    assert [mapping[f"s{s}"] for s in range(len(expected))] == expected


def test_random_draws_uniformly_among_the_nodes_that_fit():
    infr = Infrastructure("dc")
    for n, cpu in [("a", 0), ("b", 10**6), ("c", 10**6), ("d", 0.5), ("e", 10**6)]:
        infr.add_node(n, cpu=cpu)
    app = Application("many")
    for s in range(3000):
        app.add_service(s, cpu=1)
    counts = Counter(policies.random([app], infr, rng=np.random.default_rng(5))[0]
                     .mapping.values())
    assert set(counts) == {"b", "c", "e"}
    assert all(900 < count < 1100 for count in counts.values()), counts


@pytest.mark.parametrize("make", [lambda: 3, lambda: np.random.default_rng(3),
                                  lambda: stdlib_random.Random(3), lambda: None])
def test_random_is_the_same_for_a_seed_and_differs_between_seeds(make):
    infr = Infrastructure("dc")
    for n in range(20):
        infr.add_node(n, cpu=100)
    app = Application("a")
    for s in range(30):
        app.add_service(s, cpu=1)
    first = dict(policies.random([app], infr, rng=make())[0].mapping)
    assert dict(policies.random([app], infr, rng=make())[0].mapping) == first
    other = dict(policies.random([app], infr, rng=4)[0].mapping)
    assert other != first


def test_resources_are_chosen_and_an_empty_choice_places_anywhere():
    infr = Infrastructure("dc")
    infr.add_node("a", cpu=1, mem=10_000)
    infr.add_node("b", cpu=100, mem=1)
    app = Application("x")
    app.add_service("s", cpu=2, mem=2)
    assert policies.first_fit([app], infr, resources=("cpu",))[0].mapping == {"s": "b"}
    assert policies.first_fit([app], infr, resources="mem")[0].mapping == {"s": "a"}
    assert policies.best_fit([app], infr, resources=())[0].mapping == {"s": "a"}
    infr.add_node("z", cpu=-0.0, mem=0)  # no room at all, which a service of 0 fits
    app.add_service("s", cpu=0, mem=0)
    assert policies.best_fit([app], infr, resources="cpu")[0].mapping == {"s": "z"}
    # Shortfalls weigh over the largest capacity: 40 of mem short on "b" is less than 1
    # of cpu on "a".
    app.add_service("s", cpu=2, mem=41)
    with pytest.raises(ValueError, match="short of 'mem'.* 'b', has mem=1 left"):
        policies.first_fit([app], infr)


# -- errors ---------------------------------------------------------------------------------


def tiny(node: dict[str, Any], service: dict[str, Any]) -> tuple[Infrastructure, Application]:
    infr = Infrastructure("dc")
    infr.add_node("n", tier="cloud", **node)
    app = Application("shop")
    app.add_service("db", **service)
    return infr, app


@pytest.mark.parametrize("name", POLICIES)
@pytest.mark.parametrize("node, service, resources, match", [
    ({"cpu": 1}, {"cpu": 2}, None, "service 'db' of application 'shop' fits on no node.*"
                                   "short of 'cpu'.* 'n', has cpu=1 left"),
    ({"cpu": 4}, {"cpu": "2"}, None, "service 'db' of application 'shop' has cpu='2'"),
    ({"cpu": 4, "mem": 1}, {"cpu": 1}, ("cpu", "mem"),
     "service 'db' of application 'shop' has no 'mem' attribute"),
    ({"cpu": 4}, {"cpu": 1, "mem": 1}, ("cpu", "mem"), "node 'n' has no 'mem' attribute"),
    ({"cpu": "4GB"}, {"cpu": 1}, ("cpu",), "node 'n' has cpu='4GB'"),
    ({"cpu": True}, {"cpu": 1}, ("cpu",), "node 'n' has cpu=True"),
    ({"cpu": math.nan}, {"cpu": 1}, None, "node 'n' has cpu=nan"),
    ({"cpu": 4}, {"cpu": -1}, None, "service 'db' .* cpu=-1; placement needs a finite"),
    ({"cpu": 4}, {"cpu": math.inf}, None, "service 'db' .* cpu=inf"),
])
def test_errors_name_the_application_service_node_and_resource(name, node, service,
                                                               resources, match):
    infr, app = tiny(node, service)
    with pytest.raises(ValueError, match=match):
        getattr(policies, name)([app], infr, resources=resources)


@pytest.mark.parametrize("latency, match", [
    ("slow", "link 'n'-'m' has latency_ms='slow'"),
    (-1, "link 'n'-'m' has latency_ms=-1"),
    (None, "link 'n'-'m' has no 'latency_ms' attribute"),
])
def test_latency_aware_refuses_bad_links(latency, match):
    infr, app = tiny({"cpu": 4}, {"cpu": 1})
    infr.add_node("m", cpu=4)
    infr.add_edge("n", "m", **({} if latency is None else {"latency_ms": latency}))
    with pytest.raises(ValueError, match=match):
        policies.latency_aware([app], infr)


def test_latency_aware_refuses_a_bad_source_node_and_rate():
    infr, app = tiny({"cpu": 4}, {"cpu": 1})
    app.graph["source_node"] = "nowhere"
    with pytest.raises(ValueError, match="application 'shop' has source_node='nowhere'"):
        policies.latency_aware([app], infr)
    del app.graph["source_node"]
    app.add_service("cache", cpu=1)
    app.add_interaction("db", "cache")
    with pytest.raises(ValueError, match="interaction 'db'->'cache' of application 'shop' "
                                         "has no 'rate_mbps'"):
        policies.latency_aware([app], infr, weighted=True)


@pytest.mark.parametrize("tiers, match", [
    ({"n": "edge"}, "no node of infrastructure 'dc' has tier='cloud', so service 'db' of "
                    "application 'shop'"),
    ({"n": "cloud", "m": "edge"}, "service 'db' of application 'shop' fits on no node of "
                                  "tier 'cloud': short of 'cpu'.* 'n', has cpu=1 left"),
])
def test_cloud_only_places_on_cloud_nodes_alone(tiers, match):
    infr = Infrastructure("dc")
    infr.add_node("n", cpu=1, tier=tiers["n"])
    infr.add_node("m", cpu=64, tier=tiers.get("m", "edge"))
    app = Application("shop")
    app.add_service("db", cpu=2)
    with pytest.raises(ValueError, match=match):
        policies.cloud_only([app], infr)


@pytest.mark.parametrize("call, error, match", [
    (lambda app, infr: policies.first_fit(app, infr), TypeError, "not the graph 'shop'"),
    (lambda app, infr: policies.first_fit([app, "x"], infr), TypeError, "not 'x'"),
    (lambda app, infr: policies.random([app], infr, rng=1.5), TypeError, "not float"),
    (lambda app, infr: policies.random([app], infr, rng=True), TypeError, "not bool"),
    (lambda app, infr: policies.first_fit([app], infr, seed=1), TypeError, "seed"),
])
def test_misuse_is_a_type_error(call, error, match):
    infr, app = tiny({"cpu": 4}, {"cpu": 1})
    with pytest.raises(error, match=match):
        call(app, infr)


def test_the_module_examples_run():
    failures, tried = doctest.testmod(placing)
    assert tried and not failures
