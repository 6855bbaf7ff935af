"""A placement study: where to put the services, and whether to move them when a
node is overloaded, compared over seeds (see docs/tutorial.md).

    sorvane-sim sweep examples/placement_study.py --seed 1,2,3 --ticks 48 \\
        --param placement=first_fit,latency_aware,random --param relieve=false,true \\
        --out runs/study
    sorvane-sim compare runs/study --metric energy.energy_wh --stat last --by placement
    sorvane-sim compare runs/study --metric sla.violated --per-tick sum --stat total \\
        --by placement --kind summary

An edge-fog-cloud infrastructure: a cloud, four fog nodes and sixteen edge nodes,
each with its CPU, idle and peak power and tier. Twelve applications, each a chain
of services that starts at the edge node its users reach (``source_node``), with a
latency bound. ``placement`` names the placement policy of ``sorvane_core.policies``
that places them; with ``relieve``, a migration policy moves a service off every
node over its capacity between ticks. A random walk scales demands and rates tick
by tick, and the models of ``sorvane_core.models`` measure utilisation, link load,
power, energy, latency and the SLA.
"""

from __future__ import annotations

import random
from typing import Any

from sorvane_core import models, policies
from sorvane_core.graph import Application, Infrastructure
from sorvane_core.placement import Placement

PLACEMENTS = ("first_fit", "best_fit", "worst_fit", "latency_aware", "random", "edge_first",
              "cloud_only")


def infrastructure() -> Infrastructure:
    infr = Infrastructure("edge-fog-cloud")
    infr.add_node("cloud", tier="cloud", cpu=64, idle_power_w=300, max_power_w=700)
    for f in range(4):
        fog = f"fog{f}"
        infr.add_node(fog, tier="fog", cpu=16, idle_power_w=60, max_power_w=160)
        infr.add_edge("cloud", fog, latency_ms=25, bandwidth_mbps=1000, energy_per_bit_j=1e-8)
        for e in range(4):
            edge = f"edge{f}{e}"
            infr.add_node(edge, tier="edge", cpu=4, idle_power_w=8, max_power_w=20)
            infr.add_edge(fog, edge, latency_ms=4, bandwidth_mbps=200, energy_per_bit_j=3e-8)
    for f in range(4):  # a ring of the fog nodes
        infr.add_edge(f"fog{f}", f"fog{(f + 1) % 4}", latency_ms=8, bandwidth_mbps=500,
                      energy_per_bit_j=2e-8)
    return infr


def applications(rng: random.Random, edges: list[str]) -> list[Application]:
    apps = []
    for a in range(12):
        app = Application(f"app{a:02d}", source_node=rng.choice(edges),
                          max_latency_ms=rng.choice([20, 40, 80]))
        # Service ids unique across applications, as emulation needs them.
        chain = [f"{app.id}.{role}" for role in ("ingress", "logic", "store")[:rng.choice([2, 3])]]
        for service in chain:
            app.add_service(service, cpu=rng.choice([0.5, 1.0, 2.0]), state_mb=rng.choice([4, 16]),
                            processing_ms=rng.choice([0.5, 1.0, 2.0]))
        for first, second in zip(chain, chain[1:]):
            app.add_interaction(first, second, rate_mbps=rng.choice([2, 5, 10]))
        apps.append(app)
    return apps


def build(seed: int, placement: str = "first_fit", relieve: bool = False) -> Any:
    if placement not in PLACEMENTS:
        raise ValueError(f"placement must be one of {PLACEMENTS}, not {placement!r}")
    rng = random.Random(seed)
    infr = infrastructure()
    edges = [n for n, tier in infr.nodes(data="tier") if tier == "edge"]
    place = getattr(policies, placement)
    placements = place(applications(rng, edges), infr, rng=seed)
    callbacks = models.standard(models.random_walk(0.08, 0.3, 2.5))
    options = {"policies": [policies.relieve_overload(1.0)]} if relieve else {}
    return infr, placements, callbacks, options


def placed(placements: list[Placement]) -> dict[str, dict[Any, Any]]:
    """Where each service is, for a look at what a policy did."""
    return {str(pl.application.id): dict(pl.mapping) for pl in placements}
