// What the local and remote collectors share.
#pragma once

#include "common/function.h"

namespace sorvane::callback {

// An iterator over placements.values(), called once: a dict yields its
// values in insertion order and raises "dictionary changed size during
// iteration" when it changes size while walked.
Ref iterate_placements(PyObject* placements) noexcept;

// Parameters and annotations shared by the collectors' signatures.
inline constexpr const char* kPlacementParams[] = {"fn", "placements", "infr"};
inline constexpr Annotation kPlacementAnnotations[] = {
    {"fn", "Callable"}, {"placements", "Dict[str, Placement]"}, {"infr", "Infrastructure"}};

}  // namespace sorvane::callback
