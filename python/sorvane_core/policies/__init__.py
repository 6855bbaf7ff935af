"""Policies: where the services of applications go.

Placement policies (``sorvane_core.policies.placement``) each take applications
and an infrastructure and return one :class:`~sorvane_core.placement.Placement`
per application; see ``docs/policies.md``.

    from sorvane_core import policies
    placements = policies.best_fit(applications, infr)
"""

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
    "DEFAULT_SEED", "EDGE_FIRST_TIERS", "best_fit", "cloud_only", "edge_first", "first_fit",
    "latency_aware", "random", "worst_fit",
]
