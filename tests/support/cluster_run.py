"""Run one scenario in simulation and in emulation on a two-raylet Ray cluster started
here; print, as JSON, the Ray nodes the node actors landed on and whether every
callback's results matched. Run by tests/test_cluster.py in a process of its own."""

import json
import sys

import ray
from ray.cluster_utils import Cluster

from sorvane_core.graph import Application, Infrastructure
from sorvane_core.placement import Placement
from sorvane_core.simulation import Simulator
from sorvane_core.workflow.callbacks.callback import SorvaneCallback


class ServiceLoad(SorvaneCallback):
    """CPU over the tick: remote in emulation (the actor's Service), local otherwise."""

    def __call__(self, service_id, service, *rest, **event_data):
        requirements = service if rest else service.requirements
        return requirements["cpu"] * (event_data["tick"] + 1)


class NodeShare(SorvaneCallback):
    def __call__(self, node, attributes, *rest, **event_data):
        return attributes["cpu"] / (event_data["tick"] + 2)


class LinkDelay(SorvaneCallback):
    def __call__(self, source, target, res, placements, infr, view, **event_data):
        return res["latency"] * event_data["tick"]


def build(mode):
    infr = Infrastructure("cluster-test")
    for n in range(8):
        infr.add_node(f"n{n}", cpu=n + 1)
    for n in range(7):
        infr.add_edge(f"n{n}", f"n{n + 1}", latency=n)
    placements = []
    for a in range(4):
        app = Application(f"app{a}")
        for s in range(4):
            app.add_service(f"a{a}s{s}", cpu=a + s)
        placements.append(Placement(app, infr, {f"a{a}s{s}": f"n{(a + s) % 8}" for s in range(4)}))
    remote = mode == "emulation"
    callbacks = [ServiceLoad("service", "service", remote=remote),
                 NodeShare("node", "node", remote=remote),
                 LinkDelay("link", "link")]
    return infr, placements, callbacks


def emulate(address, pins=None):
    """The records of an emulated run, and the Ray node of each node actor."""
    infr, placements, callbacks = build("emulation")
    for n, ray_node in (pins or {}).items():
        infr.nodes[n]["ray_node_id"] = ray_node
    sim = Simulator(infr, placements, callbacks, mode="emulation", address=address)
    steps = sim.iter(3)
    records = [next(steps)]
    handles = sim._emulation.actors
    where = ray.get([h.__ray_call__.remote(lambda self: ray.get_runtime_context().get_node_id())
                     for h in handles.values()])
    records.extend(steps)
    for record in records:  # the pins are node attributes, which the node callback does not read
        record.pop("activated_by")
    return records, dict(zip(handles, where))


def main():
    cluster = Cluster(initialize_head=True, head_node_args={"num_cpus": 1})
    try:
        cluster.add_node(num_cpus=1)
        cluster.wait_for_nodes()
        ray.init(address=cluster.address, log_to_driver=False)
        ray_nodes = sorted(n["NodeID"] for n in ray.nodes() if n["Alive"])
        simulated = Simulator(*build("simulation")).run(3)
        for record in simulated:
            record.pop("activated_by")
        spread, spread_where = emulate(cluster.address)
        pins = {f"n{n}": ray_nodes[n % 2] for n in range(8)}
        pinned, pinned_where = emulate(cluster.address, pins)
        print(json.dumps({
            "ray_nodes": ray_nodes,
            "spread": sorted(list(spread_where.values()).count(n) for n in ray_nodes),
            "pinned_as_asked": pinned_where == pins,
            "same": simulated == spread == pinned,
            "records": len(spread),
        }))
    finally:
        ray.shutdown()
        cluster.shutdown()


if __name__ == "__main__":
    sys.exit(main())
