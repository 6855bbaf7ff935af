"""The remote collectors, with stand-ins for Ray and then on real node actors."""

import collections
import sys
import time
import types

import pytest
import ray

from sorvane_core.graph import Application, Infrastructure
from sorvane_core.placement import Placement, PlacementView
from sorvane_core.remote._node import start_node_actors
from sorvane_core.remote.utils import RemoteOps, ResponseCode
from sorvane_core.simulation import Simulator
from sorvane_core.workflow.callbacks import callback as m
from sorvane_core.workflow.callbacks.callback import SorvaneCallback
from sorvane_core.workflow.events import SorvaneEvent

ray.cloudpickle.register_pickle_by_value(sys.modules[__name__])


class FakeRay:
    ("ray.get_actor and entrypoint.remote, recorded; ray_get answers in order and keeps its "
     "list.")

    def __init__(self, surplus=0, missing=0, kind=list):
        self.lookups, self.submitted, self.kind, self.surplus, self.missing = (
            [], [], kind, surplus, missing)

    def get_actor(self, name):
        self.lookups.append(name)
        if name.endswith("/ghost"):
            raise ValueError(f"Failed to look up actor with name '{name}'")
        submit = lambda first, fn, **kw: (  # noqa
            self.submitted.append((name, first, fn, kw)) or (name, first))
        return types.SimpleNamespace(entrypoint=types.SimpleNamespace(remote=submit))

    def ray_get(self, refs):
        refs = list(refs)[:len(refs) - self.missing] + [("extra", i) for i in range(self.surplus)]
        self.answers = self.kind(refs)
        return self.answers


class Pops(list):
    def pop(self, index=-1):
        self.pops = getattr(self, "pops", 0) + 1
        return super().pop(index)


@pytest.fixture
def fake(monkeypatch):
    def install(**kwargs):
        fr = FakeRay(**kwargs)
        monkeypatch.setattr(m, "ray", fr)
        monkeypatch.setattr(m, "ray_get", fr.ray_get)
        return fr
    return install


def pl(app_id, services, mapping):
    return types.SimpleNamespace(application=types.SimpleNamespace(id=app_id, nodes=services),
                                 mapping=mapping)


INFR = types.SimpleNamespace(id=7, nodes=["n1", "n2", 3])
PLACEMENTS = {"x": pl("x", "abc", {"a": "n1", "b": 3, "c": "n1"}), "idle": pl("idle", "z", {}),
              "y": pl("y", [10, "d"], {10: "n2", "d": 3})}


@pytest.mark.parametrize("kind", [list, Pops])
def test_remote_collectors_submit_and_pair_answers(fake, kind):
    fr = fake(kind=kind)
    for _ in range(2):  # the actor cache of the service collector lives for one call
        fr.lookups.clear()
        assert m._remote_service_fn(len, PLACEMENTS, INFR, tick=1, extra=None) == {
            "x": {"a": ("7/n1", "a"), "b": ("7/3", "b"), "c": ("7/n1", "c")},
            "y": {10: ("7/n2", 10), "d": ("7/3", "d")}}
        assert fr.lookups == ["7/n1", "7/3", "7/n2"]
    assert fr.answers == [] and getattr(fr.answers, "pops", 5) == 5
    assert all(f is len and kw == {"tick": 1, "extra": None} for _, _, f, kw in fr.submitted)
    fr.lookups.clear(), fr.submitted.clear()
    for _ in range(2):  # no cache for nodes
        assert m._remote_node_fn(len, INFR, t=0) == {"n1": ("7/n1", None), "n2": ("7/n2", None),
                                                     3: ("7/3", None)}
    assert fr.lookups == ["7/n1", "7/n2", "7/3"] * 2 and getattr(fr.answers, "pops", 3) == 3
    assert [s[2:] for s in fr.submitted] == [(len, {"t": 0})] * 6


@pytest.mark.parametrize("name, args", [("_remote_service_fn", (PLACEMENTS, INFR)),
                                         ("_remote_node_fn", (INFR,))])
@pytest.mark.parametrize("surplus, missing, kind", [(2, 0, list), (0, 1, list), (0, 3, list),
                                                    (1, 0, Pops), (0, 2, Pops)])
def test_answers_are_consumed_from_the_front(fake, name, args, surplus, missing, kind):
    fr = fake(surplus=surplus, missing=missing, kind=kind)
    if missing:
        with pytest.raises(IndexError, match="^pop from empty list$"):
            getattr(m, name)(len, *args)
    else:
        getattr(m, name)(len, *args)
    assert fr.answers == [("extra", i) for i in range(surplus)]


def test_errors_propagate_and_stop_submission(fake, monkeypatch):
    fr = fake()
    with pytest.raises(ValueError, match="7/ghost"):
        m._remote_node_fn(len, types.SimpleNamespace(id=7, nodes=["n1", "ghost", "n2"]))
    with pytest.raises(KeyError, match="'b'"):
        m._remote_service_fn(len, {"x": pl("x", "abc", {"a": "n1", "c": "n2"})}, INFR)
    assert [s[1] for s in fr.submitted] == [None, "a"]
    monkeypatch.setattr(m, "ray_get", lambda refs: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        m._remote_service_fn(len, PLACEMENTS, INFR)


def test_globals_are_looked_up_at_each_use(fake, monkeypatch):
    first, second, factories = fake(), FakeRay(), []
    monkeypatch.setattr(m, "defaultdict", lambda factory: (factories.append(factory)
                                                           or collections.defaultdict(factory)))
    m._remote_service_fn(len, PLACEMENTS, INFR)
    monkeypatch.setattr(m, "ray", second)
    m._remote_service_fn(len, PLACEMENTS, INFR)
    assert len(first.lookups) == len(second.lookups) == 3 and len(factories) == 2
    assert factories[0] is not factories[1] and factories[1]() is None


# --- on real node actors ------------------------------------------------------------------------

class ServiceProbe(SorvaneCallback):
    def __call__(self, service_id, service, **event):
        service.requirements["seen"] = service.requirements.get("seen", 0) + 1
        return service_id, service.running, service.requirements["seen"], event["tick"]


class NodeProbe(SorvaneCallback):
    def __call__(self, node, attributes, **event):
        return node, attributes["cpu"], event["tick"]


@pytest.fixture
def deployed(ray_session):
    infr = Infrastructure("cbtest-dc")
    for i, cpu in enumerate([4, 2, 1], 1):
        infr.add_node(f"n{i}", cpu=cpu)
    infr.add_edge("n1", "n2")
    shop, blog = Application("shop"), Application("blog")
    for sid in ["web", "api", "db"]:
        shop.add_service(sid)
    blog.add_service("page")
    placements = {"shop": Placement(shop, infr, {"web": "n1", "api": "n3", "db": "n1"}),
                  "blog": Placement(blog, infr, {})}
    handles = start_node_actors(infr)  # kept alive for the test
    ops = []
    for sid, node in placements["shop"].mapping.items():
        ops += [handles[node].ops_entrypoint.remote(RemoteOps.DEPLOY, sid, shop.services[sid])]
        ops += [handles[node].ops_entrypoint.remote(RemoteOps.START, sid)] if sid != "db" else []
    assert ray.get(ops) == [ResponseCode.OK] * 5
    sim = types.SimpleNamespace(infrastructure=infr, placements=placements,
                                placement_view=PlacementView.of(placements, 0))
    yield sim, handles
    for handle in handles.values():
        ray.kill(handle)


def test_remote_callbacks_on_real_actors(deployed):
    sim, handles = deployed
    services = ServiceProbe("services", "service", remote=True, activates_every_n={"tick": 2})
    nodes = NodeProbe("nodes", "node", remote=True)
    for tick in range(4):
        event = SorvaneEvent("tick", sim, {"tick": tick})
        services._call(event)
        nodes._call(event)
        assert nodes.data == {"n1": ("n1", 4, tick), "n2": ("n2", 2, tick), "n3": ("n3", 1, tick)}
        last = tick - tick % 2  # active every second tick; the actors keep their own state
        assert services.data == {"shop": {"web": ("web", True, last // 2 + 1, last),
                                          "api": ("api", True, last // 2 + 1, last),
                                          "db": ("db", False, last // 2 + 1, last)}}
    assert services.n_calls == nodes.n_calls == {"tick": 4}


def test_remote_failures_on_real_actors(deployed):
    sim, handles = deployed
    ray.get(handles["n3"].ops_entrypoint.remote(RemoteOps.STOP, "api"))
    ray.get(handles["n3"].ops_entrypoint.remote(RemoteOps.UNDEPLOY, "api"))
    services = ServiceProbe("services", "service", remote=True)
    with pytest.raises(KeyError, match="not deployed"):
        services._call(SorvaneEvent("tick", sim, {"tick": 0}))
    sim.infrastructure.add_node("n4", cpu=1)  # no actor for it
    with pytest.raises(ValueError):
        NodeProbe("nodes", "node", remote=True)._call(SorvaneEvent("tick", sim, {"tick": 0}))
    assert services.n_calls == {"tick": 0} and services.data is None


class SlowFirstNodeProbe(SorvaneCallback):
    """Answers later the more CPU a node has: n1 last, n3 first."""

    def __call__(self, node, attributes, **event):
        time.sleep(0.1 * attributes["cpu"])
        return node


def test_answers_pair_by_position_not_arrival(deployed):
    sim, _ = deployed
    probe = SlowFirstNodeProbe("slow", "node", remote=True)
    probe._call(SorvaneEvent("tick", sim, {}))
    assert probe.data == {"n1": "n1", "n2": "n2", "n3": "n3"}
    assert list(probe.data) == list(sim.infrastructure.nodes)


@pytest.mark.parametrize("placed", [False, True])
def test_emulated_run(ray_session, placed):
    infr = Infrastructure(f"cbtest-emu-{placed}")
    infr.add_nodes_from([("n1", {"cpu": 4}), ("n2", {"cpu": 2}), ("n3", {"cpu": 1})])
    shop, blog = Application("shop"), Application("blog")
    shop.add_interaction("web", "db")
    blog.add_service("page")
    placements = [Placement(shop, infr, {"web": "n1", "db": "n3"} if placed else {}),
                  Placement(blog, infr, {})]
    cbs = [NodeProbe("nodes", "node", remote=True),
           ServiceProbe("services", "service", remote=True)]
    history = Simulator(infr, placements, cbs, mode="emulation").run(3)
    for tick, record in enumerate(history[:3]):
        assert record["data"]["nodes"] == {"n1": ("n1", 4, tick), "n2": ("n2", 2, tick),
                                           "n3": ("n3", 1, tick)}
        expected = {"web": ("web", True, tick + 1, tick), "db": ("db", True, tick + 1, tick)}
        assert record["data"]["services"] == ({"shop": expected} if placed else {})
