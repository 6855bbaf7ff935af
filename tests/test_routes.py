"""shortest_routes: networkx's route among equal ones and its latency bit for bit, checked
inputs, and long calls that share the interpreter and hear Ctrl-C."""

import doctest
import inspect
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
from array import array
from math import inf

import networkx as nx
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from support import failing_new as failing

import twins.routes
from sorvane_core.models import _routes
from sorvane_core.models._routes import shortest_routes

KERNELS = {"native": shortest_routes, "twin": twins.routes.shortest_routes}
I8, F8 = np.int64, np.float64


def csr(G):
    """The adjacency as the models build it: nodes numbered in G.nodes order, neighbours
    in G._adj order, one link id per edge of G.edges (both directions of an undirected
    one), latency_ms as the weight. Also the links' ends, by id, and for a DiGraph the
    reverse adjacency, predecessors in G._pred order (None for a Graph)."""
    index = {node: i for i, node in enumerate(G.nodes)}
    ids, ends = {}, []
    for i, (u, v) in enumerate(G.edges):
        ids[u, v] = i
        if not G.is_directed():
            ids[v, u] = i
        ends.append((u, v))

    def adjacency(lists, turned):
        indptr, neighbours, weights, edges = [0], [], [], []
        for node in G.nodes:
            for nbr, data in lists[node].items():
                neighbours.append(index[nbr])
                weights.append(data["latency_ms"])
                edges.append(ids[(nbr, node) if turned else (node, nbr)])
            indptr.append(len(neighbours))
        return (np.array(indptr, I8), np.array(neighbours, I8), np.array(weights, F8),
                np.array(edges, I8))

    reverse = adjacency(G._pred, True) if G.is_directed() else None
    return adjacency(G._adj, False), index, ends, reverse


def reverse_of(reverse):
    """The keywords that hand the kernel a reverse adjacency (none for a Graph)."""
    if reverse is None:
        return {}
    return dict(zip(("rindptr", "rneighbours", "rweights", "redges"), reverse))


def unpack(result):
    offsets, links, latency = (np.frombuffer(b, t) for b, t in zip(result, (I8, I8, F8)))
    return [(links[offsets[k]:offsets[k + 1]].tolist(), latency[k])
            for k in range(len(latency))]


def walk(G, ends, source, links):
    """The nodes that a route of link ids passes, from source."""
    nodes = [source]
    for link in links:
        u, v = ends[link]
        assert nodes[-1] in (u, v) if not G.is_directed() else nodes[-1] == u
        nodes.append(v if nodes[-1] == u else u)
    return nodes


def route_pairs(kernel, arrays, sources, targets, **options):
    return kernel(*arrays, np.array(sources, I8), np.array(targets, I8), **options)


def left_to_right(G, path):
    """The latency of a path of nodes as the kernel gives it: the link latencies added
    from the source, in float."""
    total = 0.0
    for u, v in zip(path, path[1:]):
        total += G.edges[u, v]["latency_ms"]
    return total


# --- against networkx ---------------------------------------------------------------------

LATENCY = st.one_of(st.integers(0, 3), st.sampled_from([0.1, 0.2, 0.3, 1e-300, 1e300, inf]),
                    st.floats(0, 10))


@st.composite
def graphs(draw):
    G = draw(st.sampled_from([nx.Graph, nx.DiGraph]))()
    n = draw(st.integers(1, 30))
    # Labels that are not the positions, added in a drawn order: the numbering is G.nodes'.
    G.add_nodes_from(f"n{i}" for i in draw(st.permutations(range(n))))
    nodes = list(G.nodes)
    # Small integers alone in half the graphs: ties everywhere.
    latency = draw(st.sampled_from([st.integers(0, 3), LATENCY]))
    for u, v, w in draw(st.lists(st.tuples(st.sampled_from(nodes), st.sampled_from(nodes),
                                           latency), min_size=n, max_size=4 * n)):
        G.add_edge(u, v, latency_ms=w)
    pairs = draw(st.lists(st.tuples(st.sampled_from(nodes), st.sampled_from(nodes)),
                          min_size=1, max_size=40))
    return G, pairs


def networkx_route(G, s, t, bidirectional):
    """networkx's path from s to t (None: no path) and the kernel's latency for it."""
    try:
        if bidirectional:
            path = nx.shortest_path(G, s, t, weight="latency_ms")
            return path, left_to_right(G, path)
        path = nx.dijkstra_path(G, s, t, weight="latency_ms")
        return path, nx.shortest_path_length(G, s, t, weight="latency_ms")
    except nx.NetworkXNoPath:
        return None, inf


@pytest.mark.parametrize("bidirectional", [True, False], ids=["shortest_path", "dijkstra_path"])
@settings(max_examples=400, deadline=None)
@given(case=graphs())
def test_routes_and_latencies_are_networkx_s(bidirectional, case):
    # shortest_path searches from both ends and dijkstra_path from the source: where routes
    # tie they may take different ones, and each search must take its own.
    G, pairs = case
    arrays, index, ends, reverse = csr(G)
    sources, targets = [index[s] for s, _ in pairs], [index[t] for _, t in pairs]
    options = dict(bidirectional=bidirectional, **reverse_of(reverse))
    result = route_pairs(shortest_routes, arrays, sources, targets, **options)
    for (s, t), (links, latency) in zip(pairs, unpack(result)):
        path, length = networkx_route(G, s, t, bidirectional)
        if path is None:
            assert links == []
        assert (walk(G, ends, s, links) if path else []) == (path or [])
        # Bit for bit: float(length) is exact for the small integers networkx sums as ints.
        assert np.float64(length).tobytes() == np.float64(latency).tobytes()
    # The plain-Python twin gives the same bytes.
    assert route_pairs(twins.routes.shortest_routes, arrays, sources, targets,
                       **options) == result


@pytest.mark.parametrize("kernel", KERNELS.values(), ids=KERNELS.keys())
@pytest.mark.parametrize(("bidirectional", "path"), [(True, [0, 1, 3]), (False, [0, 2, 3])])
def test_a_tie_is_broken_as_networkx_breaks_it(kernel, bidirectional, path):
    # 0-1-3 and 0-2-3 both take 4: shortest_path meets in the middle at 1 and 3 ...
    G = nx.Graph()
    G.add_weighted_edges_from([(0, 1, 3), (0, 2, 2), (1, 3, 1), (2, 3, 2)], weight="latency_ms")
    arrays, index, ends, _ = csr(G)
    [(links, latency)] = unpack(route_pairs(kernel, arrays, [0], [3],
                                            bidirectional=bidirectional))
    assert walk(G, ends, 0, links) == path == networkx_route(G, 0, 3, bidirectional)[0]
    assert latency == 4.0


@pytest.mark.parametrize("kernel", KERNELS.values(), ids=KERNELS.keys())
def test_a_node_popped_again_uses_up_its_turn(kernel):
    # Found by search: a direction that popped on past a node it had settled, instead of
    # handing the turn to the other one, would meet it elsewhere and go over 13, not 15.
    G = nx.Graph()
    G.add_weighted_edges_from(
        [(5, 14, 0), (14, 0, 1), (9, 1, 0), (9, 15, 2), (13, 9, 2), (16, 2, 0), (2, 13, 3),
         (16, 4, 0), (2, 15, 3), (1, 5, 0), (4, 2, 1)], weight="latency_ms")
    arrays, index, ends, _ = csr(G)
    [(links, latency)] = unpack(route_pairs(kernel, arrays, [index[0]], [index[2]]))
    path = nx.shortest_path(G, 0, 2, weight="latency_ms")
    assert walk(G, ends, 0, links) == path == [0, 14, 5, 1, 9, 15, 2] and latency == 6.0


def test_the_bidirectional_latency_is_summed_from_the_source():
    # networkx's own length adds a part summed forward to one summed backward, 0.9 here;
    # the route's latency from its source is ((0.1 + 0.2) + 0.3) + 0.3, 0.9000000000000001.
    G = nx.path_graph(5)
    nx.set_edge_attributes(G, dict(zip(G.edges, [0.1, 0.2, 0.3, 0.3])), "latency_ms")
    length, path = nx.bidirectional_dijkstra(G, 0, 4, weight="latency_ms")
    arrays, index, ends, _ = csr(G)
    for kernel in KERNELS.values():
        [(links, latency)] = unpack(route_pairs(kernel, arrays, [0], [4]))
        assert walk(G, ends, 0, links) == path
        assert latency == left_to_right(G, path) == ((0.1 + 0.2) + 0.3) + 0.3 != length


@pytest.mark.parametrize("directed", [False, True], ids=["Graph", "DiGraph"])
@pytest.mark.parametrize("bidirectional", [True, False], ids=["shortest_path", "dijkstra_path"])
def test_many_pairs_on_a_larger_graph_take_networkx_s_routes(bidirectional, directed):
    # Integer latencies on a tree with extra links: many equal routes per target, and the
    # searches run long enough to reuse their buffers many times over.
    tree = nx.random_labeled_tree(300, seed=7)
    rng = np.random.default_rng(7)
    G = nx.DiGraph() if directed else nx.Graph()
    G.add_nodes_from(rng.permutation(300).tolist())
    extra = rng.integers(0, 300, (150, 2)).tolist()
    for u, v in [*tree.edges, *extra, *([(v, u) for u, v in tree.edges] if directed else [])]:
        G.add_edge(u, v, latency_ms=int(rng.integers(0, 3)))
    arrays, index, ends, reverse = csr(G)
    nodes = list(G.nodes)
    options = dict(bidirectional=bidirectional, **reverse_of(reverse))
    for s in nodes[:5]:
        result = unpack(route_pairs(shortest_routes, arrays, [index[s]] * 300, list(range(300)),
                                    **options))
        for t, (links, latency) in zip(nodes, result):
            path, length = networkx_route(G, s, t, bidirectional)
            assert walk(G, ends, s, links) == (path or [s]) and latency == length


# 0 -> 1 -> 2 over links 7 and 8, an isolated 3, and 2 -> 0 over an infinite link 9; and
# the same turned round, for the backward search.
DIRECTED = (np.array([0, 1, 2, 3, 3], I8), np.array([1, 2, 0], I8),
            np.array([1.0, -0.0, inf], F8), np.array([7, 8, 9], I8))
TURNED = dict(rindptr=np.array([0, 1, 2, 3, 3], I8), rneighbours=np.array([2, 0, 1], I8),
              rweights=np.array([inf, 1.0, -0.0], F8), redges=np.array([9, 7, 8], I8))


@pytest.mark.parametrize("kernel", KERNELS.values(), ids=KERNELS.keys())
@pytest.mark.parametrize("options", [dict(TURNED), dict(bidirectional=False)],
                         ids=["shortest_path", "dijkstra_path"])
def test_pairs_keep_their_positions_and_edge_cases(kernel, options):
    result = route_pairs(kernel, DIRECTED, [2, 0, 1, 0, 3, 0, 2], [0, 2, 1, 2, 0, 3, 1],
                         **options)
    assert unpack(result) == [([9], inf), ([7, 8], 1.0), ([], 0.0), ([7, 8], 1.0), ([], inf),
                              ([], inf), ([9, 7], inf)]
    assert unpack(route_pairs(kernel, DIRECTED, [], [], **options)) == []
    assert route_pairs(kernel, DIRECTED, [], [], **options)[0] == np.zeros(1, I8).tobytes()


@pytest.mark.parametrize("kernel", KERNELS.values(), ids=KERNELS.keys())
def test_the_backward_search_walks_the_reverse_adjacency(kernel):
    # The cycle 0 -> 1 -> 2 -> 0 over links 7, 8 (1 ms each) and 9 (free). Read as
    # undirected, as without the reverse adjacency, 2 is next to 0 for free.
    arrays = (np.array([0, 1, 2, 3], I8), np.array([1, 2, 0], I8), np.array([1.0, 1.0, 0.0]),
              np.array([7, 8, 9], I8))
    turned = dict(rindptr=np.array([0, 1, 2, 3], I8), rneighbours=np.array([2, 0, 1], I8),
                  rweights=np.array([0.0, 1.0, 1.0]), redges=np.array([9, 7, 8], I8))
    assert unpack(route_pairs(kernel, arrays, [0], [2])) == [([9], 0.0)]
    assert unpack(route_pairs(kernel, arrays, [0], [2], **turned)) == [([7, 8], 2.0)]


@pytest.mark.parametrize("kernel", KERNELS.values(), ids=KERNELS.keys())
def test_any_native_8_byte_buffer_is_read(kernel):
    readonly = np.array([0, 1, 2], I8)
    readonly.flags.writeable = False
    arrays = (readonly, array("q", [1, 0]), memoryview(np.array([2.5, 2.5]).tobytes()).cast("d"),
              np.array([0, 0], np.longlong))
    assert unpack(kernel(*arrays, array("l", [0]), np.array([1], "=i8"))) == [([0], 2.5)]


# --- bad input ----------------------------------------------------------------------------

GOOD = {"indptr": [0, 1, 3, 4], "neighbours": [1, 0, 2, 1], "weights": [1.0, 1.0, 2.0, 2.0],
        "edges": [0, 0, 1, 1], "sources": [0, 2], "targets": [2, 1]}
NAMES = list(GOOD)


class Refuses:
    def __buffer__(self, flags):
        raise BufferError("not now")


def arguments(**changed):
    """The arguments by position, and the options (the names that are not arrays of GOOD)
    by keyword."""
    args = {k: np.array(v, F8 if k == "weights" else I8) for k, v in GOOD.items()}
    args.update(changed)
    return [args[k] for k in NAMES], {k: v for k, v in changed.items() if k not in NAMES}


def turned(**changed):
    """The reverse adjacency of GOOD's undirected graph (its own), with changes."""
    reverse = {f"r{k}": np.array(GOOD[k], F8 if k == "weights" else I8)
               for k in ("indptr", "neighbours", "weights", "edges")}
    return {**reverse, **changed}


BAD = {
    "not a buffer": (dict(indptr=[0, 1, 3, 4]), TypeError,
                     "argument 'indptr' must be a 1-D array of int64 (buffer format 'q' or "
                     "'l'), such as a numpy array, not list"),
    "refusing exporter": (dict(edges=Refuses()), TypeError,
                          "argument 'edges' cannot be read as an array"),
    "int32": (dict(neighbours=np.array([1, 0, 2, 1], np.int32)), TypeError,
              "argument 'neighbours' must hold int64 (buffer format 'q' or 'l') of 8 bytes in "
              "native byte order, not format 'i' of 4 bytes"),
    "int weights": (dict(weights=np.array([1, 1, 2, 2], I8)), TypeError,
                    "argument 'weights' must hold float64 (buffer format 'd') of 8 bytes"),
    "float ids": (dict(edges=np.array([0, 0, 1, 1], F8)), TypeError, "argument 'edges' must "),
    "unsigned": (dict(sources=np.array([0, 2], np.uint64)), TypeError, "argument 'sources'"),
    "swapped bytes": (dict(targets=np.array([2, 1], ">i8")), TypeError,
                      "not format '>q' of 8 bytes"),
    "objects": (dict(weights=np.array([1.0, 1.0, 2.0, None])), TypeError, "format 'O'"),
    "2-D": (dict(targets=np.array([[2, 1]], I8)), ValueError,
            "argument 'targets' must be 1-D, not 2-D"),
    "scalar": (dict(sources=np.int64(0)), ValueError, "argument 'sources' must be 1-D, not 0-D"),
    "strided": (dict(weights=np.arange(8, dtype=F8)[::2]), ValueError,
                "argument 'weights' must be C-contiguous"),
    "empty indptr": (dict(indptr=np.array([], I8)), ValueError,
                     "indptr must have one entry per node and one more, not 0"),
    "short weights": (dict(weights=np.array([1.0, 1.0, 2.0])), ValueError,
                      "weights has 3 entries and neighbours 4; they must have one per "
                      "adjacency entry"),
    "long edges": (dict(edges=np.array([0, 0, 1, 1, 2], I8)), ValueError,
                   "edges has 5 entries and neighbours 4"),
    "indptr from 1": (dict(indptr=np.array([1, 1, 3, 4], I8)), ValueError,
                      "indptr[0] must be 0, not 1"),
    "indptr falls": (dict(indptr=np.array([0, 3, 1, 4], I8)), ValueError,
                     "indptr[2] = 1 is less than indptr[1] = 3; indptr must not decrease"),
    "indptr huge": (dict(indptr=np.array([0, 1, 3, 2**62], I8)), ValueError,
                    f"indptr[3] = {2**62}, the last entry, must be the number of adjacency "
                    "entries, len(neighbours) = 4"),
    "neighbour too big": (dict(neighbours=np.array([1, 7, 2, 1], I8)), ValueError,
                          "neighbours[1] = 7 is not a node (the graph has 3: 0 to 2)"),
    "neighbour negative": (dict(neighbours=np.array([1, 0, 2, -1], I8)), ValueError,
                           "neighbours[3] = -1 is not a node"),
    "NaN weight": (dict(weights=np.array([1.0, 1.0, np.nan, 2.0])), ValueError,
                   "weights[2] is NaN; a weight must be 0 or more"),
    "negative weight": (dict(weights=np.array([1.0, -1.0, 2.0, 2.0])), ValueError,
                        "weights[1] = -1.0 is negative; a weight must be 0 or more"),
    "minus infinity": (dict(weights=np.array([1.0, 1.0, 2.0, -inf])), ValueError,
                       "weights[3] = -inf is negative"),
    "pairs unequal": (dict(targets=np.array([2], I8)), ValueError,
                      "sources has 2 entries and targets 1; they must have one per pair"),
    "source too big": (dict(sources=np.array([0, 3], I8)), ValueError,
                       "sources[1] = 3 is not a node (the graph has 3: 0 to 2)"),
    "target negative": (dict(targets=np.array([-2**63, 1], I8)), ValueError,
                        f"targets[0] = {-2**63} is not a node"),
    "no nodes": (dict(indptr=np.array([0], I8), neighbours=np.array([], I8),
                      weights=np.array([], F8), edges=np.array([], I8)), ValueError,
                 "sources[0] = 0 is not a node (the graph has none)"),
    "bidirectional 1": (dict(bidirectional=1), TypeError,
                        "argument 'bidirectional' must be True or False, not int"),
    "bidirectional numpy": (dict(bidirectional=np.True_), TypeError,
                            "argument 'bidirectional' must be True or False, not numpy.bool"),
    "reverse a place early": (dict(bidirectional=np.array(GOOD["indptr"], I8)), TypeError,
                              "must be True or False, not numpy.ndarray"),
    "reverse in part": ({"rindptr": turned()["rindptr"], "rweights": turned()["rweights"]},
                        TypeError, "the reverse adjacency is rindptr, rneighbours, rweights "
                        "and redges, all four or none; missing: rneighbours, redges"),
    "reverse not a buffer": (turned(redges=[0, 0, 1, 1]), TypeError,
                             "argument 'redges' must be a 1-D array of int64"),
    "reverse int32": (turned(rneighbours=np.array([1, 0, 2, 1], np.int32)), TypeError,
                      "argument 'rneighbours' must hold int64"),
    "reverse int weights": (turned(rweights=np.array([1, 1, 2, 2], I8)), TypeError,
                            "argument 'rweights' must hold float64"),
    "rindptr from 1": (turned(rindptr=np.array([1, 1, 3, 4], I8)), ValueError,
                       "rindptr[0] must be 0, not 1"),
    "rindptr falls": (turned(rindptr=np.array([0, 3, 1, 4], I8)), ValueError,
                      "rindptr[2] = 1 is less than rindptr[1] = 3; rindptr must not decrease"),
    "rindptr short of the entries": (turned(rindptr=np.array([0, 1, 3, 3], I8)), ValueError,
                                     "rindptr[3] = 3, the last entry, must be the number of "
                                     "adjacency entries, len(rneighbours) = 4"),
    "short rweights": (turned(rweights=np.array([1.0, 1.0, 2.0])), ValueError,
                       "rweights has 3 entries and rneighbours 4; they must have one per "
                       "adjacency entry"),
    "rneighbour too big": (turned(rneighbours=np.array([1, 7, 2, 1], I8)), ValueError,
                           "rneighbours[1] = 7 is not a node (the graph has 3: 0 to 2)"),
    "NaN rweight": (turned(rweights=np.array([1.0, np.nan, 2.0, 2.0])), ValueError,
                    "rweights[1] is NaN; a weight must be 0 or more"),
    "negative rweight": (turned(rweights=np.array([1.0, 1.0, 2.0, -0.5])), ValueError,
                         "rweights[3] = -0.5 is negative; a weight must be 0 or more"),
    "reverse of more nodes": (turned(rindptr=np.array([0, 1, 3, 4, 4], I8)), ValueError,
                              "rindptr has 5 entries and indptr 4; the reverse adjacency must "
                              "have the same nodes"),
    "reverse of fewer entries": (turned(rindptr=np.array([0, 1, 3, 3], I8),
                                        rneighbours=np.array([1, 0, 2], I8),
                                        rweights=np.array([1.0, 1.0, 2.0]),
                                        redges=np.array([0, 0, 1], I8)), ValueError,
                                 "rneighbours has 3 entries and neighbours 4; the reverse "
                                 "adjacency must have the same entries, turned round"),
    "reverse with other predecessors": (
        turned(rindptr=np.array([0, 2, 3, 4], I8), rneighbours=np.array([1, 2, 0, 1], I8)),
        ValueError, "the degree of node 0 in rindptr is 2, and in neighbours it is 1 (the "
        "entries that lead to it); the reverse adjacency must hold each entry of the "
        "adjacency, turned round"),
    "reverse with other successors": (
        turned(rneighbours=np.array([1, 1, 1, 1], I8)), ValueError,
        "the degree of node 0 in indptr is 1, and in rneighbours it is 0 (the entries that "
        "lead to it)"),
}


@pytest.mark.parametrize("kernel", KERNELS.values(), ids=KERNELS.keys())
@pytest.mark.parametrize(("changed", "error", "message"), BAD.values(), ids=BAD.keys())
def test_bad_input_is_named(kernel, changed, error, message):
    args, options = arguments(**changed)
    with pytest.raises(error) as raised:
        kernel(*args, **options)
    assert str(raised.value).startswith("shortest_routes()")
    assert message in str(raised.value)
    if "edges" in changed and isinstance(changed["edges"], Refuses):
        assert isinstance(raised.value.__cause__, BufferError)


def test_a_call_holds_no_buffer_and_no_reference_after_it_returns():
    # array.array cannot grow while a buffer of it is held: every path must let go.
    def held(values, name):
        return array("d" if name.endswith("weights") else "q", values)

    good = {k: held(v, k) for k, v in GOOD.items()}
    reverse = {f"r{k}": held(GOOD[k], k) for k in ("indptr", "neighbours", "weights", "edges")}
    for changed in [{}, {"targets": array("q", [9, 9])}, {"weights": array("d", [-1] * 4)},
                    {"sources": [0, 2]}, reverse, {**reverse, "rweights": array("d", [-1] * 4)},
                    {**reverse, "rindptr": array("q", [0, 2, 3, 4])},
                    {**reverse, "redges": [0, 0, 1, 1]}, {**reverse, "bidirectional": False}]:
        args = {**good, **changed}
        counts = [sys.getrefcount(a) for a in args.values()]
        for _ in range(3):
            try:
                shortest_routes(**args)
            except (TypeError, ValueError):
                pass
        assert [sys.getrefcount(a) for a in args.values()] == counts
        for a in args.values():
            if isinstance(a, array):
                a.append(0)
                a.pop()


# --- the function, the GIL and Ctrl-C -----------------------------------------------------

def infrastructure(n, seed=0):
    """A random tree plus one random link per node (self-loops dropped), latencies 1..5 ms,
    as the arrays of shortest_routes."""
    rng = np.random.default_rng(seed)
    u = np.concatenate([np.arange(1, n), np.arange(n)])
    v = np.concatenate([rng.integers(0, np.arange(1, n)), rng.integers(0, n, n)])
    u, v = u[u != v], v[u != v]
    w = rng.integers(1, 6, len(u)).astype(F8)
    ids = np.arange(len(u))
    start, end = np.concatenate([u, v]), np.concatenate([v, u])
    order = np.argsort(start, kind="stable")
    indptr = np.concatenate([[0], np.cumsum(np.bincount(start, minlength=n))])
    return (indptr.astype(I8), end[order].astype(I8), np.concatenate([w, w])[order],
            np.concatenate([ids, ids])[order].astype(I8))


@pytest.fixture(scope="module")
def big():
    return infrastructure(20_000)


@pytest.mark.native_only
def test_the_function_says_what_it_is():
    assert _routes.__doc__.startswith("Shortest routes over an infrastructure")
    assert shortest_routes.__module__ == "sorvane_core.models._routes"
    assert str(inspect.signature(shortest_routes)) == (
        "(indptr: 'Buffer', neighbours: 'Buffer', weights: 'Buffer', edges: 'Buffer', "
        "sources: 'Buffer', targets: 'Buffer', bidirectional: 'bool' = True, "
        "rindptr: 'Buffer | None' = None, rneighbours: 'Buffer | None' = None, "
        "rweights: 'Buffer | None' = None, redges: 'Buffer | None' = None) -> "
        "'tuple[bytes, bytes, bytes]'")
    assert shortest_routes.__doc__.startswith("shortest_routes(indptr: Buffer, ")
    test = doctest.DocTestParser().get_doctest(shortest_routes.__doc__, {}, "shortest_routes",
                                               None, 0)
    runner = doctest.DocTestRunner()
    runner.run(test)
    assert runner.summarize(verbose=False) == (0, 10)


# Far pairs, enough for about a second's work in each search: a search from both ends
# settles a few hundred nodes, one from a source most of the graph.
SEARCHES = {"shortest_path": (True, 1), "dijkstra_path": (False, 100)}


@pytest.mark.native_only
@pytest.mark.parametrize(("bidirectional", "step"), SEARCHES.values(), ids=SEARCHES.keys())
def test_threads_run_while_routes_are_computed_and_agree(big, bidirectional, step):
    n = len(big[0]) - 1
    sources = np.arange(0, n, step, dtype=I8)
    targets = sources[::-1].copy()
    alone = shortest_routes(*big, sources, targets, bidirectional)
    ticks, results, done = [0], [], threading.Event()

    def count():
        while not done.is_set():
            ticks[0] += 1

    def route():
        results.append(shortest_routes(*big, sources, targets, bidirectional))

    counter = threading.Thread(target=count)
    counter.start()
    workers = [threading.Thread(target=route) for _ in range(2)]
    try:
        before = ticks[0]
        for w in workers:
            w.start()
        route()
        during = ticks[0] - before
        for w in workers:
            w.join()
    finally:
        done.set()
        counter.join()
    assert results == [alone] * 3
    assert during > 1000  # the counting thread ran while this one routed


@pytest.mark.native_only
@pytest.mark.parametrize(("bidirectional", "rounds"), [(True, 100), (False, 1)],
                         ids=SEARCHES.keys())
def test_ctrl_c_ends_a_long_call(big, bidirectional, rounds):
    n = len(big[0]) - 1
    # Far targets, every node a source: a minute's work, unless interrupted.
    sources = np.tile(np.arange(n, dtype=I8), rounds)
    targets = np.roll(sources, n // 2)
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    try:
        timer.start()
        started = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            shortest_routes(*big, sources, targets, bidirectional)
        assert time.monotonic() - started < 5
    finally:
        timer.cancel()
        signal.signal(signal.SIGINT, previous)


HOSTILE = """
    import threading
    import numpy as np
    from test_routes import infrastructure
    from sorvane_core.models._routes import shortest_routes

    indptr, neighbours, weights, edges = infrastructure(3000)
    sources = np.arange(0, 3000, 7, dtype=np.int64)
    targets = np.roll(sources, 5)
    big = np.iinfo(np.int64)
    # Extreme values in every slot that is an index.
    for args in [(indptr, np.full_like(neighbours, big.max), weights, edges, sources, targets),
                 (np.full_like(indptr, big.min), neighbours, weights, edges, sources, targets),
                 (indptr, neighbours, weights, edges, sources * 0 + big.max, targets)]:
        for reverse in [(), args[:4], (np.full_like(indptr, big.max), *args[1:4]),
                        (args[0], np.full_like(neighbours, big.min), *args[2:4])]:
            try:
                shortest_routes(*args, True, *reverse)
            except ValueError:
                pass
    # Another thread rewrites every array while the routes are computed: each call
    # routes the graph as it was copied, or refuses a copy caught half rewritten.
    stop = threading.Event()
    def scribble():
        while not stop.is_set():
            np.invert(neighbours, out=neighbours)
            indptr[1500] ^= 1 << 62
            weights[:] = weights[::-1].copy()
            edges[:] = -edges
            np.negative(targets, out=targets)
    writer = threading.Thread(target=scribble)
    writer.start()
    outcomes = set()
    # The graph is undirected: its own arrays are its reverse adjacency, rewritten too.
    searches = [(True,), (False,), (True, indptr, neighbours, weights, edges)]
    for i in range(150):
        try:
            offsets, links, latency = shortest_routes(indptr, neighbours, weights, edges,
                                                      sources, targets, *searches[i % 3])
            assert np.frombuffer(offsets, np.int64)[-1] * 8 == len(links)
            outcomes.add("routed")
        except ValueError:
            outcomes.add("refused")
    stop.set()
    writer.join()
    print(sorted(outcomes))
"""


@pytest.mark.native_only
def test_hostile_calls_do_not_crash_the_interpreter():
    here = os.path.dirname(os.path.abspath(__file__))
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([here, *sys.path])}
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(HOSTILE)], capture_output=True,
                          text=True, timeout=300, env=env)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.strip() in ("['refused']", "['refused', 'routed']", "['routed']")


EVERY_ALLOCATION = """
    import ctypes
    import numpy as np
    from test_routes import infrastructure
    from sorvane_core.models._routes import shortest_routes

    fail_allocation = ctypes.CDLL(None).fail_allocation
    arrays = infrastructure(500)
    pairs = np.arange(0, 500, 10, dtype=np.int64), np.arange(499, 0, -10, dtype=np.int64)
    counts = []
    for options in [{}, {"bidirectional": False},
                    dict(zip(["rindptr", "rneighbours", "rweights", "redges"], arrays))]:
        expected = shortest_routes(*arrays, *pairs, **options)
        for n in range(100_000):
            fail_allocation(n)
            try:
                result = shortest_routes(*arrays, *pairs, **options)
            except MemoryError:
                continue
            finally:
                fail_allocation(-1)
            assert result == expected
            break
        counts.append(n)
    print(min(counts))
"""


@pytest.mark.native_only
def test_each_allocation_that_fails_is_a_memory_error(tmp_path):
    # Many of them fail without the GIL; -X dev checks that the error is made with it.
    library = failing.build(tmp_path)
    here = os.path.dirname(os.path.abspath(__file__))
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([here, *sys.path]),
           "LD_PRELOAD": str(library)}
    done = subprocess.run([sys.executable, "-X", "dev", "-c", textwrap.dedent(EVERY_ALLOCATION)],
                          capture_output=True, text=True, timeout=300, env=env)
    assert done.returncode == 0, done.stderr[-3000:]
    assert int(done.stdout) > 20  # the allocations of the checks, the searches and the result


# --- the models' routes -------------------------------------------------------------------

@pytest.mark.parametrize("kernel", [True, False], ids=["kernel", "without-kernel"])
def test_the_models_take_shortest_path_s_route_with_or_without_the_kernel(kernel, monkeypatch):
    from sorvane_core import models
    from sorvane_core.graph import Application, Infrastructure
    from sorvane_core.placement import Placement
    from sorvane_core.simulation.simulator import Simulator

    if not kernel:  # a build without it: the models ask networkx itself
        monkeypatch.setitem(sys.modules, "sorvane_core.models._routes", None)
    # 0-1-3 and 0-2-3 both take 4 ms, and shortest_path takes 0-1-3; 3-4-5-6-7 takes
    # 0.1 + 0.2 + 0.3 + 0.3 ms, summed from its source, not as networkx adds its halves.
    infr = Infrastructure("square and chain")
    for u, v, latency in [(0, 1, 3), (0, 2, 2), (1, 3, 1), (2, 3, 2), (3, 4, 0.1), (4, 5, 0.2),
                          (5, 6, 0.3), (6, 7, 0.3)]:
        infr.add_edge(u, v, latency_ms=latency, bandwidth_mbps=10)
    app = Application("app")
    app.add_interaction("a", "b", rate_mbps=1)
    app.add_interaction("b", "c", rate_mbps=1)
    placement = Placement(app, infr, {"a": 0, "b": 3, "c": 7})
    data = Simulator(infr, [placement], [models.LinkLoad(), models.Latency()]).run(1)[0]["data"]
    loads = {key: row["load_mbps"] for key, row in data["link_load"].items()}
    assert [key for key, load in loads.items() if load] == ["0,1", "1,3", "3,4", "4,5", "5,6",
                                                            "6,7"]
    assert dict(data["latency_ms"]["app"]) == {"a,b": 4.0, "b,c": ((0.1 + 0.2) + 0.3) + 0.3}
