"""The code of the README and of the documentation's pages runs as printed.

Every ```python block of a page runs, in the page's order and in one namespace per
page, from a fresh folder that holds a link to ``examples/`` (as a reader in the root of
the clone would). A block followed by a line that starts with "prints" and a fenced
block prints exactly that. A block that cannot run in a test is preceded by a line
``<!-- not run: the reason -->``: it is compiled, not run. Shell commands go in ```sh
blocks; their ``sorvane-sim`` command lines (not a synopsis) run too, shortened.
"""

import re
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
NOT_RUN = re.compile(r"^<!-- not run: (.*?) -->$", flags=re.M)
MOST_NOT_RUN = 3  # a marker is for what no test can reach (a real cluster), not a way out
FENCE = re.compile(r"^```(\S*)\n(.*?)^```$", flags=re.S | re.M)


@dataclass(frozen=True)
class Block:
    line: int  # of the block's first line of code
    code: str
    not_run: str | None  # why, for a block that is not run
    shown: str | None  # what the page says it prints


def blocks(page: str) -> list[Block]:
    text = (ROOT / page).read_text()
    found = []
    for fence in FENCE.finditer(text):
        if fence.group(1) != "python":
            continue
        before = text[:fence.start()].rstrip("\n").rsplit("\n", 1)[-1]
        marker = NOT_RUN.fullmatch(before)
        after = re.match(r"\s*prints[^\n]*\n\n```\n(.*?)^```$", text[fence.end():],
                         flags=re.S | re.M)
        found.append(Block(text.count("\n", 0, fence.start()) + 2, fence.group(2),
                           marker.group(1).strip() if marker else None,
                           after.group(1) if after else None))
    return found


@dataclass(frozen=True)
class Page:
    ray: bool = False
    # (text of the page, text run instead): fewer runs and ticks, for a test.
    smaller: tuple[tuple[str, str], ...] = ()
    elsewhere: str = ""  # the test that runs the page, if another


PAGES = {
    "README.md": Page(),
    "docs/getting-started.md": Page(),
    "docs/callbacks.md": Page(),
    "docs/models.md": Page(),
    "docs/policies.md": Page(),
    "docs/results.md": Page(),
    "docs/cli.md": Page(),
    "docs/troubleshooting.md": Page(),
    "docs/sweeps.md": Page(ray=True, smaller=(("for s in (1, 2, 3)", "for s in (1, 2)"),
                                              ("ticks=48", "ticks=6"))),
    "docs/emulation.md": Page(ray=True),
    "docs/tutorial.md": Page(ray=True, smaller=(("for seed in (1, 2, 3)", "for seed in (1, 2)"),
                                                ("ticks=48", "ticks=6"))),
    "docs/rl.md": Page(elsewhere="tests/test_rl.py::test_the_rl_page_runs"),
}


def run_page(name, folder, monkeypatch, capsys):
    """Run the blocks of page ``name`` from ``folder``; the namespace and each block's
    output."""
    page = PAGES[name]
    (folder / "examples").symlink_to(ROOT / "examples")
    monkeypatch.chdir(folder)
    monkeypatch.setattr(sys, "path", list(sys.path))  # a page may add examples/ to it
    imported = set(sys.modules)
    namespace: dict = {"__name__": "docs"}
    outputs = []
    unused = dict(page.smaller)
    try:
        for block in blocks(name):
            code = block.code
            for shown, run in page.smaller:
                if shown in code:
                    code = code.replace(shown, run)
                    unused.pop(shown, None)
            # Blank lines first, so that a traceback gives the line of the page.
            compiled = compile("\n" * (block.line - 1) + code, str(ROOT / name), "exec")
            if block.not_run is None:
                exec(compiled, namespace)
            outputs.append(capsys.readouterr().out)
            if block.shown is not None:
                assert outputs[-1] == block.shown, f"{name}, line {block.line}"
    finally:
        # The examples' modules, imported from this folder, are not for other tests.
        for module in set(sys.modules) - imported:
            if str(folder) in str(getattr(sys.modules[module], "__file__", None)):
                del sys.modules[module]
    assert not unused, f"{name} no longer has {list(unused)}: make the test's runs smaller anew"
    return namespace, outputs


# -- what the pages show ------------------------------------------------------------


def check_callbacks(namespace, outputs, folder):
    text = (ROOT / "docs" / "callbacks.md").read_text()
    out = outputs[0].splitlines()
    shown = re.search(r"```\n(tick 0 .*?)\n\.\.\.\n```", text, flags=re.S).group(1)
    assert out[:3] == shown.splitlines()
    assert out[-1] == "end 6 {}" and out.count("overload 3 {'overloaded': ['a', 'b']}") == 1
    # The callbacks of each type, in a simulation of the page's world.
    from sorvane_core.simulation import Simulator

    sim = Simulator(namespace["infr"], [namespace["Placement"](namespace["app"], namespace["infr"],
                                                               {"front": "a", "db": "b"})],
                    namespace["callbacks"])
    first = sim.run(1)[0]["data"]
    assert first["where"] == {"web": {"front": "a", "db": "b"}}
    assert first["hosted"] == {"a": 1, "b": 1}
    assert first["latency"] == {"a,b": None} and first["nodes"] == {"nodes": 2, "links": 1}
    # The stepping run moved the service at tick 10.
    assert namespace["sim"].placements["web"].mapping["db"] == "a"


def check_models(namespace, outputs, folder):
    assert "energy_wh" in outputs[1] and float(outputs[2]) < 1


def check_policies(namespace, outputs, folder):
    assert "relieve_overload" in outputs[-1]
    # The error the page quotes.
    text = (ROOT / "docs" / "policies.md").read_text()
    infr, apps = namespace["infr"], namespace["apps"]
    infr.remove_node("cloud")
    more = [app.copy() for app in apps]
    for i, app in enumerate(more, 3):
        app.id = f"cam{i}"
    quoted = re.search(r"`(service 'ingest' of application 'cam4' .*?)`",
                       " ".join(text.split()), flags=re.S).group(1)
    with pytest.raises(ValueError) as error:
        namespace["policies"].latency_aware(apps + more, infr)
    assert str(error.value) == quoted


def check_results(namespace, outputs, folder):
    assert "already holds a run" in outputs[4]
    assert outputs[-1] == "True\n"  # the same seed, the same bytes


def check_cli(namespace, outputs, folder):
    # The page's scenario, from the command line as the page runs it.
    import json

    from sorvane_core import cli

    scenario = folder / "my_study.py"
    scenario.write_text(blocks("docs/cli.md")[0].code)
    assert cli.main(["run", str(scenario), "--ticks", "5", "--seed", "3", "--param",
                     "placement=latency_aware", "--out", "runs/cli", "--no-progress"]) == 0
    record = json.loads((folder / "runs" / "cli" / "run.json").read_text())
    assert (record["status"], record["params"]) == ("finished", {"placement": "latency_aware"})


def check_troubleshooting(namespace, outputs, folder):
    assert "'Clock'" in outputs[0]


def check_sweeps(namespace, outputs, folder):
    assert outputs[0].count("'finished'") == 2 and "latency_aware" in outputs[1]
    assert (folder / "runs" / "sweep" / "utilisation.png").read_bytes()[:4] == b"\x89PNG"


def check_emulation(namespace, outputs, folder):
    assert outputs[1].startswith("2 db cloud -> edge")


def check_tutorial(namespace, outputs, folder):
    assert all(policy in outputs[0] for policy in ("first_fit", "latency_aware", "random"))
    study = folder / "runs" / "study"
    assert (study / "sla_violations.png").read_bytes()[:4] == b"\x89PNG"
    import pandas as pd

    runs = pd.read_csv(study / "sweep.csv")
    assert len(runs) == 12 and set(runs["status"]) == {"finished"}


CHECKS = {"docs/callbacks.md": check_callbacks, "docs/models.md": check_models,
          "docs/policies.md": check_policies, "docs/results.md": check_results,
          "docs/cli.md": check_cli, "docs/troubleshooting.md": check_troubleshooting,
          "docs/sweeps.md": check_sweeps, "docs/emulation.md": check_emulation,
          "docs/tutorial.md": check_tutorial}


@pytest.mark.parametrize("name", [n for n, p in PAGES.items() if not p.ray and not p.elsewhere])
def test_the_page_runs(name, tmp_path, monkeypatch, capsys):
    namespace, outputs = run_page(name, tmp_path, monkeypatch, capsys)
    if name in CHECKS:
        CHECKS[name](namespace, outputs, tmp_path)


@pytest.mark.usefixtures("ray_session")
@pytest.mark.parametrize("name", [n for n, p in PAGES.items() if p.ray])
def test_the_page_runs_on_ray(name, tmp_path, monkeypatch, capsys):
    namespace, outputs = run_page(name, tmp_path, monkeypatch, capsys)
    CHECKS[name](namespace, outputs, tmp_path)


# -- the command lines of the pages --------------------------------------------------


def commands(page: str) -> list[list[str]]:
    """The ``sorvane-sim`` command lines of the page's shell blocks, as arguments; a
    synopsis (``[--ticks N]``) is not a command."""
    import shlex

    found = []
    for fence in FENCE.finditer((ROOT / page).read_text()):
        if fence.group(1) == "sh":
            for line in fence.group(2).replace("\\\n", " ").splitlines():
                words = shlex.split(line, comments=True)
                if (words and words[0].endswith("sorvane-sim") and len(words) > 1
                        and not any(word.startswith("[") for word in words)):
                    found.append(words[1:])
    return found


# What the test shortens (a word of a command for another), per page with commands.
COMMAND_PAGES = {
    "README.md": (),
    "docs/getting-started.md": (("60", "6"),),
    "docs/cli.md": (("100", "6"), ("60", "6"), ("20", "3"), ("1,2,3", "1")),
    "docs/sweeps.md": (("1,2,3,4", "1,2"), ("200", "6"), ("1,2,3", "1,2"), ("48", "6")),
    "docs/tutorial.md": (("1,2,3", "1,2"), ("48", "6")),
}


@pytest.mark.usefixtures("ray_session")
@pytest.mark.parametrize("page", COMMAND_PAGES)
def test_the_command_lines_run(page, tmp_path, monkeypatch, capsys):
    """What a reader types after `make demo`, in the page's order, from a clone's root."""
    from sorvane_core import cli

    (tmp_path / "examples").symlink_to(ROOT / "examples")
    # The scenario the command line page writes first.
    (tmp_path / "my_study.py").write_text(blocks("docs/cli.md")[0].code)
    monkeypatch.chdir(tmp_path)
    lines = commands(page)
    smaller = dict(COMMAND_PAGES[page])
    assert lines and set(smaller) <= {word for words in lines for word in words}
    for words in lines:
        words = [smaller.get(word, word) for word in words]
        quiet = ["--no-progress"] if words[0] in ("run", "sweep") else []
        try:
            code = cli.main([*words, *quiet])
        except SystemExit as done:  # --help, --version
            code = done.code
        assert code == 0, (words, capsys.readouterr().err[-2000:])


# -- what the pages may hold --------------------------------------------------------


def pages_with_code() -> list[str]:
    found = [ROOT / "README.md", *(ROOT / "docs").rglob("*.md")]
    return sorted(str(p.relative_to(ROOT)) for p in found if "```python" in p.read_text())


def test_every_page_with_code_is_run():
    assert pages_with_code() == sorted(n for n in PAGES if blocks(n))
    pages = [ROOT / "README.md", *(ROOT / "docs").rglob("*.md")]
    with_commands = {str(p.relative_to(ROOT)) for p in pages if commands(str(p.relative_to(ROOT)))}
    assert with_commands == set(COMMAND_PAGES)
    for page in PAGES.values():
        if page.elsewhere:
            path, test = page.elsewhere.split("::")
            assert f"def {test}(" in (ROOT / path).read_text()


def test_code_blocks_are_python_or_shell_and_few_are_not_run():
    not_run = []
    for page in [ROOT / "README.md", *(ROOT / "docs").rglob("*.md")]:
        name = str(page.relative_to(ROOT))
        text = page.read_text()
        # A python block indented (in a list) or spelled otherwise would not be found.
        assert text.count("```python") == len(blocks(name)), name
        languages = {fence.group(1) for fence in FENCE.finditer(text)}
        assert languages <= {"python", "sh", ""}, f"{name}: {languages}"
        # Markers (a line of their own): before a python block, with a reason.
        assert len(NOT_RUN.findall(text)) == sum(b.not_run is not None for b in blocks(name))
        not_run += [(name, b.line, b.not_run) for b in blocks(name) if b.not_run is not None]
    assert all(len(reason.split()) >= 3 for _, _, reason in not_run), not_run
    assert len(not_run) <= MOST_NOT_RUN, not_run


# -- the docstrings on the site -------------------------------------------------------


def docstrings_extension():
    import importlib.util

    path = ROOT / "docs" / "extensions" / "docstrings.py"
    spec = importlib.util.spec_from_file_location("docstrings_extension", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("docstring, shown", [
    ("One :class:`~sorvane_core.placement.Placement` per :func:`runs` row.",
     "One `Placement` per `runs` row."),
    ("See :meth:`migrate`, :py:attr:`a.b`.", "See `migrate`, `a.b`."),
    # A doctest, its output included, up to the blank line; the prose after it stays.
    ("Text:\n>>> f(1)\n2\n>>> g()\n\nMore text.",
     "Text:\n\n```pycon\n>>> f(1)\n2\n>>> g()\n```\n\nMore text."),
    # An example indented in a list item keeps its indentation.
    ("- item\n\n  >>> f(\n  ...     1)\n  2",
     "- item\n\n  ```pycon\n  >>> f(\n  ...     1)\n  2\n  ```"),
    ("No roles, no examples: > a quote stays.", "No roles, no examples: > a quote stays."),
    ("See ``docs/models.md``; ``docs/`` stays.",
     "See [the models page](../models.md); ``docs/`` stays."),
], ids=["roles", "roles-unshortened", "doctest", "doctest-in-a-list", "plain", "page"])
def test_docstrings_are_shown_as_markdown(docstring, shown):
    assert docstrings_extension().markdown(docstring) == shown
