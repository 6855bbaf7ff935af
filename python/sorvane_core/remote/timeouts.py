"""How long the host waits for the node actors (kept apart from Ray, so that the
simulator can set it without importing Ray).

The limit is a context variable: each run sets its own in the context its steps
run in, so that two runs stepped in turn, or a run in another thread, never see
each other's limit.
"""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager
from contextvars import ContextVar

# Seconds that ray_get waits for one batch of remote calls; None: no limit.
_timeout: ContextVar[float | None] = ContextVar("sorvane_core.remote_timeout", default=None)


def remote_timeout() -> float | None:
    """How long ray_get waits now, in seconds (None: as long as it takes)."""
    return _timeout.get()


def set_remote_timeout(seconds: float | None) -> float | None:
    """Make ray_get wait at most ``seconds`` (None: no limit) in the current context;
    return the previous value."""
    previous = _timeout.get()
    _timeout.set(seconds)
    return previous


@contextmanager
def waiting_at_most(seconds: float | None) -> Iterator[None]:
    """Within the block, ray_get waits at most ``seconds`` (None: no limit)."""
    token = _timeout.set(seconds)
    try:
        yield
    finally:
        _timeout.reset(token)


def shortened(seconds: float) -> float:
    """The current limit, but no more than ``seconds``: for a last attempt after an
    interrupt, which must end soon whatever the run allows."""
    current = _timeout.get()
    return seconds if current is None else min(current, seconds)
