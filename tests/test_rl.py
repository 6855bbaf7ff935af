"""The gymnasium environment: its API, its observations and rewards against the models
of a plain run of the same world and seed, moves, the end of an episode."""

import random
import re
import runpy
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

gym = pytest.importorskip("gymnasium")

from gymnasium.utils.env_checker import check_env  # noqa: E402

from sorvane_core import models  # noqa: E402
from sorvane_core.graph import Application, Infrastructure  # noqa: E402
from sorvane_core.placement import Placement  # noqa: E402
from sorvane_core.rl import ENV_ID, LARGE, OBSERVATIONS, PlacementEnv, Reward  # noqa: E402
from sorvane_core.simulation import Simulator  # noqa: E402
from sorvane_core.workflow.callbacks.callback import SorvaneCallback  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent


class Clock(SorvaneCallback):
    """The tick, raising "stop" from tick ``at`` on."""

    def __init__(self, at):
        super().__init__("clock", triggers={"stop": lambda tick: tick >= at}, report=None)

    def __call__(self, event):
        return event.data["tick"]


def small(seed, nodes=4, services=3, stop_at=None):
    """A ring of ``nodes`` nodes; "web", a chain of ``services`` with a tight bound that
    some placements break, and "batch", whose service "z" is not placed."""
    rng = random.Random(seed)
    infr = Infrastructure("ring")
    for n in range(nodes):
        cpu = rng.choice([2, 4, 8])
        infr.add_node(f"n{n}", cpu=cpu, idle_power_w=5.0 * cpu, max_power_w=20.0 * cpu)
    for n in range(nodes):
        infr.add_edge(f"n{n}", f"n{(n + 1) % nodes}", latency_ms=rng.choice([2, 5, 9]),
                      bandwidth_mbps=rng.choice([10, 100]), energy_per_bit_j=1e-8)
    nodes_ = list(infr)
    web = Application("web", max_latency_ms=12)
    chain = [f"s{i}" for i in range(services)]
    for s in chain:
        web.add_service(s, cpu=rng.choice([1, 2, 3]), processing_ms=1)
    for a, b in zip(chain, chain[1:]):
        web.add_interaction(a, b, rate_mbps=rng.choice([5, 20]))
    batch = Application("batch")
    for s in ("x", "y", "z"):
        batch.add_service(s, cpu=1)
    batch.add_interaction("x", "y", rate_mbps=8)
    batch.add_interaction("y", "z", rate_mbps=1)
    placements = [Placement(web, infr, {s: rng.choice(nodes_) for s in chain}),
                  Placement(batch, infr, {"x": rng.choice(nodes_), "y": rng.choice(nodes_)})]
    callbacks = models.standard(models.random_walk(0.2, 0.3, 3.0), report=None)
    if stop_at is not None:
        callbacks.append(Clock(stop_at))
    return infr, placements, callbacks


def test_check_env_passes_without_warnings():
    env = gym.make(ENV_ID, build=small, ticks=8, observe=OBSERVATIONS).unwrapped
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        check_env(env)
    assert [str(w.message) for w in caught] == []
    env.close()


def play(env, seed, actions):
    """Observations, rewards and infos of an episode that takes ``actions``."""
    observation, _ = env.reset(seed=seed)
    seen, rewards, infos = [observation], [], []
    for action in actions:
        observation, reward, terminated, truncated, info = env.step(action)
        seen.append(observation)
        rewards.append(reward)
        infos.append(info)
        if terminated or truncated:
            break
    return seen, rewards, infos


def test_observations_and_rewards_are_those_of_the_models_in_a_plain_run_with_the_same_moves():
    ticks, seed = 12, 5
    env = PlacementEnv(small, ticks=ticks, observe=OBSERVATIONS)
    # Services s0 s1 s2 x y z, nodes n0 to n3; z is not placed.
    moves = [None, (0, 1), (1, 2), None, (3, 3), (0, 2), (5, 0), (2, 0), None, (1, 1), (4, 2)]
    actions = [0 if m is None else 1 + m[0] * 4 + m[1] for m in moves]
    seen, rewards, infos = play(env, seed, actions)
    assert len(seen) == ticks
    moves = [info["migration"] for info in infos]
    assert sum(m is not None for m in moves) >= 3  # the episode did move services

    # The same world and seed, run plainly, the same moves made between the same ticks.
    infr, placements, callbacks = small(seed)
    sim = Simulator(infr, placements, callbacks, seed=seed)
    by_tick, mappings = {}, {}
    with_moves = iter(moves)
    for record in sim.iter(ticks):
        if record["event"] != "tick":
            continue
        by_tick[record["tick"]] = record["data"]
        mappings[record["tick"]] = {app: dict(pl.mapping) for app, pl in sim.placements.items()}
        move = next(with_moves, None)
        if move is not None:
            sim.migrate(move.application, move.service, move.target)
    nodes, links = list(infr), [f"{u},{v}" for u, v in infr.edges]
    layout = [(app, s) for app, pl in sim.placements.items() for s in pl.application]
    violations_seen = 0
    for tick, observation in enumerate(seen):
        data = by_tick[tick]
        assert observation["utilisation"].dtype == np.float32
        expected = {
            "utilisation": [data["utilisation"][n] for n in nodes],
            "power": [data["node_power_w"][n] for n in nodes],
            "link_utilisation": [data["link_load"][k]["utilisation"] for k in links],
            "sla": [float(data["sla"]["web"]["violated"]) if "web" in data["sla"] else 0.0],
        }
        for name, values in expected.items():
            np.testing.assert_array_equal(observation[name], np.array(values, dtype=np.float32),
                                          err_msg=f"{name} at tick {tick}")
        where = mappings[tick]
        placed = [nodes.index(where[app][s]) if s in where[app] else -1 for app, s in layout]
        np.testing.assert_array_equal(observation["placement"], np.array(placed, np.float32))
        if tick:
            violations = int(expected["sla"][0])
            violations_seen += violations
            hand = -(data["energy"]["power_w"] / 1000) - violations \
                - 0.1 * (moves[tick - 1] is not None)
            assert rewards[tick - 1] == pytest.approx(hand, rel=1e-12, abs=1e-12)
    assert violations_seen  # the bound is tight enough to be broken at times


def test_a_move_is_made_by_migrate_and_the_next_observation_shows_it():
    env = PlacementEnv(small, ticks=5, observe=("placement", "utilisation"))
    env.reset(seed=2)
    sim = env.simulator
    source = sim.placements["web"].mapping["s0"]
    target = next(n for n in env.nodes if n != source)
    assert env.move_of(env.action("web", "s0", target)) == ("web", "s0", target)
    observation, _, _, _, info = env.step(env.action("web", "s0", target))
    (migration,) = sim.migrations
    assert info["migration"] == migration and not info["noop"] and info["tick"] == 1
    assert (migration.tick, migration.source, migration.target, migration.reason) == (
        1, source, target, "agent")
    s = env.services.index(("web", "s0"))
    assert observation["placement"][s] == env.nodes.index(target)


@pytest.mark.parametrize(("move", "why"), [
    (None, "action 0"),
    (("web", "s0", "where it is"), "already"),
    (("batch", "z", "n0"), "not placed"),
])
def test_actions_that_move_nothing_say_why(move, why):
    env = PlacementEnv(small, ticks=5)
    env.reset(seed=2)
    if move is None:
        action = 0
    else:
        app, service, node = move
        if node == "where it is":
            node = env.simulator.placements[app].mapping[service]
        action = env.action(app, service, node)
    _, reward, _, _, info = env.step(action)
    assert info["noop"] and info["migration"] is None and why in info["reason"]
    assert env.simulator.migrations == []


def test_the_same_seed_gives_the_same_episode():
    one, other = PlacementEnv(small, ticks=10), PlacementEnv(small, ticks=10)
    actions = [int(a) for a in np.random.default_rng(3).integers(one.action_space.n, size=9)]
    first, second = play(one, 11, actions), play(other, 11, actions)
    for a, b in zip(first[0], second[0]):
        for name in a:
            np.testing.assert_array_equal(a[name], b[name])
    assert first[1] == second[1]
    # Without a seed, reset draws one from the environment's generator, seeded by the first.
    one.reset(seed=4)
    other.reset(seed=4)
    assert one.reset()[1]["seed"] == other.reset()[1]["seed"] != 4


def test_a_custom_reward_and_its_terms():
    weights = Reward(power_weight=0.5, sla_penalty=3.0, migration_penalty=7.0)
    env = PlacementEnv(small, ticks=4, reward=weights)
    env.reset(seed=2)
    sim = env.simulator
    target = next(n for n in env.nodes if n != sim.placements["web"].mapping["s1"])
    _, reward, _, _, _ = env.step(env.action("web", "s1", target))
    terms = weights.terms(sim)
    assert terms["moves"] == 1
    assert reward == -0.5 * terms["power_w"] - 3.0 * terms["violations"] - 7.0
    env = PlacementEnv(small, ticks=4, reward=lambda sim: sim.tick * 10)
    env.reset(seed=2)
    assert env.step(0)[1] == 10.0


def test_an_episode_of_n_ticks_truncates_and_ends_its_run():
    env = PlacementEnv(small, ticks=4)
    _, info = env.reset(seed=1)
    assert info == {"tick": 0, "seed": 1}
    ends = [env.step(0)[2:4] for _ in range(3)]
    assert ends == [(False, False), (False, False), (False, True)]
    sim = env.simulator
    assert sim.ticks_run == 4 and not sim.stopped
    with pytest.raises(RuntimeError, match="reset"):
        env.step(0)
    # A reset mid-episode closes that run: its simulator can run again.
    env.reset(seed=1)
    env.step(0)
    running = env.simulator
    env.reset(seed=2)
    assert running.run(1, history=True)[-1]["event"] == "end"
    env.close()
    env.close()


@pytest.mark.parametrize("stop_at", [0, 2])
def test_a_trigger_that_stops_the_run_terminates_the_episode(stop_at):
    env = PlacementEnv(small, ticks=10, build_options={"stop_at": stop_at})
    env.reset(seed=1)
    ends = [env.step(0) for _ in range(max(stop_at, 1))]
    *_, (_, reward, terminated, truncated, info) = ends
    assert terminated and not truncated and isinstance(reward, float)
    assert [e[2] for e in ends[:-1]] == [False] * (len(ends) - 1)
    assert env.simulator.stopped and env.simulator.ticks_run == stop_at + 1
    if stop_at == 0:
        assert info["noop"] and "stopped at tick 0" in info["reason"]
    with pytest.raises(RuntimeError, match="reset"):
        env.step(0)


@pytest.mark.parametrize(("option", "message"), [
    ("nodes", "4 nodes for seed 1, and one of 3 nodes for seed 0"),
    ("services", "7 services for seed 1, and one of 6 services for seed 0"),
])
def test_a_world_whose_size_changes_with_the_seed_is_refused(option, message):
    def build(seed):
        return small(seed, **{option: 3 + seed % 2})

    env = PlacementEnv(build, ticks=3, seed=0)
    env.reset(seed=2)
    with pytest.raises(ValueError, match=message):
        env.reset(seed=1)


def test_infinite_utilisations_are_observed_within_the_box():
    def build(seed):
        infr, placements, callbacks = small(seed)
        nodes = list(infr)
        infr.nodes[nodes[0]]["cpu"] = 0
        for u, v in infr.edges:
            infr.edges[u, v]["bandwidth_mbps"] = 0
        for pl in placements:
            pl.mapping.update({s: nodes[0] if s == "x" else nodes[1] for s in pl.mapping})
        return infr, placements, callbacks

    env = PlacementEnv(build, ticks=3, observe=OBSERVATIONS)
    observation, _ = env.reset(seed=0)
    assert observation in env.observation_space
    assert observation["utilisation"][0] == LARGE
    assert LARGE in observation["link_utilisation"]


@pytest.mark.parametrize(("options", "message"), [
    ({"ticks": 1}, "ticks"),
    ({"observe": ("utilisation", "latency")}, "no observation 'latency'"),
    ({"observe": ()}, "at least one"),
    ({"build_options": {"colour": 1}}, "no parameter 'colour'"),
    ({"build_options": {"mode": "emulation"}}, "simulation"),
    ({"reward": 3}, "callable"),
])
def test_mistakes_in_the_options_are_named(options, message):
    with pytest.raises(ValueError, match=message):
        PlacementEnv(small, **options)


def test_a_scenario_file_or_module_gives_the_worlds():
    path = ROOT / "examples" / "edge_cloud.py"
    env = PlacementEnv(path, ticks=3)
    env.reset(seed=1)
    assert env.sizes["nodes"] == 13 and env.step(0)[4]["tick"] == 1
    with pytest.raises(ValueError, match="no scenario file"):
        PlacementEnv(ROOT / "examples" / "nothing.py")


def test_without_gymnasium_the_import_names_the_extra():
    done = subprocess.run(
        [sys.executable, "-c", "import sys; sys.modules['gymnasium'] = None; "
                               "import sorvane_core.rl"],
        capture_output=True, text=True, timeout=120)
    assert done.returncode != 0 and "sorvane_core[rl]" in done.stderr


def test_the_example_agents_run(capsys):
    namespace = runpy.run_path(str(ROOT / "examples" / "rl_agents.py"))
    means = namespace["main"](episodes=2, ticks=8)
    out = capsys.readouterr().out
    for agent in ("nothing", "random", "greedy"):
        printed = re.search(rf"{agent}: mean reward per episode\s+(-?[\d.]+)", out)
        assert float(printed.group(1)) == pytest.approx(means[agent], abs=0.01)


def test_the_rl_page_runs(capsys):
    page = (ROOT / "docs" / "rl.md").read_text()
    namespace: dict = {"__name__": "docs"}
    for i, block in enumerate(re.findall(r"```python\n(.*?)```", page, flags=re.S)):
        exec(compile(block, f"rl.md[{i}]", "exec"), namespace)
    assert capsys.readouterr().out


def test_the_examples_in_the_docstrings_run():
    import doctest

    import sorvane_core.rl

    assert doctest.testmod(sorvane_core.rl).failed == 0
