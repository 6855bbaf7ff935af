"""The README's example runs as printed."""

import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"


def python_blocks() -> list[str]:
    return re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)


def test_readme_example_prints_what_the_readme_shows(capsys):
    exec(compile(python_blocks()[0], "README.md", "exec"), {"__name__": "readme"})
    out = capsys.readouterr().out.splitlines()
    shown = re.search(r"```\n(tick 0 .*?)\n\.\.\.\n```", README.read_text(), flags=re.S).group(1)
    assert out[:3] == shown.splitlines()
    assert out[-1] == "end 6 {}" and out.count("overload 3 {'overloaded': ['a', 'b']}") == 1


def test_readme_callbacks_of_each_type_run_in_a_simulation():
    namespace: dict = {"__name__": "readme"}
    exec(compile(python_blocks()[0], "README.md", "exec"), namespace)  # the world of the example
    exec(compile(python_blocks()[1], "README.md", "exec"), namespace)
    from sorvane_core.simulation import Simulator

    sim = Simulator(namespace["infr"], [namespace["Placement"](namespace["app"], namespace["infr"],
                                                               {"front": "a", "db": "b"})],
                    namespace["callbacks"])
    first = sim.run(1)[0]["data"]
    assert first["where"] == {"web": {"front": "a", "db": "b"}}
    assert first["hosted"] == {"a": 1, "b": 1}
    assert first["latency"] == {"a,b": None} and first["nodes"] == {"nodes": 2, "links": 1}


MODELS = Path(__file__).resolve().parent.parent / "docs" / "models.md"


def test_the_models_page_runs(capsys):
    blocks = re.findall(r"```python\n(.*?)```", MODELS.read_text(), flags=re.S)
    namespace: dict = {"__name__": "docs"}
    for i in (1, 0, 2):  # the world, the five-line study, the workload
        exec(compile(blocks[i], f"models.md[{i}]", "exec"), namespace)
    out = capsys.readouterr().out.splitlines()
    assert "energy_wh" in out[0] and float(out[-1]) < 1


POLICIES = Path(__file__).resolve().parent.parent / "docs" / "policies.md"


def test_the_policies_page_runs_and_prints_what_it_shows(capsys):
    text = POLICIES.read_text()
    example, moving = re.findall(r"```python\n(.*?)```", text, flags=re.S)
    namespace: dict = {"__name__": "docs"}
    exec(compile(example, "policies.md", "exec"), namespace)
    shown = re.search(r"prints\n\n```\n(.*?)```", text, flags=re.S).group(1)
    assert capsys.readouterr().out == shown
    exec(compile(moving, "policies.md[1]", "exec"), namespace)
    assert "relieve_overload" in capsys.readouterr().out
    # The error the page quotes.
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


TUTORIAL = Path(__file__).resolve().parent.parent / "docs" / "tutorial.md"


@pytest.mark.usefixtures("ray_session")
def test_the_tutorial_study_runs_small(tmp_path, capsys):
    (study,) = re.findall(r"```python\n(.*?)```", TUTORIAL.read_text(), flags=re.S)
    examples = str(Path(__file__).resolve().parent.parent / "examples")
    small = (study.replace('"examples"', repr(examples)).replace("(1, 2, 3)", "(1, 2)")
             .replace("ticks=48", "ticks=6").replace('"runs/study', f'"{tmp_path}/study'))
    exec(compile(small, "tutorial.md", "exec"), {"__name__": "tutorial"})
    table = capsys.readouterr().out
    assert all(policy in table for policy in ("first_fit", "latency_aware", "random"))
    assert (tmp_path / "study" / "sla_violations.png").read_bytes()[:4] == b"\x89PNG"
    import pandas as pd

    runs = pd.read_csv(tmp_path / "study" / "sweep.csv")
    assert len(runs) == 12 and set(runs["status"]) == {"finished"}
