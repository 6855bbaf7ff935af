"""Agents that need no training, in the reinforcement-learning environment.

    python examples/rl_agents.py [EPISODES] [TICKS]

The world is edge_cloud.py's (nine edge nodes, three fog nodes and a cloud, four
applications under a random-walk workload, with the models of sorvane_core.models),
without its own rebalancing callback, so that the agent alone moves services. Three
agents play the same episodes (the same seeds): one that does nothing, one that acts
at random, and a greedy one that, when a node is asked for more than its capacity,
moves the most demanding service of the busiest node to the least used node. Each
prints its mean reward per episode (the default reward: power, SLA violations and
moves; see docs/rl.md).
"""

from __future__ import annotations

import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

from sorvane_core.cli import load_scenario
from sorvane_core.models import Model
from sorvane_core.rl import PlacementEnv

EDGE_CLOUD = load_scenario(Path(__file__).with_name("edge_cloud.py"))

Agent = Callable[[PlacementEnv, dict[str, np.ndarray], np.random.Generator], int]


def build(seed: int) -> tuple[Any, Any, list[Any]]:
    """edge_cloud.py's world and models, without its rebalancing callback."""
    infrastructure, placements, callbacks = EDGE_CLOUD.build(seed)
    return infrastructure, placements, [cb for cb in callbacks if isinstance(cb, Model)]


def nothing(env: PlacementEnv, observation: dict[str, np.ndarray],
            rng: np.random.Generator) -> int:
    return 0


def at_random(env: PlacementEnv, observation: dict[str, np.ndarray],
              rng: np.random.Generator) -> int:
    return int(rng.integers(env.action_space.n))


def greedy(env: PlacementEnv, observation: dict[str, np.ndarray],
           rng: np.random.Generator) -> int:
    """Over capacity somewhere: the most demanding service of the busiest node goes to
    the least used node; otherwise nothing."""
    use = observation["utilisation"]
    hot, cold = int(np.argmax(use)), int(np.argmin(use))
    if use[hot] <= 1.0 or hot == cold:
        return 0
    sim = env.simulator
    assert sim is not None
    # What each service asks for, in the order of the actions (its static CPU).
    demand = np.array([sim.placements[app].application.nodes[service]["cpu"]
                       for app, service in env.services], dtype=float)
    there = np.flatnonzero(observation["placement"] == hot)
    busiest = int(there[np.argmax(demand[there])])
    return 1 + busiest * len(env.nodes) + cold


def main(episodes: int = 5, ticks: int = 50) -> dict[str, float]:
    env = PlacementEnv(build, ticks=ticks,
                       observe=("utilisation", "link_utilisation", "sla", "placement"))
    means = {}
    for name, agent in (("nothing", nothing), ("random", at_random), ("greedy", greedy)):
        rng = np.random.default_rng(0)
        totals, moves = [], 0
        for episode in range(episodes):
            observation, _ = env.reset(seed=episode)
            total, done = 0.0, False
            while not done:
                observation, reward, terminated, truncated, info = env.step(
                    agent(env, observation, rng))
                total += reward
                moves += info["migration"] is not None
                done = terminated or truncated
            totals.append(total)
        means[name] = float(np.mean(totals))
        print(f"{name:>8}: mean reward per episode {means[name]:9.2f} over {episodes} episodes "
              f"of {ticks} ticks, {moves / episodes:.1f} moves per episode")
    env.close()
    return means


if __name__ == "__main__":
    main(*(int(arg) for arg in sys.argv[1:3]))
