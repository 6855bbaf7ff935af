"""The graphs against networkx itself, their services, and the edge key table."""

import copy
import pickle
import random
import subprocess
import sys

import networkx as nx
import pytest

from sorvane_core.graph import Application, Infrastructure, edge_ends
from sorvane_core.remote.service import Service


def make_app() -> Application:
    app = Application("shop")
    app.add_service("web", cpu=1)
    app.add_interaction("web", "db", latency=5)
    return app


def pickled(x):
    return pickle.loads(pickle.dumps(x))


# Each takes the graph and the random source; nodes are drawn from 0..6.
CHANGES = [
    lambda g, r: g.add_edge(r.randrange(7), r.randrange(7), w=r.randrange(3)),
    lambda g, r: g.remove_edges_from(list(g.edges)[:1]),
    lambda g, r: g.remove_nodes_from([r.randrange(7)]),
    lambda g, r: g.add_node(r.randrange(7), c=r.randrange(3)),
    lambda g, r: g.clear_edges(),
    lambda g, r: g.clear(),
    lambda g, r: nx.relabel_nodes(g, dict([r.sample(range(7), 2)]), copy=False),
    lambda g, r: [d.update(w=r.randrange(3)) for *_, d in g.edges(data=True)],
]
VIEWS = [
    lambda g: g.edges(data=True),
    lambda g: g.edges,
    lambda g: g.nodes(data=True),
    lambda g: g.nodes,
]
COPIES = [copy.copy, copy.deepcopy, pickled]


def run(factory, seed, steps=30):
    """What a random sequence of changes, held views and copies shows, step by step."""
    r = random.Random(seed)
    graphs, held, trace = [factory()], [], []
    for _ in range(steps):
        action = r.random()
        g = r.choice(graphs)
        if action < 0.5:
            r.choice(CHANGES)(g, r)
        elif action < 0.75:
            view = r.choice(VIEWS)(g)
            if r.random() < 0.3:  # on its own, as a callback that keeps it is shipped
                view = r.choice(COPIES)(view)
            held.append(view)
        elif len(graphs) < 5:
            graphs.append(r.choice(COPIES)(g))
        trace.append(
            [(list(g.edges(data=True)), len(g.edges(data=True)), list(g.nodes(data=True)))
             for g in graphs]
            + [(list(v), len(v)) for v in held]
        )
    return trace


@pytest.mark.parametrize("plain, ours", [(nx.Graph, Infrastructure), (nx.DiGraph, Application)])
def test_views_and_copies_behave_as_networkx(plain, ours):
    for seed in range(40):
        expected, found = run(plain, seed), run(ours, seed)
        for step, (want, got) in enumerate(zip(expected, found)):
            assert got == want, f"seed {seed}, step {step}"


@pytest.mark.parametrize("make", [make_app, lambda: Infrastructure("dc", region="eu")])
def test_clear_keeps_the_id_alone(make):
    g = make()
    g.add_edge("a", "b")
    g.graph["name"] = "x"
    g.clear()
    assert g.graph == {"id": g.id} and g.id in ("shop", "dc") and len(g) == 0
    assert not getattr(g, "services", {})


RECREATE = {
    "remove-add": lambda app: (app.remove_node("db"), app.add_node("db", cpu=9)),
    "clear-add": lambda app: (app.clear(), app.add_node("db", cpu=9)),
    "relabel": lambda app: (
        nx.relabel_nodes(app, {"db": "tmp"}, copy=False),
        app.nodes["tmp"].update(cpu=9),
        nx.relabel_nodes(app, {"tmp": "db"}, copy=False),
    ),
}


@pytest.mark.parametrize("recreate", RECREATE.values(), ids=RECREATE)
def test_a_node_created_again_gets_a_new_service(recreate):
    app = make_app()
    app.services["db"].deployed = True  # written by an earlier emulation
    kept = app.services["web"] = Service("web", deployed=True)  # as the operations store it
    app.services["elsewhere"] = other = Service("elsewhere")
    recreate(app)
    assert app.services["db"] == Service("db", requirements={"cpu": 9})
    assert set(app.services) == set(app) | {"elsewhere"} and app.services["elsewhere"] is other
    if "web" in app:
        assert app.services["web"] is kept
    for derive in (pickled, copy.deepcopy):  # a copy knows which entries its nodes made
        derived = derive(app)
        derived.remove_node("db")
        derived.add_node("db", cpu=3)
        assert derived.services["db"].requirements == {"cpu": 3}


SWAPS = {
    "pop-set": lambda s: (s.pop("web"), s.__setitem__("x", Service("x"))),
    "del-setdefault": lambda s: (s.__delitem__("web"), s.setdefault("x", Service("x"))),
    "popitem-ior": lambda s: (s.popitem(), s.__ior__({"x": Service("x")})),
    "clear-update": lambda s: (s.clear(), s.update(x=Service("x"), y=Service("y"))),
}


@pytest.mark.parametrize("swap", SWAPS.values(), ids=SWAPS)
def test_services_notice_entries_swapped_for_others(swap):
    app = make_app()
    swap(app.services)
    assert set(app.services) >= {"web", "db", "x"}
    assert app.services["web"].requirements == {"cpu": 1}


def test_storing_a_service_again_costs_no_walk(monkeypatch):
    app = make_app()
    services = app.services
    walks = []
    monkeypatch.setattr(type(services), "follow", lambda s, nodes: walks.append(nodes))
    for sid in list(services):
        app.services[sid] = Service(sid, deployed=True)  # as an undeploy stores them
    assert app.services is services and walks == []


@pytest.mark.parametrize("read_first", [False, True])
def test_add_service_merges_with_attributes_already_there(read_first):
    app = Application("a")
    app.add_node("x", cpu=1)
    if read_first:
        app.services["x"].running = True
    service = app.add_service("x", mem=2)
    assert app.nodes["x"] == service.requirements == {"cpu": 1, "mem": 2}
    assert app.services["x"] is service and service.running is read_first


def test_edge_ends_are_a_snapshot_of_the_graph():
    infr = Infrastructure("dc")
    infr.add_edge("n1", "n2")
    first = edge_ends(infr)
    assert edge_ends(infr) is first
    infr.add_edge(1, "2")
    infr.add_edge("1", 2)  # the same key text: walked later, it wins
    second = edge_ends(infr)
    assert dict(first) == {"n1,n2": ("n1", "n2")}
    assert dict(second) == {"n1,n2": ("n1", "n2"), "1,2": ("1", 2)}
    with pytest.raises(TypeError):
        second["x"] = (0, 0)  # type: ignore[index]
    view = infr.subgraph(["n1", "n2", 1])
    infr.add_edge("n2", 1)
    assert dict(edge_ends(view)) == {"n1,n2": ("n1", "n2"), "n2,1": ("n2", 1)}


def test_importing_the_package_leaves_networkx_out():
    code = "import sys, sorvane_core; print('networkx' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"
