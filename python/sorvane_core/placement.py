"""Where the services of an application run."""

from __future__ import annotations

from collections import deque
from collections.abc import Hashable, Iterable, Mapping
from dataclasses import dataclass
from types import MappingProxyType
from typing import TYPE_CHECKING, Any, Self, TypeVar

if TYPE_CHECKING:
    from sorvane_core.graph import Application, Infrastructure


class _Clock:
    """Counts the changes of every tracked dict, so that a reader that saw a
    value knows in one comparison whether anything changed since, and keeps a
    log of the latest changes, so that it can find out which."""

    __slots__ = ("value", "log")

    def __init__(self) -> None:
        self.value = 0
        # (clock value, id of the dict changed) of the latest changes.
        self.log: deque[tuple[int, int]] = deque(maxlen=4096)


CHANGES = _Clock()


def changed_since(seen: int) -> list[int] | None:
    """The ids of the tracked dicts changed since the clock was at ``seen`` (a dict
    made since counts as changed), latest first; None when so many changes came
    since that the log no longer reaches back that far."""
    if CHANGES.value == seen:
        return []
    log = CHANGES.log
    if not log or log[0][0] > seen + 1:
        return None
    found = []
    for value, ident in reversed(log):
        if value <= seen:
            break
        found.append(ident)
    return found


K = TypeVar("K")
V = TypeVar("V")


class TrackedDict(dict[K, V]):
    """A dict that notes each of its changes.

    Reads are those of a plain dict. Every change advances :data:`CHANGES` and
    stores its new value in ``version``; placements keep their mapping in one,
    and the simulator its placements, so that the view of the placements is
    rebuilt only after a change.
    """

    __slots__ = ("version",)

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._changed()

    def _changed(self) -> None:
        CHANGES.value += 1
        self.version = CHANGES.value
        CHANGES.log.append((self.version, id(self)))

    def __setitem__(self, key: K, value: V) -> None:
        super().__setitem__(key, value)
        self._changed()

    def __delitem__(self, key: K) -> None:
        super().__delitem__(key)
        self._changed()

    def __ior__(self, other: Any) -> Self:  # type: ignore[misc,override]
        super().__ior__(other)
        self._changed()
        return self

    def update(self, *args: Any, **kwargs: Any) -> None:
        super().update(*args, **kwargs)
        self._changed()

    def setdefault(self, key: Any, default: Any = None) -> Any:
        value = super().setdefault(key, default)
        self._changed()
        return value

    def pop(self, *args: Any) -> Any:
        value = super().pop(*args)
        self._changed()
        return value

    def popitem(self) -> tuple[K, V]:
        item = super().popitem()
        self._changed()
        return item

    def clear(self) -> None:
        super().clear()
        self._changed()

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (dict(self),))


class Placement:
    """An application mapped onto an infrastructure.

    Attributes:
        application: the placed application.
        infrastructure: the infrastructure it is placed on.
        mapping: service id -> node; empty when the application is not placed.
            Assigning a mapping checks that its services and nodes exist; the
            simulator picks up any change, in place or by assignment, at the
            next tick.
    """

    mapping: TrackedDict[Hashable, Hashable]

    def __init__(
        self,
        application: Application,
        infrastructure: Infrastructure,
        mapping: Mapping[Hashable, Hashable] | None = None,
    ) -> None:
        self.application = application
        self.infrastructure = infrastructure
        self.mapping = mapping  # type: ignore[assignment]  # __setattr__ checks and tracks it
        # Set by the remote operations once the services are deployed.
        self._deployed = False

    def __setattr__(self, name: str, value: Any) -> None:
        if name == "mapping":
            value = self._checked(value)
        object.__setattr__(self, name, value)

    def _checked(
        self, given: Mapping[Hashable, Hashable] | None
    ) -> TrackedDict[Hashable, Hashable]:
        mapping: TrackedDict[Hashable, Hashable] = TrackedDict(given or {})
        # Caught here rather than as an obscure failure on a remote node later.
        unknown_services = [s for s in mapping if s not in self.application]
        if unknown_services:
            raise ValueError(
                f"services {unknown_services!r} are not in application {self.application.id!r}"
            )
        unknown_nodes = [n for n in mapping.values() if n not in self.infrastructure]
        if unknown_nodes:
            raise ValueError(
                f"nodes {unknown_nodes!r} are not in infrastructure {self.infrastructure.id!r}"
            )
        return mapping

    def service_placement(self, service_id: Hashable) -> Hashable:
        """The node hosting ``service_id``; KeyError if it is not placed."""
        return self.mapping[service_id]

    def __repr__(self) -> str:
        return (
            f"Placement(application={self.application.id!r}, "
            f"infrastructure={self.infrastructure.id!r}, mapping={self.mapping!r})"
        )


@dataclass(frozen=True, eq=True, slots=True)
class PlacementView:
    """Read-only snapshot of all placements at one tick.

    Attributes:
        tick: the tick of the snapshot.
        mapping: application id -> (service id -> node), read-only.
    """

    tick: int
    mapping: Mapping[Hashable, Mapping[Hashable, Hashable]]

    def __post_init__(self) -> None:
        frozen = MappingProxyType(
            {app: MappingProxyType(dict(services)) for app, services in self.mapping.items()}
        )
        object.__setattr__(self, "mapping", frozen)

    @classmethod
    def of(
        cls, placements: Mapping[Hashable, Placement] | Iterable[Placement], tick: int
    ) -> PlacementView:
        """Snapshot ``placements``: a dict keyed by application id, or an iterable."""
        items: Iterable[tuple[Hashable, Placement]]
        if isinstance(placements, Mapping):
            items = placements.items()
        else:
            items = ((pl.application.id, pl) for pl in placements)
        return cls(tick, {app: pl.mapping for app, pl in items})

    @classmethod
    def _sharing(
        cls, tick: int, frozen: Mapping[Hashable, Mapping[Hashable, Hashable]]
    ) -> PlacementView:
        """A view at ``tick`` over an already frozen mapping, which views may share."""
        view = object.__new__(cls)
        object.__setattr__(view, "tick", tick)
        object.__setattr__(view, "mapping", frozen)
        return view

    def __reduce__(self) -> tuple[Any, ...]:
        # Read-only mapping proxies do not pickle; rebuild from plain dicts.
        plain = {app: dict(services) for app, services in self.mapping.items()}
        return (type(self), (self.tick, plain))
