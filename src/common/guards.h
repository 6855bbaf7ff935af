// Guards of long and of deep native work.
#pragma once

#include <Python.h>

namespace sorvane {

// Whether the C stack has room for one more native call that may run Python
// code; if not, RecursionError is set. (Called where a native function is
// entered from the interpreter, so it keeps the C API's convention.)
// Nesting (a callback whose logic calls a collector whose callable calls a
// collector, ...) is bounded first by the interpreter's own counts: in 3.12
// its count of C calls (about 500 nested collectors), in 3.13, whose bound on
// C calls is far higher, the recursion limit of Python frames (about 1000).
// On a thread whose stack is smaller than that needs, it is bounded by this:
// the last 128 KiB of a thread's stack (half of a smaller stack) are left for
// the Python code that runs between two native calls and for unwinding.
bool enough_stack() noexcept;

// Counts the items of a long native loop and, every few thousand, lets the
// interpreter do what its eval loop does between bytecodes: run signal
// handlers (so that Ctrl-C interrupts a walk whose callable is native), and
// once a switch interval has passed, release the GIL for a thread that waits
// for it. Throws PythonError with the exception of a signal handler.
class LoopGuard {
public:
    LoopGuard() noexcept;

    void step() {
        if ((++count_ & (kEvery - 1)) == 0) {
            breathe();
        }
    }

private:
    static constexpr unsigned kEvery = 4096;
    void breathe();
    unsigned count_ = 0;
    long long released_;  // when the GIL was last released, in ns
};

}  // namespace sorvane
