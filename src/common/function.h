// A native function that behaves as an ordinary Python function, made from
// one declaration.
//
// Builtin functions cannot serve as methods (no __get__), have generated
// signatures in their docstrings and no __annotations__, __defaults__ or
// __dict__. This type gives native code the behaviour of a `def`:
// positional-or-keyword parameters with defaults, *args and **kwargs bound
// with the interpreter's own TypeError wording; binding as a method through
// __get__ and Py_TPFLAGS_METHOD_DESCRIPTOR; vectorcall; the metadata that
// introspection reads (__name__, __qualname__, __module__, __doc__,
// string __annotations__, __defaults__, __kwdefaults__, __dict__,
// __globals__, and a __code__ that inspect.signature understands); garbage
// collection; pickling by qualified name.
//
// Everything about a function is said once, in its Signature: its qualified
// name, its parameters with their annotations and defaults, its return
// annotation, the rest of its docstring, and its body. The function object,
// its __defaults__, __annotations__ and __code__, and the first line of its
// docstring are made from that.
#pragma once

#include <span>
#include <utility>

#include "common/errors.h"
#include "common/names.h"

namespace sorvane {

// What every module's state begins with: the function type is made per
// module, from the module, so that its functions reach their module's state.
// A module's state extends traverse() and clear() with its own members.
struct ModuleState {
    PyTypeObject* function_type = nullptr;

    int traverse(visitproc visit, void* arg) const noexcept {
        Py_VISIT(function_type);
        return 0;
    }
    void clear() noexcept { Py_CLEAR(function_type); }
};

// The traverse, clear and free slots of a module whose state is `State`.
template <typename State>
struct StateSlots {
    static int traverse(PyObject* module, visitproc visit, void* arg) noexcept {
        auto* state = static_cast<State*>(PyModule_GetState(module));
        return state != nullptr ? state->traverse(visit, arg) : 0;
    }
    static int clear(PyObject* module) noexcept {
        if (auto* state = static_cast<State*>(PyModule_GetState(module))) {
            state->clear();
        }
        return 0;
    }
    static void free(void* module) noexcept { clear(static_cast<PyObject*>(module)); }
};

// The definition of a module named `Name`: its exec slot, its state of type
// `State` with that state's slots, and no sub-interpreters (the interned names
// are the process's; prepare_module refuses them at load as well). The
// module's PyInit returns PyModuleDef_Init(&ModuleDefinition<...>::def).
template <typename State, int (*Exec)(PyObject*) noexcept, const char* Name, const char* Doc>
struct ModuleDefinition {
    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void*>(Exec)},
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
        {0, nullptr},
    };
    static inline PyModuleDef def = {
        PyModuleDef_HEAD_INIT,
        Name,
        Doc,
        sizeof(State),
        nullptr,
        slots,
        StateSlots<State>::traverse,
        StateSlots<State>::clear,
        StateSlots<State>::free,
    };
};

// How a native body sees its call: the function object, its module state and
// globals, and the *args and **kwargs of the call, if the signature has them.
class Call {
public:
    Call(PyObject* function, PyObject* varargs, PyObject* varkw) noexcept
        : function_(function), varargs_(varargs), varkw_(varkw) {}

    PyObject* function() const noexcept { return function_; }
    PyObject* varargs() const noexcept { return varargs_; }  // tuple, or null
    PyObject* varkw() const noexcept { return varkw_; }      // dict, or null

    // The module globals, and the module (borrowed).
    PyObject* globals() const noexcept;
    PyObject* module() const noexcept;

    // LOAD_GLOBAL: the module globals, then the built-ins of the function.
    // Looked up at each use, so that rebinding a module attribute takes
    // effect at once. NameError "name 'x' is not defined" when neither has it.
    Ref global(PyObject* name) const;

    // The state of the function's module.
    template <typename State>
    State& state() const noexcept {
        return *static_cast<State*>(module_state());
    }

private:
    void* module_state() const noexcept;
    PyObject* function_;
    PyObject* varargs_;
    PyObject* varkw_;
};

// The body of a native function, in the form the function type calls it:
// `params` holds the bound parameters, borrowed and in declaration order.
// Returns a new reference, or null with an exception set; never throws.
using NativeImpl = PyObject* (*)(PyObject* function, PyObject* const* params, PyObject* varargs,
                                 PyObject* varkw) noexcept;

// A parameter: its name, the text of its annotation (stored as a str, never
// evaluated), and its default, one of the few constants the signatures use.
struct Param {
    enum Default : unsigned char { kRequired, kNone, kFalse, kTrue, kText };
    const char* name;
    const char* annotation = nullptr;
    Default default_kind = kRequired;
    const Name* default_text = nullptr;  // for kText: an interned str
};

constexpr Param param(const char* name, const char* annotation = nullptr) {
    return {name, annotation};
}
constexpr Param param_or_none(const char* name, const char* annotation) {
    return {name, annotation, Param::kNone};
}
constexpr Param param_or_false(const char* name, const char* annotation) {
    return {name, annotation, Param::kFalse};
}
constexpr Param param_or_true(const char* name, const char* annotation) {
    return {name, annotation, Param::kTrue};
}
constexpr Param param_or(const char* name, const char* annotation, const Name& text) {
    return {name, annotation, Param::kText, &text};
}

// A body as the function type calls it, and how many named parameters it takes.
struct Body {
    NativeImpl impl;
    std::size_t arity;
};

// One function. Its __name__ is the last part of its qualified name. Its
// docstring is its signature line (qualname, parameters with annotations and
// defaults, *args, **kwargs, return annotation) followed by `doc` on the next
// lines; kSignatureOnly gives the line alone and kNoDoc no docstring.
// Declared with designated initializers, naming only what a function has:
//
//     const Signature node_fn_signature{
//         .qualname = "_node_fn",
//         .params = kViewParams,
//         .varkw = "event_data",
//         .doc = kSignatureOnly,
//         .body = body<node_fn>,
//     };
inline constexpr const char* kSignatureOnly = "";
inline constexpr const char* kNoDoc = nullptr;

struct Signature {
    const char* qualname;
    std::span<const Param> params = {};
    const char* varargs = nullptr;  // name of *args, or null
    const char* varkw = nullptr;    // name of **kwargs, or null
    const char* returns = nullptr;  // the return annotation, or null
    const char* doc = kNoDoc;
    Body body = {};
};

// The function type of `module`, made once when the module loads and kept in
// its state; call from the exec slot before make_function.
bool ready_function_type(PyObject* module) noexcept;

// A function of `module` (its __module__ is the module's __name__, its
// globals the module dict, its built-ins those in force now).
Ref make_function(const Signature& signature, PyObject* module) noexcept(false);

// LOAD_GLOBAL outside a function: `name` in `globals`, then in `builtins`.
Ref lookup_global(PyObject* globals, PyObject* builtins, PyObject* name);

namespace detail {

template <typename F>
struct Arity;
template <typename... Args>
struct Arity<Ref (*)(const Call&, Args...)> {
    static constexpr std::size_t value = sizeof...(Args);
};

template <auto F, std::size_t... I>
PyObject* invoke(const Call& call, PyObject* const* params, std::index_sequence<I...>) {
    return F(call, params[I]...).release();
}

}  // namespace detail

// The boundary between the interpreter and a body written with named
// parameters, `Ref body(const Call&, PyObject* a, PyObject* b, ...)`, which
// may throw PythonError, or anything C++ code throws: here it becomes a null
// result with an exception set (set_error_from_current_exception).
template <auto F>
PyObject* native(PyObject* function, PyObject* const* params, PyObject* varargs,
                 PyObject* varkw) noexcept {
    constexpr std::size_t n = detail::Arity<decltype(F)>::value;
    try {
        return detail::invoke<F>(Call(function, varargs, varkw), params,
                                 std::make_index_sequence<n>{});
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// The Body of a function written with named parameters.
template <auto F>
inline constexpr Body body = {&native<F>, detail::Arity<decltype(F)>::value};

}  // namespace sorvane
