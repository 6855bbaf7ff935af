"""The native modules against their plain-Python twins (tests/twins).

The behaviour tests run against the twins in a child pytest (``--twin``), and random
inputs go to both implementations side by side: the same results, the same exceptions
(type, message, notes, the services that failed) and the same state left behind.
"""

import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace as NS

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import twins.callback
import twins.rovel
from sorvane_core.remote.utils import RemoteOps, ResponseCode
from sorvane_core.simulation._simulator import rovel as native_rovel
from sorvane_core.workflow.callbacks import callback as native_callback
from sorvane_core.workflow.events import SorvaneEvent

HERE = Path(__file__).resolve().parent
BEHAVIOUR = ["test_callback_class.py", "test_callback_collectors.py", "test_callback_dispatch.py",
             "test_callback_remote.py", "test_callback_robustness.py", "test_rovel.py",
             "test_routes.py"]
CALLBACKS = {"native": native_callback, "twin": twins.callback}
ROVELS = {"native": native_rovel, "twin": twins.rovel}
SETTINGS = settings(max_examples=150, deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture])


def test_the_behaviour_tests_pass_against_the_twins():
    run = subprocess.run(
        [sys.executable, "-m", "pytest", "--twin", "-q", "-p", "no:cacheprovider", "-m", "not ray",
         *(str(HERE / name) for name in BEHAVIOUR)],
        capture_output=True, text=True, cwd=HERE.parent, timeout=600)
    assert run.returncode == 0, run.stdout[-6000:] + run.stderr[-2000:]


# --- what an outcome looks like -------------------------------------------------------

def describe(x):
    """A value with its container types and order, and everything else by repr."""
    if isinstance(x, dict):
        return ("dict", [(describe(k), describe(v)) for k, v in x.items()])
    if isinstance(x, list | tuple):
        return (type(x).__name__, [describe(i) for i in x])
    return x if x is None or isinstance(x, bool | int | float | str) else repr(x)


def outcome(call):
    """What a call did: its result, or its exception as a caller sees it."""
    try:
        return ("returned", describe(call()))
    except Exception as exc:  # noqa: BLE001  (every exception is an outcome here)
        return ("raised", type(exc).__name__, str(exc), getattr(exc, "__notes__", None),
                describe(getattr(exc, "failed", None)))


def both(make, run):
    """Runs the same scenario on both implementations: make(name) builds fresh inputs."""
    return {name: run(name, make(name)) for name in ("native", "twin")}


# --- callbacks: construction, activation, dispatch and the local collectors ---------------

NAMES = st.sampled_from(["a", "b", "boom", 3, ("t", 1)])
EVENTS = st.sampled_from(["tick", "end", "x"])
PERIODS = st.one_of(st.integers(-3, 3), st.just(2.0), st.just(10**30))
DATA = st.one_of(
    st.dictionaries(st.sampled_from(["tick", "n", "fn"]), st.integers(0, 5), max_size=2),
    st.none(), st.just([("tick", 1)]), st.just(7))
ITEM = st.one_of(st.tuples(NAMES, st.dictionaries(st.just("cpu"), st.integers(0, 3))),
                 st.tuples(NAMES, NAMES, st.dictionaries(st.just("bw"), st.integers(0, 3))),
                 st.tuples(NAMES), st.just(5))


class View:
    """graph.nodes / graph.edges: called with data=True, the items as drawn (malformed ones
    too); iterated, the first part of each."""

    def __init__(self, items):
        self.items = items

    def __call__(self, data=False):
        return list(self.items)

    def __iter__(self):
        return (item[0] if isinstance(item, tuple) and item else item for item in self.items)


class Graph:
    def __init__(self, id, nodes, edges):
        self.id, self.nodes, self.edges = id, View(nodes), View(edges)

    def __repr__(self):
        return f"Graph({self.id!r})"


def world(spec):
    apps, nodes, edges = spec
    placements = {}
    for i, (services, interactions) in enumerate(apps):
        app = Graph(f"app{i}", services, interactions)
        placements[app.id] = NS(application=app, mapping={})
    return NS(placements=placements, infrastructure=Graph("dc", nodes, edges),
              placement_view="view")


def short(x):
    return x if x is None or isinstance(x, int | str | tuple) else type(x).__name__


def callee(args, kwargs):
    if "boom" in args:
        raise ValueError(f"boom in {short(args[-1])}")
    return [short(a) for a in args] + sorted(kwargs)


CALLBACK_SPEC = st.fixed_dictionaries({
    "type": st.sampled_from([None, "simulation", "application", "service", "interaction",
                             "infrastructure", "node", "link", "other"]),
    "on": st.one_of(EVENTS, st.lists(EVENTS, max_size=2)),
    "every": st.one_of(st.none(), st.dictionaries(EVENTS, PERIODS, max_size=3)),
    "report": st.sampled_from(["csv", "", None, ["csv", "jsonl"]]),
    "world": st.tuples(
        st.lists(st.tuples(st.lists(ITEM, max_size=3), st.lists(ITEM, max_size=2)), max_size=2),
        st.lists(ITEM, max_size=3), st.lists(ITEM, max_size=3)),
    "events": st.lists(st.tuples(EVENTS, DATA), min_size=1, max_size=4),
})


@SETTINGS
@given(spec=CALLBACK_SPEC)
def test_callbacks_behave_alike(spec):
    def make(name):
        module = CALLBACKS[name]

        class Probe(module.SorvaneCallback):
            def __call__(self, *args, **kwargs):
                return callee(args, kwargs)

        sim = world(spec["world"])
        return Probe, [SorvaneEvent(e, sim, data) for e, data in spec["events"]]

    def run(name, made):
        probe, events = made
        made = []
        steps = [outcome(lambda: made.append(
            probe("probe", spec["type"], spec["on"], spec["every"], report=spec["report"])))]
        for cb in made:
            for event in events:
                steps.append(outcome(lambda event=event: cb._call(event)))
                steps.append(describe(vars(cb)))
            steps.append(outcome(cb._triggered_events))
        return steps

    seen = both(make, run)
    assert seen["native"] == seen["twin"]


@SETTINGS
@given(spec=CALLBACK_SPEC, collector=st.sampled_from(
    ["_application_fn", "_service_fn", "_interaction_fn", "_infrastructure_fn", "_node_fn",
     "_link_fn"]), kwargs=st.dictionaries(st.sampled_from(["tick", "fn", "infr"]), st.integers()))
def test_local_collectors_behave_alike(spec, collector, kwargs):
    def run(name, sim):
        fn = getattr(CALLBACKS[name], collector)
        positional = {"_infrastructure_fn": (sim.infrastructure, sim.placement_view),
                      "_node_fn": (sim.placements, sim.infrastructure, sim.placement_view),
                      "_link_fn": (sim.placements, sim.infrastructure, sim.placement_view)}
        args = positional.get(collector, (sim.placements, sim.infrastructure))
        return outcome(lambda: fn(lambda *a, **k: callee(a, k), *args, **kwargs))

    seen = both(lambda name: world(spec["world"]), run)
    assert seen["native"] == seen["twin"]


# --- the remote collectors, with Ray played in process ------------------------------------

class Handle:
    def __init__(self, name, log):
        self.name, self.log, self.entrypoint = name, log, NS(remote=self.remote)

    def remote(self, first, fn, **kwargs):
        self.log.append(("remote", self.name, short(first), sorted(kwargs)))
        if "boom" in self.name:
            raise ConnectionError(f"{self.name} is gone")
        return f"{self.name}:{short(first)}"


REMOTE_SPEC = st.fixed_dictionaries({
    "apps": st.lists(st.tuples(st.lists(st.sampled_from(["s1", "s2", "s3", "boom"]),
                                        max_size=3, unique=True),
                               st.booleans()), max_size=3),
    "nodes": st.lists(st.sampled_from(["n1", "n2", "boom"]), max_size=3),
    "answers": st.sampled_from(["all", "short", "long", "change"]),
})


def remote_world(spec, log):
    placements = {}
    for i, (services, placed) in enumerate(spec["apps"]):
        app = Graph(f"app{i}", [(s, {}) for s in services], [])
        placements[app.id] = NS(application=app,
                                mapping={s: f"n{j % 2}" for j, s in enumerate(services)}
                                if placed else {})
    infr = Graph("dc", [(n, {}) for n in spec["nodes"]], [])

    def ray_get(refs):
        log.append(("ray_get", len(refs)))
        answers = list(refs)
        if spec["answers"] == "short":
            answers = answers[:-1]
        elif spec["answers"] == "long":
            answers.append("extra")
        elif spec["answers"] == "change":  # another thread moved things meanwhile
            infr.nodes.items.reverse()
            for pl in placements.values():
                pl.application.nodes.items.reverse()
        return answers

    ray = NS(get_actor=lambda name: log.append(("get_actor", name)) or Handle(name, log))
    return placements, infr, ray, ray_get


@SETTINGS
@given(spec=REMOTE_SPEC, node=st.booleans())
def test_remote_collectors_behave_alike(spec, node, monkeypatch):
    def run(name, _):
        module, log = CALLBACKS[name], []
        placements, infr, ray, ray_get = remote_world(spec, log)
        with monkeypatch.context() as patch:
            patch.setattr(module, "ray", ray)
            patch.setattr(module, "ray_get", ray_get)
            if node:
                seen = outcome(lambda: module._remote_node_fn(None, infr, tick=1))
            else:
                seen = outcome(lambda: module._remote_service_fn(None, placements, infr, tick=1))
        return seen, log

    seen = both(lambda name: None, run)
    assert seen["native"] == seen["twin"]


# --- rovel: the four operations, with node actors played in process -----------------------

ROVEL_SPEC = st.fixed_dictionaries({
    "services": st.lists(st.sampled_from(["s1", "s2", "s3", "s4"]), max_size=4, unique=True),
    # per service and operation: the answer of its node
    "answers": st.lists(st.sampled_from(["ok", "error", "none", "raise"]), min_size=16,
                        max_size=16),
    "ops": st.lists(st.sampled_from(["deploy", "start", "stop", "undeploy"]), min_size=1,
                    max_size=4),
})


class Node:
    def __init__(self, name, answers, log):
        self.name, self.answers, self.log = name, answers, log
        self.ops_entrypoint = NS(remote=self.remote)

    def remote(self, op, service_id, service=None):
        self.log.append((self.name, op.value, service_id, service is not None))
        answer = self.answers.pop(0) if self.answers else "ok"
        if answer == "raise":
            raise ConnectionError(f"{self.name} lost")
        code = ResponseCode.ERROR if answer == "error" else ResponseCode.OK
        if op is RemoteOps.UNDEPLOY:
            return code, None if answer == "none" else NS(id=service_id, state="undeployed")
        return code


@SETTINGS
@given(spec=ROVEL_SPEC)
def test_rovel_behaves_alike(spec, monkeypatch):
    def make(name):
        log, answers = [], list(spec["answers"])
        services = {s: NS(id=s, state="new") for s in spec["services"]}
        nodes = {}

        def get_actor(actor):
            log.append(("get_actor", actor))
            return nodes.setdefault(actor, Node(actor, answers, log))

        placement = NS(application=NS(services=services), infrastructure=NS(id="dc"),
                       service_placement=lambda s: "n1" if s in ("s1", "s3") else "n2",
                       _deployed=None)
        return placement, NS(get_actor=get_actor), log

    def run(name, made):
        placement, ray, log = made
        module, steps = ROVELS[name], []
        with monkeypatch.context() as patch:
            patch.setattr(module, "ray", ray)
            patch.setattr(module, "ray_get", list)
            for op in spec["ops"]:
                steps.append(outcome(lambda op=op: getattr(module.RemoteSimRovel, op)(placement)))
                steps.append((placement._deployed, describe(
                    {s: vars(v) if v is not None else None
                     for s, v in placement.application.services.items()})))
        return steps, log

    seen = both(make, run)
    assert seen["native"] == seen["twin"]


@pytest.mark.parametrize("codes", [[], [ResponseCode.OK], [ResponseCode.OK, ResponseCode.ERROR],
                                   "error", 5, None, [ResponseCode.ERROR, object()]])
def test_handle_error_alike(codes):
    seen = {name: outcome(lambda m=m: m._handle_error(codes)) for name, m in ROVELS.items()}
    assert seen["native"] == seen["twin"]
