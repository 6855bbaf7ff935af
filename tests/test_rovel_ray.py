"""RemoteSimRovel and the emulating Simulator end to end on a real local Ray."""

import itertools
import re

import pytest
import ray

from sorvane_core.graph import Application, Infrastructure
from sorvane_core.placement import Placement
from sorvane_core.remote._node import actor_name, start_node_actors, stop_node_actors
from sorvane_core.remote.service import Service
from sorvane_core.simulation import Simulator
from sorvane_core.simulation._simulator.rovel import RemoteSimRovel

pytestmark = pytest.mark.usefixtures("ray_session")

INFRA_IDS = (f"rovel-{n}" for n in itertools.count())
MAPPING = {"web": "n1", "api": "n2", "db": "n3", "cache": "n1"}


def make_env(infra_id, mapping=MAPPING, nodes=("n1", "n2", "n3")):
    infr = Infrastructure(infra_id)
    infr.add_nodes_from(nodes)
    app = Application("shop")
    for sid in mapping:
        app.add_service(sid, cpu=1)
    return infr, Placement(app, infr, mapping)


@pytest.fixture
def env():
    infr, pl = make_env(next(INFRA_IDS))
    handles = start_node_actors(infr)  # held: Ray ends an actor with its last handle
    yield handles, pl
    stop_node_actors(infr)


def on_nodes(handles):
    """{node: {service id: (deployed, running)}} as the actors hold them."""
    states = ray.get([h.services.remote() for h in handles.values()])
    return {n: {sid: (s.deployed, s.running) for sid, s in state.items()}
            for n, state in zip(handles, states)}


def expected(deployed, running):
    by_node = {"n1": {}, "n2": {}, "n3": {}}
    if deployed:
        for sid, node in MAPPING.items():
            by_node[node][sid] = (True, running)
    return by_node


def test_full_life_cycle(env):
    handles, pl = env
    originals = dict(pl.application.services)
    RemoteSimRovel.deploy(pl)
    assert pl._deployed is True and on_nodes(handles) == expected(True, False)
    RemoteSimRovel().start(pl)
    assert on_nodes(handles) == expected(True, True)
    RemoteSimRovel.stop(placement=pl)
    assert on_nodes(handles) == expected(True, False)
    RemoteSimRovel.undeploy(pl)
    assert pl._deployed is False and on_nodes(handles) == expected(False, False)
    # The services came back from the nodes, in the application's order.
    services = pl.application.services
    assert list(services) == list(MAPPING)
    assert all(services[s] is not originals[s] for s in services)
    assert services["db"] == Service("db", False, False, {"cpu": 1})


def test_refused_operation_changes_nothing(env):
    handles, pl = env
    pl._deployed = "before"
    originals = dict(pl.application.services)
    with pytest.raises(ValueError, match=r"^Error in the operation: .*ResponseCode.ERROR") as err:
        RemoteSimRovel.start(pl)  # nothing deployed to start
    assert err.value.failed == {"n1": ["web", "cache"], "n2": ["api"], "n3": ["db"]}
    assert pl._deployed == "before"
    assert all(pl.application.services[s] is originals[s] for s in MAPPING)
    assert on_nodes(handles) == expected(False, False)


def test_undeploying_what_is_not_deployed_is_done(env):
    handles, pl = env
    originals = dict(pl.application.services)
    RemoteSimRovel.undeploy(pl)
    assert pl._deployed is False and on_nodes(handles) == expected(False, False)
    assert all(pl.application.services[s] is originals[s] for s in MAPPING)


def test_unknown_actor_fails_before_any_submission(env):
    handles, pl = env
    # Same infrastructure id, one node more than there are actors for.
    infr, ghost = make_env(pl.infrastructure.id, {"web": "n1", "api": "n9"},
                           ("n1", "n2", "n3", "n9"))
    with pytest.raises(ValueError, match=re.escape(repr(actor_name(infr.id, "n9")))):
        RemoteSimRovel.deploy(ghost)
    assert ghost._deployed is False and on_nodes(handles) == expected(False, False)


def test_application_without_services(env):
    _, pl = env
    empty = Placement(Application("empty"), pl.infrastructure)
    RemoteSimRovel.deploy(empty)
    assert empty._deployed is True
    RemoteSimRovel.undeploy(empty)
    assert empty._deployed is False and empty.application.services == {}


class Probe:
    """Pure-Python callback that records what the node actors hold at each tick."""

    name, activates_on, activated_by, data = "probe", ["tick"], None, None

    def __init__(self, infr):
        self.infr, self.seen = infr, []

    def _call(self, trigger):
        handles = {n: ray.get_actor(actor_name(self.infr.id, n)) for n in self.infr.nodes}
        self.seen.append(on_nodes(handles))
        self.activated_by, self.data = trigger, len(self.seen)

    def _triggered_events(self):
        return []


def test_simulator_emulation_deploys_for_the_run():
    infr, pl = make_env("sim-e2e")
    probe = Probe(infr)
    history = Simulator(infr, [pl], [probe], mode="emulation").run(2)
    assert [h["event"] for h in history] == ["tick", "tick", "end"]
    assert probe.seen == [expected(True, True)] * 2
    assert pl._deployed is False
    assert all(not s.deployed and not s.running for s in pl.application.services.values())
    for node in infr.nodes:  # the actors are gone and their names free
        with pytest.raises(ValueError):
            ray.get_actor(actor_name(infr.id, node))
