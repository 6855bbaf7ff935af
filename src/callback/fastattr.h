// Attribute access on callback instances for the hot paths.
#pragma once

#include "common/object.h"

namespace sorvane::callback {

inline Ref fast_getattr(PyObject* obj, PyObject* name) noexcept { return getattr(obj, name); }

inline bool fast_setattr(PyObject* obj, PyObject* name, PyObject* value) noexcept {
    return setattr(obj, name, value);
}

// self.type
Ref callback_type(PyObject* self) noexcept;

}  // namespace sorvane::callback
