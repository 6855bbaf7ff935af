import pickle
import subprocess
import sys

import pytest

from sorvane_core.graph import Application, Infrastructure
from sorvane_core.placement import Placement, PlacementView
from sorvane_core.utils.types import CallbackType
from sorvane_core.workflow.events import SorvaneEvent


def make_app() -> Application:
    app = Application("shop")
    app.add_service("web", cpu=1)
    app.add_interaction("web", "db", latency=5)
    return app


def make_infra() -> Infrastructure:
    infr = Infrastructure("dc", region="eu")
    infr.add_edge("n1", "n2", bw=10)
    return infr


def test_light_imports_and_picklable_event():
    code = "import sys, sorvane_core.simulation, sorvane_core.graph; print('ray' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"
    ev = pickle.loads(pickle.dumps(SorvaneEvent("tick", data={"tick": 3})))
    assert (ev.name, ev.simulator, ev.data) == ("tick", None, {"tick": 3})


@pytest.mark.parametrize("member", list(CallbackType))
def test_callback_type_is_interchangeable_with_its_string(member):
    assert member == member.name.lower() and hash(member) == hash(member.name.lower())


@pytest.mark.parametrize(
    "derive",
    [
        lambda g: g.copy(),
        lambda g: g.subgraph(list(g.nodes)[:1]),
        lambda g: pickle.loads(pickle.dumps(g)),
        lambda g: type(g)(g.id, g),
    ],
    ids=["copy", "subgraph", "pickle", "from-graph"],
)
@pytest.mark.parametrize("make", [make_app, make_infra])
def test_graphs_keep_id_and_data_when_derived(make, derive):
    g = make()
    d = derive(g)
    assert type(d) is type(g) and d.id == g.id
    assert all(data == g.nodes[node] for node, data in d.nodes(data=True))
    if isinstance(g, Application):
        assert set(d.services) == set(d.nodes)


def test_application_services_follow_the_graph():
    app = make_app()
    assert list(app.services) == ["web", "db"] and app.services["web"].requirements == {"cpu": 1}
    assert list(app.edges(data=True)) == [("web", "db", {"latency": 5})]
    app.services["web"].deployed = True
    assert app.add_service("web", mem=2) is app.services["web"] and app.services["web"].deployed
    assert app.nodes["web"] == {"cpu": 1, "mem": 2}
    app.copy().services["web"].deployed = False  # a copy owns its state
    assert app.services["web"].deployed


@pytest.mark.parametrize("mapping", [{"cache": "n1"}, {"web": "n9"}])
def test_placement_rejects_unknown_services_and_nodes(mapping):
    with pytest.raises(ValueError):
        Placement(make_app(), make_infra(), mapping)


def test_placement_and_read_only_view():
    pl = Placement(make_app(), make_infra(), {"web": "n1"})
    assert pickle.loads(pickle.dumps(pl)).service_placement("web") == "n1"
    with pytest.raises(KeyError):
        pl.service_placement("db")
    view = PlacementView.of([pl], 4)
    pl.mapping["web"] = "n2"
    assert view.tick == 4 and view.mapping == {"shop": {"web": "n1"}}
    with pytest.raises(TypeError):
        view.mapping["shop"]["web"] = "n2"
    assert pickle.loads(pickle.dumps(view)) == view
