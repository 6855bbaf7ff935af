"""Failures around Ray: stuck calls, interrupts, timeouts and lost actors never hang a run
or leave actors behind, and the next run works."""

import itertools
import os
import signal
import sys
import threading
import time

import pytest
import ray

from sorvane_core.graph import Application, Infrastructure
from sorvane_core.placement import Placement
from sorvane_core.remote._node import actor_name
from sorvane_core.remote.service import Service
from sorvane_core.remote.utils import RemoteOps, ray_get, set_remote_timeout
from sorvane_core.simulation import Simulator
from sorvane_core.simulation._simulator.rovel import RemoteSimRovel
from sorvane_core.workflow.callbacks.callback import SorvaneCallback

ray.cloudpickle.register_pickle_by_value(sys.modules[__name__])

pytestmark = pytest.mark.usefixtures("ray_session")

INFRA_IDS = (f"rel-{n}" for n in itertools.count())


class NodeName(SorvaneCallback):
    """Remote node callback; on node b it hangs, or takes its actor down."""

    def __init__(self, on_b=None):
        super().__init__("node", "node", remote=True)
        self.on_b = on_b

    def __call__(self, node, attributes, **event_data):
        if node == "b" and self.on_b == "hang":
            time.sleep(3600)
        if node == "b" and self.on_b == "die":
            os._exit(1)
        return node


class AtFirstTick(SorvaneCallback):
    """Runs `action` once, at the first tick, before the remote callback."""

    def __init__(self, action):
        super().__init__("first", "simulation")
        self.action = action

    def __call__(self, event):
        if event.data["tick"] == 0:
            self.action()


def world():
    infr = Infrastructure(next(INFRA_IDS))
    infr.add_nodes_from(["a", "b"])
    app = Application("web")
    app.add_service("front")
    app.add_service("api")
    return infr, Placement(app, infr, {"front": "a", "api": "b"})


def assert_no_actor_left(infr):
    for node in infr.nodes:
        with pytest.raises(ValueError):
            ray.get_actor(actor_name(infr.id, node))


def assert_next_run_works(infr, pl):
    records = Simulator(infr, [pl], [NodeName()], mode="emulation").run(1)
    assert records[0]["data"]["node"] == {"a": "a", "b": "b"}
    assert_no_actor_left(infr)


def interrupt_after(*delays):
    def send():
        for delay in delays:
            time.sleep(delay)
            os.kill(os.getpid(), signal.SIGINT)
    return lambda: threading.Thread(target=send, daemon=True).start()


@pytest.mark.parametrize("delays", [(0.5,), (0.5, 0.05)], ids=["ctrl-c", "ctrl-c-twice"])
def test_an_interrupted_stuck_run_kills_its_actors_and_the_next_run_works(delays):
    infr, pl = world()
    sim = Simulator(infr, [pl], [AtFirstTick(interrupt_after(*delays)), NodeName("hang")],
                    mode="emulation")
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        sim.run(3)
    assert time.monotonic() - started < 30
    assert_no_actor_left(infr)
    assert pl._deployed is False
    assert_next_run_works(infr, pl)


def test_a_stuck_run_times_out_naming_the_actor():
    infr, pl = world()
    sim = Simulator(infr, [pl], [NodeName("hang")], mode="emulation", remote_timeout=3.0)
    # Under load the healthy actor may be late too: only b must be named.
    with pytest.raises(TimeoutError, match=r"[12] of 2 remote calls still running after 3.0 s, "
                                           rf"on .*'{infr.id}/b'"):
        sim.run(3)
    assert_no_actor_left(infr)
    assert_next_run_works(infr, pl)


def test_an_operation_on_a_stuck_actor_times_out():
    infr, pl = world()
    sim = Simulator(infr, [pl], [], mode="emulation")
    steps = sim.iter(3)
    next(steps)
    handles = sim._emulation.actors
    # After this call the actor is busy for good.
    handles["b"].entrypoint.remote(None, NodeName("hang").__call__)
    saved = set_remote_timeout(1.0)
    try:
        with pytest.raises(TimeoutError, match=f"on '{infr.id}/b'"):
            RemoteSimRovel.stop(pl)
    finally:
        set_remote_timeout(saved)
    steps.close()
    assert_no_actor_left(infr)


def kill_b_at_operation(monkeypatch, which):
    """The which-th operation kills node b's actor once it has the actors' handles."""
    looks = itertools.count(1)
    original = RemoteSimRovel._get_remotes

    def get_remotes(placement):
        work = original(placement)
        if next(looks) == which:
            ray.kill(ray.get_actor(actor_name(placement.infrastructure.id, "b")))
        return work

    monkeypatch.setattr(RemoteSimRovel, "_get_remotes", staticmethod(get_remotes))


@pytest.mark.parametrize("where", ["deploy", "start", "collector"])
def test_an_actor_lost_mid_run_ends_the_run_cleanly(monkeypatch, where):
    infr, pl = world()
    if where != "collector":
        kill_b_at_operation(monkeypatch, 1 if where == "deploy" else 2)
    sim = Simulator(infr, [pl], [NodeName("die" if where == "collector" else None)],
                    mode="emulation")
    # Whether Ray has released a dead actor's name by the next lookup is a race: the run
    # ends with the actor's error, or with the failed lookup that names it.
    with pytest.raises((ray.exceptions.RayActorError, ValueError)) as ended:
        sim.run(2)
    if ended.type is ValueError:
        assert f"'{actor_name(infr.id, 'b')}'" in str(ended.value)
    monkeypatch.undo()
    assert_no_actor_left(infr)
    assert_next_run_works(infr, pl)


def test_ray_get_waits_for_every_call_before_raising():
    @ray.remote
    def fail(delay):
        time.sleep(delay)
        raise RuntimeError(f"failed after {delay}")

    @ray.remote
    def slow():
        time.sleep(1.0)
        return "done"

    refs = [fail.remote(0), slow.remote(), fail.remote(0.2)]
    started = time.monotonic()
    with pytest.raises(Exception, match="failed after 0") as err:
        ray_get(refs)
    assert time.monotonic() - started >= 1.0  # the slow one ended first
    assert any("failed after 0.2" in note for note in err.value.__notes__)


def deployed_state(handles):
    states = ray.get([h.services.remote() for h in handles.values()])
    return {node: {sid: s.running for sid, s in state.items()}
            for node, state in zip(handles, states)}


def test_partial_failures_keep_what_happened_and_retries_converge():
    infr, pl = world()
    pl.application.add_service("cache", size=3)
    pl.mapping["cache"] = "a"
    sim = Simulator(infr, [], [], mode="emulation")  # actors only: the operations are made here
    steps = sim.iter(5)
    next(steps)
    handles = sim._emulation.actors
    stray = Service("api", requirements={"someone": "else"})
    ray.get(handles["b"].ops_entrypoint.remote(RemoteOps.DEPLOY, "api", stray))
    with pytest.raises(ValueError, match="^Error in the operation") as err:
        RemoteSimRovel.deploy(pl)
    assert err.value.failed == {"b": ["api"]} and pl._deployed is False
    ray.get(handles["b"].ops_entrypoint.remote(RemoteOps.UNDEPLOY, "api"))  # the cause goes away
    RemoteSimRovel.deploy(pl)  # and the retry completes the deploy
    RemoteSimRovel.start(pl)
    assert pl._deployed is True
    assert deployed_state(handles) == {"a": {"front": True, "cache": True}, "b": {"api": True}}

    ray.get(handles["a"].ops_entrypoint.remote(RemoteOps.STOP, "front"))
    ray.get(handles["a"].ops_entrypoint.remote(RemoteOps.STOP, "cache"))
    ray.get(handles["a"].entrypoint.remote(
        "cache", lambda s, service: service.requirements.update(seen=1)))
    with pytest.raises(ValueError, match="^Error in the operation") as err:
        RemoteSimRovel.undeploy(pl)  # api still runs
    assert err.value.failed == {"b": ["api"]} and pl._deployed is True
    # What left the nodes is kept: the last state of cache came back.
    assert pl.application.services["cache"].requirements == {"size": 3, "seen": 1}
    RemoteSimRovel.stop(pl)
    RemoteSimRovel.undeploy(pl)
    assert pl._deployed is False and deployed_state(handles) == {"a": {}, "b": {}}
    assert pl.application.services["cache"].requirements == {"size": 3, "seen": 1}
    steps.close()
