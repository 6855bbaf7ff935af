"""Infrastructure and application graphs.

Both are networkx graphs with an ``id``. The id is kept among the graph
attributes, so networkx copies, subgraphs and pickles carry it along, and
``clear()`` keeps it while it clears every other graph attribute.

The collectors call ``nodes(data=True)`` and ``edges(data=True)`` on every
graph at every activation, which networkx answers by building a new data view
and, for edges, a generator that walks the adjacency. These graphs answer the
same calls with the same items from views made once: the node data view is
live over the node dict, and the edge triples are captured once and kept in
``__networkx_cache__``, which networkx's own mutators clear on every change.
A data view replays its triples only while it is still the one the cache
holds; after a change it walks the adjacency, live, as networkx's views do.

Copies behave as networkx's: ``copy.copy`` shares everything with the graph,
caches included, so a change through either shows in both; deep copies and
pickles are independent graphs and carry no caches. A view pickled or deep
copied on its own comes back as a view over the copied adjacency.

``edge_key`` and ``edge_ends`` map the text key under which the collectors
store an edge's result back to the edge's real endpoints.

>>> app = Application("shop")
>>> app.add_service("web", cpu=1)
Service(id='web', deployed=False, running=False, requirements={'cpu': 1})
>>> app.add_interaction("web", "db", latency=5)
>>> list(app.edges(data=True))
[('web', 'db', {'latency': 5})]
>>> sorted(app.services)
['db', 'web']
>>> dict(edge_ends(app))
{'web,db': ('web', 'db')}
"""

from __future__ import annotations

from collections.abc import Hashable, Iterable, Mapping
from dataclasses import replace
from functools import cached_property
from types import MappingProxyType
from typing import Any

import networkx as nx
from networkx.classes.reportviews import EdgeView, NodeDataView, NodeView, OutEdgeView

from sorvane_core.remote.service import Service

# What these graphs keep in __networkx_cache__, which networkx's mutators clear:
# the captured edge triples, the edge key table, and the services dict with its
# version once it matches the nodes. Entries under this prefix are caches: they
# are left out of pickles and deep copies.
_OWN_PREFIX = "sorvane_core."
_EDGES_KEY = _OWN_PREFIX + "edges"
_EDGE_ENDS_KEY = _OWN_PREFIX + "edge_keys"
_SERVICES_KEY = _OWN_PREFIX + "services"


class _Clock:
    """Counts the changes of every graph that has something cached."""

    __slots__ = ("value",)

    def __init__(self) -> None:
        self.value = 0


GRAPH_CHANGES = _Clock()


class _Cache(dict[Any, Any]):
    """A graph's ``__networkx_cache__`` that counts its clearings.

    networkx's mutators clear the cache of a graph that holds anything cached,
    on every change; so a reader that cached something in a graph knows, by
    comparing :data:`GRAPH_CHANGES` with the value it saw, whether any such
    graph changed since, without looking at each graph.
    """

    __slots__ = ()

    def clear(self) -> None:
        GRAPH_CHANGES.value += 1
        super().clear()


def _cache_of(graph: Any) -> dict[Any, Any] | None:
    """The cache that networkx clears when ``graph`` changes, if there is one.

    A graph view (a subgraph, a reversed view, ...) reads another graph's
    adjacency, whose changes do not clear the view's cache: it has none here.
    """
    state = getattr(graph, "__dict__", None)
    if state is None or "_graph" in state:
        return None
    cache: dict[Any, Any] | None = state.get("__networkx_cache__")
    return cache


class _NodeView(NodeView):
    """networkx's NodeView; ``nodes(data=True)`` returns one live data view."""

    __slots__ = ("_with_data",)
    _with_data: Any

    def __call__(self, data: Any = False, default: Any = None) -> Any:
        if data is True and default is None:
            try:
                return self._with_data
            except AttributeError:  # first call, or a copy (the slot is not kept)
                self._with_data = NodeDataView(self._nodes, True)
                return self._with_data
        return super().__call__(data, default)

    def __repr__(self) -> str:
        return f"NodeView({tuple(self)})"  # as networkx's own


def _replaying(base: Any) -> type:
    """A subclass of the edge data view ``base`` that replays captured triples.

    It replays them only while it is the entry of the cache it was stored in:
    once networkx clears the cache, the triples may be stale and the view
    walks the adjacency as ``base`` does.
    """

    def __iter__(self: Any) -> Any:
        if self._cache.get(_EDGES_KEY) is self:
            return iter(self._triples)
        return base.__iter__(self)

    def __reduce__(self: Any) -> Any:
        # Copies and pickles are the plain networkx view; the triples are a cache.
        return (base, (self._viewer, None, True))

    def __repr__(self: Any) -> str:
        return f"{base.__name__}({list(self)})"  # as networkx's own

    return type(
        f"_Replaying{base.__name__}",
        (base,),
        {"__slots__": ("_triples", "_cache"), "__iter__": __iter__, "__reduce__": __reduce__,
         "__repr__": __repr__, "__module__": __name__},
    )


def _caching_edge_view(name: str, base: Any) -> type:
    """A subclass of the edge view ``base`` whose ``(data=True)`` replays cached triples."""
    replaying = _replaying(base.dataview)

    def __init__(self: Any, G: Any) -> None:
        base.__init__(self, G)  # the base class's own, whatever the subclass
        self._cache = _cache_of(G)

    def __call__(self: Any, nbunch: Any = None, data: Any = False, *, default: Any = None) -> Any:
        if data is True and nbunch is None and default is None:
            try:
                cache = self._cache
            except AttributeError:  # a copy: networkx's __setstate__ knows nothing of it
                cache = self._cache = _cache_of(graph_of(self))
            if cache is None:
                return base.dataview(self, None, True)
            found = cache.get(_EDGES_KEY)
            if found is None:
                found = replaying(self, None, True)
                found._cache = cache
                found._triples = tuple(base.dataview.__iter__(found))
                cache[_EDGES_KEY] = found
            return found
        return base.__call__(self, nbunch, data, default=default)

    def graph_of(self: Any) -> Any:
        try:
            return self._graph
        except ReferenceError:
            # A view unpickled or deep copied alone: networkx holds its graph
            # weakly, and nothing else holds the copy of the graph, so it is
            # gone. The copied adjacency is the view's alone, and no mutator
            # will change it: it needs no cache.
            return None

    def __repr__(self: Any) -> str:
        return f"{base.__name__}({list(self)})"  # as networkx's own

    return type(
        name,
        (base,),
        {"__slots__": ("_cache",), "__init__": __init__, "__call__": __call__,
         "__repr__": __repr__, "__module__": __name__, "__doc__": base.__doc__},
    )


_EdgeView = _caching_edge_view("_EdgeView", EdgeView)
_OutEdgeView = _caching_edge_view("_OutEdgeView", OutEdgeView)


def edge_key(source: Any, target: Any) -> str:
    """The text key under which the collectors store the result of an edge.

    >>> edge_key("a", 1), edge_key((0, 1), "b")
    ('a,1', '(0, 1),b')
    """
    return f"{_text(source)},{_text(target)}"


def _text(value: Any) -> str:
    return value if type(value) is str else format(value, "")


def edge_ends(graph: Any) -> Mapping[str, tuple[Any, Any]]:
    """Key text (see :func:`edge_key`) -> (source, target) for the edges of ``graph``.

    The edges are taken in walk order: where two edges share a key, the one
    walked later wins, as in the collectors. The table is read-only and never
    changes once returned, so a caller may keep it as the ends at that moment;
    a change of the graph gives a new table at the next call.

    >>> infr = Infrastructure("dc")
    >>> infr.add_edge(1, "2")
    >>> infr.add_edge("1", 2)  # the same key text as the edge before
    >>> dict(edge_ends(infr))
    {'1,2': ('1', 2)}
    """
    cache = _cache_of(graph)
    if cache is not None:
        found: Mapping[str, tuple[Any, Any]] | None = cache.get(_EDGE_ENDS_KEY)
        if found is not None:
            return found
    table = MappingProxyType({edge_key(u, v): (u, v) for u, v, _ in graph.edges(data=True)})
    if cache is not None:
        cache[_EDGE_ENDS_KEY] = table
    return table


class _Identified:
    """An ``id`` kept among the graph attributes of a networkx graph."""

    graph: dict[str, Any]

    @property
    def id(self) -> Hashable:
        """Identifier of this graph."""
        return self.graph.get("id")

    @id.setter
    def id(self, value: Hashable) -> None:
        self.graph["id"] = value

    @cached_property
    def nodes(self) -> NodeView:
        """The nodes, as networkx's ``G.nodes``."""
        return _NodeView(self)

    def _counting(self) -> None:
        # After networkx's __init__ or an unpickling made the cache a plain dict.
        self.__networkx_cache__ = _Cache(self.__dict__.get("__networkx_cache__") or {})

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)
        self._counting()

    def attributes_changed(self) -> None:
        """Tell the caches that node, edge or graph attributes were changed in place.

        networkx's mutators (``add_node``, ``add_edge``, ...) do this by
        themselves; an assignment into an attribute dict (``G.nodes[n]["cpu"] =
        4``) does not, as for networkx's own caches.
        """
        self.__networkx_cache__.clear()

    def clear(self) -> None:
        """Remove all nodes, edges and graph attributes but the ``id``, as networkx's ``clear``."""
        graph = self.graph
        kept = {"id": graph["id"]} if "id" in graph else {}
        super().clear()  # type: ignore[misc]
        graph.update(kept)

    def __copy__(self) -> Any:
        # As copy.copy copies a plain networkx graph: everything shared, the
        # cache too, so that a change through either graph clears it for both.
        cls = type(self)
        new = cls.__new__(cls)
        new.__dict__.update(self.__dict__)
        return new

    def __getstate__(self) -> dict[str, Any]:
        # The caches are rebuilt on demand; pickles and deep copies carry the graph alone.
        state = self.__dict__.copy()
        cache = state.get("__networkx_cache__")
        if cache:
            state["__networkx_cache__"] = {
                k: v
                for k, v in cache.items()
                if not (isinstance(k, str) and k.startswith(_OWN_PREFIX))
            }
        return state


class Infrastructure(_Identified, nx.Graph):
    """Nodes (machines, with their resources as attributes) and the links between them."""

    def __init__(self, id: Hashable = None, incoming_graph_data: Any = None, **attr: Any) -> None:
        super().__init__(incoming_graph_data, **attr)
        # Set last: incoming graph data may carry another graph's id.
        self.graph["id"] = id
        self._counting()

    @cached_property
    def edges(self) -> EdgeView:
        """The links, as networkx's ``G.edges``."""
        return _EdgeView(self)


class _Services(dict[Hashable, Service]):
    """The services dict of an application.

    ``version`` counts the changes of its keys (an entry added or removed),
    so the application knows when it must walk its graph again. Storing
    another service under a key already there is not counted: the remote
    operations store so every service a node hands back, and the services
    still match the nodes after it.

    ``origins`` holds, for each entry that serves a node of the graph, the
    node attribute dict it was made for or found with. networkx makes a new
    attribute dict whenever it (re)creates a node, so an entry whose origin is
    not the node's dict any more belongs to a node since removed.
    """

    version = 0

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.origins: dict[Hashable, dict[str, Any]] = {}

    def __setitem__(self, key: Hashable, value: Service) -> None:
        if key not in self:
            self.version += 1
        super().__setitem__(key, value)

    def __delitem__(self, key: Hashable) -> None:
        super().__delitem__(key)
        self.version += 1

    def pop(self, key: Hashable, *default: Any) -> Any:
        if key in self:
            self.version += 1
        return super().pop(key, *default)

    def popitem(self) -> tuple[Hashable, Service]:
        item = super().popitem()
        self.version += 1
        return item

    def clear(self) -> None:
        if self:
            self.version += 1
        super().clear()

    def setdefault(self, key: Hashable, default: Any = None) -> Any:
        if key not in self:
            self.version += 1
        return super().setdefault(key, default)

    def update(self, *args: Any, **kwargs: Any) -> None:
        size = len(self)
        try:
            super().update(*args, **kwargs)
        finally:  # even if it stopped halfway: some keys may be new
            if len(self) != size:
                self.version += 1

    def __ior__(self, other: Any) -> _Services:  # type: ignore[override,misc]
        self.update(other)
        return self

    def __reduce__(self) -> Any:
        # The origins are attribute dicts of the nodes of one graph: copies
        # carry the entries alone, and a copied application finds the origins
        # again in its own graph.
        return (_Services, (), None, None, iter(self.items()))

    def follow(self, nodes: Mapping[Hashable, dict[str, Any]]) -> None:
        """Bring the entries in line with ``nodes`` (node id -> attribute dict)."""
        origins = self.origins
        for sid in [sid for sid in origins if sid not in nodes]:
            del origins[sid]
            self.pop(sid, None)
        for sid, data in nodes.items():
            origin = origins.get(sid)
            if origin is data:
                if sid in self:
                    continue
            elif origin is None and sid in self:
                # Stored before the node was there (by hand, or with the dict
                # the application was given): it is the node's service now.
                origins[sid] = data
                continue
            self.fresh(sid, data)

    def fresh(self, sid: Hashable, data: dict[str, Any]) -> Service:
        """A new service for node ``sid``, whose attribute dict is ``data``."""
        service = Service(sid, requirements=dict(data))
        self.pop(sid, None)  # made again, it goes at the end, where networkx puts a new node
        self[sid] = service
        self.origins[sid] = data
        return service


class Application(_Identified, nx.DiGraph):
    """Services (nodes) and their interactions (edges).

    ``services`` maps each service of the graph to its :class:`Service`, the
    life-cycle state that the remote operations update. It follows the graph:
    a service added in any way networkx allows (``add_service``, ``add_node``,
    an edge to a new node, ...) gets a ``Service`` whose requirements are its
    node attributes at that moment; a node removed loses its entry, and one
    created again (removed and added, after ``clear()``, by an in-place
    relabelling) gets a new ``Service``. A node that stays keeps its
    ``Service``, the one stored last under its id. Entries stored under ids
    that are not nodes are kept as they are, until a node of that id makes
    them its service.

    >>> app = Application("shop")
    >>> app.add_service("web", cpu=1).deployed = True
    >>> app.remove_node("web")
    >>> app.add_node("web", cpu=2)
    >>> app.services["web"]
    Service(id='web', deployed=False, running=False, requirements={'cpu': 2})
    """

    _services: _Services

    def __init__(self, id: Hashable = None, incoming_graph_data: Any = None, **attr: Any) -> None:
        self.services = {}
        super().__init__(incoming_graph_data, **attr)
        self.graph["id"] = id
        self._counting()

    @cached_property
    def edges(self) -> OutEdgeView:
        """The interactions, as networkx's ``G.edges``."""
        return _OutEdgeView(self)

    def __getstate__(self) -> dict[str, Any]:
        self.services  # noqa: B018 - pickled in line with the nodes
        return super().__getstate__()

    def __setstate__(self, state: dict[str, Any]) -> None:
        super().__setstate__(state)
        # The services are pickled without their origins: each entry for a
        # node was that node's service, and is again.
        self._services.follow(self._node)

    @property
    def services(self) -> dict[Hashable, Service]:
        """Service id -> :class:`Service`, with an entry for every node of the graph.

        Assigning a mapping stores a new dict with its entries, unless it is
        the ``services`` of an application, which is then shared.
        """
        services: _Services = self._services
        state = self.__dict__
        cache = state.get("__networkx_cache__")
        # The operations read this once per service: the graph is walked again
        # only after networkx changed it (or on a graph view), or after entries
        # were added to or removed from the dict.
        if cache is not None:
            seen = cache.get(_SERVICES_KEY)
            current = seen is not None and seen[0] is services and seen[1] == services.version
            if current:
                return services
        services.follow(self._node)
        if cache is not None and "_graph" not in state:
            cache[_SERVICES_KEY] = (services, services.version)
        return services

    @services.setter
    def services(self, value: dict[Hashable, Service]) -> None:
        self._services = value if type(value) is _Services else _Services(value)

    def add_service(self, service_id: Hashable, **requirements: Any) -> Service:
        """Add a service, or add to the requirements of an existing one, and return it.

        The requirements are node attributes as well: on an existing node they
        are added to its attributes, and to those of its ``Service``.
        """
        self.add_node(service_id, **requirements)
        # This one entry is brought in line here, not through the property,
        # whose walk of the graph would make building an application quadratic.
        services = self._services
        data = self._node[service_id]
        service = services.get(service_id)
        origin = services.origins.get(service_id)
        if service is None or (origin is not None and origin is not data):
            return services.fresh(service_id, data)  # its attributes, old and new
        services.origins[service_id] = data
        service.requirements.update(requirements)
        return service

    def add_interaction(self, source: Hashable, target: Hashable, **requirements: Any) -> None:
        """Add an interaction from ``source`` to ``target``.

        Endpoints not added before become services, as they become graph nodes.
        """
        self.add_edge(source, target, **requirements)

    def copy(self, as_view: bool = False) -> Application:
        """Copy the graph as networkx does; a copy gets its own copies of the services.

        A view shares the services with this application, as it shares the graph.
        """
        new: Application = super().copy(as_view=as_view)
        if as_view:
            new.services = self.services
        else:
            new.services = {
                sid: replace(s, requirements=dict(s.requirements))
                for sid, s in self.services.items()
            }
        return new

    def subgraph(self, nodes: Iterable[Hashable]) -> Application:
        """Subgraph view as networkx builds it, sharing the services it contains."""
        view: Application = super().subgraph(nodes)
        view.services = {sid: s for sid, s in self.services.items() if sid in view}
        return view
