"""Operation codes exchanged with node actors, and a Ray helper."""

from __future__ import annotations

from enum import Enum
from typing import Any

import ray


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


def ray_get(refs: list[ray.ObjectRef[Any]]) -> list[Any]:
    """Wait for ``refs`` and return their values in the same order.

    A remote failure is raised here, as ``ray.get`` raises it.
    """
    refs = list(refs)
    if not refs:
        return []
    return ray.get(refs)
