"""The module's native functions behave as Python functions do."""

import gc
import inspect
import pickle
import weakref

import pytest
from hypothesis import given, settings, strategies as st

from sorvane_core.workflow.callbacks import callback as m
from sorvane_core.workflow.callbacks.callback import SorvaneCallback as C

# The function type of the native modules: nothing here applies to plain functions.
pytestmark = pytest.mark.native_only

MODULE = "sorvane_core.workflow.callbacks.callback"
COLLECTORS = ["_application_fn", "_service_fn", "_remote_service_fn", "_interaction_fn",
              "_infrastructure_fn", "_node_fn", "_remote_node_fn", "_link_fn"]
PROPERTIES = ["name", "n_calls", "data", "type", "activates_on", "activated_by", "report_types",
              "remote"]
FUNCTIONS = {
    **{f"SorvaneCallback.{n}": vars(C)[n]
       for n in ["__init__", "__call__", "_call", "_call_by_type", "_triggered_events"]},
    **{f"SorvaneCallback.{n}.fget": vars(C)[n].fget for n in PROPERTIES},
    "SorvaneCallback.activated_by.fset": C.activated_by.fset,
    **{n: getattr(m, n) for n in COLLECTORS},
}


def reference(fn):
    """A real `def` with the signature that the first line of fn's doc string declares."""
    head = fn.__doc__.split("\n", 1)[0]
    assert head.startswith(fn.__qualname__ + "(")
    ns = {}
    exec(f"from __future__ import annotations\n"
         f"def {fn.__name__}{head[len(fn.__qualname__):]}: pass", ns)
    ref = ns[fn.__name__]
    ref.__qualname__ = fn.__qualname__
    return ref


@pytest.mark.parametrize("fn", FUNCTIONS.values(), ids=FUNCTIONS.keys())
def test_introspection_matches_a_def(fn):
    ref = reference(fn)
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (ref.__name__, ref.__qualname__,
                                                             MODULE)
    assert fn.__annotations__ == ref.__annotations__
    assert all(type(v) is str for v in fn.__annotations__.values())
    assert (fn.__defaults__, fn.__kwdefaults__) == (ref.__defaults__, None)
    assert inspect.signature(fn) == inspect.signature(ref)
    assert fn.__globals__ is vars(m)
    assert repr(fn).startswith(f"<function {fn.__qualname__} at 0x")
    fn.__dict__["note"] = 1  # a writable __dict__, like a def's
    try:
        assert fn.note == 1
    finally:
        del fn.note
    if fn.__name__ not in PROPERTIES:  # pickled by qualified name, as a def is
        assert pickle.loads(pickle.dumps(fn)) is fn


INIT_DOC = (
    "SorvaneCallback.__init__(self, name: str, callback_type: Optional[CallbackType] = None, "
    "activates_on: Union[str, List[str]] = 'tick', "
    "activates_every_n: Optional[Dict[str, int]] = None, "
    "triggers: Optional[Dict[str, Callable]] = None, "
    "report: Optional[Union[str, List[str]]] = 'csv', "
    "remote: bool = False)\nInitialize the Callback object.\n\n        Args:\n" + "".join(
        f"{' ' * 12}{line}\n".replace("|", " " * 17) for line in [
            "callback_fn (Callable): The callback function.",
            "callback_type (CallbackType): The type of the callback, used to determine"
            "|the type of value it manages.",
            "activates_on (Union[str, List[str]]): The event(s) that trigger the callback.",
            "activates_every_n (Optional[Dict[str, int]]): The number of ticks between"
            "|each call to the callback function.",
            "triggers (Optional[Dict[str, Callable]]): The condition to trigger the|callback.",
            "remote (bool): Whether the simulation is local or remote (emulation), thus"
            "|running using ray.",
            "name (Optional[str]): The name of the callback."]) + " " * 8)
PLACEMENTS = "fn: Callable, placements: Dict[str, Placement], infr: Infrastructure"
VIEW = "placement_view: PlacementView"


@pytest.mark.parametrize("fn, doc", [
    (C.__init__, INIT_DOC),
    (C.__call__, "SorvaneCallback.__call__(self, *args, **kwargs) -> Dict[str, Any]"),
    (C._call_by_type,
     "SorvaneCallback._call_by_type(self, trigger_obj: Union[SorvaneEvent, SorvaneCallback])\n"
     "Execute the callback function according to the type of the trigger object.\n\n"
     "        Args:\n"
     "            trigger_obj (Union[SorvaneEvent, SorvaneCallback]): The trigger object.\n\n"
     "        Returns:\n            Any: The value returned by the callback function.\n        "),
    (m._application_fn, f"_application_fn({PLACEMENTS}, **event_data)"),
    (m._service_fn, f"_service_fn({PLACEMENTS}, **event_data)"),
    (m._remote_service_fn, f"_remote_service_fn({PLACEMENTS}, **event_data)"),
    (m._interaction_fn, f"_interaction_fn({PLACEMENTS}, **event_data)"),
    (m._infrastructure_fn,
     f"_infrastructure_fn(fn: Callable, infr: Infrastructure, {VIEW}, **event_data)"),
    (m._node_fn, f"_node_fn({PLACEMENTS}, {VIEW}, **event_data)"),
    (m._remote_node_fn, "_remote_node_fn(fn: Callable, infr: Infrastructure, **event_data)"),
    (m._link_fn, f"_link_fn({PLACEMENTS}, {VIEW}, **event_data)"),
])
def test_doc_strings(fn, doc):
    assert fn.__doc__ == doc
    assert C.__init__.__defaults__ == (None, "tick", None, None, "csv", False)


def outcome(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except TypeError as exc:
        return str(exc)
    return None


class Shout(str):
    def __str__(self):
        return self.upper()


@pytest.mark.parametrize("which", FUNCTIONS)
@settings(max_examples=60, deadline=None)
@given(npos=st.integers(0, 10),
       names=st.lists(st.sampled_from(["self", "name", "trigger_obj", "fn", "infr", "remote",
                                       "args", "kwargs", "event_data", "x", Shout("y"), 1]),
                      max_size=6),
       defaults=st.none() | st.lists(st.integers(), max_size=10))
def test_binding_errors_are_worded_as_for_a_def(which, npos, names, defaults):
    fn = FUNCTIONS[which]
    ref = reference(fn)
    saved = fn.__defaults__
    ref.__defaults__ = fn.__defaults__ = None if defaults is None else tuple(defaults)
    try:
        kwargs = dict.fromkeys(names, 0)
        expected = outcome(ref, tuple(range(npos)), kwargs)
        if expected is not None:  # only calls that fail: the bodies are not run here
            assert outcome(fn, tuple(range(npos)), kwargs) == expected
    finally:
        fn.__defaults__ = saved


# Edits of a parameter name, with letters of other cases and of no UTF-8 form among them.
EDITS = st.lists(st.tuples(st.sampled_from(["insert", "delete", "replace", "swapcase"]),
                           st.integers(0, 60), st.sampled_from(list("aEx_é\udc80"))),
                 max_size=3)


def edited(name, edits):
    for op, i, c in edits:
        i %= len(name) + 1
        name = {"insert": name[:i] + c + name[i:], "delete": name[:i] + name[i + 1:],
                "replace": name[:i] + c + name[i + 1:],
                "swapcase": name[:i] + name[i:i + 1].swapcase() + name[i + 1:]}[op]
    return name


@pytest.mark.parametrize("which", FUNCTIONS)
@settings(max_examples=40, deadline=None)
@given(data=st.data())
def test_unexpected_keywords_are_worded_as_for_a_def(which, data):
    # From 3.13 the interpreter names the parameter that a mistyped keyword may have been
    # meant for ("... argument 'Self'. Did you mean 'self'?"), by its own edit distance.
    fn = FUNCTIONS[which]
    name = data.draw(st.sampled_from(list(inspect.signature(fn).parameters)))
    keyword = data.draw(st.one_of(
        EDITS.map(lambda edits: edited(name, edits)),
        st.sampled_from([name.upper(), name * 3, name + "x" * 40, "x" * 41 + name]),
        st.text(alphabet="abfnrst_E", max_size=8)))
    expected = outcome(reference(fn), (), {keyword: 0})
    if expected is not None:
        assert outcome(fn, (), {keyword: 0}) == expected


class Holder:
    static = staticmethod(m._infrastructure_fn)
    prop = property(C.name.fget)
    bound_call = C._triggered_events


def test_descriptor_behaviour():
    cb = C("x")
    method = cb._call
    assert method.__self__ is cb and method.__func__ is C._call
    assert vars(C)["_call"].__get__(None, C) is C._call
    assert vars(C)["_call"].__get__(cb) == method
    assert inspect.signature(method) == inspect.signature(reference(C._call)).replace(
        parameters=list(inspect.signature(C._call).parameters.values())[1:])
    assert str(inspect.signature(C)).startswith(
        "(name: 'str', callback_type: 'Optional[CallbackType]' = None")
    h = Holder()
    h._name, h._triggers, h._data = "held", {"t": bool}, 1
    assert Holder.static(lambda i, v: (i, v), "infr", "view") == ("infr", "view")
    assert h.prop == "held" and h.bound_call() == ["t"]


def test_cycle_through_a_function_dict_is_collected(monkeypatch):
    made = []

    def record(factory):
        made.append(factory)
        return {}

    monkeypatch.setattr(m, "defaultdict", record)
    for _ in range(2):
        m._remote_service_fn(None, {}, None)
    first, second = made
    assert first is not second and first() is None
    assert first.__qualname__ == "_remote_service_fn.<locals>.<lambda>"
    assert first.__name__ == "<lambda>"
    assert first.__module__ == MODULE and first.__doc__ is None
    with pytest.raises((pickle.PicklingError, AttributeError)):
        pickle.dumps(first)
    first.__dict__["self"] = first
    first.loop = [first, made]
    gone = weakref.ref(first)
    del made[:], first, second
    gc.collect()
    assert gone() is None
