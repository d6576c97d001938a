// Building texts on hot paths.
#pragma once

#include <cstddef>
#include <initializer_list>

#include <pybind11/pybind11.h>

namespace vt {
namespace py = pybind11;

// The texts concatenated into one new str, as a chain of `+` on str gives
// them, written straight into the result (no list or tuple of parts is
// made, so nothing here counts towards a garbage collection). A part that
// is not a str raises TypeError, as `+` does.
py::object concat(const py::handle *parts, std::size_t count);
inline py::object concat(std::initializer_list<py::handle> parts) {
    return concat(parts.begin(), parts.size());
}

}  // namespace vt
