"""Where the services of an application run."""

from __future__ import annotations

from dataclasses import dataclass
from types import MappingProxyType
from typing import TYPE_CHECKING, Any, Hashable, Iterable, Mapping

if TYPE_CHECKING:
    from sorvane_core.graph import Application, Infrastructure


class Placement:
    """An application mapped onto an infrastructure.

    Attributes:
        application: the placed application.
        infrastructure: the infrastructure it is placed on.
        mapping: service id -> node; empty when the application is not placed.
    """

    def __init__(
        self,
        application: Application,
        infrastructure: Infrastructure,
        mapping: Mapping[Hashable, Hashable] | None = None,
    ) -> None:
        mapping = dict(mapping or {})
        # Caught here rather than as an obscure failure on a remote node later.
        unknown_services = [s for s in mapping if s not in application]
        if unknown_services:
            raise ValueError(
                f"services {unknown_services!r} are not in application {application.id!r}"
            )
        unknown_nodes = [n for n in mapping.values() if n not in infrastructure]
        if unknown_nodes:
            raise ValueError(
                f"nodes {unknown_nodes!r} are not in infrastructure {infrastructure.id!r}"
            )
        self.application = application
        self.infrastructure = infrastructure
        self.mapping: dict[Hashable, Hashable] = mapping
        # Set by the remote operations once the services are deployed.
        self._deployed = False

    def service_placement(self, service_id: Hashable) -> Hashable:
        """The node hosting ``service_id``; KeyError if it is not placed."""
        return self.mapping[service_id]

    def __repr__(self) -> str:
        return (
            f"Placement(application={self.application.id!r}, "
            f"infrastructure={self.infrastructure.id!r}, mapping={self.mapping!r})"
        )


@dataclass(frozen=True, eq=True)
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
        if isinstance(placements, Mapping):
            items = placements.items()
        else:
            items = ((pl.application.id, pl) for pl in placements)
        return cls(tick, {app: pl.mapping for app, pl in items})

    def __reduce__(self) -> tuple[Any, ...]:
        # Read-only mapping proxies do not pickle; rebuild from plain dicts.
        plain = {app: dict(services) for app, services in self.mapping.items()}
        return (type(self), (self.tick, plain))
