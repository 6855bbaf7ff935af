// _handle_error: turns the answers of the node actors into a ValueError.
#include "common/text.h"
#include "rovel/rovel.h"

namespace sorvane::rovel {

// code == ResponseCode.ERROR, as an `if` tests it. ResponseCode is looked up
// for every element, so a rebinding made while iterating is seen.
bool is_error(const Call& call, PyObject* code) {
    Ref response_code = call.global(kResponseCode);
    Ref error = getattr(response_code.get(), kERROR);
    return equals(code, error.get());
}

namespace {

// raise ValueError(message), with the ValueError bound at load.
[[noreturn]] void raise_value_error(const Call& call, PyObject* message) {
    Ref exc = sorvane::call(call.state<RovelState>().value_error, message);
    if (!PyExceptionInstance_Check(exc.get())) {
        raise(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    // PyErr_SetObject, unlike setting the raised exception directly, chains
    // the exception being handled as __context__, as `raise` does.
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    propagate();
}

Ref handle_error(const Call& call, PyObject* response_codes) {
    for_each(response_codes, [&](PyObject* code) {
        if (is_error(call, code)) {
            // The whole argument, so the message shows which nodes failed.
            Ref shown = text_of(response_codes);
            Ref message = check(PyUnicode_FromFormat("Error in the operation: %U", shown.get()));
            raise_value_error(call, message.get());
        }
    });
    return Ref::borrow(Py_None);
}

constexpr Param kParams[] = {param("response_codes", "List[ResponseCode]")};

}  // namespace

const Signature handle_error_signature{
    .qualname = "_handle_error",
    .params = kParams,
    .doc =
        "Handle the error response codes from the remote nodes.\n"
        "\n"
        "    Args:\n"
        "        response_codes (List[ResponseCode]): The response codes from the remote nodes.\n"
        "\n"
        "    Raises:\n"
        "        ValueError: If any of the response codes is an error.\n"
        "    ",
    .body = body<handle_error>,
};

}  // namespace sorvane::rovel
