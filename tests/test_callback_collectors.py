"""The local collectors: what they walk, what they pass, and how they key the results."""

import types

import pytest
from hypothesis import given, settings, strategies as st

from sorvane_core.workflow.callbacks import callback as m


class Graph:
    """Stand-in for a graph: nodes(data=True) / edges(data=True) give the items as they are."""

    def __init__(self, id=None, nodes=(), edges=()):
        self.id, self._nodes, self._edges = id, nodes, edges

    def nodes(self, *, data):
        assert data is True
        return self._nodes

    def edges(self, *, data):
        assert data is True
        return self._edges


class Pl:
    """Stand-in placement that counts reads of its application."""

    def __init__(self, app):
        self._app, self.reads = app, 0

    @property
    def application(self):
        self.reads += 1
        return self._app


def record(calls, value=None):
    def fn(*args, **kwargs):
        calls.append((args, dict(kwargs)))
        kwargs.clear()  # a callee's keyword dict is its own
        return args[0] if value is None else value
    return fn


INFR, VIEW = Graph("dc", nodes=[("n1", {"cpu": 1}), ["n2", {}]],
                   edges=[("n1", "n2", {"bw": 1})]), "view"
APP = Graph("a", nodes=[("s1", {"r": 1}), ["s2", {}]],
            edges=[("s1", "s2", {"lat": 2}), ["s2", "s1", {}]])


@pytest.mark.parametrize("name, args, expected, fn_args", [
    ("_application_fn", "PI", {"a": APP}, [(APP, "pl", INFR)]),
    ("_service_fn", "PI", {"a": {"s1": "s1", "s2": "s2"}},
     [("s1", {"r": 1}, "pl", INFR), ("s2", {}, "pl", INFR)]),
    ("_interaction_fn", "PI", {"a": {"s1,s2": "s1", "s2,s1": "s2"}},
     [("s1", "s2", {"lat": 2}, "pl", INFR), ("s2", "s1", {}, "pl", INFR)]),
    ("_infrastructure_fn", "IV", INFR, [(INFR, VIEW)]),
    ("_node_fn", "PIV", {"n1": "n1", "n2": "n2"},
     [("n1", {"cpu": 1}, "P", INFR, VIEW), ("n2", {}, "P", INFR, VIEW)]),
    ("_link_fn", "PIV", {"n1,n2": "n1"}, [("n1", "n2", {"bw": 1}, "P", INFR, VIEW)]),
])
@pytest.mark.parametrize("kwargs", [{}, {"tick": 3, "x": [1]}, {f"k{i}": i for i in range(20)}])
def test_collectors_pass_items_and_keyword_copies(name, args, expected, fn_args, kwargs):
    pl = Pl(APP)
    placements = {"a": pl}
    given_args = [{"P": placements, "I": INFR, "V": VIEW}[a] for a in args]
    calls = []
    result = getattr(m, name)(record(calls), *given_args, **kwargs)
    assert result == expected and (result is INFR) is (name == "_infrastructure_fn")
    swap = lambda a: pl if a == "pl" else placements if a == "P" else a  # noqa: E731
    assert calls == [(tuple(map(swap, a)), kwargs) for a in fn_args]
    assert all(c[0][i] is swap(v) for c, a in zip(calls, fn_args) for i, v in enumerate(a)
               if isinstance(v, (str, Graph)))
    if "P" in args and name not in ("_node_fn", "_link_fn"):
        assert pl.reads == 2  # once for the key, once for the value


def unpack_error(item, n):
    """The interpreter's own error for `a, b[, c] = item`."""
    try:
        exec(", ".join("abc"[:n]) + " = item", {"item": item})
    except Exception as exc:
        return type(exc), str(exc)
    return None


class Endless:
    def __iter__(self):
        while True:
            yield 0


def fresh(item):
    return item() if callable(item) else item


ITEMS = [(1,), (1, 2, 3), [1], [1, 2, 3, 4], "a", "abc", 5, None, {1: 1, 2: 2, 3: 3},
         lambda: iter([1, 2, 3, 4]), range(5), Endless(), b"xyz", {1, 2, 3, 4}]
PARTS = {"_service_fn": 2, "_node_fn": 2, "_interaction_fn": 3, "_link_fn": 3}


@pytest.mark.parametrize("name, item", [(n, i) for n in PARTS for i in ITEMS
                                         if unpack_error(fresh(i), PARTS[n])])
def test_malformed_items_raise_the_interpreters_error_before_fn(name, item):
    parts = PARTS[name]
    expected = unpack_error(fresh(item), parts)
    item = fresh(item)
    good = ("g1", "g2", "g3")[:parts]
    graph = Graph("g", nodes=[good, item, good], edges=[good, item, good])
    calls = []
    placements = {"a": Pl(graph)}
    args = ((placements, graph) if name in ("_service_fn", "_interaction_fn")
            else (placements, graph, None))
    with pytest.raises(expected[0]) as info:
        getattr(m, name)(record(calls), *args)
    assert str(info.value) == expected[1] and len(calls) == 1


class Formatted:
    def __init__(self, text, log):
        self.text, self.log = text, log

    def __format__(self, fmt):
        self.log.append(("format", self.text, fmt))
        if self.text == "bad":
            raise ValueError("unformattable")
        return self.text


@pytest.mark.parametrize("source, target", [
    (1, 2), ("a", "b"), (1.5, None), (True, -0.0), ((1, 2), "x"), ("é", "漢"), ("", ""),
    (type("S", (str,), {"__format__": lambda s, fmt: "sub"})("s"), 3),
    (type("I", (int,), {"__str__": lambda s: "eye"})(4), 2**70),
])
@pytest.mark.parametrize("name", ["_interaction_fn", "_link_fn"])
def test_edge_keys_read_as_an_f_string_would(name, source, target):
    graph = Graph("g", edges=[(source, target, None)])
    args = ({"a": Pl(graph)}, graph) if name == "_interaction_fn" else ({}, graph, None)
    result = getattr(m, name)(record([], "v"), *args)
    inner = result["g"] if name == "_interaction_fn" else result
    assert inner == {f"{source},{target}": "v"} and type(next(iter(inner))) is str


def test_edge_key_is_made_before_fn_is_called():
    log = []
    items = [(Formatted("x", log), Formatted("y", log), 0), (Formatted("bad", log), 1, 2)]
    graph = Graph("g", edges=items)
    with pytest.raises(ValueError, match="unformattable"):
        m._link_fn(lambda *a, **k: log.append("fn"), {}, graph, None)
    assert log == [("format", "x", ""), ("format", "y", ""), "fn", ("format", "bad", "")]


@pytest.mark.parametrize("name", ["_application_fn", "_service_fn", "_interaction_fn"])
def test_placements_changed_during_the_walk(name):
    graph = Graph("g", nodes=[("s", 1)], edges=[("s", "t", 1)])
    placements = {"a": Pl(graph), "b": Pl(graph)}
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        getattr(m, name)(lambda *a, **k: placements.setdefault(len(placements), Pl(graph)),
                         placements, None)


KEYS = st.one_of(st.integers(-3, 3), st.sampled_from(["1", "2", "1,2", ",", "", "a"]),
                 st.booleans())


@settings(max_examples=150, deadline=None)
@given(nodes=st.lists(st.tuples(KEYS, st.integers())),
       edges=st.lists(st.tuples(KEYS, KEYS, st.integers())),
       apps=st.lists(st.sampled_from(["x", "y", 1, True]), min_size=1, max_size=4))
def test_results_keep_first_position_and_last_value(nodes, edges, apps):
    graph = Graph("g", nodes=nodes, edges=edges)
    placements = {i: Pl(Graph(app, nodes, edges)) for i, app in enumerate(apps)}
    fn = lambda *a, **k: a  # noqa: E731
    expected_nodes, expected_edges = {}, {}
    for node, res in nodes:
        expected_nodes[node] = (node, res)
    for s, t, res in edges:
        expected_edges[f"{s},{t}"] = (s, t, res)
    got_nodes = m._node_fn(fn, placements, graph, None)
    assert list(got_nodes.items()) == [(k, (*v, placements, graph, None))
                                       for k, v in expected_nodes.items()]
    got_links = m._link_fn(fn, placements, graph, None)
    assert list(got_links.items()) == [(k, (*v, placements, graph, None))
                                       for k, v in expected_edges.items()]
    services = m._service_fn(fn, placements, graph)
    by_app = {}
    for pl in placements.values():
        by_app[pl._app.id] = {k: (*v, pl, graph) for k, v in expected_nodes.items()}
    assert [(k, list(v.items())) for k, v in services.items()] == [
        (k, list(v.items())) for k, v in by_app.items()]
    apps_seen = m._application_fn(lambda app, pl, infr: pl, placements, graph)
    assert list(apps_seen) == list(dict.fromkeys(pl._app.id for pl in placements.values()))
    assert all(apps_seen[k] is pl for k, pl in {p._app.id: p for p in placements.values()}.items())


def test_graph_iteration_errors_propagate():
    def broken():
        yield ("n", 1)
        raise KeyError("mid-walk")

    with pytest.raises(KeyError, match="mid-walk"):
        m._node_fn(lambda *a, **k: 1, {}, Graph("g", nodes=broken()), None)
    with pytest.raises(TypeError, match="not iterable"):
        m._node_fn(lambda *a, **k: 1, {}, Graph("g", nodes=5), None)
    for placements in [None, [], {"a": types.SimpleNamespace(application=object())}]:
        with pytest.raises(AttributeError):
            m._service_fn(lambda *a, **k: 1, placements, None)
