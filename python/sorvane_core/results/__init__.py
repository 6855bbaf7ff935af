"""Results of runs: reports streamed to files, run records, and tables."""

from sorvane_core.results.reports import Reports
from sorvane_core.results.tables import read_report, table

__all__ = ["Reports", "read_report", "table"]
