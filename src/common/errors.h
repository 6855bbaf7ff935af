// Python errors in native code.
//
// One rule holds everywhere in this library: a failure is an exception set in
// the interpreter. A Python API call that fails has set one; the native code
// that sees the failure throws PythonError, which carries nothing (the
// exception stays set in the interpreter) and unwinds to the one place where
// the native function returns to the interpreter (native<F> in function.h),
// which returns null. Bodies therefore read as the Python they implement, and
// "null result <=> exception set" holds by construction.
//
// No C++ exception ever crosses the interpreter: every entry point that the
// interpreter calls (native bodies, the function type's slots, module exec
// slots) either cannot throw or catches everything. What it catches becomes a
// Python exception in set_error_from_current_exception: a PythonError is one
// already, std::bad_alloc becomes MemoryError and anything else SystemError.
// The few helpers that must not throw (for destructors and slots) are marked
// noexcept and keep the C API's own convention: a null Ref, or -1, with the
// exception set.
#pragma once

#include "common/ref.h"

namespace sorvane {

// Thrown when a Python exception is set; caught at the function boundary.
struct PythonError {};

// Throws PythonError: an exception is already set.
[[noreturn]] void propagate() noexcept(false);

// Sets `type(message)` and throws.
[[noreturn]] void raise(PyObject* type, const char* message) noexcept(false);

// The result of a C API call that returns a new reference, owned; throws if
// it failed.
inline Ref check(PyObject* result) noexcept(false) {
    if (result == nullptr) {
        propagate();
    }
    return Ref::steal(result);
}

// The result of a C API call that returns -1 on failure (and 0 or 1 else).
inline int check(int status) noexcept(false) {
    if (status < 0) {
        propagate();
    }
    return status;
}

// Inside a catch (...): the exception being handled, as a Python exception
// set in the interpreter. An exception that was already set when a C++ one
// other than PythonError came through becomes the new one's __context__, so
// exactly one is set afterwards.
void set_error_from_current_exception() noexcept;

// Sets KeyError(key) the way dict.__getitem__ does (a tuple key is not
// spread into the exception's arguments).
void set_key_error(PyObject* key) noexcept;

// Gives an AttributeError that lacks them the `name` and `obj` it was raised
// for, as PyObject_GetAttr does for the suggestions of tracebacks.
void add_attribute_error_context(PyObject* obj, PyObject* name) noexcept;

// Adds a note to the exception being raised; what fails on the way is left
// out and the exception stays as it was.
void add_note(PyObject* text) noexcept;

}  // namespace sorvane
