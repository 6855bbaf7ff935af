"""An operator new, preloaded into a child interpreter, that fails when the child asks:
how the tests reach the native code's handling of C++ exceptions.

Only the thread that asks is affected, and only until it says stop, so that the
interpreter's start-up and other threads allocate as usual. ``fail_new(how)`` (through
ctypes): 1, every allocation throws std::bad_alloc; 2, a std::exception of its own;
3, an int; 0, none. ``fail_allocation(n)``: the n-th allocation from now throws
std::bad_alloc, and none after.
"""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

SOURCE = r"""
#include <cstdlib>
#include <exception>
#include <new>

static thread_local int armed = 0;
static thread_local long countdown = -1;

// Allocates nothing: a std::logic_error would allocate its message, and fail again.
struct Refused : std::exception {
    const char* what() const noexcept override { return "refused"; }
};

extern "C" void fail_new(int how) { armed = how; }
extern "C" void fail_allocation(long n) { countdown = n; }

void* operator new(std::size_t size) {
    if (armed == 2) {
        throw Refused();
    }
    if (armed == 3) {
        throw 3;
    }
    if (countdown >= 0 && countdown-- == 0) {
        throw std::bad_alloc();
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


def build(folder: Path) -> Path:
    """The library, compiled into ``folder``; the test is skipped without a compiler,
    or when a preloaded runtime (a sanitizer's) already replaces operator new."""
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    if os.environ.get("LD_PRELOAD"):
        pytest.skip("a preloaded runtime (a sanitizer's) already replaces operator new")
    (folder / "failing_new.cpp").write_text(SOURCE)
    library = folder / "libfailing_new.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(library),
                    str(folder / "failing_new.cpp")], check=True, capture_output=True)
    return library
