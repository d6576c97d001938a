// Argument conversion by annotation, the way the modules' callers expect:
// "str", "list" and "dict" parameters take exactly that type (None only
// where the default is None); "int" and "float" parameters take any number
// and convert it; "bool" parameters take the truth value of the argument.
#pragma once

#include <pybind11/pybind11.h>

namespace vt {
namespace py = pybind11;

enum class Conv : unsigned char { Any, Str, List, Dict, Int, Float, Bool };

// `value` converted for the parameter `name`; `none_ok` lets None through.
py::object convert(Conv conv, py::handle value, const char *name, bool none_ok);

}  // namespace vt
