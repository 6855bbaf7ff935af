"""A gymnasium environment in which an agent moves services between the ticks of a run.

An episode is one simulated run of the world that a scenario's ``build`` makes for the
episode's seed. ``reset`` runs tick 0; each ``step`` makes the agent's move (or none),
runs one more tick and observes it over the arrays that ``sorvane_core.models`` share,
so that an observation costs little more than the models' own tick. Simulation only:
emulation on Ray is not offered here. See ``docs/rl.md``.

    from sorvane_core.rl import PlacementEnv

    env = PlacementEnv("examples/edge_cloud.py", ticks=50)
    observation, info = env.reset(seed=1)
    observation, reward, terminated, truncated, info = env.step(env.action_space.sample())

Needs gymnasium: ``pip install 'sorvane_core[rl]'``.
"""

from __future__ import annotations

import math
import numbers
import os
from collections.abc import Callable, Hashable, Iterable, Mapping
from pathlib import Path
from types import ModuleType
from typing import Any, SupportsFloat

import numpy as np

from sorvane_core.utils.extras import RL

try:
    import gymnasium as gym
    from gymnasium import spaces
except ImportError as err:
    raise ImportError(f"the reinforcement-learning environment needs gymnasium: {RL}") from err

from sorvane_core.models.network import Attributes, Needs, Network, Route, _divide, network_of
from sorvane_core.simulation import Simulator
from sorvane_core.simulation.migrations import Migration

__all__ = ["ENV_ID", "LARGE", "OBSERVATIONS", "PlacementEnv", "Reward"]

ENV_ID = "sorvane_core/Placement-v0"

OBSERVATIONS = ("utilisation", "link_utilisation", "sla", "placement", "power")
"""The observations an environment can give, by name."""

LARGE = 1e6
"""The bound of the unbounded observations (utilisation, link utilisation, power):
values above it are observed as ``LARGE``. An infinite utilisation (a node with no
capacity asked for some, a link with no bandwidth that carries traffic) is one."""

Observation = dict[str, np.ndarray]


def _needs_of(name: str, attributes: Attributes, resource: str) -> Needs:
    return {
        "utilisation": Needs(resources=frozenset([resource])),
        "link_utilisation": Needs(routes=True, bandwidth=True, rates=True),
        "sla": Needs(routes=True, latency=True),
        "placement": Needs(),
        "power": Needs(resources=frozenset([attributes.cpu]), power=True),
    }[name]


def _bounded(values: np.ndarray) -> np.ndarray:
    """``values`` as float32 within [0, LARGE]: a copy, never the models' array."""
    out = values.astype(np.float32)
    np.clip(out, 0.0, LARGE, out=out)
    return out


def _violated(network: Network, rows: np.ndarray) -> np.ndarray:
    """Whether each application ``rows`` (those with a bound) violates it this tick; an
    application with a service not placed has no end-to-end latency, so none."""
    violated: np.ndarray = network.end_to_end()[rows] > network.bound[rows]
    return violated


def _bounded_rows(network: Network) -> np.ndarray:
    """The positions of the applications with a latency bound, per layout."""
    key = ("rl:bounded", network.layout_version)
    found = network.layouts.get(key)
    if found is None:
        found = network.layouts[key] = np.flatnonzero(~np.isnan(network.bound))
    return found


def moves_at(simulator: Any, tick: int) -> int:
    """How many of the simulator's moves take effect at ``tick`` (their ``Migration.tick``)."""
    count = 0
    for migration in reversed(simulator.migrations):  # in the order made: ticks never go down
        if migration.tick > tick:
            continue  # made during the tick: the next tick sees it
        if migration.tick < tick:
            break
        count += 1
    return count


class Reward:
    """The default reward of a :class:`PlacementEnv`, a callable of the simulator.

    ``-(power_w * power_weight) - sla_penalty * violations - migration_penalty * moves``

    - ``power_w``: the power of every node and link at this tick, in W
      (``NodePower`` plus ``LinkPower``: ``idle + (max - idle) * min(1, cpu
      utilisation)`` per node, ``energy_per_bit_j * load_mbps * 1e6`` per link);
      ``power_weight`` is per W, 1/1000 by default, so that a kW costs 1.
    - ``violations``: the applications whose end-to-end latency is above their
      ``max_latency_ms`` this tick (as ``SLA`` counts them); 1 each by default.
    - ``moves``: the migrations that take effect at this tick (``Migration.tick``):
      the agent's move of this step, and any other move made since the last tick's
      models ran (by a callback during that tick, or by a change of a mapping);
      0.1 each by default.

    It reads the arrays the models share (``network_of(simulator, attributes,
    route)``) at the simulator's current tick, so it also scores a plain
    :class:`Simulator` run, step by step, for a comparison with an agent:

    >>> reward = Reward(power_weight=0.01, sla_penalty=5.0)
    >>> reward.migration_penalty
    0.1
    """

    def __init__(
        self, *, power_weight: float = 1e-3, sla_penalty: float = 1.0,
        migration_penalty: float = 0.1, attributes: Attributes | None = None,
        route: Route | None = None,
    ) -> None:
        for name, value in (("power_weight", power_weight), ("sla_penalty", sla_penalty),
                            ("migration_penalty", migration_penalty)):
            if isinstance(value, bool) or not isinstance(value, numbers.Real) \
                    or not math.isfinite(value):
                raise ValueError(f"reward: {name} must be a finite number, not {value!r}")
        self.power_weight = float(power_weight)
        self.sla_penalty = float(sla_penalty)
        self.migration_penalty = float(migration_penalty)
        self.attributes = Attributes() if attributes is None else attributes
        self.route = route
        self.needs = Needs(resources=frozenset([self.attributes.cpu]), power=True, routes=True,
                           energy=True, rates=True, latency=True)

    def prepare(self, simulator: Any) -> Network:
        """Ask the simulator's models for what the reward reads, before its run: a
        need found at the first step would read the whole world again then."""
        network = network_of(simulator, self.attributes, self.route)
        network.require(self.needs)
        return network

    def terms(self, simulator: Any) -> dict[str, float]:
        """The terms of the reward at the simulator's tick: ``power_w``,
        ``violations`` and ``moves``."""
        network = self.prepare(simulator)
        network.at(simulator, simulator.tick)
        power = float(network.node_power().sum() + network.link_power().sum())
        violations = int(np.count_nonzero(_violated(network, _bounded_rows(network))))
        return {"power_w": power, "violations": violations,
                "moves": moves_at(simulator, simulator.tick)}

    def __call__(self, simulator: Any) -> float:
        terms = self.terms(simulator)
        return -(terms["power_w"] * self.power_weight) - self.sla_penalty * terms["violations"] \
            - self.migration_penalty * terms["moves"]

    def __repr__(self) -> str:
        return (f"Reward(power_weight={self.power_weight!r}, sla_penalty={self.sla_penalty!r}, "
                f"migration_penalty={self.migration_penalty!r})")


class PlacementEnv(gym.Env[Observation, np.int64]):
    """Place services tick by tick: a gymnasium environment over a simulated run.

    Args:
        build: a scenario's ``build(seed, **build_options)`` returning
            ``(infrastructure, placements, callbacks)``, as the command line calls
            it (told ``mode="simulation"`` if it takes ``mode``); or a scenario
            module, or the path of a scenario file.
        ticks: the ticks of an episode's run: tick 0 at ``reset``, then one per
            step, so ``ticks - 1`` steps; at least 2.
        observe: the observations, by name (see ``OBSERVATIONS``).
        reward: ``reward(simulator) -> float``, called after each step's tick; by
            default :class:`Reward` over ``attributes`` and ``route``.
        resource: the resource of the ``"utilisation"`` observation (by default
            the one ``attributes`` call cpu).
        attributes: the attribute names the observations read (``models.Attributes``).
        route: the route function of the models whose arrays are read (the
            shortest path by latency by default).
        build_options: keyword arguments of every call of ``build``.
        seed: the seed of the first ``reset`` that is given none; also the seed of
            the world the spaces are sized on (0 when None).

    Episodes: ``reset(seed=s)`` makes the world ``build(s)`` and runs it with
    ``Simulator(..., seed=s, history=False, progress=False)``, so an episode is the
    plain run of that seed as long as the agent does nothing; ``reset()`` draws the
    seed from the environment's ``np_random``. ``simulator`` is the episode's
    simulator. A step is ``truncated`` when the episode's ticks are done, and
    ``terminated`` when a trigger raised ``"stop"``; the run then ends, as a run
    does, with its ``"end"`` event. ``reset`` and ``close`` end a run under way.

    Actions, ``Discrete(1 + S * N)`` for ``S`` services and ``N`` nodes: 0 does
    nothing; ``1 + s * N + n`` moves the ``s``-th service (``services``: the
    applications in order, each one's services in graph order) to the ``n``-th
    node (``nodes``: the infrastructure's order) with ``simulator.migrate(...,
    reason="agent")``, costed and recorded as any move; it takes effect at the
    next tick. A move to the node the service is on, or of a service not placed,
    does nothing (``info["noop"]``, and ``info["reason"]`` says why). Every world
    that ``build`` makes must have the same numbers of nodes, links, services and
    applications with ``max_latency_ms``, which size the spaces: another is a
    ValueError at ``reset``.

    Observations, a ``Dict`` of float32 ``Box`` es, as the models measure the tick
    once it is done (a model placed after every callback):

    - ``"utilisation"``: per node, the demand of ``resource`` over its capacity;
    - ``"link_utilisation"``: per link (the infrastructure's order), load / bandwidth;
    - ``"sla"``: per application with ``max_latency_ms``, 1.0 when its end-to-end
      latency is above it this tick (an application with a service not placed: 0);
    - ``"placement"``: per service, the position of its node, -1 if not placed;
    - ``"power"``: per node, its power in W.

    Utilisations and power lie within [0, ``LARGE``]: larger values, infinities
    included, are observed as ``LARGE``.

    ``info``: ``tick``, ``migration`` (the agent's ``Migration``, or None),
    ``noop`` and ``reason``; after ``reset``, ``tick`` and ``seed``.

    >>> PlacementEnv.metadata["render_modes"]
    []
    """

    metadata: dict[str, Any] = {"render_modes": []}

    def __init__(
        self,
        build: Callable[..., Any] | ModuleType | str | os.PathLike[str],
        *,
        ticks: int = 100,
        observe: Iterable[str] = ("utilisation", "link_utilisation", "sla"),
        reward: Callable[[Any], SupportsFloat] | None = None,
        resource: str | None = None,
        attributes: Attributes | None = None,
        route: Route | None = None,
        build_options: Mapping[str, Any] | None = None,
        seed: int | None = None,
    ) -> None:
        self._build, self._name = _builder(build)
        self._source = f"build() of {self._name}"
        if isinstance(ticks, bool) or not isinstance(ticks, numbers.Integral) or ticks < 2:
            raise ValueError(f"ticks must be a whole number of at least 2 (tick 0 at reset, "
                             f"then one per step), not {ticks!r}")
        self.ticks: int = int(ticks)
        self.observe: tuple[str, ...] = _observations(observe)
        self.attributes: Attributes = Attributes() if attributes is None else attributes
        self.resource: str = self.attributes.cpu if resource is None else resource
        self.route: Route | None = route
        if reward is not None and not callable(reward):
            raise ValueError(f"reward must be a callable of the simulator, not {reward!r}")
        self.reward: Callable[[Any], SupportsFloat] = (
            Reward(attributes=self.attributes, route=self.route) if reward is None else reward)
        self.build_options: dict[str, Any] = dict(build_options or {})
        _check_options(self._build, self.build_options, self._source)
        if seed is not None and (isinstance(seed, bool) or not isinstance(seed, numbers.Integral)
                                 or seed < 0):
            raise ValueError(f"seed must be a whole number, 0 or more, or None, not {seed!r}")
        self._first_seed: int | None = None if seed is None else int(seed)
        self._needs: Needs = Needs()
        for name in self.observe:
            self._needs = self._needs | _needs_of(name, self.attributes, self.resource)

        self.simulator: Simulator | None = None
        self.episode_seed: int | None = None
        self._network: Network | None = None
        self._steps: Any = None  # the generator of the episode's run, while it goes on
        self._stopped_early: bool = False  # a trigger stopped the run at tick 0
        self._layout: tuple[Any, int] = (None, -1)  # (infrastructure arrays, layout version)

        # The spaces, sized on the world of the first seed.
        self._sized_on: int = 0 if seed is None else int(seed)
        _, network = self._world(self._sized_on)
        self.sizes: dict[str, int] = _sizes(network)
        nodes, links, services, bounded = (self.sizes[k] for k in _SIZE_NAMES)
        self.action_space: spaces.Discrete = spaces.Discrete(1 + services * nodes)
        boxes: dict[str, spaces.Space[Any]] = {}
        for name in self.observe:
            if name == "placement":
                boxes[name] = spaces.Box(-1.0, float(max(nodes - 1, 0)), (services,), np.float32)
            elif name == "sla":
                boxes[name] = spaces.Box(0.0, 1.0, (bounded,), np.float32)
            else:
                size = links if name == "link_utilisation" else nodes
                boxes[name] = spaces.Box(0.0, LARGE, (size,), np.float32)
        self.observation_space: spaces.Dict = spaces.Dict(boxes)

    # -- the layout of the actions ----------------------------------------------------

    @property
    def nodes(self) -> tuple[Hashable, ...]:
        """The nodes of this episode's world, in the order of the actions."""
        infra = self._current().infra
        assert infra is not None
        return infra.nodes

    @property
    def services(self) -> list[tuple[Hashable, Hashable]]:
        """(application, service) of this episode's world, in the order of the actions."""
        return list(self._service_index())

    def action(self, application: Hashable, service: Hashable, node: Hashable) -> int:
        """The action that moves ``service`` of ``application`` to ``node`` in this
        episode's world."""
        network = self._current()
        infra = network.infra
        assert infra is not None
        try:
            s = self._service_index()[(application, service)]
        except KeyError:
            raise KeyError(f"no service {service!r} of application {application!r} in this "
                           f"episode's world") from None
        n = infra.node_index.get(node)
        if n is None:
            raise KeyError(f"no node {node!r} in this episode's world")
        return 1 + s * len(infra.nodes) + n

    def move_of(self, action: int | np.integer[Any]) -> tuple[Hashable, Hashable, Hashable] | None:
        """(application, service, node) that ``action`` moves, or None for 0."""
        a = self._checked(action)
        if a == 0:
            return None
        network = self._current()
        infra = network.infra
        assert infra is not None
        s, n = divmod(a - 1, len(infra.nodes))
        return network.apps[int(network.service_app[s])], network.service_ids[s], infra.nodes[n]

    # -- episodes ---------------------------------------------------------------------

    def reset(
        self, *, seed: int | None = None, options: dict[str, Any] | None = None,
    ) -> tuple[Observation, dict[str, Any]]:
        if seed is None and self._np_random is None and self._first_seed is not None:
            seed = self._first_seed
        super().reset(seed=seed)
        self._end()
        episode = int(seed) if seed is not None else int(self.np_random.integers(2**63 - 1))
        sim, network = self._world(episode)
        sizes = _sizes(network)
        if sizes != self.sizes:
            wrong = next(k for k in _SIZE_NAMES if sizes[k] != self.sizes[k])
            raise ValueError(
                f"{self._source} made a world of {sizes[wrong]} {wrong} for seed {episode}, and "
                f"one of {self.sizes[wrong]} {wrong} for seed {self._sized_on}, which sized the "
                f"spaces; every episode needs the same numbers of {', '.join(_SIZE_NAMES[:-1])} "
                f"and {_SIZE_NAMES[-1]}")
        self.simulator, self._network, self.episode_seed = sim, network, episode
        self._layout = (None, -1)
        self._steps = sim.iter(self.ticks)
        try:
            self._stopped_early = self._tick()
        except BaseException:
            self._end()
            raise
        observation = self._observe()
        if self._stopped_early:
            # Nothing more to run: the first step reports the end.
            self._run_out()
        return observation, {"tick": sim.tick, "seed": episode}

    def step(
        self, action: int | np.integer[Any],
    ) -> tuple[Observation, float, bool, bool, dict[str, Any]]:
        sim = self.simulator
        if sim is None or (self._steps is None and not self._stopped_early):
            raise RuntimeError("the episode is over, or has not begun: call reset() first")
        a = self._checked(action)
        migration: Migration | None = None
        reason: str | None = None
        if self._stopped_early:
            self._stopped_early = False
            reason, stop = f"the run was stopped at tick {sim.tick}", True
        else:
            if a == 0:
                reason = "action 0"
            else:
                # A move that fails changes nothing: the run goes on, between the same ticks.
                migration, reason = self._move(sim, a)
            try:
                stop = self._tick()
            except BaseException:
                self._end()
                raise
        observation = self._observe()
        value = self.reward(sim)
        try:
            reward = float(value)
        except (TypeError, ValueError):
            raise TypeError(f"reward {_named(self.reward)} returned {value!r}; a reward is a "
                            f"number") from None
        truncated = not stop and sim.ticks_run >= self.ticks
        if stop or truncated:
            self._run_out()
        info = {"tick": sim.tick, "migration": migration, "noop": migration is None,
                "reason": reason}
        return observation, reward, stop, truncated, info

    def close(self) -> None:
        self._end()
        super().close()

    # -- inside ------------------------------------------------------------------------

    def _world(self, seed: int) -> tuple[Simulator, Network]:
        """The world of ``seed``, its simulator made and its arrays read."""
        from sorvane_core.cli import ScenarioError, checked

        made = self._build(seed, "simulation", **self.build_options)
        try:
            infrastructure, placements, callbacks, options = checked(made, Path(self._name))
        except ScenarioError as err:
            raise ValueError(str(err)) from None
        sim = Simulator(infrastructure, placements, callbacks, seed=seed, history=False,
                        progress=False, **options)
        network = network_of(sim, self.attributes, self.route)
        network.require(self._needs)
        prepare = getattr(self.reward, "prepare", None)
        if prepare is not None:
            prepare(sim)
        network.check(sim)  # a missing attribute is a ValueError now, before the run
        return sim, network

    def _tick(self) -> bool:
        """Run the next tick to its end; whether one of its events raised "stop"."""
        sim = self.simulator
        assert sim is not None
        target = sim.ticks_run + 1
        stop = False
        for record in self._steps:
            if "stop" in record["triggered"]:
                stop = True
            if sim.ticks_run >= target:
                return stop
        self._steps = None
        # Only a "stop" raised by the "start" event ends a run before its first tick.
        raise RuntimeError(
            f"the run of seed {self.episode_seed} ended before tick {target - 1}"
            + (" (a trigger raised \"stop\" at its start); an episode needs at least one tick"
               if target == 1 else ""))

    def _move(self, sim: Simulator, a: int) -> tuple[Migration | None, str | None]:
        move = self.move_of(a)
        assert move is not None
        app, service, node = move
        now = sim.placements[app].mapping.get(service, _UNPLACED)
        if now is _UNPLACED:
            return None, f"service {service!r} of application {app!r} is not placed"
        if now == node:
            return None, f"service {service!r} of application {app!r} is on node {node!r} already"
        made = len(sim.migrations)
        sim.migrate(app, service, node, reason="agent")
        return (sim.migrations[-1] if len(sim.migrations) > made else None), None

    def _observe(self) -> Observation:
        network = self._current()
        observation: Observation = {}
        for name in self.observe:
            if name == "utilisation":
                observation[name] = _bounded(network.utilisation(self.resource))
            elif name == "link_utilisation":
                infra = network.infra
                assert infra is not None
                observation[name] = _bounded(_divide(network.link_load(), infra.bandwidth))
            elif name == "sla":
                observation[name] = _violated(network, _bounded_rows(network)).astype(np.float32)
            elif name == "placement":
                observation[name] = network.service_node.astype(np.float32)
            else:
                observation[name] = _bounded(network.node_power())
        return observation

    def _current(self) -> Network:
        """The arrays of the episode's current tick; RuntimeError if a callback changed
        the size of the world during the episode."""
        sim, network = self.simulator, self._network
        if sim is None or network is None:
            raise RuntimeError("no episode yet: call reset() first")
        network.at(sim, sim.tick)
        layout = (network.infra, network.layout_version)
        if layout[0] is not self._layout[0] or layout[1] != self._layout[1]:
            sizes = _sizes(network)
            if sizes != self.sizes:
                raise RuntimeError(
                    f"the world changed size during the episode of seed {self.episode_seed}: "
                    f"{sizes}, where the spaces hold {self.sizes}")
            self._layout = layout
        return network

    def _service_index(self) -> dict[tuple[Hashable, Hashable], int]:
        network = self._current()
        key = "rl:service_index"
        found = network.layouts.get(key)
        if found is None:
            apps = network.apps
            found = network.layouts[key] = {
                (apps[a], sid): i
                for i, (a, sid) in enumerate(zip(network.service_app.tolist(),
                                                 network.service_ids))}
        return found

    def _checked(self, action: Any) -> int:
        if not self.action_space.contains(action):
            raise ValueError(f"action {action!r} is not in {self.action_space}")
        return int(action)

    def _run_out(self) -> None:
        """Let the run end as runs do: its "end" event, its observers told."""
        steps, self._steps = self._steps, None
        if steps is not None:
            for _ in steps:
                pass

    def _end(self) -> None:
        """Close the run under way, if any."""
        steps, self._steps = self._steps, None
        self._stopped_early = False
        if steps is not None:
            steps.close()

    def __repr__(self) -> str:
        return (f"PlacementEnv({self._source}, ticks={self.ticks}, observe={self.observe!r}, "
                f"sizes={self.sizes})")


_UNPLACED = object()
_SIZE_NAMES = ("nodes", "links", "services", "applications with max_latency_ms")


def _sizes(network: Network) -> dict[str, int]:
    infra = network.infra
    assert infra is not None
    return dict(zip(_SIZE_NAMES, (len(infra.nodes), len(infra.link_ends),
                                  len(network.service_ids), len(_bounded_rows(network)))))


def _observations(observe: Iterable[str]) -> tuple[str, ...]:
    if isinstance(observe, str):
        observe = (observe,)
    names = tuple(observe)
    unknown = [n for n in names if n not in OBSERVATIONS]
    if unknown:
        raise ValueError(f"no observation {unknown[0]!r}; the observations are {OBSERVATIONS}")
    if not names:
        raise ValueError(f"observe at least one of {OBSERVATIONS}")
    if len(set(names)) != len(names):
        raise ValueError(f"observe names each observation once, not {names!r}")
    return names


def _builder(build: Any) -> tuple[Callable[..., Any], str]:
    """A scenario's build as the command line calls it, and what to name it by."""
    from sorvane_core.cli import ScenarioBuild, ScenarioError, load_scenario

    if isinstance(build, (str, os.PathLike)):
        path = Path(build)
        try:
            module = load_scenario(path)
        except ScenarioError as err:
            raise ValueError(str(err)) from None
        return ScenarioBuild(module.build), path.name
    if isinstance(build, ModuleType):
        function = getattr(build, "build", None)
        if not callable(function):
            raise ValueError(f"module {build.__name__!r} defines no build(seed) function")
        return ScenarioBuild(function), build.__name__
    if callable(build):
        return ScenarioBuild(build), _named(build)
    raise TypeError(f"build must be a scenario's build(seed) function, its module or the path "
                    f"of its file, not {build!r}")


def _check_options(build: Any, options: Mapping[str, Any], source: str) -> None:
    import inspect

    from sorvane_core.sweeps import takes

    for fixed in ("seed", "mode"):
        if fixed in options:
            raise ValueError(f"build_options cannot give {fixed!r}: each episode has its seed, "
                             f"and the environment runs in simulation")
    function = build.function
    try:
        parameters = inspect.signature(function).parameters.values()
    except (TypeError, ValueError):
        return  # nothing to tell: the call itself says what is wrong
    if any(p.kind is p.VAR_KEYWORD for p in parameters):
        return
    unknown = [name for name in options if not takes(function, name)]
    if unknown:
        raise ValueError(f"{source} takes no parameter {unknown[0]!r}")


def _named(function: Any) -> str:
    name = getattr(function, "__qualname__", None) or type(function).__name__
    module = getattr(function, "__module__", None)
    return f"{module}.{name}" if module and module != "builtins" else name


if ENV_ID not in gym.registry:
    gym.register(id=ENV_ID, entry_point="sorvane_core.rl:PlacementEnv")
