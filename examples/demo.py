"""A small run of the simulator: two applications placed on a three-node edge/cloud
infrastructure, watched by callbacks of several types.

    python examples/demo.py              # local simulation
    python examples/demo.py --emulation  # one Ray actor per node (starts a local Ray)
    python examples/demo.py --emulation --address auto   # join a running cluster
"""

from __future__ import annotations

import argparse
from typing import Any

from sorvane_core.graph import Application, Infrastructure
from sorvane_core.placement import Placement
from sorvane_core.simulation import Simulator
from sorvane_core.utils.types import CallbackType
from sorvane_core.workflow.callbacks.callback import SorvaneCallback


def build() -> tuple[Infrastructure, list[Placement]]:
    infr = Infrastructure("demo")
    infr.add_node("edge", cpu=2)
    infr.add_node("fog", cpu=8)
    infr.add_node("cloud", cpu=64)
    infr.add_edge("edge", "fog", latency=5)
    infr.add_edge("fog", "cloud", latency=40)

    shop = Application("shop")
    shop.add_service("frontend", cpu=1)
    shop.add_service("cart", cpu=2)
    shop.add_service("db", cpu=4)
    shop.add_interaction("frontend", "cart", rate=10)
    shop.add_interaction("cart", "db", rate=4)

    sensors = Application("sensors")
    sensors.add_service("collector", cpu=1)
    sensors.add_service("analytics", cpu=8)
    sensors.add_interaction("collector", "analytics", rate=50)

    return infr, [
        Placement(shop, infr, {"frontend": "edge", "cart": "fog", "db": "cloud"}),
        Placement(sensors, infr, {"collector": "edge", "analytics": "cloud"}),
    ]


class Clock(SorvaneCallback):
    """Counts the ticks; asks to stop after a given number."""

    def __init__(self, limit: int) -> None:
        super().__init__("clock", CallbackType.SIMULATION, triggers={"stop": lambda t: t >= limit})

    def __call__(self, event: Any) -> int:
        return event.data["tick"]


class NodeLoad(SorvaneCallback):
    """CPU requested by the services placed on each node, every second tick."""

    def __init__(self) -> None:
        super().__init__("node_load", CallbackType.NODE, activates_every_n={"tick": 2})

    def __call__(self, node, res, placements, infr, placement_view, **event_data) -> float:
        used = sum(
            pl.application.nodes[s]["cpu"]
            for pl in placements.values()
            for s, n in pl.mapping.items()
            if n == node
        )
        return used / res["cpu"]


class LinkTraffic(SorvaneCallback):
    """Interaction rate that crosses each link (direct neighbours only)."""

    def __init__(self) -> None:
        super().__init__("link_traffic", CallbackType.LINK)

    def __call__(self, source, target, res, placements, infr, placement_view, **event_data):
        rate = 0
        for pl in placements.values():
            for a, b, req in pl.application.edges(data=True):
                if {pl.mapping[a], pl.mapping[b]} == {source, target}:
                    rate += req["rate"]
        return rate


class ServiceHealth(SorvaneCallback):
    """One value per service; remote in emulation, where it runs on the node actors."""

    def __init__(self, remote: bool) -> None:
        super().__init__("service_health", CallbackType.SERVICE, remote=remote)

    def __call__(self, service_id, service, *rest, **event_data) -> str:
        if rest:  # local: (service_id, requirements, placement, infrastructure)
            return "ok"
        return "running" if service.running else "stopped"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ticks", type=int, default=6)
    parser.add_argument("--emulation", action="store_true", help="run the nodes as Ray actors")
    parser.add_argument("--address", default=None, help="Ray cluster to join in emulation")
    args = parser.parse_args()

    infr, placements = build()
    callbacks = [Clock(limit=4), NodeLoad(), LinkTraffic(), ServiceHealth(remote=args.emulation)]
    mode = "emulation" if args.emulation else "simulation"
    sim = Simulator(infr, placements, callbacks, mode=mode, address=args.address)
    for record in sim.run(args.ticks):
        print(f"{record['event']:>4} {record['tick']}: ", end="")
        print("; ".join(f"{name}={value}" for name, value in record["data"].items()) or "-")
        if record["triggered"]:
            print(f"        triggered {record['triggered']}")
    print("stopped early" if sim.stopped else "ran to the end")


if __name__ == "__main__":
    main()
