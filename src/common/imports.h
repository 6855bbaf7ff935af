// What a module's exec slot needs to run its load-time statements.
//
// The functions that return bool run before the statements, straight from the
// exec slot, and keep to the C API: true on success, false with an exception
// set; they never throw. The others are for the statements, and throw
// PythonError, like a function body; run_statements is their boundary.
#pragma once

#include <initializer_list>

#include "common/errors.h"

namespace sorvane {

// `import <name>`: binds the top-level package under its own name.
bool import_module(PyObject* globals, const char* name) noexcept;

// `from <module> import <names...>`: imports the module, then binds each name
// in order, with the interpreter's ImportError when one is missing.
bool import_from(PyObject* globals, const char* module,
                 std::initializer_list<const char*> names) noexcept;

// The namespace of a class statement in `module`: __module__, __qualname__
// and __doc__, in that order, as the compiler puts them first.
Ref class_namespace(PyObject* module, const char* qualname, const char* doc);

// ns[name] = value: binds a name in a module's globals or a class namespace.
void bind(PyObject* ns, const char* name, PyObject* value);

// `class <name>: <ns>`, a plain class with base `object`, made by calling `type`.
Ref make_class(const char* name, PyObject* ns);

// Runs `statements(module)` from an exec slot: -1 if it throws, with the
// exception set (a C++ exception of any kind made a Python one), 0 otherwise.
int run_statements(PyObject* module, void (*statements)(PyObject*)) noexcept;

// Everything a module exec slot does before its own statements: the module
// loads only in the main interpreter, the library's names are interned and
// the module's function type is made.
bool prepare_module(PyObject* module) noexcept;

}  // namespace sorvane
