// _handle_error: turns the answers of the node actors into a ValueError.
#include "common/names.h"
#include "common/object.h"
#include "common/text.h"
#include "rovel/rovel.h"

namespace sorvane::rovel {

namespace {

Name g_response_code{"ResponseCode"};
Name a_error{"ERROR"};

}  // namespace

// code == ResponseCode.ERROR, as an `if` tests it. ResponseCode is looked up
// for every element, so a rebinding made while iterating is seen.
int is_error(PyObject* function, PyObject* code) noexcept {
    Ref response_code = function_global(function, g_response_code);
    if (!response_code) {
        return -1;
    }
    Ref error = getattr(response_code.get(), a_error);
    if (!error) {
        return -1;
    }
    Ref eq = Ref::steal(PyObject_RichCompare(code, error.get(), Py_EQ));
    return eq ? PyObject_IsTrue(eq.get()) : -1;
}

namespace {

// raise ValueError(message), with the ValueError bound at load.
void raise_value_error(PyObject* message) {
    Ref exc = call_one(bound.value_error, message);
    if (!exc) {
        return;
    }
    if (!PyExceptionInstance_Check(exc.get())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        return;
    }
    // PyErr_SetObject, unlike setting the raised exception directly, chains
    // the exception being handled as __context__, as `raise` does.
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

PyObject* handle_error_impl(PyObject* function, PyObject* const* p, PyObject*, PyObject*) {
    PyObject* response_codes = p[0];
    Ref iter = Ref::steal(PyObject_GetIter(response_codes));
    if (!iter) {
        return nullptr;
    }
    while (Ref code = Ref::steal(PyIter_Next(iter.get()))) {
        const int error = is_error(function, code.get());
        if (error < 0) {
            return nullptr;
        }
        if (error) {
            // The whole argument, so the message shows which nodes failed.
            Ref shown = text_of(response_codes);
            if (!shown) {
                return nullptr;
            }
            Ref message = Ref::steal(
                PyUnicode_FromFormat("Error in the operation: %U", shown.get()));
            if (message) {
                raise_value_error(message.get());
            }
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    return new_none();
}

constexpr const char* kParams[] = {"response_codes"};
constexpr Annotation kAnnotations[] = {{"response_codes", "List[ResponseCode]"}};

}  // namespace

const FunctionSpec handle_error_spec{
    "_handle_error",
    "_handle_error",
    "_handle_error(response_codes: List[ResponseCode])\n"
    "Handle the error response codes from the remote nodes.\n"
    "\n"
    "    Args:\n"
    "        response_codes (List[ResponseCode]): The response codes from the remote nodes.\n"
    "\n"
    "    Raises:\n"
    "        ValueError: If any of the response codes is an error.\n"
    "    ",
    kParams,
    nullptr,
    nullptr,
    kAnnotations,
    handle_error_impl,
};

}  // namespace sorvane::rovel
