// Texts: concat (a + b + ...), str_of (str(v)) and format_of (format(v, "")).
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

// format(value, ""): the text a value is written with in an f-string or a
// `%s`-free message (for most values str(value), but not always).
inline py::object format_of(py::handle value) {
    PyObject *text = PyObject_Format(value.ptr(), nullptr);
    if (!text) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(text);
}

// str(value). A naive datetime.datetime (the engine's time stamps) is
// written straight from its fields, as its own __str__ writes it
// ("YYYY-mm-dd HH:MM:SS", then ".ffffff" when there are microseconds);
// anything else goes through the value's __str__.
py::object str_of(py::handle value);

// The datetime.datetime type of the interpreter's C API, imported on first
// use (an import may run Python code, so never under a guarded static).
PyTypeObject *datetime_type();

}  // namespace vt
