"""Placement of distributed applications on an infrastructure graph.

Applications are simulated tick by tick locally, or emulated on a Ray cluster
with one actor per infrastructure node. Importing the package stays cheap: it
does not import Ray, networkx or the optional analysis libraries.
"""

__version__ = "0.1.0"

# The results layer plugs its reports and tables into the simulator.
from typing import Any  # noqa: E402

import sorvane_core.results  # noqa: E402,F401


def __getattr__(name: str) -> Any:
    # sorvane_core.sweep, imported when first used.
    if name == "sweep":
        from sorvane_core.sweeps import sweep

        return sweep
    raise AttributeError(f"module 'sorvane_core' has no attribute {name!r}")
