// Attribute access on callback instances and triggers for the hot paths.
//
// The interpreter reads an attribute by looking its name up in the class
// hierarchy (for a descriptor) and then in the instance. When a class uses
// the generic lookup and no class in its MRO defines the name at all, that
// reduces to a lookup in the instance __dict__, which read_attr then does
// directly; anything else takes the ordinary path. What holds for a class is
// checked once per class and type version, so it follows any change to the
// class or its bases. A name missing from the instance also takes the
// ordinary path, for its exact error.
#pragma once

#include "common/ref.h"

namespace sorvane::callback {

enum class Attr : unsigned {
    name,  // trigger_obj.name
    type,  // self._type
};

// Used for triggers only: reading an instance's __dict__ materialises it, and
// a callback keeps its attributes inline, where the interpreter's own
// specialised reads (and the host's `callback._call` lookups) find them.
Ref read_attr(PyObject* obj, Attr attr) noexcept;

// Remembers the base class's own `type` property (see callback_type).
void set_type_property(PyObject* property) noexcept;

// Remembers how the base class calls its instances: the tp_call slot that
// looks `__call__` up on the class.
void set_call_slot(PyObject* callback_class) noexcept;

// self(arg), as the interpreter calls an instance. While the class calls its
// instances through its `__call__` (the slot the base class has) and the
// `__call__` found in its MRO is a function that binds as a method, that
// function is called with (self, arg) directly, which is all the slot does,
// without packing the argument into a tuple first.
Ref call_instance(PyObject* self, PyObject* arg) noexcept;

// self.type, as the interpreter reads it. While `type` resolves through the
// instance's MRO to the base class's own property, and the class uses the
// generic lookup, the read goes straight to `self._type`, which is all that
// property's getter does.
Ref callback_type(PyObject* self) noexcept;

// Whether reading self.type now runs no code beyond a lookup in the instance
// (so that two reads with nothing in between give the same object): the
// read goes straight to `_type` and no class in the MRO defines `_type`.
bool type_read_is_pure(PyObject* self) noexcept;

}  // namespace sorvane::callback
