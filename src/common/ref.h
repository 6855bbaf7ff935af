// Owned references to Python objects.
//
// `Ref` owns one strong reference and releases it when it goes out of scope,
// so module code never calls Py_DECREF by hand and every early return is
// correct by construction. Ownership is said at the call site:
//   Ref::steal(p)   takes over a new reference (the result of a C-API call),
//   Ref::borrow(p)  adds a reference to a borrowed pointer,
//   r.release()     hands the reference back to the caller (a return value).
// A null Ref means "failed, exception set" wherever a C-API call returned NULL.
#pragma once

#include <Python.h>

#include <utility>

// The modules rely on the GIL throughout (borrowed references, the caches of
// their module state) and do not declare Py_mod_gil: a free-threaded
// interpreter is not one they are built for.
#ifdef Py_GIL_DISABLED
#error "sorvane_core's native modules need a Python built with the GIL, not a free-threaded one"
#endif

namespace sorvane {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = ptr_;
            ptr_ = other.ptr_;
            other.ptr_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
    [[nodiscard]] static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

    // Gives up ownership: the caller now holds the reference.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

    // Replaces the held object, releasing the old one last (its destructor
    // may run arbitrary code that must already see the new value).
    void reset(PyObject* stolen = nullptr) noexcept {
        PyObject* old = std::exchange(ptr_, stolen);
        Py_XDECREF(old);
    }

    // A new owned reference to the same object.
    [[nodiscard]] Ref dup() const noexcept { return borrow(ptr_); }

private:
    explicit Ref(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

// Py_None as an owned reference (immortal since 3.12, but counted all the same).
inline PyObject* new_none() noexcept { return Py_NewRef(Py_None); }

}  // namespace sorvane
