"""Checks made before a run starts: each mistake is a ValueError that names the
object at fault, raised before any callback runs and before Ray is touched."""

from __future__ import annotations

import operator
from collections.abc import Hashable, Iterable, Mapping
from typing import TYPE_CHECKING, Any

from sorvane_core.utils.types import REPORT_TYPES, CallbackType

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


# Events the simulator itself delivers: no callback may share their names, or its
# listeners would hear the callback and the event as one trigger.
EVENT_NAMES = ("start", "tick", "end")


def check_callbacks(callbacks: Iterable[Any], mode: str) -> None:
    """Instances with sound arguments, unique names that no event has, known
    types, and remote callbacks only where they can run."""
    callbacks = list(callbacks)
    for cb in callbacks:
        check_callback(cb, mode)
    seen: set[Hashable] = set()
    repeated: list[Hashable] = []
    for cb in callbacks:
        name = cb.name
        if name in seen and name not in repeated:
            repeated.append(name)
        seen.add(name)
    if repeated:
        # Their data would overwrite one another in the records.
        raise ValueError(f"callback names must be unique; repeated: {repeated!r}")
    raised_by: dict[Hashable, Hashable] = {}
    for cb in callbacks:
        for event in _mapping(cb, "_triggers"):
            raised_by.setdefault(event, cb.name)
    for cb in callbacks:
        name = cb.name
        if name in EVENT_NAMES:
            raise ValueError(
                f"callback {name!r} has the name of the simulator's {name!r} event; callbacks "
                f"and events share one namespace (a listener could not tell them apart), so "
                f"rename the callback"
            )
        if name in raised_by:
            raise ValueError(
                f"callback {name!r} has the name of an event that callback {raised_by[name]!r} "
                f"triggers; callbacks and events share one namespace (a listener could not "
                f"tell them apart), so rename one of them"
            )


def check_callback(cb: Any, mode: str) -> None:
    """One callback: an instance, its name, type, remote flag, listened names,
    periods, trigger conditions and report types."""
    if isinstance(cb, type):
        raise ValueError(
            f"the callbacks hold the class {cb.__qualname__!r} itself; give an instance of it "
            f"instead, e.g. {cb.__name__}(...)"
        )
    name = cb.name
    try:
        hash(name)
    except TypeError:
        raise ValueError(f"callback name {name!r} is not hashable") from None
    kind = getattr(cb, "type", None)
    if kind is not None and kind not in CALLBACK_TYPES:
        raise ValueError(
            f"callback {name!r} has type {kind!r}; expected None or one of "
            f"{', '.join(map(repr, CALLBACK_TYPES))}"
        )
    if getattr(cb, "remote", False):
        if kind not in REMOTE_TYPES:
            raise ValueError(
                f"callback {name!r} has type {kind!r} and remote=True; only "
                f"'service' and 'node' callbacks run on the node actors"
            )
        if mode != "emulation":
            raise ValueError(
                f"callback {name!r} has remote=True, which needs mode='emulation' "
                f"(this simulator runs in {mode!r} mode)"
            )
    listened = listened_names(cb)
    periods = getattr(cb, "_activates_every_n", _MISSING)
    if periods is not _MISSING:
        if not isinstance(periods, Mapping):
            raise ValueError(
                f"callback {name!r} has activates_every_n={periods!r}; expected a dict from "
                f"trigger name to period, e.g. {{'tick': 3}}"
            )
        for trigger, period in periods.items():
            if type(period) is bool or not isinstance(period, int) or period < 1:
                raise ValueError(
                    f"callback {name!r} has period {period!r} for {trigger!r}; a period is a "
                    f"whole number of occurrences, 1 or more"
                )
        missing = [t for t in listened if t not in periods]
        if missing:
            raise ValueError(
                f"callback {name!r} listens to {missing!r} but activates_every_n gives "
                f"no period for it"
            )
    triggers = getattr(cb, "_triggers", _MISSING)
    if triggers is not _MISSING:
        if not isinstance(triggers, Mapping):
            raise ValueError(
                f"callback {name!r} has triggers={triggers!r}; expected a dict from event "
                f"name to condition, e.g. {{'stop': lambda data: data > 10}}"
            )
        for event, condition in triggers.items():
            if not callable(condition):
                raise ValueError(
                    f"callback {name!r} triggers {event!r} on {condition!r}, which is not "
                    f"callable; a condition is called with the callback's data"
                )
    reports = getattr(cb, "report_types", ())
    asked = [reports] if isinstance(reports, str) else reports
    unknown = [r for r in asked if r not in REPORT_TYPES]
    if unknown:
        raise ValueError(
            f"callback {name!r} asks for report types {unknown!r}; known types: "
            f"{', '.join(map(repr, REPORT_TYPES))}"
        )


def check_policy(policy: Any) -> None:
    """A migration policy: callable, and called every whole number of ticks."""
    if not callable(policy):
        raise ValueError(f"migration policy {policy!r} is not callable; a policy is called with "
                         f"the simulator and returns the moves to make")
    every = getattr(policy, "every", 1)
    if type(every) is bool or not isinstance(every, int) or every < 1:
        raise ValueError(f"migration policy {policy!r} has every={every!r}; expected a whole "
                         f"number of ticks, 1 or more")


def listened_names(cb: Any) -> list[Hashable]:
    """The names a callback listens to, each once, in order."""
    names = cb.activates_on
    if isinstance(names, str):
        return [names]
    try:
        return list(dict.fromkeys(names))
    except TypeError:
        raise ValueError(
            f"callback {cb.name!r} listens to {names!r}; expected an event or callback name, "
            f"or a list of them"
        ) from None


def _mapping(cb: Any, attribute: str) -> Mapping[Any, Any]:
    found = getattr(cb, attribute, None)
    return found if isinstance(found, Mapping) else {}


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
