"""A C++ exception other than the library's own, thrown in native code, reaches Python as an
exception instead of ending the process. Each case runs in a child interpreter with a
preloaded operator new that throws while the child asks it to: std::bad_alloc, as it would
when memory runs out, or, to reach the other translations, something else."""

import os
import shutil
import signal
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.native_only

# Only the thread that arms it fails, and only until it disarms: the interpreter's startup,
# Ray's threads and the rest of the child allocate as usual.
FAILING_NEW = r"""
#include <cstdlib>
#include <exception>
#include <new>

static thread_local int armed = 0;

// Allocates nothing: a std::logic_error would allocate its message, and fail again.
struct Refused : std::exception {
    const char* what() const noexcept override { return "refused"; }
};

extern "C" void fail_new(int how) { armed = how; }

void* operator new(std::size_t size) {
    if (armed == 2) {
        throw Refused();
    }
    if (armed == 3) {
        throw 3;
    }
    void* p = armed ? nullptr : std::malloc(size ? size : 1);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
"""


@pytest.fixture(scope="module")
def failing_new(tmp_path_factory):
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    if os.environ.get("LD_PRELOAD"):
        pytest.skip("a preloaded runtime (a sanitizer's) already replaces operator new")
    folder = tmp_path_factory.mktemp("failing_new")
    (folder / "failing_new.cpp").write_text(FAILING_NEW)
    library = folder / "libfailing_new.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(library),
                    str(folder / "failing_new.cpp")], check=True, capture_output=True)
    return library


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
