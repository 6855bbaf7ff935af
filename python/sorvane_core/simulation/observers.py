"""What a run tells the code that watches it: the reports, the progress bar, your own.

An observer is handed to ``Simulator(..., observers=[...])``. The simulator calls
``started`` before set-up, ``recorded`` after each event with the callbacks that
activated on it, ``step_done`` once a tick (or the end) and every event it
triggered are delivered, and ``finished`` last, with the error that ended the run
if one did, whatever happened in between.

The results layer (reports and tables) sits above this one and plugs itself in
through :data:`hooks` when the package loads, so that ``Simulator(..., out=...)``
and ``Simulator.results`` work without this layer importing it.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, NamedTuple, Protocol

if TYPE_CHECKING:
    from sorvane_core.simulation.simulator import Simulator

Record = dict[str, Any]

# The report types that callbacks may ask for in report_types.
REPORT_TYPES = ("csv", "jsonl")


class Activation(NamedTuple):
    """A callback that activated on an event.

    ``by_event`` tells whether its latest activation on that event came from the
    event itself, so that its data has the shape of its type, or from another
    callback of the cascade, so that its data is the single value its
    ``__call__`` returned for that callback.
    """

    callback: Any
    by_event: bool


class Observer(Protocol):
    """Receives what happens during a run."""

    def started(self, simulator: Simulator, ticks: int) -> None: ...

    def recorded(self, record: Record, activations: Sequence[Activation]) -> None: ...

    def step_done(self) -> None: ...

    def finished(self, simulator: Simulator, error: BaseException | None) -> None: ...


@dataclass
class _Hooks:
    reports: Callable[[Path], Observer] | None = None
    table: Callable[[Simulator, str], Any] | None = None


# Set by sorvane_core.results: what writes the reports of a run into a folder,
# and what reads a callback's results back as a table.
hooks = _Hooks()
