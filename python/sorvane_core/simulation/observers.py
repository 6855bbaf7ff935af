"""What a run tells the code that watches it: the reports, the progress bar, your own.

An observer is handed to ``Simulator(..., observers=[...])``. The simulator calls
``started`` before set-up, ``recorded`` after each event with the callbacks that
activated on it, ``step_done`` once a tick (or the end) and every event it
triggered are delivered, before the last of their records is handed out, and
``finished`` last, with the error that ended the run if one did, whatever happened
in between. What ``recorded`` saw after the last ``step_done`` belongs to a tick
that did not finish.
"""

from __future__ import annotations

from collections.abc import Hashable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple, Protocol

if TYPE_CHECKING:
    from sorvane_core.simulation.simulator import Simulator


# Key text -> (source, target), or application id -> that, for interactions.
Ends = Mapping[Any, Any]


class Record(dict[str, Any]):
    """The record of one delivered event: ``{"event", "tick", "data", "activated_by",
    "triggered"}``, a dict like any other.

    ``ends`` holds, for each link or interaction callback that activated on the
    event itself, the real ends of the edges its result keys name, as they were
    when the value was recorded (see :class:`Activation`); the tables made from
    the history read them there.
    """

    __slots__ = ("ends",)
    ends: dict[Hashable, Ends]  # set only on records that have some


class Activation(NamedTuple):
    """A callback that activated on an event.

    ``by_event`` tells whether its latest activation on that event came from the
    event itself, so that its data has the shape of its type, or from another
    callback of the cascade, so that its data is the single value its
    ``__call__`` returned for that callback. ``ends`` is, for a link callback
    activated by the event, the table from key text to the (source, target) of
    the links it walked, and for an interaction callback, that table per
    application; None otherwise.
    """

    callback: Any
    by_event: bool
    ends: Ends | None = None


class Observer(Protocol):
    """Receives what happens during a run."""

    def started(self, simulator: Simulator, ticks: int) -> None: ...

    def recorded(self, record: dict[str, Any], activations: Sequence[Activation]) -> None: ...

    def step_done(self) -> None: ...

    def finished(self, simulator: Simulator, error: BaseException | None) -> None: ...
