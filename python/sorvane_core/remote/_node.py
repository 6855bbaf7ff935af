"""One Ray actor per infrastructure node, holding the services placed there."""

from __future__ import annotations

import dataclasses
import time
from collections.abc import Callable, Hashable, Iterable
from typing import TYPE_CHECKING, Any, cast

import ray

from sorvane_core.remote.service import Service
from sorvane_core.remote.utils import (
    RemoteOps,
    ResponseCode,
    forget_actor,
    name_actor,
    ray_get,
)

if TYPE_CHECKING:
    from sorvane_core.graph import Infrastructure

# How long stop_node_actors waits for Ray to release an actor name.
_RELEASE_TIMEOUT_S = 10.0
_RELEASE_POLL_S = 0.05


@ray.remote
class RemoteNode:
    """An infrastructure node and the services deployed on it.

    Its life-cycle operations reach a state rather than make a move, so that
    repeating an operation after a partial failure completes it:

    ========  ==============================  ==================================
    DEPLOY    not here: deployed, OK           here with the same requirements:
                                               OK, kept as it is; with others
                                               (another service of that id) or
                                               no service given: ERROR
    START     stopped: started, OK             running: OK; not here: ERROR
    STOP      running: stopped, OK             stopped, or not here: OK
    UNDEPLOY  stopped: removed, (OK, state)    not here: (OK, None);
                                               running: (ERROR, None)
    ========  ==============================  ==================================
    """

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
            if service is None:
                return ResponseCode.ERROR
            if current is not None:  # a retry, or another service under the same id
                same = current.requirements == service.requirements
                return ResponseCode.OK if same else ResponseCode.ERROR
            # A copy: the caller's object must never be the actor's state.
            self._services[service_id] = dataclasses.replace(
                service, deployed=True, running=False
            )
            return ResponseCode.OK
        if op is RemoteOps.START:
            if current is None:
                return ResponseCode.ERROR
            current.running = True
            return ResponseCode.OK
        if op is RemoteOps.STOP:
            if current is not None:
                current.running = False
            return ResponseCode.OK
        if op is RemoteOps.UNDEPLOY:
            if current is None:
                return ResponseCode.OK, None
            if current.running:
                return ResponseCode.ERROR, None
            del self._services[service_id]
            current.deployed = False
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
            name = actor_name(infrastructure.id, node)
            handle = handles[node] = cast(Any, RemoteNode).options(
                name=name, num_cpus=0, scheduling_strategy=scheduling_of(attributes),
            ).remote(node, dict(attributes))
            name_actor(handle, name)
        # Creation is asynchronous; a round trip surfaces constructor failures now.
        ray_get([h.name.remote() for h in handles.values()])
    except BaseException:
        kill_node_actors(handles.values(), [])
        raise
    return handles


def kill_node_actors(handles: Iterable[ray.actor.ActorHandle[Any]], names: Iterable[str]) -> None:
    """Kill actors, without waiting for what they are doing, then wait a few
    seconds for ``names`` to be free again.

    Every kill is made even if an interrupt (Ctrl-C) comes in the middle; the
    interrupt is raised once they all are. Raises TimeoutError if Ray has not
    released a name in time, since starting again would then fail.
    """
    interrupted: BaseException | None = None
    for handle in handles:
        for _ in range(3):
            try:
                ray.kill(handle, no_restart=True)
                break
            except (KeyboardInterrupt, SystemExit) as exc:
                interrupted = exc  # and kill it again: the first one may not have gone out
            except Exception:
                break  # already gone
        forget_actor(handle)
    deadline = time.monotonic() + _RELEASE_TIMEOUT_S
    try:
        for name in names:
            while _live_actor(name) is not None:
                if time.monotonic() > deadline:
                    raise TimeoutError(f"Ray still holds actor name {name!r} after kill")
                time.sleep(_RELEASE_POLL_S)
    except (KeyboardInterrupt, SystemExit) as exc:
        interrupted = interrupted or exc  # the kills are made; the names follow
    if interrupted is not None:
        raise interrupted


def stop_node_actors(infrastructure: Infrastructure) -> None:
    """Kill the node actors of ``infrastructure`` and wait until their names are free.

    Nodes without a live actor are skipped. Raises TimeoutError if Ray has not
    released a name after a few seconds, since starting again would then fail.
    """
    handles, names = [], []
    for node in infrastructure.nodes:
        name = actor_name(infrastructure.id, node)
        handle = _live_actor(name)
        if handle is not None:
            handles.append(handle)
            names.append(name)
    kill_node_actors(handles, names)
