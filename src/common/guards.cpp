#include "common/guards.h"

#include "common/errors.h"

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <cstdint>

namespace sorvane {

namespace {

constexpr std::uintptr_t kReserve = 128 * 1024;
constexpr std::uintptr_t kUnknown = 1;  // stack bounds not available: no check

// The lowest address at which this thread may start a native call; 0 until
// the thread's first call.
thread_local std::uintptr_t t_limit = 0;

std::uintptr_t find_limit() noexcept {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) {
        return kUnknown;
    }
    void* low = nullptr;
    std::size_t size = 0;
    const int failed = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    if (failed || low == nullptr || size == 0) {
        return kUnknown;
    }
    // The stack grows down from low + size.
    return reinterpret_cast<std::uintptr_t>(low) + std::min<std::uintptr_t>(kReserve, size / 2);
}

}  // namespace

bool enough_stack() noexcept {
    std::uintptr_t limit = t_limit;
    if (limit == 0) {
        limit = t_limit = find_limit();
    }
    if (reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) > limit) {
        return true;
    }
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while calling a Python object "
                    "(the C stack of this thread is nearly full)");
    return false;
}

namespace {

// The interpreter's switch interval (sys.getswitchinterval()), its default: a
// thread that waits that long for the GIL asks for it, and the next release
// then hands it over. Released more often, the GIL would wake the waiting
// thread before it asks, and it would wait again, for ever.
constexpr long long kSwitchNs = 5'000'000;

long long now_ns() noexcept {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

}  // namespace

LoopGuard::LoopGuard() noexcept : released_(now_ns()) {}

void LoopGuard::breathe() {
    check(PyErr_CheckSignals());
    const long long now = now_ns();
    if (now - released_ >= kSwitchNs) {
        PyEval_RestoreThread(PyEval_SaveThread());
        released_ = now_ns();
    }
}

}  // namespace sorvane
