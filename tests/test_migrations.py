"""Migrations as events with a cost, migration policies, and the start of a run."""

import csv
import json
import math
from contextlib import closing

import pytest

from sorvane_core import models
from sorvane_core.graph import Application, Infrastructure
from sorvane_core.placement import Placement
from sorvane_core.simulation import Simulator
from sorvane_core.simulation.migrations import Migration, MigrationCost
from sorvane_core.workflow.callbacks.callback import SorvaneCallback


def world(state_mb=4.0):
    """n0 -(2 ms, 8 Mbit/s)- n1 -(3 ms, 32 Mbit/s)- n2, and n3 alone."""
    infr = Infrastructure("dc")
    for n in ("n0", "n1", "n2", "n3"):
        infr.add_node(n, cpu=4)
    infr.add_edge("n0", "n1", latency_ms=2, bandwidth_mbps=8)
    infr.add_edge("n1", "n2", latency_ms=3, bandwidth_mbps=32)
    app = Application("web", max_latency_ms=10)
    app.add_service("a", cpu=1)
    app.add_service("b", cpu=1, state_mb=state_mb)
    app.add_interaction("a", "b", rate_mbps=5)
    return infr, [Placement(app, infr, {"a": "n1", "b": "n0"})]


def moves_at(tick, *moves):
    def policy(sim):
        return list(moves) if sim.tick == tick else []
    return policy


class Seen(SorvaneCallback):
    """Records the events and ticks it hears."""

    def __init__(self, name="seen", activates_on=("start", "tick", "end")):
        super().__init__(name, activates_on=list(activates_on), report=None)
        self.heard = []

    def __call__(self, event):
        self.heard.append((event.name, event.data["tick"]))


@pytest.mark.parametrize("state, cost, downtime, seconds", [
    (4.0, True, 4, 4.0),  # 32 Mbit, n0 to n2 over the 8 and the 32 Mbit/s links: 4 s
    (0.0, True, 0, 0.0),
    (4.0, MigrationCost(tick_seconds=2.0), 2, 4.0),
    (0.0, MigrationCost(downtime_ticks=3), 3, 0.0),
    (4.0, False, 0, 0.0),
])
def test_a_move_costs_its_state_over_the_narrowest_link(state, cost, downtime, seconds):
    sim = Simulator(*world(state), [models.Latency(), models.SLA(), models.LinkLoad()],
                    policies=[moves_at(1, ("web", "b", "n2", "crowded"))], migration_cost=cost)
    history = sim.run(8)
    (move,) = sim.migrations
    assert move == Migration(2, "web", "b", "n0", "n2", "crowded", downtime,
                             state * 1e6 if cost else 0.0, seconds)
    ticks = [r for r in history if r["event"] == "tick"]
    for record in ticks:
        down = 2 <= record["tick"] < 2 + downtime
        latency = record["data"]["latency_ms"]["web"]["a,b"]
        assert latency == (float("inf") if down else 2.0 if record["tick"] < 2 else 3.0)
        assert record["data"]["sla"]["web"]["violated"] is down
        loads = record["data"]["link_load"]
        assert (loads["n0,n1"]["load_mbps"], loads["n1,n2"]["load_mbps"]) == (
            (5.0, 0.0) if record["tick"] < 2 else (0.0, 0.0) if down else (0.0, 5.0))
    assert ticks[-1]["data"]["sla"]["web"]["violations"] == downtime
    assert [r["data"] for r in history if r["event"] == "migration"] == [move._asdict()]


@pytest.mark.parametrize("how", ["migrate", "policy", "mapping"])
def test_every_move_is_recorded_once_in_the_report_history_and_run_json(tmp_path, how):
    infr, placements = world(0.0)
    sim = Simulator(infr, placements, [Seen()], out=tmp_path,
                    policies=[moves_at(0, ("web", "b", "n2", "policy"))] if how == "policy" else [])
    with closing(sim.iter(4)) as steps:
        for record in steps:
            if record["event"] == "tick" and record["tick"] == 0 and how != "policy":
                if how == "migrate":
                    sim.migrate("web", "b", "n2", reason="migrate")
                else:
                    placements[0].mapping["b"] = "n2"
    reason = {"migrate": "migrate", "policy": "policy", "mapping": "mapping"}[how]
    expected = Migration(1, "web", "b", "n0", "n2", reason, 0, 0.0, 0.0)
    assert sim.migrations == [expected]
    with open(tmp_path / "migrations.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    assert rows == [{k: str(v) for k, v in expected._asdict().items()}]
    meta = json.loads((tmp_path / "run.json").read_text())
    assert meta["migrations"] == 1 and "migrations.csv" in meta["files"]
    assert [r["event"] for r in sim.history].count("migration") == 1


def test_moves_between_runs_are_no_migrations_and_each_run_starts_afresh():
    infr, placements = world(0.0)
    sim = Simulator(infr, placements, [Seen()], policies=[moves_at(0, ("web", "b", "n1", "p"))])
    sim.run(2)
    placements[0].mapping["b"] = "n0"  # between runs: the next run's starting point
    sim.run(2)
    assert [(m.tick, m.source, m.target) for m in sim.migrations] == [(1, "n0", "n1")]


def test_policies_run_every_n_ticks_between_ticks_and_while_stepping():
    calls = []

    def policy(sim):
        calls.append(sim.tick)
        return ()
    policy.every = 3
    sim = Simulator(*world(), [Seen()], policies=[policy])
    sim.run(10)
    assert calls == [2, 5, 8]  # after ticks 2, 5 and 8; never after the last
    calls.clear()
    with closing(sim.iter(10)) as steps:
        for record in steps:
            if record["tick"] == 4:
                break
    assert calls == [2]


@pytest.mark.parametrize("policy, error, match", [
    (lambda sim: [("web", "b")], ValueError, "a move is \\(application, service, node, reason\\)"),
    (lambda sim: [("web", "b", "n9", "far")], ValueError, "node 'n9' is not in infrastructure"),
    (lambda sim: [("web", "b", "n3", "island")], ValueError,
     "no route from 'n0' to 'n3' to carry the 4.0 MB of state of service 'b'"),
])
def test_a_bad_move_of_a_policy_ends_the_run_naming_the_policy(policy, error, match):
    sim = Simulator(*world(), [Seen()], policies=[policy])
    with pytest.raises(error, match=match) as raised:
        sim.run(3)
    assert raised.value.__notes__ == ["in migration policy '<lambda>', after tick 0"]


@pytest.mark.parametrize("policy, match", [
    (42, "is not callable"),
    (type("P", (), {"every": 0, "__call__": lambda self, sim: ()})(), "every=0"),
])
def test_policies_are_checked_when_the_simulator_is_made(policy, match):
    with pytest.raises(ValueError, match=match):
        Simulator(*world(), [], policies=[policy])


def test_the_start_event_comes_before_the_first_tick():
    seen = Seen()
    stopper = Seen("stopper", activates_on=["start"])
    sim = Simulator(*world(), [seen])
    history = sim.run(2)
    assert seen.heard == [("start", 0), ("tick", 0), ("tick", 1), ("end", 1)]
    assert [r["event"] for r in history] == ["start", "tick", "tick", "end"]
    assert sim.ticks_run == 2
    # Nobody listening: no record. Stopped at the start: no tick.
    assert [r["event"] for r in Simulator(*world(), []).run(1)] == ["tick", "end"]
    stopper._triggers["stop"] = lambda data: True
    sim = Simulator(*world(), [stopper, Seen("late", ["tick", "end"])])
    assert [r["event"] for r in sim.run(5)] == ["start", "end"] and sim.stopped
    with pytest.raises(ValueError, match="callback 'start' has the name of the simulator's"):
        Simulator(*world(), [Seen("start", ["tick"])])


# -- the built-in migration policies, against plain computations over networkx ----------

import networkx as nx  # noqa: E402
from hypothesis import given, settings, strategies as st  # noqa: E402

from sorvane_core.policies.migration import consolidate, relieve_overload  # noqa: E402


@st.composite
def crowded_worlds(draw):
    nodes = draw(st.integers(2, 6))
    infr = Infrastructure("w")
    for n in range(nodes):
        infr.add_node(n, cpu=draw(st.sampled_from([0, 2, 4, 8])))
    for u in range(nodes):
        for v in range(u + 1, nodes):
            if draw(st.booleans()):
                infr.add_edge(u, v, latency_ms=draw(st.integers(0, 3)))
    placements = []
    for a in range(draw(st.integers(1, 3))):
        app = Application(f"a{a}")
        services = [f"a{a}s{i}" for i in range(draw(st.integers(1, 4)))]
        for s in services:
            app.add_service(s, cpu=draw(st.sampled_from([1, 2, 3])))
        for s, t in zip(services, services[1:]):
            if draw(st.booleans()):
                app.add_interaction(s, t)
        placements.append(Placement(app, infr, {
            s: draw(st.integers(0, nodes - 1)) for s in services if draw(st.integers(0, 4))}))
    return infr, placements


def plain_state(infr, placements):
    """(node of each service, demand of each service, demand asked of each node), in the
    order the services are laid out: applications in order, services in graph order."""
    node, demand = {}, {}
    for pl in placements:
        for s, data in pl.application.nodes(data=True):
            key = (pl.application.id, s)
            node[key], demand[key] = pl.mapping.get(s), data["cpu"]
    asked = {n: 0 for n in infr.nodes}
    for key, n in node.items():
        if n is not None:
            asked[n] += demand[key]
    return node, demand, asked


def share(asked, capacity):
    return asked / capacity if capacity else (math.inf if asked > 0 else 0.0)


def plain_relieve(infr, placements, threshold):
    node, demand, asked = plain_state(infr, placements)
    cap = {n: d["cpu"] for n, d in infr.nodes(data=True)}
    over = [n for n in infr.nodes if share(asked[n], cap[n]) > threshold]
    over.sort(key=lambda n: -share(asked[n], cap[n]))  # stable: ties in node order
    moves = []
    for n in over:
        on = [k for k in node if node[k] == n]
        if not on:
            continue
        key = max(on, key=lambda k: demand[k])  # the first of the largest
        d = demand[key]
        fits = [m for m in infr.nodes if m != n and share(asked[m] + d, cap[m]) <= threshold]
        if not fits:
            continue
        app = next(pl.application for pl in placements if pl.application.id == key[0])
        peers = [(key[0], p) for p in [*app.successors(key[1]), *app.predecessors(key[1])]]

        def far(a, b):
            try:
                return nx.shortest_path_length(infr, a, b, weight="latency_ms")
            except nx.NetworkXNoPath:
                return math.inf

        def added(m):
            """(peers with no path to m, latency added to those with a path to m and n)"""
            cut, total = 0, 0.0
            for p in peers:
                if node[p] is not None:
                    there, here = far(node[p], m), far(node[p], n)
                    cut += there == math.inf
                    if there < math.inf and here < math.inf:
                        total += there - here
            return cut, total
        target = min(fits, key=added)  # the first of the least
        asked[n] -= d
        asked[target] += d
        node[key] = target
        moves.append((*key, target, "relieve_overload"))
    return moves


def plain_consolidate(infr, placements, threshold, most=1.0):
    node, demand, asked = plain_state(infr, placements)
    cap = {n: d["cpu"] for n, d in infr.nodes(data=True)}
    light = [n for n in infr.nodes if asked[n] > 0 and share(asked[n], cap[n]) <= threshold]
    light.sort(key=lambda n: share(asked[n], cap[n]))
    emptied, moves = set(), []
    for n in light:
        if n in emptied or not share(asked[n], cap[n]) <= threshold:
            continue
        on = sorted((k for k in node if node[k] == n), key=lambda k: -demand[k])
        plan_asked, plan = dict(asked), []
        for key in on:
            d = demand[key]
            fits = [m for m in infr.nodes if m != n and m not in emptied and plan_asked[m] > 0
                    and share(plan_asked[m] + d, cap[m]) <= most]
            if not fits:
                plan = []
                break
            target = max(fits, key=lambda m: share(plan_asked[m] + d, cap[m]))
            plan_asked[n] -= d
            plan_asked[target] += d
            plan.append((key, target))
        if plan:
            asked = plan_asked
            emptied.add(n)
            for key, target in plan:
                node[key] = target
                moves.append((*key, target, "consolidate"))
    return moves


@settings(max_examples=60, deadline=None)
@given(crowded_worlds(), st.sampled_from([0.5, 0.75, 1.0]))
def test_relieve_overload_moves_as_its_rule_says(world, threshold):
    infr, placements = world
    sim = Simulator(infr, placements, [])
    assert relieve_overload(threshold)(sim) == plain_relieve(infr, placements, threshold)


def test_relieve_overload_keeps_what_it_can_reach_on_a_split_infrastructure():
    # No links: s1 leaves the full node 1 and its peer s2 there whatever it does;
    # on node 2 it joins s0, on node 0 it reaches neither.
    infr = Infrastructure("split")
    for n, cpu in [(0, 2), (1, 0), (2, 4)]:
        infr.add_node(n, cpu=cpu)
    app = Application("a")
    for s in ("s0", "s1", "s2"):
        app.add_service(s, cpu=1)
    app.add_interaction("s0", "s1")
    app.add_interaction("s1", "s2")
    pl = Placement(app, infr, {"s0": 2, "s1": 1, "s2": 1})
    assert relieve_overload(0.5)(Simulator(infr, [pl], [])) == [("a", "s1", 2, "relieve_overload")]


@settings(max_examples=60, deadline=None)
@given(crowded_worlds(), st.sampled_from([0.3, 0.5, 0.9]))
def test_consolidate_moves_as_its_rule_says(world, threshold):
    infr, placements = world
    sim = Simulator(infr, placements, [])
    assert consolidate(threshold)(sim) == plain_consolidate(infr, placements, threshold)


@pytest.mark.parametrize("make, match", [
    (lambda: relieve_overload(0), "threshold must be a finite number above 0"),
    (lambda: consolidate(0.5, every=0), "every must be a whole number of ticks"),
    (lambda: consolidate("half"), "threshold must be a number"),
])
def test_policy_arguments_are_checked(make, match):
    with pytest.raises(ValueError, match=match):
        make()
