"""Workloads: how busy each service and interaction is, tick by tick.

A pattern makes a factor per service and per interaction at every tick; a
service's current demand is its static demand times its factor, an
interaction's current rate its static rate times its own. The patterns:

- ``constant(f)``: every factor is ``f``;
- ``uniform(low, high)``: drawn anew every tick, uniformly between the bounds;
- ``random_walk(sigma, low, high)``: each factor starts at 1 (within the
  bounds) and moves by a normal step of deviation ``sigma`` every tick, kept
  within the bounds;
- ``diurnal(period_ticks, low, high, phase=0)``: one sine wave for all, from
  ``low`` to ``high`` and back every ``period_ticks``, at its middle and rising
  at tick ``-phase``;
- ``poisson(mean)``: ``k / mean`` with ``k`` drawn from a Poisson law of that
  mean every tick: bursty, 1 on average;
- ``trace(table_or_path)``: factors read from a table (a DataFrame, or a CSV,
  JSON-lines or Parquet file) with the columns ``tick``, ``application``,
  ``factor`` and optionally ``service``. A row holds from its tick until the
  next row of the same application (or service); a service follows its own
  rows where it has some, otherwise its application's; an interaction follows
  its application's; before any row, the factor is 1.

Draws come from a ``numpy.random.Generator`` seeded with the run's seed and the
workload's name, so that the same seed gives the same workload, whichever ticks
the models look at: a factor at tick t is the same whether or not the ticks
before were read.
"""

from __future__ import annotations

import hashlib
import math
from collections.abc import Hashable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from sorvane_core.models.network import Network


class Series:
    """The factors of one kind of entries (services, or interactions), tick by tick."""

    def __init__(
        self, pattern: Pattern, rng: np.random.Generator, keys: Sequence[Any], kind: int
    ) -> None:
        self.pattern = pattern
        self.rng = rng
        self.kind = kind  # 0: services, keyed (application, service); 1: interactions
        self.keys = list(keys)
        self.tick = -1
        self.value = np.ones(len(self.keys))
        self.pattern.begin(self)

    def at(self, tick: int) -> np.ndarray:
        """The factors at ``tick``; the ticks in between are stepped through, so
        that they do not depend on which ticks were read."""
        if tick < self.tick:
            raise ValueError(f"the workload is at tick {self.tick}; it cannot go back to {tick}")
        while self.tick < tick:
            self.tick += 1
            self.value = self.pattern.step(self, self.tick)
        return self.value

    def relaid(self, keys: Sequence[Any]) -> Series:
        """The same series over entries laid out anew: an entry keeps its state by key,
        a new one starts afresh."""
        if list(keys) == self.keys:
            return self
        fresh = Series.__new__(Series)
        fresh.pattern, fresh.rng, fresh.kind = self.pattern, self.rng, self.kind
        fresh.keys, fresh.tick = list(keys), self.tick
        old = dict(zip(self.keys, self.value.tolist()))
        fresh.value = np.array([old.get(k, 1.0) for k in fresh.keys], dtype=np.float64)
        self.pattern.relaid(self, fresh)
        return fresh


class Pattern:
    """How factors change from tick to tick."""

    def begin(self, series: Series) -> None:
        """Set up ``series`` before its first tick."""

    def step(self, series: Series, tick: int) -> np.ndarray:
        """The factors at ``tick``, the previous ones being ``series.value``."""
        raise NotImplementedError

    def relaid(self, old: Series, new: Series) -> None:
        """Carry what ``old`` kept per entry over to ``new``."""

    def check(self, network: Network, apps: Sequence[Hashable]) -> None:
        """Raise ValueError if the pattern cannot apply to these applications."""


class constant(Pattern):  # noqa: N801 - named as the other patterns, functions to the user
    """Every factor is ``factor``."""

    def __init__(self, factor: float = 1.0) -> None:
        self.factor = _finite("factor", factor)

    def step(self, series: Series, tick: int) -> np.ndarray:
        return np.full(len(series.keys), self.factor)

    def __repr__(self) -> str:
        return f"constant({self.factor!r})"


class uniform(Pattern):  # noqa: N801
    """Factors drawn anew every tick, uniformly between ``low`` and ``high``."""

    def __init__(self, low: float, high: float) -> None:
        self.low, self.high = _bounds(low, high)

    def step(self, series: Series, tick: int) -> np.ndarray:
        return series.rng.uniform(self.low, self.high, len(series.keys))

    def __repr__(self) -> str:
        return f"uniform({self.low!r}, {self.high!r})"


class random_walk(Pattern):  # noqa: N801
    """Factors that start at 1 and move by a normal step of deviation ``sigma``
    every tick, kept between ``low`` and ``high``."""

    def __init__(self, sigma: float, low: float = 0.0, high: float = math.inf) -> None:
        self.sigma = _finite("sigma", sigma)
        if self.sigma < 0:
            raise ValueError(f"sigma must be 0 or more, not {sigma!r}")
        self.low, self.high = _bounds(low, high, finite=False)

    def begin(self, series: Series) -> None:
        series.value = np.clip(np.ones(len(series.keys)), self.low, self.high)
        series.tick = 0  # tick 0 is the start

    def step(self, series: Series, tick: int) -> np.ndarray:
        moved = series.value + series.rng.normal(0.0, self.sigma, len(series.keys))
        return np.clip(moved, self.low, self.high)

    def __repr__(self) -> str:
        return f"random_walk({self.sigma!r}, {self.low!r}, {self.high!r})"


class diurnal(Pattern):  # noqa: N801
    """One sine wave for every factor: from ``low`` to ``high`` and back every
    ``period_ticks`` ticks, shifted by ``phase`` ticks."""

    def __init__(self, period_ticks: float, low: float, high: float, phase: float = 0) -> None:
        self.period = _finite("period_ticks", period_ticks)
        if self.period <= 0:
            raise ValueError(f"period_ticks must be more than 0, not {period_ticks!r}")
        self.low, self.high = _bounds(low, high)
        self.phase = _finite("phase", phase)

    def step(self, series: Series, tick: int) -> np.ndarray:
        angle = 2 * math.pi * (tick + self.phase) / self.period
        factor = self.low + (self.high - self.low) * (1 + math.sin(angle)) / 2
        return np.full(len(series.keys), factor)

    def __repr__(self) -> str:
        return f"diurnal({self.period!r}, {self.low!r}, {self.high!r}, phase={self.phase!r})"


class poisson(Pattern):  # noqa: N801
    """Factors ``k / mean``, ``k`` drawn every tick from a Poisson law of mean ``mean``."""

    def __init__(self, mean: float) -> None:
        self.mean = _finite("mean", mean)
        if self.mean <= 0:
            raise ValueError(f"mean must be more than 0, not {mean!r}")

    def step(self, series: Series, tick: int) -> np.ndarray:
        return series.rng.poisson(self.mean, len(series.keys)) / self.mean

    def __repr__(self) -> str:
        return f"poisson({self.mean!r})"


class trace(Pattern):  # noqa: N801
    """Factors read from a table: ``tick``, ``application``, ``factor`` and
    optionally ``service`` (see the module docstring)."""

    def __init__(self, table_or_path: Any) -> None:
        table = _table(table_or_path)
        missing = [c for c in ("tick", "application", "factor") if c not in table.columns]
        if missing:
            raise ValueError(f"a workload trace needs the columns tick, application and factor; "
                             f"{missing!r} missing")
        by_service = "service" in table.columns
        changes: dict[int, list[tuple[Hashable, Any, float]]] = {}
        for row in table.itertuples(index=False):
            tick, app, factor = row.tick, row.application, row.factor
            service = getattr(row, "service", None) if by_service else None
            if service is not None and service != service:  # NaN: an application's row
                service = None
            if not isinstance(tick, (int, np.integer)) and not float(tick).is_integer():
                raise ValueError(f"a workload trace has tick {tick!r}; ticks are whole numbers")
            changes.setdefault(int(tick), []).append((app, service, _finite("factor", factor)))
        self.changes = changes
        self.source = table_or_path if isinstance(table_or_path, (str, Path)) else "a table"

    def begin(self, series: Series) -> None:
        # Entries are (application, service) for services, (application, None) for
        # interactions; the latest row of the service, else of its application.
        series.by_app = {}  # type: ignore[attr-defined]
        series.by_service = {}  # type: ignore[attr-defined]
        for i, (app, item) in enumerate(series.keys):
            series.by_app.setdefault(app, []).append(i)  # type: ignore[attr-defined]
            if series.kind == 0:
                series.by_service[(app, item)] = i  # type: ignore[attr-defined]
        series.app_factor = np.ones(len(series.keys))  # type: ignore[attr-defined]
        series.own = np.full(len(series.keys), np.nan)  # type: ignore[attr-defined]
        for tick in sorted(t for t in self.changes if t < 0):  # rows that hold from the start
            self.step(series, tick)

    def step(self, series: Series, tick: int) -> np.ndarray:
        for app, service, factor in self.changes.get(tick, ()):
            if service is None:
                rows = series.by_app.get(app)  # type: ignore[attr-defined]
                if rows:
                    series.app_factor[rows] = factor  # type: ignore[attr-defined]
            else:
                row = series.by_service.get((app, service))  # type: ignore[attr-defined]
                if row is not None:
                    series.own[row] = factor  # type: ignore[attr-defined]
        own: np.ndarray = series.own  # type: ignore[attr-defined]
        by_app: np.ndarray = series.app_factor  # type: ignore[attr-defined]
        return np.where(np.isnan(own), by_app, own)

    def relaid(self, old: Series, new: Series) -> None:
        app_factor = dict(zip(old.keys, old.app_factor.tolist()))  # type: ignore[attr-defined]
        own = dict(zip(old.keys, old.own.tolist()))  # type: ignore[attr-defined]
        self.begin(new)
        new.app_factor[:] = [app_factor.get(k, 1.0) for k in new.keys]  # type: ignore[attr-defined]
        new.own[:] = [own.get(k, math.nan) for k in new.keys]  # type: ignore[attr-defined]

    def __repr__(self) -> str:
        return f"trace({self.source!r})"


def _table(table_or_path: Any) -> Any:
    if isinstance(table_or_path, (str, Path)):
        from sorvane_core.results.tables import import_pandas

        path = Path(table_or_path)
        if not path.exists():
            raise ValueError(f"no workload trace at {str(path)!r}")
        import_pandas()
        from sorvane_core.results.tables import read_report

        # As reports are read: a service named NA or None stays a name.
        return read_report(path)
    if not hasattr(table_or_path, "columns") or not hasattr(table_or_path, "itertuples"):
        raise ValueError(
            f"a workload trace is a table (a pandas DataFrame) or the path of one, not "
            f"{type(table_or_path).__name__}")
    return table_or_path


def _finite(name: str, value: Any) -> float:
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a number, not {value!r}") from None
    if not math.isfinite(number):
        raise ValueError(f"{name} must be a finite number, not {value!r}")
    return number


def _bounds(low: Any, high: Any, finite: bool = True) -> tuple[float, float]:
    lo = _finite("low", low) if finite or low != -math.inf else -math.inf
    hi = _finite("high", high) if finite or high != math.inf else math.inf
    if lo > hi:
        raise ValueError(f"low ({low!r}) is above high ({high!r})")
    return lo, hi


def stable_number(text: str) -> int:
    """A number made from ``text`` that is the same in every process (unlike ``hash``)."""
    return int.from_bytes(hashlib.sha256(text.encode("utf-8")).digest()[:8], "little")


def seed_number(seed: Any) -> int:
    """A run's seed as a non-negative int for ``numpy.random.SeedSequence``."""
    if isinstance(seed, int) and not isinstance(seed, bool) and seed >= 0:
        return seed
    return stable_number(repr(seed))


def series_for(pattern: Pattern, seed: Any, name: str, kind: int, keys: Sequence[Any]) -> Series:
    """A series of ``pattern`` over ``keys``, its draws seeded by the run's seed, the
    workload's name and the kind of entries (0: services, 1: interactions)."""
    sequence = np.random.SeedSequence([seed_number(seed), stable_number(name), kind])
    return Series(pattern, np.random.default_rng(sequence), keys, kind)


def factor_keys(network: Network) -> tuple[list[Any], list[Any]]:
    """The keys of the service entries, (application, service), and of the
    interaction entries, (application, (source, target)), of a network's layout."""
    apps, ids = network.apps, network.service_ids
    services = [(apps[a], sid) for a, sid in zip(network.service_app.tolist(), ids)]
    interactions = [(apps[a], (ids[u], ids[v])) for a, u, v in zip(
        network.inter_app.tolist(), network.inter_src.tolist(), network.inter_dst.tolist())]
    return services, interactions
