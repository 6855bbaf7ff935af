"""The placement views' cache against a fresh snapshot, over random changes."""

from hypothesis import given, settings, strategies as st

from sorvane_core.graph import Application, Infrastructure
from sorvane_core.placement import CHANGES, Placement, TrackedDict
from sorvane_core.simulation._views import ViewCache

NODES = ["a", "b", "c"]
SERVICES = ["s0", "s1", "s2"]


def world():
    infr = Infrastructure("views")
    infr.add_nodes_from(NODES)
    apps = []
    for i in range(4):
        app = Application(f"app{i}")
        for service in SERVICES:
            app.add_service(service)
        apps.append(app)
    return infr, apps


OPERATIONS = st.lists(st.tuples(
    st.sampled_from(["move", "unplace", "assign", "drop", "add", "replace", "noise", "flood",
                     "refresh"]),
    st.integers(0, 3), st.sampled_from(SERVICES), st.sampled_from(NODES)), max_size=40)


@settings(max_examples=150, deadline=None)
@given(OPERATIONS)
def test_refresh_matches_a_fresh_snapshot(operations):
    infr, apps = world()
    # Made in one order, placed in another: the order of the changes is the placements'.
    made = [Placement(app, infr, {s: "a" for s in SERVICES}) for app in apps[:3]]
    placements = TrackedDict({pl.application.id: pl for pl in reversed(made)})
    cache = ViewCache()
    cache.refresh(placements)
    before = {app: dict(pl.mapping) for app, pl in placements.items()}
    unrelated = TrackedDict()
    for op, i, service, node in [*operations, ("refresh", 0, "s0", "a")]:
        app = apps[i]
        pl = placements.get(app.id)
        if op == "move" and pl is not None:
            pl.mapping[service] = node
        elif op == "unplace" and pl is not None:
            pl.mapping.pop(service, None)
        elif op == "assign" and pl is not None:
            pl.mapping = {s: node for s in SERVICES}
        elif op == "drop":
            placements.pop(app.id, None)
        elif op == "add" and pl is None:
            placements[app.id] = Placement(app, infr, {service: node})
        elif op == "replace" and pl is not None:
            placements[app.id] = Placement(app, infr, dict(pl.mapping, **{service: node}))
        elif op == "noise":
            unrelated[service] = node
        elif op == "flood":  # more changes than the clock's log keeps
            for k in range(CHANGES.log.maxlen + 1):
                unrelated[k % 3] = node
        elif op == "refresh":
            changes = cache.refresh(placements)
            now = {app: dict(pl.mapping) for app, pl in placements.items()}
            assert dict(cache.frozen) == now
            # In the placements' order: the simulator records the moves in it.
            assert [(app, dict(old), dict(new)) for app, old, new in changes] == [
                (app, before[app], now[app]) for app in now
                if app in before and before[app] != now[app]]
            before = now
