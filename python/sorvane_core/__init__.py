"""Placement of distributed applications on an infrastructure graph.

Applications are simulated tick by tick locally, or emulated on a Ray cluster
with one actor per infrastructure node. Importing the package stays cheap: it
does not import Ray, networkx or the optional analysis libraries.
"""

from typing import Any

__version__ = "0.1.0"


def __getattr__(name: str) -> Any:
    # sorvane_core.sweep, imported when first used.
    if name == "sweep":
        from sorvane_core.sweeps import sweep

        return sweep
    raise AttributeError(f"module 'sorvane_core' has no attribute {name!r}")
