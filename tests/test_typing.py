"""The package's types: mypy --strict on its Python, mypy on what users copy, stubtest on
the native modules' stubs. Each interpreter checks them as its own version: the stubs and the
package must hold on every supported one, and stubtest compares the stubs with the modules as
built for the interpreter that runs it."""

import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


VERSION = "{}.{}".format(*sys.version_info)


def mypy(*args, cwd=ROOT):
    done = subprocess.run([sys.executable, "-m", "mypy", "--python-version", VERSION,
                           *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=600)
    return done.returncode, done.stdout + done.stderr


def test_the_package_passes_mypy_strict():
    code, out = mypy()  # pyproject.toml: strict, on python/sorvane_core
    assert code == 0, out


def test_the_readme_example_and_the_examples_pass_mypy(tmp_path):
    # The first two blocks stand alone: the example run, and a callback of each type.
    blocks = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), flags=re.S)[:2]
    (tmp_path / "readme_example.py").write_text("\n".join(blocks))
    (tmp_path / "mypy.ini").write_text("[mypy]\nignore_missing_imports = True\n")
    code, out = mypy("--config-file", tmp_path / "mypy.ini", "--cache-dir", tmp_path / "cache",
                     tmp_path / "readme_example.py", *sorted((ROOT / "examples").glob("*.py")),
                     cwd=tmp_path)
    assert code == 0, out


def test_the_native_modules_match_their_stubs():
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest",
                           "sorvane_core.workflow.callbacks.callback",
                           "sorvane_core.simulation._simulator.rovel",
                           "sorvane_core.models._routes"], cwd=ROOT.parent,
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
