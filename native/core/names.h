// Interned names and module-namespace lookups.
#pragma once

#include <pybind11/pybind11.h>

namespace vt {
namespace py = pybind11;

// An interned text made once per call site and kept for the life of the
// process: attribute and global names on hot paths compare by identity.
#define VT_ID(text)                                                     \
    ([]() -> ::pybind11::handle {                                       \
        static PyObject *const vt_id_ = PyUnicode_InternFromString(text); \
        return vt_id_;                                                  \
    }())

// `name` looked up as Python code of the module would at run time: first in
// the module's namespace, then in the builtins; NameError otherwise.
py::object lookup_global(py::handle globals, py::handle name);

}  // namespace vt
