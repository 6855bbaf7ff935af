"""An edge-fog-cloud scenario for the command line.

    sorvane-sim run examples/edge_cloud.py --ticks 60 --seed 1 --plot
    sorvane-sim run examples/edge_cloud.py --ticks 20 --emulation   # one Ray actor per node

Four applications run on nine edge nodes, three fog nodes and a cloud. Every tick
a workload drawn from the run's seeded ``rng`` scales what each application
asks; callbacks report the load of every node, the traffic on every link, each
application's latency and every service's demand. When a node goes over 90 %
of its CPU, the "overload" event it raises moves the busiest service off it.
"""

from __future__ import annotations

import random
from typing import Any

import networkx as nx

from sorvane_core.graph import Application, Infrastructure
from sorvane_core.placement import Placement
from sorvane_core.utils.types import CallbackType
from sorvane_core.workflow.callbacks.callback import SorvaneCallback
from sorvane_core.workflow.events import SorvaneEvent


def hosted(placements: dict[Any, Placement], node: Any) -> list[tuple[Placement, Any]]:
    return [(pl, s) for pl in placements.values() for s, n in pl.mapping.items() if n == node]


class Workload(SorvaneCallback):
    """How busy each application is this tick: a factor drawn from the run's rng."""

    def __init__(self) -> None:
        super().__init__("workload", CallbackType.SIMULATION)

    def __call__(self, event: SorvaneEvent) -> dict[str, float]:
        rng = event.simulator.rng
        return {str(app): round(rng.lognormvariate(0, 0.35), 3)
                for app in event.simulator.placements}


class NodeLoad(SorvaneCallback):
    """CPU asked of each node, in percent of what it has; raises "overload" over 90 %."""

    def __init__(self, workload: Workload) -> None:
        super().__init__("node_load_pct", CallbackType.NODE,
                         triggers={"overload": lambda load: max(load.values()) > 90})
        self.workload = workload

    def __call__(self, node: Any, res: dict[str, Any], placements: dict[Any, Placement],
                 infr: Infrastructure, placement_view: Any, **event_data: Any) -> float:
        factor = self.workload.data or {}
        asked = sum(pl.application.nodes[s]["cpu"] * factor.get(str(pl.application.id), 1.0)
                    for pl, s in hosted(placements, node))
        return round(100 * asked / res["cpu"], 2)


class LinkTraffic(SorvaneCallback):
    """Traffic of the interactions whose services sit at the two ends of a link."""

    def __init__(self) -> None:
        super().__init__("link_traffic_mbps", CallbackType.LINK, report="jsonl")

    def __call__(self, source: Any, target: Any, res: dict[str, Any],
                 placements: dict[Any, Placement], infr: Infrastructure, placement_view: Any,
                 **event_data: Any) -> float:
        ends = {source, target}
        return sum(req["mbps"] for pl in placements.values()
                   for a, b, req in pl.application.edges(data=True)
                   if {pl.mapping[a], pl.mapping[b]} == ends)


class Latency(SorvaneCallback):
    """Each application's latency: its interactions' paths through the network."""

    def __init__(self, paths: dict[Any, dict[Any, float]]) -> None:
        super().__init__("app_latency", CallbackType.APPLICATION, report=["csv", "jsonl"])
        self.paths = paths

    def __call__(self, application: Application, placement: Placement, infr: Infrastructure,
                 **event_data: Any) -> dict[str, float]:
        hops = [self.paths[placement.mapping[a]][placement.mapping[b]]
                for a, b in application.edges]
        return {"latency_ms": sum(hops), "worst_ms": max(hops, default=0)}


class ServiceDemand(SorvaneCallback):
    """Each service's CPU; in emulation it runs on the node actor that hosts it."""

    def __init__(self, remote: bool) -> None:
        super().__init__("service_cpu", CallbackType.SERVICE, remote=remote)

    def __call__(self, service_id: Any, service: Any, *rest: Any, **event_data: Any) -> float:
        if rest:  # locally: (service id, requirements, placement, infrastructure)
            return float(service["cpu"])
        return float(service.requirements["cpu"]) if service.running else 0.0  # a Service


class Rebalance(SorvaneCallback):
    """On "overload": move the busiest service of the busiest node to the least loaded one."""

    def __init__(self, load: NodeLoad) -> None:
        super().__init__("rebalance", activates_on="overload")
        self.load = load

    def __call__(self, event: SorvaneEvent) -> str:
        sim = event.simulator
        shares = self.load.data
        hot, cold = max(shares, key=shares.get), min(shares, key=shares.get)
        pl, service = max(hosted(sim.placements, hot),
                          key=lambda h: h[0].application.nodes[h[1]]["cpu"])
        sim.migrate(pl.application.id, service, cold)
        return f"{service}: {hot} -> {cold}"


def build(seed: int, mode: str = "simulation") -> tuple[Infrastructure, list[Placement], list[Any]]:
    rng = random.Random(seed)
    infr = Infrastructure("edge-cloud")
    infr.add_node("cloud", cpu=64)
    for f in range(3):
        infr.add_node(f"fog{f}", cpu=16)
        infr.add_edge("cloud", f"fog{f}", latency=30)
        for e in range(3):
            infr.add_node(f"edge{f}{e}", cpu=4)
            infr.add_edge(f"fog{f}", f"edge{f}{e}", latency=5)
    infr.add_edge("fog0", "fog1", latency=12)
    paths = dict(nx.all_pairs_dijkstra_path_length(infr, weight="latency"))

    nodes = list(infr.nodes)
    placements = []
    for a in range(4):
        app = Application(f"app{a}")
        roles = ["gateway", "logic", "store"] + (["cache"] if a % 2 else [])
        # Service ids unique across applications: a node actor knows services by id.
        chain = [f"{app.id}.{role}" for role in roles]
        for service in chain:
            app.add_service(service, cpu=rng.choice([1, 2, 3]))
        for first, second in zip(chain, chain[1:]):
            app.add_interaction(first, second, mbps=rng.choice([5, 10, 20]))
        placements.append(Placement(app, infr, {s: rng.choice(nodes) for s in chain}))

    workload = Workload()
    load = NodeLoad(workload)
    callbacks = [workload, load, LinkTraffic(), Latency(paths),
                 ServiceDemand(remote=mode == "emulation"), Rebalance(load)]
    return infr, placements, callbacks
