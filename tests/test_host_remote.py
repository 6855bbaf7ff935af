import sys
import time

import pytest
import ray

from sorvane_core.graph import Infrastructure
from sorvane_core.remote._node import RemoteNode, actor_name, start_node_actors, stop_node_actors
from sorvane_core.remote.service import Service
from sorvane_core.remote.utils import RemoteOps, ResponseCode, ray_get

# Ray workers cannot import this test module, so ship its functions by value.
ray.cloudpickle.register_pickle_by_value(sys.modules[__name__])

OK, ERR = ResponseCode.OK, ResponseCode.ERROR
D, S, T, U = RemoteOps.DEPLOY, RemoteOps.START, RemoteOps.STOP, RemoteOps.UNDEPLOY

pytestmark = pytest.mark.usefixtures("ray_session")


def describe_service(service_id, service, **event):
    service.requirements["seen"] = event  # lands in the actor's own state
    return service_id, service.running, event


def describe_node(name, attributes, **event):
    return name, attributes, event


@pytest.fixture
def node():
    handle = RemoteNode.options(num_cpus=0).remote("n1", {"cpu": 4})
    yield handle
    ray.kill(handle)


OTHER = Service("s", requirements={"cpu": 9})  # another service under the same id


@pytest.mark.parametrize(
    "steps",
    [
        [(D, OK), (S, OK), (T, OK), (U, (OK, Service("s")))],
        # Repeating an operation that is done is done: retries after a partial failure converge.
        [(D, OK), (D, OK), (S, OK), (S, OK), (U, (ERR, None)), (T, OK), (T, OK),
         (U, (OK, Service("s"))), (U, (OK, None))],
        [(S, ERR), (T, OK), (U, (OK, None)), (D, OK), (U, (OK, Service("s")))],
        [(D, OK), ((D, OTHER), ERR), (S, OK), (T, OK), (U, (OK, Service("s")))],
    ],
    ids=["lifecycle", "repeated", "unknown", "same-id-other-service"],
)
def test_ops_reach_the_service_state_asked(node, steps):
    for op, expected in steps:
        op, service = op if isinstance(op, tuple) else (op, Service("s"))
        assert ray.get(node.ops_entrypoint.remote(op, "s", service)) == expected, op


@pytest.mark.parametrize(
    "op, service_id, service, expected",
    [
        (D, "s", None, ERR),
        ("deploy", "s", Service("s"), ERR),
        (None, "s", None, ERR),
        (D, ["unhashable"], Service("s"), ERR),
        (D, "s", "not a service", ERR),
        (U, ["unhashable"], None, (ERR, None)),
    ],
)
def test_ops_answer_error_instead_of_raising(node, op, service_id, service, expected):
    assert ray.get(node.ops_entrypoint.remote(op, service_id, service)) == expected
    assert ray.get(node.services.remote()) == {}


def test_entrypoint_runs_on_service_or_node(node):
    given = Service("s", running=True, requirements={"cpu": 1})
    ray.get(node.ops_entrypoint.remote(D, "s", given))
    assert ray.get(node.services.remote()) == {"s": Service("s", True, False, {"cpu": 1})}
    ray.get(node.ops_entrypoint.remote(S, "s"))
    found = ray.get(node.entrypoint.remote("s", describe_service, tick=3))
    assert found == ("s", True, {"tick": 3})
    assert ray.get(node.services.remote())["s"].requirements == {"cpu": 1, "seen": {"tick": 3}}
    # Event data may use the names of the entrypoint's own parameters.
    found = ray.get(node.entrypoint.remote(None, describe_node, fn=1))
    assert found == ("n1", {"cpu": 4}, {"fn": 1})
    with pytest.raises(KeyError):
        ray.get(node.entrypoint.remote("missing", describe_service))


@pytest.mark.parametrize("infra_id, expected", [(7, "7/gw"), ("dc", "dc/gw")])
def test_node_actors_start_stop_and_restart(infra_id, expected):
    infr = Infrastructure(infra_id)
    infr.add_node("gw", cpu=2)
    infr.add_edge("gw", "edge")
    for _ in range(2):  # the names must be free again right after a stop
        handles = start_node_actors(infr)
        assert actor_name(infra_id, "gw") == expected
        assert ray.get(ray.get_actor(expected).attributes.remote()) == {"cpu": 2}
        assert ray.get(handles["edge"].name.remote()) == "edge"
        stop_node_actors(infr)
        with pytest.raises(ValueError):
            ray.get_actor(expected)
    stop_node_actors(infr)  # nothing left to stop


def test_failed_start_removes_only_its_own_actors():
    infr = Infrastructure("busy")
    infr.add_nodes_from(["a", "b"])
    foreign = RemoteNode.options(name="busy/b", num_cpus=0).remote("other", {})
    with pytest.raises(ValueError):
        start_node_actors(infr)
    assert ray.get(ray.get_actor("busy/b").name.remote()) == "other"
    deadline = time.monotonic() + 10
    while "busy/a" in ray.util.list_named_actors() and time.monotonic() < deadline:
        time.sleep(0.05)
    assert "busy/a" not in ray.util.list_named_actors()
    ray.kill(foreign)


@ray.remote
def slow_value(value, delay):
    time.sleep(delay)
    return value


def test_ray_get_keeps_order():
    refs = [slow_value.remote(i, 0.3 - 0.1 * i) for i in range(3)]
    assert ray_get(refs) == [0, 1, 2]
    assert ray_get([]) == []
