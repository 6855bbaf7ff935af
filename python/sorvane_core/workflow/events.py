"""Events emitted during a run."""

from __future__ import annotations

from collections.abc import Hashable
from typing import Any


class SorvaneEvent:
    """Something that happened during a run, delivered to the callbacks.

    Attributes:
        name: what happened, e.g. ``"tick"`` or ``"end"``; callbacks select
            events by this name.
        simulator: the simulator emitting the event, if any.
        data: event payload, e.g. ``{"tick": 3}``.
    """

    def __init__(self, name: Hashable, simulator: Any = None, data: Any = None) -> None:
        self.name = name
        self.simulator = simulator
        self.data = data

    def __repr__(self) -> str:
        # The simulator's own repr can be huge; its type is enough to tell runs apart.
        sim = None if self.simulator is None else type(self.simulator).__name__
        return f"SorvaneEvent(name={self.name!r}, simulator={sim}, data={self.data!r})"
