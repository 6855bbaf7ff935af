"""A bounded, reproducible campaign of hostile inputs over the entry points of the two native
modules (sorvane_core.workflow.callbacks.callback and sorvane_core.simulation._simulator.rovel).

Each family of entry points draws *recipes* with hypothesis: plain nested tuples and dicts that
describe hostile objects (dunders and attributes that raise, return the wrong type, count their
calls, mutate what the call walks, re-enter the modules or rebind their globals), graphs,
placements, events and stand-ins for Ray built from such parts, and how to make the call. A recipe
is built into fresh objects for every run, so any example can be replayed exactly (--replay) and
a fixed batch of them repeated for the leak check.

An example's outcome is "ok" or the name of the exception raised. A family fails on SystemError,
on an exception that neither a hostile object raised nor the interpreter raises for unsuitable
input, on a wrong answer where an oracle can tell (an error code reported as success, a wrong
message from _handle_error, arguments bound otherwise than a `def` of the same signature binds
them), on a crash or a hang of its child interpreter, and on memory that keeps growing while the
fixed batch repeats.

Every family runs in its own child interpreter under -X dev, at most --jobs at a time, so that a
crash fails that family only and names the recipe it died on. Ray is never started: `ray` and
`ray_get` are replaced by in-process stand-ins in both modules before anything runs, and every
module global, class attribute and function attribute that hostile code touched is put back
after each example.

    python tests/fuzz/campaign.py                       # FUZZ_EXAMPLES (100000) across all families
    python tests/fuzz/campaign.py -n 2000 -f node,link  # a short run of two families
    python tests/fuzz/campaign.py --list
    python tests/fuzz/campaign.py --replay node "<recipe printed with a fault>"

Environment: FUZZ_EXAMPLES, FUZZ_SEED (0), FUZZ_FAMILIES (all), FUZZ_JOBS (2), FUZZ_LEAK_BATCH
(24); each has an option of the same meaning (--help).
"""

from __future__ import annotations

import argparse
import ast
import concurrent.futures
import copy
import gc
import inspect
import json
import os
import pickle
import random
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import types
import weakref

HERE = os.path.abspath(__file__)

# Families, in the order they are reported; families() gives each its strategy of recipes and
# its runner, once the child has loaded the modules.
FAMILY_NAMES = [
    "construct", "activation", "dispatch", "triggered",
    "application", "service", "interaction", "infrastructure", "node", "link",
    "remote_service", "remote_node",
    "deploy", "start", "stop", "undeploy", "get_remotes", "handle_error",
    "functions",
]


# ---------------------------------------------------------------------------------------------
# Outcomes

class Boom(Exception):
    """What hostile objects raise."""


class BoomBase(BaseException):
    """A hostile exception outside Exception: it must pass through untouched as well."""


# The interpreter's own errors for unsuitable input. RuntimeError covers RecursionError,
# NotImplementedError (the base __call__) and the collectors' "changed while awaited".
INTERPRETER_ERRORS = (TypeError, ValueError, KeyError, AttributeError, RuntimeError, IndexError,
                      ZeroDivisionError, OverflowError, NameError)


class World:
    """What one example's hostile code acts on, and what it did."""

    def __init__(self):
        self.refs = {}          # target name -> object, for the effects
        self.building = True    # while True, hostile __hash__/__eq__ behave (dict literals)
        self.raised = set()     # exception types that hostile code raised
        self.faults = []        # SystemErrors inside re-entrant calls, binding differences
        self.reenter = None     # the entry point again, with the same inputs
        self.answers = []       # what the ray_get stand-in returned, for the oracles
        self.codes = None       # what _handle_error was given, for its oracle
        self.intact = False     # the check's collaborators unchanged when the call ended
        self.plain = False      # no hostile code in the inputs (the differential check)
        self.fresh = set()      # the classes made for this example, which effects may change
        self.result = None      # what a collector returned, and the arguments it was given,
        self.call = None        # for the collectors' oracles
        self.submitted = []     # what the entrypoint.remote stand-in returned, in order
        self.reentries = 0      # calls into the modules made by hostile code
        self.collections = 0    # gc.collect() calls made by hostile code
        self.appends = 0        # items added by hostile code (see MAX_APPENDS)
        self.bad_hash = False   # a hostile __hash__ returned a non-int (see leak_free)


def classify(exc, world):
    """(outcome, fault or None) of an exception (None: the call returned)."""
    if exc is None:
        return "ok", None
    name = type(exc).__name__
    if isinstance(exc, SystemError):
        return name, f"SystemError: {exc}"
    if isinstance(exc, (Boom, BoomBase)) or type(exc) in world.raised:
        return name, None
    if isinstance(exc, INTERPRETER_ERRORS):
        return name, None
    return name, f"unexpected {name}: {exc}"


# ---------------------------------------------------------------------------------------------
# Loading the modules (in the child only)

m = rovel = C = R = CallbackType = SorvaneEvent = ResponseCode = RemoteOps = None
NATIVE_TYPES = ()  # each extension module has its own function type
NATIVES = {}      # path -> native function
SNAPSHOT = None


def load():
    global m, rovel, C, R, CallbackType, SorvaneEvent, ResponseCode, RemoteOps
    global NATIVE_TYPES, SNAPSHOT
    if m is not None:
        return
    from sorvane_core.remote.utils import RemoteOps as ops, ResponseCode as codes
    from sorvane_core.simulation._simulator import rovel as rv
    from sorvane_core.utils.types import CallbackType as ct
    from sorvane_core.workflow.callbacks import callback as cb
    from sorvane_core.workflow.events import SorvaneEvent as ev

    m, rovel, C, R = cb, rv, cb.SorvaneCallback, rv.RemoteSimRovel
    CallbackType, SorvaneEvent, ResponseCode, RemoteOps = ct, ev, codes, ops
    NATIVE_TYPES = (type(m._node_fn), type(rovel._handle_error))
    # Nothing may reach a real Ray: both modules get inert stand-ins before the snapshot that
    # every example is restored to.
    for mod in (m, rovel):
        mod.ray = types.SimpleNamespace(get_actor=inert_actor)
        mod.ray_get = lambda refs: [None] * len(refs)
    for name in ["_application_fn", "_service_fn", "_remote_service_fn", "_interaction_fn",
                 "_infrastructure_fn", "_node_fn", "_remote_node_fn", "_link_fn"]:
        NATIVES[f"m.{name}"] = getattr(m, name)
    for name, value in vars(C).items():
        if isinstance(value, NATIVE_TYPES):
            NATIVES[f"C.{name}"] = value
        elif isinstance(value, property):
            NATIVES[f"C.{name}.fget"] = value.fget
            if value.fset is not None:
                NATIVES[f"C.{name}.fset"] = value.fset
    for name in ["deploy", "start", "stop", "undeploy", "_get_remotes"]:
        NATIVES[f"R.{name}"] = vars(R)[name].__func__
    NATIVES["r._handle_error"] = rovel._handle_error
    assert all(type(f) in NATIVE_TYPES for f in NATIVES.values())
    SNAPSHOT = Snapshot()


def inert_actor(name):
    handle = types.SimpleNamespace()
    remote = types.SimpleNamespace(remote=lambda *a, **k: object())
    handle.entrypoint = handle.ops_entrypoint = remote
    return handle


FN_ATTRS = ("__defaults__", "__kwdefaults__", "__annotations__", "__qualname__", "__name__",
            "__module__", "__doc__")


class Snapshot:
    """The modules' globals, the classes and the native functions' attributes, restored by
    identity after every example (hostile code rebinds and deletes them)."""

    def __init__(self):
        self.modules = [(vars(mod), dict(vars(mod))) for mod in (m, rovel)]
        enums = (ResponseCode, RemoteOps, CallbackType)
        self.classes = [(cls, dict(vars(cls))) for cls in (C, R, SorvaneEvent, *enums)]
        self.functions = [(f, {a: getattr(f, a) for a in FN_ATTRS}) for f in NATIVES.values()]
        # Enum members are shared by every example and take attributes (a deploy of a member
        # given as the placement sets its _deployed).
        self.members = [(member, dict(vars(member))) for enum in enums for member in enum]

    def restore(self):
        for ns, saved in self.modules:
            for key in [k for k in ns if k not in saved]:
                del ns[key]
            for key, value in saved.items():
                if ns.get(key, ns) is not value:
                    ns[key] = value
        for cls, saved in self.classes:
            current = vars(cls)
            for key in [k for k in current if k not in saved]:
                type.__delattr__(cls, key)
            for key, value in saved.items():
                if key in ("__dict__", "__weakref__"):
                    continue
                if current.get(key, current) is not value:
                    type.__setattr__(cls, key, value)
        for f, saved in self.functions:
            for attr, value in saved.items():
                if getattr(f, attr) is not value:
                    setattr(f, attr, value)
            if f.__dict__:
                f.__dict__ = {}
        for member, saved in self.members:
            current = vars(member)
            for key in [k for k in current if k not in saved]:
                del current[key]
            for key, value in saved.items():
                if current.get(key, current) is not value:
                    current[key] = value


# ---------------------------------------------------------------------------------------------
# Building recipes into objects
#
# Values (V):
#   ("lit", x)            a literal: None, bool, int, float, str, bytes
#   ("huge", e)           10**e (past the digit limit of int -> str when e >= 4300)
#   ("enum", "OK")        a member of ResponseCode, RemoteOps or CallbackType, by name
#   ("strsub", s, dunders)  a str subclass instance with hostile dunders
#   ("intsub", n, dunders)  an int subclass instance with hostile dunders
#   ("list"|"tuple", [V]), ("dict", [(V, V)])
#   ("listsub"|"dictsub", contents, dunders)  list/dict subclasses with hostile methods
#   ("selfref", "list"|"dict"), ("deep", n)   self-referential and deeply nested containers
#   ("gen", [V], k)       a generator that yields the values and raises Boom before item k
#   ("obj", attrs, dunders) an instance of a new class: attrs maps a name to V (an instance
#                         attribute) or ("prop", B) (a property); dunders maps a method name to B
#   ("fn", B)             a Python function of any arguments running B
#   ("builtin", name), ("native", path)      a built-in, or one of the modules' own functions
#   ("view", items, names)  a graph's nodes/edges: called with data=True builds `items`,
#                         iterated builds `names`
#   ("meta", B)           a class whose metaclass runs B for isinstance
#   ("event", name, simulator, data)         a SorvaneEvent
#   ("callback", cls_attrs, state)           an instance of a new subclass of SorvaneCallback
#   ("plain", kind, seed) a well-formed graph, placement or dict of placements (plain_recipe)
#   ("as", target, V)     V, also kept under `target` for the effects
#   ("ref", target)       the object kept under `target`
# Behaviours (B), run when a dunder, property or function is called:
#   ("ret", V), ("arg", i), ("self",), ("super",), ("notimpl",), ("raise", kind),
#   ("do", E, B) an effect and then B, ("nth", n, B1, B2) B1 for the first n calls, then B2,
#   ("lookup", target) target[first argument], ("answers", V, delta) one built V per element of
#   the first argument, with delta more (or fewer) at the end, ("refs",) the first argument.
# Effects (E): ("rebind", mod, name, V), ("unbind", mod, name), ("clear"|"pop", target),
#   ("append", target, V), ("setitem"|"delitem", target, key, V), ("setattr"|"delattr", target,
#   name, V), ("defaults", path, V), ("rename", path, V), ("code", path), ("reenter",),
#   ("reenter_other", which), ("gc",).

BUILTINS = {"len": len, "dict": dict, "list": list, "str": str, "repr": repr, "iter": iter,
            "bool": bool, "id": id, "type": type, "tuple": tuple, "hash": hash, "sorted": sorted,
            "format": format}

RAISE = {"boom": Boom, "base": BoomBase, "attr": AttributeError, "type": TypeError,
         "key": KeyError, "stop": StopIteration, "index": IndexError}

MISSING = object()


def native(path):
    return NATIVES[path] if path in NATIVES else getattr(C if path.startswith("C.") else m,
                                                         path.split(".")[-1])


def build(v, w):
    kind = v[0]
    if kind == "lit":
        return v[1]
    if kind == "huge":
        return 10 ** v[1]
    if kind == "enum":
        for enum in (ResponseCode, RemoteOps, CallbackType):
            if v[1] in enum.__members__:
                return enum[v[1]]
        raise LookupError(v[1])
    if kind in ("strsub", "intsub"):
        base = str if kind == "strsub" else int
        ns = methods(v[2], w)
        if "__eq__" in ns and "__hash__" not in ns:
            ns["__hash__"] = base.__hash__
        cls = type("S" if base is str else "I", (base,), ns)
        w.fresh.add(cls)
        return cls(v[1])
    if kind == "list":
        return [build(x, w) for x in v[1]]
    if kind == "tuple":
        return tuple(build(x, w) for x in v[1])
    if kind == "dict":
        return build_dict(dict, v[1], w)
    if kind == "listsub":
        cls = type("L", (list,), methods(v[2], w))
        w.fresh.add(cls)
        return cls(build(x, w) for x in v[1])
    if kind == "dictsub":
        cls = type("D", (dict,), methods(v[2], w))
        w.fresh.add(cls)
        return build_dict(cls, v[1], w)
    if kind == "selfref":
        if v[1] == "list":
            loop = []
            loop.append(loop)
        else:
            loop = {}
            loop["self"] = loop
        return loop
    if kind == "deep":
        deep = []
        for _ in range(v[1]):
            deep = [deep]
        return deep
    if kind == "gen":
        return generator([build(x, w) for x in v[1]], v[2], w)
    if kind == "obj":
        ns = methods(v[2], w)
        instance_attrs = {}
        for name, spec in v[1]:
            if spec[0] == "prop":
                ns[name] = property(behaviour(spec[1], w), lambda s, value: None)
            else:
                instance_attrs[name] = spec
        cls = type("Hostile", (), ns)
        w.fresh.add(cls)
        obj = cls()
        for name, spec in instance_attrs.items():
            object.__setattr__(obj, name, build(spec, w))
        return obj
    if kind == "fn":
        run = behaviour(v[1], w)

        def fn(*args, **kwargs):
            return run(None, *args, **kwargs)
        return fn
    if kind == "builtin":
        return BUILTINS[v[1]]
    if kind == "native":
        return native(v[1])
    if kind == "view":
        return View(v[1], v[2], w)
    if kind == "meta":
        check = behaviour(v[1], w)
        meta = type("Meta", (type,), {"__instancecheck__": lambda cls, obj: check(cls, obj)})
        cls = meta("Trigger", (), {})
        w.fresh.update((meta, cls))
        return cls
    if kind == "event":
        return SorvaneEvent(build(v[1], w), build(v[2], w), build(v[3], w))
    if kind == "callback":
        return build_callback(v[1], v[2], w)
    if kind == "plain":
        return build(plain_recipe(v[1], v[2]), w)
    if kind == "as":
        obj = build(v[2], w)
        w.refs[v[1]] = obj
        return obj
    if kind == "ref":
        return w.refs.get(v[1])
    raise ValueError(f"unknown recipe {kind!r}")


PLAIN_NAMES = ["a", "b", "n1", "n2", "s1", "s2", "tick", 0, 1, 2.0, (1, 2), "a,b", None]


def plain_recipe(kind, seed):
    """A well-formed graph, placement or mapping of placements, made from a seed: the parts that
    only have to be right cost hypothesis one draw instead of dozens."""
    rnd = random.Random(seed)

    def name():
        return ("lit", rnd.choice(PLAIN_NAMES))

    def names(n):
        return ("as", "nodes", ("list", [name() for _ in range(n)]))

    def view(parts):
        items = [("tuple", [name() for _ in range(parts)]) for _ in range(rnd.randint(0, 3))]
        return ("view", ("as", "nodes", ("list", items)), names(rnd.randint(0, 3)))

    def graph():
        return ("as", "infr", ("obj", (("id", name()), ("nodes", view(2)), ("edges", view(3))), ()))

    def placement():
        services = rnd.sample(PLAIN_NAMES, rnd.randint(0, 3))
        hosts = [name() for _ in range(rnd.randint(1, 2))]
        items = [("tuple", [("lit", sid), ("dict", [])]) for sid in services]
        ids = [("lit", sid) for sid in services]
        objects = [(("lit", sid), ("obj", (("id", ("lit", sid)),), ())) for sid in services]
        app = ("obj", (("id", name()),
                       ("nodes", ("view", ("list", items), ("list", ids))),
                       ("edges", view(3)),
                       ("services", ("as", "services", ("dict", objects)))), ())
        hosted = [(("lit", sid), rnd.choice(hosts)) for sid in services]
        mapping = ("as", "mapping", ("dict", hosted))
        return ("obj", (("application", app), ("mapping", mapping),
                        ("service_placement", ("fn", ("lookup", "mapping"))),
                        ("infrastructure", graph())), ())

    if kind == "graph":
        return graph()
    if kind == "placement":
        return placement()
    return ("as", "placements", ("dict", [(name(), placement()) for _ in range(rnd.randint(0, 2))]))


def build_dict(cls, items, w):
    d = cls()
    for k, value in items:
        try:
            d[build(k, w)] = build(value, w)
        except Exception:  # noqa: BLE001 - a key refused while building: left out
            pass
    return d


def generator(values, fail_at, w):
    for i, value in enumerate(values):
        if i == fail_at:
            w.raised.add(Boom)
            raise Boom("generator")
        yield value
    if fail_at is not None and fail_at >= len(values):
        w.raised.add(Boom)
        raise Boom("generator end")


class View:
    """A graph's nodes or edges: nodes(data=True) gives the items, iter(nodes) the names."""

    def __init__(self, items, names, w):
        self.items, self.names, self.w = items, names, w

    def __call__(self, data=False):
        return build(self.items if data else self.names, self.w)

    def __iter__(self):
        return iter(build(self.names, self.w))


def methods(dunders, w):
    ns = {}
    names = {name for name, _ in dunders}
    for name, spec in dunders:
        run = behaviour(spec, w, name)
        if name == "__iter__":
            ns[name] = lambda self, run=run: to_iter(self, run(self))
        elif name == "__hash__":
            def hash_(self, run=run):
                value = run(self)
                if not isinstance(value, int):
                    w.bad_hash = True
                return value
            ns[name] = hash_
        elif name == "__getitem__" and "__iter__" not in names:
            # Without __iter__, iteration reads items 0, 1, 2, ... until IndexError: a class
            # whose items never run out is a sequence of 256 items.
            def getitem(self, *args, run=run, reads=[0], **kwargs):  # noqa: B006 (a counter)
                reads[0] += 1
                if reads[0] > 256:
                    raise IndexError("the end of a hostile sequence")
                return run(self, *args, **kwargs)
            ns[name] = getitem
        else:
            ns[name] = lambda self, *args, run=run, **kwargs: run(self, *args, **kwargs)
    return ns


def to_iter(obj, value):
    """What __iter__ returns: itself or any other object as it is (the interpreter then checks
    that it is an iterator), the iterator of a list or other iterable the recipe built."""
    if value is obj:
        return value
    try:
        return iter(value)
    except Exception:  # noqa: BLE001 - returned as it is, for the interpreter to refuse
        return value


def behaviour(b, w, dunder=None):
    """A callable (self, *args, **kwargs) running B."""
    kind = b[0]
    if kind == "ret":
        spec = b[1]
        return lambda self, *a, **k: quiet(dunder, self, a, w) if w.building else build(spec, w)
    if kind == "arg":
        i = b[1]
        return lambda self, *a, **k: a[i] if i < len(a) else None
    if kind == "self":
        return lambda self, *a, **k: self
    if kind == "notimpl":
        return lambda self, *a, **k: NotImplemented
    if kind == "super":
        return lambda self, *a, **k: default(dunder, self, a, k)
    if kind == "raise":
        exc = RAISE[b[1]]

        def raiser(self, *a, **k):
            if w.building:
                return quiet(dunder, self, a, w)
            w.raised.add(exc)
            raise exc("hostile")
        return raiser
    if kind == "do":
        effect, then = b[1], behaviour(b[2], w, dunder)

        def doer(self, *a, **k):
            if not w.building:
                apply(effect, w)
            return then(self, *a, **k)
        return doer
    if kind == "nth":
        n, first, then = b[1], behaviour(b[2], w, dunder), behaviour(b[3], w, dunder)
        calls = [0]

        def nth(self, *a, **k):
            if w.building:
                return quiet(dunder, self, a, w)
            calls[0] += 1
            return (first if calls[0] <= n else then)(self, *a, **k)
        return nth
    if kind == "lookup":
        target = b[1]
        return lambda self, *a, **k: w.refs[target][a[0]]
    if kind == "answers":
        spec, delta = b[1], b[2]

        def answers(self, *a, **k):
            refs = a[0] if a else ()
            out = [build(spec, w) for _ in refs]
            out = out[:len(out) + delta] if delta < 0 else out + [build(spec, w)] * delta
            w.answers = out
            return out
        return answers
    if kind == "refs":
        def refs(self, *a, **k):
            w.answers = a[0] if a else None
            return w.answers
        return refs
    raise ValueError(f"unknown behaviour {kind!r}")


def quiet(dunder, self, args, w):
    """While a recipe is being built, dict literals hash and compare their keys: hostile
    behaviour waits for the call."""
    if dunder == "__hash__":
        return object.__hash__(self)
    if dunder in ("__eq__", "__ne__"):
        return NotImplemented
    return None


def default(dunder, self, args, kwargs):
    if dunder is None:
        return None
    for klass in type(self).__mro__[1:]:
        if dunder in vars(klass):
            return vars(klass)[dunder](self, *args, **kwargs)
    if dunder == "__getattr__":
        raise AttributeError(args[0] if args else dunder)
    return NotImplemented


def apply(e, w):
    kind = e[0]
    refs = w.refs
    if kind == "rebind":
        setattr(m if e[1] == "m" else rovel, e[2], build(e[3], w))
    elif kind == "unbind":
        vars(m if e[1] == "m" else rovel).pop(e[2], None)
    elif kind in ("clear", "pop", "append"):
        target = refs.get(e[1])
        if target is None:
            return
        if kind == "clear":
            target.clear()
        elif kind == "pop":
            if isinstance(target, dict):
                target.pop(next(iter(target), None), None)
            elif target:
                target.pop(0)
        else:
            # An item added at the front of the sequence a walk is reading makes the walk
            # endless, in Python as in the modules: bounded, it makes it long instead.
            w.appends += 1
            if w.appends > MAX_APPENDS:
                return
            if isinstance(target, dict):
                target[len(target)] = build(e[2], w)
            else:
                target.insert(0, build(e[2], w))
    elif kind == "setitem":
        if e[1] in refs:
            refs[e[1]][build(e[2], w)] = build(e[3], w)
    elif kind == "delitem":
        if e[1] in refs:
            del refs[e[1]][build(e[2], w)]
    elif kind == "setattr":
        if e[1] in refs:
            setattr(refs[e[1]], e[2], build(e[3], w))
    elif kind == "delattr":
        if e[1] in refs:
            delattr(refs[e[1]], e[2])
    elif kind == "defaults":
        native(e[1]).__defaults__ = build(e[2], w)
    elif kind == "rename":
        native(e[1]).__qualname__ = build(e[2], w)
    elif kind == "code":
        native(e[1]).__code__
    elif kind == "reenter":
        if w.reenter is not None:
            guarded(w, w.reenter)
    elif kind == "reenter_other":
        guarded(w, REENTRIES[e[1]])
    elif kind == "gc":
        w.collections += 1
        if w.collections <= 2:  # each takes long under -X dev, in a loop all the more
            gc.collect()
    else:
        raise ValueError(f"unknown effect {kind!r}")


# Calls into the modules that hostile code may make in one example. A callable that re-enters
# the collector that calls it once per item would otherwise make work that grows as the number
# of items to the power of the depth, which the recursion limit does not bound in time.
MAX_REENTRIES = 64

# Items hostile code may add in one example.
MAX_APPENDS = 256


def guarded(w, call):
    """A call into the modules from hostile code: its exception propagates, but a SystemError
    is recorded first, in case the outer call clears it."""
    w.reentries += 1
    if w.reentries > MAX_REENTRIES:
        return
    try:
        call()
    except SystemError as exc:
        w.faults.append(f"SystemError in a re-entrant call: {exc}")
        raise


def plain_graph():
    return types.SimpleNamespace(id="g", nodes=lambda data=False: [("n", 1)],
                                 edges=lambda data=False: [("n", "n", 2)])


REENTRIES = {
    "node": lambda: m._node_fn(lambda *a, **k: 1, {}, plain_graph(), None, t=1),
    "link": lambda: m._link_fn(lambda *a, **k: 1, {}, plain_graph(), None),
    "call": lambda: C("x")._call(SorvaneEvent("tick", None, {})),
    "events": lambda: C("x", triggers={"a": bool})._triggered_events(),
    "handle_error": lambda: rovel._handle_error([ResponseCode.OK]),
    "get_remotes": lambda: R._get_remotes(types.SimpleNamespace(
        application=types.SimpleNamespace(services={}), infrastructure=None)),
    "remote_node": lambda: m._remote_node_fn(len, types.SimpleNamespace(id=1, nodes=[])),
}


CALLBACK_STATE = ("_name", "_type", "_activates_on", "_activates_every_n", "_triggers",
                  "_remote", "_report", "_n_calls", "_activated_by", "_data")


def build_callback(cls_attrs, state, w):
    ns = {}
    for name, spec in cls_attrs:
        if name == "__call__" and spec[0] == "native":
            ns[name] = build(spec, w)
        elif name == "__call__":
            run = behaviour(spec, w)
            ns[name] = lambda self, *a, run=run, **k: run(self, *a, **k)
        elif spec[0] == "prop":
            ns[name] = property(behaviour(spec[1], w), lambda s, value: None)
        else:
            ns.update(methods([(name, spec)], w))
    cls = type("Probe", (C,), ns)
    w.fresh.add(cls)
    w.refs["cb_cls"] = cls
    cb = cls.__new__(cls)
    # The state __init__ leaves with its defaults, set directly: a hostile __setattr__ waits
    # for the call.
    defaults = dict(_name="probe", _type=None, _activates_on=["tick"],
                    _activates_every_n={"tick": 1},
                    _triggers={}, _remote=False, _report=["csv"], _n_calls={"tick": 0},
                    _activated_by=None, _data=None)
    for name, spec in state:
        defaults[name] = build(spec, w)
    for name, value in defaults.items():
        object.__setattr__(cb, name, value)
    w.refs.setdefault("callback", cb)
    return cb


# ---------------------------------------------------------------------------------------------
# Strategies

def first(t):
    return t[0]


def by_name(pairs):
    """(name, value) pairs with each name once, the last value kept: cheaper for hypothesis than
    a list drawn unique."""
    return tuple(dict(pairs).items())


def strategies():
    """The shared hypothesis strategies (made once hypothesis is imported)."""
    from hypothesis import strategies as st

    S = types.SimpleNamespace(st=st)
    names = ["tick", "end", "fn", "placements", "infr", "placement_view", "data", "node", "service",
             "link", "simulation", "application", "interaction", "infrastructure", "csv", "name",
             "_n_calls", "self", "trigger_obj", "event_data", "response_codes", "placement",
             "value", "__call__", "type", "_type", "id", "service_id", "kwargs", "args", "n1",
             "n2", "s1", "s2", "a", "b"]
    S.names = st.sampled_from(names)
    S.lit = st.one_of(
        st.none(), st.booleans(), st.integers(-3, 3), S.names,
        st.sampled_from([2**63 - 1, -2**63, 2**64, 10**30, -1, 0.5, 1e308, -0.0, "", "a,b",
                         "\udcff", b"x", ()]),
        st.text(max_size=4))
    S.leaf = st.one_of(
        st.tuples(st.just("lit"), S.lit),
        st.tuples(st.just("lit"), S.lit),
        st.tuples(st.just("lit"), S.names),
        st.tuples(st.just("huge"), st.sampled_from([20, 5000])),
        st.tuples(st.just("enum"), st.sampled_from(["OK", "ERROR", "DEPLOY", "UNDEPLOY", "NODE",
                                                    "SERVICE", "SIMULATION", "LINK"])),
        st.tuples(st.just("selfref"), st.sampled_from(["list", "dict"])),
        st.tuples(st.just("deep"), st.sampled_from([3, 20000])),
        st.tuples(st.just("builtin"), st.sampled_from(sorted(BUILTINS))),
        st.tuples(st.just("native"), st.sampled_from(NATIVE_PATHS)),
        st.tuples(st.just("ref"), st.sampled_from(TARGETS)),
    )
    S.raise_ = st.tuples(st.just("raise"), st.sampled_from(
        ["boom", "boom", "boom", "base", "attr", "type", "key", "stop", "index"]))

    def weighted(*pairs):
        """one_of with weights. Hypothesis drops repeated branches and spreads a one_of given as
        a branch (mapped or not) into its own branches, which would weigh a rich alternative by
        its number of kinds: each copy is wrapped in a tuple, which it does not look into."""
        return st.one_of(*[st.tuples(s).map(first) for w, s in pairs for _ in range(w)])
    S.weighted = weighted

    def dunders_of(allowed, behaviour, max_size=2):
        pairs = st.tuples(st.sampled_from(allowed), behaviour)
        return st.lists(pairs, max_size=max_size).map(by_name)

    def level(value, behaviour):
        """Values, behaviours and effects one level of nesting above the given ones."""
        effect = st.one_of(
            st.tuples(st.just("rebind"), st.sampled_from(["m", "r"]), st.sampled_from(GLOBALS),
                      value),
            st.tuples(st.just("unbind"), st.sampled_from(["m", "r"]), st.sampled_from(GLOBALS)),
            st.tuples(st.sampled_from(["clear", "pop"]), st.sampled_from(TARGETS)),
            st.tuples(st.just("append"), st.sampled_from(TARGETS), S.leaf),
            st.tuples(st.just("setitem"), st.sampled_from(TARGETS), S.leaf, S.leaf),
            st.tuples(st.just("delitem"), st.sampled_from(TARGETS), S.leaf),
            st.tuples(st.just("setattr"), st.sampled_from(TARGETS), st.sampled_from(ATTRS), value),
            st.tuples(st.just("delattr"), st.sampled_from(TARGETS), st.sampled_from(ATTRS)),
            st.tuples(st.just("defaults"), st.sampled_from(NATIVE_PATHS), st.sampled_from(
                [("lit", None), ("lit", ()), ("tuple", [("lit", 1)] * 9), ("lit", 1)])),
            st.tuples(st.just("rename"), st.sampled_from(NATIVE_PATHS), st.sampled_from(
                [("lit", "x"), ("lit", 1), ("strsub", "q", ())])),
            st.tuples(st.just("code"), st.sampled_from(NATIVE_PATHS)),
            st.just(("reenter",)),
            st.tuples(st.just("reenter_other"), st.sampled_from(sorted(REENTRIES))),
            st.just(("gc",)),
        )
        beh = weighted(
            (3, st.tuples(st.just("ret"), value)), (2, st.tuples(st.just("ret"), S.leaf)),
            (2, S.raise_), (1, st.tuples(st.just("arg"), st.integers(0, 2))),
            (1, st.sampled_from([("self",), ("super",), ("notimpl",)])),
            (2, st.tuples(st.just("do"), effect, behaviour)),
            (1, st.tuples(st.just("nth"), st.integers(1, 3), behaviour, behaviour)))
        val = weighted(
            (8, S.leaf),
            (1, st.tuples(st.sampled_from(["list", "tuple"]), st.lists(value, max_size=3))),
            (1, st.tuples(st.just("dict"), st.lists(st.tuples(value, value), max_size=3))),
            (1, st.tuples(st.just("gen"), st.lists(value, max_size=3),
                          st.none() | st.integers(0, 3))),
            (1, st.tuples(st.just("strsub"), S.names, dunders_of(
                ["__eq__", "__hash__", "__format__", "__str__", "__repr__"], beh))),
            (1, st.tuples(st.just("intsub"), st.integers(-2, 3), dunders_of(
                ["__eq__", "__hash__", "__mod__", "__add__", "__iadd__", "__index__", "__bool__",
                 "__format__"], beh))),
            (1, st.tuples(st.just("listsub"), st.lists(value, max_size=3), dunders_of(
                ["pop", "__iter__", "__len__", "__getitem__", "__eq__"], beh))),
            (1, st.tuples(st.just("dictsub"), st.lists(st.tuples(S.leaf, value), max_size=3),
                          dunders_of(["values", "keys", "items", "__getitem__", "__iter__",
                                      "__len__", "__missing__"], beh))),
            (2, st.tuples(st.just("obj"), st.lists(st.tuples(st.sampled_from(ATTRS), weighted(
                (2, value), (1, st.tuples(st.just("prop"), behaviour)))), max_size=2).map(by_name),
                dunders_of(HOSTILE_DUNDERS, beh))),
            (2, st.tuples(st.just("fn"), beh)),
            (1, st.tuples(st.just("meta"), beh)))
        return val, beh, effect

    beh0 = st.one_of(st.tuples(st.just("ret"), S.leaf), S.raise_,
                     st.tuples(st.just("arg"), st.integers(0, 2)),
                     st.sampled_from([("self",), ("super",), ("notimpl",)]))
    # One level of nesting is the common case; the second is for the callables at the centre of
    # a call (a collector's fn, a callback's logic), where deeper mischief pays.
    S.value, S.behaviour, S.effect = level(S.leaf, beh0)
    S.value2, S.behaviour2, S.effect2 = level(S.value, S.behaviour)

    def dunders(allowed, max_size=2):
        return dunders_of(allowed, S.behaviour, max_size)
    S.dunders = dunders

    def hostile(attrs=(), allowed=HOSTILE_DUNDERS, good=None):
        """An object with hostile dunders and, for the given attribute names, instance
        attributes (from `good` when given, else any value) or hostile properties."""
        attr = st.sampled_from(list(attrs) or ["name", "id"])
        value = good if good is not None else S.value
        entry = weighted((3, value), (1, st.tuples(st.just("prop"), S.behaviour)))
        return st.tuples(st.just("obj"),
                         st.lists(st.tuples(attr, entry), max_size=len(attrs) or 1).map(by_name),
                         dunders(allowed))
    S.hostile = hostile

    def mostly(good, bad=None, weight=4):
        return weighted((weight, good), (1, bad if bad is not None else S.value))
    S.mostly = mostly

    def shaped(attrs):
        """An object with exactly these attributes (name -> strategy); now and then one of them is
        a hostile property, and the object may carry hostile dunders."""
        def pick(name, strat):
            return weighted((12, strat), (1, st.tuples(st.just("prop"), S.behaviour)))
        return st.tuples(st.just("obj"),
                         st.tuples(*[st.tuples(st.just(n), pick(n, s)) for n, s in attrs.items()]),
                         dunders(HOSTILE_DUNDERS, max_size=1))
    S.shaped = shaped
    return S


HOSTILE_DUNDERS = ["__eq__", "__ne__", "__hash__", "__bool__", "__len__", "__iter__", "__format__",
                   "__index__", "__mod__", "__add__", "__call__", "__getitem__", "__setitem__",
                   "__contains__", "__repr__", "__str__", "__getattr__", "__setattr__", "keys",
                   "values", "items", "pop", "__lt__"]
GLOBALS = ["ray", "ray_get", "SorvaneEvent", "SorvaneCallback", "_node_fn", "_application_fn",
           "_remote_node_fn", "_remote_service_fn", "_link_fn", "defaultdict", "RemoteOps",
           "ResponseCode", "_handle_error", "RemoteSimRovel", "cast", "List"]
TARGETS = ["placements", "nodes", "answers", "services", "mapping", "callback", "cb_cls", "data",
           "codes", "work", "triggers", "counts", "trigger_cls", "placement", "infr"]
ATTRS = ["name", "_n_calls", "_activates_every_n", "_triggers", "_data", "_type", "type",
         "__call__", "_remote", "id", "nodes", "mapping", "application", "services", "simulator",
         "data", "_deployed", "_call_by_type", "ops_entrypoint", "entrypoint", "get_actor"]
NATIVE_PATHS = ["m._application_fn", "m._service_fn", "m._remote_service_fn", "m._interaction_fn",
                "m._infrastructure_fn", "m._node_fn", "m._remote_node_fn", "m._link_fn",
                "C.__init__", "C.__call__", "C._call", "C._call_by_type", "C._triggered_events",
                "C.name.fget", "C.n_calls.fget", "C.data.fget", "C.type.fget",
                "C.activates_on.fget", "C.activated_by.fget", "C.activated_by.fset",
                "C.report_types.fget", "C.remote.fget", "R.deploy", "R.start", "R.stop",
                "R.undeploy", "R._get_remotes", "r._handle_error"]


# ---------------------------------------------------------------------------------------------
# Families: each is a strategy of recipes (dicts) and a runner that builds and calls.

def call_form(st):
    """How the arguments are passed: all by position, all by keyword, or split."""
    return st.sampled_from(["pos", "pos", "kw", "split"])


def invoke(fn, names, args, form, extra=None):
    extra = extra or {}
    if form == "pos":
        return fn(*args, **extra)
    if form == "kw":
        return fn(**dict(zip(names, args)), **extra)
    k = len(args) // 2
    return fn(*args[:k], **dict(zip(names[k:], args[k:])), **extra)


def families(S):
    st = S.st
    F = {}

    # --- pieces of simulation state ------------------------------------------------------------
    node_name = st.sampled_from([("lit", x) for x in ["a", "b", "n1", "n2", "s1", "tick", "fn", 0,
                                                      1, 2.0, (1, 2), "a,b", None]])
    atom = S.mostly(node_name, S.leaf, weight=5)

    # Well-formed pieces, made from a seed (see plain_recipe): where the state is only passed
    # through, and as the common case of the state that is walked.
    seed = st.integers(0, 2**32 - 1)
    light_graph = seed.map(lambda n: ("plain", "graph", n))
    light_placement = seed.map(lambda n: ("plain", "placement", n))
    light_placements = seed.map(lambda n: ("plain", "placements", n))

    def items(parts):
        good = st.lists(atom, min_size=parts, max_size=parts).map(lambda xs: ("tuple", xs))
        item = S.mostly(good, st.one_of(
            st.lists(atom, min_size=parts, max_size=parts).map(lambda xs: ("list", xs)),
            st.lists(atom, max_size=parts + 1).map(lambda xs: ("tuple", xs)),
            st.tuples(st.just("gen"), st.lists(atom, min_size=parts, max_size=parts),
                      st.none() | st.integers(0, parts)),
            S.value))
        walk = st.lists(item, max_size=3)
        return S.weighted(
            (6, walk.map(lambda xs: ("as", "nodes", ("list", xs)))),
            (1, st.tuples(st.just("gen"), walk, st.none() | st.integers(0, 4))),
            (1, st.tuples(st.just("as"), st.just("nodes"), st.tuples(
                st.just("listsub"), walk, S.dunders(["__iter__", "__len__", "__getitem__"])))),
            (1, S.value))

    def view(parts):
        names = S.weighted(
            (6, st.lists(atom, max_size=4).map(lambda xs: ("as", "nodes", ("list", xs)))),
            (1, st.tuples(st.just("gen"), st.lists(atom, max_size=4),
                          st.none() | st.integers(0, 4))),
            (1, S.value))
        return S.mostly(st.tuples(st.just("view"), items(parts), names), S.value)

    graph = st.tuples(st.just("as"), st.just("infr"), S.shaped(
        {"id": atom, "nodes": view(2), "edges": view(3)}))
    infr = S.weighted((3, light_graph), (4, graph), (1, S.value))

    services_map = st.lists(st.tuples(node_name, S.mostly(
        S.shaped({"id": node_name}))), max_size=3).map(lambda xs: ("as", "services", ("dict", xs)))
    application = S.shaped({"id": atom, "nodes": view(2), "edges": view(3),
                            "services": S.mostly(services_map)})

    @st.composite
    def remote_placement(draw):
        """A placement whose mapping covers its services, now and then broken."""
        services = list(dict.fromkeys(draw(st.lists(node_name, max_size=3))))
        nodes = draw(st.lists(node_name, min_size=1, max_size=2))
        mapping = ("as", "mapping", ("dict", [(s, draw(st.sampled_from(nodes))) for s in services]))
        if draw(st.integers(0, 5)) == 0:
            mapping = draw(S.value)
        svc_ids = ("as", "nodes", ("list", services)) if draw(st.booleans()) else \
            ("gen", services, draw(st.none() | st.integers(0, 3)))
        app = ("obj", (("id", draw(atom)), ("nodes", ("view", ("lit", ()), svc_ids)),
                       ("services", ("as", "services", ("dict", [(s, ("obj", (("id", s),), ()))
                                                                 for s in services])))), ())
        if draw(st.integers(0, 5)) == 0:
            app = draw(application)
        placement = ("obj", (("application", app), ("mapping", mapping),
                             ("service_placement", ("fn", ("lookup", "mapping"))),
                             ("infrastructure", draw(infr))), draw(S.dunders(HOSTILE_DUNDERS, 1)))
        return placement

    placement = S.weighted((2, remote_placement()), (3, light_placement), (1, S.shaped(
        {"application": application, "mapping": S.value, "infrastructure": infr})), (1, S.value))
    placements = S.weighted(
        (2, light_placements),
        (3, st.lists(st.tuples(node_name, placement), max_size=3).map(
            lambda xs: ("as", "placements", ("dict", xs)))),
        (1, st.tuples(st.just("as"), st.just("placements"), st.tuples(
            st.just("dictsub"), st.lists(st.tuples(node_name, placement), max_size=3),
            S.dunders(["values", "keys", "__iter__", "__len__"])))),
        (1, S.value))
    fn = S.mostly(st.tuples(st.just("fn"), S.weighted((3, S.behaviour), (1, S.behaviour2))),
                  st.one_of(
        st.tuples(st.just("builtin"), st.sampled_from(sorted(BUILTINS))),
        st.tuples(st.just("native"), st.sampled_from(NATIVE_PATHS)),
        S.hostile(allowed=["__call__", "__getattr__", "__eq__"]),
        S.value))
    kw_name = st.one_of(S.names, S.names, st.text(min_size=1, max_size=3))
    kwargs = st.lists(st.tuples(kw_name, S.mostly(atom)), max_size=3).map(by_name)
    globals_ = st.lists(st.tuples(st.sampled_from(["m", "r"]), st.sampled_from(GLOBALS),
                                  S.mostly(st.tuples(st.just("native"),
                                                     st.sampled_from(NATIVE_PATHS)),
                                           st.just(("unbind",)), weight=1)), max_size=1)
    S.fn, S.placements, S.infr, S.kwargs = fn, placements, infr, kwargs
    S.atom, S.node_name = atom, node_name
    S.graph, S.application, S.placement = graph, application, placement
    S.remote_placement = remote_placement()
    S.light_graph, S.light_placements = light_graph, light_placements
    S.globals_ = globals_

    # --- SorvaneCallback: construction ---------------------------------------------------------
    on_value = S.mostly(st.one_of(
        st.just(("lit", "tick")),
        st.lists(atom, max_size=3).map(lambda xs: ("list", xs)),
        st.lists(atom, max_size=3).map(lambda xs: ("tuple", xs)),
        st.tuples(st.just("gen"), st.lists(atom, max_size=3), st.none() | st.integers(0, 3)),
        st.tuples(st.just("strsub"), S.names, S.dunders(["__eq__", "__hash__", "__iter__"]))),
        weight=2)
    ctor_args = st.tuples(
        S.mostly(node_name), S.mostly(st.sampled_from([("lit", None), ("lit", "node"),
                                                       ("enum", "NODE")])),
        on_value, S.mostly(st.just(("lit", None))), S.mostly(st.just(("lit", None))),
        S.mostly(st.sampled_from([("lit", "csv"), ("lit", None), ("lit", ""), ("list", [])])),
        S.mostly(st.just(("lit", False))))
    F["construct"] = (st.fixed_dictionaries({
        "cls": S.dunders(["__setattr__", "__getattribute__", "__getattr__"], 2),
        "args": ctor_args,
        "npos": st.integers(1, 8),
        "form": call_form(st),
        "receiver": S.mostly(st.just("new"), st.sampled_from(["plain", "int"]), weight=6),
        "globals": globals_,
    }), run_construct)

    # --- activation, dispatch, triggered events -----------------------------------------------
    call_beh = S.mostly(st.tuples(st.just("ret"), S.leaf), S.behaviour)
    cb_cls = st.lists(st.one_of(
        st.tuples(st.just("__call__"), call_beh),
        st.tuples(st.just("__call__"), call_beh),
        st.tuples(st.just("__call__"), st.tuples(st.just("native"), st.sampled_from(
            ["C._call", "C._call_by_type", "C.__call__", "m._node_fn"]))),
        st.tuples(st.sampled_from(["type", "_remote", "_type", "_n_calls", "_data"]),
                  st.tuples(st.just("prop"), S.behaviour)),
        st.tuples(st.sampled_from(["__getattr__", "__setattr__", "__getattribute__"]),
                  S.behaviour)), max_size=2).map(by_name)
    cb_type = S.mostly(st.sampled_from(
        [("lit", t) for t in [None, "simulation", "application", "service", "interaction",
                              "infrastructure", "node", "link"]]
        + [("enum", t) for t in ["NODE", "SERVICE", "SIMULATION", "LINK"]]), S.value, weight=5)
    counts = S.mostly(st.tuples(st.just("as"), st.just("counts"), st.tuples(
        st.just("dict"), st.lists(st.tuples(st.just(("lit", "tick")), S.mostly(
            st.sampled_from([("lit", 0), ("lit", 5), ("lit", 2**63 - 1), ("lit", -2**63),
                             ("huge", 20)]), weight=3)), min_size=1, max_size=1))), weight=3)
    periods = S.mostly(st.tuples(st.just("dict"), st.lists(st.tuples(
        st.just(("lit", "tick")), S.mostly(st.sampled_from(
            [("lit", 1), ("lit", 2), ("lit", -1), ("lit", 0), ("lit", 0.5), ("huge", 20),
             ("lit", -2**63)]))), min_size=1, max_size=1)), weight=3)
    triggers = st.lists(st.tuples(S.mostly(node_name), S.mostly(
        st.tuples(st.just("fn"), S.behaviour), st.one_of(
            st.tuples(st.just("builtin"), st.sampled_from(["bool", "len", "id", "str"])),
            st.tuples(st.just("native"), st.sampled_from(NATIVE_PATHS))))), max_size=3)
    state = st.lists(st.one_of(
        st.tuples(st.just("_type"), cb_type), st.tuples(st.just("_type"), cb_type),
        st.tuples(st.just("_remote"), S.mostly(st.sampled_from([("lit", True), ("lit", False)]))),
        st.tuples(st.just("_n_calls"), counts),
        st.tuples(st.just("_activates_every_n"), periods),
        st.tuples(st.just("_triggers"),
                  S.mostly(triggers.map(lambda t: ("as", "triggers", ("dict", t))))),
        st.tuples(st.just("_data"), S.value),
        st.tuples(st.just("__call__"), fn),
    ), max_size=3).map(by_name)
    callback = st.tuples(st.just("callback"), cb_cls, state)
    simulator = S.weighted((4, st.tuples(light_placements, light_graph, node_name).map(
        lambda t: ("obj", (("placements", t[0]), ("infrastructure", t[1]),
                           ("placement_view", t[2])), ()))),
        (1, S.shaped({"placements": placements, "infrastructure": infr,
                      "placement_view": S.mostly(atom)})))
    data = S.mostly(kwargs.map(lambda kv: ("as", "data",
                                           ("dict", [(("lit", k), v) for k, v in kv]))),
                    st.one_of(st.just(("lit", None)),
                              st.lists(st.tuples(st.just("tuple"), st.tuples(
                                  S.names.map(lambda n: ("lit", n)), atom).map(list)),
                                  max_size=2).map(lambda xs: ("list", xs)),
                              S.hostile(allowed=["keys", "__getitem__", "__iter__", "__len__"]),
                              S.value), weight=3)
    event = st.tuples(st.just("event"), S.mostly(st.just(("lit", "tick")), weight=5),
                      S.mostly(simulator, weight=6), data)
    trigger = S.mostly(event, st.one_of(
        st.tuples(st.just("callback"), st.just(()), st.tuples(st.tuples(st.just("_name"), S.mostly(
            st.just(("lit", "tick")))))),
        S.hostile(["name"], good=S.mostly(st.just(("lit", "tick")))),
        S.value), weight=4)
    trigger = st.tuples(st.just("as"), st.just("trigger"), trigger)
    remote = st.fixed_dictionaries({
        "get_actor": S.mostly(st.just(("handle",)), S.behaviour, weight=5),
        "submit": S.mostly(st.tuples(st.just("ret"), st.just(("obj", (), ()))), S.behaviour,
                           weight=5),
        "ray_get": S.weighted(
            (3, st.tuples(st.just("answers"), S.mostly(atom),
                          S.mostly(st.just(0), st.integers(-2, 2)))),
            (2, st.just(("refs",))),
            (1, st.one_of(S.behaviour, st.tuples(st.just("do"), S.effect, st.tuples(
                st.just("answers"), atom, st.just(0)))))),
        "answers_type": S.mostly(st.just(()),
                                 S.dunders(["pop", "__len__", "__getitem__", "__iter__"]),
                                 weight=4),
    })
    S.remote = remote
    F["activation"] = (st.fixed_dictionaries({
        "callback": callback, "trigger": trigger, "times": st.integers(1, 3),
        "form": call_form(st), "unbound": S.mostly(st.just(False), st.just(True), weight=6),
        "globals": globals_,
    }), run_activation)
    F["dispatch"] = (st.fixed_dictionaries({
        "callback": callback, "trigger": trigger, "form": call_form(st), "globals": globals_,
        "remote": remote,
    }), run_dispatch)
    F["triggered"] = (st.fixed_dictionaries({
        "callback": callback, "ops": st.lists(st.sampled_from(
            ["events", "events", "name", "n_calls", "data", "type", "activates_on",
             "activated_by", "report_types", "remote", "set_activated_by", "fget_other",
             "fset_other", "events_other"]), min_size=1, max_size=4),
        "value": S.value, "other": S.value, "globals": globals_, "prop": st.integers(0, 7),
    }), run_triggered)

    # --- local collectors ---------------------------------------------------------------------
    local = {
        "application": ("m._application_fn", ["fn", "placements", "infr"]),
        "service": ("m._service_fn", ["fn", "placements", "infr"]),
        "interaction": ("m._interaction_fn", ["fn", "placements", "infr"]),
        "infrastructure": ("m._infrastructure_fn", ["fn", "infr", "placement_view"]),
        "node": ("m._node_fn", ["fn", "placements", "infr", "placement_view"]),
        "link": ("m._link_fn", ["fn", "placements", "infr", "placement_view"]),
    }
    arg_strategies = {"fn": fn, "placements": placements, "infr": infr,
                      "placement_view": S.mostly(atom)}
    # Plain calls, whose result the oracles check against the same walk in Python: well-formed
    # state and a callable that returns one of its arguments or a plain value.
    plain_fn = st.one_of(st.tuples(st.just("fn"), st.tuples(st.just("arg"), st.integers(0, 2))),
                         st.tuples(st.just("fn"), st.tuples(st.just("ret"), node_name)))
    plain_kwargs = st.lists(st.tuples(S.names, node_name), max_size=2).map(by_name)
    plain_args = {"fn": plain_fn, "placements": light_placements, "infr": light_graph,
                  "placement_view": node_name}

    def collector_family(path, params, args, extra=None):
        def recipe(args, kwargs, globals_strategy, more):
            return st.fixed_dictionaries({
                "path": st.just(path), "params": st.just(params),
                "args": st.tuples(*[args[p] for p in params]), "kwargs": kwargs,
                "form": call_form(st), "globals": globals_strategy, **more})
        plain_more = {"remote": st.just(PLAIN_REMOTE)} if extra else {}
        return (S.weighted((4, recipe(args, kwargs, globals_, extra or {})),
                           (1, recipe(plain_args, plain_kwargs, st.just([]), plain_more))),
                run_collector)

    for family, (path, params) in local.items():
        F[family] = collector_family(path, params, arg_strategies)

    # --- remote collectors --------------------------------------------------------------------
    node_infr = st.tuples(st.just("as"), st.just("infr"), S.shaped(
        {"id": atom, "nodes": S.mostly(st.one_of(
            st.lists(atom, max_size=4).map(lambda xs: ("as", "nodes", ("list", xs))),
            st.tuples(st.just("view"), st.just(("lit", ())),
                      st.lists(atom, max_size=4).map(lambda xs: ("as", "nodes", ("list", xs)))),
            st.tuples(st.just("gen"), st.lists(atom, max_size=4),
                      st.none() | st.integers(0, 4))))}))
    remote_args = dict(arg_strategies,
                       infr=S.weighted((2, light_graph), (3, node_infr), (1, S.value)))
    F["remote_service"] = collector_family("m._remote_service_fn", ["fn", "placements", "infr"],
                                           remote_args, {"remote": remote})
    F["remote_node"] = collector_family("m._remote_node_fn", ["fn", "infr"], remote_args,
                                        {"remote": remote})

    # --- rovel --------------------------------------------------------------------------------
    code = S.mostly(st.sampled_from([("enum", "OK"), ("enum", "OK"), ("enum", "ERROR")]), S.value)
    pair = S.mostly(st.tuples(st.just("tuple"), st.tuples(
        code, S.mostly(S.shaped({"id": node_name}), st.just(("lit", None)))).map(list)), S.value)
    rovel_placement = S.weighted((4, remote_placement()), (4, light_placement), (1, S.shaped(
        {"application": application, "infrastructure": infr})), (1, S.value))
    for op in ["deploy", "start", "stop", "undeploy", "get_remotes"]:
        answer = pair if op == "undeploy" else code
        F[op] = (st.fixed_dictionaries({
            "op": st.just(op),
            "placement": st.tuples(st.just("as"), st.just("placement"), rovel_placement),
            "remote": st.fixed_dictionaries({
                "get_actor": S.mostly(st.just(("handle",)), S.behaviour, weight=5),
                "submit": S.mostly(st.tuples(st.just("ret"), st.just(("obj", (), ()))),
                                   S.behaviour, weight=5),
                "ray_get": S.mostly(st.tuples(st.just("answers"), answer, S.mostly(
                    st.just(0), st.integers(-2, 2))), st.one_of(
                        st.just(("refs",)), S.behaviour,
                        st.tuples(st.just("do"), S.effect,
                                  st.tuples(st.just("answers"), answer, st.just(0))))),
                "answers_type": S.mostly(st.just(()), S.dunders(["pop", "__len__", "__iter__"]),
                                         weight=4),
            }),
            "form": call_form(st), "instance": st.booleans(), "globals": globals_,
        }), run_rovel)
    F["handle_error"] = (st.fixed_dictionaries({
        "codes": S.mostly(st.one_of(
            st.lists(code, max_size=4).map(lambda xs: ("as", "codes", ("list", xs))),
            st.lists(code, max_size=4).map(lambda xs: ("tuple", xs)),
            st.tuples(st.just("gen"), st.lists(code, max_size=4), st.none() | st.integers(0, 4)),
            st.tuples(st.just("listsub"), st.lists(code, max_size=3), S.dunders(
                ["__iter__", "__format__", "__len__", "__repr__"]))), weight=3),
        "form": call_form(st), "globals": globals_,
    }), run_handle_error)

    # --- the function objects themselves -----------------------------------------------------
    @st.composite
    def signature_mix(draw):
        """A function, and a number of positional arguments and keyword names around its
        signature: mostly one off, now and then anything."""
        path = draw(st.sampled_from(NATIVE_PATHS))
        code = NATIVES[path].__code__
        params = list(code.co_varnames[:code.co_argcount])
        npos = draw(S.weighted((4, st.integers(max(len(params) - 2, 0), len(params) + 1)),
                               (1, st.integers(0, 10))))
        keywords = draw(st.lists(S.weighted(
            (4, st.sampled_from(params or ["x"]).map(lambda n: ("lit", n))),
            (1, S.names.map(lambda n: ("lit", n))),
            (1, st.tuples(st.just("strsub"), st.sampled_from(params or ["x"]),
                          S.dunders(["__eq__", "__hash__"], 2)))), max_size=3))
        return path, npos, keywords
    F["functions"] = (st.fixed_dictionaries({
        "mix": signature_mix(),
        "defaults": S.weighted((4, st.just(None)), (3, st.lists(S.mostly(atom), max_size=10).map(
            lambda xs: ("tuple", xs))), (1, S.value)),
        "kwdefaults": S.weighted((6, st.just(None)), (2, st.just(("dict", []))), (1, S.value)),
        "value": S.mostly(atom, S.value, weight=3),
        "ops": st.lists(st.sampled_from(
            ["call", "call", "call", "get", "code", "signature", "annotations", "set_annotations",
             "pickle", "copy", "repr", "rename", "weakref", "dict", "module", "doc"]),
            min_size=1, max_size=4),
        "other": S.value,
    }), run_functions)
    return F


# ---------------------------------------------------------------------------------------------
# Runners: build the recipe, set the stage, call. World.building is False from the first call.

def stage(r, w):
    """Rebinds the module globals the recipe names, and installs the Ray stand-ins."""
    for mod, name, spec in r.get("globals", ()):
        if spec == ("unbind",):
            vars(m if mod == "m" else rovel).pop(name, None)
        else:
            setattr(m if mod == "m" else rovel, name, build(spec, w))
    if "remote" in r:
        install_remote(r["remote"], w)


def install_remote(spec, w):
    produce_ref = behaviour(spec["submit"], w)

    def submit(self, *args, **kwargs):
        ref = produce_ref(self, *args, **kwargs)
        w.submitted.append(ref)
        return ref

    def make_handle(name):
        h = types.SimpleNamespace()
        h.entrypoint = h.ops_entrypoint = types.SimpleNamespace(
            remote=lambda *a, **k: submit(None, *a, **k))
        return h
    get_actor = (make_handle if spec["get_actor"] == ("handle",)
                 else behaviour(spec["get_actor"], w))
    answers_cls = (type("Answers", (list,), methods(spec["answers_type"], w))
                   if spec["answers_type"] else None)
    produce = behaviour(spec["ray_get"], w)

    def ray_get(refs):
        w.refs["work"] = refs
        out = produce(None, refs)
        if answers_cls is not None and type(out) is list:
            out = answers_cls(out)
        w.answers = out
        w.refs["answers"] = out
        return out
    ray = types.SimpleNamespace(get_actor=(lambda name: get_actor(name)) if
                                spec["get_actor"] == ("handle",) else
                                (lambda name: get_actor(None, name)))
    for mod in (m, rovel):
        mod.ray = ray
        mod.ray_get = ray_get


def run_construct(r, w):
    receiver = r["receiver"]
    cls = type("Made", (C,), methods(r["cls"], w))
    w.fresh.add(cls)
    w.refs["cb_cls"] = cls
    args = [build(a, w) for a in r["args"]]
    stage(r, w)
    w.building = False
    names = ["name", "callback_type", "activates_on", "activates_every_n", "triggers", "report",
             "remote"]
    npos = min(r["npos"], len(args))
    if receiver == "new":
        if r["form"] == "pos":
            return cls(*args[:npos], **dict(zip(names[npos:], args[npos:])))
        return invoke(cls, names, args, r["form"])
    obj = types.SimpleNamespace() if receiver == "plain" else 5
    return invoke(C.__init__, ["self"] + names, [obj] + args, r["form"])


def run_activation(r, w):
    cb = build(r["callback"], w)
    trigger = build(r["trigger"], w)
    trigger_cls(trigger, w)
    stage(r, w)
    w.building = False
    call = (lambda: C._call(cb, trigger)) if r["unbound"] else \
        (lambda: invoke(cb._call, ["trigger_obj"], [trigger], r["form"]))
    w.reenter = call
    for _ in range(r["times"]):
        call()


def trigger_cls(trigger, w):
    """The trigger's class, for the effects, when it is one they may change: made for this
    example, or SorvaneEvent (restored after each example)."""
    cls = type(trigger)
    if cls in w.fresh or cls is SorvaneEvent:
        w.refs["trigger_cls"] = cls


def run_dispatch(r, w):
    cb = build(r["callback"], w)
    trigger = build(r["trigger"], w)
    trigger_cls(trigger, w)
    stage(r, w)
    w.building = False
    w.reenter = lambda: cb._call_by_type(trigger)
    return invoke(C._call_by_type, ["self", "trigger_obj"], [cb, trigger], r["form"])


PROPERTIES = ["name", "n_calls", "data", "type", "activates_on", "activated_by", "report_types",
              "remote"]


def run_triggered(r, w):
    cb = build(r["callback"], w)
    value = build(r["value"], w)
    other = build(r["other"], w)
    stage(r, w)
    w.building = False
    w.reenter = cb._triggered_events
    for op in r["ops"]:
        if op == "events":
            cb._triggered_events()
        elif op == "events_other":
            C._triggered_events(other)
        elif op == "set_activated_by":
            cb.activated_by = value
        elif op == "fget_other":
            vars(C)[PROPERTIES[r["prop"]]].fget(other)
        elif op == "fset_other":
            C.activated_by.fset(other, value)
        else:
            getattr(cb, op)


def run_collector(r, w):
    fn = NATIVES[r["path"]]
    args = [build(a, w) for a in r["args"]]
    kwargs = {k: build(v, w) for k, v in r["kwargs"]}
    stage(r, w)
    w.plain = plain_collector_call(r)
    w.building = False
    w.reenter = lambda: fn(*args, **kwargs)
    w.call = (args, kwargs)
    w.result = invoke(fn, r["params"], args, r["form"], kwargs)


def run_rovel(r, w):
    placement = build(r["placement"], w)
    stage(r, w)
    w.building = False
    op = "_get_remotes" if r["op"] == "get_remotes" else r["op"]
    target = R() if r["instance"] else R
    call = getattr(target, op)
    w.reenter = lambda: call(placement)
    return invoke(call, ["placement"], [placement], r["form"])


def run_handle_error(r, w):
    codes = w.codes = build(r["codes"], w)
    stage(r, w)
    w.building = False
    w.reenter = lambda: rovel._handle_error(codes)
    return invoke(rovel._handle_error, ["response_codes"], [codes], r["form"])


BINDING_ERRORS = ("() takes ", "() missing ", "() got ", "() keywords must be strings")


def run_functions(r, w):
    path, npos, keyword_specs = r["mix"]
    fn = NATIVES[path]
    defaults = build(r["defaults"], w) if r["defaults"] is not None else MISSING
    kwdefaults = build(r["kwdefaults"], w) if r["kwdefaults"] is not None else MISSING
    keywords = [build(k, w) for k in keyword_specs]
    value = build(r["value"], w)
    other = build(r["other"], w)
    w.plain = is_plain(r["value"]) and is_plain(r["defaults"]) and all(
        k[0] == "lit" for k in keyword_specs)
    w.building = False
    w.reenter = lambda: fn(value)
    if defaults is not MISSING:
        fn.__defaults__ = defaults
    if kwdefaults is not MISSING:
        fn.__kwdefaults__ = kwdefaults
    for op in r["ops"]:
        if op == "call":
            call_differential(fn, npos, keywords, value, w)
        elif op == "get":
            bound = fn.__get__(other, type(other))
            if bound is not fn:
                call_differential(bound, max(npos - 1, 0), keywords, value, w)
            fn.__get__(None, C)
        elif op == "code":
            code = fn.__code__
            code.co_varnames, code.co_argcount, code.co_flags, code.co_qualname
        elif op == "signature":
            inspect.signature(fn)
        elif op == "annotations":
            fn.__annotations__.get("return")
        elif op == "set_annotations":
            fn.__annotations__ = other
        elif op == "pickle":
            for protocol in (0, pickle.HIGHEST_PROTOCOL):
                try:
                    pickle.loads(pickle.dumps(fn, protocol))
                except pickle.PicklingError:
                    pass
        elif op == "copy":
            copy.copy(fn), copy.deepcopy(fn)
        elif op == "repr":
            repr(fn), str(fn)
        elif op == "rename":
            fn.__qualname__ = other
        elif op == "weakref":
            weakref.ref(fn)
        elif op == "dict":
            fn.__dict__ = other
        elif op == "module":
            fn.__module__ = other
        elif op == "doc":
            fn.__doc__ = other


def reference_def(fn):
    """A Python function with the signature, qualified name and defaults of `fn`."""
    code = fn.__code__
    names = list(code.co_varnames[:code.co_argcount])
    index = code.co_argcount
    if code.co_flags & inspect.CO_VARARGS:
        names.append("*" + code.co_varnames[index])
        index += 1
    if code.co_flags & inspect.CO_VARKEYWORDS:
        names.append("**" + code.co_varnames[index])
    ns = {}
    exec(f"def f({', '.join(names)}): pass", ns)
    ref = ns["f"]
    ref.__qualname__ = fn.__qualname__
    ref.__defaults__ = fn.__defaults__
    return ref


def call_differential(fn, npos, keywords, value, w):
    """Calls the native function with the odd mix, and a def of the same signature with the same
    mix: when the def refuses the arguments, the native function must refuse them alike."""
    target = fn.__func__ if isinstance(fn, types.MethodType) else fn
    args = [value] * npos
    kwargs = {}
    for k in keywords:
        if isinstance(k, str):
            kwargs[k] = value
    expected = None
    if not w.plain:  # hostile keywords or values may answer differently the second time
        fn(*args, **kwargs)
        return
    if type(target) in NATIVE_TYPES:
        try:
            ref = reference_def(target)
        except (TypeError, ValueError):  # __defaults__ the def refuses
            ref = None
        if ref is not None:
            bound_ref = ref if fn is target else types.MethodType(ref, fn.__self__)
            try:
                bound_ref(*args, **kwargs)
            except TypeError as exc:
                expected = str(exc)
            except Exception:  # noqa: BLE001 - hostile keywords: no reference
                expected = MISSING
    try:
        fn(*args, **kwargs)
    except TypeError as exc:
        if expected not in (None, MISSING) and str(exc) != expected:
            w.faults.append(f"argument error differs from a def's: {str(exc)!r} != {expected!r}")
        elif expected is None and str(exc).startswith(fn.__qualname__ if isinstance(
                fn.__qualname__, str) else "?") and any(s in str(exc) for s in BINDING_ERRORS):
            w.faults.append(f"arguments a def accepts were refused: {exc}")
        raise
    except BaseException:
        raise
    else:
        if expected not in (None, MISSING):
            w.faults.append(f"arguments a def refuses were accepted (def: {expected})")


# ---------------------------------------------------------------------------------------------
# Oracles: where the answer is known whatever the inputs were.

def intact():
    """Whether the collaborators that decide an operation's check are still the modules' own."""
    saved = SNAPSHOT.modules[1][1]
    return all(vars(rovel).get(k) is saved[k] for k in
               ("_handle_error", "ResponseCode", "RemoteSimRovel", "cast", "List")) and \
        vars(R).get("_get_remotes") is SNAPSHOT.classes[1][1]["_get_remotes"]


def oracle(family, w, outcome, exc):
    """A wrong result that the outcome alone does not show, or None. Only plain answers are
    judged: exact lists of exact response codes, which run no code when compared."""
    if not w.intact:
        return None
    if family in ("deploy", "start", "stop", "undeploy") and outcome == "ok":
        answers = w.answers
        if type(answers) is list:
            codes = [a[0] if type(a) is tuple and len(a) == 2 else a for a in answers] \
                if family == "undeploy" else answers
            if all(type(c) is ResponseCode for c in codes) and ResponseCode.ERROR in codes:
                return "an error code was reported as success"
    if family in LOCAL_FAMILIES + ("remote_service", "remote_node") and outcome == "ok" and w.plain:
        w.building = False  # the callables run as they did in the call
        try:
            if family in LOCAL_FAMILIES:
                expected = reference_collector(family, *w.call)
            else:
                expected = reference_pairing(family, *w.call, w.submitted)
            agree = same(w.result, expected)
        except Exception:  # noqa: BLE001 - values that cannot be compared (self-referential)
            return None
        finally:
            w.building = True
        if not agree:
            return f"result {w.result!r} differs from the same walk in Python: {expected!r}"
    if family == "handle_error" and type(w.codes) in (list, tuple) and all(
            type(c) is ResponseCode for c in w.codes):
        if ResponseCode.ERROR in w.codes:
            expected = f"Error in the operation: {w.codes}"
            if outcome != "ValueError" or str(exc) != expected:
                return f"expected ValueError({expected!r}), got {outcome}"
        elif outcome != "ok":
            return f"codes without an error raised {outcome}"
    return None


# Ray stand-ins whose answers are the submitted references themselves.
PLAIN_REMOTE = {"get_actor": ("handle",), "submit": ("ret", ("obj", (), ())), "ray_get": ("refs",),
                "answers_type": ()}

LOCAL_FAMILIES = ("application", "service", "interaction", "infrastructure", "node", "link")


def reference_collector(family, args, kwargs):
    """The collector's walk written out in Python, on the same objects."""
    if family == "infrastructure":
        fn, infr, view = args
        return fn(infr, view, **kwargs)
    if family in ("node", "link"):
        fn, placements, infr, view = args
        out = {}
        if family == "node":
            for node, res in infr.nodes(data=True):
                out[node] = fn(node, res, placements, infr, view, **kwargs)
        else:
            for source, target, res in infr.edges(data=True):
                out[f"{source},{target}"] = fn(source, target, res, placements, infr, view,
                                               **kwargs)
        return out
    fn, placements, infr = args
    out = {}
    for pl in placements.values():
        key = pl.application.id
        if family == "application":
            out[key] = fn(pl.application, pl, infr, **kwargs)
        elif family == "service":
            out[key] = {s: fn(s, req, pl, infr, **kwargs)
                        for s, req in pl.application.nodes(data=True)}
        else:
            out[key] = {f"{a},{b}": fn(a, b, req, pl, infr, **kwargs)
                        for a, b, req in pl.application.edges(data=True)}
    return out


def reference_pairing(family, args, kwargs, submitted):
    """What the remote collectors must return when every answer is the reference it answers:
    the k-th reference submitted, under the k-th service (or node) walked."""
    refs = iter(submitted)
    if family == "remote_node":
        return {node: next(refs) for node in args[1].nodes}
    out = {}
    for pl in args[1].values():
        if pl.mapping:
            out[pl.application.id] = {s: next(refs) for s in pl.application.nodes}
    return out


def same(a, b):
    """Equal, with dicts equal in the order of their keys as well."""
    if type(a) is dict and type(b) is dict:
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return type(a) is type(b) and a == b


PLAIN = {"lit", "huge", "enum", "list", "tuple", "dict", "selfref", "deep", "plain"}


def plain_collector_call(r):
    """Whether a collector recipe is plain enough for its oracle: well-formed state made from a
    seed, a callable that returns an argument or a plain value, plain keywords and view, the
    modules' globals as they are, and (remote) answers that are the submitted references."""
    if r.get("globals"):
        return False
    remote = r.get("remote")
    if remote is not None and remote != PLAIN_REMOTE:
        return False
    for name, spec in zip(r["params"], r["args"]):
        if name == "fn":
            plain_fn = spec[1][0] == "arg" or (spec[1][0] == "ret" and is_plain(spec[1][1]))
            if not (spec[0] == "fn" and plain_fn):
                return False
        elif name == "infr" or (name == "placements" and len(r["params"]) == 3):
            if spec[0] != "plain" and spec != ("as", "placements", ("dict", [])):
                return False
        elif not is_plain(spec):
            return False
    return all(type(k) is str and is_plain(v) for k, v in r["kwargs"])


def is_plain(v):
    """Whether a value recipe builds an object that runs no code of its own."""
    if v is None:
        return True
    if not isinstance(v, tuple) or not v or v[0] not in PLAIN:
        return False
    if v[0] in ("list", "tuple"):
        return all(is_plain(x) for x in v[1])
    if v[0] == "dict":
        return all(is_plain(k) and is_plain(x) for k, x in v[1])
    return True


# ---------------------------------------------------------------------------------------------
# The child: one family, hypothesis-driven, then the leak check.

# Whether the last example run may join the leak check's batch. CPython 3.12.1 and 3.13.0 leak
# what a __hash__ returns when that is not an int (slot_tp_hash drops the error path's
# reference): an example where a hostile __hash__ did so leaks in the interpreter, whatever the
# modules do.
LAST_RUN = {"leak_free": True}


def run_one(family, runner, recipe):
    """Builds and runs one recipe: (outcome, fault or None, detail)."""
    w = World()
    exc = None
    try:
        runner(recipe, w)
    except BaseException as e:  # noqa: BLE001 - the outcome is what is measured
        if isinstance(e, (KeyboardInterrupt, SystemExit)) and type(e) not in w.raised:
            raise
        exc = e
    finally:
        building, w.building = w.building, True
        w.intact = intact()
        SNAPSHOT.restore()
        LAST_RUN["leak_free"] = not w.bad_hash
    if building:
        # The recipe could not be built (a key refused, say): nothing was called.
        return f"unbuilt {type(exc).__name__}", None, None
    outcome, fault = classify(exc, w)
    if fault is None and w.faults:
        fault = w.faults[0]
    if fault is None:
        fault = oracle(family, w, outcome, exc)
    detail = None
    if fault is not None and exc is not None:
        detail = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__, limit=-8))
    return outcome, fault, detail


def child(family, examples, seed_value, last_path, leak_check):
    """Runs `examples` recipes of `family`; leak_check is the size of the batch repeated for the
    leak check (0: none)."""
    load()
    from hypothesis import HealthCheck, Phase, given, seed, settings

    strategy, runner = families_loaded()[family]
    histogram, faults = {}, []
    batch, seen = [], [0]
    rng = random.Random(seed_value)
    last = open(last_path, "w") if last_path else None
    started = time.perf_counter()

    @seed(seed_value * 1000 + FAMILY_NAMES.index(family))
    @settings(max_examples=max(examples, 1), deadline=None, database=None, derandomize=False,
              phases=[Phase.generate], suppress_health_check=list(HealthCheck), print_blob=False)
    @given(strategy)
    def campaign(recipe):
        if seen[0] >= examples:
            return
        seen[0] += 1
        text = repr(recipe)
        if last:  # where a crash leaves its recipe
            last.seek(0)
            last.write(text)
            last.truncate()
            last.flush()
        outcome, fault, detail = run_one(family, runner, recipe)
        histogram[outcome] = histogram.get(outcome, 0) + 1
        if fault is not None:
            faults.append({"fault": fault, "outcome": outcome, "recipe": text, "detail": detail})
        elif not LAST_RUN["leak_free"]:
            pass
        elif len(batch) < 24:
            batch.append(recipe)
        elif rng.random() < 24 / seen[0]:
            batch[rng.randrange(24)] = recipe

    campaign()
    elapsed = time.perf_counter() - started
    leak = leaks(family, batch[:leak_check]) if leak_check else None
    system_errors = sum(1 for f in faults if f["fault"].startswith("SystemError"))
    return {"family": family, "examples": seen[0], "histogram": histogram,
            "faults": len(faults), "system_errors": system_errors, "fault_samples": faults[:5],
            "leak": leak, "seconds": round(elapsed, 2),
            "leak_seconds": round(time.perf_counter() - started - elapsed, 2)}


def leaks(family, batch, locate=True):
    """Blocks still allocated after repeating the batch, over two stretches: a leak grows in
    both. The interpreter's method cache keeps the attribute names of its entries alive and
    lets them go as new lookups replace them, which reads as a slow shrink; it is emptied
    before each count, so that an unchanged heap counts exactly the same."""
    runner = families_loaded()[family][1]
    if not batch:
        return {"grown": [0, 0], "leaked": False, "batch": 0}

    def rounds(n):
        for _ in range(n):
            for recipe in batch:
                run_one(family, runner, recipe)
        gc.collect()
        gc.collect()
        sys._clear_type_cache()

    rounds(3)
    grown = []
    for _ in range(2):
        before = sys.getallocatedblocks()
        rounds(5)
        grown.append(sys.getallocatedblocks() - before)
    # A leak of one block in every other run is seen; the count itself is exact.
    slack = max(8, 5 * len(batch) // 2)
    result = {"grown": grown, "leaked": all(g > slack for g in grown), "batch": len(batch)}
    if result["leaked"] and locate:
        # Which of them: each alone, the same way.
        result["recipes"] = []
        for recipe in batch:
            single = leaks(family, [recipe] * 4, locate=False)
            if single["leaked"]:
                result["recipes"].append({"recipe": repr(recipe), "grown": single["grown"]})
    return result


FAMILIES_LOADED = {}


def families_loaded():
    if not FAMILIES_LOADED:
        load()
        FAMILIES_LOADED.update(families(strategies()))
    return FAMILIES_LOADED


def replay(family, text):
    """Runs one recipe in this interpreter and prints what happened."""
    runner = families_loaded()[family][1]
    recipe = ast.literal_eval(text)
    outcome, fault, detail = run_one(family, runner, recipe)
    print(f"outcome: {outcome}\nfault: {fault}")
    if detail:
        print(detail)
    return 1 if fault else 0


# ---------------------------------------------------------------------------------------------
# The parent: one child per family, at most `jobs` at a time.

def split(total, names):
    base, extra = divmod(total, len(names))
    return {n: base + (1 if i < extra else 0) for i, n in enumerate(names)}


def run_family(family, examples, seed_value, timeout, leak_check):
    with tempfile.TemporaryDirectory(prefix="fuzz-") as tmp:
        last = os.path.join(tmp, "last")
        out = os.path.join(tmp, "result.json")
        cmd = [sys.executable, "-X", "dev", HERE, "--child", family, "-n", str(examples),
               "--seed", str(seed_value), "--last", last, "--out", out,
               "--leak-batch", str(leak_check)]
        env = dict(os.environ, PYTHONFAULTHANDLER="1", PYTHONWARNINGS="ignore", PYTHONHASHSEED="0")
        started = time.perf_counter()
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env=env)
        try:
            _, stderr = proc.communicate(timeout=timeout)
            hung = False
        except subprocess.TimeoutExpired:
            proc.kill()
            _, stderr = proc.communicate()
            hung = True
        wall = time.perf_counter() - started
        result = None
        if not hung and proc.returncode == 0 and os.path.exists(out):
            with open(out) as f:
                result = json.load(f)
        if result is None:
            recipe = open(last).read() if os.path.exists(last) else ""
            result = {"family": family, "examples": 0, "histogram": {}, "faults": 1,
                      "system_errors": 0, "leak": None, "seconds": round(wall, 2),
                      "crash": {"returncode": proc.returncode, "hung": hung, "recipe": recipe,
                                "stderr": stderr[-4000:]}}
        result["wall"] = round(wall, 2)
        return result


def report(results, total_wall, stream=sys.stdout):
    p = lambda *a: print(*a, file=stream)  # noqa: E731
    p(f"{'family':<16}{'examples':>9}{'wall':>8}  outcomes")
    totals = dict(examples=0, crashes=0, system_errors=0, faults=0, leaks=0)
    for r in results:
        crash = r.get("crash")
        counts = sorted(r["histogram"].items(), key=lambda kv: -kv[1])
        hist = ", ".join(f"{k} {v}" for k, v in counts)
        leak = r.get("leak")
        leak_text = "" if leak is None else \
            (f"; blocks {leak['grown'][0]:+d}/{leak['grown'][1]:+d}"
             f"{' LEAK' if leak['leaked'] else ''}")
        p(f"{r['family']:<16}{r['examples']:>9}{r['wall']:>7.1f}s  {hist or '-'}")
        timing = f" (examples {r['seconds']:.1f}s, leak check {r.get('leak_seconds', 0):.1f}s)" \
            if not crash else ""
        status = "CRASH" if crash and not crash["hung"] else "HANG" if crash else ""
        p(f"{'':<16}{'':>9}{'':>8}  SystemError {r['system_errors']}, faults {r['faults']}"
          f"{leak_text}{'; ' + status if status else ''}{timing}")
        for f in r.get("fault_samples", []):
            p(f"    fault: {f['fault']}\n    recipe: {f['recipe']}")
            if f.get("detail"):
                p("    " + f["detail"].rstrip().replace("\n", "\n    "))
        for item in (leak or {}).get("recipes", [])[:3]:
            p(f"    leaks {item['grown'][0]:+d}/{item['grown'][1]:+d} blocks in 4 x 5 runs: "
              f"{item['recipe']}")
        if crash:
            hung = " (timed out)" if crash["hung"] else ""
            p(f"    child exited with {crash['returncode']}{hung}"
              f"; last recipe: {crash['recipe']}")
            p("    " + crash["stderr"].rstrip().replace("\n", "\n    "))
        totals["examples"] += r["examples"]
        totals["crashes"] += 1 if crash else 0
        totals["system_errors"] += r["system_errors"]
        totals["faults"] += r["faults"] - (1 if crash else 0)
        totals["leaks"] += 1 if leak and leak["leaked"] else 0
    p(f"TOTAL examples {totals['examples']}, crashes {totals['crashes']}, SystemErrors "
      f"{totals['system_errors']}, other faults {totals['faults'] - totals['system_errors']}, "
      f"leaks {totals['leaks']}, wall {total_wall:.1f}s")
    return totals


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-n", "--examples", type=int,
                        default=int(os.environ.get("FUZZ_EXAMPLES", "100000")),
                        help="examples in total across the families (FUZZ_EXAMPLES, 100000)")
    parser.add_argument("--seed", type=int, default=int(os.environ.get("FUZZ_SEED", "0")),
                        help="seed of the generation (FUZZ_SEED, 0): a run is reproducible")
    parser.add_argument("-f", "--families", default=os.environ.get("FUZZ_FAMILIES", ""),
                        help="comma-separated families (FUZZ_FAMILIES; default all)")
    parser.add_argument("-j", "--jobs", type=int, default=int(os.environ.get("FUZZ_JOBS", "2")),
                        help="children run at once (FUZZ_JOBS, 2)")
    parser.add_argument("--timeout", type=float, default=None,
                        help="seconds a family may take (default: 120 + 0.1 per example)")
    parser.add_argument("--leak-batch", type=int,
                        default=int(os.environ.get("FUZZ_LEAK_BATCH", "24")),
                        help="examples per family repeated for the leak check; 0 skips it "
                             "(FUZZ_LEAK_BATCH, 24)")
    parser.add_argument("--json", help="write the results here as well")
    parser.add_argument("--list", action="store_true", help="list the families")
    parser.add_argument("--replay", nargs=2, metavar=("FAMILY", "RECIPE"),
                        help="run one recipe in this interpreter")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--last", help=argparse.SUPPRESS)
    parser.add_argument("--out", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.list:
        print("\n".join(FAMILY_NAMES))
        return 0
    if args.replay:
        return replay(*args.replay)
    if args.child:
        families_loaded()
        result = child(args.child, args.examples, args.seed, args.last, args.leak_batch)
        with open(args.out, "w") as f:
            json.dump(result, f)
        return 0

    names = [n.strip() for n in args.families.split(",") if n.strip()] or FAMILY_NAMES
    unknown = [n for n in names if n not in FAMILY_NAMES]
    if unknown:
        parser.error(f"unknown families: {', '.join(unknown)} (see --list)")
    budget = split(args.examples, names)
    started = time.perf_counter()
    print(f"fuzz: {args.examples} examples over {len(names)} families, seed {args.seed}, "
          f"{args.jobs} at a time", flush=True)
    # The largest first, so that the two workers finish together.
    order = sorted(names, key=lambda n: -budget[n])
    results = {}
    lock = threading.Lock()

    def one(name):
        timeout = args.timeout or 120 + 0.1 * budget[name]
        result = run_family(name, budget[name], args.seed, timeout, args.leak_batch)
        with lock:
            print(f"  {name}: {result['examples']} examples in {result['wall']:.1f}s"
                  f"{' (crashed)' if result.get('crash') else ''}", flush=True)
        results[name] = result

    with concurrent.futures.ThreadPoolExecutor(max_workers=max(args.jobs, 1)) as pool:
        list(pool.map(one, order))
    total_wall = time.perf_counter() - started
    ordered = [results[n] for n in names]
    totals = report(ordered, total_wall)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"totals": {**totals, "wall": round(total_wall, 2)}, "families": ordered},
                      f, indent=1)
    bad = totals["crashes"] or totals["faults"] or totals["leaks"]
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
