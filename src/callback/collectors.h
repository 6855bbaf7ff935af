// What the local and remote collectors share.
#pragma once

#include "common/ref.h"

namespace sorvane::callback {

// An iterator over placements.values(), called once: a dict yields its
// values in insertion order and raises "dictionary changed size during
// iteration" when it changes size while walked.
Ref iterate_placements(PyObject* placements) noexcept;

}  // namespace sorvane::callback
