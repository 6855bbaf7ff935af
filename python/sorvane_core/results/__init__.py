"""Results of runs: reports streamed to files, and tables.

Loaded with the package, it plugs the reports and tables into the simulator
(which does not import this layer) through ``simulation.observers.hooks``.
"""

from sorvane_core.results.reports import Reports
from sorvane_core.results.tables import table
from sorvane_core.simulation.observers import hooks

hooks.reports = Reports
hooks.table = table

__all__ = ["Reports", "table"]
