// The text rule shared by actor names and edge keys.
#pragma once

#include "common/ref.h"

namespace sorvane {

// The text of a value as an f-string replacement field gives it: an exact str
// unchanged, anything else formatted with an empty format specification
// (which for int, float and plain objects is their str()).
Ref text_of(PyObject* value);

// text_of(left) + separator + text_of(right), in one allocation. The left
// side is formatted first. Used for "<infrastructure id>/<node>" actor names
// and "<source>,<target>" edge keys.
Ref join_text(PyObject* left, Py_UCS4 separator, PyObject* right);

}  // namespace sorvane
