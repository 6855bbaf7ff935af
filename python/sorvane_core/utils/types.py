"""Enumerations shared by the Python and native parts."""

from __future__ import annotations

from enum import Enum


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
