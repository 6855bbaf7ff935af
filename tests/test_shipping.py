"""Remote callbacks travel to the node actors by reference, once per activation."""

import itertools
import sys

import pytest
import ray

from sorvane_core.graph import Application, Infrastructure
from sorvane_core.placement import Placement
from sorvane_core.remote.shipping import Shipper
from sorvane_core.simulation import Simulator
from sorvane_core.workflow.callbacks.callback import SorvaneCallback

ray.cloudpickle.register_pickle_by_value(sys.modules[__name__])

pytestmark = pytest.mark.usefixtures("ray_session")

INFRA_IDS = (f"ship-{n}" for n in itertools.count())


class Seen(SorvaneCallback):
    """What the callback looks like on the actor, for each service."""

    def __init__(self, friend=None):
        super().__init__("seen", "service", remote=True)
        self.threshold = 0
        self.friend = friend

    def __call__(self, service_id, service, **event_data):
        before = getattr(self, "scribble", None)
        self.scribble = service_id  # must not reach the next call
        previous = self.data["web"][service_id][0] if self.data else None
        return (self.threshold, previous, before, dict(self.n_calls),
                None if self.friend is None else self.friend.threshold)


class Friend(SorvaneCallback):
    def __init__(self):
        super().__init__("friend", "node", remote=True)
        self.threshold = 7

    def __call__(self, node, attributes, **event_data):
        return node


def world(services=4):
    infr = Infrastructure(next(INFRA_IDS))
    infr.add_nodes_from(["a", "b"])
    app = Application("web")
    for s in range(services):
        app.add_service(f"s{s}")
    return infr, Placement(app, infr, {f"s{s}": "ab"[s % 2] for s in range(services)})


def test_each_call_sees_the_callback_as_it_was_when_the_call_was_made():
    friend = Friend()
    seen = Seen(friend)
    infr, pl = world()
    sim = Simulator(infr, [pl], [friend, seen], mode="emulation")
    steps = sim.iter(3)
    first = next(steps)["data"]["seen"]["web"]
    assert first == {s: (0, None, None, {"tick": 0}, 7) for s in ("s0", "s1", "s2", "s3")}
    seen.threshold, friend.threshold = 5, 8
    second = next(steps)["data"]["seen"]["web"]
    assert second == {s: (5, 0, None, {"tick": 1}, 8) for s in ("s0", "s1", "s2", "s3")}
    list(steps)


def shipped_size(fn):
    context = ray._private.worker.global_worker.get_serialization_context()
    return context.serialize(fn).total_bytes


def test_bytes_per_call_do_not_grow_with_the_callback_data():
    cb = Seen()
    shipper = Shipper()
    sizes = []
    try:
        shipper.register([Seen])
        for size in (10, 2000):
            cb._data = {"web": {f"s{i}": (i, "x" * 20) for i in range(size)}}
            cb._n_calls["tick"] += 1  # a new activation
            sizes.append(shipped_size(cb.__call__))
    finally:
        shipper.unregister()
    assert abs(sizes[0] - sizes[1]) <= 8 and max(sizes) < 1500  # a reference, whatever the data
    assert shipped_size(cb.__call__) > 20 * max(sizes)  # unregistered: the whole callback again


class Other:
    def __init__(self):
        self.value = 3

    def get(self):
        return self.value


def test_other_objects_and_methods_pickle_as_before_and_the_reducers_come_back():
    import types

    before = dict(ray.cloudpickle.CloudPickler.dispatch)
    shipper = Shipper()
    shipper.register([Seen])
    try:
        method = ray.cloudpickle.loads(ray.cloudpickle.dumps(Other().get))
        assert method() == 3 and type(method.__self__).__name__ == "Other"
        shipped = ray.cloudpickle.loads(ray.cloudpickle.dumps(Seen().__call__))
        assert type(shipped) is types.MethodType and shipped.__self__.threshold == 0
    finally:
        shipper.unregister()
    assert dict(ray.cloudpickle.CloudPickler.dispatch) == before
