"""The frozen mapping behind the placement views of a run, kept by the simulator.

Placements keep their mappings in tracked dicts, each change of which advances
the change clock of ``sorvane_core.placement``; the simulator compares that clock
with the value it saw at its last refresh, once a tick, and refreshes only then.
"""

from __future__ import annotations

from collections.abc import Hashable, Mapping
from types import MappingProxyType
from typing import Any

from sorvane_core.placement import CHANGES, Placement


class ViewCache:
    """The frozen mapping behind the placement views of a run.

    Rebuilt only after a change of a tracked dict, and then only for the
    applications whose mapping changed; earlier views keep their own snapshot.
    """

    def __init__(self) -> None:
        self.seen = -1  # CHANGES.value at the last refresh
        self.source: Any = None  # the placements dict refreshed from
        self._inner: dict[Hashable, tuple[Any, int | None, Mapping[Hashable, Hashable]]] = {}
        self.frozen: Mapping[Hashable, Mapping[Hashable, Hashable]] = MappingProxyType({})

    def refresh(
        self, placements: Mapping[Hashable, Placement]
    ) -> list[tuple[Hashable, Mapping[Hashable, Hashable], Mapping[Hashable, Hashable]]]:
        """Snapshot ``placements`` (application id -> Placement) into ``frozen``; return
        (application, its mapping before, its mapping now) for each application
        that was there before and whose mapping changed."""
        self.seen = CHANGES.value
        changed = []
        self.source = placements
        previous = self._inner
        inner: dict[Hashable, tuple[Any, int | None, Mapping[Hashable, Hashable]]] = {}
        for app, pl in placements.items():
            mapping = pl.mapping
            version = getattr(mapping, "version", None)
            kept = previous.get(app)
            if (
                version is not None
                and kept is not None
                and kept[0] is mapping
                and kept[1] == version
            ):
                inner[app] = kept
            else:
                inner[app] = (mapping, version, MappingProxyType(dict(mapping)))
                if kept is not None and kept[2] != inner[app][2]:
                    changed.append((app, kept[2], inner[app][2]))
        self._inner = inner
        self.frozen = MappingProxyType({app: entry[2] for app, entry in inner.items()})
        return changed
