"""Enumerations shared by the Python and native parts."""

from __future__ import annotations

import numbers
from enum import Enum
from typing import Any


class CallbackType(str, Enum):
    """What a callback is attached to.

    Members are strings, so ``CallbackType.NODE == "node"`` and either form can
    be used as a dict key interchangeably.
    """

    SIMULATION = "simulation"
    APPLICATION = "application"
    SERVICE = "service"
    INTERACTION = "interaction"
    INFRASTRUCTURE = "infrastructure"
    NODE = "node"
    LINK = "link"


# The key columns of each type's results in reports and tables, in the order the
# collector nests its keys: "application" first for the per-application types, then
# the item's own key; "source" and "target" for results keyed by edge. A callback
# with no collector (None, "simulation") or activated by another callback gets one
# row with its single value.
KEY_COLUMNS: dict[str | None, tuple[str, ...]] = {
    None: (),
    CallbackType.SIMULATION.value: (),
    CallbackType.INFRASTRUCTURE.value: (),
    CallbackType.APPLICATION.value: ("application",),
    CallbackType.SERVICE.value: ("application", "service"),
    CallbackType.INTERACTION.value: ("application", "source", "target"),
    CallbackType.NODE.value: ("node",),
    CallbackType.LINK.value: ("source", "target"),
}

# The report types a callback may ask for in report_types, and the suffix of the
# file each one writes ("parquet" writes a folder of parts).
REPORT_SUFFIXES: dict[str, str] = {"csv": ".csv", "jsonl": ".jsonl", "parquet": ".parquet"}
REPORT_TYPES = tuple(REPORT_SUFFIXES)

# The key columns that hold an edge's ends: results keyed by "source,target" text.
EDGE_COLUMNS = ("source", "target")


def is_number(value: Any) -> bool:
    """A real number that is not a bool: an int, a float, numpy's, a Fraction, ..."""
    return type(value) in (int, float) or (
        isinstance(value, numbers.Real) and not isinstance(value, bool))
