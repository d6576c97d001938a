// Interned names and module-namespace lookups.
#pragma once

#include <pybind11/pybind11.h>

namespace vt {
namespace py = pybind11;

// Interns `text` into `*slot` unless another thread did first; returns the
// slot's name. Raises if the name cannot be made (no memory).
PyObject *intern_into(PyObject **slot, const char *text);

}  // namespace vt

// An interned text made once per call site and kept for the life of the
// process: attribute and global names on hot paths compare by identity.
// The slot is a zero-initialised pointer filled under the GIL, never a
// guarded static (see once.h).
#define VT_ID(text)                                                    \
    ([]() -> ::pybind11::handle {                                      \
        static PyObject *vt_id_ = nullptr;                             \
        return vt_id_ ? vt_id_ : ::vt::intern_into(&vt_id_, text);     \
    }())

namespace vt {

// `name` looked up as Python code of the module would at run time: first in
// the module's namespace, then in the builtins; NameError otherwise.
py::object lookup_global(py::handle globals, py::handle name);

}  // namespace vt
