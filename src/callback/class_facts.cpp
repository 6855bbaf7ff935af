#include "callback/class_facts.h"

#include <cstdint>
#include <iterator>

#include "callback/callback.h"
#include "common/names.h"

namespace sorvane::callback {

namespace {

// The first definition of `name` in the MRO of `tp` (borrowed), or null.
PyObject* find_in_mro(PyTypeObject* tp, PyObject* name) {
    PyObject* mro = tp->tp_mro;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
        Ref dict = check(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        PyObject* found = PyDict_GetItemWithError(dict.get(), name);
        if (found != nullptr) {
            return found;
        }
        if (PyErr_Occurred()) {
            propagate();
        }
    }
    return nullptr;
}

}  // namespace

const Facts* facts_of(CallbackState& state, PyTypeObject* tp) {
    Facts& slot =
        state.facts
            .slots[(reinterpret_cast<std::uintptr_t>(tp) >> 4) % std::size(state.facts.slots)];
    // Version tags are never reused, so (address, version) names this very
    // class in its current state even if another class later takes the
    // address of a freed one.
    if (slot.type == tp && slot.version != 0 && slot.version == tp->tp_version_tag) {
        return &slot;
    }
    if (!PyUnstable_Type_AssignVersionTag(tp)) {
        return nullptr;
    }
    Facts facts{tp, tp->tp_version_tag};
    const bool generic_get = tp->tp_getattro == PyObject_GenericGetAttr;
    facts.generic =
        generic_get && ((tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) || tp->tp_dictoffset != 0);
    facts.name_absent = find_in_mro(tp, kName) == nullptr;
    facts.under_type_absent = find_in_mro(tp, kUnderType) == nullptr;
    PyObject* type = find_in_mro(tp, kType);
    facts.type_direct = generic_get && type != nullptr && type == state.type_property;
    // Borrowed: the class holds it, and any change to the class changes its
    // version, so the entry is never used once the function may be gone.
    PyObject* call = find_in_mro(tp, kDunderCall);
    if (state.call_slot != nullptr && tp->tp_call == state.call_slot && call != nullptr &&
        PyType_HasFeature(Py_TYPE(call), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        facts.call = call;
    }
    // The lookups ran no Python code, so the version read above still holds.
    slot = facts;
    return &slot;
}

}  // namespace sorvane::callback
