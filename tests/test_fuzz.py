"""A short pass of the fuzz campaign (tests/fuzz/campaign.py; `make fuzz` runs the long one).

Every family of entry points of both native modules draws its hostile recipes in a child
interpreter of its own under -X dev, with stand-ins for Ray: a crash fails that family only.
The pass is seeded, so a failure here is reproduced by the same command line, and the recipe it
prints replays in one interpreter with `python tests/fuzz/campaign.py --replay FAMILY RECIPE`.
"""

import importlib.util
import json
import subprocess
import sys
from pathlib import Path

import pytest

CAMPAIGN = Path(__file__).parent / "fuzz" / "campaign.py"
_spec = importlib.util.spec_from_file_location("fuzz_campaign", CAMPAIGN)
campaign = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(campaign)  # the module itself imports only the standard library

EXAMPLES = 5016  # 264 per family
LEAK_BATCH = 4


@pytest.fixture(scope="module")
def short_pass(tmp_path_factory):
    out = tmp_path_factory.mktemp("fuzz") / "result.json"
    done = subprocess.run([sys.executable, str(CAMPAIGN), "-n", str(EXAMPLES), "--seed", "0",
                           "--leak-batch", str(LEAK_BATCH), "--json", str(out)],
                          capture_output=True, text=True, timeout=900)
    tail = f"{done.stdout[-3000:]}\n{done.stderr[-3000:]}"
    assert out.exists(), f"the campaign did not finish:\n{tail}"
    result = json.loads(out.read_text())
    return {f["family"]: f for f in result["families"]}, result["totals"], done.stdout


@pytest.mark.parametrize("family", campaign.FAMILY_NAMES)
def test_family_survives_hostile_inputs(short_pass, family):
    families, _, report = short_pass
    result = families[family]
    crash = result.get("crash")
    assert crash is None, (f"child {'hung' if crash['hung'] else 'died'} ({crash['returncode']}) "
                           f"on {crash['recipe']}\n{crash['stderr']}")
    assert result["system_errors"] == 0 and result["faults"] == 0, report
    assert result["examples"] > 0
    assert not result["leak"]["leaked"], result["leak"]


def test_the_pass_runs_its_examples(short_pass):
    _, totals, report = short_pass
    assert totals["examples"] >= 5000, report
    assert (totals["crashes"], totals["system_errors"], totals["faults"]) == (0, 0, 0), report
