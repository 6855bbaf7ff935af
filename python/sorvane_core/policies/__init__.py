"""Policies: where the services of applications go, and when they move.

Placement policies (``sorvane_core.policies.placement``) each take applications
and an infrastructure and return one :class:`~sorvane_core.placement.Placement`
per application. Migration policies (``sorvane_core.policies.migration``) are
given to ``Simulator(..., policies=[...])`` and return, between ticks, the moves
to make. See ``docs/policies.md``.

    from sorvane_core import policies
    placements = policies.best_fit(applications, infr)
    sim = Simulator(infr, placements, callbacks, policies=[policies.relieve_overload(1.0)])
"""

from sorvane_core.policies.migration import consolidate, relieve_overload
from sorvane_core.policies.placement import (
    DEFAULT_SEED,
    EDGE_FIRST_TIERS,
    best_fit,
    cloud_only,
    edge_first,
    first_fit,
    latency_aware,
    random,
    worst_fit,
)

__all__ = [
    "DEFAULT_SEED", "EDGE_FIRST_TIERS", "best_fit", "cloud_only", "consolidate", "edge_first",
    "first_fit", "latency_aware", "random", "relieve_overload", "worst_fit",
]
