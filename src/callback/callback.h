// Internal interface of the callback module.
#pragma once

#include "common/function.h"

namespace sorvane::callback {

// The class SorvaneCallback, made by calling `type` with its namespace.
Ref make_callback_class(PyObject* globals) noexcept;

// SorvaneCallback._call_by_type (dispatch.cpp).
extern const FunctionSpec call_by_type_spec;

// The module-level collectors, in the order the module binds them.
extern const FunctionSpec application_fn_spec;
extern const FunctionSpec service_fn_spec;
extern const FunctionSpec remote_service_fn_spec;
extern const FunctionSpec interaction_fn_spec;
extern const FunctionSpec infrastructure_fn_spec;
extern const FunctionSpec node_fn_spec;
extern const FunctionSpec remote_node_fn_spec;
extern const FunctionSpec link_fn_spec;

}  // namespace sorvane::callback
