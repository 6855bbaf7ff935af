"""Emulation on a Ray cluster of two raylets on this machine (tests/support/cluster_run.py)."""

import json
import subprocess
import sys
from pathlib import Path

SCRIPT = Path(__file__).resolve().parent / "support" / "cluster_run.py"


def test_emulation_on_two_raylets_spreads_or_pins_the_actors_and_matches_simulation():
    done = subprocess.run([sys.executable, str(SCRIPT)], capture_output=True, text=True,
                          timeout=600)
    assert done.returncode == 0, done.stderr[-4000:]
    found = json.loads(done.stdout.strip().splitlines()[-1])
    assert len(found["ray_nodes"]) == 2
    assert min(found["spread"]) >= 1, found  # SPREAD: both raylets hold node actors
    assert found["pinned_as_asked"], found  # ray_node_id: each actor where its node says
    assert found["same"] and found["records"] == 4
