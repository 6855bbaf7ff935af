"""One Ray actor per infrastructure node, holding the services placed there."""

from __future__ import annotations

import dataclasses
import time
from typing import TYPE_CHECKING, Any, Callable, Hashable, cast

import ray

from sorvane_core.remote.service import Service
from sorvane_core.remote.utils import RemoteOps, ResponseCode

if TYPE_CHECKING:
    from sorvane_core.graph import Infrastructure

# How long stop_node_actors waits for Ray to release an actor name.
_RELEASE_TIMEOUT_S = 10.0
_RELEASE_POLL_S = 0.05


@ray.remote
class RemoteNode:
    """An infrastructure node and the services deployed on it."""

    def __init__(self, name: Hashable, attributes: dict[str, Any] | None = None) -> None:
        self._name = name
        self._attributes: dict[str, Any] = dict(attributes or {})
        self._services: dict[Hashable, Service] = {}

    def entrypoint(
        self, service_id: Hashable | None, fn: Callable[..., Any], /, **event_data: Any
    ) -> Any:
        """Run ``fn`` on this node and return its value.

        With a ``service_id``, ``fn(service_id, service, **event_data)`` gets the
        deployed service (KeyError if it is not deployed here); with None,
        ``fn(node_name, node_attributes, **event_data)`` gets the node itself.
        Both objects are the actor's own state, so ``fn`` may update them.
        """
        if service_id is None:
            return fn(self._name, self._attributes, **event_data)
        if service_id not in self._services:
            raise KeyError(f"service {service_id!r} is not deployed on node {self._name!r}")
        return fn(service_id, self._services[service_id], **event_data)

    def ops_entrypoint(
        self, op: RemoteOps, service_id: Hashable, service: Service | None = None
    ) -> ResponseCode | tuple[ResponseCode, Service | None]:
        """Apply a life-cycle operation; never raises.

        DEPLOY, START and STOP answer a ResponseCode; UNDEPLOY answers
        ``(code, service)`` so the caller gets the service state back.
        """
        try:
            return self._apply(op, service_id, service)
        except Exception:
            # A broken request (unhashable id, non-dataclass service, ...) must
            # not kill the caller's batch of operations: it is just an error.
            return (ResponseCode.ERROR, None) if op is RemoteOps.UNDEPLOY else ResponseCode.ERROR

    def _apply(
        self, op: RemoteOps, service_id: Hashable, service: Service | None
    ) -> ResponseCode | tuple[ResponseCode, Service | None]:
        current = self._services.get(service_id)
        if op is RemoteOps.DEPLOY:
            if current is not None or service is None:
                return ResponseCode.ERROR
            # A copy: the caller's object must never be the actor's state.
            self._services[service_id] = dataclasses.replace(
                service, deployed=True, running=False
            )
            return ResponseCode.OK
        if op is RemoteOps.START:
            if current is None or current.running:
                return ResponseCode.ERROR
            current.running = True
            return ResponseCode.OK
        if op is RemoteOps.STOP:
            if current is None or not current.running:
                return ResponseCode.ERROR
            current.running = False
            return ResponseCode.OK
        if op is RemoteOps.UNDEPLOY:
            if current is None or current.running:
                return ResponseCode.ERROR, None
            del self._services[service_id]
            current.deployed = False
            current.running = False
            return ResponseCode.OK, current
        return ResponseCode.ERROR

    def services(self) -> dict[Hashable, Service]:
        """Snapshot of the deployed services by id."""
        return {sid: dataclasses.replace(s) for sid, s in self._services.items()}

    def name(self) -> Hashable:
        """The node name."""
        return self._name

    def attributes(self) -> dict[str, Any]:
        """Snapshot of the node attributes."""
        return dict(self._attributes)


def actor_name(infrastructure_id: Any, node: Any) -> str:
    """Ray actor name of ``node`` in the infrastructure ``infrastructure_id``."""
    return f"{infrastructure_id}/{node}"


def _live_actor(name: str) -> ray.actor.ActorHandle[Any] | None:
    try:
        return ray.get_actor(name)
    except ValueError:
        return None


# A node attribute that pins the node's actor to one Ray node, by its node id.
PIN_ATTRIBUTE = "ray_node_id"


def scheduling_of(attributes: dict[str, Any]) -> Any:
    """Where Ray may put a node's actor: spread over the cluster's nodes, or on
    the Ray node that the node's ``ray_node_id`` attribute names."""
    node_id = attributes.get(PIN_ATTRIBUTE)
    if node_id is None:
        return "SPREAD"
    from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy

    return NodeAffinitySchedulingStrategy(node_id=str(node_id), soft=False)


def start_node_actors(infrastructure: Infrastructure) -> dict[Hashable, ray.actor.ActorHandle[Any]]:
    """Start one named RemoteNode per node of ``infrastructure`` and wait until all are up.

    The actors are created together and waited for in one gather, spread over
    the Ray cluster's nodes (see :func:`scheduling_of`). If any of them cannot
    start (e.g. its name is taken by a live actor), the ones already started
    are killed before the error is raised, so that a failed start leaves
    nothing behind and never touches actors it did not create.

    Keep the returned handles for as long as the actors are needed: Ray ends
    an actor when its last handle is dropped, even a named one.
    """
    handles: dict[Hashable, ray.actor.ActorHandle[Any]] = {}
    try:
        for node, attributes in infrastructure.nodes(data=True):
            handles[node] = cast(Any, RemoteNode).options(
                name=actor_name(infrastructure.id, node), num_cpus=0,
                scheduling_strategy=scheduling_of(attributes),
            ).remote(node, dict(attributes))
        # Creation is asynchronous; a round trip surfaces constructor failures now.
        ray.get([h.name.remote() for h in handles.values()])
    except BaseException:
        for handle in handles.values():
            ray.kill(handle)
        raise
    return handles


def stop_node_actors(infrastructure: Infrastructure) -> None:
    """Kill the node actors of ``infrastructure`` and wait until their names are free.

    Nodes without a live actor are skipped. Raises TimeoutError if Ray has not
    released a name after a few seconds, since starting again would then fail.
    """
    names = []
    for node in infrastructure.nodes:
        name = actor_name(infrastructure.id, node)
        handle = _live_actor(name)
        if handle is not None:
            ray.kill(handle)
            names.append(name)
    deadline = time.monotonic() + _RELEASE_TIMEOUT_S
    for name in names:
        while _live_actor(name) is not None:
            if time.monotonic() > deadline:
                raise TimeoutError(f"Ray still holds actor name {name!r} after kill")
            time.sleep(_RELEASE_POLL_S)
