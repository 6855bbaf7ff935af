// Interned names and module-global lookup.
#pragma once

#include "common/ref.h"

namespace sorvane {

// A name interned once, when the first module of this library loads, and then
// used for attribute access, global lookup and keyword arguments. Interned
// names hash once and compare by pointer in the interpreter's dict lookups.
//
// Every Name links itself into a list at static-initialisation time, so a
// module declares the names it needs where it uses them and `intern_names()`
// interns all of them in one go.
class Name {
public:
    explicit Name(const char* text) noexcept;
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    // Borrowed; valid once intern_names() has succeeded (interned strings
    // are immortal in 3.12, and the library keeps its own reference anyway).
    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }
    const char* text() const noexcept { return text_; }

private:
    friend bool intern_names() noexcept;
    const char* text_;
    PyObject* object_ = nullptr;
    Name* next_;
};

// Interns every Name of the library; false with an exception set on failure.
bool intern_names() noexcept;

// LOAD_GLOBAL for native code: `name` in `globals`, then in `builtins`;
// NameError "name 'x' is not defined" when neither has it. A new reference,
// looked up at every call so that rebinding a module attribute takes effect
// at once.
Ref lookup_global(PyObject* globals, PyObject* builtins, PyObject* name) noexcept;

// Raises KeyError(key) the way dict.__getitem__ does (a tuple key is not
// spread into the exception's arguments).
void set_key_error(PyObject* key) noexcept;

}  // namespace sorvane
