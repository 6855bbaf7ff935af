#include "common/function.h"

#include <cstddef>
#include <cstring>
#include <string>

#include "common/guards.h"
#include "common/suggestions.h"

namespace sorvane {

namespace {

// The largest signature the modules use is __init__ with eight parameters.
constexpr Py_ssize_t kMaxParams = 16;

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Signature* signature;
    Py_ssize_t nparams;
    bool simple;            // no *args and no **kwargs: the fast path applies
    PyObject* module;       // the module object, whose state the body reaches
    void* state;            // its state: allocated with the module, which this holds
    PyObject* varnames;     // tuple: parameters, then *args, then **kwargs
    PyObject* globals;      // dict
    PyObject* builtins;     // dict
    PyObject* name;         // str
    PyObject* qualname;     // str
    PyObject* module_attr;  // __module__: anything
    PyObject* doc;          // anything
    PyObject* defaults;     // tuple or null
    PyObject* kwdefaults;   // dict or null
    PyObject* annotations;  // dict or null (made empty on first read)
    PyObject* dict;         // instance __dict__, or null
    PyObject* code;         // __code__, made on first read
    PyObject* weakreflist;
};

FunctionObject* as_function(PyObject* op) noexcept { return reinterpret_cast<FunctionObject*>(op); }

// ---------------------------------------------------------------------------
// Argument binding. The order of checks and the wording of every TypeError
// follow the interpreter's binding of a Python function's arguments, for the
// subset of signatures that native functions have (no positional-only or
// keyword-only parameters).

// Owns the bound parameters while the body runs: a body may run code that
// rebinds __defaults__, so defaults are held, not borrowed.
struct BoundParams {
    PyObject* items[kMaxParams] = {};
    Py_ssize_t count;
    explicit BoundParams(Py_ssize_t n) : count(n) {}
    BoundParams(const BoundParams&) = delete;
    BoundParams& operator=(const BoundParams&) = delete;
    ~BoundParams() {
        for (Py_ssize_t i = 0; i < count; ++i) {
            Py_XDECREF(items[i]);
        }
    }
};

void too_many_positional(FunctionObject* f, Py_ssize_t given) noexcept {
    const Py_ssize_t argcount = f->nparams;
    const Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    Ref sig;
    bool plural;
    if (defcount) {
        plural = true;
        sig = Ref::steal(PyUnicode_FromFormat("from %zd to %zd", argcount - defcount, argcount));
    } else {
        plural = argcount != 1;
        sig = Ref::steal(PyUnicode_FromFormat("%zd", argcount));
    }
    if (!sig) {
        return;
    }
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given",
                 f->qualname, sig.get(), plural ? "s" : "", given, given == 1 ? "was" : "were");
}

void missing_arguments(FunctionObject* f, PyObject* const* bound, Py_ssize_t end) noexcept {
    Ref names = Ref::steal(PyList_New(0));
    if (!names) {
        return;
    }
    for (Py_ssize_t i = 0; i < end; ++i) {
        if (bound[i] == nullptr) {
            Ref repr = Ref::steal(PyObject_Repr(PyTuple_GET_ITEM(f->varnames, i)));
            if (!repr || PyList_Append(names.get(), repr.get()) < 0) {
                return;
            }
        }
    }
    const Py_ssize_t len = PyList_GET_SIZE(names.get());
    Ref joined;
    if (len == 1) {
        joined = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
    } else if (len == 2) {
        joined = Ref::steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.get(), 0),
                                                 PyList_GET_ITEM(names.get(), 1)));
    } else {
        Ref tail =
            Ref::steal(PyUnicode_FromFormat(", %U, and %U", PyList_GET_ITEM(names.get(), len - 2),
                                            PyList_GET_ITEM(names.get(), len - 1)));
        if (!tail || PyList_SetSlice(names.get(), len - 2, len, nullptr) < 0) {
            return;
        }
        Ref comma = Ref::steal(PyUnicode_FromString(", "));
        if (!comma) {
            return;
        }
        Ref head = Ref::steal(PyUnicode_Join(comma.get(), names.get()));
        if (!head) {
            return;
        }
        joined = Ref::steal(PyUnicode_Concat(head.get(), tail.get()));
    }
    if (!joined) {
        return;
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U",
                 f->qualname, len, len == 1 ? "" : "s", joined.get());
}

void unexpected_keyword(FunctionObject* f, PyObject* keyword) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    // 3.13 names the parameter that the keyword may have been meant for.
    PyObject* near = suggest_name(&PyTuple_GET_ITEM(f->varnames, 0), f->nparams, keyword);
    if (near != nullptr) {
        PyErr_Format(PyExc_TypeError,
                     "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                     f->qualname, keyword, near);
        return;
    }
#endif
    PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname,
                 keyword);
}

// Index of the parameter named `keyword`, -1 when there is none, -2 on error.
Py_ssize_t find_param(FunctionObject* f, PyObject* keyword) noexcept {
    PyObject* const* names = &PyTuple_GET_ITEM(f->varnames, 0);
    // Keyword names are almost always interned, like the parameter names.
    for (Py_ssize_t j = 0; j < f->nparams; ++j) {
        if (names[j] == keyword) {
            return j;
        }
    }
    for (Py_ssize_t j = 0; j < f->nparams; ++j) {
        const int eq = PyObject_RichCompareBool(keyword, names[j], Py_EQ);
        if (eq != 0) {
            return eq > 0 ? j : -2;
        }
    }
    return -1;
}

PyObject* call_general(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    const Py_ssize_t argcount = f->nparams;
    const Signature& spec = *f->signature;
    BoundParams bound(argcount);
    Ref varargs;
    Ref varkw;

    if (spec.varkw) {
        varkw = Ref::steal(PyDict_New());
        if (!varkw) {
            return nullptr;
        }
    }
    const Py_ssize_t npos = nargs < argcount ? nargs : argcount;
    for (Py_ssize_t i = 0; i < npos; ++i) {
        bound.items[i] = Py_NewRef(args[i]);
    }
    if (spec.varargs) {
        varargs = Ref::steal(PyTuple_New(nargs - npos));
        if (!varargs) {
            return nullptr;
        }
        for (Py_ssize_t i = npos; i < nargs; ++i) {
            PyTuple_SET_ITEM(varargs.get(), i - npos, Py_NewRef(args[i]));
        }
    }

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
            return nullptr;
        }
        const Py_ssize_t j = find_param(f, keyword);
        if (j == -2) {
            return nullptr;
        }
        if (j == -1) {
            if (!varkw) {
                unexpected_keyword(f, keyword);
                return nullptr;
            }
            if (PyDict_SetItem(varkw.get(), keyword, value) < 0) {
                return nullptr;
            }
            continue;
        }
        if (bound.items[j] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname,
                         keyword);
            return nullptr;
        }
        bound.items[j] = Py_NewRef(value);
    }

    if (nargs > argcount && !spec.varargs) {
        too_many_positional(f, nargs);
        return nullptr;
    }

    if (nargs < argcount) {
        PyObject* defaults = f->defaults;
        const Py_ssize_t defcount = defaults ? PyTuple_GET_SIZE(defaults) : 0;
        const Py_ssize_t m = argcount - defcount;  // first parameter with a default
        for (Py_ssize_t i = nargs; i < m; ++i) {
            if (bound.items[i] == nullptr) {
                missing_arguments(f, bound.items, m);
                return nullptr;
            }
        }
        // A defaults tuple longer than the parameter list supplies its last
        // items, as it does for a Python function.
        for (Py_ssize_t i = nargs > m ? nargs - m : 0; i < defcount; ++i) {
            if (bound.items[m + i] == nullptr) {
                bound.items[m + i] = Py_NewRef(PyTuple_GET_ITEM(defaults, i));
            }
        }
    }
    return spec.body.impl(reinterpret_cast<PyObject*>(f), bound.items, varargs.get(), varkw.get());
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    FunctionObject* f = as_function(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // A body that calls back into native functions runs no Python frame the
    // interpreter could count, so a cycle of them (a trigger condition that
    // is _triggered_events itself, say) would recurse until the C stack
    // overflows. Each call is counted as the interpreter counts calls into C,
    // and a too deep one raises RecursionError.
    // The count alone does not see how much C stack a level takes, which a
    // thread started with a small stack runs out of first.
    if (f->module == nullptr) {
        // Only a function the garbage collector has already cleared, called
        // from a finalizer of its own cycle: its module state may be gone.
        PyErr_Format(PyExc_RuntimeError, "%U() has lost its module", f->qualname);
        return nullptr;
    }
    if (!enough_stack() || Py_EnterRecursiveCall(" while calling a Python object")) {
        return nullptr;
    }
    PyObject* result;
    if (kwnames == nullptr && nargs == f->nparams && f->simple) {
        // Exactly the parameters, by position: the caller's array is the
        // bound parameter list, borrowed for the duration of the call.
        result = f->signature->body.impl(callable, args, nullptr, nullptr);
    } else {
        result = call_general(f, args, nargs, kwnames);
    }
    Py_LeaveRecursiveCall();
    return result;
}

// ---------------------------------------------------------------------------
// Object protocol

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) noexcept {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));  // an instance of a heap type holds its type
    Py_VISIT(f->module);
    Py_VISIT(f->varnames);
    Py_VISIT(f->globals);
    Py_VISIT(f->builtins);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module_attr);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    Py_VISIT(f->code);
    return 0;
}

int function_clear(PyObject* self) noexcept {
    FunctionObject* f = as_function(self);
    // name, qualname and varnames stay: repr and error messages read them,
    // and they are strings, which cannot be part of a cycle.
    Py_CLEAR(f->globals);
    Py_CLEAR(f->builtins);
    Py_CLEAR(f->module);
    f->state = nullptr;
    Py_CLEAR(f->module_attr);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->code);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    FunctionObject* f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    Py_CLEAR(f->varnames);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);  // instances of a heap type own a reference to it
}

PyObject* function_reduce(PyObject* self, PyObject* /*unused*/) noexcept {
    // Pickled as a global, found again by module and qualified name, as the
    // interpreter pickles a Python function.
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// --- attributes -------------------------------------------------------------

int set_str_attr(PyObject** slot, PyObject* value, const char* what) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) noexcept {
    return set_str_attr(&as_function(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) noexcept {
    return Py_NewRef(as_function(self)->qualname);
}
int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    return set_str_attr(&as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_or_none(PyObject* value) noexcept { return Py_NewRef(value ? value : Py_None); }

PyObject* get_doc(PyObject* self, void*) noexcept { return get_or_none(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) noexcept {
    Py_XSETREF(as_function(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}
PyObject* get_module(PyObject* self, void*) noexcept {
    return get_or_none(as_function(self)->module_attr);
}
int set_module(PyObject* self, PyObject* value, void*) noexcept {
    Py_XSETREF(as_function(self)->module_attr, Py_XNewRef(value));
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) noexcept {
    return get_or_none(as_function(self)->defaults);
}
int set_defaults(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_function(self)->defaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) noexcept {
    return get_or_none(as_function(self)->kwdefaults);
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->kwdefaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject* get_globals(PyObject* self, void*) noexcept {
    return get_or_none(as_function(self)->globals);
}
PyObject* get_builtins(PyObject* self, void*) noexcept {
    return get_or_none(as_function(self)->builtins);
}

// A code object that describes the signature, so that inspect.signature and
// other tools that read __code__ see the parameters. It holds no bytecode
// worth running: the function never executes it.
PyObject* get_code(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    if (f->code != nullptr) {
        return Py_NewRef(f->code);
    }
    PyObject* file = f->globals ? PyDict_GetItemString(f->globals, "__file__") : nullptr;
    const char* filename = file && PyUnicode_Check(file) ? PyUnicode_AsUTF8(file) : nullptr;
    if (filename == nullptr) {
        PyErr_Clear();
        filename = "<native>";
    }
    // The name goes in through replace: __name__ may be any str, one that
    // has no UTF-8 form included.
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, "?", 0)));
    if (!empty) {
        return nullptr;
    }
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (f->signature->varargs) {
        flags |= CO_VARARGS;
    }
    if (f->signature->varkw) {
        flags |= CO_VARKEYWORDS;
    }
    Ref replace = Ref::steal(PyObject_GetAttrString(empty.get(), "replace"));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:n, s:n, s:i, s:O, s:O, s:O}", "co_argcount",
                                          f->nparams, "co_nlocals", PyTuple_GET_SIZE(f->varnames),
                                          "co_flags", flags, "co_varnames", f->varnames, "co_name",
                                          f->name, "co_qualname", f->qualname));
    if (!replace || !kwargs) {
        return nullptr;
    }
    Ref noargs = Ref::steal(PyTuple_New(0));
    if (!noargs) {
        return nullptr;
    }
    Ref code = Ref::steal(PyObject_Call(replace.get(), noargs.get(), kwargs.get()));
    if (!code) {
        return nullptr;
    }
    // code.replace runs Python code (audit hooks), which may have read
    // __code__ meanwhile: every reader gets the first one made.
    if (f->code != nullptr) {
        return Py_NewRef(f->code);
    }
    f->code = code.dup().release();
    return code.release();
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__builtins__", get_builtins, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakreflist), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// A function implemented in native code that behaves as a Python function.
// The type has no Py_tp_doc on purpose: a heap type stores its doc string as
// `__doc__` in its dict, which would replace the __doc__ getter below and give
// every function the type's doc string instead of its own.
PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_methods, function_methods},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "sorvane_core.native_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

}  // namespace

bool ready_function_type(PyObject* module) noexcept {
    auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
    if (state == nullptr) {
        return false;
    }
    state->function_type =
        reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &function_spec, nullptr));
    return state->function_type != nullptr;
}

namespace {

// The first line of a docstring: qualname(params...)[ -> returns], as the
// signature would be written in Python.
std::string signature_line(const Signature& s) {
    std::string line = s.qualname;
    line += '(';
    const char* separator = "";
    for (const Param& p : s.params) {
        line += separator;
        line += p.name;
        if (p.annotation != nullptr) {
            line += ": ";
            line += p.annotation;
        }
        switch (p.default_kind) {
            case Param::kRequired: break;
            case Param::kNone: line += " = None"; break;
            case Param::kFalse: line += " = False"; break;
            case Param::kTrue: line += " = True"; break;
            case Param::kText:
                line += " = '";
                line += p.default_text->text();
                line += '\'';
                break;
        }
        separator = ", ";
    }
    if (s.varargs != nullptr) {
        line += separator;
        line += '*';
        line += s.varargs;
        separator = ", ";
    }
    if (s.varkw != nullptr) {
        line += separator;
        line += "**";
        line += s.varkw;
    }
    line += ')';
    if (s.returns != nullptr) {
        line += " -> ";
        line += s.returns;
    }
    return line;
}

Ref make_doc(const Signature& s) {
    if (s.doc == kNoDoc) {
        return Ref::borrow(Py_None);
    }
    std::string doc = signature_line(s);
    if (*s.doc != '\0') {
        doc += '\n';
        doc += s.doc;
    }
    return check(PyUnicode_FromStringAndSize(doc.data(), static_cast<Py_ssize_t>(doc.size())));
}

Ref make_defaults(const Signature& s) {
    Py_ssize_t first = static_cast<Py_ssize_t>(s.params.size());
    while (first > 0 && s.params[first - 1].default_kind != Param::kRequired) {
        --first;
    }
    const Py_ssize_t count = static_cast<Py_ssize_t>(s.params.size()) - first;
    if (count == 0) {
        return {};
    }
    Ref defaults = check(PyTuple_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        const Param& p = s.params[first + i];
        PyObject* value = p.default_kind == Param::kNone    ? Py_None
                          : p.default_kind == Param::kFalse ? Py_False
                          : p.default_kind == Param::kTrue  ? Py_True
                                                            : p.default_text->get();
        PyTuple_SET_ITEM(defaults.get(), i, Py_NewRef(value));
    }
    return defaults;
}

Ref make_varnames(const Signature& s) {
    const Py_ssize_t n =
        static_cast<Py_ssize_t>(s.params.size()) + (s.varargs ? 1 : 0) + (s.varkw ? 1 : 0);
    Ref varnames = check(PyTuple_New(n));
    Py_ssize_t i = 0;
    auto add = [&](const char* text) {
        PyTuple_SET_ITEM(varnames.get(), i++, check(PyUnicode_InternFromString(text)).release());
    };
    for (const Param& p : s.params) {
        add(p.name);
    }
    if (s.varargs != nullptr) {
        add(s.varargs);
    }
    if (s.varkw != nullptr) {
        add(s.varkw);
    }
    return varnames;
}

Ref make_annotations(const Signature& s) {
    Ref annotations = check(PyDict_New());
    auto add = [&](const char* name, const char* text) {
        Ref value = check(PyUnicode_FromString(text));
        check(PyDict_SetItemString(annotations.get(), name, value.get()));
    };
    for (const Param& p : s.params) {
        if (p.annotation != nullptr) {
            add(p.name, p.annotation);
        }
    }
    if (s.returns != nullptr) {
        add("return", s.returns);
    }
    return annotations;
}

}  // namespace

Ref make_function(const Signature& s, PyObject* module) noexcept(false) {
    if (static_cast<Py_ssize_t>(s.params.size()) > kMaxParams || s.body.impl == nullptr ||
        s.body.arity != s.params.size()) {
        raise(PyExc_SystemError, "make_function: the body does not take the parameters declared");
    }
    auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
    PyObject* globals = PyModule_GetDict(module);  // borrowed, lives with the module
    if (state == nullptr || globals == nullptr) {
        propagate();
    }
    Ref varnames = make_varnames(s);
    Ref annotations = make_annotations(s);
    Ref defaults = make_defaults(s);
    Ref doc = make_doc(s);
    Ref qualname = check(PyUnicode_FromString(s.qualname));
    const char* dot = std::strrchr(s.qualname, '.');
    Ref name = check(PyUnicode_InternFromString(dot ? dot + 1 : s.qualname));
    // As for a `def`: __module__ is the module's __name__ (None when the
    // globals have none), and the built-ins are those in force when the
    // function is made.
    Ref module_name = Ref::borrow(PyDict_GetItemWithError(globals, kDunderName));
    if (!module_name && PyErr_Occurred()) {
        propagate();
    }
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins == nullptr) {
        propagate();
    }

    FunctionObject* f = PyObject_GC_New(FunctionObject, state->function_type);
    if (f == nullptr) {
        propagate();
    }
    f->vectorcall = function_vectorcall;
    f->signature = &s;
    f->nparams = static_cast<Py_ssize_t>(s.params.size());
    f->simple = s.varargs == nullptr && s.varkw == nullptr;
    f->module = Py_NewRef(module);
    f->state = state;
    f->varnames = varnames.release();
    f->globals = Py_NewRef(globals);
    f->builtins = Py_NewRef(builtins);
    f->name = name.release();
    f->qualname = qualname.release();
    f->module_attr = module_name ? module_name.release() : Py_NewRef(Py_None);
    f->doc = doc.release();
    f->defaults = defaults.release();
    f->kwdefaults = nullptr;
    f->annotations = annotations.release();
    f->dict = nullptr;
    f->code = nullptr;
    f->weakreflist = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

PyObject* Call::globals() const noexcept { return as_function(function_)->globals; }

PyObject* Call::module() const noexcept { return as_function(function_)->module; }

void* Call::module_state() const noexcept { return as_function(function_)->state; }

Ref Call::global(PyObject* name) const {
    FunctionObject* f = as_function(function_);
    if (f->globals == nullptr || f->builtins == nullptr) {
        // Only a function the garbage collector has already cleared.
        PyErr_Format(PyExc_RuntimeError, "%U() has lost its module globals", f->qualname);
        propagate();
    }
    return lookup_global(f->globals, f->builtins, name);
}

Ref lookup_global(PyObject* globals, PyObject* builtins, PyObject* name) {
    PyObject* found = PyDict_GetItemWithError(globals, name);
    if (found == nullptr && !PyErr_Occurred()) {
        found = PyDict_GetItemWithError(builtins, name);
        if (found == nullptr && !PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
            // As the interpreter does, so that tracebacks can suggest a name.
            PyObject* exc = PyErr_GetRaisedException();
            if (PyObject_SetAttrString(exc, "name", name) < 0) {
                PyErr_Clear();
            }
            PyErr_SetRaisedException(exc);
        }
    }
    if (found == nullptr) {
        propagate();
    }
    // The dicts are borrowed from; own the result before anything else runs.
    return Ref::borrow(found);
}

}  // namespace sorvane
