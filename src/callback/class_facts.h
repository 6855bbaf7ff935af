// What holds for a class of callbacks or triggers, for the shortcuts of the
// hot paths.
//
// The interpreter reads an attribute by looking its name up in the class
// hierarchy (for a descriptor) and then in the instance, and calls an
// instance through its class's tp_call. When a class is known not to define
// the name anywhere in its MRO, or to call its instances the way the base
// class does, a shortcut may do what the ordinary path would, with less
// work. The facts are found once per class and type version (which changes
// with any change to the class or its bases), so they always describe the
// class as it is now. docs/design.md lists the shortcuts and what keeps each
// one exact.
#pragma once

#include "common/ref.h"

namespace sorvane::callback {

struct CallbackState;

struct Facts {
    PyTypeObject* type = nullptr;    // borrowed: compared, never dereferenced once stale
    unsigned int version = 0;        // 0: an empty slot
    bool generic = false;            // generic attribute lookup and an instance dict
    bool name_absent = false;        // no class in the MRO defines `name`
    bool type_direct = false;        // `type` resolves to the base class's own property
    bool under_type_absent = false;  // no class in the MRO defines `_type`
    PyObject* call = nullptr;        // the `__call__` to call directly, borrowed (see .cpp)
};

// The facts of the classes last met, direct-mapped by class address: a host
// that calls callbacks of a few classes in turn keeps each class in its own
// slot. Part of the module state.
struct FactsCache {
    Facts slots[64];
};

// The facts of `tp` now; null, with no exception set, when the class has no
// version to key them on (the shortcuts are then not taken). Throws if a
// lookup in the MRO fails.
const Facts* facts_of(CallbackState& state, PyTypeObject* tp);

}  // namespace sorvane::callback
