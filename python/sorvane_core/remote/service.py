"""State of one service of an application."""

from __future__ import annotations

from collections.abc import Hashable
from dataclasses import dataclass, field
from typing import Any


@dataclass
class Service:
    """A service and where it stands in its life cycle.

    Attributes:
        id: the service id, as in the application graph.
        deployed: whether a node currently holds it.
        running: whether it is started; only a deployed service can run.
        requirements: what the service asks of the node hosting it.
    """

    id: Hashable
    deployed: bool = False
    running: bool = False
    requirements: dict[str, Any] = field(default_factory=dict)
