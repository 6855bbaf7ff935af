// Sequence unpacking, as `a, b = item` does it.
#pragma once

#include "common/ref.h"

namespace sorvane {

// Unpacks `item` into exactly `n` new references in `out`, with the
// interpreter's ValueError and TypeError messages otherwise. Exact tuples and
// lists take a direct path; any other iterable is iterated.
void unpack(PyObject* item, Py_ssize_t n, Ref* out);

}  // namespace sorvane
