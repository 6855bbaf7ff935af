"""Ready-made models of a placement study, computed over arrays.

Routing of interactions over the infrastructure, node utilisation, link load,
node and link power, energy, interaction and end-to-end latency, SLA
violations, and workloads that change demands and rates tick by tick: each a
callback of the type whose data shape it has, so that reports, tables and plots
take it as they take any callback. See ``docs/models.md``.

    from sorvane_core import models
    sim = Simulator(infr, placements, models.standard(models.random_walk(0.05, 0.5, 2)),
                    out="runs/study", seed=1)
"""

from sorvane_core.models.meters import (
    SLA,
    EndToEnd,
    Energy,
    Latency,
    LinkLoad,
    LinkPower,
    Model,
    NodePower,
    NodeUtilisation,
    Workload,
    standard,
)
from sorvane_core.models.network import Attributes
from sorvane_core.models.workload import (
    Pattern,
    constant,
    diurnal,
    poisson,
    random_walk,
    trace,
    uniform,
)

__all__ = [
    "SLA", "Attributes", "EndToEnd", "Energy", "Latency", "LinkLoad", "LinkPower", "Model",
    "NodePower", "NodeUtilisation", "Pattern", "Workload", "constant", "diurnal", "poisson",
    "random_walk", "standard", "trace", "uniform",
]
