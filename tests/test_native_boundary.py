"""A C++ exception other than the library's own, thrown in native code, reaches Python as an
exception instead of ending the process. Each case runs in a child interpreter with a
preloaded operator new that throws while the child asks it to: std::bad_alloc, as it would
when memory runs out, or, to reach the other translations, something else."""

import os
import signal
import subprocess
import sys
import textwrap

import pytest
from support import failing_new as failing

pytestmark = pytest.mark.native_only

@pytest.fixture(scope="module")
def failing_new(tmp_path_factory):
    return failing.build(tmp_path_factory.mktemp("failing_new"))


IMPORT = """
    import ctypes, importlib, sys
    import ray, sorvane_core.remote.utils, sorvane_core.utils.types, sorvane_core.workflow.events
    import sorvane_core.simulation._simulator, sorvane_core.workflow.callbacks

    fail_new = ctypes.CDLL(None).fail_new
    fail_new({how})
    try:
        importlib.import_module("{module}")
        outcome = "loaded"
    except Exception as exc:
        outcome = f"{{type(exc).__name__}}({{exc}})"
    finally:
        fail_new(0)
    # Nothing of the failed load stays behind: the module loads again, and works.
    module = importlib.import_module("{module}")
    print(outcome)
    print(module.{function}.__doc__.split("(")[0])
"""


CALLBACK = ("sorvane_core.workflow.callbacks.callback", "_node_fn")
ROVEL = ("sorvane_core.simulation._simulator.rovel", "_handle_error")


@pytest.mark.parametrize("where, how, error", [
    (CALLBACK, 1, "MemoryError()"),
    (ROVEL, 1, "MemoryError()"),
    (CALLBACK, 2, "SystemError(unexpected C++ exception in native code: refused)"),
    (CALLBACK, 3, "SystemError(unexpected C++ exception in native code (not a std::exception))"),
])
def test_a_cpp_exception_while_a_module_loads_is_a_python_one(failing_new, where, how, error):
    module, function = where
    done = subprocess.run(
        [sys.executable, "-X", "dev", "-c",
         textwrap.dedent(IMPORT.format(module=module, function=function, how=how))],
        capture_output=True, text=True, timeout=120,
        env={**os.environ, "LD_PRELOAD": str(failing_new)})
    assert done.returncode != -signal.SIGABRT, "the process was aborted:\n" + done.stderr[-2000:]
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.split("\n")[:2] == [error, function]
