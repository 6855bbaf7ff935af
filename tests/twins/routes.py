"""The routes module written in plain Python: what the native module does, step for step.

Like the other twins, it stands in for the native module under ``pytest --twin`` and is
the second opinion of the differential tests: the same checks with the same messages, and
the same searches. By default one search per pair from both ends, as networkx's
``bidirectional_dijkstra`` runs it (two heaps of (distance, push counter, node) fed by
one counter, turns taken forward first, the best meeting kept until a node is settled
both ways), the latency summed from the source along the route. With
``bidirectional=False`` the pairs grouped by source, one Dijkstra per source that settles
nodes as networkx's ``_dijkstra_multisource`` does (a heap of (distance, push counter,
node), neighbours in adjacency order, a predecessor replaced only by a strictly shorter
distance) and stops once every target of the source is settled. The routes are laid out
in the order of the pairs. It has no GIL to release, so nothing in it can see the arrays
change under it.
"""

import sys
from array import array
from heapq import heappop, heappush
from itertools import count
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


def _checked_graph(indptr, neighbours, weights, edges, r=""):
    if not indptr:
        raise ValueError(f"shortest_routes(): {r}indptr must have one entry per node and one "
                         "more, not 0")
    n_entries = len(neighbours)
    for name, values in (("weights", weights), ("edges", edges)):
        if len(values) != n_entries:
            raise ValueError(f"shortest_routes(): {r}{name} has {len(values)} entries and "
                             f"{r}neighbours {n_entries}; they must have one per adjacency "
                             "entry")
    n_nodes = len(indptr) - 1
    if indptr[0] != 0:
        raise ValueError(f"shortest_routes(): {r}indptr[0] must be 0, not {indptr[0]}")
    for i in range(1, n_nodes + 1):
        if indptr[i] < indptr[i - 1]:
            raise ValueError(f"shortest_routes(): {r}indptr[{i}] = {indptr[i]} is less than "
                             f"{r}indptr[{i - 1}] = {indptr[i - 1]}; {r}indptr must not "
                             "decrease")
    if indptr[-1] != n_entries:
        raise ValueError(f"shortest_routes(): {r}indptr[{n_nodes}] = {indptr[-1]}, the last "
                         "entry, must be the number of adjacency entries, "
                         f"len({r}neighbours) = {n_entries}")
    for j, u in enumerate(neighbours):
        if not 0 <= u < n_nodes:
            raise _not_a_node(f"{r}neighbours", j, u, n_nodes)
    for j, w in enumerate(weights):
        if isnan(w):
            raise ValueError(f"shortest_routes(): {r}weights[{j}] is NaN; a weight must be 0 "
                             "or more")
        if w < 0:
            raise ValueError(f"shortest_routes(): {r}weights[{j}] = {w!r} is negative; a weight "
                             "must be 0 or more")
    return n_nodes


def _check_reverse(indptr, neighbours, rindptr, rneighbours):
    if len(rindptr) != len(indptr):
        raise ValueError(f"shortest_routes(): rindptr has {len(rindptr)} entries and indptr "
                         f"{len(indptr)}; the reverse adjacency must have the same nodes")
    if len(rneighbours) != len(neighbours):
        raise ValueError(f"shortest_routes(): rneighbours has {len(rneighbours)} entries and "
                         f"neighbours {len(neighbours)}; the reverse adjacency must have the "
                         "same entries, turned round")
    for own, named, to, other in ((rindptr, "rindptr", neighbours, "neighbours"),
                                  (indptr, "indptr", rneighbours, "rneighbours")):
        leading = [0] * (len(indptr) - 1)
        for node in to:
            leading[node] += 1
        for v, n in enumerate(leading):
            if own[v + 1] - own[v] != n:
                raise ValueError(f"shortest_routes(): the degree of node {v} in {named} is "
                                 f"{own[v + 1] - own[v]}, and in {other} it is {n} (the "
                                 "entries that lead to it); the reverse adjacency must hold "
                                 "each entry of the adjacency, turned round")


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


def _bidirectional(forward, backward, source, target):
    """networkx's bidirectional_dijkstra over the adjacencies (indptr, neighbours, weights,
    edges) of both directions: the links of the route and its latency, summed from the
    source; ([], inf) when there is none."""
    if source == target:
        return [], 0.0
    adjacency = (forward, backward)
    dists, seen = ({}, {}), ({source: 0.0}, {target: 0.0})
    preds = ({source: None}, {target: None})  # node: (pred, entry)
    fringe, c = ([], []), count()
    heappush(fringe[0], (0.0, next(c), source))
    heappush(fringe[1], (0.0, next(c), target))
    finaldist, meetnode, direction = None, None, 1
    while fringe[0] and fringe[1]:
        direction = 1 - direction
        dist, _, v = heappop(fringe[direction])
        if v in dists[direction]:
            continue
        dists[direction][v] = dist
        if v in dists[1 - direction]:
            break
        indptr, neighbours, weights, _ = adjacency[direction]
        for j in range(indptr[v], indptr[v + 1]):
            w = neighbours[j]
            if w in dists[direction]:
                continue  # never shorter, the weights being 0 or more
            length = dist + weights[j]
            if w not in seen[direction] or length < seen[direction][w]:
                seen[direction][w] = length
                heappush(fringe[direction], (length, next(c), w))
                preds[direction][w] = (v, j)
                if w in seen[1 - direction]:
                    total = length + seen[1 - direction][w]
                    if finaldist is None or finaldist > total:
                        finaldist, meetnode = total, w
    else:
        return [], inf
    ahead, node = [], meetnode
    while preds[0][node] is not None:
        node, j = preds[0][node]
        ahead.append(j)
    route = [forward[3][j] for j in reversed(ahead)]
    latency = 0.0
    for j in reversed(ahead):
        latency += forward[2][j]
    node = meetnode
    while preds[1][node] is not None:
        node, j = preds[1][node]
        route.append(backward[3][j])
        latency += backward[2][j]
    return route, latency


def _type_name(cls):
    """The type's name as its C structure has it: a class made by a class statement by its
    name, a built-in type of an extension module by its dotted path."""
    if cls.__flags__ & (1 << 9) or cls.__module__ == "builtins":  # Py_TPFLAGS_HEAPTYPE
        return cls.__name__
    return f"{cls.__module__}.{cls.__qualname__}"


def _as_bool(value, name):
    if type(value) is not bool:
        raise TypeError(f"shortest_routes() argument '{name}' must be True or False, not "
                        f"{_type_name(type(value))}")
    return value


def shortest_routes(indptr, neighbours, weights, edges, sources, targets, bidirectional=True,
                    rindptr=None, rneighbours=None, rweights=None, redges=None):
    indptr = _array(indptr, "indptr", "int64")
    neighbours = _array(neighbours, "neighbours", "int64")
    weights = _array(weights, "weights", "float64")
    edges = _array(edges, "edges", "int64")
    sources = _array(sources, "sources", "int64")
    targets = _array(targets, "targets", "int64")
    bidirectional = _as_bool(bidirectional, "bidirectional")
    named = {"rindptr": rindptr, "rneighbours": rneighbours, "rweights": rweights,
             "redges": redges}
    missing = [name for name, value in named.items() if value is None]
    if 0 < len(missing) < 4:
        raise TypeError("shortest_routes(): the reverse adjacency is rindptr, rneighbours, "
                        f"rweights and redges, all four or none; missing: {', '.join(missing)}")
    reverse = None
    if not missing:
        reverse = (_array(rindptr, "rindptr", "int64"),
                   _array(rneighbours, "rneighbours", "int64"),
                   _array(rweights, "rweights", "float64"), _array(redges, "redges", "int64"))
    n_nodes = _checked_graph(indptr, neighbours, weights, edges)
    if reverse is not None:
        _checked_graph(*reverse, r="r")
        _check_reverse(indptr, neighbours, reverse[0], reverse[1])
    _checked_pairs(n_nodes, sources, targets)

    routes, latency = [None] * len(sources), [inf] * len(sources)
    forward = (indptr, neighbours, weights, edges)
    if bidirectional:
        for k, (source, target) in enumerate(zip(sources, targets)):
            routes[k], latency[k] = _bidirectional(forward, reverse or forward, source, target)
    else:
        groups = {}
        for k in sorted(range(len(sources)), key=lambda k: sources[k]):
            groups.setdefault(sources[k], []).append(k)
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
