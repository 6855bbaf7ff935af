"""RemoteSimRovel with stand-ins for Ray: order of work, arguments, checks, bad input."""

import builtins
import gc
import subprocess
import sys
from types import SimpleNamespace as NS
from typing import List  # noqa: UP035  (the module casts to typing.List)

import pytest

from sorvane_core.graph import Application, Infrastructure
from sorvane_core.placement import Placement
from sorvane_core.remote.service import Service
from sorvane_core.remote.utils import RemoteOps, ResponseCode
from sorvane_core.simulation._simulator import rovel
from sorvane_core.simulation._simulator.rovel import RemoteSimRovel as R, _handle_error

OK, ERR = ResponseCode.OK, ResponseCode.ERROR
OPS = ["deploy", "start", "stop", "undeploy"]


class Cluster:
    """Fake ray.get_actor and ray_get; every lookup, submission and wait goes to one log."""

    def __init__(self):
        self.log, self.actors, self.answers, self.pending = [], {}, {}, {}

    def get_actor(self, name):
        self.log.append(("get_actor", name))
        submit = lambda op, **kw: self.submit(name, op, kw)
        return self.actors.setdefault(name, NS(ops_entrypoint=NS(remote=submit)))

    def submit(self, name, op, kwargs):
        self.log.append(("submit", name, op, list(kwargs.items())))
        token = object()
        sid = kwargs["service_id"]
        default = (OK, Service(sid)) if op is RemoteOps.UNDEPLOY else OK
        self.pending[token] = self.answers.get(sid, default)
        return token

    def ray_get(self, refs):
        self.log.append(("ray_get", len(refs)))
        return [self.pending.pop(ref) for ref in refs]


@pytest.fixture
def cluster(monkeypatch):
    c = Cluster()
    monkeypatch.setattr(rovel, "ray", NS(get_actor=c.get_actor))
    monkeypatch.setattr(rovel, "ray_get", c.ray_get)
    return c


def make_placement(mapping):
    infr = Infrastructure("X")
    infr.add_nodes_from(set(mapping.values()))
    app = Application("app")
    for sid in mapping:
        app.add_service(sid)
    return Placement(app, infr, mapping)


@pytest.fixture
def placement():
    return make_placement({"s1": "a", "s2": "b", "s3": "a"})


def python_error(code):
    """(type, message) of what the interpreter raises running `code`."""
    try:
        exec(code, {})
    except Exception as exc:
        return type(exc), str(exc)


@pytest.mark.parametrize("setup", [
    "sys.modules['ray'] = None",
    "sys.modules['sorvane_core.remote.utils'] = None",
    "sys.modules['typing'] = None",
    *[f"import sorvane_core.remote.utils as u; del u.{name}"
      for name in ["RemoteOps", "ResponseCode", "ray_get"]],
])
def test_import_fails_with_import_error_when_a_dependency_is_missing(setup):
    module = "sorvane_core.simulation._simulator.rovel"
    code = (f"import sys\n{setup}\n"
            f"try:\n import {module}\n"
            f"except ImportError as e:\n print('ImportError', {module!r} in sys.modules)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["ImportError", "False"]


@pytest.mark.native_only
def test_namespace_and_class():
    names = [n for n in vars(rovel) if not (n.startswith("__") and n.endswith("__"))]
    assert names == ["TYPE_CHECKING", "List", "Tuple", "cast", "ray", "RemoteOps",
                     "ResponseCode", "ray_get", "RemoteSimRovel", "_handle_error"]
    members = [k for k in vars(R) if not k.startswith("__")]
    assert members == [*OPS, "_get_remotes"]
    assert all(type(vars(R)[k]) is staticmethod for k in members)
    assert (R.__bases__, R.__module__, R.__qualname__) == (
        (object,), rovel.__name__, "RemoteSimRovel")
    assert R.__doc__ == ("A RemoteSimRovel performs the operations on the remote nodes.\n\n"
                         "    Available operations are: deploy, start, stop and undeploy.\n    ")


ARGS = ("\n\n        Args:\n            placement (Placement): The placement mapping of the"
        " services to the nodes.\n")
RAISES = ("\n        Raises:\n            ValueError: If any of the responses from the remote"
          " nodes is an error.\n        ")
REMOTES = "List[Tuple[RemoteNode, Service]]"
RETURNS = (f"\n        Returns:\n            {REMOTES}: The list of tuples containing the"
           " remote nodes and\n                the services to perform the operation.\n        ")


@pytest.mark.native_only
@pytest.mark.parametrize("name, summary", [
    ("deploy", "Deploy the services to the remote nodes, according to the placement mapping."),
    ("start", "Start the deployed services on the remote nodes."),
    ("stop", "Stop the running services on the remote nodes."),
    ("undeploy", "Undeploy the services from the remote nodes."),
    ("_get_remotes", "Get the remote nodes (ray actors) and Services to perform the operation."),
])
def test_method_metadata(name, summary):
    fn = getattr(R, name)
    assert fn is getattr(R(), name)
    ret, tail = (f" -> {REMOTES}", RETURNS) if name == "_get_remotes" else ("", RAISES)
    assert fn.__doc__ == f"RemoteSimRovel.{name}(placement: Placement){ret}\n{summary}{ARGS}{tail}"
    assert (fn.__qualname__, fn.__module__) == (f"RemoteSimRovel.{name}", rovel.__name__)
    assert fn.__annotations__ == {"placement": "Placement"} | ({"return": REMOTES} if ret else {})


@pytest.mark.native_only
def test_handle_error_metadata():
    assert (_handle_error.__qualname__, _handle_error.__annotations__) == (
        "_handle_error", {"response_codes": "List[ResponseCode]"})
    assert _handle_error.__doc__ == (
        "_handle_error(response_codes: List[ResponseCode])\n"
        "Handle the error response codes from the remote nodes.\n\n    Args:\n"
        "        response_codes (List[ResponseCode]): The response codes from the remote nodes.\n"
        "\n    Raises:\n        ValueError: If any of the response codes is an error.\n    ")


@pytest.mark.parametrize("args, kwargs", [
    ((), {}), ((1, 2), {}), ((1,), {"p": 1}), ((), {"other": 1}), ((), {"p": 1, "other": 2}),
])
@pytest.mark.parametrize("fn", [R().deploy, R._get_remotes, _handle_error])
def test_argument_errors_match_a_def(args, kwargs, fn):
    param = "response_codes" if fn is _handle_error else "placement"
    kwargs = {(param if k == "p" else k): v for k, v in kwargs.items()}
    namespace = {}
    exec(f"def f({param}): pass", namespace)
    namespace["f"].__qualname__ = fn.__qualname__
    with pytest.raises(TypeError) as expected:
        namespace["f"](*args, **kwargs)
    with pytest.raises(TypeError) as got:
        fn(*args, **kwargs)
    assert str(got.value) == str(expected.value)


def test_work_list_in_service_order(cluster, placement):
    remotes = R._get_remotes(placement=placement)
    assert cluster.log == [("get_actor", "X/a"), ("get_actor", "X/b"), ("get_actor", "X/a")]
    services = placement.application.services
    assert remotes == [(cluster.actors[f"X/{n}"], services[s])
                       for s, n in placement.mapping.items()]
    assert all(type(r) is tuple and r[1] is services[r[1].id] for r in remotes)


class Hostile:
    """Fails where it is told to: format, iter, eq, or bool of its comparison."""

    def __init__(self, where, seen=None):
        self.where, self.seen = where, seen

    def __format__(self, spec):
        raise ArithmeticError("format")

    def __iter__(self):
        raise OSError("iter")

    def __eq__(self, other):
        if self.seen is not None:
            self.seen.append(other)
            return NotImplemented
        if self.where == "eq":
            raise LookupError("eq")
        return Hostile.Truth()

    __hash__ = object.__hash__

    class Truth:
        def __bool__(self):
            raise KeyError("bool")


@pytest.mark.parametrize("infra_id, node, expected", [
    (7, "gw", "7/gw"), ("dc", 3, "dc/3"), (("a", 1), "n", "('a', 1)/n"),
    (Hostile("format"), "n", None),
])
def test_actor_name_text(cluster, infra_id, node, expected):
    pl = NS(application=NS(services={"s": Service("s")}), infrastructure=NS(id=infra_id),
            service_placement=lambda sid: node)
    if expected is None:
        with pytest.raises(ArithmeticError, match="format"):
            R._get_remotes(pl)
    else:
        R._get_remotes(pl)
        assert cluster.log == [("get_actor", expected)]


@pytest.mark.parametrize("op", OPS)
def test_lookups_first_then_submissions_then_one_wait(cluster, placement, op):
    getattr(R, op)(placement)
    services = placement.application.services
    member = getattr(RemoteOps, op.upper())
    submits = [("submit", f"X/{n}", member,
                [("service_id", s)] + ([("service", services[s])] if op == "deploy" else []))
               for s, n in placement.mapping.items()]
    assert cluster.log == cluster.log[:3] + submits + [("ray_get", 3)]
    assert [e[0] for e in cluster.log[:3]] == ["get_actor"] * 3


@pytest.mark.parametrize("op, before, after", [
    ("deploy", False, True), ("undeploy", True, False), ("start", 0, 0), ("stop", 0, 0)])
def test_state_changes_after_the_check(cluster, placement, monkeypatch, op, before, after):
    placement._deployed = before
    if op == "undeploy":
        cluster.answers["s2"] = (OK, Service("renamed", running=True))
    old = dict(placement.application.services)
    seen = []
    monkeypatch.setattr(rovel, "_handle_error", lambda codes: seen.append(
        (codes, placement._deployed, dict(placement.application.services))))
    assert getattr(R, op)(placement) is None
    assert seen == [((OK,) * 3 if op == "undeploy" else [OK] * 3, before, old)]
    assert placement._deployed is after
    new = placement.application.services
    if op == "undeploy":  # the services the nodes returned are stored under their own id
        assert list(new) == ["s1", "s2", "s3", "renamed"] and new["renamed"].running
        assert new["s1"] == old["s1"] and new["s1"] is not old["s1"] and new["s2"] is old["s2"]
    else:
        assert new == old and all(new[s] is old[s] for s in old)


@pytest.mark.parametrize("op, answer, shown", [
    ("deploy", ERR, "[{ok}, {err}, {ok}]"), ("start", ERR, None), ("stop", ERR, None),
    ("undeploy", (ERR, None), "({ok}, {err}, {ok})"),
])
def test_error_answer_raises_keeps_what_succeeded_and_names_the_failures(cluster, placement, op,
                                                                         answer, shown):
    cluster.answers["s2"] = answer
    placement._deployed = "untouched"
    old = dict(placement.application.services)
    with pytest.raises(ValueError, match=r"^Error in the operation: [\[(]") as err:
        getattr(R, op)(placement)
    shown = shown and shown.format(ok=repr(OK), err=repr(ERR))
    assert shown is None or str(err.value) == f"Error in the operation: {shown}"
    assert err.value.failed == {"b": ["s2"]}
    assert err.value.__notes__ == ["failed: service 's2' on node 'b'"]
    assert placement._deployed == "untouched"
    services = placement.application.services
    assert services["s2"] is old["s2"]
    # Undeploy keeps the last state of the services that the other nodes removed.
    assert all((services[s] is not old[s]) == (op == "undeploy") for s in ("s1", "s3"))


def test_services_a_node_no_longer_held_are_left_as_they_are(cluster, placement):
    cluster.answers["s1"] = (OK, None)
    old = dict(placement.application.services)
    R.undeploy(placement)
    services = placement.application.services
    assert services["s1"] is old["s1"] and services["s2"] is not old["s2"]
    assert placement._deployed is False


def test_empty_application_deploys_and_undeploys(cluster, monkeypatch):
    pl = make_placement({})
    casts = []
    monkeypatch.setattr(rovel, "cast", lambda t, v: casts.append((t, v)) or v)
    R.deploy(pl)
    assert pl._deployed is True
    R.undeploy(pl)
    assert pl._deployed is False and pl.application.services == {}
    assert casts == [(List[ResponseCode], ())]  # noqa: UP006
    assert cluster.log == [("ray_get", 0)] * 2


@pytest.mark.parametrize("entries", ["[('n', 's', 'x')]", "[('n',)]", "[5]", "5", "[iter('abc')]"])
def test_work_entry_not_a_pair(cluster, placement, monkeypatch, entries):
    monkeypatch.setattr(R, "_get_remotes", staticmethod(lambda pl: eval(entries)))
    with pytest.raises(Exception) as err:
        R.start(placement)
    assert (type(err.value), str(err.value)) == python_error(f"for a, b in {entries}: pass")
    assert cluster.log == []


@pytest.mark.parametrize("results", [
    [("ok",), ("ok",)], [("ok", 1, 2)], [("ok", "s", 3), ("ok", "t", 4)], [("ok", 1), ("ok",)],
    5, [5], [("ok", 1), 7],
])
def test_undeploy_results_not_in_pairs(monkeypatch, placement, results):
    monkeypatch.setattr(R, "_get_remotes", staticmethod(lambda pl: []))
    monkeypatch.setattr(rovel, "ray_get", lambda refs: results)
    placement._deployed = True
    with pytest.raises(Exception) as err:
        R.undeploy(placement)
    assert (type(err.value), str(err.value)) == python_error(f"a, b = zip(*{results!r})")
    assert placement._deployed is True


@pytest.mark.parametrize("codes, error, message", [
    (5, TypeError, "'int' object is not iterable"),
    (Hostile("iter"), OSError, "iter"),
    ([OK, Hostile("eq")], LookupError, "eq"),
    ([Hostile("bool")], KeyError, "'bool'"),
    (type("Codes", (list,), {"__format__": Hostile.__format__})([ERR]), ArithmeticError, "format"),
    # Elements after the first error are not compared.
    ([OK, ERR, Hostile("eq")], ValueError,
     "Error in the operation: [<ResponseCode.OK: 'ok'>, <ResponseCode.ERROR: 'error'>, <"),
    ((x for x in [ERR]), ValueError, "Error in the operation: <generator object"),
    ("", None, None),
])
def test_handle_error_bad_input(codes, error, message):
    if error is None:
        assert _handle_error(codes) is None
        return
    with pytest.raises(error) as err:
        _handle_error(codes)
    assert str(err.value).startswith(message)


def test_element_is_compared_on_the_left():
    seen = []
    assert _handle_error([Hostile("eq", seen)]) is None and seen == [ERR]


def test_globals_looked_up_at_use_builtins_at_load(cluster, placement, monkeypatch):
    waited = []
    monkeypatch.setattr(rovel, "ray_get", lambda refs: waited.append(len(refs)) or [OK] * len(refs))

    def get_remotes(pl):
        rovel.ray_get = None  # too late: the operation already holds ray_get
        return [(cluster.get_actor("X/z"), Service("only"))]

    monkeypatch.setattr(R, "_get_remotes", staticmethod(get_remotes))
    monkeypatch.setattr(rovel, "RemoteOps", NS(START="go", UNDEPLOY="gone"))
    R.start(placement)
    assert waited == [1] and cluster.log[-1] == ("submit", "X/z", "go", [("service_id", "only")])
    monkeypatch.delattr(rovel, "ray_get")
    with pytest.raises(NameError, match="^name 'ray_get' is not defined$"):
        R.start(placement)

    monkeypatch.setattr(rovel, "ResponseCode", NS(ERROR="bad"))
    assert _handle_error([ERR]) is None
    monkeypatch.setattr(rovel, "ray_get", lambda refs: [("fine", Service("t"))], raising=False)
    with monkeypatch.context() as patch:
        patch.setattr(builtins, "zip", None)
        patch.setattr(builtins, "ValueError", KeyError)
        R.undeploy(placement)  # splits with the zip bound at load
        raised = python_error("from sorvane_core.simulation._simulator.rovel import _handle_error\n"
                              "_handle_error(['bad'])")
    assert placement.application.services["t"] == Service("t")
    assert raised == (ValueError, "Error in the operation: ['bad']")


class Raising:
    def __getattr__(self, name):
        raise LookupError(name)


def refuse(name):
    raise LookupError("get_actor")


@pytest.mark.parametrize("target, first_read", [
    ("placement", "application"), ("node", "ops_entrypoint"), ("service", "id"),
    ("ray", "get_actor"),
])
def test_failing_reads_propagate(cluster, placement, monkeypatch, target, first_read):
    if target == "node":
        monkeypatch.setattr(rovel.ray, "get_actor", lambda name: Raising())
    elif target == "service":
        placement.application.services = {"s1": Raising()}
    elif target == "ray":
        monkeypatch.setattr(rovel.ray, "get_actor", refuse)
    with pytest.raises(LookupError) as err:
        R.deploy(Raising() if target == "placement" else placement)
    assert err.value.args == (first_read,) and placement._deployed is False


def test_no_reference_leaks(cluster):
    pl, bad = make_placement({"s1": "a", "s2": "b"}), make_placement({"s9": "a"})
    cluster.answers["s9"] = ERR

    def rounds(n):
        for _ in range(n):
            for op in OPS:
                getattr(R, op)(pl)
            with pytest.raises(ValueError):
                R.start(bad)
            with pytest.raises(TypeError):
                _handle_error(5)
            cluster.log.clear()
        gc.collect()

    rounds(3)
    # Undeploy replaces pl's services with the answers, so bad's service is watched.
    objects = [pl, pl.application, pl.application.services, bad, bad.application.services["s9"],
               OK, ERR, RemoteOps.DEPLOY, RemoteOps.UNDEPLOY, *cluster.actors.values()]
    before, tracked = [sys.getrefcount(o) for o in objects], len(gc.get_objects())
    rounds(300)
    assert [sys.getrefcount(o) for o in objects] == before
    assert len(gc.get_objects()) - tracked < 50
