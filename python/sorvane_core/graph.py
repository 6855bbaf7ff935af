"""Infrastructure and application graphs.

Both are networkx graphs with an ``id``. The id is kept among the graph
attributes, so networkx copies, subgraphs and pickles carry it along.

The collectors call ``nodes(data=True)`` and ``edges(data=True)`` on every
graph at every activation, which networkx answers by building a new data view
and, for edges, a generator that walks the adjacency. These graphs answer the
same calls with the same items from views made once: the node data view is
live over the node dict, and the edge triples are captured once and dropped by
networkx's own mutators, which clear ``__networkx_cache__`` on every change.
"""

from __future__ import annotations

from collections.abc import Hashable
from dataclasses import replace
from functools import cached_property
from typing import Any

import networkx as nx
from networkx.classes.reportviews import EdgeView, NodeDataView, NodeView, OutEdgeView

from sorvane_core.remote.service import Service

# What these graphs keep in __networkx_cache__, which networkx's mutators clear:
# the captured edge triples, and the services dict once it matches the nodes
# (other parts of the package keep their own entries under the same prefix).
_OWN_PREFIX = "sorvane_core."
_EDGES_KEY = _OWN_PREFIX + "edges"
_SERVICES_KEY = _OWN_PREFIX + "services"


class _NodeView(NodeView):
    """networkx's NodeView; ``nodes(data=True)`` returns one live data view."""

    __slots__ = ("_with_data",)
    _with_data: Any

    def __call__(self, data: Any = False, default: Any = None) -> Any:
        if data is True and default is None:
            try:
                return self._with_data
            except AttributeError:  # first call, or unpickled (the slot is not kept)
                self._with_data = NodeDataView(self._nodes, True)
                return self._with_data
        return super().__call__(data, default)

    def __repr__(self) -> str:
        return f"NodeView({tuple(self)})"  # as networkx's own


def _replaying(base: Any) -> type:
    """A subclass of the edge data view ``base`` that iterates captured triples."""

    def __iter__(self: Any) -> Any:
        return iter(self._triples)

    def __reduce__(self: Any) -> Any:
        # Pickles as the plain networkx view; the triples are a cache.
        return (base, (self._viewer, None, True))

    def __repr__(self: Any) -> str:
        return f"{base.__name__}({list(self)})"  # as networkx's own

    return type(
        f"_Replaying{base.__name__}",
        (base,),
        {"__slots__": ("_triples",), "__iter__": __iter__, "__reduce__": __reduce__,
         "__repr__": __repr__, "__module__": __name__},
    )


def _caching_edge_view(name: str, base: Any) -> type:
    """A subclass of the edge view ``base`` whose ``(data=True)`` replays cached triples.

    The triples live in the graph's ``__networkx_cache__``, which networkx
    clears on every change of the graph. A graph view (a subgraph, a reversed
    view, ...) reads another graph's adjacency, whose changes do not clear the
    view's cache: its edges are never cached.
    """
    replaying = _replaying(base.dataview)

    def __init__(self: Any, G: Any) -> None:
        base.__init__(self, G)  # the base class's own, whatever the subclass
        state = G.__dict__
        self._cache = None if "_graph" in state else state.get("__networkx_cache__")

    def __call__(self: Any, nbunch: Any = None, data: Any = False, *, default: Any = None) -> Any:
        if data is True and nbunch is None and default is None:
            try:
                return self._cache[_EDGES_KEY]
            except (KeyError, TypeError, AttributeError):  # not yet, never, or unpickled
                return fill(self)
        return base.__call__(self, nbunch, data, default=default)

    def fill(self: Any) -> Any:
        try:
            cache = self._cache
        except AttributeError:  # unpickled: networkx's __setstate__ knows nothing of it
            state = self._graph.__dict__
            cache = self._cache = None if "_graph" in state else state.get("__networkx_cache__")
        if cache is None:
            return self.dataview(self, None, True)
        found = replaying(self, None, True)
        found._triples = tuple(base.dataview.__iter__(found))
        cache[_EDGES_KEY] = found
        return found

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

    def __getstate__(self) -> dict[str, Any]:
        # The caches are rebuilt on demand; pickles carry the graph alone.
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

    @cached_property
    def edges(self) -> EdgeView:
        """The links, as networkx's ``G.edges``."""
        return _EdgeView(self)


class Application(_Identified, nx.DiGraph):
    """Services (nodes) and their interactions (edges).

    ``services`` maps each service of the graph to its :class:`Service`, the
    life-cycle state that the remote operations update. It follows the graph:
    a service added in any way networkx allows (``add_service``, ``add_node``,
    an edge to a new node, ...) gets a ``Service`` whose requirements are its
    node attributes at that moment, and a removed node loses its entry.
    Entries stored under other ids are kept as they are.
    """

    _services: dict[Hashable, Service]
    _synced_nodes: set[Hashable]  # the nodes of the graph when the services last followed it
    _synced_size: int  # the size of the services dict then

    def __init__(self, id: Hashable = None, incoming_graph_data: Any = None, **attr: Any) -> None:
        self.services = {}
        super().__init__(incoming_graph_data, **attr)
        self.graph["id"] = id

    @cached_property
    def edges(self) -> OutEdgeView:
        """The interactions, as networkx's ``G.edges``."""
        return _OutEdgeView(self)

    @property
    def services(self) -> dict[Hashable, Service]:
        """Service id -> :class:`Service`, with an entry for every node of the graph."""
        services: dict[Hashable, Service] = self._services
        state = self.__dict__
        cache = state.get("__networkx_cache__")
        # The operations read this once per service: the graph is walked again
        # only after networkx changed it (or on a graph view), or after the
        # dict itself lost or gained entries.
        current = (
            cache is not None
            and cache.get(_SERVICES_KEY) is services
            and len(services) == self._synced_size
        )
        if current:
            return services
        nodes = self._node
        # Entries of nodes removed since the last look go; entries stored
        # under other ids (by the operations or by hand) stay.
        for sid in self._synced_nodes.difference(nodes):
            services.pop(sid, None)
        for sid, data in nodes.items():
            if sid not in services:
                services[sid] = Service(sid, requirements=dict(data))
        self._synced_nodes = set(nodes)
        self._synced_size = len(services)
        if cache is not None and "_graph" not in state:
            cache[_SERVICES_KEY] = services
        return services

    @services.setter
    def services(self, value: dict[Hashable, Service]) -> None:
        self._services = value
        self._synced_nodes = set()
        self._synced_size = -1

    def add_service(self, service_id: Hashable, **requirements: Any) -> Service:
        """Add a service, or update the requirements of an existing one, and return it."""
        self.add_node(service_id, **requirements)
        # Straight into the dict, not through the property, whose walk of the
        # graph would make building an application quadratic.
        services = self._services
        service = services.get(service_id)
        if service is None:
            service = services[service_id] = Service(service_id)
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

    def subgraph(self, nodes: Any) -> Application:
        """Subgraph view as networkx builds it, sharing the services it contains."""
        view: Application = super().subgraph(nodes)
        view.services = {sid: s for sid, s in self.services.items() if sid in view}
        return view
