"""The Ray side of an emulated run: node actors, and where each service runs.

Every remote operation goes through ``RemoteSimRovel`` on a placement of this
module's own, which holds where the services really are. The user's
placements may change under a run; they are compared with that record at the
next tick, and teardown never depends on them.
"""

from __future__ import annotations

import logging
from collections.abc import Callable, Hashable, Iterable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from sorvane_core.placement import Placement
from sorvane_core.remote.timeouts import shortened, waiting_at_most
from sorvane_core.simulation._checks import check_free

if TYPE_CHECKING:
    from sorvane_core.graph import Infrastructure


# How long a move interrupted by Ctrl-C may spend putting the service back.
_UNDO_AFTER_INTERRUPT_S = 10.0


def _undo(steps: list[Callable[[], Any]]) -> Exception | None:
    """Run the undo ``steps`` last first; return the first failure, after which
    nothing more is tried."""
    for undo in reversed(steps):
        try:
            undo()
        except Exception as err:
            return err
    return None


def urgent(error: BaseException | None) -> bool:
    """Whether ``error``, or one that caused it, means that the actors may not
    answer: an interrupt, a timeout or a lost actor."""
    seen = 0
    while error is not None and seen < 20:
        if not isinstance(error, Exception) or isinstance(error, TimeoutError):
            return True
        if type(error).__module__ == "ray.exceptions" and "Actor" in type(error).__name__:
            return True  # RayActorError, ActorDiedError, ActorUnavailableError, ...
        error = error.__cause__ or error.__context__
        seen += 1
    return False


class MigrationError(RuntimeError):
    """A service could not be moved; it still runs where it was, unless the notes
    of this error say that putting it back failed too.

    Attributes:
        application, service: what was to move.
        source, target: the nodes it was to move from and to.
    """

    def __init__(
        self, application: Hashable, service: Hashable, source: Hashable, target: Hashable,
        reason: BaseException,
    ) -> None:
        super().__init__(
            f"could not move service {service!r} of application {application!r} from node "
            f"{source!r} to node {target!r}: {reason!r}"
        )
        self.application = application
        self.service = service
        self.source = source
        self.target = target


@dataclass
class _Deployed:
    user: Placement  # the simulator's placement, whose _deployed flag mirrors ops
    ops: Placement  # the same application where its services really are
    seen: int | None  # version of the user's mapping when it last matched ops
    running: bool = False


# How the simulator starts Ray when it must: quiet, unless ray_init says otherwise.
QUIET_RAY = {"logging_level": logging.ERROR, "log_to_driver": False}
LOCAL_RAY = {"include_dashboard": False}  # only for a Ray that this process starts itself


def init_ray(address: str | None, ray_init: Mapping[str, Any] | None) -> None:
    """Start Ray, or join the cluster at ``address``, unless this process has it."""
    import ray

    if not ray.is_initialized():
        options = {**QUIET_RAY, **({} if address else LOCAL_RAY), **(ray_init or {})}
        ray.init(address=address, **options)


class Emulation:
    """Node actors for the infrastructure and the applications deployed on them."""

    def __init__(
        self, infrastructure: Infrastructure, address: str | None,
        ray_init: Mapping[str, Any] | None = None,
    ) -> None:
        self.infrastructure = infrastructure
        self.address = address
        self.ray_init = dict(ray_init or {})
        self.actors: dict[Hashable, Any] = {}
        self.deployed: dict[Hashable, _Deployed] = {}
        self._rovel: Any = None
        self._shipper: Any = None

    def start(self, placements: Mapping[Hashable, Placement], callbacks: Iterable[Any]) -> None:
        """Start the node actors, then deploy and start every placed application.

        On failure the caller must still call :meth:`close`, which takes down
        what was set up.
        """

        from sorvane_core.remote._node import start_node_actors
        from sorvane_core.remote.shipping import Shipper
        from sorvane_core.simulation._simulator.rovel import RemoteSimRovel

        self._rovel = RemoteSimRovel
        init_ray(self.address, self.ray_init)
        self._shipper = Shipper()
        self.ship(callbacks)
        # Ray ends an actor once its last handle is gone, name or not: hold them.
        self.actors = start_node_actors(self.infrastructure)
        for app_id, pl in placements.items():
            if not pl.mapping:
                continue
            ops = Placement(pl.application, self.infrastructure, pl.mapping)
            # Known before any node is asked, so that teardown also takes down a
            # deploy or a start that failed half-way (the node actors take a
            # repeated stop or undeploy as done).
            entry = self.deployed[app_id] = _Deployed(pl, ops, getattr(pl.mapping, "version", None))
            self._rovel.deploy(ops)
            pl._deployed = ops._deployed
            entry.running = True
            self._rovel.start(ops)

    def close(self, error: BaseException | None = None) -> list[BaseException]:
        """Take the emulation down; return the errors on the way.

        Every application is stopped and undeployed, which writes the last
        state of its services back, then the node actors are killed, whatever
        happens: nothing is left running and the names are free for the next
        run. After an interrupt, a timeout or a lost actor (``error``, or one
        met on the way), the actors are killed at once: work queued behind a
        stuck call would wait for ever. An interrupt that comes during the
        teardown is raised once the actors are killed.
        """
        from sorvane_core.remote._node import actor_name, kill_node_actors

        errors: list[BaseException] = []
        interrupted: BaseException | None = None
        try:
            if not urgent(error):
                self._take_down(errors)
        except (KeyboardInterrupt, SystemExit) as exc:
            interrupted = exc
        finally:
            if self._shipper is not None:
                self._shipper.unregister()
            handles = list(self.actors.values())
            names = [actor_name(self.infrastructure.id, node) for node in self.actors]
            for entry in self.deployed.values():
                entry.user._deployed = False  # whatever was left goes with the actors
            self.actors, self.deployed = {}, {}
            try:
                kill_node_actors(handles, names)
            except (KeyboardInterrupt, SystemExit) as exc:
                interrupted = interrupted or exc
            except Exception as err:
                errors.append(err)
        if interrupted is not None:
            raise interrupted
        return errors

    def _take_down(self, errors: list[BaseException]) -> None:
        """Stop and undeploy every application, until an error says to hurry."""
        for entry in self.deployed.values():
            steps = ([self._rovel.stop] if entry.running else []) + [self._rovel.undeploy]
            for step in steps:
                try:
                    step(entry.ops)
                except Exception as err:
                    errors.append(err)
                    if urgent(err):
                        return
                    break
            entry.user._deployed = entry.ops._deployed

    def ship(self, callbacks: Iterable[Any]) -> None:
        """Send the remote callbacks among ``callbacks`` to the actors by reference."""
        remote = [type(cb) for cb in callbacks if getattr(cb, "remote", False)]
        self._shipper.register(remote)

    def migrate(self, app_id: Hashable, service: Hashable, target: Hashable) -> None:
        """Move ``service`` of the deployed application ``app_id`` to ``target``: stop
        and undeploy it where it runs, deploy and start it there.

        Refused with ValueError, before any node is asked, when another
        application has a service of that id on ``target``. Raises
        MigrationError, with the service put back and running where it was,
        if any step fails. Ctrl-C during the move puts the service back too,
        trying for a few seconds at most, then is raised as it came.
        """
        check_free(self._live_mappings(), app_id, service, target)
        entry = self.deployed[app_id]
        source = entry.ops.mapping[service]
        if source == target:
            return
        app = entry.ops.application
        alone = app.subgraph([service])  # the operations walk its services: this one
        here = Placement(alone, self.infrastructure, {service: source})
        there = Placement(alone, self.infrastructure, {service: target})
        rovel = self._rovel

        def taken_back(ops: Placement) -> None:
            rovel.undeploy(ops)
            app.services[service] = alone.services[service]  # the state the node handed back

        forward = [rovel.stop, taken_back, rovel.deploy, rovel.start]
        # What undoes each step. The node actors' operations reach a state, so an
        # undo is harmless where its step never took effect.
        backward: list[Callable[[], Any]] = [
            lambda: rovel.start(here), lambda: rovel.deploy(here), lambda: taken_back(there),
            lambda: rovel.stop(there)]
        done = 0
        try:
            for step, ops in zip(forward, (here, here, there, there)):
                step(ops)
                done += 1
        except Exception as exc:
            error = MigrationError(app_id, service, source, target, exc)
            failed = _undo(backward[:done])
            if failed is not None:
                error.add_note(f"putting the service back on {source!r} failed: {failed!r}")
            raise error from exc
        except BaseException as exc:
            # Ctrl-C (or an exit) asks to stop, not to carry on as after a failed move:
            # one short attempt to leave the service running where it was, then out.
            # The step under way may have been carried out by its node: it is undone too.
            with waiting_at_most(shortened(_UNDO_AFTER_INTERRUPT_S)):
                undone: BaseException | None
                try:
                    undone = _undo(backward[:done + 1])
                except BaseException as again:  # a second Ctrl-C: stop trying
                    undone = again
            if undone is not None:
                exc.add_note(
                    f"service {service!r} of application {app_id!r} was being moved from "
                    f"{source!r} to {target!r}; putting it back failed: {undone!r}"
                )
            raise
        entry.ops.mapping[service] = target

    def sync(self, placements: Mapping[Hashable, Placement]) -> None:
        """Apply the changes of the user's mappings since the last tick.

        A service moved to another node migrates; any other change (placing
        or unplacing an application or a service, adding or removing an
        application) cannot be applied to a running emulation and raises.
        """
        for app_id in self.deployed:
            if app_id not in placements:
                raise ValueError(
                    f"application {app_id!r} was removed from the placements during an emulated run"
                )
        for app_id, pl in placements.items():
            entry = self.deployed.get(app_id)
            mapping = pl.mapping
            if entry is None:
                if mapping:
                    raise ValueError(
                        f"application {app_id!r} was placed during an emulated run; place it "
                        f"before the run starts"
                    )
                continue
            version = getattr(mapping, "version", None)
            if version is not None and version == entry.seen:
                continue
            live = entry.ops.mapping
            if mapping.keys() != live.keys():
                raise ValueError(
                    f"the services placed for application {app_id!r} changed during an emulated "
                    f"run (from {sorted(live, key=repr)!r} to {sorted(mapping, key=repr)!r}); "
                    f"only moving services to other nodes can be applied to a running emulation"
                )
            for service, node in mapping.items():
                if live[service] != node:
                    self.migrate(app_id, service, node)
            entry.seen = version

    def _live_mappings(self) -> dict[Hashable, Any]:
        return {app_id: entry.ops for app_id, entry in self.deployed.items()}
