"""Infrastructure and application graphs.

Both are networkx graphs with an ``id``. The id is kept among the graph
attributes, so networkx copies, subgraphs and pickles carry it along.
"""

from __future__ import annotations

from dataclasses import replace
from typing import Any, Hashable

import networkx as nx

from sorvane_core.remote.service import Service


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


class Infrastructure(_Identified, nx.Graph):
    """Nodes (machines, with their resources as attributes) and the links between them."""

    def __init__(self, id: Hashable = None, incoming_graph_data: Any = None, **attr: Any) -> None:
        super().__init__(incoming_graph_data, **attr)
        # Set last: incoming graph data may carry another graph's id.
        self.graph["id"] = id


class Application(_Identified, nx.DiGraph):
    """Services (nodes) and their interactions (edges).

    ``services`` maps each service id to its :class:`Service`, the life-cycle
    state that the remote operations update.
    """

    def __init__(self, id: Hashable = None, incoming_graph_data: Any = None, **attr: Any) -> None:
        super().__init__(incoming_graph_data, **attr)
        self.graph["id"] = id
        self.services: dict[Hashable, Service] = {
            sid: Service(sid, requirements=dict(data)) for sid, data in self.nodes(data=True)
        }

    def add_service(self, service_id: Hashable, **requirements: Any) -> Service:
        """Add a service, or update the requirements of an existing one, and return it."""
        self.add_node(service_id, **requirements)
        service = self.services.get(service_id)
        if service is None:
            service = self.services[service_id] = Service(service_id)
        service.requirements.update(requirements)
        return service

    def add_interaction(self, source: Hashable, target: Hashable, **requirements: Any) -> None:
        """Add an interaction from ``source`` to ``target``.

        Endpoints not added before become services, as they become graph nodes.
        """
        self.add_edge(source, target, **requirements)
        for sid in (source, target):
            if sid not in self.services:
                self.services[sid] = Service(sid)

    def copy(self, as_view: bool = False) -> Application:
        """Copy the graph as networkx does; a copy gets its own copies of the services.

        A view shares the services with this application, as it shares the graph.
        """
        new = super().copy(as_view=as_view)
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
        view = super().subgraph(nodes)
        view.services = {sid: s for sid, s in self.services.items() if sid in view}
        return view
