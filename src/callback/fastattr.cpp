#include "callback/fastattr.h"

#include "common/names.h"

namespace sorvane::callback {

namespace {
Name a_type{"type"};
}

Ref callback_type(PyObject* self) noexcept { return getattr(self, a_type); }

}  // namespace sorvane::callback
