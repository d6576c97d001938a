// Reading enumeration members on hot paths.
#pragma once

#include <pybind11/pybind11.h>

#include "attrs.h"

namespace vt {
namespace py = pybind11;

// `member.value`, as Python reads it. For a member of an enum class that
// keeps the standard `value` property, the property's result (the member's
// `_value_`) is read directly, skipping a Python-level call; any other
// object goes through ordinary attribute access.
py::object enum_value(py::handle member);

// Keeps a reference to enum.Enum's `value` property; done once when a
// module is executed.
void remember_enum_value_property();

}  // namespace vt
