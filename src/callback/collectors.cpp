#include "callback/collectors.h"

#include "common/names.h"
#include "common/object.h"

namespace sorvane::callback {

namespace {
Name a_values{"values"};
}

Ref iterate_placements(PyObject* placements) noexcept {
    // An exact dict's values() cannot be overridden: its view iterator is the
    // direct walk, with the size check.
    Ref values = Ref::steal(PyObject_CallMethodNoArgs(placements, a_values));
    if (!values) {
        return {};
    }
    return Ref::steal(PyObject_GetIter(values.get()));
}

}  // namespace sorvane::callback
