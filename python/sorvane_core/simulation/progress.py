"""A progress bar for long runs, on standard error (tqdm, an optional extra)."""

from __future__ import annotations

import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from sorvane_core.simulation.observers import Activation
from sorvane_core.utils.extras import ANALYSIS

if TYPE_CHECKING:
    from sorvane_core.simulation.simulator import Simulator



def tqdm_for(progress: bool | None) -> Any:
    """tqdm, when a bar is wanted: asked for, or by default when standard error is a
    terminal; otherwise, or without tqdm, None. ImportError naming the extra when a
    bar is asked for and tqdm is missing."""
    if progress is False or (progress is None and not sys.stderr.isatty()):
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        if progress:
            raise ImportError(f"progress bars need tqdm: {ANALYSIS}") from None
        return None
    return tqdm


class ProgressBar:
    """Ticks done out of ticks asked, ticks per second and the current tick."""

    def __init__(self, tqdm: Any) -> None:
        self._tqdm = tqdm
        self._bar: Any = None

    def started(self, simulator: Simulator, ticks: int) -> None:
        self._bar = self._tqdm(total=ticks, unit="tick", file=sys.stderr, dynamic_ncols=True,
                               desc=f"{simulator.mode} {simulator.infrastructure.id}")

    def recorded(self, record: dict[str, Any], activations: Sequence[Activation]) -> None:
        if record["event"] == "tick":
            self._bar.update(1)
            self._bar.set_postfix_str(f"tick {record['tick']}", refresh=False)

    def step_done(self) -> None:
        pass

    def finished(self, simulator: Simulator, error: BaseException | None) -> None:
        if self._bar is not None:
            self._bar.close()
