"""Checks made before a run starts: each mistake is a ValueError that names the
object at fault, raised before any callback runs and before Ray is touched."""

from __future__ import annotations

import operator
from collections.abc import Hashable, Iterable, Mapping
from typing import TYPE_CHECKING, Any

from sorvane_core.simulation.observers import REPORT_TYPES
from sorvane_core.utils.types import CallbackType

if TYPE_CHECKING:
    from sorvane_core.graph import Infrastructure
    from sorvane_core.placement import Placement

CALLBACK_TYPES = tuple(member.value for member in CallbackType)
REMOTE_TYPES = (CallbackType.SERVICE.value, CallbackType.NODE.value)


def check_ticks(ticks: Any) -> int:
    """``ticks`` as an int, which must not be negative."""
    count = operator.index(ticks)
    if count < 0:
        raise ValueError(f"ticks must be >= 0, not {count}")
    return count


def check_callbacks(callbacks: Iterable[Any], mode: str) -> None:
    """Unique names, known types, and remote callbacks only where they can run."""
    seen: set[Hashable] = set()
    repeated: list[Hashable] = []
    for cb in callbacks:
        name = cb.name
        if name in seen and name not in repeated:
            repeated.append(name)
        seen.add(name)
        check_callback(cb, mode)
    if repeated:
        # Their data would overwrite one another in the records.
        raise ValueError(f"callback names must be unique; repeated: {repeated!r}")


def check_callback(cb: Any, mode: str) -> None:
    """One callback's type, remote flag and report types."""
    kind = getattr(cb, "type", None)
    if kind is not None and kind not in CALLBACK_TYPES:
        raise ValueError(
            f"callback {cb.name!r} has type {kind!r}; expected None or one of "
            f"{', '.join(map(repr, CALLBACK_TYPES))}"
        )
    if getattr(cb, "remote", False):
        if kind not in REMOTE_TYPES:
            raise ValueError(
                f"callback {cb.name!r} has type {kind!r} and remote=True; only "
                f"'service' and 'node' callbacks run on the node actors"
            )
        if mode != "emulation":
            raise ValueError(
                f"callback {cb.name!r} has remote=True, which needs mode='emulation' "
                f"(this simulator runs in {mode!r} mode)"
            )
    reports = getattr(cb, "report_types", ())
    asked = [reports] if isinstance(reports, str) else reports
    unknown = [r for r in asked if r not in REPORT_TYPES]
    if unknown:
        raise ValueError(
            f"callback {cb.name!r} asks for report types {unknown!r}; known types: "
            f"{', '.join(map(repr, REPORT_TYPES))}"
        )


def check_placements(
    infrastructure: Infrastructure, placements: Mapping[Hashable, Placement], mode: str
) -> None:
    """Placements over this infrastructure, keyed by their application id, with
    mappings onto its nodes; in emulation, complete and without two services of
    the same id on one node (the node actors know services by id alone)."""
    on_node: dict[tuple[Hashable, Hashable], Hashable] = {}
    for key, pl in placements.items():
        app = pl.application
        if key != app.id:
            raise ValueError(f"placement of application {app.id!r} is stored under {key!r}")
        if pl.infrastructure is not infrastructure:
            raise ValueError(
                f"placement of application {app.id!r} is on infrastructure "
                f"{pl.infrastructure.id!r}, not on the simulator's infrastructure "
                f"{infrastructure.id!r}"
            )
        mapping = pl.mapping
        unknown = [s for s in mapping if s not in app]
        if unknown:
            raise ValueError(
                f"application {app.id!r} maps services {unknown!r} that it does not have"
            )
        nowhere = [n for n in mapping.values() if n not in infrastructure]
        if nowhere:
            raise ValueError(
                f"application {app.id!r} maps services to nodes {nowhere!r}, which are not in "
                f"infrastructure {infrastructure.id!r}"
            )
        if mode != "emulation" or not mapping:
            continue
        unplaced = [s for s in app.services if s not in mapping]
        if unplaced:
            raise ValueError(
                f"application {app.id!r} is placed but services {unplaced!r} have no node; "
                f"emulation deploys every service of a placed application"
            )
        for service, node in mapping.items():
            other = on_node.setdefault((service, node), app.id)
            if other != app.id:
                raise ValueError(
                    f"applications {other!r} and {app.id!r} both place service {service!r} "
                    f"on node {node!r}; a node actor holds one service per id"
                )


def check_free(
    placements: Mapping[Hashable, Placement], app_id: Hashable, service: Hashable, node: Hashable
) -> None:
    """In emulation, that no other application has a service ``service`` on ``node``."""
    for other, pl in placements.items():
        if other != app_id and pl.mapping.get(service, _MISSING) == node:
            raise ValueError(
                f"cannot move service {service!r} of application {app_id!r} to node {node!r}: "
                f"application {other!r} has a service {service!r} there"
            )


_MISSING = object()
