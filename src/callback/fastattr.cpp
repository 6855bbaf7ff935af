#include "callback/fastattr.h"

#include <cstdint>
#include <iterator>

#include "common/names.h"
#include "common/object.h"

namespace sorvane::callback {

namespace {

Name names[] = {Name{"name"}, Name{"_type"}};
Name a_type{"type"};
Name a_call{"__call__"};

constexpr unsigned bit(Attr a) { return 1u << static_cast<unsigned>(a); }
PyObject* name_of(Attr a) { return names[static_cast<unsigned>(a)]; }

// Owned for good: identity with it is what the class check tests.
PyObject* type_property = nullptr;

// The tp_call of classes whose instances are called through `__call__`.
ternaryfunc call_slot = nullptr;

struct ClassInfo {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;   // 0: an empty slot
    bool generic = false;       // generic attribute lookup and an instance dict
    bool type_direct = false;   // `type` resolves to the base class's property
    PyObject* call = nullptr;   // `__call__` to call directly, borrowed (see below)
    unsigned absent = 0;        // bits of the names no class in the MRO defines
};

// Direct-mapped by class address: a host that calls callbacks of a few
// classes in turn keeps each class in its own slot.
ClassInfo cache[64];

// The first definition of `name` in the MRO (borrowed), or null; -1 on error.
int find_in_mro(PyTypeObject* tp, PyObject* name, PyObject** found) {
    PyObject* mro = tp->tp_mro;
    *found = nullptr;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
        Ref dict = Ref::steal(
            PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        if (!dict) {
            return -1;
        }
        *found = PyDict_GetItemWithError(dict.get(), name);
        if (*found != nullptr) {
            return 0;
        }
        if (PyErr_Occurred()) {
            return -1;
        }
    }
    return 0;
}

// What holds for `tp` now; null with an exception set on error, or null
// without one when the class has no version to key a cache entry on.
const ClassInfo* class_info(PyTypeObject* tp) {
    ClassInfo& e = cache[(reinterpret_cast<std::uintptr_t>(tp) >> 4) % std::size(cache)];
    // Version tags are never reused, so (address, version) names this very
    // class in its current state even if another class later takes the
    // address of a freed one.
    if (e.type == tp && e.version != 0 && e.version == tp->tp_version_tag) {
        return &e;
    }
    if (!PyUnstable_Type_AssignVersionTag(tp)) {
        return nullptr;
    }
    ClassInfo info{tp, tp->tp_version_tag};
    const bool generic_get = tp->tp_getattro == PyObject_GenericGetAttr;
    info.generic = generic_get &&
                   ((tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) || tp->tp_dictoffset != 0);
    for (unsigned i = 0; i < std::size(names); ++i) {
        PyObject* found;
        if (find_in_mro(tp, names[i], &found) < 0) {
            return nullptr;
        }
        if (found == nullptr) {
            info.absent |= 1u << i;
        }
    }
    PyObject* found;
    if (find_in_mro(tp, a_type, &found) < 0) {
        return nullptr;
    }
    info.type_direct = generic_get && found != nullptr && found == type_property;
    // Borrowed: the class holds it, and any change to the class changes its
    // version, so the entry is never used once the function may be gone.
    if (find_in_mro(tp, a_call, &found) < 0) {
        return nullptr;
    }
    if (call_slot != nullptr && tp->tp_call == call_slot && found != nullptr &&
        PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        info.call = found;
    }
    // The lookups ran no Python code, so the version read above still holds.
    e = info;
    return &e;
}

}  // namespace

Ref read_attr(PyObject* obj, Attr attr) noexcept {
    const ClassInfo* info = class_info(Py_TYPE(obj));
    if (info == nullptr && PyErr_Occurred()) {
        return {};
    }
    if (info != nullptr && info->generic && (info->absent & bit(attr))) {
        Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
        if (!dict) {
            return {};
        }
        PyObject* value = PyDict_GetItemWithError(dict.get(), name_of(attr));
        if (value != nullptr) {
            return Ref::borrow(value);
        }
        if (PyErr_Occurred()) {
            return {};
        }
    }
    return getattr(obj, name_of(attr));
}

void set_type_property(PyObject* property) noexcept {
    Py_XSETREF(type_property, Py_NewRef(property));
    for (ClassInfo& e : cache) {
        e = ClassInfo{};
    }
}

void set_call_slot(PyObject* callback_class) noexcept {
    call_slot = reinterpret_cast<ternaryfunc>(
        PyType_GetSlot(reinterpret_cast<PyTypeObject*>(callback_class), Py_tp_call));
    for (ClassInfo& e : cache) {
        e = ClassInfo{};
    }
}

Ref call_instance(PyObject* self, PyObject* arg) noexcept {
    const ClassInfo* info = class_info(Py_TYPE(self));
    if (info == nullptr && PyErr_Occurred()) {
        return {};
    }
    if (info != nullptr && info->call != nullptr) {
        // Owned for the call: the call may rebind the class's __call__.
        Ref method = Ref::borrow(info->call);
        PyObject* args[] = {self, arg};
        return Ref::steal(PyObject_Vectorcall(method.get(), args, 2, nullptr));
    }
    return call_one(self, arg);
}

Ref callback_type(PyObject* self) noexcept {
    const ClassInfo* info = class_info(Py_TYPE(self));
    if (info == nullptr && PyErr_Occurred()) {
        return {};
    }
    if (info != nullptr && info->type_direct) {
        return getattr(self, name_of(Attr::type));
    }
    return getattr(self, a_type);
}

bool type_read_is_pure(PyObject* self) noexcept {
    const ClassInfo* info = class_info(Py_TYPE(self));
    if (info == nullptr) {
        PyErr_Clear();  // only a lost shortcut: the ordinary read will run
        return false;
    }
    return info->type_direct && (info->absent & bit(Attr::type));
}

}  // namespace sorvane::callback
