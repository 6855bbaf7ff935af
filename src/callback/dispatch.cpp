// SorvaneCallback._call_by_type: runs the callback's logic once, by type.
#include "callback/callback.h"
#include "common/names.h"
#include "common/object.h"

namespace sorvane::callback {

namespace {

PyObject* call_by_type_impl(PyObject*, PyObject* const*, PyObject*, PyObject*) {
    return new_none();
}

constexpr const char* kParams[] = {"self", "trigger_obj"};
constexpr Annotation kAnnotations[] = {{"trigger_obj", "Union[SorvaneEvent, SorvaneCallback]"}};

}  // namespace

const FunctionSpec call_by_type_spec{
    "_call_by_type",
    "SorvaneCallback._call_by_type",
    "SorvaneCallback._call_by_type(self, trigger_obj: Union[SorvaneEvent, SorvaneCallback])\n"
    "Execute the callback function according to the type of the trigger object.\n"
    "\n"
    "        Args:\n"
    "            trigger_obj (Union[SorvaneEvent, SorvaneCallback]): The trigger object.\n"
    "\n"
    "        Returns:\n"
    "            Any: The value returned by the callback function.\n"
    "        ",
    kParams,
    nullptr,
    nullptr,
    kAnnotations,
    call_by_type_impl,
};

}  // namespace sorvane::callback
