// Argument conversion by annotation, the way the modules' callers expect:
// "str", "list" and "dict" parameters take exactly that type (None only
// where the default is None); "int" and "float" parameters take any number
// and convert it; "bool" parameters take the truth value of the argument.
#pragma once

#include <pybind11/pybind11.h>

namespace vt {
namespace py = pybind11;

enum class Conv : unsigned char { Any, Str, List, Dict, Int, Float, Bool };

// The conversion an annotation text asks for ("List[str]" -> List, ...);
// Any for annotations that are not enforced.
Conv conv_for_annotation(const char *annotation);

// `value` converted for the parameter `name`; `none_ok` lets None through.
py::object convert(Conv conv, py::handle value, const char *name, bool none_ok);

// TypeError "Argument 'x' has incorrect type (expected str, got int)".
[[noreturn]] void raise_argument_type(const char *name, const char *expected,
                                      py::handle got);

// True for objects Python treats as numbers (int(), float() accept them
// through their number protocol): ints, floats, bools, numpy scalars...
bool is_number(py::handle value);

}  // namespace vt
