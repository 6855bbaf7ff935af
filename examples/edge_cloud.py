"""An edge-fog-cloud scenario for the command line.

    sorvane-sim run examples/edge_cloud.py --ticks 60 --seed 1 --plot
    sorvane-sim run examples/edge_cloud.py --ticks 20 --emulation   # one Ray actor per node

Four applications run on nine edge nodes, three fog nodes and a cloud. A workload
that walks at random scales what each service asks and what each interaction
sends, tick by tick; the models of ``sorvane_core.models`` report every node's
utilisation and power, every link's load and power, the energy used, each
interaction's and application's latency and the SLA of each application; a
callback of our own reports every service's demand (on the node actors, in
emulation). When a node goes over 90 % of its CPU, the "overload" event it raises
moves the busiest service off it.
"""

from __future__ import annotations

import random
from typing import Any

from sorvane_core import models
from sorvane_core.graph import Application, Infrastructure
from sorvane_core.placement import Placement
from sorvane_core.utils.types import CallbackType
from sorvane_core.workflow.callbacks.callback import SorvaneCallback
from sorvane_core.workflow.events import SorvaneEvent


class ServiceDemand(SorvaneCallback):
    """Each service's CPU; in emulation it runs on the node actor that hosts it."""

    def __init__(self, remote: bool) -> None:
        super().__init__("service_cpu", CallbackType.SERVICE, remote=remote)

    def __call__(self, service_id: Any, service: Any, *rest: Any, **event_data: Any) -> float:
        if rest:  # locally: (service id, requirements, placement, infrastructure)
            return float(service["cpu"])
        return float(service.requirements["cpu"]) if service.running else 0.0  # a Service


class Rebalance(SorvaneCallback):
    """On "overload": move the busiest service of the busiest node to the least used one."""

    def __init__(self, utilisation: models.NodeUtilisation, workload: models.Workload) -> None:
        super().__init__("rebalance", activates_on="overload")
        self.utilisation = utilisation
        self.workload = workload

    def __call__(self, event: SorvaneEvent) -> str:
        sim = event.simulator
        shares = self.utilisation.data
        hot = max(shares, key=shares.__getitem__)
        cold = min(shares, key=shares.__getitem__)
        demand = self.workload.data
        app, service = max(((app, s) for app, pl in sim.placements.items()
                            for s, node in pl.mapping.items() if node == hot),
                           key=lambda found: demand[found[0]][found[1]])
        # Only where it does not overload the other node in turn.
        share = demand[app][service] / sim.infrastructure.nodes[cold]["cpu"]
        if shares[cold] + share > 0.9:
            return f"{service}: no room"
        sim.migrate(app, service, cold)
        return f"{service}: {hot} -> {cold}"


def build(seed: int, mode: str = "simulation") -> tuple[Infrastructure, list[Placement], list[Any]]:
    rng = random.Random(seed)
    infr = Infrastructure("edge-cloud")
    infr.add_node("cloud", cpu=64, idle_power_w=200, max_power_w=450)
    for f in range(3):
        infr.add_node(f"fog{f}", cpu=16, idle_power_w=60, max_power_w=150)
        infr.add_edge("cloud", f"fog{f}", latency_ms=30, bandwidth_mbps=1000,
                      energy_per_bit_j=1e-8)
        for e in range(3):
            infr.add_node(f"edge{f}{e}", cpu=4, idle_power_w=10, max_power_w=25)
            infr.add_edge(f"fog{f}", f"edge{f}{e}", latency_ms=5, bandwidth_mbps=100,
                          energy_per_bit_j=4e-8)
    infr.add_edge("fog0", "fog1", latency_ms=12, bandwidth_mbps=400, energy_per_bit_j=2e-8)

    nodes = list(infr.nodes)
    placements = []
    for a in range(4):
        app = Application(f"app{a}", max_latency_ms=rng.choice([60, 90, 120]))
        roles = ["gateway", "logic", "store"] + (["cache"] if a % 2 else [])
        # Service ids unique across applications: a node actor knows services by id.
        chain = [f"{app.id}.{role}" for role in roles]
        for service in chain:
            app.add_service(service, cpu=rng.choice([1, 2, 3]), processing_ms=rng.choice([1, 2, 5]))
        for first, second in zip(chain, chain[1:]):
            app.add_interaction(first, second, rate_mbps=rng.choice([5, 10, 20]))
        placements.append(Placement(app, infr, {s: rng.choice(nodes) for s in chain}))

    workload = models.Workload(models.random_walk(0.08, 0.4, 2.5))
    utilisation = models.NodeUtilisation(
        triggers={"overload": lambda shares: max(shares.values()) > 0.9})
    callbacks = [
        workload,
        utilisation,
        models.LinkLoad(report="jsonl"),
        models.NodePower(),
        models.LinkPower(),
        models.Energy(),
        models.Latency(),
        models.EndToEnd(),
        models.SLA(report=["csv", "jsonl"]),
        ServiceDemand(remote=mode == "emulation"),
        Rebalance(utilisation, workload),
    ]
    return infr, placements, callbacks
