"""The emulating simulator on a real local Ray: stepping, migration, teardown."""

import itertools
import sys
from contextlib import closing

import pytest
import ray

from sorvane_core.graph import Application, Infrastructure
from sorvane_core.placement import Placement
from sorvane_core.remote._node import actor_name
from sorvane_core.remote.service import Service
from sorvane_core.remote.utils import RemoteOps
from sorvane_core.simulation import MigrationError, Simulator
from sorvane_core.workflow.callbacks.callback import SorvaneCallback

ray.cloudpickle.register_pickle_by_value(sys.modules[__name__])

pytestmark = pytest.mark.usefixtures("ray_session")

INFRA_IDS = (f"emu-{n}" for n in itertools.count())


class WhereAmI(SorvaneCallback):
    """Remote service callback: the actor that runs each service, and its state there."""

    def __init__(self):
        super().__init__("where", "service", remote=True)

    def __call__(self, service_id, service, **event_data):
        name = ray.get_runtime_context().get_actor_name()
        return name.rsplit("/", 1)[1], service.running, service.requirements.get("hits", 0)


class Hits(SorvaneCallback):
    """Remote service callback that leaves a mark in the service's state on its node."""

    def __init__(self):
        super().__init__("hits", "service", remote=True)

    def __call__(self, service_id, service, **event_data):
        service.requirements["hits"] = service.requirements.get("hits", 0) + 1


def make_world():
    infr = Infrastructure(next(INFRA_IDS))
    infr.add_nodes_from(["a", "b", "c"])
    web = Application("web")
    web.add_service("front")
    web.add_node("api")  # networkx's own way works as add_service does
    web.add_edge("front", "api")
    return infr, Placement(web, infr, {"front": "a", "api": "b"})


def held_by_nodes(infr):
    """{node: [service ids]} as the node actors hold them."""
    out = {}
    for node in infr.nodes:
        handle = ray.get_actor(actor_name(infr.id, node))
        out[node] = sorted(ray.get(handle.services.remote()))
    return out


def assert_torn_down(infr):
    for node in infr.nodes:
        with pytest.raises(ValueError):
            ray.get_actor(actor_name(infr.id, node))


def test_stepping_with_a_migration_carries_the_service_state():
    infr, pl = make_world()
    sim = Simulator(infr, [pl], [Hits(), WhereAmI()], mode="emulation")
    steps = sim.iter(3)
    first = next(steps)
    assert first["data"]["where"] == {"web": {"front": ("a", True, 1), "api": ("b", True, 1)}}
    assert held_by_nodes(infr) == {"a": ["front"], "b": ["api"], "c": []}
    sim.migrate("web", "api", "c")
    assert held_by_nodes(infr) == {"a": ["front"], "b": [], "c": ["api"]}
    assert pl.mapping == {"front": "a", "api": "c"}
    second = next(steps)
    # Moved with its state: the mark left on b came along to c.
    assert second["data"]["where"] == {"web": {"front": ("a", True, 2), "api": ("c", True, 2)}}
    assert sim.placement_view.mapping["web"]["api"] == "c"
    assert [r["event"] for r in steps] == ["tick", "end"]
    assert_torn_down(infr)
    assert pl._deployed is False and not pl.application.services["api"].running
    assert [(m.tick, m.service, m.source, m.target, m.reason) for m in sim.migrations] == [
        (1, "api", "b", "c", "migrate")]


def test_a_failed_migration_leaves_the_service_running_where_it_was():
    infr, pl = make_world()
    sim = Simulator(infr, [pl], [WhereAmI()], mode="emulation")
    with closing(sim.iter(3)) as steps:
        next(steps)
        # Something else already holds a service "api" on c: the deploy there is refused.
        stray = ray.get_actor(actor_name(infr.id, "c"))
        ray.get(stray.ops_entrypoint.remote(RemoteOps.DEPLOY, "api",
                                            Service("api", requirements={"x": 1})))
        with pytest.raises(MigrationError, match="service 'api' of application 'web' from node 'b' "
                                                 "to node 'c'") as failed:
            sim.migrate("web", "api", "c")
        assert (failed.value.application, failed.value.source,
                failed.value.target) == ("web", "b", "c")
        assert isinstance(failed.value.__cause__, ValueError)
        assert pl.mapping["api"] == "b"
        assert next(steps)["data"]["where"]["web"]["api"] == ("b", True, 0)
        ray.get(stray.ops_entrypoint.remote(RemoteOps.UNDEPLOY, "api"))
    assert_torn_down(infr)


def test_mapping_changes_between_steps_are_applied_as_migrations():
    infr, pl = make_world()
    sim = Simulator(infr, [pl], [WhereAmI()], mode="emulation")
    steps = sim.iter(2)
    next(steps)
    pl.mapping["front"] = "c"
    assert next(steps)["data"]["where"]["web"]["front"] == ("c", True, 0)
    list(steps)
    assert_torn_down(infr)
    assert [(m.tick, m.service, m.source, m.target, m.reason) for m in sim.migrations] == [
        (1, "front", "a", "c", "mapping")]


def test_a_change_that_cannot_be_applied_ends_the_run_and_tears_down():
    infr, pl = make_world()
    sim = Simulator(infr, [pl], [WhereAmI()], mode="emulation")
    steps = sim.iter(3)
    next(steps)
    del pl.mapping["api"]
    with pytest.raises(ValueError, match="services placed for application 'web' changed"):
        next(steps)
    assert_torn_down(infr)
    pl.mapping["api"] = "b"
    assert [r["event"] for r in sim.run(1)] == ["tick", "end"]  # and the next run starts cleanly


def test_closing_early_tears_down_and_mapping_changes_between_runs_work():
    infr, pl = make_world()
    sim = Simulator(infr, [pl], [WhereAmI()], mode="emulation")
    with closing(sim.iter(5)) as steps:
        next(steps)
    assert_torn_down(infr)
    pl.mapping = {"front": "b", "api": "a"}
    history = sim.run(1)
    assert history[0]["data"]["where"] == {"web": {"front": ("b", True, 0), "api": ("a", True, 0)}}


class Interrupt(SorvaneCallback):
    def __call__(self, event):
        if event.data["tick"] == 1:
            raise KeyboardInterrupt


def test_an_interrupted_run_still_tears_down():
    infr, pl = make_world()
    sim = Simulator(infr, [pl], [Interrupt("ctrl-c", "simulation")], mode="emulation")
    with pytest.raises(KeyboardInterrupt):
        sim.run(5)
    assert sim.tick == 1 and pl._deployed is False
    assert_torn_down(infr)


@pytest.mark.parametrize("step", ["stop", "undeploy", "deploy", "start"])
def test_ctrl_c_during_a_migration_puts_the_service_back_and_is_raised_as_itself(step):
    infr, pl = make_world()
    sim = Simulator(infr, [pl], [WhereAmI()], mode="emulation")
    with closing(sim.iter(3)) as steps:
        next(steps)
        rovel = sim._emulation._rovel

        class Interrupted:  # Ctrl-C, once, as the operation of `step` returns
            pressed = False

            def __getattr__(self, name):
                operation = getattr(rovel, name)
                if name != step or self.pressed:
                    return operation

                def interrupted(ops):
                    operation(ops)
                    self.pressed = True
                    raise KeyboardInterrupt
                return interrupted
        sim._emulation._rovel = Interrupted()
        with pytest.raises(KeyboardInterrupt):
            sim.migrate("web", "api", "c")
        sim._emulation._rovel = rovel
        assert pl.mapping["api"] == "b"
        assert held_by_nodes(infr) == {"a": ["front"], "b": ["api"], "c": []}
        assert next(steps)["data"]["where"]["web"]["api"] == ("b", True, 0)
    assert_torn_down(infr)
