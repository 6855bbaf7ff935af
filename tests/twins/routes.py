"""The routes module written in plain Python: what the native module does, step for step.

Like the other twins, it stands in for the native module under ``pytest --twin`` and is
the second opinion of the differential tests: the same checks with the same messages, the
pairs grouped by source, one Dijkstra per source that settles nodes as networkx's
``_dijkstra_multisource`` does (a heap of (distance, push counter, node), neighbours in
adjacency order, a predecessor replaced only by a strictly shorter distance) and stops
once every target of the source is settled, and the routes laid out in the order of the
pairs. It has no GIL to release, so nothing in it can see the arrays change under it.
"""

import sys
from array import array
from heapq import heappop, heappush
from math import inf, isnan

_NATIVE_ORDER = "<" if sys.byteorder == "little" else ">!"


def _array(obj, name, element):
    what = ("int64 (buffer format 'q' or 'l')" if element == "int64"
            else "float64 (buffer format 'd')")
    if not hasattr(type(obj), "__buffer__"):
        raise TypeError(f"shortest_routes() argument '{name}' must be a 1-D array of {what}, "
                        f"such as a numpy array, not {type(obj).__name__}")
    try:
        view = memoryview(obj)
    except Exception as exc:
        raise TypeError(f"shortest_routes() argument '{name}' cannot be read as an array") from exc
    if view.ndim != 1:
        raise ValueError(f"shortest_routes() argument '{name}' must be 1-D, not {view.ndim}-D")
    code = view.format
    if code[:1] in ("@", "=") or (code[:1] and code[0] in _NATIVE_ORDER):
        code = code[1:]
    wanted = ("q", "l") if element == "int64" else ("d",)
    if view.itemsize != 8 or code not in wanted:
        raise TypeError(f"shortest_routes() argument '{name}' must hold {what} of 8 bytes in "
                        f"native byte order, not format '{view.format}' of {view.itemsize} bytes")
    if not view.c_contiguous:
        raise ValueError(f"shortest_routes() argument '{name}' must be C-contiguous "
                         "(numpy.ascontiguousarray makes a copy that is)")
    return view.tolist()


def _not_a_node(name, position, value, n_nodes):
    where = "none" if n_nodes == 0 else f"{n_nodes}: 0 to {n_nodes - 1}"
    return ValueError(f"shortest_routes(): {name}[{position}] = {value} is not a node "
                      f"(the graph has {where})")


def _checked_graph(indptr, neighbours, weights, edges):
    if not indptr:
        raise ValueError("shortest_routes(): indptr must have one entry per node and one more, "
                         "not 0")
    n_entries = len(neighbours)
    for name, values in (("weights", weights), ("edges", edges)):
        if len(values) != n_entries:
            raise ValueError(f"shortest_routes(): {name} has {len(values)} entries and "
                             f"neighbours {n_entries}; they must have one per adjacency entry")
    n_nodes = len(indptr) - 1
    if indptr[0] != 0:
        raise ValueError(f"shortest_routes(): indptr[0] must be 0, not {indptr[0]}")
    for i in range(1, n_nodes + 1):
        if indptr[i] < indptr[i - 1]:
            raise ValueError(f"shortest_routes(): indptr[{i}] = {indptr[i]} is less than "
                             f"indptr[{i - 1}] = {indptr[i - 1]}; indptr must not decrease")
    if indptr[-1] != n_entries:
        raise ValueError(f"shortest_routes(): indptr[{n_nodes}] = {indptr[-1]}, the last entry, "
                         "must be the number of adjacency entries, len(neighbours) = "
                         f"{n_entries}")
    for j, u in enumerate(neighbours):
        if not 0 <= u < n_nodes:
            raise _not_a_node("neighbours", j, u, n_nodes)
    for j, w in enumerate(weights):
        if isnan(w):
            raise ValueError(f"shortest_routes(): weights[{j}] is NaN; a weight must be 0 or more")
        if w < 0:
            raise ValueError(f"shortest_routes(): weights[{j}] = {w!r} is negative; a weight "
                             "must be 0 or more")
    return n_nodes


def _checked_pairs(n_nodes, sources, targets):
    if len(sources) != len(targets):
        raise ValueError(f"shortest_routes(): sources has {len(sources)} entries and targets "
                         f"{len(targets)}; they must have one per pair")
    for name, nodes in (("sources", sources), ("targets", targets)):
        for k, node in enumerate(nodes):
            if not 0 <= node < n_nodes:
                raise _not_a_node(name, k, node, n_nodes)


def _dijkstra(indptr, neighbours, weights, edges, source, targets):
    """Settles nodes from source until every target is settled: {node: (distance, pred,
    link)} of the settled ones, the source's pred None."""
    remaining = set(targets)
    dist, seen, pred = {}, {source: 0.0}, {source: (None, None)}
    fringe, pushed = [(0.0, 0, source)], 1
    while remaining and fringe:
        d, _, v = heappop(fringe)
        if v in dist:
            continue
        dist[v] = d
        remaining.discard(v)
        if not remaining:
            break
        for j in range(indptr[v], indptr[v + 1]):
            u = neighbours[j]
            if u in dist:
                continue
            du = d + weights[j]
            if u not in seen or du < seen[u]:
                seen[u] = du
                pred[u] = (v, edges[j])
                heappush(fringe, (du, pushed, u))
                pushed += 1
    return dist, pred


def shortest_routes(indptr, neighbours, weights, edges, sources, targets):
    indptr = _array(indptr, "indptr", "int64")
    neighbours = _array(neighbours, "neighbours", "int64")
    weights = _array(weights, "weights", "float64")
    edges = _array(edges, "edges", "int64")
    sources = _array(sources, "sources", "int64")
    targets = _array(targets, "targets", "int64")
    n_nodes = _checked_graph(indptr, neighbours, weights, edges)
    _checked_pairs(n_nodes, sources, targets)

    groups = {}
    for k in sorted(range(len(sources)), key=lambda k: sources[k]):
        groups.setdefault(sources[k], []).append(k)
    routes, latency = [None] * len(sources), [inf] * len(sources)
    for source, pairs in groups.items():
        dist, pred = _dijkstra(indptr, neighbours, weights, edges, source,
                               [targets[k] for k in pairs])
        for k in pairs:
            route, node = [], targets[k]
            if node in dist:
                latency[k] = dist[node]
                while node != source:
                    node, link = pred[node]
                    route.append(link)
            routes[k] = route[::-1]
    offsets = [0]
    for route in routes:
        offsets.append(offsets[-1] + len(route))
    links = [link for route in routes for link in route]
    return (array("q", offsets).tobytes(), array("q", links).tobytes(),
            array("d", latency).tobytes())
