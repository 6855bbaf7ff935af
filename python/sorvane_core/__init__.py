"""Placement of distributed applications on an infrastructure graph.

Applications are simulated tick by tick locally, or emulated on a Ray cluster
with one actor per infrastructure node. Submodules are imported on demand so
that importing the package stays cheap and does not start or import Ray.
"""

__version__ = "0.1.0"
