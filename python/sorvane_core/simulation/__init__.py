"""Tick-by-tick runs of placed applications, locally or on Ray."""

from sorvane_core.simulation._emulation import MigrationError
from sorvane_core.simulation.simulator import Simulator

__all__ = ["MigrationError", "Simulator"]
