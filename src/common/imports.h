// What a module's exec slot needs to run its load-time statements.
#pragma once

#include <initializer_list>

#include "common/ref.h"

namespace sorvane {

// `import <name>`: binds the top-level package under its own name.
bool import_module(PyObject* globals, const char* name) noexcept;

// `from <module> import <names...>`: imports the module, then binds each name
// in order, with the interpreter's ImportError when one is missing.
bool import_from(PyObject* globals, const char* module,
                 std::initializer_list<const char*> names) noexcept;

// Everything a module exec slot does before its own statements: the module
// loads only in the main interpreter, the library's names are interned and
// the module's function type is made.
bool prepare_module(PyObject* module) noexcept;

}  // namespace sorvane
