// Reading enumeration members on hot paths.
#pragma once

#include <pybind11/pybind11.h>

namespace vt {
namespace py = pybind11;

// `member.value`, as Python reads it. For a member of an enum class that
// keeps the standard `value` property, the property's result (the member's
// `_value_`) is read directly, skipping a Python-level call; any other
// object goes through ordinary attribute access.
py::object enum_value(py::handle member);

}  // namespace vt
