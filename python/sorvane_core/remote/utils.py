"""Operation codes exchanged with node actors, and a Ray helper."""

from __future__ import annotations

from enum import Enum
from typing import Any

import ray

from sorvane_core.remote.timeouts import remote_timeout, set_remote_timeout

__all__ = ["RemoteOps", "ResponseCode", "name_actor", "ray_get", "set_remote_timeout"]


class RemoteOps(Enum):
    """Life-cycle operations a node actor applies to one service."""

    DEPLOY = "deploy"
    START = "start"
    STOP = "stop"
    UNDEPLOY = "undeploy"


class ResponseCode(Enum):
    """Outcome of a life-cycle operation."""

    OK = "ok"
    ERROR = "error"


# Actor id -> actor name, for the actors that the host started: what a
# TimeoutError names.
_names: dict[str, str] = {}


def name_actor(handle: Any, name: str) -> None:
    """Remember an actor's name, for the errors that speak of it."""
    actor_id = getattr(handle, "_actor_id", None)
    if actor_id is not None:
        _names[actor_id.hex()] = name


def forget_actor(handle: Any) -> None:
    """Forget the name of an actor that is gone."""
    actor_id = getattr(handle, "_actor_id", None)
    if actor_id is not None:
        _names.pop(actor_id.hex(), None)


def _actor_of(ref: ray.ObjectRef[Any]) -> str:
    try:
        actor_id = ref.task_id().actor_id().hex()
    except Exception:  # not an actor task
        return "a task"
    return repr(_names.get(actor_id, f"actor {actor_id}"))


def ray_get(refs: list[ray.ObjectRef[Any]]) -> list[Any]:
    """Wait for ``refs`` and return their values in the same order.

    Every call settles (ends, or fails) before anything is raised, so that no
    operation is still running when the caller hears of a failure. A remote
    failure is then raised as ``ray.get`` raises it, with the other failures
    as notes. If the calls have not all settled after the remote timeout (see
    :func:`set_remote_timeout`), TimeoutError names the actors still busy.
    """
    refs = list(refs)
    if not refs:
        return []
    timeout = remote_timeout()
    _, pending = ray.wait(refs, num_returns=len(refs), timeout=timeout, fetch_local=False)
    if pending:
        actors = sorted({_actor_of(ref) for ref in pending})
        raise TimeoutError(
            f"{len(pending)} of {len(refs)} remote calls still running after {timeout} s, "
            f"on {', '.join(actors)}"
        )
    try:
        return ray.get(refs)
    except Exception:
        failures = []
        for ref in refs:
            try:
                ray.get(ref)
            except Exception as exc:
                failures.append(exc)
        if not failures:
            raise
    first = failures[0]
    for other in failures[1:_SHOWN]:
        first.add_note(f"also failed: {_last_line(other)}")
    if len(failures) > _SHOWN:
        first.add_note(f"and {len(failures) - _SHOWN} other calls failed")
    raise first


_SHOWN = 10  # failures told of in the notes of the first


def _last_line(error: BaseException) -> str:
    """What an error says in one line: a remote failure's text ends with its cause."""
    lines = [line for line in str(error).splitlines() if line.strip()]
    return (lines[-1] if lines else type(error).__name__)[:200]
