"""The frozen mapping behind the placement views of a run, kept by the simulator.

Placements keep their mappings in tracked dicts, each change of which advances
the change clock of ``sorvane_core.placement``; the simulator compares that clock
with the value it saw at its last refresh, once a tick, and refreshes only then.
"""

from __future__ import annotations

from collections.abc import Hashable, Mapping
from types import MappingProxyType
from typing import Any

from sorvane_core.placement import CHANGES, Placement, changed_since

Changes = list[tuple[Hashable, Mapping[Hashable, Hashable], Mapping[Hashable, Hashable]]]


class ViewCache:
    """The frozen mapping behind the placement views of a run.

    Rebuilt only after a change of a tracked dict, and then only for the
    applications whose mapping changed; earlier views keep their own snapshot.
    When the clock's log names only mappings this cache holds, those are all it
    looks at; anything else (a new mapping, a change of the placements dict, a
    log that no longer reaches back) and it walks every application.
    """

    def __init__(self) -> None:
        self.seen = -1  # CHANGES.value at the last refresh
        self.source: Any = None  # the placements dict refreshed from
        self._inner: dict[Hashable, tuple[Any, int | None, Mapping[Hashable, Hashable]]] = {}
        # id of each mapping held in _inner -> the applications placed by it. The
        # mappings are held, so their ids stay theirs.
        self._owners: dict[int, list[Hashable]] = {}
        self._position: dict[Hashable, int] = {}  # application -> its place in placements
        self.frozen: MappingProxyType[Hashable, Mapping[Hashable, Hashable]] = MappingProxyType({})

    def refresh(self, placements: Mapping[Hashable, Placement]) -> Changes:
        """Snapshot ``placements`` (application id -> Placement) into ``frozen``; return
        (application, its mapping before, its mapping now) for each application
        that was there before and whose mapping changed."""
        seen, self.seen = self.seen, CHANGES.value
        if (
            self._owners
            and placements is self.source
            and getattr(placements, "version", None) is not None
        ):
            idents = changed_since(seen)
            if idents is not None:
                changed = self._refresh_some(idents)
                if changed is not None:
                    return changed
        return self._refresh_all(placements)

    def _refresh_some(self, idents: list[int]) -> Changes | None:
        """Refresh the applications of the mappings ``idents`` names; None when
        one of them is not a mapping held here, such as the placements dict itself
        (the caller then walks them all)."""
        apps = []
        for ident in set(idents):
            owners = self._owners.get(ident)
            if owners is None:
                return None
            apps.extend(owners)
        if not apps:
            return []
        # In the order of the placements, as a walk of them all gives them: the moves
        # are recorded in this order.
        apps.sort(key=self._position.__getitem__)
        changed: Changes = []
        frozen = self.frozen.copy()  # the dict under the proxy, copied as a dict
        inner = self._inner
        for app in apps:
            mapping, _, before = inner[app]
            now = MappingProxyType(dict(mapping))
            inner[app] = (mapping, mapping.version, now)
            frozen[app] = now
            if before != now:
                changed.append((app, before, now))
        self.frozen = MappingProxyType(frozen)
        return changed

    def _refresh_all(self, placements: Mapping[Hashable, Placement]) -> Changes:
        changed: Changes = []
        self.source = placements
        previous = self._inner
        inner: dict[Hashable, tuple[Any, int | None, Mapping[Hashable, Hashable]]] = {}
        owners: dict[int, list[Hashable]] = {}
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
            owners.setdefault(id(mapping), []).append(app)
        self._inner = inner
        # A mapping that is not a tracked dict changes unseen: such placements are
        # walked every time.
        self._owners = owners if all(entry[1] is not None for entry in inner.values()) else {}
        self._position = {app: i for i, app in enumerate(inner)}
        self.frozen = MappingProxyType({app: entry[2] for app, entry in inner.items()})
        return changed
