"""How long the host waits for the node actors (kept apart from Ray, so that the
simulator can set it without importing Ray)."""

from __future__ import annotations

# Seconds that ray_get waits for one batch of remote calls; None: no limit. A
# simulator sets it for the length of a run.
_timeout: list[float | None] = [None]


def remote_timeout() -> float | None:
    """How long ray_get waits now, in seconds (None: as long as it takes)."""
    return _timeout[0]


def set_remote_timeout(seconds: float | None) -> float | None:
    """Make ray_get wait at most ``seconds`` (None: no limit); return the previous value."""
    previous, _timeout[0] = _timeout[0], seconds
    return previous
