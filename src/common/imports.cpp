#include "common/imports.h"

#include "common/function.h"
#include "common/names.h"

namespace sorvane {

bool import_module(PyObject* globals, const char* name) noexcept {
    Ref module_name = Ref::steal(PyUnicode_FromString(name));
    if (!module_name) {
        return false;
    }
    Ref module = Ref::steal(
        PyImport_ImportModuleLevelObject(module_name.get(), globals, nullptr, nullptr, 0));
    if (!module) {
        return false;
    }
    // `import a.b` would bind `a`; the modules only import top-level names.
    return PyDict_SetItem(globals, module_name.get(), module.get()) == 0;
}

namespace {

// IMPORT_FROM: an attribute of the module, else a submodule already in
// sys.modules, else ImportError worded as the interpreter words it.
Ref import_name_from(PyObject* module, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(module, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return value;
    }
    PyErr_Clear();
    Ref package = Ref::steal(PyModule_GetNameObject(module));
    if (!package) {
        PyErr_Clear();
    } else {
        Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", package.get(), name));
        if (!full) {
            return {};
        }
        Ref sub = Ref::steal(PyImport_GetModule(full.get()));
        if (sub || PyErr_Occurred()) {
            return sub;
        }
    }
    PyObject* shown = package ? package.get() : Py_None;
    Ref path = Ref::steal(PyModule_GetFilenameObject(module));
    Ref message;
    if (!path) {
        PyErr_Clear();
        message = Ref::steal(
            PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name, shown));
    } else {
        message = Ref::steal(
            PyUnicode_FromFormat("cannot import name %R from %R (%S)", name, shown, path.get()));
    }
    if (message) {
        PyErr_SetImportError(message.get(), package ? package.get() : Py_None,
                             path ? path.get() : Py_None);
        // The failing name, as the interpreter records it for suggestions.
        PyObject* exc = PyErr_GetRaisedException();
        if (PyObject_SetAttrString(exc, "name_from", name) < 0) {
            PyErr_Clear();
        }
        PyErr_SetRaisedException(exc);
    }
    return {};
}

}  // namespace

bool import_from(PyObject* globals, const char* module,
                 std::initializer_list<const char*> names) noexcept {
    Ref module_name = Ref::steal(PyUnicode_FromString(module));
    Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!module_name || !fromlist) {
        return false;
    }
    Py_ssize_t i = 0;
    for (const char* n : names) {
        PyObject* s = PyUnicode_InternFromString(n);
        if (s == nullptr) {
            return false;
        }
        PyTuple_SET_ITEM(fromlist.get(), i++, s);
    }
    Ref mod = Ref::steal(
        PyImport_ImportModuleLevelObject(module_name.get(), globals, nullptr, fromlist.get(), 0));
    if (!mod) {
        return false;
    }
    for (i = 0; i < PyTuple_GET_SIZE(fromlist.get()); ++i) {
        PyObject* name = PyTuple_GET_ITEM(fromlist.get(), i);
        Ref value = import_name_from(mod.get(), name);
        if (!value || PyDict_SetItem(globals, name, value.get()) < 0) {
            return false;
        }
    }
    return true;
}

Ref class_namespace(PyObject* module, const char* qualname, const char* doc) {
    PyObject* globals = PyModule_GetDict(module);                           // borrowed
    PyObject* module_name = PyDict_GetItemWithError(globals, kDunderName);  // borrowed
    if (module_name == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "module has no __name__");
        }
        propagate();
    }
    Ref ns = check(PyDict_New());
    Ref text = check(PyUnicode_FromString(qualname));
    Ref docstring = check(PyUnicode_FromString(doc));
    check(PyDict_SetItem(ns.get(), kDunderModule, module_name));
    check(PyDict_SetItem(ns.get(), kDunderQualname, text.get()));
    check(PyDict_SetItem(ns.get(), kDunderDoc, docstring.get()));
    return ns;
}

void bind(PyObject* ns, const char* name, PyObject* value) {
    check(PyDict_SetItemString(ns, name, value));
}

Ref make_class(const char* name, PyObject* ns) {
    Ref text = check(PyUnicode_FromString(name));
    Ref bases = check(PyTuple_New(0));
    return check(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type), text.get(),
                                              bases.get(), ns, nullptr));
}

int run_statements(PyObject* module, void (*statements)(PyObject*)) noexcept {
    try {
        statements(module);
    } catch (...) {
        set_error_from_current_exception();
        return -1;
    }
    return 0;
}

bool prepare_module(PyObject* module) noexcept {
    // The interned names are kept for the process, not per interpreter, and a
    // module loaded in a second interpreter would share them with the first.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "sorvane_core's native modules load only in the main interpreter, "
                        "not in a sub-interpreter");
        return false;
    }
    return intern_names() && ready_function_type(module);
}

}  // namespace sorvane
