// Attribute reads and writes on hot paths.
//
//   py::object price = VT_ATTR(order, "price");
//   VT_SET_ATTR(self, "order_id", value);
//
// Each use site names its attribute with a literal, so the layer can keep
// what it learns about that site (the interned name, where the attribute
// was found last time) and skip the generic lookup when the object's type
// and layout are the same as before. The result and every error are those
// of `getattr(obj, name)` / `setattr(obj, name, value)` in Python.
#pragma once

#include <pybind11/pybind11.h>

#include "errors.h"
#include "names.h"

namespace vt {
namespace py = pybind11;

inline py::object get_attr(py::handle obj, py::handle name) {
    return check(PyObject_GetAttr(obj.ptr(), name.ptr()));
}

inline void set_attr(py::handle obj, py::handle name, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

}  // namespace vt

#define VT_ATTR(obj, text) (::vt::get_attr((obj), VT_ID(text)))
#define VT_SET_ATTR(obj, text, value) (::vt::set_attr((obj), VT_ID(text), (value)))
