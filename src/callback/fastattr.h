// Attribute access on callback instances and triggers for the hot paths.
//
// The interpreter reads an attribute by looking its name up in the class
// hierarchy (for a descriptor) and then in the instance. When a class uses
// the generic lookup and no class in its MRO defines the name at all, that
// reduces to a lookup in the instance __dict__, which these functions then do
// directly; anything else takes the ordinary path. What holds for a class is
// checked once per class and type version, so it follows any change to the
// class or its bases. A name missing from the instance also takes the
// ordinary path, for its exact error.
#pragma once

#include "common/ref.h"

namespace sorvane::callback {

enum class Attr : unsigned {
    name,               // trigger_obj.name
    n_calls,            // self._n_calls
    activates_every_n,  // self._activates_every_n
    activated_by,       // self._activated_by
    data,               // self._data
    type,               // self._type
};

Ref read_attr(PyObject* obj, Attr attr) noexcept;
bool write_attr(PyObject* obj, Attr attr, PyObject* value) noexcept;

// Remembers the base class's own `type` property (see callback_type).
void set_type_property(PyObject* property) noexcept;

// self.type, as the interpreter reads it. While `type` resolves through the
// instance's MRO to the base class's own property, and the class uses the
// generic lookup, the read goes straight to `self._type`, which is all that
// property's getter does.
Ref callback_type(PyObject* self) noexcept;

}  // namespace sorvane::callback
